// The workers' and pipes' queue: first in first out across the ring's wrap and its growth, the
// entries it drops released at once, and its room kept for the next entries.
#include <gtest/gtest.h>

#include <vector>

#include "framework/core/Data.h"
#include "framework/core/RingQueue.h"

namespace {

std::vector<int> drain(core::RingQueue<int>& q) {
    std::vector<int> out;
    while (!q.empty()) {
        out.push_back(q.front());
        q.pop_front();
    }
    return out;
}

TEST(RingQueue, KeepsOrderAcrossWrapAndGrowth) {
    core::RingQueue<int> q;
    int next = 0, expected = 0;
    // The front moves round the ring while it fills, then it grows with entries on both
    // sides of the wrap.
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 6; ++i)
            q.push_back(next++);
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(q.front(), expected++);
            q.pop_front();
        }
    }
    for (int i = 0; i < 20; ++i)
        q.push_back(next++);
    const std::vector<int> rest = drain(q);
    ASSERT_EQ(rest.size(), static_cast<std::size_t>(next - expected));
    for (int v : rest)
        EXPECT_EQ(v, expected++);
}

TEST(RingQueue, RemoveIfKeepsTheOthersInOrderAndTheRoomStays) {
    core::RingQueue<int> q;
    for (int i = 0; i < 5; ++i) {
        q.push_back(-1);
        q.pop_front();  // the front is in the middle of the ring
    }
    for (int i = 0; i < 8; ++i)
        q.push_back(i);
    EXPECT_EQ(q.removeIf([](int v) { return v % 3 == 0; }), 3u);
    q.push_back(100);
    EXPECT_EQ(drain(q), (std::vector<int>{1, 2, 4, 5, 7, 100}));
    const std::size_t room = q.capacity();
    q.push_back(1);
    q.clear();
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.capacity(), room) << "the room stays for the next entries";
}

TEST(RingQueue, DroppedEntriesAreReleasedAtOnce) {
    core::RCPtr<core::Data> block(new core::Data("x", 1));
    core::RingQueue<core::RCPtr<core::Data>> q;
    q.push_back(block);
    q.push_back(block);
    EXPECT_EQ(block->getRefCount(), 3);
    q.pop_front();
    EXPECT_EQ(block->getRefCount(), 2);
    q.removeIf([](const core::RCPtr<core::Data>&) { return true; });
    EXPECT_EQ(block->getRefCount(), 1);
}

}  // namespace
