// The end of a counted object when its holders let go on several threads at once: its final
// release runs once, after everything each holder did with it, whichever thread lets go last
// (the last one may end it without a locked update).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "framework/core/RCObject.h"
#include "tests/support/StartGate.h"

namespace {

constexpr int kHolders = 4;

// Each holder writes its own slot, without atomics, before it lets go; the final release reads
// them all. A final release not ordered after every holder's release is a data race that the
// thread sanitizer reports, and reads a slot not yet written.
struct Slots : core::RCObject {
    explicit Slots(std::atomic<int>& ends, std::atomic<int>& complete)
        : m_ends(ends), m_complete(complete) {}
    int written[kHolders] = {};

  protected:
    void onFinalRelease() override {
        int sum = 0;
        for (int w : written)
            sum += w;
        if (sum == kHolders)
            ++m_complete;
        ++m_ends;
        core::RCObject::onFinalRelease();
    }

  private:
    std::atomic<int>& m_ends;
    std::atomic<int>& m_complete;
};

TEST(RCObjectThreads, LastOfSeveralHoldersEndsTheObjectOnceAfterEveryHoldersUse) {
    constexpr int kRounds = 1000;
    std::atomic<int> ends{0}, complete{0};
    for (int round = 0; round < kRounds; ++round) {
        std::vector<core::RCPtr<Slots>> refs(kHolders);
        refs[0] = core::RCPtr<Slots>::adoptNew(new Slots(ends, complete));
        for (int i = 1; i < kHolders; ++i)
            refs[i] = refs[0];
        testsupport::StartGate start(kHolders);
        std::vector<std::thread> holders;
        for (int i = 0; i < kHolders; ++i)
            holders.emplace_back(
                [&, i, ref = std::move(refs[static_cast<std::size_t>(i)])]() mutable {
                    start.arriveAndWait();  // all let go at about the same time
                    ref->written[i] = 1;
                    ref.reset();
                });
        for (auto& t : holders)
            t.join();
    }
    EXPECT_EQ(ends.load(), kRounds);
    EXPECT_EQ(complete.load(), kRounds);
}

}  // namespace
