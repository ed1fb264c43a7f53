// The incoming frame factory: each block becomes the right frame object, or nothing, with the
// factory's trace lines. Each case prints what it decoded, followed by the trace lines it
// caused, so that the expectations read like a protocol trace.
#include <gtest/gtest.h>

#include "ProtocolTestSupport.h"
#include "framework/core/Trace.h"
#include "protocol/TvpCommandReq.h"
#include "protocol/TvpIoProtocolFactory.h"
#include "protocol/TvpProbeInject.h"

namespace vela::test {
namespace {

std::string run(TvpIoProtocolFactory& factory, const std::vector<std::string>& blocks) {
    std::string out;
    for (const auto& text : blocks) {
        core::TraceCapture trace;
        const Bytes b = hex(text);
        auto frame =
            factory.create(b.empty() ? nullptr : b.data(), static_cast<unsigned int>(b.size()));
        out += describe(frame);
        for (const auto& line : trace.lines())
            out += "  trace " + std::to_string(line.first) + ": " + line.second;
    }
    return out;
}

TEST(TvpIoProtocolFactory, FromUeBlocks) {
    TvpIoProtocolFactory factory(TvpIoProtocol::FROM_UE);
    const std::string decoded =
        run(factory, {
                         "09 00 02 2C 01 05 02 01 06",        // set probe mode request
                         "0A 00 02 2C 01 05 02 01 06",        // size field 10 for 9 bytes
                         "07 00 02 2C 07 01 10",              // set time stamp request
                         "0B 00 02 2C 03 02 A0 01 00 00 00",  // execute test code request
                         "06 00 02 2C 09 00",                 // request id without a class
                         "0A 00 00 4C 01 05 02 01 00 00",     // set probe mode ack
                         "08 00 00 4C 08 06 00 00",           // set time stamp ack
                         "08 00 00 4C 07 06 00 00",  // id 7 is the request's, not the ack's
                         "06 00 00 4C 05 07",        // ack id without a class
                         "0F 00 00 4C 03 08 11 22 00 01 00 00 00 AB CD",  // execute test code ack
                         "06 00 00 6C AB CD",                             // error
                         "15 00 80 06 00 00 01 00 00 02 00 03 00 04 00 00 00 05 01 00 EE",  // probe
                         "0F 00 00 00 01 03 00 04 00 00 00 04 01 00 99",  // inject
                         "05 00 00 00 02",                                // probe/inject id 2
                         "04 00 00 80",
                         "04 00 00 A0",
                         "04 00 00 C0",
                         "04 00 00 E0",
                     });
    EXPECT_EQ(
        decoded,
        "request SetProbeMode seq=5 probe 0x0102 mode=6 size=9 route=1.0>0.3\n"
        "(no frame)\n"
        "request SetTimeStamp seq=1 function=16 size=7 route=1.0>0.3\n"
        "request ExecuteTestCode seq=2 callback=160 testcode=1 args=0 [] size=11 route=1.0>0.3\n"
        "(no frame)\n"
        "  trace 20: TvpIoProtocolFactory::createCommandReq FAILED (ID=9\n"
        "ack SetProbeMode seq=5 probe 0x0102 result=0 size=10 route=0.0>0.3\n"
        "ack SetTimeStamp seq=6 result=0 size=8 route=0.0>0.3\n"
        "ack unknown acknowledgement seq=6 id=7 data=[00 00] size=8 route=0.0>0.3\n"
        "  trace 20: TvpIoProtocolFactory::createCommandAck FAILED (ID=7)\n"
        "ack unknown acknowledgement seq=7 id=5 data=[] size=6 route=0.0>0.3\n"
        "  trace 20: TvpIoProtocolFactory::createCommandAck FAILED (ID=5)\n"
        "ack ExecuteTestCode seq=8 callback=17 testcode=34 result=1 args=0 [AB CD] size=15 "
        "route=0.0>0.3\n"
        "error frame: AB CD size=6 route=0.0>0.3\n"
        "probe 0x0003 seq=2 time=256 payload=1 bytes=4 type=5 elems=1 data=[EE] size=21 "
        "route=0.5>0.1\n"
        "inject probe 0x0003 bytes=4 type=4 elems=1 data=[99] size=15 route=0.0>0.0\n"
        "(no frame)\n"
        "  trace 20: TvpIoProtocolFactory::createCommandProbeInject FAILED (ID=2\n"
        "(no frame)\n"
        "  trace 20: - - - - TvpIoProtocolFactory::create FAILED (ID=INJECT_DATA_REQ) - - - - \n"
        "(no frame)\n"
        "  trace 20: - - - - TvpIoProtocolFactory::create FAILED (ID=APRINT) - - - - \n"
        "(no frame)\n"
        "  trace 20: - - - - TvpIoProtocolFactory::create FAILED (ID=BPRINT) - - - - \n"
        "(no frame)\n"
        "  trace 20: - - - - TvpIoProtocolFactory::create FAILED (ID=CPRINT) - - - - \n");
}

TEST(TvpIoProtocolFactory, BlocksShorterThanTheirClassGiveNothingAndNoTrace) {
    TvpIoProtocolFactory factory(TvpIoProtocol::FROM_UE);
    const std::string decoded =
        run(factory, {
                         "",             // nothing
                         "03 00 02",     // shorter than a header
                         "00 00 00 00",  // size field 0
                         "04 00 00 00",  // probe/inject without selector
                         "13 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",  // probe of 19
                         "0D 00 00 00 01 00 00 00 00 00 00 00 00",  // inject of 13
                         "05 00 02 2C 01",                          // request without sequence byte
                         "08 00 02 2C 01 00 02 01",                 // set probe mode request of 8
                         "06 00 02 2C 07 00",                       // set time stamp request of 6
                         "0A 00 02 2C 03 00 00 00 00 00",        // execute test code request of 10
                         "05 00 00 4C 05",                       // ack without sequence byte
                         "09 00 00 4C 01 00 02 01 00",           // set probe mode ack of 9
                         "07 00 00 4C 08 00 00",                 // set time stamp ack of 7
                         "0C 00 00 4C 03 00 00 00 00 00 00 00",  // execute test code ack of 12
                     });
    std::string expected;
    for (int i = 0; i < 14; ++i)
        expected += "(no frame)\n";
    EXPECT_EQ(decoded, expected);
}

TEST(TvpIoProtocolFactory, FromDataSourceBlocksCarryTheFrameworkHeader) {
    TvpIoProtocolFactory factory(TvpIoProtocol::FROM_DATA_SOURCE);
    const std::string ds = "01 00 00 00 02 00 00 00 00 00 00 00 09 00 00 00 ";
    EXPECT_EQ(run(factory, {ds + "09 00 02 2C 01 05 02 01 06", ds + "19 00 02 2C 01 05 02 01 06",
                            "09 00 02 2C 01 05 02 01 06"}),
              "request SetProbeMode seq=5 probe 0x0102 mode=6 size=9 route=1.0>0.3\n"
              "(no frame)\n(no frame)\n");

    const Bytes b = hex(ds + "09 00 02 2C 01 05 02 01 06");
    auto frame = factory.create(b.data(), static_cast<unsigned int>(b.size()));
    ASSERT_TRUE(frame);
    EXPECT_EQ(toHex(frame->getFrame()), toHex(b));
    EXPECT_EQ(frame->getRecNo(), 1u);
    EXPECT_EQ(frame.dynamicCast<TvpIoProtocol>()->getDirection(), TvpIoProtocol::FROM_DATA_SOURCE);
}

TEST(TvpIoProtocolFactory, FrameOwnsItsBytesAndFactoriesCopy) {
    TvpIoProtocolFactory original(TvpIoProtocol::FROM_DATA_SOURCE);
    TvpIoProtocolFactory factory(original);
    EXPECT_EQ(factory.getDirection(), TvpIoProtocol::FROM_DATA_SOURCE);
    factory = TvpIoProtocolFactory(TvpIoProtocol::FROM_UE);
    EXPECT_EQ(factory.getDirection(), TvpIoProtocol::FROM_UE);

    Bytes b = hex("09 00 02 2C 01 05 02 01 06");
    auto frame = factory.create(b.data(), 9);
    b.assign(b.size(), 0);
    auto req = frame.dynamicCast<TvpCommandSetProbeModeReq>();
    ASSERT_TRUE(req);
    EXPECT_EQ(req->getProbeId(), 0x0102);
    EXPECT_EQ(req->getDirection(), TvpIoProtocol::FROM_UE);
    EXPECT_EQ(req->size(), 9u + dsrc::DataSourceFrame::kHeaderSize);
}

TEST(TvpIoProtocolFactory, FromUeFrameIsTheFrameworkHeaderThenTheBytes) {
    TvpIoProtocolFactory factory(TvpIoProtocol::FROM_UE);
    const Bytes b = hex("09 00 02 2C 01 05 02 01 06");
    auto frame = factory.create(b.data(), 9);
    ASSERT_TRUE(frame);
    EXPECT_EQ(toHex(frame->getFrame()), toHex(hex("00 00 00 00 00 00 00 00 00 00 00 00 09 00 00 00 "
                                                  "09 00 02 2C 01 05 02 01 06")));
    // Built straight from bytes shorter than its class: the missing fixed part is zero and the
    // data area (and its size field) covers it.
    const Bytes shortProbe = hex("15 00 80 06 00 00 01");
    TvpProbe probe(shortProbe.data(), static_cast<unsigned int>(shortProbe.size()),
                   TvpIoProtocol::FROM_UE);
    EXPECT_EQ(toHex(probe.getFrame()),
              toHex(hex("00 00 00 00 00 00 00 00 00 00 00 00 14 00 00 00 "
                        "15 00 80 06 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00")));
}

}  // namespace
}  // namespace vela::test

