// Faults that the simulated phone makes on request, its leaving and coming back, and its
// destruction while it streams.
#include <thread>

#include "protocol/TvpError.h"
#include "tests/sim/phone/PhoneTestSupport.h"

namespace phonetest {
namespace {

std::uint16_t resultOf(const Bytes& ack) {
    switch (ack[4]) {
        case 1:
            return core::readU2(&ack[8]);
        case 8:
            return core::readU2(&ack[6]);
        default:
            return core::readU2(&ack[9]);
    }
}

class SimPhoneFaultTest : public PhoneTest {};

TEST_F(SimPhoneFaultTest, NegativeAnswersOnRequestLeaveThePhoneUnchanged) {
    auto phone = makePhone();
    TvpClient client(phone->tvp());
    ASSERT_TRUE(client.connect());

    phone->failNextCommands(2);
    phone->failProbe(0x0500);
    phone->failCommand(7);
    ASSERT_TRUE(client.send(setProbeMode(0, 0x0101, true)));   // next-N: refused
    ASSERT_TRUE(client.send(setTimeStamp(1)));                 // next-N: refused
    ASSERT_TRUE(client.send(setProbeMode(2, 0x0500, true)));   // refused probe
    ASSERT_TRUE(client.send(setProbeMode(3, 0x0101, false)));  // answered OK
    ASSERT_TRUE(client.send(setTimeStamp(4)));                 // refused kind
    ASSERT_TRUE(client.waitAcks(5));
    ASSERT_TRUE(phone->flush());
    std::vector<std::uint16_t> results;
    for (const auto& ack : client.acks())
        results.push_back(resultOf(ack));
    EXPECT_EQ(results, (std::vector<std::uint16_t>{1, 1, 1, 0, 1}));
    auto counters = phone->counters();
    EXPECT_TRUE(counters.activeProbes.empty());
    EXPECT_EQ(counters.timeStampFunction, 0);  // no SetTimeStamp was taken
    EXPECT_EQ(counters.negativeAcks, 4u);

    phone->clearFailures();
    ASSERT_TRUE(client.send(setTimeStamp(5)));
    ASSERT_TRUE(client.waitAcks(6));
    EXPECT_EQ(resultOf(client.acks()[5]), 0);
}

TEST_F(SimPhoneFaultTest, DroppedAcknowledgementStillCarriesOutTheCommand) {
    auto phone = makePhone();
    TvpClient client(phone->tvp());
    ASSERT_TRUE(client.connect());
    phone->dropNextAcks(1);
    ASSERT_TRUE(client.send(setProbeMode(0, 0x0101, true)));
    ASSERT_TRUE(client.send(setTimeStamp(1)));
    ASSERT_TRUE(client.waitAcks(1));
    ASSERT_TRUE(phone->flush());
    auto acks = client.acks();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0][4], 8);
    EXPECT_EQ(acks[0][5], 1);
    auto counters = phone->counters();
    EXPECT_EQ(counters.droppedAcks, 1u);
    EXPECT_EQ(counters.acks, 1u);
    EXPECT_EQ(counters.activeProbes, (std::set<std::uint16_t>{0x0101}));
}

TEST_F(SimPhoneFaultTest, ErrorFrameCarriesTheGivenBytes) {
    auto phone = makePhone();
    TvpClient client(phone->tvp());
    ASSERT_TRUE(client.connect());
    phone->sendErrorFrame({0x01, 0x02, 0x03});
    ASSERT_TRUE(client.waitFrames([](const auto& f) { return !f.empty(); }));
    auto frames = client.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (Bytes{0x07, 0x00, 0x90, 0x61, 0x01, 0x02, 0x03}));
    EXPECT_TRUE(parse<vela::TvpError>(frames[0]));
    EXPECT_EQ(phone->counters().errorFrames, 1u);
}

TEST_F(SimPhoneFaultTest, RandomSplitsCrossFrameBoundariesAndLoseNothing) {
    auto phone = makePhone();
    TvpClient client(phone->tvp());
    ASSERT_TRUE(client.connect());
    phone->setRandomSplit(1234, 50);
    phone->setProbeRate(2000);
    ASSERT_TRUE(client.send(setProbeMode(0, 0x0203, true)));
    ASSERT_TRUE(client.waitFrames(
        [](const auto& f) { return std::count_if(f.begin(), f.end(), isProbe) >= 500; }));
    phone->sendErrorFrame(Bytes(30, 0xAB));
    ASSERT_TRUE(client.send(setProbeMode(1, 0x0203, false)));
    ASSERT_TRUE(client.waitAcks(2));
    ASSERT_TRUE(phone->flush());

    auto blocks = client.blocks();
    std::size_t crossing = 0, offset = 0;
    std::set<std::size_t> frameStarts;
    auto stream = client.stream();
    auto cut = cutFrames(stream);
    EXPECT_FALSE(cut.broken);
    EXPECT_EQ(cut.rest, 0u);
    for (std::size_t at = 0; const auto& frame : cut.frames) {
        frameStarts.insert(at);
        at += frame.size();
    }
    for (const auto& block : blocks) {
        EXPECT_LE(block.size(), 50u);
        crossing += frameStarts.count(offset) == 0;
        offset += block.size();
    }
    EXPECT_GT(crossing, blocks.size() / 2);  // most blocks begin inside a frame

    std::uint64_t expected = 0;
    std::size_t errors = 0, acks = 0;
    for (const auto& frame : cut.frames) {
        if (isProbe(frame)) {
            auto probe = parse<vela::TvpProbe>(frame);
            ASSERT_TRUE(probe);
            ASSERT_EQ(core::readU8(probe->getProbeData()), expected);
            ASSERT_EQ(probe->getSeqNo(), static_cast<std::uint16_t>(expected));
            ++expected;
        } else if (dataIdOf(frame) == 3) {
            Bytes error{0x22, 0x00, 0x90, 0x61};
            error.insert(error.end(), 30, 0xAB);
            EXPECT_EQ(frame, error);
            ++errors;
        } else {
            ASSERT_TRUE(isAck(frame));
            ++acks;
        }
    }
    EXPECT_EQ(expected, phone->counters().probeFrames);
    EXPECT_EQ(errors, 1u);
    EXPECT_EQ(acks, 2u);
    EXPECT_EQ(phone->counters().tvpBlocks, blocks.size());
}

