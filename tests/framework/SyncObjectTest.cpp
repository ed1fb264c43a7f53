#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/core/Clock.h"
#include "framework/core/Pipe.h"
#include "framework/core/SpinningLock.h"
#include "framework/core/SyncObject.h"
#include "framework/core/SyncObjectMgr.h"
#include "framework/core/Trace.h"

namespace {

using core::RCPtr;
using namespace std::chrono_literals;

// Runs functions on a worker and counts callbacks, with bounded waits for the test thread.
class Host {
  public:
    Host() : worker(new core::SyncObjectMgr("SyncTest", 0)) { worker->start(2000); }
    ~Host() { worker->stop(INFINITE); }

    // Runs f on the worker and waits for it.
    template <class F>
    void onWorker(F f) {
        std::promise<void> done;
        worker->post([&] {
            f();
            done.set_value();
        });
        done.get_future().wait();
    }
    void hit() {
        EXPECT_TRUE(worker->isCurrentThread());
        std::lock_guard<std::mutex> lock(mutex);
        ++hits;
        cv.notify_all();
    }
    bool waitHits(int n, std::chrono::milliseconds limit = 5s) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, limit, [&] { return hits >= n; });
    }
    int count() {
        std::lock_guard<std::mutex> lock(mutex);
        return hits;
    }
    // Callbacks run once every worker has nothing left to run.
    int countWhenIdle() {
        EXPECT_TRUE(core::SyncObjectMgr::waitAllIdle(5s));
        return count();
    }

    RCPtr<core::SyncObjectMgr> worker;
    std::mutex mutex;
    std::condition_variable cv;
    int hits = 0;
};

TEST(WaitableTimer, FiresOnceOnTheWorker) {
    Host h;
    core::WaitableTimer timer(1);
    timer.registerCallBack(&h, &Host::hit);
    h.onWorker([&] {
        ASSERT_TRUE(h.worker->addSyncObject(&timer));
        timer.setTimer(20);
    });
    ASSERT_TRUE(h.waitHits(1));
    // Setting it again arms it again.
    h.onWorker([&] { timer.setTimer(1); });
    ASSERT_TRUE(h.waitHits(2));
    h.onWorker([&] { h.worker->removeSyncObject(&timer); });
}

TEST(WaitableTimer, FiresWhenTheManualClockReachesItsDeadline) {
    core::ManualClock clock;
    Host h;
    core::WaitableTimer timer(1);
    timer.registerCallBack(&h, &Host::hit);
    h.onWorker([&] {
        ASSERT_TRUE(h.worker->addSyncObject(&timer));
        timer.setTimer(6000);
    });
    clock.advance(5999ms);
    EXPECT_EQ(h.countWhenIdle(), 0);
    clock.advance(1ms);
    EXPECT_EQ(h.countWhenIdle(), 1);
    clock.advance(60s);
    EXPECT_EQ(h.countWhenIdle(), 1) << "a one-shot timer fires once";

    // Setting it again counts from the clock's time then; a later setting replaces it.
    h.onWorker([&] { timer.setTimer(300); });
    clock.advance(200ms);
    h.onWorker([&] { timer.setTimer(300); });
    clock.advance(200ms);
    EXPECT_EQ(h.countWhenIdle(), 1);
    clock.advance(100ms);
    EXPECT_EQ(h.countWhenIdle(), 2);
    h.onWorker([&] { h.worker->removeSyncObject(&timer); });
}

TEST(WaitableTimer, TimersOfSeveralWorkersFireInOneAdvance) {
    core::ManualClock clock;
    Host a, b;
    core::WaitableTimer first(1), second(1);
    first.registerCallBack(&a, &Host::hit);
    second.registerCallBack(&b, &Host::hit);
    a.onWorker([&] {
        a.worker->addSyncObject(&first);
        first.setTimer(3000);
    });
    b.onWorker([&] {
        b.worker->addSyncObject(&second);
        second.setTimer(300);
    });
    clock.advance(10s);
    ASSERT_TRUE(core::SyncObjectMgr::waitAllIdle(5s));
    EXPECT_EQ(a.count(), 1);
    EXPECT_EQ(b.count(), 1);
    a.onWorker([&] { a.worker->removeSyncObject(&first); });
    b.onWorker([&] { b.worker->removeSyncObject(&second); });
}

