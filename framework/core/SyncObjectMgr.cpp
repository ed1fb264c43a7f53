#include "framework/core/SyncObjectMgr.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "framework/core/Clock.h"
#include "framework/core/Request.h"
#include "framework/core/ServiceChannel.h"
#include "framework/core/SpinningLock.h"
#include "framework/core/SyncObject.h"
#include "platform/com/ClassRegistry.h"
#include "platform/win32/Library.h"

namespace core {

namespace {

thread_local SyncObjectMgr* t_current = nullptr;

std::int64_t nowNs() {
    return Clock::steadyNow();
}

// The running workers, for waking them when the clock moves and for waiting until all are
// idle. Lock order: this mutex before a worker's; a worker never takes it holding its own.
struct Registry {
    std::mutex mutex;
    std::condition_variable idle;  // a worker became idle or ended
    std::vector<SyncObjectMgr*> workers;
    std::atomic<int> idleWaiters{0};
    // The threads of workers whose run has finished, each joined once by whoever takes it out
    // (a stop, the worker's destructor, joinEndedWorkers); `returned` once the thread has
    // left the worker's code. The ids being joined right now, and a change to either.
    struct Ended {
        std::thread thread;
        bool returned = false;
    };
    std::vector<Ended> ended;
    std::vector<std::thread::id> joining;
    std::condition_variable endedChange;
    bool exiting = false;  // the exit handler has run: threads ending now detach themselves
};

Registry& registry() {
    static auto* r = new Registry;  // never destroyed: workers may end during exit
    return *r;
}

void notifyIdle() {
    Registry& r = registry();
    { std::lock_guard<std::mutex> lock(r.mutex); }
    r.idle.notify_all();
}

}  // namespace

namespace detail {
void assertOnWorker(const SyncObjectMgr* worker, const char* file, int line, const char* func) {
    if (worker && !worker->isCurrentThread()) {
        std::fprintf(stderr, "%s:%d: %s: called off the worker \"%s\"\n", file, line, func,
                     worker->getName().c_str());
        std::abort();
    }
}
}  // namespace detail

SyncObjectMgr::SyncObjectMgr(const std::string& name, int type) : m_name(name), m_type(type) {}

SyncObjectMgr::~SyncObjectMgr() {
    // The thread holds a reference until it has handed its handle over, so a started worker
    // is destroyed either by that last reference on its own thread (nothing to join here:
    // the handle waits in the list of ended threads) or on another thread, which waits for
    // the thread's end so that none of it outlives its worker.
    if (m_state != State::Created && m_threadId != std::this_thread::get_id()) {
        stop(INFINITE);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (SyncObject* o : m_objects) {
        std::lock_guard<std::mutex> objectLock(o->m_lock);
        o->m_worker = nullptr;
    }
}

void SyncObjectMgr::attachBegin(const BoolCallBack& callback) {
    m_begin = callback;
}
void SyncObjectMgr::attachEnd(const BoolCallBack& callback) {
    m_end = callback;
}

SyncObjectMgr* SyncObjectMgr::current() {
    return t_current;
}

void SyncObjectMgr::wakeAll() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (SyncObjectMgr* w : r.workers)
        w->timerChanged();
}

bool SyncObjectMgr::isIdleLocked(std::int64_t now) const {
    if (m_busy || !m_queue.empty())
        return false;
    for (WaitableTimer* t : m_timers) {
        std::int64_t deadline = t->m_deadline.load();
        if (deadline != 0 && deadline <= now)
            return false;
    }
    return true;
}

bool SyncObjectMgr::waitAllIdle(std::chrono::milliseconds timeout, std::uint64_t* work) {
    Registry& r = registry();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    r.idleWaiters.fetch_add(1);
    std::unique_lock<std::mutex> lock(r.mutex);
    // Workers are looked at one after another, so one may hand work to another that was
    // looked at already: idle is when two passes in a row find every worker idle with the
    // same count of work done, so nothing ran between them.
    std::vector<std::pair<SyncObjectMgr*, std::uint64_t>> last, pass;
    bool haveLast = false;
    bool idle = false;
    for (;;) {
        pass.clear();
        bool allIdle = true;
        std::int64_t now = Clock::now();
        for (SyncObjectMgr* w : r.workers) {
            std::lock_guard<std::mutex> workerLock(w->m_mutex);
            if (!w->isIdleLocked(now)) {
                allIdle = false;
                break;
            }
            pass.emplace_back(w, w->m_ran);
        }
        if (allIdle) {
            if (haveLast && pass == last) {
                idle = true;
                break;
            }
            last.swap(pass);
            haveLast = true;
            continue;  // look once more
        }
        haveLast = false;
        if (r.idle.wait_until(lock, deadline) == std::cv_status::timeout)
            break;
    }
    if (idle && work) {
        *work = 0;
        for (auto& [w, ran] : last)
            *work += ran;
    }
    lock.unlock();
    r.idleWaiters.fetch_sub(1);
    return idle;
}

bool SyncObjectMgr::isEndingLocked() const {
    return m_state == State::Stopping || m_state == State::Stopped ||
           (m_beginDone && !m_beginResult);
}

void SyncObjectMgr::joinThread(std::thread::id id) {
    if (id == std::this_thread::get_id())
        return;  // a thread never waits for its own end
    Registry& r = registry();
    std::unique_lock<std::mutex> lock(r.mutex);
    for (;;) {
        auto it = std::find_if(r.ended.begin(), r.ended.end(),
                               [id](const Registry::Ended& e) { return e.thread.get_id() == id; });
        if (it != r.ended.end()) {
            std::thread thread = std::move(it->thread);
            r.ended.erase(it);
            r.joining.push_back(id);
            lock.unlock();
            thread.join();
            lock.lock();
            r.joining.erase(std::find(r.joining.begin(), r.joining.end(), id));
            r.endedChange.notify_all();
            return;
        }
        if (std::find(r.joining.begin(), r.joining.end(), id) == r.joining.end())
            return;
        r.endedChange.wait(lock);  // another party joins it: its end is waited for all the same
    }
}

void SyncObjectMgr::joinEnded(Join which) {
    Registry& r = registry();
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(r.mutex);
    for (;;) {
        std::vector<std::thread> threads;
        std::vector<std::thread::id> ids;
        for (auto it = r.ended.begin(); it != r.ended.end();) {
            if ((which == Join::Returned && !it->returned) || it->thread.get_id() == self) {
                ++it;
                continue;
            }
            ids.push_back(it->thread.get_id());
            threads.push_back(std::move(it->thread));
            it = r.ended.erase(it);
        }
        if (!threads.empty()) {
            r.joining.insert(r.joining.end(), ids.begin(), ids.end());
            lock.unlock();
            for (auto& t : threads)
                t.join();
            lock.lock();
            for (std::thread::id id : ids)
                r.joining.erase(std::find(r.joining.begin(), r.joining.end(), id));
            r.endedChange.notify_all();
            if (which != Join::Returned)
                continue;  // more may have ended meanwhile
        }
        if (which != Join::EndedAndEnding)
            return;
        // Workers already asked to stop hand their thread over when they finish; threads
        // another party is joining are waited for too.
        bool pending = std::any_of(r.joining.begin(), r.joining.end(),
                                   [self](std::thread::id id) { return id != self; });
        for (SyncObjectMgr* w : r.workers) {
            if (pending)
                break;
            std::lock_guard<std::mutex> workerLock(w->m_mutex);
            pending = w->m_threadId != self && w->isEndingLocked();
        }
        if (!pending)
            return;
        r.endedChange.wait(lock);
    }
}

void SyncObjectMgr::joinEndedWorkers() {
    joinEnded(Join::EndedAndEnding);
}

void SyncObjectMgr::joinAtExit() {
    // Joins what has ended by now. A worker still ending (a release posted its stop just
    // before the process ended) hands its thread over later, when no one is left to join it:
    // from here on such a thread detaches itself instead. Nothing waits here for a worker,
    // so an exit never hangs on one.
    joinEnded(Join::Ended);
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.exiting = true;
    for (auto& e : r.ended)
        e.thread.detach();  // ended while the others were joined
    r.ended.clear();
}

bool SyncObjectMgr::isCurrentThread() const {
    return t_current == this;
}

bool SyncObjectMgr::isRunning() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state == State::Starting || m_state == State::Running;
}

