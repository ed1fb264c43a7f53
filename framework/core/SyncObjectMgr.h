// A worker: one thread that runs, one at a time and in arrival order, the requests posted to
// it and the callbacks of the sync objects added to it. It sleeps while there is nothing to do.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/CallBack.h"
#include "framework/core/RCObject.h"
#include "framework/core/RingQueue.h"

namespace core {

class Request;
class SyncObject;
class WaitableTimer;

namespace detail {
struct HandlerEntry;
class RequestCompletion;
}  // namespace detail

class SyncObjectMgr : public RCObject {
  public:
    // The type is kept for the caller; every worker behaves the same.
    explicit SyncObjectMgr(const std::string& name, int type = 0);
    ~SyncObjectMgr() override;

    // Run on the worker when it starts and when it stops.
    void attachBegin(const BoolCallBack& callback);
    void attachEnd(const BoolCallBack& callback);

    // Starts the thread and returns once the begin callback has run: true if it succeeded
    // within the time limit.
    bool start(unsigned long milliseconds);
    // Lets the work posted so far run, runs the end callback on the worker and joins the
    // thread; false if that did not happen within the limit (INFINITE waits without limit).
    // Called on the worker itself, it runs the end callback at once and the thread ends after
    // the current callback; the thread is then joined by a later stop from another thread, by
    // the destruction of the worker on another thread, or by joinEndedWorkers.
    bool stop(unsigned long milliseconds);

    bool addSyncObject(SyncObject* object);
    bool removeSyncObject(SyncObject* object);

    // Posts a function to run on the worker; false once the worker no longer accepts work.
    bool post(std::function<void()> task);

    bool isRunning() const;
    bool isCurrentThread() const;
    const std::string& getName() const { return m_name; }
    int getType() const { return m_type; }
    // The worker whose thread is calling, or null.
    static SyncObjectMgr* current();

    // Makes every running worker look at its timers again (the clock was moved on).
    static void wakeAll();
    // Waits until no worker has runnable work: nothing posted or signalled, no timer due and
    // nothing running (a worker that is starting or ending counts as busy). `work`, if given,
    // receives the number of pieces of work the running workers have done: the same number
    // at two idle times means nothing ran in between. False at the time limit.
    static bool waitAllIdle(std::chrono::milliseconds timeout, std::uint64_t* work = nullptr);

    // Joins the threads of workers that ended with no one joining them (stopped from their
    // own thread, begin failed, a stop that gave up waiting), after waiting for every worker
    // already stopping to end; never the calling thread. On return no such thread runs any
    // more: the library's code may be unloaded. Not for a static destructor on Windows (the
    // loader lock held there keeps a thread from ending).
    static void joinEndedWorkers();

  private:
    friend class SyncObject;
    friend class WaitableTimer;
    friend class ServiceChannel;

    enum class State { Created, Starting, Running, Stopping, Stopped };
    struct Entry {
        enum Kind : std::uint8_t { Task, Request, Sync, Stop } kind;
        SyncObject* object = nullptr;
        RCPtr<core::Request> request;
        std::shared_ptr<detail::HandlerEntry> handler;
        std::shared_ptr<detail::RequestCompletion> completion;
        std::function<void()> task;
    };

    bool postRequest(const RCPtr<core::Request>& request,
                     std::shared_ptr<detail::HandlerEntry> handler,
                     std::shared_ptr<detail::RequestCompletion> completion);
    bool push(Entry&& entry);
    void enqueueSignalled(SyncObject* object);  // caller holds the object's lock
    void timerChanged();
    void run(RCPtr<SyncObjectMgr> self);
    void loop();
    void dispatchSync(SyncObject* object);
    bool spinForWork(std::unique_lock<std::mutex>& lock, std::int64_t until);
    std::int64_t collectDueTimers(std::int64_t now);
    void forgetObject(SyncObject* object);  // caller holds m_mutex
    void runEnd();
    void failPending(RingQueue<Entry>& entries);
    bool isIdleLocked(std::int64_t now) const;  // caller holds m_mutex
    bool isEndingLocked() const;                // caller holds m_mutex
    static void joinThread(std::thread::id id);
    // Which ended threads joinEnded takes: those that already left the worker's code, all of
    // them, or all of them after waiting for the workers already stopping to end too.
    enum class Join { Returned, Ended, EndedAndEnding };
    static void joinEnded(Join which);
    static void joinAtExit();

    const std::string m_name;
    const int m_type;
    BoolCallBack m_begin;
    BoolCallBack m_end;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;         // the worker waits here
    std::condition_variable m_stateChange;  // start, stop and dispatch waiters wait here
    // Keeps its room: a stream of work takes no allocation per entry.
    RingQueue<Entry> m_queue;
    std::vector<WaitableTimer*> m_timers;
    std::vector<SyncObject*> m_objects;
    SyncObject* m_dispatching = nullptr;
    // Entries queued, readable without the lock; the gap before the last piece of work.
    std::atomic<std::size_t> m_queued{0};
    std::int64_t m_recentGapNs = INT64_MAX;
    static constexpr std::int64_t kSpinNs = 50000;
    State m_state = State::Created;
    bool m_sleeping = false;
    // Running work (from the thread's start until it first waits for work, and from taking
    // an entry until it looks for the next), and the entries taken: for waitAllIdle.
    bool m_busy = true;
    std::uint64_t m_ran = 0;
    bool m_beginDone = false;
    bool m_beginResult = false;
    bool m_endDone = false;
    bool m_finished = false;
    bool m_exitRequested = false;
    // Made by start(); handed over by the thread itself, when it finishes, to the list of
    // ended threads that stop(), the destructor and joinEndedWorkers join from.
    std::thread m_thread;
    std::thread::id m_threadId;  // set by start(), under m_mutex
};

// Asserts, in debug builds, that the calling thread is the given worker's own thread: the
// check that an object's state is touched only on its worker.
#ifndef NDEBUG
#define CORE_ASSERT_ON_WORKER(worker) \
    ::core::detail::assertOnWorker((worker), __FILE__, __LINE__, __func__)
#else
#define CORE_ASSERT_ON_WORKER(worker) ((void)0)
#endif

namespace detail {
void assertOnWorker(const SyncObjectMgr* worker, const char* file, int line, const char* func);
inline void assertOnWorker(const RCPtr<SyncObjectMgr>& worker, const char* file, int line,
                           const char* func) {
    assertOnWorker(worker.get(), file, line, func);
}
}  // namespace detail

}  // namespace core
