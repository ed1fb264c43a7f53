// Waiting on the real clock for what other threads make true: the simulated service's delivery
// threads, a channel's worker answering the service, a process. The condition is checked every
// millisecond until it holds or the limit passes, and a test that runs into the limit fails
// instead of hanging. Code that can be driven on core::ManualClock settles with runUntilIdle
// instead; this is for the rest.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include "framework/eqbase/Channel.h"

namespace testsupport {

// Long enough for any state change of the tests, also under the sanitizers.
inline constexpr std::chrono::milliseconds kPollLimit{15000};

inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = kPollLimit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Until the channel is in `state` (a dsrc channel state).
inline bool waitForChannelState(const eqbase::Channel& channel, int state,
                                std::chrono::milliseconds limit = kPollLimit) {
    return waitUntil([&] { return channel.getActiveStateSnapshot() == state; }, limit);
}

}  // namespace testsupport
