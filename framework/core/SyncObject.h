// Objects a worker waits for: events, timers and pipes. An object added to a worker
// (SyncObjectMgr::addSyncObject) has its registered callback run on that worker each time it
// is signalled; once removed it never fires again.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "framework/core/CallBack.h"
#include "platform/win32/win32.h"

namespace core {

class SyncObjectMgr;

class SyncObject {
  public:
    SyncObject() = default;
    SyncObject(const SyncObject&) = delete;
    SyncObject& operator=(const SyncObject&) = delete;
    virtual ~SyncObject();

    template <class T>
    void registerCallBack(T* object, void (T::*member)()) {
        setCallBack(CallBack(object, member));
    }
    void registerCallBack(const CallBack& callback) { setCallBack(callback); }
    void unregisterCallBack() { setCallBack(CallBack()); }

    // The worker this object is added to, or null.
    SyncObjectMgr* getWorker() const;

  protected:
    // Tells the worker, if any, that this object wants its callback run.
    void signal();
    // Removes the object from its worker. Every final class calls it first in its destructor,
    // so that the worker never dispatches a half-destroyed object.
    void detachFromWorker();

    // On the worker, before the callback: true when the callback is to run now. Auto-reset
    // objects consume their signal here.
    virtual bool acquire() = 0;
    // On the worker, after the callback: true to be dispatched again (objects that stay
    // signalled, such as a pipe that still holds blocks).
    virtual bool isPending() { return false; }
    // Right after the object was added to a worker.
    virtual void onAdded() {}

  private:
    friend class SyncObjectMgr;
    void setCallBack(const CallBack& callback);
    std::shared_ptr<const CallBack> getCallBack() const;

    mutable std::mutex m_lock;  // guards m_worker and m_callback
    SyncObjectMgr* m_worker = nullptr;
    std::shared_ptr<const CallBack> m_callback;
    bool m_queued = false;  // guarded by the worker's lock
};

// A Win32-style event over a platform event handle, which can also serve as the event of an
// OVERLAPPED operation.
class Event : public SyncObject {
  public:
    explicit Event(bool manualReset = false, bool initialState = false, const char* name = nullptr,
                   LPSECURITY_ATTRIBUTES sa = nullptr);
    ~Event() override;

    bool setEvent();
    bool resetEvent();
    // True when signalled; waiting on an auto-reset event resets it.
    bool wait(DWORD milliseconds = 0);
    HANDLE getHandle() const { return m_handle; }
    bool isManualReset() const { return m_manual; }

  protected:
    bool acquire() override;
    bool isPending() override;
    void onAdded() override;

  private:
    static void onNotify(void* context);
    HANDLE m_handle;
    bool m_manual;
};

// A one-shot timer: after setTimer(ms) it is signalled once, ms later, unless cancelled or set
// again first. Type 1 is a synchronization timer (reset when its callback runs).
class WaitableTimer : public SyncObject {
  public:
    explicit WaitableTimer(int type = 1, const char* name = nullptr,
                           LPSECURITY_ATTRIBUTES sa = nullptr);
    ~WaitableTimer() override;

    bool setTimer(unsigned long milliseconds);
    bool cancelWaitableTimer();
    // Nanoseconds of the framework's clock (Clock::now) at which the timer fires, 0 when not
    // set.
    std::int64_t getDeadline() const { return m_deadline.load(); }

  protected:
    bool acquire() override;

  private:
    friend class SyncObjectMgr;
    int m_type;
    std::atomic<std::int64_t> m_deadline{0};
    std::atomic<bool> m_signalled{false};
};

}  // namespace core
