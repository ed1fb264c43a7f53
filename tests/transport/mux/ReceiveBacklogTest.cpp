// The byte count of what waits for a channel: admission against the limit, the marks put into
// the stream, and the pipe whose reads take blocks off the count.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "framework/core/Clock.h"
#include "framework/core/Data.h"
#include "transport/ReceiveBacklog.h"

namespace {

using core::RCPtr;
using vela::ReceiveBacklog;

RCPtr<core::Data> block(std::size_t n) {
    return RCPtr<core::Data>(new core::Data(std::string(n, 'x').data(), n));
}

TEST(ReceiveBacklogTest, BlocksAreAdmittedUpToTheLimitAndTheRestCountedDropped) {
    RCPtr<ReceiveBacklog> backlog(new ReceiveBacklog(100));
    EXPECT_TRUE(backlog->admit(60));
    EXPECT_TRUE(backlog->admit(40));  // exactly the limit
    EXPECT_FALSE(backlog->admit(1));
    EXPECT_FALSE(backlog->admit(50));
    EXPECT_EQ(backlog->queuedBytes(), 100u);
    EXPECT_EQ(backlog->droppedBlocks(), 2u);
    EXPECT_EQ(backlog->droppedBytes(), 51u);

    backlog->leave(60);
    EXPECT_TRUE(backlog->admit(50));
    EXPECT_FALSE(backlog->admit(20));
    EXPECT_EQ(backlog->queuedBytes(), 90u);

    // Nothing waiting: a block larger than the limit still passes, alone.
    backlog->leave(90);
    EXPECT_TRUE(backlog->admit(250));
    EXPECT_FALSE(backlog->admit(0)) << "nothing more fits beside it";
    backlog->leave(250);
    EXPECT_EQ(backlog->queuedBytes(), 0u);

    // A count that would wrap around is refused, not admitted.
    backlog->setLimit(std::numeric_limits<std::size_t>::max());
    EXPECT_TRUE(backlog->admit(10));
    EXPECT_FALSE(backlog->admit(std::numeric_limits<std::size_t>::max() - 5));
    EXPECT_EQ(backlog->queuedBytes(), 10u);
}

TEST(ReceiveBacklogTest, MarksCarryTheGapsAndTheTimeEveryFewMilliseconds) {
    RCPtr<ReceiveBacklog> backlog(new ReceiveBacklog(10));
    const std::int64_t t0 = 1000000000;
    // The first block is marked with its time.
    ASSERT_TRUE(backlog->admit(4));
    RCPtr<ReceiveBacklog::Mark> mark = backlog->takeMark(t0);
    ASSERT_TRUE(mark);
    EXPECT_EQ(mark->time(), t0);
    EXPECT_EQ(mark->blocks(), 0u);
    // Within the interval, no mark.
    ASSERT_TRUE(backlog->admit(4));
    EXPECT_FALSE(backlog->takeMark(t0 + ReceiveBacklog::kMarkInterval - 1));
    // Blocks dropped before the next admitted one: a mark with their count at once.
    EXPECT_FALSE(backlog->admit(5));
    EXPECT_FALSE(backlog->admit(3));
    backlog->leave(8);
    ASSERT_TRUE(backlog->admit(2));
    mark = backlog->takeMark(t0 + 1);
    ASSERT_TRUE(mark);
    EXPECT_EQ(mark->blocks(), 2u);
    EXPECT_EQ(mark->bytes(), 8u);
    EXPECT_EQ(mark->time(), t0 + 1);
    // The gap is reported once; the time again after the interval.
    EXPECT_FALSE(backlog->takeMark(t0 + 2));
    mark = backlog->takeMark(t0 + 1 + ReceiveBacklog::kMarkInterval);
    ASSERT_TRUE(mark);
    EXPECT_EQ(mark->blocks(), 0u);
    EXPECT_EQ(backlog->droppedBlocks(), 2u);
}

TEST(ReceiveBacklogTest, ThePipesReadsTakeBlocksOffTheCountAndItTakesWhatTheLimitLets) {
    RCPtr<ReceiveBacklog> backlog(new ReceiveBacklog(8));
    RCPtr<core::AsyncPipe> pipe = backlog->makePipe();
    for (std::size_t n : {5u, 3u}) {
        ASSERT_TRUE(backlog->admit(n));
        ASSERT_TRUE(pipe->write(block(n)));
    }
    ASSERT_TRUE(pipe->write(RCPtr<core::RCObject>(new ReceiveBacklog::Mark(0, 1, 1))));
    EXPECT_EQ(backlog->queuedBytes(), 8u);
    EXPECT_EQ(pipe->readData()->size(), 5u);
    EXPECT_EQ(backlog->queuedBytes(), 3u);
    EXPECT_EQ(pipe->readData()->size(), 3u);
    EXPECT_TRUE(core::rcCast<ReceiveBacklog::Mark>(pipe->read())) << "marks weigh nothing";
    EXPECT_EQ(backlog->queuedBytes(), 0u);
    EXPECT_EQ(pipe->getRefusedCount(), 0u);
}

}  // namespace
