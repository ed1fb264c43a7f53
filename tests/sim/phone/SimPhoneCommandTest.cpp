// The simulated phone's frames byte by byte, and its answers to command requests.
#include "protocol/CommonControl.h"
#include "protocol/TvpError.h"
#include "sim/SimPhoneFrames.h"
#include "tests/sim/phone/PhoneTestSupport.h"

namespace phonetest {
namespace {

using sim::SimPhoneFrames;

// ---- frame layouts ------------------------------------------------------------------------

TEST(SimPhoneFramesTest, AcknowledgementsHaveTheirExactBytes) {
    // Header: size, source processor 0, destination processor 1, source node 3, node 0, id 2.
    EXPECT_EQ(SimPhoneFrames::setTimeStampAck(5, 0),
              (Bytes{0x08, 0x00, 0x90, 0x41, 0x08, 0x05, 0x00, 0x00}));
    EXPECT_EQ(SimPhoneFrames::setProbeModeAck(0xFF, 0x0102, 1),
              (Bytes{0x0A, 0x00, 0x90, 0x41, 0x01, 0xFF, 0x02, 0x01, 0x01, 0x00}));
    EXPECT_EQ(SimPhoneFrames::executeTestCodeAck(7, 0xA0, 0x0201, 0, 0, {0xFF, 0xFF}),
              (Bytes{0x0F, 0x00, 0x90, 0x41, 0x03, 0x07, 0xA0, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00,
                     0xFF, 0xFF}));
    EXPECT_EQ(SimPhoneFrames::error({0xDE, 0xAD}), (Bytes{0x06, 0x00, 0x90, 0x61, 0xDE, 0xAD}));
}

TEST(SimPhoneFramesTest, ProbeFrameCarriesItsNumbersAndPattern) {
    Bytes out{0xEE};  // appended after what is there
    SimPhoneFrames::appendProbe(out, 28, 0x12345678, 0xBEEF, 0x8301, 0x0102030405060708ull);
    EXPECT_EQ(out, (Bytes{0xEE, 0x1C, 0x00, 0x90, 0x01, 0x00, 0x78, 0x56, 0x34, 0x12,
                          0xEF, 0xBE, 0x01, 0x83, 0x08, 0x00, 0x00, 0x00, 0x04, 0x08,
                          0x00, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}));

    Bytes big;
    SimPhoneFrames::appendProbe(big, 64, 0, 0, 1, 250);
    ASSERT_EQ(big.size(), 64u);
    auto probe = parse<vela::TvpProbe>(big);
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->getProbeDataSize(), 44u);
    EXPECT_EQ(probe->getNumberOfDataElem(), 44);
    EXPECT_EQ(core::readU8(probe->getProbeData()), 250u);
    EXPECT_EQ(probe->getProbeData()[8], static_cast<std::uint8_t>(250 + 8));
    EXPECT_EQ(probe->getProbeData()[43], static_cast<std::uint8_t>(250 + 43));

