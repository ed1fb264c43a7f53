#include <gtest/gtest.h>

#include <vector>

#include "decoding/PrintServerDecoder.h"
#include "decoding/PrintServerFrame.h"
#include "decoding/TVPDecoder.h"
#include "framework/core/Trace.h"
#include "protocol/TvpCommandReq.h"
#include "protocol/TvpError.h"

namespace {

using core::RCPtr;

std::uint64_t counted() {
    return core::ByteCounter::instance("VelaMeasBytes.log")->getCount();
}

RCPtr<vela::TvpError> errorFrame(std::vector<unsigned char> data) {
    std::vector<unsigned char> bytes = {static_cast<unsigned char>(4 + data.size()), 0x00, 0x02,
                                        0x6C};
    bytes.insert(bytes.end(), data.begin(), data.end());
    return new vela::TvpError(bytes.data(), static_cast<unsigned int>(bytes.size()),
                              vela::TvpIoProtocol::FROM_UE);
}

TEST(TVPDecoder, CountsFramesAndTracesErrorFrames) {
    core::TraceCapture trace;
    RCPtr<vela::TVPDecoder> decoder(new vela::TVPDecoder);
    std::uint64_t before = counted();

    RCPtr<vela::TvpIoProtocol> request(new vela::TvpCommandSetProbeModeReq(
        0x0102, vela::TvpCommandSetProbeModeReq::PROBE_MODE_ON));
    decoder->data(request.get());
    EXPECT_EQ(counted() - before, 9u) << "TVP bytes only, without the framework header";
    EXPECT_TRUE(trace.lines().empty());

    decoder->data(errorFrame({0x0F, 0x10}).get());
    EXPECT_EQ(counted() - before, 15u);
    EXPECT_TRUE(trace.has(40, "TVPDecoder::onData / TVP_ERROR (0f 10 )\n"));

    decoder->data(errorFrame({}).get());
    EXPECT_TRUE(trace.has(40, "TVPDecoder::onData / TVP_ERROR ()\n"));

    RCPtr<core::Data> notAFrame(new core::Data("abc", 3));
    std::uint64_t now = counted();
    decoder->data(notAFrame.get());
    EXPECT_EQ(counted(), now);
    EXPECT_EQ(trace.lines().size(), 2u);
}

TEST(TVPDecoder, HexText) {
    const unsigned char bytes[] = {0x01, 0xAB, 0x00};
    EXPECT_EQ(vela::TVPDecoder::toHexString(bytes, 3), "01 ab 00 ");
    EXPECT_EQ(vela::TVPDecoder::toHexString(bytes, 0), "");
}

TEST(PrintServer, FrameKeepsBytesAndDecoderCountsThem) {
    RCPtr<vela::PrintServerFrame> frame(new vela::PrintServerFrame(new core::Data("ab\ncd", 5)));
    EXPECT_EQ(frame->getText(), "ab\ncd");
    EXPECT_EQ(frame->getDataSourceFrameDataSize(), 5u);
    RCPtr<vela::PrintServerFrame> empty(new vela::PrintServerFrame(nullptr));
    EXPECT_EQ(empty->getText(), "");
    RCPtr<vela::PrintServerDecoder> decoder(new vela::PrintServerDecoder);
    std::uint64_t before = counted();
    decoder->data(frame.get());
    EXPECT_EQ(counted() - before, 5u);
}

}  // namespace
