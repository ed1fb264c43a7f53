#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "framework/core/ComponentCount.h"
#include "framework/core/Request.h"
#include "framework/core/ServiceChannel.h"
#include "framework/core/SyncObject.h"
#include "framework/core/SyncObjectMgr.h"
#include "framework/core/WorkerBound.h"

namespace {

using core::RCPtr;

// An object living on its own worker, reached by named requests.
class Echo : public core::RCObject {
  public:
    explicit Echo(bool beginResult = true) : m_beginResult(beginResult) {
        m_worker = new core::SyncObjectMgr("EchoThread", 0);
        m_worker->attachBegin(core::BoolCallBack(this, &Echo::onBegin));
        m_worker->attachEnd(core::BoolCallBack(this, &Echo::onEnd));
        m_started = m_worker->start(2000);
    }
    ~Echo() override { m_worker->stop(INFINITE); }

    bool onBegin() {
        beginThread = std::this_thread::get_id();
        if (!m_beginResult)
            return false;
        m_channel = new core::ServiceChannel(m_worker, false);
        m_channel->attach("Echo", this, &Echo::onEcho);
        m_channel->attach("Append", this, &Echo::onAppend);
        m_channel->attach("Defer", this, &Echo::onDefer);
        m_channel->attach("Forget", this, &Echo::onForget);
        m_channel->attach("Nested", this, &Echo::onNested);
        m_channel->attach("Silent", this, &Echo::onSilent);
        return true;
    }
    bool onEnd() {
        endThread = std::this_thread::get_id();
        endRan = true;
        m_deferred.reset();
        return true;
    }
    void onEcho(core::Request& r) {
        CORE_ASSERT_ON_WORKER(m_worker);
        auto& s = static_cast<core::StringReq&>(r);
        core::ServiceChannel::sendResponse(new core::StringRsp(r, s.getString()));
    }
    void onAppend(core::Request& r) {
        CORE_ASSERT_ON_WORKER(m_worker);
        auto& n = static_cast<core::NumberReq&>(r);
        seen.push_back(static_cast<int>(n.getNumber()->toLongLong()));
    }
    // Keeps the answer and sends it from a later posted request.
    void onDefer(core::Request& r) { m_deferred = new core::StringRsp(r, "later"); }
    void onForget(core::Request& r) { m_deferred = new core::StringRsp(r, "never"); }
    void onNested(core::Request& r) {
        // A synchronous request to our own worker from inside a handler must not deadlock.
        RCPtr<core::Response> inner;
        bool ok = m_channel->doRequest(new core::StringReq("Echo", "inner"), &inner);
        auto rsp = core::rcCast<core::StringRsp>(inner);
        core::ServiceChannel::sendResponse(
            new core::StringRsp(r, ok && rsp ? rsp->getString() : core::EString("failed")));
    }
    void onSilent(core::Request&) {}

    void sendDeferred() {
        m_worker->post([this] {
            core::ServiceChannel::sendResponse(m_deferred);
            m_deferred.reset();
        });
    }
    void dropDeferred() {
        m_worker->post([this] { m_deferred.reset(); });
    }

