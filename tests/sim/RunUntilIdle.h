// Runs the framework's workers and the simulated service until nothing is left to do: no
// worker has work posted, signalled or due, and the service has no event queued or under
// way, with nothing run by either in between. Timers not due yet do not count: on a
// core::ManualClock time passes only when the test moves it on, so a test can let everything
// settle, move the clock to just before a time limit, settle again and look, all without
// waiting for real time. A simulated phone's own thread is not covered (its flush() is).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "framework/core/Clock.h"
#include "framework/core/SyncObjectMgr.h"
#include "sim/SimService.h"

namespace simtest {

inline bool runUntilIdle(std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    using namespace std::chrono;
    sim::SimService& service = sim::SimService::instance();
    const auto deadline = steady_clock::now() + timeout;
    auto left = [&] {
        return std::max(milliseconds(0),
                        duration_cast<milliseconds>(deadline - steady_clock::now()));
    };
    for (;;) {
        // The service's events post to workers and workers call the service: idle when the
        // workers did nothing while the service ran dry.
        std::uint64_t before = 0;
        std::uint64_t after = 0;
        if (!core::SyncObjectMgr::waitAllIdle(left(), &before) || !service.waitIdle(left()) ||
            !core::SyncObjectMgr::waitAllIdle(left(), &after))
            return false;
        if (after == before)
            return true;
    }
}

// Settles, moves the manual clock on and settles again: what the time limits that passed
// cause has happened when it returns.
inline bool advanceAndSettle(core::ManualClock& clock, std::chrono::milliseconds by) {
    if (!runUntilIdle())
        return false;
    clock.advance(by);
    return runUntilIdle();
}

}  // namespace simtest
