#include "framework/core/Clock.h"

#include "framework/core/SyncObjectMgr.h"

namespace core {

std::atomic<bool> Clock::s_manual{false};
std::atomic<std::int64_t> Clock::s_manualNow{0};

std::int64_t Clock::wallMicros() {
    // The manual clock starts at the steady clock's present, so one offset serves both.
    static const std::int64_t offset = [] {
        using namespace std::chrono;
        return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() -
               steadyNow();
    }();
    return (offset + now()) / 1000;
}

ManualClock::ManualClock() {
    Clock::s_manualNow.store(Clock::steadyNow());
    Clock::s_manual.store(true, std::memory_order_release);
    // Workers asleep until a steady-clock deadline now wait for advance() instead.
    SyncObjectMgr::wakeAll();
}

ManualClock::~ManualClock() {
    Clock::s_manual.store(false, std::memory_order_release);
    SyncObjectMgr::wakeAll();
}

void ManualClock::advance(std::chrono::nanoseconds by) {
    Clock::s_manualNow.fetch_add(by.count());
    SyncObjectMgr::wakeAll();
}

}  // namespace core