TEST(WaitableTimer, CancelledOrRemovedNeverFires) {
    core::ManualClock clock;
    Host h;
    core::WaitableTimer cancelled(1), removed(1), reset(1);
    cancelled.registerCallBack(&h, &Host::hit);
    removed.registerCallBack(&h, &Host::hit);
    reset.registerCallBack(&h, &Host::hit);
    h.onWorker([&] {
        h.worker->addSyncObject(&cancelled);
        h.worker->addSyncObject(&removed);
        h.worker->addSyncObject(&reset);
        cancelled.setTimer(30);
        removed.setTimer(30);
        reset.setTimer(30);
        cancelled.cancelWaitableTimer();
        h.worker->removeSyncObject(&removed);
        reset.setTimer(100000);  // a later setting replaces the earlier one
    });
    clock.advance(99999ms);
    EXPECT_EQ(h.countWhenIdle(), 0);
    clock.advance(1ms);
    EXPECT_EQ(h.countWhenIdle(), 1);
    h.onWorker([&] {
        h.worker->removeSyncObject(&cancelled);
        h.worker->removeSyncObject(&reset);
    });
}

// A timer whose callback removes and deletes it, as one-shot activation timers do.
struct SelfDeleting {
    Host* host;
    core::WaitableTimer* timer = nullptr;
    void onTimer() {
        host->worker->removeSyncObject(timer);
        delete timer;
        timer = nullptr;
        host->hit();
    }
};

TEST(WaitableTimer, CallbackMayDeleteItsTimer) {
    Host h;
    SelfDeleting s{&h};
    h.onWorker([&] {
        s.timer = new core::WaitableTimer(1);
        s.timer->registerCallBack(&s, &SelfDeleting::onTimer);
        h.worker->addSyncObject(s.timer);
        s.timer->setTimer(5);
    });
    ASSERT_TRUE(h.waitHits(1));
    h.onWorker([&] { EXPECT_EQ(s.timer, nullptr); });
}

TEST(Event, AutoResetFiresOncePerSet) {
    Host h;
    core::Event event(false, false);
    event.registerCallBack(&h, &Host::hit);
    h.onWorker([&] { h.worker->addSyncObject(&event); });
    event.setEvent();  // from another thread, as an I/O completion would
    ASSERT_TRUE(h.waitHits(1));
    EXPECT_FALSE(event.wait(0)) << "the dispatch consumed the signal";
    event.setEvent();
    ASSERT_TRUE(h.waitHits(2));
    h.onWorker([&] { h.worker->removeSyncObject(&event); });
    event.setEvent();
    EXPECT_EQ(h.countWhenIdle(), 2) << "a removed event stays silent";
}

struct ManualReset {
    Host* host;
    core::Event* event;
    void onEvent() {
        event->resetEvent();  // as the serial port's read-again callback does
        host->hit();
    }
};

TEST(Event, ManualResetAndSignalledBeforeAdding) {
    Host h;
    core::Event event(true, true);  // signalled from the start
    ManualReset m{&h, &event};
    event.registerCallBack(&m, &ManualReset::onEvent);
    h.onWorker([&] { h.worker->addSyncObject(&event); });
    ASSERT_TRUE(h.waitHits(1));
    EXPECT_EQ(h.countWhenIdle(), 1) << "reset in its callback, it does not fire again";
    EXPECT_FALSE(event.wait(0));
    h.onWorker([&] { h.worker->removeSyncObject(&event); });
}

struct Reader {
    Host* host;
    RCPtr<core::Pipe> pipe;
    std::vector<std::size_t> sizes;
    void onPipe() {
        // One block per signal.
        if (auto block = pipe->readData())
            sizes.push_back(block->size());
        host->hit();
    }
};

// Whether the lock was free or held by another thread when asked for, the taker goes on only
// holding it, and gives it back at the end of its scope (ThreadSanitizer sees a missing
// exclusion as a race on `value`).
TEST(SpinningLock, GoesOnOnlyHoldingTheLockAndGivesItBack) {
    std::mutex mutex;
    int value = 0;
    std::promise<void> asking;
    mutex.lock();
    std::thread taker([&] {
        asking.set_value();
        core::SpinningLock lock(mutex);
        value += 1;
    });
    asking.get_future().wait();
    value = 41;  // still held here: the taker cannot have gone on
    mutex.unlock();
    taker.join();
    {
        core::SpinningLock lock(mutex);  // free: taken at once
        value += 1;
    }
    EXPECT_EQ(value, 43);
    ASSERT_TRUE(mutex.try_lock());
    mutex.unlock();
}

