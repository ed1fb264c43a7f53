// The time the framework's timers run on. By default it is the steady clock; a test installs
// a ManualClock and moves time on by hand, so that a time limit passes exactly when the test
// says and no test waits for real time to go by.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace core {

class Clock {
  public:
    // Nanoseconds: the steady clock's, or the manual clock's while one is installed.
    static std::int64_t now() {
        if (s_manual.load(std::memory_order_acquire))
            return s_manualNow.load();
        return steadyNow();
    }
    // True while time passes by itself: a worker then sleeps until its next deadline. A
    // manual clock wakes the workers itself when it is moved on.
    static bool isSteady() { return !s_manual.load(std::memory_order_acquire); }
    static std::int64_t steadyNow() {
        using namespace std::chrono;
        return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
    }
    // Microseconds since 1970 as this clock tells them: the system clock's time when first
    // asked, moved on by now() from then. It never goes back while time passes by itself (the
    // system clock can be set back), and follows a manual clock exactly.
    static std::int64_t wallMicros();

  private:
    friend class ManualClock;
    static std::atomic<bool> s_manual;
    static std::atomic<std::int64_t> s_manualNow;
};

// While it exists, the framework's timers run on this clock: it starts at the steady clock's
// present time and stands still until advance(). One at a time; made and destroyed while no
// timer is set (at the start and end of a test).
class ManualClock {
  public:
    ManualClock();
    ~ManualClock();
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    // Moves time on and wakes every worker, which runs the timers that are due now.
    void advance(std::chrono::nanoseconds by);
    std::int64_t now() const { return Clock::s_manualNow.load(); }
};

}  // namespace core
