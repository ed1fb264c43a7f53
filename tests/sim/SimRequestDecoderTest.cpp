// The simulated phone's request decoder, from exact byte vectors.
#include <gtest/gtest.h>

#include "sim/SimRequestDecoder.h"

namespace {

using sim::SimRequestDecoder;
using Bytes = SimRequestDecoder::Bytes;

std::optional<SimRequestDecoder::Request> decode(const Bytes& frame) {
    return SimRequestDecoder::decode(frame.data(), frame.size());
}

TEST(SimRequestDecoder, ReadsEachRequestKind) {
    auto probeMode = decode({0x09, 0x00, 0x02, 0x2C, 0x01, 0x05, 0x02, 0x01, 0x06});
    ASSERT_TRUE(probeMode);
    EXPECT_EQ(probeMode->id, SimRequestDecoder::SET_PROBE_MODE);
    EXPECT_EQ(probeMode->seqNo, 5);
    EXPECT_EQ(probeMode->probeId, 0x0102);
    EXPECT_EQ(probeMode->probeMode, 6);

    auto timeStamp = decode({0x07, 0x00, 0x02, 0x2C, 0x07, 0x01, 0x10});
    ASSERT_TRUE(timeStamp);
    EXPECT_EQ(timeStamp->id, SimRequestDecoder::SET_TIME_STAMP);
    EXPECT_EQ(timeStamp->seqNo, 1);
    EXPECT_EQ(timeStamp->timeType, 0x10);

    auto testCode =
        decode({0x18, 0x00, 0x02, 0x2C, 0x03, 0x00, 0xA0, 0x01, 0x00, 0x0D, 0x00, 0x00,
                0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x34, 0x12, 0xFF, 0xFF});
    ASSERT_TRUE(testCode);
    EXPECT_EQ(testCode->id, SimRequestDecoder::EXECUTE_TEST_CODE);
    EXPECT_EQ(testCode->callbackId, 0xA0);
    EXPECT_EQ(testCode->testCodeNumber, 1);
    EXPECT_EQ(testCode->args.size(), 13u);
    EXPECT_EQ(SimRequestDecoder::firstShort(testCode->args), 0x1234);
}

TEST(SimRequestDecoder, RefusesWhatIsNotAKnownWholeRequest) {
    // size field 10 for a 9-byte block
    EXPECT_FALSE(decode({0x0A, 0x00, 0x02, 0x2C, 0x01, 0x05, 0x02, 0x01, 0x06}));
    // bit 16 of the size belongs to the size: 0x10009 is not 9
    EXPECT_FALSE(decode({0x09, 0x00, 0x03, 0x2C, 0x01, 0x05, 0x02, 0x01, 0x06}));
    // an acknowledgement (data id 2)
    EXPECT_FALSE(decode({0x09, 0x00, 0x02, 0x4C, 0x01, 0x05, 0x02, 0x01, 0x06}));
    // unknown request id 2
    EXPECT_FALSE(decode({0x09, 0x00, 0x02, 0x2C, 0x02, 0x05, 0x02, 0x01, 0x06}));
    // set probe mode one byte short of its mode
    EXPECT_FALSE(decode({0x08, 0x00, 0x02, 0x2C, 0x01, 0x05, 0x02, 0x01}));
    // set time stamp without its function
    EXPECT_FALSE(decode({0x06, 0x00, 0x02, 0x2C, 0x07, 0x01}));
    // execute test code whose SizeOfArgs (3) runs past the frame (2 left)
    EXPECT_FALSE(
        decode({0x0D, 0x00, 0x02, 0x2C, 0x03, 0x00, 0xA0, 0x01, 0x00, 0x03, 0x00, 0xFF, 0xFF}));
    EXPECT_FALSE(decode({0x03, 0x00, 0x02, 0x2C}));
}

TEST(SimRequestDecoder, ArgumentBlocks) {
    EXPECT_EQ(SimRequestDecoder::arguments({0xFF, 0xFF})->size(), 0u);
    EXPECT_FALSE(SimRequestDecoder::arguments({0xFF, 0xFE}));
    // an argument whose length runs past the block
    EXPECT_FALSE(SimRequestDecoder::arguments(
        {0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x34, 0x12, 0xFF, 0xFF}));
    // a block may end right after its last argument; a byte argument is no u16
    Bytes bytes{0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x01, 0x00, 0x07};
    auto decoded = SimRequestDecoder::arguments(bytes);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->size(), 1u);
    EXPECT_EQ((*decoded)[0].elementType, 4);
    EXPECT_EQ((*decoded)[0].elements, Bytes{0x07});
    EXPECT_FALSE(SimRequestDecoder::firstShort(bytes));
}

TEST(SimRequestDecoder, CommonControlMessages) {
    const Bytes block{0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04,
                      0x03, 0x00, 0x00, 0x01, 0x05, 0xFF, 0xFF};
    auto message = SimRequestDecoder::commonControl(0x0182, block);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->operationType, 0);
    ASSERT_EQ(message->ies.size(), 1u);
    EXPECT_EQ(message->ies[0].iei, 0);
    EXPECT_EQ(message->ies[0].value, Bytes{0x05});
    EXPECT_EQ(SimRequestDecoder::encodeCommonControl(message->ies), block);

    EXPECT_EQ(SimRequestDecoder::commonControl(0x0183, {0xFF, 0xFF})->operationType, 1);
    EXPECT_EQ(SimRequestDecoder::encodeCommonControl({}), (Bytes{0xFF, 0xFF}));
    // an IE whose length (2) runs past the IE bytes
    EXPECT_FALSE(SimRequestDecoder::commonControl(
        0, {0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04, 0x03, 0x00, 0x00, 0x02, 0x05, 0xFF, 0xFF}));
    // an IE byte count that disagrees with the argument's length
    EXPECT_FALSE(SimRequestDecoder::commonControl(
        0, {0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04, 0x02, 0x00, 0x00, 0x01, 0x05, 0xFF, 0xFF}));
}

}  // namespace