    RCPtr<core::SyncObjectMgr> m_worker;
    RCPtr<core::ServiceChannel> m_channel;
    RCPtr<core::Response> m_deferred;
    bool m_beginResult;
    bool m_started = false;
    std::thread::id beginThread, endThread;
    std::atomic<bool> endRan{false};
    std::vector<int> seen;
};

core::EString echo(Echo& e, const char* text, bool* ok = nullptr) {
    RCPtr<core::Response> rsp;
    bool done = e.m_channel->doRequest(new core::StringReq("Echo", text), &rsp);
    if (ok)
        *ok = done;
    auto s = core::rcCast<core::StringRsp>(rsp);
    return s ? s->getString() : core::EString();
}

TEST(Worker, BeginAndEndRunOnTheWorker) {
    RCPtr<Echo> e(new Echo);
    ASSERT_TRUE(e->m_started);
    EXPECT_NE(e->beginThread, std::this_thread::get_id());
    EXPECT_TRUE(e->m_worker->isRunning());
    auto begin = e->beginThread;
    ASSERT_TRUE(e->m_worker->stop(INFINITE));
    EXPECT_TRUE(e->endRan);
    EXPECT_EQ(e->endThread, begin);
    EXPECT_FALSE(e->m_worker->isRunning());
}

TEST(Worker, StopWithoutStartReturnsEveryTime) {
    RCPtr<core::SyncObjectMgr> worker(new core::SyncObjectMgr("NeverStarted", 0));
    EXPECT_TRUE(worker->stop(INFINITE));
    EXPECT_TRUE(worker->stop(INFINITE))
        << "a second stop must not wait for a thread that never ran";
    EXPECT_FALSE(worker->start(100));
}

TEST(Worker, FailedBeginFailsStart) {
    RCPtr<Echo> e(new Echo(false));
    EXPECT_FALSE(e->m_started);
    EXPECT_FALSE(e->endRan) << "no end callback after a failed begin";
}

TEST(Worker, SynchronousRequestGetsItsResponse) {
    RCPtr<Echo> e(new Echo);
    bool ok = false;
    EXPECT_EQ(echo(*e, "Tvp", &ok), "Tvp");
    EXPECT_TRUE(ok);
}

TEST(Worker, PostedRequestsRunInOrderOneAtATime) {
    RCPtr<Echo> e(new Echo);
    const int n = 5000;
    for (int i = 0; i < n; ++i) {
        RCPtr<core::NumberReq> r(new core::NumberReq("Append", new core::ELong(i)));
        r->setSyncType(core::Request::POSTED);
        ASSERT_TRUE(e->m_channel->doRequest(r));
    }
    // A synchronous request queued behind them answers only after all of them ran.
    echo(*e, "barrier");
    ASSERT_EQ(e->seen.size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(e->seen[i], i);
}

TEST(Worker, PostedRequestReturnsWithoutResponse) {
    RCPtr<Echo> e(new Echo);
    RCPtr<core::StringReq> r(new core::StringReq("Echo", "x"));
    r->setSyncType(core::Request::POSTED);
    RCPtr<core::Response> rsp;
    EXPECT_TRUE(e->m_channel->doRequest(r, &rsp));
    EXPECT_FALSE(rsp);
}

TEST(Worker, MissingHandlerOrStoppedWorkerFailsAtOnce) {
    RCPtr<Echo> e(new Echo);
    RCPtr<core::Response> rsp;
    EXPECT_FALSE(e->m_channel->doRequest(new core::Request("NoSuchRequest"), &rsp));
    EXPECT_TRUE(e->m_channel->detach("Echo"));
    bool ok = true;
    echo(*e, "x", &ok);
    EXPECT_FALSE(ok);
    e->m_worker->stop(INFINITE);
    EXPECT_FALSE(e->m_channel->doRequest(new core::StringReq("Append", "x")));
}

TEST(Worker, HandlerWithoutResponseFailsTheWaiter) {
    RCPtr<Echo> e(new Echo);
    RCPtr<core::Response> rsp;
    EXPECT_FALSE(e->m_channel->doRequest(new core::Request("Silent"), &rsp));
    EXPECT_FALSE(rsp);
}

TEST(Worker, ResponseSentLaterReleasesTheWaiter) {
    RCPtr<Echo> e(new Echo);
    auto answer = std::async(std::launch::async, [&] {
        RCPtr<core::Response> rsp;
        bool ok = e->m_channel->doRequest(new core::Request("Defer"), &rsp);
        auto s = core::rcCast<core::StringRsp>(rsp);
        return ok && s ? s->getString() : core::EString("failed");
    });
    // The waiter stays blocked until the kept response is sent.
    EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    e->sendDeferred();
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(answer.get(), "later");
}

TEST(Worker, KeptResponseDroppedUnsentFailsTheWaiter) {
    RCPtr<Echo> e(new Echo);
    auto answer = std::async(std::launch::async, [&] {
        RCPtr<core::Response> rsp;
        return e->m_channel->doRequest(new core::Request("Forget"), &rsp);
    });
    EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    e->dropDeferred();
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(answer.get());
}

TEST(Worker, StopReleasesWaiterOfKeptResponse) {
    RCPtr<Echo> e(new Echo);
    auto answer = std::async(std::launch::async,
                             [&] { return e->m_channel->doRequest(new core::Request("Forget")); });
    EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    e->m_worker->stop(INFINITE);  // the end callback drops the kept response
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(answer.get());
}

TEST(Worker, SynchronousRequestOnOwnThreadDoesNotDeadlock) {
    RCPtr<Echo> e(new Echo);
    RCPtr<core::Response> rsp;
    ASSERT_TRUE(e->m_channel->doRequest(new core::Request("Nested"), &rsp));
    EXPECT_EQ(core::rcCast<core::StringRsp>(rsp)->getString(), "inner");
}

TEST(Worker, ManyCallersAtOnce) {
    RCPtr<Echo> e(new Echo);
    std::vector<std::thread> callers;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                std::string text = std::to_string(t * 1000 + i);
                if (echo(*e, text.c_str()) == text)
                    ++good;
            }
        });
    }
    for (auto& c : callers)
        c.join();
    EXPECT_EQ(good, 2000);
}

