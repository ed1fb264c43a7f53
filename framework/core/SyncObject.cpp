#include "framework/core/SyncObject.h"

#include <algorithm>

#include "framework/core/Clock.h"
#include "framework/core/SpinningLock.h"
#include "framework/core/SyncObjectMgr.h"

namespace core {

SyncObject::~SyncObject() {
    detachFromWorker();
}

void SyncObject::detachFromWorker() {
    SyncObjectMgr* worker = getWorker();
    if (worker)
        worker->removeSyncObject(this);
}

SyncObjectMgr* SyncObject::getWorker() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_worker;
}

void SyncObject::setCallBack(const CallBack& callback) {
    auto cb = callback.isValid() ? std::make_shared<const CallBack>(callback) : nullptr;
    std::lock_guard<std::mutex> lock(m_lock);
    m_callback = std::move(cb);
}

std::shared_ptr<const CallBack> SyncObject::getCallBack() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_callback;
}

void SyncObject::signal() {
    SpinningLock lock(m_lock);
    if (m_worker)
        m_worker->enqueueSignalled(this);
}

Event::Event(bool manualReset, bool initialState, const char* name, LPSECURITY_ATTRIBUTES sa)
    : m_handle(CreateEventA(sa, manualReset, initialState, name)), m_manual(manualReset) {
    platform::setEventNotify(m_handle, &Event::onNotify, this, m_manual);
}

Event::~Event() {
    detachFromWorker();
    platform::setEventNotify(m_handle, nullptr, nullptr, m_manual);
    CloseHandle(m_handle);
}

void Event::onNotify(void* context) {
    static_cast<Event*>(context)->signal();
}

bool Event::setEvent() {
    return SetEvent(m_handle) != FALSE;
}
bool Event::resetEvent() {
    return ResetEvent(m_handle) != FALSE;
}
bool Event::wait(DWORD milliseconds) {
    return platform::waitEvent(m_handle, milliseconds) == WAIT_OBJECT_0;
}

bool Event::acquire() {
    return wait(0);
}
bool Event::isPending() {
    return m_manual && wait(0);
}
void Event::onAdded() {
    // Signalled before it was added: it fires now. The test consumes an auto-reset signal,
    // so it is given back, which notifies the worker.
    if (!wait(0))
        return;
    if (m_manual) {
        signal();
    } else {
        SetEvent(m_handle);
    }
}

WaitableTimer::WaitableTimer(int type, const char*, LPSECURITY_ATTRIBUTES) : m_type(type) {}

WaitableTimer::~WaitableTimer() {
    detachFromWorker();
}

bool WaitableTimer::setTimer(unsigned long milliseconds) {
    std::int64_t now = Clock::now();
    m_signalled = false;
    // Due exactly ms after now; never 0, which means not set.
    m_deadline = std::max<std::int64_t>(now + static_cast<std::int64_t>(milliseconds) * 1000000, 1);
    if (SyncObjectMgr* worker = getWorker())
        worker->timerChanged();
    return true;
}

bool WaitableTimer::cancelWaitableTimer() {
    m_deadline = 0;
    m_signalled = false;
    return true;
}

bool WaitableTimer::acquire() {
    return m_signalled.exchange(false);
}

}  // namespace core
