// TVP frame header, command frames and probe/inject frames: exact byte layouts both ways.
#include <algorithm>

#include <gtest/gtest.h>

#include "ProtocolTestSupport.h"
#include "framework/core/Trace.h"
#include "protocol/TvpCommandAck.h"
#include "protocol/TvpCommandReq.h"
#include "protocol/TvpLayout.h"
#include "protocol/TvpProbeInject.h"
#include "protocol/TvpTestCodeArguments.h"

namespace vela::test {
namespace {

constexpr auto kFromUe = TvpIoProtocol::FROM_UE;
constexpr auto kFromDs = TvpIoProtocol::FROM_DATA_SOURCE;
constexpr unsigned int kDsHeader = dsrc::DataSourceFrame::kHeaderSize;

TEST(TvpHeader, BuiltRequestCarriesOwnRoutingAndSize) {
    TvpCommandSetProbeModeReq req(0x0102, TvpCommandSetProbeModeReq::PROBE_MODE_ON);
    req.setSeqNo(5);
    EXPECT_EQ(toHex(req.getFrame()), "09 00 02 2C 01 05 02 01 06");
    EXPECT_EQ(req.getDirection(), TvpIoProtocol::TO_UE);
    EXPECT_EQ(req.getDataId(), TvpIoProtocol::COMMAND_REQ);
    EXPECT_EQ(FrameDescription::of(req, FrameDescription::Detail::Full).text,
              "request SetProbeMode seq=5 probe 0x0102 mode=6 size=9 route=1.0>0.3");
    EXPECT_EQ(req.getTvpIoProtocolDataSize(), 5u);
}

TEST(TvpHeader, EachSetterReplacesOnlyItsOwnBits) {
    const Bytes zero = hex("00 00 00 00");
    TvpIoProtocol f(zero.data(), 4, kFromUe);
    f.setSourceNode(TvpIoProtocol::NODE_5);
    EXPECT_EQ(headerHex(f), "00 00 80 02");

    const Bytes ones = hex("FF FF FF FF");
    TvpIoProtocol g(ones.data(), 4, kFromUe);
    g.setSourceProcessor(TvpIoProtocol::PROCESSOR_0);
    EXPECT_EQ(headerHex(g), "FF FF F1 FF");
    g.setDestProcessor(TvpIoProtocol::PROCESSOR_0);
    EXPECT_EQ(headerHex(g), "FF FF 81 FF");
    g.setDestNode(TvpIoProtocol::NODE_0);
    EXPECT_EQ(headerHex(g), "FF FF 81 E3");
    EXPECT_EQ(g.getTvpIoProtocolSize(), 0x1FFFFu);
    EXPECT_EQ(g.getDataId(), TvpIoProtocol::CPRINT);
    EXPECT_EQ(g.getSourceNode(), TvpIoProtocol::NODE_7);

    // Only the low 3 bits of an argument count.
    g.setDestNode(static_cast<TvpIoProtocol::TvpNodeId>(0x0D));
    EXPECT_EQ(g.getDestNode(), TvpIoProtocol::NODE_5);
    EXPECT_EQ(g.getDataId(), TvpIoProtocol::CPRINT);
}

TEST(TvpHeader, HeaderOnlyFrameHasNoData) {
    const Bytes b = hex("04 00 02 6C");
    TvpIoProtocol f(b.data(), 4, kFromUe);
    EXPECT_EQ(f.getTvpIoProtocolDataSize(), 0u);
    EXPECT_EQ(f.getDataId(), TvpIoProtocol::TVP_ERROR);
}

TEST(TvpHeader, LayoutReadersTakeTheFieldsFromTheBytes) {
    // A probe report of 22 bytes: size 22 and data id 0 in the header word (every route bit
    // set, to show the size and the data id do not take them in), selector 0, time stamp,
    // sequence number 0x0102, probe id 0x0096.
    const unsigned char probe[] = {0x16, 0x00, 0xFE, 0x1F, 0x00, 0x10, 0x20, 0x30,
                                   0x40, 0x02, 0x01, 0x96, 0x00, 0x02, 0x00, 0x00,
                                   0x00, 0x00, 0x01, 0x00, 0xAA, 0xBB};
    EXPECT_EQ(TvpLayout::headerWord(probe), 0x1FFE0016u);
    EXPECT_EQ(TvpLayout::frameSize(probe), 22u);
    EXPECT_EQ(TvpLayout::dataId(probe), TvpLayout::kDataIdProbeInject);
    EXPECT_TRUE(TvpLayout::isProbe(probe, sizeof probe));
    EXPECT_EQ(TvpLayout::probeSeqNo(probe), 0x0102);
    EXPECT_EQ(TvpLayout::probeId(probe), 0x0096);
    // An inject frame (selector 1), a probe cut short, and a command acknowledgement (data id
    // 2 in the top three bits) are no probe reports; the largest size is 17 bits.
    unsigned char inject[sizeof probe];
    std::copy(std::begin(probe), std::end(probe), inject);
    inject[TvpLayout::kProbeInjectIdOffset] = 1;
    EXPECT_FALSE(TvpLayout::isProbe(inject, sizeof inject));
    EXPECT_FALSE(TvpLayout::isProbe(probe, TvpLayout::kProbeFixedSize - 1));
    const unsigned char ack[] = {0xFF, 0xFF, 0x01, 0x40};
    EXPECT_EQ(TvpLayout::dataId(ack), TvpLayout::kDataIdCommandAck);
    EXPECT_EQ(TvpLayout::frameSize(ack), 0x1FFFFu);
    EXPECT_FALSE(TvpLayout::isProbe(ack, 0x1FFFF));
}

TEST(TvpByteView, DependsOnDirection) {
    TvpCommandSetTimeStampReq toUe(TvpCommandSetTimeStampReq::TIME_STAMP_SESSION);
    EXPECT_EQ(toUe.size(), 7u);
    EXPECT_EQ(toUe.getFrameBuf(), toUe.getTvpIoProtocolData() - 4);

    const Bytes b = hex("07 00 02 2C 07 09 10");
    TvpCommandSetTimeStampReq fromUe(b.data(), 7, kFromUe);
    EXPECT_EQ(fromUe.size(), 7u + kDsHeader);
    EXPECT_EQ(fromUe.getFrame()->size(), 7u + kDsHeader);
    EXPECT_EQ(fromUe.getTimeType(), TvpCommandSetTimeStampReq::TIME_STAMP_SESSION);
    EXPECT_EQ(fromUe.getSeqNo(), 9);

    // A block that begins with the data-source header: the data area is n - 16 bytes.
    // Made at its full size and then filled: GCC 12 at -O2 reports a false -Warray-bounds
    // (memmove "offset 16 is out of the bounds [0, 16]") for insert() at the end of a vector
    // just made with 16 bytes.
    Bytes ds(kDsHeader + b.size(), 0xEE);
    std::copy(b.begin(), b.end(), ds.begin() + kDsHeader);
    TvpCommandSetTimeStampReq fromDs(ds.data(), static_cast<unsigned int>(ds.size()), kFromDs);
    EXPECT_EQ(fromDs.getDataSourceFrameDataSize(), 7u);
    EXPECT_EQ(toHex(fromDs.getFrame()), toHex(ds));
    EXPECT_EQ(fromDs.getSeqNo(), 9);
}

TEST(TvpByteView, ToUeViewIsMadeOnceAndRemadeAfterAChange) {
    TvpCommandSetProbeModeReq req(7, TvpCommandSetProbeModeReq::PROBE_MODE_OFF);
    req.setSeqNo(1);
    const core::RCPtr<core::Data> first = req.getFrame();
    EXPECT_EQ(req.getFrame().get(), first.get());
    // A later sequence number must not go out with the old bytes.
    req.setSeqNo(2);
    EXPECT_EQ(toHex(first), "09 00 02 2C 01 01 07 00 01");
    EXPECT_EQ(toHex(req.getFrame()), "09 00 02 2C 01 02 07 00 01");
}

TEST(TvpFrame, WrapsAndCopiesShareTheBytes) {
    Bytes whole(kDsHeader, 0);
    for (unsigned char c : hex("09 00 02 2C 01 05 02 01 06"))
        whole.push_back(c);
    core::RCPtr<core::Data> data(new core::Data(whole.data(), whole.size()));
    TvpCommandSetProbeModeReq wrapped(data);
    EXPECT_EQ(wrapped.getFrame().get(), data.get());
    EXPECT_EQ(wrapped.getDirection(), kFromDs);
    EXPECT_EQ(wrapped.getProbeId(), 0x0102);

    TvpCommandSetProbeModeReq copy(wrapped);
    copy.setSeqNo(77);
    EXPECT_EQ(wrapped.getSeqNo(), 77);
}

TEST(TvpFrame, ParsingConstructorsNeverReadPastTheBytes) {
    // Shorter than the fixed part: the missing fields read as zero.
    const Bytes b = hex("14 00 00 00 00 78");
    TvpProbe probe(b.data(), static_cast<unsigned int>(b.size()), kFromUe);
    EXPECT_EQ(probe.getTimeStamp(), 0x78u);
    EXPECT_EQ(probe.getNumberOfDataElem(), 0u);
    EXPECT_EQ(probe.getProbeDataSize(), 0u);

    // A size field larger than the bytes held: variable parts stop at the bytes held.
    const Bytes c = hex("FF 00 02 2C 03 00 AA 00 00 05 00 01 02");
    TvpCommandExecuteTestCodeReq req(c.data(), static_cast<unsigned int>(c.size()), kFromUe);
    EXPECT_EQ(req.getArgsBlockSize(), 2u);
    EXPECT_EQ(req.getSizeOfArgs(), 5u);
    EXPECT_FALSE(req.getTvpTestCodeArguments());

    core::RCPtr<core::Data> tiny(new core::Data("\x01\x02", 2));
    TvpCommandAck ack(tiny);
    EXPECT_EQ(ack.getCommandAckId(), 0);
    EXPECT_EQ(ack.getTvpCommandAckDataSize(), 0u);
}

TEST(CommandFrames, SetTimeStampRequestAndAcknowledgement) {
    TvpCommandSetTimeStampReq req(TvpCommandSetTimeStampReq::TIME_STAMP_SESSION);
    EXPECT_EQ(toHex(req.getFrame()), "07 00 02 2C 07 00 10");
    EXPECT_EQ(req.getCommandReqId(), TvpCommandReq::SET_TIME_STAMP);

    const Bytes b = hex("08 00 02 4C 08 03 02 00");
    TvpCommandSetTimeStampAck ack(b.data(), 8, kFromUe);
    EXPECT_EQ(ack.getCommandAckId(), TvpCommandAck::SET_TIME_STAMP);
    EXPECT_EQ(ack.getSeqNo(), 3);
    EXPECT_EQ(ack.getResult(), 2);
    EXPECT_EQ(ack.getTvpCommandAckDataSize(), 2u);
}

TEST(CommandFrames, SetProbeModeAcknowledgementBuilt) {
    TvpCommandSetProbeModeAck ack(0x0102, TvpIoProtocol::ERR);
    EXPECT_EQ(ack.getDirection(), kFromUe);
    EXPECT_EQ(tvpHex(ack), "0A 00 02 4C 01 00 02 01 01 00");
    EXPECT_EQ(ack.size(), 10u + kDsHeader);
    EXPECT_EQ(ack.getProbeId(), 0x0102);
    EXPECT_EQ(ack.getResult(), TvpIoProtocol::ERR);
}

TEST(CommandFrames, ExecuteTestCodeRequests) {
    TvpCommandExecuteTestCodeReq none;
    EXPECT_EQ(toHex(none.getFrame()), "0B 00 02 2C 03 00 00 00 00 00 00");
    EXPECT_EQ(none.getSizeOfArgs(), 0u);

    const Bytes args = hex("01 02 03");
    TvpCommandExecuteTestCodeReq raw(0x21, 0x0304, 3, args.data());
    EXPECT_EQ(toHex(raw.getFrame()), "0E 00 02 2C 03 00 21 04 03 03 00 01 02 03");

    TvpTestCodeArguments list(160, 1);
    list.addArgument(new TvpTestCodeArgument(std::uint16_t{0x1234}));
    TvpCommandExecuteTestCodeReq fromList(list);
    EXPECT_EQ(toHex(fromList.getFrame()),
              "18 00 02 2C 03 00 A0 01 00 0D 00 00 00 02 00 00 00 00 01 00 34 12 FF FF");
    auto decoded = fromList.getTvpTestCodeArguments().dynamicCast<TvpTestCodeArguments>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->getCallbackId(), 160);
    EXPECT_EQ(decoded->getTestCodeNumber(), 1);
    EXPECT_EQ(decoded->getArgumentCount(), 1u);