TEST_F(SimPhoneFaultTest, PhoneLeavesAndComesBackAsARestartedPhone) {
    auto phone = makePhone();
    {
        TvpClient client(phone->tvp());
        ASSERT_TRUE(client.connect());
        ASSERT_TRUE(client.send(setProbeMode(0, 0x0101, true)));
        ASSERT_TRUE(client.waitAcks(1));

        ASSERT_TRUE(phone->disconnect());
        EXPECT_FALSE(phone->disconnect());
        EXPECT_FALSE(service.phone(5));
        EXPECT_FALSE(phone->tvp());
        auto counters = phone->counters();
        EXPECT_FALSE(counters.present);
        EXPECT_TRUE(counters.activeProbes.empty());
        EXPECT_FALSE(client.send(setTimeStamp(1)));  // the provider has gone
    }

    ASSERT_TRUE(phone->reconnect());
    EXPECT_FALSE(phone->reconnect());
    ASSERT_TRUE(service.phone(5));
    EXPECT_EQ(service.phone(5).id(), 1001);
    EXPECT_TRUE(phone->counters().present);
    TvpClient client(phone->tvp());
    ASSERT_TRUE(client.connect());
    phone->setProbeRate(500);
    ASSERT_TRUE(client.send(setTimeStamp(9)));
    ASSERT_TRUE(client.send(setProbeMode(10, 0x0101, true)));
    ASSERT_TRUE(client.waitFrames(
        [](const auto& f) { return std::count_if(f.begin(), f.end(), isProbe) >= 5; }));
    auto frames = client.frames();
    EXPECT_EQ(frames[0][5], 9);
    // A restarted phone numbers its probe's reports from 0 again.
    auto first = std::find_if(frames.begin(), frames.end(), isProbe);
    EXPECT_EQ(parse<vela::TvpProbe>(*first)->getSeqNo(), 0);
}

TEST_F(SimPhoneFaultTest, ProviderGoesAwayAndComesBack) {
    auto phone = makePhone();
    EXPECT_FALSE(phone->restoreProvider("Tvp"));  // it is there
    ASSERT_TRUE(phone->removeProvider("Tvp"));
    EXPECT_FALSE(phone->target().provider("Tvp"));
    EXPECT_FALSE(phone->removeProvider("Tvp"));
    EXPECT_FALSE(phone->restoreProvider("Modem"));

    ASSERT_TRUE(phone->restoreProvider("Tvp"));
    auto tvp = phone->target().provider("Tvp");
    ASSERT_TRUE(tvp);
    EXPECT_EQ(tvp.id(), 1);
    TvpClient client(phone->tvp());
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(client.send(setTimeStamp(3)));
    ASSERT_TRUE(client.waitAcks(1));
}

TEST_F(SimPhoneFaultTest, DestroyedWhileStreamingToAConnectedClient) {
    printRate = 100;
    auto phone = makePhone();
    auto tvp = phone->tvp();
    TvpClient client(tvp);
    TvpClient print(phone->printServer());
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(print.connect());
    phone->setProbeRate(5000);
    ASSERT_TRUE(client.send(setProbeMode(0, 1, true)));
    ASSERT_TRUE(client.send(setProbeMode(1, 2, true)));
    ASSERT_TRUE(phone->waitFor([](const auto& c) { return c.probeFrames > 1000; }));
    // The client keeps sending while the phone goes.
    std::atomic<bool> done{false};
    std::thread sender([&] {
        for (std::uint8_t seq = 2; !done; ++seq)
            client.send(setTimeStamp(seq));
    });
    // Goes once the phone has answered some of them: its commands and reports are both under
    // way when it is destroyed.
    const bool answering = client.waitAcks(2 + 10);
    phone.reset();
    done = true;
    sender.join();
    ASSERT_TRUE(answering);
    EXPECT_FALSE(service.phone(5));
    EXPECT_FALSE(tvp.present());
    // Frames delivered before the phone went are whole and in order.
    auto cut = cutFrames(client.stream());
    EXPECT_FALSE(cut.broken);
    EXPECT_EQ(cut.rest, 0u);
}

}  // namespace
}  // namespace phonetest
