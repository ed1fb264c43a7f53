// Recycled storage of the small counted objects: reused on the thread that freed them, safe
// when objects are made on one thread and released on another, and freed when threads end
// (LeakSanitizer sees anything left behind).
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "framework/core/Data.h"
#include "framework/core/ObjectPool.h"
#include "framework/core/RCObject.h"

namespace {

TEST(ObjectPool, ObjectFreedOnAThreadIsReusedThere) {
    std::thread([] {
        core::Data* first = new core::Data();  // no bytes: one object of one size
        const void* place = first;
        first->addref();
        first->release();
        EXPECT_EQ(core::ObjectPool::cachedOnThisThread(sizeof(core::Data)), 1u);
        core::RCPtr<core::Data> next(new core::Data());
        EXPECT_EQ(static_cast<const void*>(next.get()), place);
        EXPECT_EQ(core::ObjectPool::cachedOnThisThread(sizeof(core::Data)), 0u);
        // Sizes the pool does not keep pass through.
        void* big = core::ObjectPool::allocate(core::ObjectPool::kLargest + 1);
        core::ObjectPool::deallocate(big, core::ObjectPool::kLargest + 1);
        EXPECT_EQ(core::ObjectPool::cachedOnThisThread(core::ObjectPool::kLargest + 1), 0u);
    }).join();
}

// Blocks and the slices of them made on a producer thread, released on consumer threads in
// turn (as frames held by the host are): every byte still readable until its last holder goes.
TEST(ObjectPool, ObjectsMadeOnOneThreadAndReleasedOnAnother) {
    constexpr int kRounds = 50;
    constexpr int kPerRound = 2000;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<core::RCPtr<core::Data>> made;
        std::thread producer([&] {
            core::RCPtr<core::Data> block(new core::Data(64));
            for (int i = 0; i < 64; ++i) {
                const auto b = static_cast<unsigned char>(i);
                block->addData(&b, 1);
            }
            for (int i = 0; i < kPerRound; ++i)
                made.push_back(block->slice(static_cast<std::size_t>(i % 60), 4));
        });
        producer.join();
        std::thread consumer([&] {
            unsigned sum = 0;
            for (auto& slice : made) {
                sum += slice->getInternalData()[3];
                slice.reset();
            }
            EXPECT_GT(sum, 0u);
            EXPECT_LE(core::ObjectPool::cachedOnThisThread(sizeof(core::Data)),
                      core::ObjectPool::kKeptPerClass);
        });
        consumer.join();
    }
}

// Two threads at once, each releasing what the other made, through counted pointers.
TEST(ObjectPool, ConcurrentCrossThreadRelease) {
    constexpr int kCount = 20000;
    std::vector<core::RCPtr<core::Data>> a(kCount), b(kCount);
    std::thread makeA([&] {
        for (auto& d : a)
            d = new core::Data("\x5A", 1);
    });
    std::thread makeB([&] {
        for (auto& d : b)
            d = new core::Data("\xA5", 1);
    });
    makeA.join();
    makeB.join();
    std::thread dropA([&] {
        for (auto& d : b) {
            EXPECT_EQ(d->getInternalData()[0], 0xA5);
            d.reset();
            (void)core::RCPtr<core::Data>(new core::Data("\x01", 1));
        }
    });
    std::thread dropB([&] {
        for (auto& d : a) {
            EXPECT_EQ(d->getInternalData()[0], 0x5A);
            d.reset();
            (void)core::RCPtr<core::Data>(new core::Data("\x02", 1));
        }
    });
    dropA.join();
    dropB.join();
}

}  // namespace