// Work handed back and forth between workers, and from a thread of no worker: once every
// worker is idle, all of it has run.
TEST(Worker, AllIdleOnceWorkHandedOnHasRun) {
    RCPtr<core::SyncObjectMgr> a(new core::SyncObjectMgr("IdleA", 0));
    RCPtr<core::SyncObjectMgr> b(new core::SyncObjectMgr("IdleB", 0));
    ASSERT_TRUE(a->start(2000));
    ASSERT_TRUE(b->start(2000));
    std::atomic<int> hops{0};
    std::function<void(int)> hop = [&](int left) {
        ++hops;
        if (left > 0)
            (left % 2 ? a : b)->post([&hop, left] { hop(left - 1); });
    };
    for (int round = 1; round <= 20; ++round) {
        std::thread([&] { a->post([&hop] { hop(99); }); }).join();
        std::uint64_t work = 0;
        ASSERT_TRUE(core::SyncObjectMgr::waitAllIdle(std::chrono::seconds(10), &work));
        ASSERT_EQ(hops.load(), round * 100);
        std::uint64_t again = 0;
        ASSERT_TRUE(core::SyncObjectMgr::waitAllIdle(std::chrono::seconds(10), &again));
        EXPECT_EQ(again, work) << "nothing ran between two idle times";
    }
    // A worker that is busy is not idle: the wait ends at its limit.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    a->post([released] { released.wait(); });
    EXPECT_FALSE(core::SyncObjectMgr::waitAllIdle(std::chrono::milliseconds(20)));
    release.set_value();
    EXPECT_TRUE(core::SyncObjectMgr::waitAllIdle(std::chrono::seconds(10)));
    a->stop(INFINITE);
    b->stop(INFINITE);
}

// An object that drops its last reference from inside its own worker's callback.
class SelfStopper : public core::RCObject {
  public:
    SelfStopper() {
        m_worker = new core::SyncObjectMgr("SelfStop", 0);
        m_worker->start(2000);
    }
    RCPtr<core::SyncObjectMgr> m_worker;

  protected:
    void onFinalRelease() override {
        m_worker->stop(INFINITE);
        m_worker.reset();
        core::RCObject::onFinalRelease();
    }
};

// Marks the calling thread: the flag is set when the thread itself has ended (its thread-local
// objects are destroyed last thing before it exits), the point after which none of the
// library's code runs on it.
struct ThreadEndMark {
    std::atomic<bool>* flag = nullptr;
    ~ThreadEndMark() {
        if (flag)
            flag->store(true);
    }
};
void markThreadEnd(std::atomic<bool>* flag) {
    thread_local ThreadEndMark mark;
    mark.flag = flag;
}

// A worker that stops itself from a posted task; `stopping` is set just before it does.
RCPtr<core::SyncObjectMgr> selfStoppingWorker(std::atomic<bool>& ended,
                                              std::atomic<bool>& stopping) {
    RCPtr<core::SyncObjectMgr> worker(new core::SyncObjectMgr("SelfStop", 0));
    EXPECT_TRUE(worker->start(INFINITE));
    core::SyncObjectMgr* raw = worker.get();
    worker->post([raw, &ended, &stopping] {
        markThreadEnd(&ended);
        stopping.store(true);
        raw->stop(INFINITE);
    });
    return worker;
}

TEST(Worker, StopFromOutsideRacingASelfStopReturnsOnceTheThreadHasEnded) {
    // Many rounds, so that the outside stop meets the thread at every point of its end: before
    // the self-stop, while it hands its thread over, and after. Each time exactly one party
    // joins the thread, and the outside stop returns only once it has ended.
    for (int round = 0; round < 300; ++round) {
        std::atomic<bool> ended{false};
        std::atomic<bool> stopping{false};
        RCPtr<core::SyncObjectMgr> worker = selfStoppingWorker(ended, stopping);
        if (round % 3 != 0)
            while (!stopping.load())
                std::this_thread::yield();
        ASSERT_TRUE(worker->stop(INFINITE));
        ASSERT_TRUE(ended.load()) << "round " << round << ": stop returned before the thread ended";
        EXPECT_TRUE(worker->stop(INFINITE)) << "a second stop finds it ended";
    }
}

TEST(Worker, SelfStoppedWorkerIsJoinedByItsLastReleaseOrByJoinEndedWorkers) {
    // Released from here after it stopped itself: the destructor waits for the thread.
    {
        std::atomic<bool> ended{false};
        std::atomic<bool> stopping{false};
        RCPtr<core::SyncObjectMgr> worker = selfStoppingWorker(ended, stopping);
        while (!stopping.load())
            std::this_thread::yield();
        worker.reset();  // the last reference here or on the worker's own thread
        core::SyncObjectMgr::joinEndedWorkers();
        EXPECT_TRUE(ended.load());
    }
    // Several at once, none stopped from outside: one call joins them all, including those
    // still ending when it is called.
    constexpr int kWorkers = 8;
    std::atomic<bool> ended[kWorkers] = {};
    std::atomic<bool> stopping[kWorkers] = {};
    for (int i = 0; i < kWorkers; ++i)
        selfStoppingWorker(ended[i], stopping[i]);
    for (auto& s : stopping)
        while (!s.load())
            std::this_thread::yield();
    core::SyncObjectMgr::joinEndedWorkers();
    for (int i = 0; i < kWorkers; ++i)
        EXPECT_TRUE(ended[i].load()) << "worker " << i;
    core::SyncObjectMgr::joinEndedWorkers();  // nothing left: returns at once
}