    TvpCommandExecuteTestCodeReq fromNull(static_cast<const TvpTestCodeArgumentsBase*>(nullptr));
    EXPECT_EQ(toHex(fromNull.getFrame()), "0B 00 02 2C 03 00 00 00 00 00 00");
}

TEST(CommandFrames, ExecuteTestCodeRequestWhoseArgumentsOutgrewTheSizeField) {
    core::TraceCapture trace;
    TvpTestCodeArguments list(1, 2);
    core::RCPtr<TvpTestCodeArgument> a(new TvpTestCodeArgument());
    core::RCPtr<TvpTestCodeArgument> b(new TvpTestCodeArgument());
    ASSERT_TRUE(list.addArgument(a.get()));
    ASSERT_TRUE(list.addArgument(b.get()));
    // Both grow after being added, until the list no longer fits 16 bits.
    while (a->addElement(std::uint16_t{1})) {
    }
    while (b->addElement(std::uint16_t{2})) {
    }
    ASSERT_GT(list.encodedSize(), 0xFFFFul);
    TvpCommandExecuteTestCodeReq req(list);
    EXPECT_EQ(req.getSizeOfArgs(), 0u);
    EXPECT_EQ(req.getArgsBlockSize(), 0u);
    EXPECT_EQ(req.size(), 11u);
    EXPECT_EQ(trace.count("do not fit"), 1u);
    std::vector<unsigned char> out(0x10000);
    EXPECT_FALSE(list.toBytes(out.data()));
}

TEST(CommandFrames, ExecuteTestCodeAcknowledgementArguments) {
    // 13 bytes: no argument block, whatever NumberOfArgs says.
    const Bytes empty = hex("0D 00 02 4C 03 04 11 22 00 00 00 05 00");
    TvpCommandExecuteTestCodeAck bare(empty.data(), 13, kFromUe);
    EXPECT_EQ(bare.getNumberOfArgs(), 5u);
    EXPECT_EQ(bare.getSizeOfArgs(), 0u);
    auto none = bare.getTvpTestCodeArguments().dynamicCast<TvpTestCodeArguments>();
    ASSERT_TRUE(none);
    EXPECT_EQ(none->getArgumentCount(), 0u);
    EXPECT_EQ(none->getCallbackId(), 0x11);
    EXPECT_EQ(none->getTestCodeNumber(), 0x22);

    // The same block decodes as a Common Control message under callback id 0xAA only.
    const std::string block = "00 00 03 00 00 00 04 03 00 00 01 05 FF FF";
    const Bytes cc = hex("1B 00 02 4C 03 04 AA 82 01 00 00 01 00" + block);
    TvpCommandExecuteTestCodeAck ccAck(cc.data(), static_cast<unsigned int>(cc.size()), kFromUe);
    EXPECT_EQ(ccAck.getSizeOfArgs(), 14u);
    auto message = ccAck.getTvpTestCodeArguments().dynamicCast<CommonControl>();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->getTestCodeNumber(), 386);

