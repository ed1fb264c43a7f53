// A phone that sends faster than the engine reads, on the manual clock: what waits for the
// engine stays within the provider's receive limit, the blocks beyond it are dropped whole and
// counted, the engine drops reports (counted) while it is behind, and a command's answer in
// the middle of it all still completes its apply.
#include "TvpTestSupport.h"

namespace tvptest {
namespace {

using vela::catalogue::kGsmLayer2;

constexpr std::uint16_t kProbe = 0x0102;
constexpr std::size_t kFrameBytes = 64;
constexpr std::size_t kFramesPerBlock = 64;
constexpr std::size_t kBlockBytes = kFrameBytes * kFramesPerBlock;

// A block of whole 64-byte probe reports numbered from `first` (the phone's sequence number).
Bytes reportBlock(std::uint16_t first) {
    Bytes block;
    for (std::size_t i = 0; i < kFramesPerBlock; ++i) {
        Bytes frame = probeFrame(kProbe, static_cast<std::uint16_t>(first + i),
                                 payload(kFrameBytes - 20, static_cast<std::uint8_t>(i)));
        block.insert(block.end(), frame.begin(), frame.end());
    }
    return block;
}

// The phone's sequence number of a report the host received.
std::uint16_t seqOf(const Bytes& received) {
    const std::size_t at = dsrc::DataSourceFrame::getHeaderSize() + 9;
    return static_cast<std::uint16_t>(received[at] | received[at + 1] << 8);
}

using TvpOverload = TvpTest;

TEST_F(TvpOverload, PathStaysBoundedDropsAreCountedAndTheApplyIsAnswered) {
    startSession();
    core::TraceCapture trace;
    RCPtr<vela::DataProvider> provider = target->getDataProvider("Tvp");
    ASSERT_TRUE(provider);
    RCPtr<vela::ReceiveBacklog> backlog = provider->getReceiveBacklog();
    constexpr std::size_t kLimit = 256u << 10;
    backlog->setLimit(kLimit);

    // A command on its way: its answer will come in the middle of the flood.
    ASSERT_TRUE(engine->applyPropertyItem(kGsmLayer2));
    ASSERT_TRUE(phone->waitSent(2));
    const Bytes request = phone->sent()[1];
    const auto probe = static_cast<std::uint16_t>(request[6] | request[7] << 8);

    // The engine stops in the first report it hands over while the phone sends twice the
    // limit, the answer after an eighth of it.
    std::uint16_t seq = 0;
    sink->hold(true);
    phone->inject(reportBlock(seq));
    seq += kFramesPerBlock;
    ASSERT_TRUE(sink->waitHeld());
    constexpr std::size_t kFlood = 2 * kLimit / kBlockBytes;
    for (std::size_t i = 0; i < kFlood; ++i) {
        if (i == kFlood / 8)
            phone->inject(probeModeAck(request[5], probe));
        phone->inject(reportBlock(seq));
        seq = static_cast<std::uint16_t>(seq + kFramesPerBlock);
    }
    ASSERT_TRUE(service.waitIdle());
    provider->getName();  // the provider has passed on what it admitted

    // The bound: full, not beyond; every block that did not fit counted.
    const std::size_t waiting = backlog->queuedBytes();
    EXPECT_LE(waiting, kLimit);
    EXPECT_GT(waiting + kBlockBytes, kLimit);
    const std::size_t admitted = (waiting - 10) / kBlockBytes;  // the answer is 10 bytes
    const std::size_t dropped = kFlood - admitted;
    EXPECT_EQ(provider->getDroppedBlocks(), dropped);
    EXPECT_EQ(backlog->droppedBytes(), dropped * kBlockBytes);

    // What waits is old by the time the engine reads it: it is behind.
    clock.advance(100ms);
    sink->hold(false);
    ApplyResult result = observer->waitResult(1);
    EXPECT_EQ(result.identity, kGsmLayer2);
    EXPECT_EQ(result.code, 1) << result.text;

    // The next block tells the engine of the gap before it.
    phone->inject(reportBlock(seq));
    settle();
    const auto counters = engine->counters();
    EXPECT_EQ(counters.gaps, 1u);
    EXPECT_GT(counters.reportsShed, 0u);
    EXPECT_EQ(counters.acknowledgements, 2u);
    const std::vector<Bytes> frames = sink->bytes();
    EXPECT_EQ(frames.size() + counters.reportsShed, (admitted + 2) * kFramesPerBlock)
        << "every report the engine was given is handed on or counted";
    for (std::size_t i = 1; i < frames.size(); ++i)
        ASSERT_LT(seqOf(frames[i - 1]), seqOf(frames[i])) << "in order, none twice: " << i;
    EXPECT_EQ(seqOf(frames.back()), static_cast<std::uint16_t>(seq + kFramesPerBlock - 1));

    // The host reads the same counts from the channel.
    const auto lost = engine->getDropped();
    EXPECT_EQ(lost.blocks, dropped);
    EXPECT_EQ(lost.bytes, dropped * kBlockBytes);
    EXPECT_EQ(lost.frames, counters.reportsShed);
    EXPECT_EQ(backlog->queuedBytes(), 0u);

    EXPECT_TRUE(trace.has(20,
                          "TVP::onDataFromUE the channel is behind its stream: reports are "
                          "dropped until it catches up\n"));
    EXPECT_TRUE(trace.has(
        20, "TVP::onDataFromUE the channel caught up: " + std::to_string(counters.reportsShed) +
                " reports dropped (" + std::to_string(counters.reportsShed) + " in all)\n"))
        << trace.text();
    EXPECT_TRUE(trace.has(20,
                          "DataProvider::onDataAvailable Id = 1, Name = Tvp, the channel is "
                          "behind: " +
                              std::to_string(dropped) + " blocks (" +
                              std::to_string(dropped * kBlockBytes) +
                              " bytes) dropped in 1 gaps, " + std::to_string(dropped) +
                              " blocks in all (limit 262144 bytes)\n"))
        << trace.text();
}

// A stall is waited out as far as the limit allows while no answer is awaited, and one that
// leaves little behind even while one is: nothing is dropped.
TEST_F(TvpOverload, StallsAreWaitedOutWhileTheyLeaveRoomOrNoAnswerIsAwaited) {
    startSession();
    core::TraceCapture trace;
    RCPtr<vela::ReceiveBacklog> backlog = target->getDataProvider("Tvp")->getReceiveBacklog();
    backlog->setLimit(256u << 10);
    std::uint16_t seq = 0;
    auto stall = [&](std::size_t blocks) {
        sink->hold(true);
        phone->inject(reportBlock(seq));
        seq = static_cast<std::uint16_t>(seq + kFramesPerBlock);
        ASSERT_TRUE(sink->waitHeld());
        for (std::size_t i = 0; i < blocks; ++i) {
            phone->inject(reportBlock(seq));
            seq = static_cast<std::uint16_t>(seq + kFramesPerBlock);
        }
        ASSERT_TRUE(service.waitIdle());
        clock.advance(500ms);
        sink->hold(false);
        settle();
    };
    // Nothing awaited: 120 KiB that waited half a second, below half the limit.
    stall(30);
    // An answer awaited: 32 KiB, however old.
    ASSERT_TRUE(engine->applyPropertyItem(kGsmLayer2));
    ASSERT_TRUE(phone->waitSent(2));
    stall(8);
    EXPECT_EQ(sink->count(), (1 + 30 + 1 + 8) * kFramesPerBlock);
    EXPECT_EQ(engine->counters().reportsShed, 0u);
    EXPECT_EQ(engine->getDropped().frames, 0u);
    EXPECT_FALSE(trace.contains("behind")) << trace.text();
}

// While an answer is awaited, a backlog below half the limit that has waited too long is
// dropped down to what can be read in time, and the answer behind it completes its apply.
TEST_F(TvpOverload, AnAwaitedAnswerMakesTheChannelDropOldReports) {
    startSession();
    RCPtr<vela::ReceiveBacklog> backlog = target->getDataProvider("Tvp")->getReceiveBacklog();
    backlog->setLimit(256u << 10);
    ASSERT_TRUE(engine->applyPropertyItem(kGsmLayer2));
    ASSERT_TRUE(phone->waitSent(2));
    const Bytes request = phone->sent()[1];
    sink->hold(true);
    phone->inject(reportBlock(0));
    ASSERT_TRUE(sink->waitHeld());
    for (std::uint16_t i = 1; i <= 30; ++i)
        phone->inject(reportBlock(static_cast<std::uint16_t>(i * kFramesPerBlock)));
    phone->inject(
        probeModeAck(request[5], static_cast<std::uint16_t>(request[6] | request[7] << 8)));
    ASSERT_TRUE(service.waitIdle());
    clock.advance(100ms);
    sink->hold(false);
    EXPECT_EQ(observer->waitResult(1).code, 1);
    settle();
    const auto shed = engine->counters().reportsShed;
    EXPECT_GT(shed, 0u);
    EXPECT_EQ(sink->count() + shed, 31 * kFramesPerBlock);
}

}  // namespace
}  // namespace tvptest