    Bytes small;  // too small for the running number: made 28 bytes long
    SimPhoneFrames::appendProbe(small, 4, 0, 0, 1, 1);
    EXPECT_EQ(small.size(), 28u);
}

// ---- answers --------------------------------------------------------------------------------

class SimPhoneCommandTest : public PhoneTest {};

TEST_F(SimPhoneCommandTest, AnswersEachCommandWithItsAcknowledgementAndSequenceNumber) {
    auto phone = makePhone();
    TvpClient client(phone->tvp());
    ASSERT_TRUE(client.connect());

    ASSERT_TRUE(client.send(setTimeStamp(0)));
    ASSERT_TRUE(client.send(setProbeMode(1, 0x0102, false)));
    ASSERT_TRUE(client.send(encode(core::RCPtr<vela::TvpCommandExecuteTestCodeReq>(
                                       new vela::TvpCommandExecuteTestCodeReq(0x42, 17)),
                                   255)));
    ASSERT_TRUE(client.waitAcks(3));
    auto acks = client.acks();
    ASSERT_EQ(acks.size(), 3u);

    EXPECT_EQ(acks[0], (Bytes{0x08, 0x00, 0x90, 0x41, 0x08, 0x00, 0x00, 0x00}));
    auto timeStamp = parse<vela::TvpCommandSetTimeStampAck>(acks[0]);
    ASSERT_TRUE(timeStamp);
    EXPECT_EQ(timeStamp->getResult(), vela::TvpIoProtocol::OK);

    auto probeMode = parse<vela::TvpCommandSetProbeModeAck>(acks[1]);
    ASSERT_TRUE(probeMode);
    EXPECT_EQ(probeMode->getSeqNo(), 1);
    EXPECT_EQ(probeMode->getProbeId(), 0x0102);
    EXPECT_EQ(probeMode->getResult(), vela::TvpIoProtocol::OK);

    auto testCode = parse<vela::TvpCommandExecuteTestCodeAck>(acks[2]);
    ASSERT_TRUE(testCode);
    EXPECT_EQ(testCode->getSeqNo(), 255);
    EXPECT_EQ(testCode->getCallbackId(), 0x42);
    EXPECT_EQ(testCode->getTestCodeNumber(), 17);
    EXPECT_EQ(testCode->getResult(), vela::TvpIoProtocol::OK);
    EXPECT_EQ(testCode->getNumberOfArgs(), 0);
    EXPECT_EQ(Bytes(testCode->getArgs(), testCode->getArgs() + testCode->getSizeOfArgs()),
              (Bytes{0xFF, 0xFF}));

    auto counters = phone->counters();
    EXPECT_EQ(counters.commands, 3u);
    EXPECT_EQ(counters.acks, 3u);
    EXPECT_EQ(counters.negativeAcks, 0u);
    EXPECT_EQ(counters.timeStampFunction, 16);
}

TEST_F(SimPhoneCommandTest, CommonControlRequestIsAnsweredWithTheCapabilityMask) {
    auto phone = makePhone();
    TvpClient client(phone->tvp());
    ASSERT_TRUE(client.connect());

    auto request = [](vela::CommonControl::OperationType type, std::uint8_t mask) {
        core::RCPtr<vela::CommonControl> message(new vela::CommonControl());
        message->setOperationType(type);
        message->setFunctionId(vela::CommonControl::CAS_SYSTEM_CAPABILITY_CONTROL);
        core::RCPtr<vela::CommonControlIE> ie(new vela::CommonControlIE(0, mask));
        message->addIE(ie.get());
        return core::RCPtr<vela::TvpCommandExecuteTestCodeReq>(
            new vela::TvpCommandExecuteTestCodeReq(*message));
    };
    ASSERT_TRUE(client.send(encode(request(vela::CommonControl::SET, 1), 3)));
    ASSERT_TRUE(client.send(encode(request(vela::CommonControl::GET, 0), 4)));
    ASSERT_TRUE(client.waitAcks(2));
    auto acks = client.acks();
    ASSERT_EQ(acks.size(), 2u);

    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        auto ack = parse<vela::TvpCommandExecuteTestCodeAck>(acks[i]);
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->getSeqNo(), 3 + i);
        EXPECT_EQ(ack->getCallbackId(), 0xAA);
        EXPECT_EQ(ack->getTestCodeNumber(), i == 0 ? 386 : 387);  // SET / GET of CAS 1
        EXPECT_EQ(ack->getResult(), vela::TvpIoProtocol::OK);
        EXPECT_EQ(ack->getNumberOfArgs(), 1);
        auto message = core::rcCast<vela::CommonControl>(ack->getTvpTestCodeArguments());
        ASSERT_TRUE(message);
        message->resetIEs();
        auto ie = message->nextIE();
        ASSERT_TRUE(ie);
        EXPECT_EQ(ie->getIEI(), 0);
        EXPECT_EQ(ie->getValue(), (std::vector<unsigned char>{1}));  // the mask SET stored
    }
    // The whole answer to the GET: 13 bytes + the 14-byte Common Control block.
    EXPECT_EQ(acks[1], (Bytes{0x1B, 0x00, 0x90, 0x41, 0x03, 0x04, 0xAA, 0x83, 0x01,
                              0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00,
                              0x00, 0x04, 0x03, 0x00, 0x00, 0x01, 0x01, 0xFF, 0xFF}));
    EXPECT_EQ(phone->counters().capabilityMask, 1);
}

