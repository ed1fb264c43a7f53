// Probe streaming and the print server of the simulated phone, seen by a client.
#include <string>
#include <thread>

#include "framework/core/Clock.h"
#include "protocol/TvpTestCodeArgument.h"
#include "protocol/TvpTestCodeArguments.h"
#include "tests/sim/phone/PhoneTestSupport.h"

namespace phonetest {
namespace {

struct ProbeReport {
    std::uint16_t probeId;
    std::uint16_t seqNo;
    std::uint64_t running;
};

// The probe reports among the frames, each checked to be whole: 64 bytes (or `size`), its
// payload pattern intact.
std::vector<ProbeReport> probeReports(const std::vector<Bytes>& frames, std::size_t size = 64) {
    std::vector<ProbeReport> reports;
    for (const auto& frame : frames) {
        if (!isProbe(frame))
            continue;
        auto probe = parse<vela::TvpProbe>(frame);
        EXPECT_TRUE(probe);
        EXPECT_EQ(frame.size(), size);
        if (!probe || frame.size() != size)
            continue;
        std::uint64_t running = core::readU8(probe->getProbeData());
        for (unsigned int k = 8; k < probe->getProbeDataSize(); ++k)
            EXPECT_EQ(probe->getProbeData()[k], static_cast<std::uint8_t>(running + k));
        reports.push_back({probe->getProbeId(), probe->getSeqNo(), running});
    }
    return reports;
}

// Every report numbered one after the other, across all probes and per probe.
void expectNoGaps(const std::vector<ProbeReport>& reports) {
    std::map<std::uint16_t, std::uint16_t> nextSeq;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        ASSERT_EQ(reports[i].running, reports[0].running + i) << "report " << i;
        auto [it, first] = nextSeq.try_emplace(reports[i].probeId, reports[i].seqNo);
        ASSERT_EQ(reports[i].seqNo, it->second) << "probe " << reports[i].probeId;
        it->second = static_cast<std::uint16_t>(it->second + 1);
    }
}

std::size_t probesAfterLastAck(const std::vector<Bytes>& frames) {
    std::size_t count = 0;
    for (const auto& frame : frames) {
        if (isAck(frame))
            count = 0;
        else if (isProbe(frame))
            ++count;
    }
    return count;
}

Bytes phyTestCode(std::uint8_t seqNo, std::uint16_t value, bool on) {
    core::RCPtr<vela::TvpTestCodeArguments> arguments(
        new vela::TvpTestCodeArguments(160, on ? 1 : 0));
    core::RCPtr<vela::TvpTestCodeArgument> argument(new vela::TvpTestCodeArgument(value));
    arguments->addArgument(argument.get());
    return encode(core::RCPtr<vela::TvpCommandExecuteTestCodeReq>(
                      new vela::TvpCommandExecuteTestCodeReq(*arguments)),
                  seqNo);
}

class SimPhoneStreamTest : public PhoneTest {};

TEST_F(SimPhoneStreamTest, ProbeStreamsWhileOnAndNumbersItsReportsWithoutGaps) {
    core::ManualClock clock;
    auto phone = makePhone();
    TvpClient client(phone->tvp());
    ASSERT_TRUE(client.connect());
    phone->setProbeRate(500);

    ASSERT_TRUE(client.send(setProbeMode(0, 0x0102, true)));
    ASSERT_TRUE(client.waitAcks(1));
    clock.advance(100ms);
    ASSERT_TRUE(phone->flush());
    ASSERT_TRUE(client.waitFrames([](const auto& f) { return probeReports(f).size() >= 50; }));
    EXPECT_EQ(phone->counters().activeProbes, (std::set<std::uint16_t>{0x0102}));
    ASSERT_TRUE(client.send(setProbeMode(1, 0x0102, false)));
    ASSERT_TRUE(client.waitAcks(2));
    ASSERT_TRUE(phone->flush());
    EXPECT_TRUE(phone->counters().activeProbes.empty());
    clock.advance(100ms);  // fifty reports' time: none may come
    ASSERT_TRUE(phone->flush());

    auto frames = client.frames();
    EXPECT_EQ(probesAfterLastAck(frames), 0u);
    auto reports = probeReports(frames);
    ASSERT_EQ(reports.size(), 50u);
    EXPECT_EQ(reports[0].seqNo, 0);
    EXPECT_EQ(reports[0].running, 0u);
    expectNoGaps(reports);
    auto counters = phone->counters();
    EXPECT_EQ(counters.probeFrames, reports.size());
    EXPECT_EQ(counters.probeFramesById[0x0102], reports.size());

    // Switched on again, the probe's numbers go on where they stopped.
    ASSERT_TRUE(client.send(setProbeMode(2, 0x0102, true)));
    ASSERT_TRUE(client.waitAcks(3));
    clock.advance(10ms);
    ASSERT_TRUE(phone->flush());
    ASSERT_TRUE(
        client.waitFrames([&](const auto& f) { return probeReports(f).size() > reports.size(); }));
    EXPECT_EQ(probeReports(client.frames())[reports.size()].seqNo, reports.size());
}

// A client that takes no blocks for a while: the phone stops making reports once 512 blocks
// (each piece of a split block counts) wait in the service, checked before every block of a
// tick, and counts the rest as skipped. What it made arrives whole once the client reads on.
TEST_F(SimPhoneStreamTest, UndeliveredBlocksStayBoundedWithinOneTick) {
    core::ManualClock clock;
    auto phone = makePhone();
    TvpClient client(phone->tvp());
    ASSERT_TRUE(client.connect());
    phone->setProbeRate(100000);
    phone->setRandomSplit(11, 8);
    ASSERT_TRUE(client.send(setProbeMode(0, 0x0102, true)));
    ASSERT_TRUE(client.waitAcks(1));
    ASSERT_TRUE(phone->flush());
    const auto before = phone->counters();

    client.hold(true);
    clock.advance(100ms);  // 10,000 reports due in one tick: some 140,000 pieces of 1 to 8 bytes
    ASSERT_TRUE(phone->flush());
    const auto after = phone->counters();
    const std::uint64_t pieces = after.tvpBlocks - before.tvpBlocks;
    EXPECT_GE(pieces, 512u);
    EXPECT_LT(pieces, 512u + 4096u) << "at most one block beyond the limit";
    EXPECT_GT(after.skippedFrames, before.skippedFrames);
    EXPECT_EQ(after.probeFrames - before.probeFrames + after.skippedFrames - before.skippedFrames,
              10000u)
        << "every report due was made or counted as skipped";

    client.hold(false);
    ASSERT_TRUE(service.waitIdle());
    const Cut cut = cutFrames(client.stream());
    EXPECT_FALSE(cut.broken);
    EXPECT_EQ(cut.rest, 0u);
    EXPECT_EQ(probeReports(cut.frames).size(), after.probeFrames);
    expectNoGaps(probeReports(cut.frames));
}

TEST_F(SimPhoneStreamTest, ProbesInterleaveInBlocksOfWholeFrames) {
    core::ManualClock clock;
    auto phone = makePhone();
    TvpClient client(phone->tvp());
    ASSERT_TRUE(client.connect());
    phone->setProbeRate(6000);
    phone->setProbeRate(0x0301, 2000);

    ASSERT_TRUE(client.send(setProbeMode(0, 0x0301, true)));
    ASSERT_TRUE(client.send(setProbeMode(1, 0x0302, true)));
    ASSERT_TRUE(client.waitAcks(2));
    ASSERT_TRUE(phone->flush());
    // 25 ticks of 10 ms: 20 reports of the first probe and 60 of the second in each, in a
    // full block of 64 frames and one of the other 16.
    constexpr int kTicks = 25;
    const auto before = phone->counters();
    for (int tick = 0; tick < kTicks; ++tick) {
        clock.advance(10ms);
        ASSERT_TRUE(phone->flush());
    }
    const auto after = phone->counters();
    EXPECT_EQ(after.probeFrames - before.probeFrames, 80u * kTicks);
    EXPECT_EQ(after.tvpBlocks - before.tvpBlocks, 2u * kTicks);
    EXPECT_EQ(after.skippedFrames, 0u);
    ASSERT_TRUE(client.send(setProbeMode(2, 0x0301, false)));
    ASSERT_TRUE(client.send(setProbeMode(3, 0x0302, false)));
    ASSERT_TRUE(client.waitAcks(4));
    ASSERT_TRUE(phone->flush());
    ASSERT_TRUE(client.waitFrames([](const auto& f) { return probeReports(f).size() >= 2000; }));

    // What the client reads (at most 4 KiB at a time, which may join or part blocks) is whole
    // frames, since every block is.
    for (const auto& block : client.blocks()) {
        auto cut = cutFrames(block);
        EXPECT_EQ(cut.rest, 0u);
        EXPECT_LE(block.size(), 4096u);
    }

    auto reports = probeReports(client.frames());
    ASSERT_EQ(reports.size(), 2000u);
    expectNoGaps(reports);
    std::map<std::uint16_t, std::size_t> perProbe;
    for (const auto& r : reports)
        ++perProbe[r.probeId];
    ASSERT_EQ(perProbe.size(), 2u);
    EXPECT_EQ(perProbe[0x0301], 500u);
    EXPECT_EQ(perProbe[0x0302], 1500u);
    // Interleaved: one of the first probe's, then one of the second's, while both are owed.
    EXPECT_EQ(reports[0].probeId, 0x0301);
    EXPECT_EQ(reports[1].probeId, 0x0302);
    EXPECT_EQ(reports[2].probeId, 0x0301);
}

// On the manual clock each probe makes exactly its rate's reports for the time that passed,
// whether the time passes in one step or in many.
TEST_F(SimPhoneStreamTest, RatesAreHeldExactlyByTheClock) {
    core::ManualClock clock;
    auto phone = makePhone();
    TvpClient client(phone->tvp());
    ASSERT_TRUE(client.connect());
    phone->setProbeRate(1000);
    phone->setProbeRate(0x0900, 9000);

    ASSERT_TRUE(client.send(setProbeMode(0, 0x0101, true)));
    ASSERT_TRUE(client.send(setProbeMode(1, 0x0900, true)));
    ASSERT_TRUE(client.waitAcks(2));
    ASSERT_TRUE(phone->flush());
    EXPECT_EQ(phone->counters().probeFrames, 0u) << "no time has passed";
    clock.advance(1s);
    ASSERT_TRUE(phone->flush());
    auto counters = phone->counters();
    EXPECT_EQ(counters.probeFramesById[0x0101], 1000u);
    EXPECT_EQ(counters.probeFramesById[0x0900], 9000u);
    for (int step = 0; step < 10; ++step) {
        clock.advance(100ms);
        ASSERT_TRUE(phone->flush());
    }
    counters = phone->counters();
    EXPECT_EQ(counters.probeFramesById[0x0101], 2000u);
    EXPECT_EQ(counters.probeFramesById[0x0900], 18000u);
    EXPECT_EQ(counters.skippedFrames, 0u);
}

TEST_F(SimPhoneStreamTest, PhyReportsFollowTheirTestCodesBehindProbe700) {
    auto phone = makePhone();
    TvpClient client(phone->tvp());
    ASSERT_TRUE(client.connect());
    phone->setProbeRate(500);

    // Without probe 700 a Phy report is only selected.
    ASSERT_TRUE(client.send(phyTestCode(0, 769, true)));
    ASSERT_TRUE(client.waitAcks(1));
    ASSERT_TRUE(phone->flush());
    EXPECT_TRUE(phone->counters().activeProbes.empty());

    ASSERT_TRUE(client.send(setProbeMode(1, 700, true)));
    ASSERT_TRUE(client.send(phyTestCode(2, 1538, true)));
    ASSERT_TRUE(client.waitAcks(3));
    ASSERT_TRUE(phone->flush());
    EXPECT_EQ(phone->counters().activeProbes, (std::set<std::uint16_t>{0x8301, 0x8602}));
    ASSERT_TRUE(client.waitFrames([](const auto& f) {
        std::set<std::uint16_t> ids;
        for (const auto& r : probeReports(f))
            ids.insert(r.probeId);
        return ids == std::set<std::uint16_t>{0x8301, 0x8602};
    }));

    ASSERT_TRUE(client.send(phyTestCode(3, 769, false)));
    ASSERT_TRUE(client.waitAcks(4));
    ASSERT_TRUE(phone->flush());
    EXPECT_EQ(phone->counters().activeProbes, (std::set<std::uint16_t>{0x8602}));
    ASSERT_TRUE(client.send(setProbeMode(4, 700, false)));
    ASSERT_TRUE(client.waitAcks(5));
    ASSERT_TRUE(phone->flush());
    EXPECT_TRUE(phone->counters().activeProbes.empty());

    for (const auto& ack : client.acks()) {
        auto answer = parse<vela::TvpCommandAck>(ack);
        ASSERT_TRUE(answer);
        EXPECT_EQ(core::readU2(ack.data() + (ack[4] == 3 ? 9 : 8)), 0) << int(ack[5]);
    }
    EXPECT_EQ(phone->counters().probeFramesById.count(700), 0u);
}

TEST_F(SimPhoneStreamTest, NoReportsWhileTheStreamIsClosed) {
    core::ManualClock clock;
    auto phone = makePhone();
    TvpClient client(phone->tvp());
    ASSERT_TRUE(client.connect());
    phone->setProbeRate(1000);
    ASSERT_TRUE(client.send(setProbeMode(0, 1, true)));
    ASSERT_TRUE(client.waitAcks(1));
    clock.advance(20ms);
    ASSERT_TRUE(phone->flush());
    EXPECT_EQ(phone->counters().probeFrames, 20u);

    ASSERT_TRUE(client.disconnect());
    clock.advance(400ms);  // 400 reports' time
    ASSERT_TRUE(phone->flush());
    EXPECT_EQ(phone->counters().probeFrames, 20u);
    EXPECT_EQ(phone->counters().skippedFrames, 0u) << "not owed: the stream was closed";

    // Open again, the probe streams again without gaps in its numbers and without a burst of
    // the reports of the closed time.
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(phone->flush());
    clock.advance(20ms);
    ASSERT_TRUE(phone->flush());
    EXPECT_EQ(phone->counters().probeFrames, 40u);
    ASSERT_TRUE(client.send(setProbeMode(1, 1, false)));
    ASSERT_TRUE(client.waitAcks(2));
    ASSERT_TRUE(client.waitFrames([](const auto& f) { return probeReports(f).size() >= 40; }));
    expectNoGaps(probeReports(client.frames()));
}

TEST_F(SimPhoneStreamTest, PrintServerSendsNumberedLinesOnceConnected) {
    core::ManualClock clock;
    printRate = 50;
    auto phone = makePhone();
    TvpClient client(phone->printServer());
    clock.advance(100ms);  // five lines' time before the connection
    ASSERT_TRUE(phone->flush());
    EXPECT_EQ(phone->counters().printLines, 0u);

    ASSERT_TRUE(client.connect());
    for (int step = 0; step < 4; ++step) {
        clock.advance(50ms);
        ASSERT_TRUE(phone->flush());
    }
    EXPECT_EQ(phone->counters().printLines, 10u);
    client.disconnect();
    ASSERT_TRUE(phone->flush());
    ASSERT_TRUE(phone->printServer().waitForDelivered(phone->counters().printBlocks));
    std::string text;
    for (const auto& block : client.blocks()) {
        EXPECT_EQ(block.back(), '\n');  // whole lines in each block
        text.append(block.begin(), block.end());
    }
    std::size_t number = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(at, end - at);
        char expected[32];
        std::snprintf(expected, sizeof expected, "VELA PS %06zu: cell ", ++number);
        EXPECT_EQ(line.rfind(expected, 0), 0u) << line;
        EXPECT_NE(line.find(" rssi -"), std::string::npos) << line;
        at = end + 1;
    }
    EXPECT_EQ(number, 10u);
    EXPECT_EQ(phone->counters().printLines, number);
}

}  // namespace
}  // namespace phonetest