    Bytes other = cc;
    other[6] = 0xAB;
    TvpCommandExecuteTestCodeAck otherAck(other.data(), static_cast<unsigned int>(other.size()),
                                          kFromUe);
    // As plain test-code arguments the same bytes are one argument of three unsigned chars.
    auto plain = otherAck.getTvpTestCodeArguments().dynamicCast<TvpTestCodeArguments>();
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->getCallbackId(), 0xAB);
    auto arg = plain->getFirst();
    ASSERT_TRUE(arg);
    EXPECT_EQ(arg->getElementType(), TVP_DATA_U8);
    EXPECT_EQ(arg->getNumberOfElements(), 3u);
}

TEST(ProbeFrames, FixedPartsAndPayload) {
    const Bytes twenty = hex("14 00 00 00 00 78 56 34 12 01 00 02 00 03 00 00 00 02 04 00");
    TvpProbe probe(twenty.data(), 20, kFromUe);
    EXPECT_EQ(probe.getTimeStamp(), 305419896u);
    EXPECT_EQ(probe.getProbeInjectId(), TvpProbeInject::PROBE);
    EXPECT_EQ(probe.getSeqNo(), 1u);
    EXPECT_EQ(probe.getProbeId(), 2u);
    EXPECT_EQ(probe.getDataByteSize(), 3u);
    EXPECT_EQ(probe.getProbeDataIdType(), TVP_DATA_U32);
    EXPECT_EQ(probe.getNumberOfDataElem(), 4u);
    EXPECT_EQ(probe.getProbeDataSize(), 0u);
    EXPECT_EQ(probe.getProbeData(), probe.getTvpIoProtocolData() - 4 + 20);
    EXPECT_EQ(probe.getProbeInjectDataBufSize(), 15u);

    // The payload length comes from the size field, not from NumberOfDataElem.
    Bytes longer = twenty;
    longer[0] = 26;
    longer[18] = 10;
    for (unsigned char c : hex("A1 A2 A3 A4 A5 A6"))
        longer.push_back(c);
    TvpProbe withData(longer.data(), 26, kFromUe);
    EXPECT_EQ(withData.getNumberOfDataElem(), 10u);
    EXPECT_EQ(withData.getProbeDataSize(), 6u);
    EXPECT_EQ(toHex(withData.getProbeData(), 6), "A1 A2 A3 A4 A5 A6");
}