TEST_F(SimPhoneCommandTest, CutsTheReceiveStreamByTheFrameLength) {
    auto phone = makePhone();
    TvpClient client(phone->tvp());
    ASSERT_TRUE(client.connect());

    // Three requests in one block, answered in order.
    Bytes three = setTimeStamp(10);
    for (std::uint8_t seq : {11, 12}) {
        Bytes more = setProbeMode(seq, seq, false);
        three.insert(three.end(), more.begin(), more.end());
    }
    ASSERT_TRUE(client.send(three));
    ASSERT_TRUE(client.waitAcks(3));

    // One request over three blocks, answered once, when its last byte has come.
    Bytes split = setProbeMode(13, 0x0203, false);  // 9 bytes
    ASSERT_TRUE(client.send(Bytes(split.begin(), split.begin() + 2)));
    ASSERT_TRUE(client.send(Bytes(split.begin() + 2, split.begin() + 6)));
    ASSERT_TRUE(phone->flush());
    EXPECT_EQ(phone->counters().commands, 3u);
    // The last piece comes together with the start of another request.
    Bytes last(split.begin() + 6, split.end());
    Bytes next = setTimeStamp(14);
    last.insert(last.end(), next.begin(), next.begin() + 3);
    ASSERT_TRUE(client.send(last));
    ASSERT_TRUE(client.send(Bytes(next.begin() + 3, next.end())));
    ASSERT_TRUE(client.waitAcks(5));
    ASSERT_TRUE(phone->flush());

    auto acks = client.acks();
    ASSERT_EQ(acks.size(), 5u);
    std::vector<int> seqs;
    for (const auto& ack : acks)
        seqs.push_back(ack[5]);
    EXPECT_EQ(seqs, (std::vector<int>{10, 11, 12, 13, 14}));
    EXPECT_EQ(acks[3][4], 1);  // set probe mode
    EXPECT_EQ(acks[4][4], 8);  // set time stamp
    EXPECT_EQ(phone->counters().commands, 5u);
}

TEST_F(SimPhoneCommandTest, UnknownRequestsAndBrokenLengthsAreHandledSafely) {
    auto phone = makePhone();
    TvpClient client(phone->tvp());
    ASSERT_TRUE(client.connect());

    // Request id 9 has no meaning: an error frame reports its first bytes.
    Bytes unknown{0x08, 0x00, 0x02, 0x2C, 0x09, 0x06, 0x00, 0x00};
    ASSERT_TRUE(client.send(unknown));
    // A probe frame from the component is no request: ignored.
    Bytes probe;
    SimPhoneFrames::appendProbe(probe, 28, 0, 0, 1, 0);
    ASSERT_TRUE(client.send(probe));
    ASSERT_TRUE(client.waitFrames([](const auto& frames) { return frames.size() >= 1; }));
    ASSERT_TRUE(phone->flush());
    auto frames = client.frames();
    ASSERT_EQ(frames.size(), 1u);
    auto error = parse<vela::TvpError>(frames[0]);
    ASSERT_TRUE(error);
    EXPECT_EQ(Bytes(frames[0].begin() + 4, frames[0].end()), unknown);

    // A length below the header's cannot be cut: the bytes are dropped, and the stream
    // goes on with the next block.
    ASSERT_TRUE(client.send(Bytes{0x02, 0x00, 0x00, 0x20, 0x55, 0x66}));
    ASSERT_TRUE(client.send(setTimeStamp(1)));
    ASSERT_TRUE(client.waitAcks(1));
    auto counters = phone->counters();
    EXPECT_EQ(counters.discardedBytes, 6u);
    EXPECT_EQ(counters.ignoredFrames, 1u);
    EXPECT_EQ(counters.errorFrames, 1u);
    EXPECT_EQ(counters.commands, 2u);
    EXPECT_EQ(counters.acks, 1u);
}

TEST_F(SimPhoneCommandTest, SixteenPhonesAnswerOnTheirOwnPorts) {
    std::vector<std::unique_ptr<sim::SimPhone>> phones;
    for (int port = 1; port <= 16; ++port)
        phones.push_back(makePhone(port, 2000 + port));
    EXPECT_THROW(makePhone(3, 99), std::invalid_argument);  // the port has a phone
    for (auto& phone : phones) {
        SCOPED_TRACE(phone->port());
        EXPECT_TRUE(phone->target().reported());
        EXPECT_EQ(phone->target().id(), 2000 + phone->port());
        TvpClient client(phone->tvp());
        ASSERT_TRUE(client.connect());
        ASSERT_TRUE(client.send(setTimeStamp(static_cast<std::uint8_t>(phone->port()))));
        ASSERT_TRUE(client.waitAcks(1));
        EXPECT_EQ(client.acks()[0][5], phone->port());
    }
    phones.clear();
    EXPECT_TRUE(service.phones().empty());
}

}  // namespace
}  // namespace phonetest