bool SyncObjectMgr::start(unsigned long milliseconds) {
    // A process that ends without releasing its last component object still joins the threads
    // of workers that ended on their own (in a plug-in, at its unload). The handler is
    // registered before the first thread starts, so that it runs whenever one ends. Where exit
    // handlers run under the loader lock (Windows), a join there could deadlock: there the last
    // component object's release joins them.
    if (platform::threadsEndWhileUnloading()) {
        static const bool atExit = [] { return std::atexit(&SyncObjectMgr::joinAtExit) == 0; }();
        (void)atExit;
    }
    joinEnded(Join::Returned);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_state != State::Created)
        return false;
    m_state = State::Starting;
    m_thread = std::thread(&SyncObjectMgr::run, this, RCPtr<SyncObjectMgr>(this));
    m_threadId = m_thread.get_id();
    auto done = [this] { return m_beginDone; };
    if (milliseconds == INFINITE) {
        m_stateChange.wait(lock, done);
    } else if (!m_stateChange.wait_for(lock, std::chrono::milliseconds(milliseconds), done)) {
        return false;
    }
    return m_beginResult;
}

bool SyncObjectMgr::stop(unsigned long milliseconds) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_state == State::Created) {
        // Never started: nothing to end, and a later stop finds it finished.
        m_state = State::Stopped;
        m_finished = true;
        return true;
    }
    if (m_state == State::Starting || m_state == State::Running) {
        m_state = State::Stopping;
        if (isCurrentThread()) {
            // Stopping from inside one of our own callbacks: nothing queued after this runs.
            m_exitRequested = true;
            RingQueue<Entry> dropped;
            dropped.swap(m_queue);
            lock.unlock();
            failPending(dropped);
            runEnd();
            return true;
        }
        Entry stopEntry;
        stopEntry.kind = Entry::Stop;
        m_queue.push_back(std::move(stopEntry));
        m_queued.store(m_queue.size(), std::memory_order_relaxed);
        m_wake.notify_one();
    }
    // On the worker's own thread (also after its loop, while the thread ends) there is no
    // end to wait for.
    if (isCurrentThread() || m_threadId == std::this_thread::get_id())
        return true;
    auto finished = [this] { return m_finished; };
    if (milliseconds == INFINITE) {
        m_stateChange.wait(lock, finished);
    } else if (!m_stateChange.wait_for(lock, std::chrono::milliseconds(milliseconds), finished)) {
        return false;
    }
    // Finished: the thread has handed its handle over, and is joined here (or by whoever took
    // it first) so that none of it runs once this returns.
    const std::thread::id id = m_threadId;
    lock.unlock();
    joinThread(id);
    return true;
}