TEST(ProbeFrames, BuiltProbeAndInject) {
    TvpProbe byDefault;
    EXPECT_EQ(tvpHex(byDefault), "14 00 02 0C 00 00 00 00 00 00 00 00 00 00 00 00 00 08 00 00");
    EXPECT_EQ(byDefault.getDirection(), kFromDs);

    const Bytes payload = hex("DE AD");
    TvpProbe probe(0x01020304, 0x0506, 0x0708, 0x090A0B0C, TVP_DATA_U8, 2, payload.data());
    EXPECT_EQ(tvpHex(probe), "16 00 02 0C 00 04 03 02 01 06 05 08 07 0C 0B 0A 09 04 02 00 DE AD");

    TvpInject inject(0x0708, 0x090A0B0C, TVP_DATA_STRING, 2, payload.data());
    EXPECT_EQ(tvpHex(inject), "10 00 02 0C 01 08 07 0C 0B 0A 09 06 02 00 DE AD");
    EXPECT_EQ(inject.getInjectDataSize(), 2u);
    TvpInject byDefaultInject;
    EXPECT_EQ(tvpHex(byDefaultInject), "0E 00 02 0C 01 00 00 00 00 00 00 08 00 00");
}

TEST(ProbeFrames, ElementTypeOffsetsDiffer) {
    Bytes b(20, 0);
    b[0] = 20;
    b[11] = TVP_DATA_FLOAT;
    b[17] = TVP_DATA_U16;
    b[4] = 1;
    TvpInject inject(b.data(), 20, kFromUe);
    EXPECT_EQ(inject.getProbeDataIdType(), TVP_DATA_FLOAT);
    EXPECT_EQ(inject.getInjectDataSize(), 6u);
    b[4] = 0;
    TvpProbe probe(b.data(), 20, kFromUe);
    EXPECT_EQ(probe.getProbeDataIdType(), TVP_DATA_U16);
}

}  // namespace
}  // namespace vela::test
