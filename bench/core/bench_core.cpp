// Throughput of posted requests into one worker, and the round trip of a synchronous request
// from one worker to another, and the CPU an idle worker uses.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <future>
#include <thread>
#include <vector>

#include "framework/core/Request.h"
#include "framework/core/ServiceChannel.h"
#include "framework/core/SyncObjectMgr.h"

namespace {

using core::RCPtr;
using Clock = std::chrono::steady_clock;

struct Target : core::RCObject {
    RCPtr<core::SyncObjectMgr> worker{new core::SyncObjectMgr("BenchTarget", 0)};
    RCPtr<core::ServiceChannel> channel;
    std::atomic<long> count{0};
    Target() {
        worker->attachBegin(core::BoolCallBack(this, &Target::begin));
        worker->start(2000);
    }
    ~Target() override { worker->stop(INFINITE); }
    bool begin() {
        channel = new core::ServiceChannel(worker, false);
        channel->attach("Count",
                        [this](core::Request&) { count.fetch_add(1, std::memory_order_relaxed); });
        channel->attach("Ping", [](core::Request& r) {
            core::ServiceChannel::sendResponse(new core::Response(r));
        });
        return true;
    }
};

double cpuSeconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main() {
    RCPtr<Target> target(new Target);

    // Posted requests: one producer thread, each request a new object, as in real use.
    const long n = 2000000;
    auto t0 = Clock::now();
    for (long i = 0; i < n; ++i) {
        RCPtr<core::Request> r(new core::Request("Count"));
        r->setSyncType(core::Request::POSTED);
        target->channel->doRequest(r);
    }
    while (target->count.load() < n)
        std::this_thread::yield();
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("posted requests: %.0f per second (%ld in %.3f s)\n", n / secs, n, secs);

    // Synchronous round trips from a second worker, as a channel calls its data provider.
    RCPtr<core::SyncObjectMgr> caller(new core::SyncObjectMgr("BenchCaller", 0));
    caller->start(2000);
    const int rounds = 200000;
    std::vector<double> us(rounds);
    std::promise<void> done;
    caller->post([&] {
        for (int i = 0; i < rounds; ++i) {
            auto a = Clock::now();
            RCPtr<core::Response> rsp;
            target->channel->doRequest(new core::Request("Ping"), &rsp);
            us[i] = std::chrono::duration<double, std::micro>(Clock::now() - a).count();
        }
        done.set_value();
    });
    done.get_future().wait();
    caller->stop(INFINITE);
    std::sort(us.begin(), us.end());
    std::printf("synchronous round trip between workers: median %.2f us, p99 %.2f us\n",
                us[rounds / 2], us[rounds * 99 / 100]);

    // Idle cost: two started workers doing nothing for two seconds.
    double c0 = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::printf("idle CPU of a started worker over 2 s: %.4f s\n", cpuSeconds() - c0);
    return 0;
}