bool SyncObjectMgr::post(std::function<void()> task) {
    Entry e;
    e.kind = Entry::Task;
    e.task = std::move(task);
    return push(std::move(e));
}

bool SyncObjectMgr::postRequest(const RCPtr<core::Request>& request,
                                std::shared_ptr<detail::HandlerEntry> handler,
                                std::shared_ptr<detail::RequestCompletion> completion) {
    Entry e;
    e.kind = Entry::Request;
    e.request = request;
    e.handler = std::move(handler);
    e.completion = std::move(completion);
    return push(std::move(e));
}

bool SyncObjectMgr::push(Entry&& entry) {
    SpinningLock lock(m_mutex);
    if (m_state != State::Starting && m_state != State::Running)
        return false;
    m_queue.push_back(std::move(entry));
    m_queued.store(m_queue.size(), std::memory_order_relaxed);
    if (m_sleeping) {
        m_sleeping = false;
        m_wake.notify_one();
    }
    return true;
}

bool SyncObjectMgr::addSyncObject(SyncObject* object) {
    if (!object)
        return false;
    {
        std::lock_guard<std::mutex> objectLock(object->m_lock);
        if (object->m_worker == this)
            return true;
        if (object->m_worker)
            return false;
        object->m_worker = this;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_objects.push_back(object);
        if (auto* timer = dynamic_cast<WaitableTimer*>(object)) {
            m_timers.push_back(timer);
            if (m_sleeping)
                m_wake.notify_one();
        }
    }
    object->onAdded();
    return true;
}

bool SyncObjectMgr::removeSyncObject(SyncObject* object) {
    if (!object)
        return false;
    std::lock_guard<std::mutex> objectLock(object->m_lock);
    if (object->m_worker != this)
        return false;
    object->m_worker = nullptr;
    std::unique_lock<std::mutex> lock(m_mutex);
    forgetObject(object);
    if (m_dispatching == object) {
        if (isCurrentThread()) {
            m_dispatching = nullptr;  // removed by its own callback: not touched afterwards
        } else {
            m_stateChange.wait(lock, [&] { return m_dispatching != object; });
        }
    }
    return true;
}