TEST(Worker, LastComponentObjectJoinsWorkersThatEndedOnTheirOwn) {
    std::atomic<bool> ended{false};
    std::atomic<bool> stopping{false};
    {
        core::ComponentCount dataSource;
        {
            core::ComponentCount equipment;
            selfStoppingWorker(ended, stopping);
            while (!stopping.load())
                std::this_thread::yield();
        }
        // One component object is left: a host may not unload yet, nothing is waited for.
    }
    EXPECT_TRUE(ended.load()) << "the thread still ran after the last component object went";
}

TEST(Worker, LastReferenceDroppedOnOwnWorker) {
    std::promise<void> done;
    {
        RCPtr<SelfStopper> s(new SelfStopper);
        RCPtr<core::SyncObjectMgr> worker = s->m_worker;
        SelfStopper* raw = s.detach();
        worker->post([raw, &done] {
            raw->release();  // stops its own worker from inside the worker
            done.set_value();
        });
    }
    EXPECT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

// A worker-bound base whose end callback calls a hook of the derived class, as a channel's
// does: the hook must find the derived part alive, however the last reference goes.
class BoundBase : public core::WorkerBound {
  public:
    BoundBase() : m_worker(new core::SyncObjectMgr("BoundThread", 0)) {
        m_worker->attachEnd(core::BoolCallBack(this, &BoundBase::onEnd));
        bindWorker(m_worker);
        m_worker->start(2000);
    }
    RCPtr<core::SyncObjectMgr> m_worker;

  protected:
    virtual void onEndHook() {}

  private:
    bool onEnd() {
        onEndHook();
        return true;
    }
};

class BoundDerived : public BoundBase {
  public:
    explicit BoundDerived(std::vector<int>& log) : m_log(log) {}
    ~BoundDerived() override { m_log.push_back(2); }

  protected:
    void onEndHook() override { m_log.push_back(m_marker); }

  private:
    std::vector<int>& m_log;
    int m_marker = 1;
};

TEST(WorkerBound, FinalReleaseEndsTheWorkerBeforeTheDestructorsRun) {
    std::vector<int> log;
    RCPtr<BoundDerived> object(new BoundDerived(log));
    ASSERT_TRUE(object->m_worker->isRunning());
    object.reset();  // no stop first
    EXPECT_EQ(log, (std::vector<int>{1, 2})) << "the derived end hook ran, then the destructor";

    // Stopped before the release: the end ran once, the release does not run it again.
    log.clear();
    object = new BoundDerived(log);
    object->m_worker->stop(INFINITE);
    object.reset();
    EXPECT_EQ(log, (std::vector<int>{1, 2}));
}

TEST(WorkerBound, LastReferenceDroppedOnItsOwnWorker) {
    std::vector<int> log;
    std::promise<void> done;
    RCPtr<BoundDerived> object(new BoundDerived(log));
    RCPtr<core::SyncObjectMgr> worker = object->m_worker;
    BoundDerived* raw = object.detach();
    worker->post([raw, &done] {
        raw->release();
        done.set_value();
    });
    // The release returned only after the hook and the destructor ran, so the log is whole.
    // The worker was stopped by that final release on its own thread; a stop from here waits
    // for that thread's end, at whatever point of it the thread is.
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(worker->stop(INFINITE));
    EXPECT_FALSE(worker->isRunning());
    EXPECT_EQ(log, (std::vector<int>{1, 2}));
}

TEST(WorkerBound, LastComponentObjectWaitsForAnObjectItsOwnHandlerHolds) {
    // A handler holds the last reference of its object after every outside holder let go:
    // the object's worker runs the library's code until the handler lets go too. The last
    // component object's end waits for that, so that the library may be unloaded after it.
    // The handler lets go only once that end has begun.
    std::atomic<bool> unwound{false};
    {
        core::ComponentCount equipment;
        RCPtr<BoundBase> object(new BoundBase);
        ASSERT_TRUE(object->m_worker->post([keep = object, &unwound]() mutable {
            while (core::ComponentCount::live() != 0)
                std::this_thread::yield();
            keep.reset();  // the final release, on the object's own worker
            unwound = true;
        }));
        object.reset();
        EXPECT_EQ(core::WorkerBound::alive(), 1);
    }
    EXPECT_TRUE(unwound.load()) << "the handler still ran after the last component object went";
    EXPECT_EQ(core::WorkerBound::alive(), 0);
}

}  // namespace