TEST(Pipe, ReaderCalledOnceForEveryBlockWritten) {
    Host h;
    Reader r{&h, new core::AsyncPipe(), {}};
    r.pipe->getSyncObject()->registerCallBack(&r, &Reader::onPipe);
    // Blocks written before the reader waits are not lost.
    r.pipe->write(new core::Data("a", 1));
    h.onWorker([&] { h.worker->addSyncObject(r.pipe->getSyncObject()); });
    const int n = 20000;
    std::thread writer([&] {
        for (int i = 1; i <= n; ++i) {
            std::vector<unsigned char> b(static_cast<std::size_t>(i % 100 + 1), 0);
            r.pipe->write(new core::Data(b.data(), b.size()));
        }
    });
    writer.join();
    ASSERT_TRUE(h.waitHits(n + 1, 20s));
    h.onWorker([&] { h.worker->removeSyncObject(r.pipe->getSyncObject()); });
    ASSERT_EQ(r.sizes.size(), static_cast<std::size_t>(n + 1));
    for (int i = 1; i <= n; ++i)
        ASSERT_EQ(r.sizes[i], static_cast<std::size_t>(i % 100 + 1));
    EXPECT_EQ(r.pipe->getCount(), 0u);
}

TEST(Pipe, RefusesOnlyAboveItsBoundAndSaysSo) {
    core::TraceCapture trace;
    RCPtr<core::Pipe> pipe(new core::AsyncPipe(10));
    std::vector<unsigned char> big(64, 1);
    EXPECT_TRUE(pipe->write(new core::Data(big.data(), big.size())))
        << "an empty pipe takes any block";
    EXPECT_FALSE(pipe->write(new core::Data("x", 1)));
    EXPECT_EQ(pipe->getRefusedCount(), 1u);
    EXPECT_TRUE(
        trace.has(20, "Pipe::write refused a block of 1 bytes (64 bytes queued, limit 10)\n"));
    EXPECT_EQ(pipe->readData()->size(), 64u);
    EXPECT_TRUE(pipe->write(new core::Data("x", 1)));
    pipe->setMaxBytes(core::Pipe::kDefaultMaxBytes);
    EXPECT_TRUE(pipe->write(new core::Data(big.data(), big.size())));
    EXPECT_EQ(pipe->getBytes(), 65u);
}

// A pipe that does not accept refuses quietly and counts nothing against its bound; what it
// held stays readable, and it takes blocks again once it accepts.
TEST(Pipe, RefusesEveryBlockWhileItDoesNotAccept) {
    core::TraceCapture trace;
    RCPtr<core::Pipe> pipe(new core::AsyncPipe());
    EXPECT_TRUE(pipe->write(new core::Data("a", 1)));
    pipe->setAccepting(false);
    EXPECT_FALSE(pipe->isAccepting());
    EXPECT_FALSE(pipe->write(new core::Data("b", 1)));
    EXPECT_EQ(pipe->getRefusedCount(), 0u);
    EXPECT_FALSE(trace.contains("Pipe::write"));
    ASSERT_EQ(pipe->getCount(), 1u);
    EXPECT_EQ(pipe->readData()->getInternalData()[0], 'a');
    pipe->setAccepting(true);
    EXPECT_TRUE(pipe->write(new core::Data("c", 1)));
    EXPECT_EQ(pipe->readData()->getInternalData()[0], 'c');
}

TEST(Pipe, DestroyedWhileAddedIsNeverDispatched) {
    Host h;
    Reader r{&h, new core::AsyncPipe(), {}};
    r.pipe->getSyncObject()->registerCallBack(&r, &Reader::onPipe);
    h.onWorker([&] {
        h.worker->addSyncObject(r.pipe->getSyncObject());
        r.pipe->write(new core::Data("a", 1));
        r.pipe.reset();  // the queued signal goes with it
    });
    EXPECT_EQ(h.countWhenIdle(), 0);
}

}  // namespace