void SyncObjectMgr::forgetObject(SyncObject* object) {
    m_objects.erase(std::remove(m_objects.begin(), m_objects.end(), object), m_objects.end());
    m_timers.erase(std::remove(m_timers.begin(), m_timers.end(), object), m_timers.end());
    if (object->m_queued) {
        object->m_queued = false;
        m_queue.removeIf(
            [object](const Entry& e) { return e.kind == Entry::Sync && e.object == object; });
    }
}

void SyncObjectMgr::enqueueSignalled(SyncObject* object) {
    SpinningLock lock(m_mutex);
    if (object->m_queued || m_state == State::Stopped)
        return;
    object->m_queued = true;
    Entry e;
    e.kind = Entry::Sync;
    e.object = object;
    m_queue.push_back(std::move(e));
    m_queued.store(m_queue.size(), std::memory_order_relaxed);
    if (m_sleeping) {
        m_sleeping = false;
        m_wake.notify_one();
    }
}

void SyncObjectMgr::timerChanged() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sleeping) {
        m_sleeping = false;
        m_wake.notify_one();
    }
}

std::int64_t SyncObjectMgr::collectDueTimers(std::int64_t now) {
    std::int64_t next = 0;
    for (WaitableTimer* t : m_timers) {
        std::int64_t deadline = t->m_deadline.load();
        if (deadline == 0)
            continue;
        if (deadline <= now) {
            // One shot: fires once, then waits for the next setTimer.
            if (t->m_deadline.compare_exchange_strong(deadline, 0)) {
                t->m_signalled = true;
                if (!t->m_queued) {
                    t->m_queued = true;
                    Entry e;
                    e.kind = Entry::Sync;
                    e.object = t;
                    m_queue.push_back(std::move(e));
                    m_queued.store(m_queue.size(), std::memory_order_relaxed);
                }
            }
        } else if (next == 0 || deadline < next) {
            next = deadline;
        }
    }
    return next;
}

namespace {

// A worker's thread belongs to the multithreaded apartment for its whole life, whatever
// apartment the thread that started it is in: the objects it makes and the events it receives
// from other threads are the multithreaded apartment's (on Windows; elsewhere the calls do
// nothing). It leaves after everything the worker held is gone.
class ThreadApartment {
  public:
    ThreadApartment() : m_entered(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
    ~ThreadApartment() {
        if (m_entered)
            CoUninitialize();
    }
    ThreadApartment(const ThreadApartment&) = delete;
    ThreadApartment& operator=(const ThreadApartment&) = delete;

  private:
    const bool m_entered;
};

}  // namespace

void SyncObjectMgr::run(RCPtr<SyncObjectMgr> self) {
    const ThreadApartment apartment;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.workers.push_back(this);
    }
    t_current = this;
    pthread_setname_np(pthread_self(), m_name.substr(0, 15).c_str());
    bool ok = m_begin.isValid() ? m_begin() : true;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_beginDone = true;
        m_beginResult = ok;
        if (ok && m_state == State::Starting)
            m_state = State::Running;
    }
    m_stateChange.notify_all();
    if (ok)
        loop();

    RingQueue<Entry> left;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = State::Stopped;
        left.swap(m_queue);
        for (SyncObject* o : m_objects)
            o->m_queued = false;
    }
    failPending(left);
    Registry& r = registry();
    {
        // The thread hands its own handle over, under both locks, as it says it has finished:
        // a stop that sees it finished finds the handle in the list, and exactly one party
        // takes it out and joins it. Nothing is ever detached, so the library's code can wait
        // for every thread that may still run it.
        std::lock_guard<std::mutex> registryLock(r.mutex);
        r.workers.erase(std::remove(r.workers.begin(), r.workers.end(), this), r.workers.end());
        std::lock_guard<std::mutex> lock(m_mutex);
        if (r.exiting) {
            m_thread.detach();
        } else {
            r.ended.push_back(Registry::Ended{std::move(m_thread), false});
        }
        m_finished = true;
    }
    m_stateChange.notify_all();
    r.idle.notify_all();
    r.endedChange.notify_all();
    t_current = nullptr;
    self.reset();  // may destroy this worker, on its own thread
    // Only the thread's own return is left: a join of it no longer waits for anything.
    const std::thread::id id = std::this_thread::get_id();
    std::lock_guard<std::mutex> registryLock(r.mutex);
    for (auto& e : r.ended)
        if (e.thread.get_id() == id)
            e.returned = true;
}

