// Event notifies as an event loop uses them: each signal is told, and the signal itself is
// left on the event for the loop's own wait. The same tests run on our events (Linux) and on
// the system's events with the thread-pool notify (Windows).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/win32/win32.h"

namespace {

struct Counter {
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;

    static void onNotify(void* context) {
        auto* self = static_cast<Counter*>(context);
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            ++self->count;
        }
        self->changed.notify_all();
    }
    // Waits until at least n notifies came (on Windows they come from the pool's thread).
    bool waitFor(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return count >= n; });
    }
    int value() {
        std::lock_guard<std::mutex> lock(mutex);
        return count;
    }
};

TEST(EventNotify, AutoResetSignalIsToldAndLeftForTheLoop) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Counter counter;
    ASSERT_TRUE(platform::setEventNotify(event, &Counter::onNotify, &counter, false));

    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(SetEvent(event));
        ASSERT_TRUE(counter.waitFor(round));
        // The notify did not take the signal: the loop's wait does, once.
        EXPECT_EQ(platform::waitEvent(event, 0), WAIT_OBJECT_0);
        EXPECT_EQ(platform::waitEvent(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    EXPECT_EQ(counter.value(), 3);

    ASSERT_TRUE(platform::setEventNotify(event, nullptr, nullptr, false));
    ASSERT_TRUE(SetEvent(event));
    // Once removed, nothing waits on the event any more: the signal stays, and is not told.
    EXPECT_EQ(platform::waitEvent(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(counter.value(), 3);
    CloseHandle(event);
}

TEST(EventNotify, SignalledBeforeTheNotifyIsToldAndManualResetStaysSignalled) {
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    Counter counter;
    ASSERT_TRUE(platform::setEventNotify(event, &Counter::onNotify, &counter, true));
    // Signalled when made: told on Windows, where the pool's wait sees it; on Linux the notify
    // comes from SetEvent only, and the loop looks at the event when the event is added.
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(counter.waitFor(1));
    EXPECT_EQ(platform::waitEvent(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(platform::waitEvent(event, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(platform::waitEvent(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    int before = counter.value();
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(counter.waitFor(before + 1));
    ASSERT_TRUE(platform::setEventNotify(event, nullptr, nullptr, true));
    CloseHandle(event);
}

TEST(EventNotify, SignalsFromManyThreadsAreEachSeenByTheLoop) {
    // A loop that takes each signal after its notify sees every SetEvent that came after its
    // last wait: none is lost between the notify and the wait that arms it again.
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Counter counter;
    ASSERT_TRUE(platform::setEventNotify(event, &Counter::onNotify, &counter, false));
    int taken = 0;
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(SetEvent(event));
        ASSERT_TRUE(counter.waitFor(i + 1)) << "signal " << i << " was not told";
        if (platform::waitEvent(event, 0) == WAIT_OBJECT_0)
            ++taken;
    }
    EXPECT_EQ(taken, 200);
    ASSERT_TRUE(platform::setEventNotify(event, nullptr, nullptr, false));
    CloseHandle(event);
}

TEST(EventNotify, NotAnEvent) {
    EXPECT_FALSE(
        platform::setEventNotify(INVALID_HANDLE_VALUE, &Counter::onNotify, nullptr, false));
}

}  // namespace