namespace vela::test {
namespace {

// A frame of a received block shares the block's bytes: nothing is copied, and the frame holds
// them after the block's own object is gone. Bounds outside the block give nothing.
TEST(TvpIoProtocolFactory, FrameOfASharedBlock) {
    TvpIoProtocolFactory factory(TvpIoProtocol::FROM_UE);
    const Bytes two = hex("FF 09 00 02 2C 01 05 02 01 06 08 00 00 4C 08 06 00 00");
    core::RCPtr<core::Data> block(new core::Data(two.data(), two.size()));
    auto request = factory.create(block, 1, 9);
    auto ack = factory.create(block, 10, 8);
    ASSERT_TRUE(request && ack);
    EXPECT_EQ(request->getDataSourceFrameData(), block->getInternalData() + 1);
    EXPECT_EQ(ack->getDataSourceFrameData(), block->getInternalData() + 10);
    EXPECT_FALSE(factory.create(block, 10, 9)) << "one byte past the block";
    EXPECT_FALSE(factory.create(block, 19, 0));
    EXPECT_FALSE(factory.create(core::RCPtr<core::Data>(), 0, 9));
    block.reset();
    EXPECT_EQ(describe(request), describe(factory.create(two.data() + 1, 9)));
    EXPECT_EQ(describe(ack), describe(factory.create(two.data() + 10, 8)));
    EXPECT_EQ(request->size(), 16u + 9u);
    EXPECT_EQ(Bytes(request->getFrameBuf() + 16, request->getFrameBuf() + 25),
              Bytes(two.begin() + 1, two.begin() + 10));
}

}  // namespace
}  // namespace vela::test
