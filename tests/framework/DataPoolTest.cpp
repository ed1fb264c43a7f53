// Recycled blocks: a block's bytes are never reused while a slice still sees them, what comes
// back is reused, what the pool keeps is bounded, blocks outlive their pool, and a stream of
// blocks copied on one thread and let go on another settles to taking nothing from the heap.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/core/DataPool.h"

namespace {

using core::RCPtr;

std::vector<unsigned char> filled(std::size_t n, unsigned char b) {
    return std::vector<unsigned char>(n, b);
}

std::vector<unsigned char> bytesOf(const core::Data& d) {
    return {d.getInternalData(), d.getInternalData() + d.size()};
}

TEST(DataPool, BytesComeBackOnlyAfterTheBlockAndEverySliceOfItAreGone) {
    RCPtr<core::DataPool> pool(new core::DataPool());
    const auto a = filled(100, 0xAA);
    RCPtr<core::Data> block = pool->copyIn(a.data(), a.size());
    EXPECT_EQ(bytesOf(*block), a);
    RCPtr<core::Data> frame = block->slice(10, 20);
    block.reset();

    // The frame still sees the bytes: the next copy goes elsewhere and changes none of them.
    const auto b = filled(100, 0xBB);
    RCPtr<core::Data> second = pool->copyIn(b.data(), b.size());
    EXPECT_EQ(bytesOf(*frame), filled(20, 0xAA));
    EXPECT_EQ(pool->counts().storesMade, 2u);
    EXPECT_EQ(pool->counts().objectsMade, 1u) << "the first block's object came back";

    frame.reset();  // the first store comes back now
    second.reset();
    const auto c = filled(60, 0xCC);
    RCPtr<core::Data> third = pool->copyIn(c.data(), c.size());
    EXPECT_EQ(bytesOf(*third), c) << "a recycled store shows none of its old bytes";
    const core::DataPool::Counts counts = pool->counts();
    EXPECT_EQ(counts.storesMade, 2u);
    EXPECT_EQ(counts.objectsMade, 1u);
    EXPECT_EQ(counts.reused, 1u);
    EXPECT_EQ(counts.storesGrown, 0u);
}

TEST(DataPool, KeepsNoMoreThanItsBytesAndNoLargeStores) {
    RCPtr<core::DataPool> pool(new core::DataPool(1000));
    const auto bytes = filled(400, 1);
    std::vector<RCPtr<core::Data>> held;
    for (int i = 0; i < 3; ++i)
        held.push_back(pool->copyIn(bytes.data(), bytes.size()));
    held.clear();
    EXPECT_LE(pool->counts().keptBytes, 1000u);
    EXPECT_GE(pool->counts().keptBytes, 800u);

    const auto big = filled(core::DataPool::kLargestKept + 1, 2);
    pool->copyIn(big.data(), big.size());
    EXPECT_LE(pool->counts().keptBytes, 1000u);
    // A store that comes back with more room than it had is counted by its new room.
    RCPtr<core::Data> grown = pool->copyIn(bytes.data(), bytes.size());
    grown->addData(bytes.data(), bytes.size());
    EXPECT_EQ(grown->size(), 800u);
    grown.reset();
    EXPECT_LE(pool->counts().keptBytes, 1000u);
}

TEST(DataPool, ALargerBlockGrowsARecycledStoreOnce) {
    RCPtr<core::DataPool> pool(new core::DataPool());
    const auto small = filled(10, 1), large = filled(5000, 2);
    pool->copyIn(small.data(), small.size());
    EXPECT_EQ(bytesOf(*pool->copyIn(large.data(), large.size())), large);
    EXPECT_EQ(bytesOf(*pool->copyIn(small.data(), small.size())), small);
    EXPECT_EQ(bytesOf(*pool->copyIn(large.data(), large.size())), large);
    EXPECT_EQ(pool->counts().storesMade, 1u);
    EXPECT_EQ(pool->counts().storesGrown, 1u);
    EXPECT_TRUE(pool->copyIn(nullptr, 0)->empty());
    EXPECT_EQ(bytesOf(*pool->copyIn(nullptr, 3)), filled(3, 0));
}

TEST(DataPool, BlocksOutliveTheirPool) {
    RCPtr<core::DataPool> pool(new core::DataPool());
    const auto a = filled(32, 7);
    RCPtr<core::Data> block = pool->copyIn(a.data(), a.size());
    RCPtr<core::Data> frame = block->slice(0, 8);
    pool->copyIn(a.data(), a.size());  // one store and one object kept
    pool.reset();
    block.reset();
    EXPECT_EQ(bytesOf(*frame), filled(8, 7));
    frame.reset();  // the last one out takes the pool, and what it kept, with it
}

// The receive path's shape: one thread copies numbered blocks in, another cuts each into
// frames that it holds a while longer than the block. Every frame must read its own block's
// bytes (a store reused too early would show another block's), and once the stream runs the
// pool stops taking stores and objects from the heap.
TEST(DataPool, StreamAcrossThreadsSettlesWithoutTheHeap) {
    constexpr std::size_t kBlock = 4096, kFrame = 64;
    constexpr int kBlocks = 20000, kWarmUp = 2000;
    RCPtr<core::DataPool> pool(new core::DataPool());
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<RCPtr<core::Data>> queue;
    bool done = false;
    core::DataPool::Counts afterWarmUp;

    std::thread consumer([&] {
        // The last few blocks' frames, still held, with the byte their block was filled with.
        std::deque<std::pair<unsigned char, RCPtr<core::Data>>> heldFrames;
        for (int n = 0;; ++n) {
            RCPtr<core::Data> block;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return !queue.empty() || done; });
                if (queue.empty())
                    return;
                block = std::move(queue.front());
                queue.pop_front();
            }
            changed.notify_all();
            const unsigned char mark = block->getInternalData()[0];
            ASSERT_EQ(mark, static_cast<unsigned char>(n)) << "blocks come in order";
            for (std::size_t at = 0; at < kBlock; at += kFrame)
                heldFrames.emplace_back(mark, block->slice(at, kFrame));
            block.reset();
            while (heldFrames.size() > 3 * kBlock / kFrame) {
                const auto& [expected, frame] = heldFrames.front();
                ASSERT_EQ(bytesOf(*frame), filled(kFrame, expected)) << "block " << n;
                heldFrames.pop_front();
            }
        }
    });

    std::vector<unsigned char> bytes(kBlock);
    for (int i = 0; i < kBlocks; ++i) {
        std::fill(bytes.begin(), bytes.end(), static_cast<unsigned char>(i));
        RCPtr<core::Data> block = pool->copyIn(bytes.data(), bytes.size());
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return queue.size() < 8; });
            queue.push_back(std::move(block));
        }
        changed.notify_all();
        if (i == kWarmUp)
            afterWarmUp = pool->counts();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    changed.notify_all();
    consumer.join();
    const core::DataPool::Counts end = pool->counts();
    EXPECT_EQ(end.storesMade, afterWarmUp.storesMade);
    EXPECT_EQ(end.objectsMade, afterWarmUp.objectsMade);
    EXPECT_EQ(end.storesGrown, 0u);
    EXPECT_GE(end.reused, static_cast<std::uint64_t>(kBlocks - kWarmUp));
}

}  // namespace