void SyncObjectMgr::loop() {
    for (;;) {
        Entry e;
        {
            SpinningLock::acquire(m_mutex);
            std::unique_lock<std::mutex> lock(m_mutex, std::adopt_lock);
            if (m_exitRequested)
                return;
            std::int64_t idleSince = 0;
            for (;;) {
                std::int64_t now = nowNs();
                const bool steady = Clock::isSteady();
                std::int64_t next =
                    m_timers.empty() ? 0 : collectDueTimers(steady ? now : Clock::now());
                if (!m_queue.empty())
                    break;
                if (m_busy) {
                    m_busy = false;
                    if (registry().idleWaiters.load() != 0) {
                        lock.unlock();
                        notifyIdle();
                        lock.lock();
                        continue;  // look again under the lock before sleeping
                    }
                }
                if (idleSince == 0) {
                    idleSince = now;
                    if (m_recentGapNs < kSpinNs) {
                        spinForWork(lock, now + kSpinNs);
                        continue;  // look again under the lock before sleeping
                    }
                }
                m_sleeping = true;
                if (next == 0 || !steady) {
                    m_wake.wait(lock);
                } else {
                    m_wake.wait_until(lock, std::chrono::steady_clock::time_point(
                                                std::chrono::nanoseconds(next)));
                }
                m_sleeping = false;
            }
            if (idleSince != 0)
                m_recentGapNs = nowNs() - idleSince;
            e = std::move(m_queue.front());
            m_queue.pop_front();
            m_busy = true;
            ++m_ran;
            m_queued.store(m_queue.size(), std::memory_order_relaxed);
            if (e.kind == Entry::Sync) {
                e.object->m_queued = false;
                m_dispatching = e.object;
            }
        }
        switch (e.kind) {
            case Entry::Task:
                e.task();
                break;
            case Entry::Request:
                if (e.handler->attached) {
                    e.handler->fn(*e.request);
                    if (e.completion)
                        e.completion->handlerReturned();
                } else if (e.completion) {
                    e.completion->fail();
                }
                break;
            case Entry::Sync:
                dispatchSync(e.object);
                break;
            case Entry::Stop:
                runEnd();
                return;
        }
    }
}

bool SyncObjectMgr::spinForWork(std::unique_lock<std::mutex>& lock, std::int64_t until) {
    // Work came in quick succession lately (a request and answer exchange, a stream of
    // blocks): look for the next piece for a few microseconds before sleeping, since waking
    // a sleeping thread costs far more. Other threads may run meanwhile.
    lock.unlock();
    bool found = false;
    while (!(found = m_queued.load(std::memory_order_relaxed) != 0) && nowNs() < until)
        std::this_thread::yield();
    lock.lock();
    return found;
}

void SyncObjectMgr::dispatchSync(SyncObject* object) {
    std::shared_ptr<const CallBack> callback;
    {
        SpinningLock objectLock(object->m_lock);
        if (object->m_worker == this)
            callback = object->m_callback;
    }
    if (callback && object->acquire())
        (*callback)();

    SpinningLock lock(m_mutex);
    if (m_dispatching != object) {
        m_stateChange.notify_all();
        return;  // removed or destroyed by its callback
    }
    m_dispatching = nullptr;
    if (callback && !object->m_queued && object->isPending() &&
        std::find(m_objects.begin(), m_objects.end(), object) != m_objects.end()) {
        object->m_queued = true;
        Entry again;
        again.kind = Entry::Sync;
        again.object = object;
        m_queue.push_back(std::move(again));
        m_queued.store(m_queue.size(), std::memory_order_relaxed);
    }
    m_stateChange.notify_all();
}

void SyncObjectMgr::runEnd() {
    if (m_endDone)
        return;
    m_endDone = true;
    if (m_end.isValid())
        m_end();
}

void SyncObjectMgr::failPending(RingQueue<Entry>& entries) {
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (entries[i].kind == Entry::Request && entries[i].completion)
            entries[i].completion->fail();
    entries.clear();
}

}  // namespace core
