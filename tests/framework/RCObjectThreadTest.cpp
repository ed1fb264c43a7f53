// The end of a counted object when its holders let go on several threads at once: its final
// release runs once, after everything each holder did with it, whichever thread lets go last;
// and an object that is taken by plain pointer with tryAddref is never ended under a reference
// taken that way.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/core/RCObject.h"

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
    constexpr int kRounds = 2000;
    std::atomic<int> ends{0}, complete{0};
    for (int round = 0; round < kRounds; ++round) {
        std::vector<core::RCPtr<Slots>> refs(kHolders);
        refs[0] = core::RCPtr<Slots>::adoptNew(new Slots(ends, complete));
        for (int i = 1; i < kHolders; ++i)
            refs[i] = refs[0];
        std::latch start(kHolders);
        std::vector<std::thread> holders;
        for (int i = 0; i < kHolders; ++i)
            holders.emplace_back(
                [&, i, ref = std::move(refs[static_cast<std::size_t>(i)])]() mutable {
                    start.arrive_and_wait();  // all let go at about the same time
                    ref->written[i] = 1;
                    ref.reset();
                });
        for (auto& t : holders)
            t.join();
    }
    EXPECT_EQ(ends.load(), kRounds);
    EXPECT_EQ(complete.load(), kRounds);
}

// A process-wide instance reached by plain pointer under a lock, as the multiplexer client's
// is: the lookup takes a reference with tryAddref, and the final release forgets the pointer
// under the same lock before the object goes.
struct Instance : core::RCObject {
    static std::mutex mutex;
    static Instance* current;
    static std::atomic<int> ends;
    int value = 7;

    Instance() { allowTryAddref(); }
    static core::RCPtr<Instance> lookUp() {
        std::lock_guard<std::mutex> lock(mutex);
        if (!current || !current->tryAddref())
            return {};
        core::RCPtr<Instance> found(current);
        current->release();  // the reference tryAddref took
        return found;
    }

  protected:
    void onFinalRelease() override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (current == this)
                current = nullptr;
        }
        ++ends;
        core::RCObject::onFinalRelease();
    }
};
std::mutex Instance::mutex;
Instance* Instance::current = nullptr;
std::atomic<int> Instance::ends{0};

TEST(RCObjectThreads, ReferenceTakenByTryAddrefKeepsTheObjectWhileTheLastHolderLetsGo) {
    constexpr int kRounds = 5000;
    Instance::ends = 0;
    for (int round = 0; round < kRounds; ++round) {
        auto owner = core::RCPtr<Instance>::adoptNew(new Instance);
        {
            std::lock_guard<std::mutex> lock(Instance::mutex);
            Instance::current = owner.get();
        }
        std::thread looker([&] {
            // Read after the owner may have let go: only a live object may be reached.
            if (core::RCPtr<Instance> found = Instance::lookUp()) {
                EXPECT_EQ(found->value, 7);
            }
        });
        owner.reset();
        looker.join();
        ASSERT_EQ(Instance::ends.load(), round + 1);
    }
}

}  // namespace
