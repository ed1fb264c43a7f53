// The received byte stream: cut into frames by the 17-bit length of each header, however the
// phone's bytes are split into blocks; every frame but an acknowledgement goes to the host in
// order and byte for byte; bad lengths and unknown frames are skipped.
#include "TvpTestSupport.h"
#include "protocol/TvpLayout.h"
#include "protocol/TvpProbeInject.h"

namespace tvptest {
namespace {

using TvpStream = TvpTest;

TEST_F(TvpStream, WholeFramesInOneBlockArriveInOrderAndByteExact) {
    startSession();
    const Bytes a = probeFrame(0x0102, 1, payload(6));
    const Bytes b = probeFrame(0x0103, 2, {});
    const Bytes error = cat({header(9, 3), {0xDE, 0xAD, 0xBE, 0xEF, 0x01}});
    const Bytes inject =
        cat({header(14 + 2, 0), {0x01}, u2(0x0190), {2, 0, 0, 0, 0x04}, u2(2), {0xAB, 0xCD}});
    const Bytes request =
        cat({header(9, 1), {0x01, 0x07}, u2(0x0102), {0x06}});  // a request from the phone
    phone->inject(cat({a, b, setTimeStampAck(9), error, inject, request}));
    ASSERT_TRUE(sink->waitCount(5));
    settle();
    std::vector<ReceivedFrame> frames = sink->frames();
    ASSERT_EQ(frames.size(), 5u) << "the acknowledgement is not passed on";
    EXPECT_EQ(frames[0].bytes, asDataSourceFrame(a));
    EXPECT_EQ(frames[1].bytes, asDataSourceFrame(b));
    EXPECT_EQ(frames[2].bytes, asDataSourceFrame(error));
    EXPECT_EQ(frames[3].bytes, asDataSourceFrame(inject));
    EXPECT_EQ(frames[4].bytes, asDataSourceFrame(request));
    EXPECT_EQ(frames[0].kind, "vela::TvpProbe");
    EXPECT_EQ(frames[2].kind, "vela::TvpError");
    EXPECT_EQ(frames[3].kind, "vela::TvpInject");
    EXPECT_EQ(frames[4].kind, "vela::TvpCommandSetProbeModeReq");
    // The header of the first as the host sees it: record 0, the time (zeroed by the sink, it
    // is checked on its own), 26 data bytes.
    EXPECT_EQ(Bytes(frames[0].bytes.begin(), frames[0].bytes.begin() + 20),
              (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 26, 0, 0, 0, 26, 0, 0x90, 0x01}));
    vela::TVP::Counters counters = engine->counters();
    EXPECT_EQ(counters.framesDelivered, 5u);
    EXPECT_EQ(counters.acknowledgements, 2u);  // the start-up answer and the stray one
    EXPECT_EQ(counters.bytesSkipped, 0u);
}

TEST_F(TvpStream, FrameSplitAtEveryPointIsDeliveredOnceWhenItsLastByteArrives) {
    startSession();
    const Bytes frame = probeFrame(0x0191, 7, payload(5, 3));  // 25 bytes
    std::size_t expected = 0;
    for (std::size_t split = 1; split < frame.size(); ++split) {
        phone->inject(Bytes(frame.begin(), frame.begin() + static_cast<long>(split)));
        settle();
        ASSERT_EQ(sink->count(), expected)
            << "split at " << split << ": delivered before its last byte";
        phone->inject(Bytes(frame.begin() + static_cast<long>(split), frame.end()));
        ++expected;
        ASSERT_TRUE(sink->waitCount(expected)) << "split at " << split;
    }
    // Over three blocks, the middle one only a byte.
    for (std::size_t split = 1; split + 1 < frame.size(); ++split) {
        phone->inject(Bytes(frame.begin(), frame.begin() + static_cast<long>(split)));
        phone->inject(Bytes(frame.begin() + static_cast<long>(split),
                            frame.begin() + static_cast<long>(split) + 1));
        phone->inject(Bytes(frame.begin() + static_cast<long>(split) + 1, frame.end()));
        ++expected;
        ASSERT_TRUE(sink->waitCount(expected)) << "three blocks, split at " << split;
    }
    settle();
    std::vector<Bytes> all = sink->bytes();
    ASSERT_EQ(all.size(), expected);
    for (const Bytes& b : all)
        ASSERT_EQ(b, asDataSourceFrame(frame));
}

// A frame of only its header is complete once its length is readable: it is taken with the
// block that brings its last header byte, not left waiting for a block that may never come.
TEST_F(TvpStream, FrameOfOnlyItsHeaderSplitInTheHeaderIsTakenWithItsLastByte) {
    startSession();
    const Bytes bare = header(4, 0);
    for (std::size_t split = 1; split < bare.size(); ++split) {
        phone->inject(Bytes(bare.begin(), bare.begin() + static_cast<long>(split)));
        phone->inject(Bytes(bare.begin() + static_cast<long>(split), bare.end()));
        settle();
        EXPECT_EQ(engine->counters().framesDropped, split) << "split at " << split;
    }
    const Bytes good = probeFrame(0x00C2, 1, payload(2));
    phone->inject(good);
    ASSERT_TRUE(sink->waitCount(1));
    EXPECT_EQ(sink->bytes(), std::vector<Bytes>{asDataSourceFrame(good)});
    EXPECT_EQ(engine->counters().bytesSkipped, 0u);
}

TEST_F(TvpStream, BlocksCutAcrossFrameBoundariesKeepEveryFrame) {
    startSession();
    // One and a half frames, then the rest with the next frame and the start of a third.
    const Bytes a = probeFrame(0x0190, 1, payload(10));
    const Bytes b = probeFrame(0x0191, 2, payload(30, 1));
    const Bytes c = probeFrame(0x0192, 3, payload(3, 2));
    const Bytes d = setTimeStampAck(1, 0);  // an acknowledgement split over two blocks
    const Bytes stream = cat({a, b, d, c});
    phone->inject(Bytes(stream.begin(), stream.begin() + static_cast<long>(a.size() + 11)));
    ASSERT_TRUE(sink->waitCount(1));
    phone->inject(Bytes(stream.begin() + static_cast<long>(a.size() + 11),
                        stream.begin() + static_cast<long>(a.size() + b.size() + 3)));
    ASSERT_TRUE(sink->waitCount(2));
    phone->inject(
        Bytes(stream.begin() + static_cast<long>(a.size() + b.size() + 3), stream.end() - 1));
    settle();
    EXPECT_EQ(sink->count(), 2u);
    phone->inject(Bytes(stream.end() - 1, stream.end()));
    ASSERT_TRUE(sink->waitCount(3));
    settle();
    EXPECT_EQ(sink->bytes(), (std::vector<Bytes>{asDataSourceFrame(a), asDataSourceFrame(b),
                                                 asDataSourceFrame(c)}));
    EXPECT_EQ(engine->counters().acknowledgements, 2u);
}

TEST_F(TvpStream, LargeFrameUsesAll17LengthBitsAndIsReassembledFromManyBlocks) {
    startSession();
    // 65536 + 1000 bytes: bit 16 of the length lies in the header's third byte.
    const Bytes big =
        probeFrame(0x01A9, 9, payload(65536 + 1000 - vela::TvpLayout::kProbeFixedSize, 5));
    ASSERT_EQ(big.size(), 66536u);
    ASSERT_EQ(big[2] & 1, 1);
    const Bytes small = probeFrame(0x01AA, 10, payload(2));
    const Bytes stream = cat({small, big, small});
    for (std::size_t pos = 0; pos < stream.size(); pos += 4093)
        phone->inject(
            Bytes(stream.begin() + static_cast<long>(pos),
                  stream.begin() + static_cast<long>(std::min(stream.size(), pos + 4093))));
    ASSERT_TRUE(sink->waitCount(3));
    settle();
    EXPECT_EQ(sink->bytes(), (std::vector<Bytes>{asDataSourceFrame(small), asDataSourceFrame(big),
                                                 asDataSourceFrame(small)}));

    // The largest frame the header can state, in one block.
    const Bytes largest = probeFrame(
        0x01AB, 11, payload(vela::TvpLayout::kSizeMask - vela::TvpLayout::kProbeFixedSize, 9));
    ASSERT_EQ(largest.size(), vela::TvpLayout::kSizeMask);
    phone->inject(largest);
    ASSERT_TRUE(sink->waitCount(4));
    EXPECT_EQ(sink->bytes().back(), asDataSourceFrame(largest));
}

TEST_F(TvpStream, LengthBelowTheHeaderSizeIsSkippedByteByByteAndTheStreamGoesOn) {
    startSession();
    core::TraceCapture trace;
    // A 512-byte frame: its length bytes are 00 02, so no position inside the bad bytes
    // before it reads as a plausible length.
    const Bytes good = probeFrame(0x0093, 1, payload(512 - vela::TvpLayout::kProbeFixedSize, 4));
    ASSERT_EQ(good[0], 0u);
    const Bytes next = probeFrame(0x0094, 2, payload(4));
    // Zero padding (length 0 would never advance) and a length of 3 after a good frame.
    phone->inject(cat({Bytes(6, 0x00), good}));
    ASSERT_TRUE(sink->waitCount(1));
    phone->inject(cat({next, {0x03, 0x00, 0x00, 0x00}, good}));
    ASSERT_TRUE(sink->waitCount(3));
    settle();
    EXPECT_EQ(sink->bytes(), (std::vector<Bytes>{asDataSourceFrame(good), asDataSourceFrame(next),
                                                 asDataSourceFrame(good)}));
    EXPECT_EQ(engine->counters().bytesSkipped, 10u);
    EXPECT_TRUE(trace.has(20, "TVP::onDataFromUE skipped 6 bytes of an invalid frame length\n"));
    EXPECT_TRUE(trace.has(20, "TVP::onDataFromUE skipped 4 bytes of an invalid frame length\n"));

    // Bad bytes split over blocks, in front of a pending frame.
    phone->inject({0x00, 0x00});
    phone->inject({0x00});
    phone->inject(Bytes(good.begin(), good.begin() + 100));
    phone->inject(Bytes(good.begin() + 100, good.end()));
    ASSERT_TRUE(sink->waitCount(4));
    EXPECT_EQ(sink->bytes().back(), asDataSourceFrame(good));
    EXPECT_EQ(engine->counters().bytesSkipped, 13u);

    // The session's commands still work after the resync.
    phone->autoAnswer();
    ASSERT_TRUE(engine->applyPropertyItem(vela::catalogue::kGsmLayer2));
    EXPECT_EQ(observer->waitResult(1).code, 1);
}

TEST_F(TvpStream, FramesTheFactoryCannotBuildAreDroppedAndTheNextFollows) {
    startSession();
    core::TraceCapture trace;
    const Bytes good = probeFrame(0x00C2, 1, payload(2));
    const Bytes aprint = cat({header(8, 5), {'h', 'i', '\n', 0}});
    const Bytes badProbe = cat({header(20, 0), {0x02}, Bytes(15, 0)});   // probe/inject id 2
    const Bytes shortProbe = cat({header(10, 0), {0x00}, Bytes(5, 0)});  // shorter than a probe
    const Bytes injectData = cat({header(5, 4), {0x00}});
    const Bytes badRequest = cat({header(6, 1), {0x02, 0x00}});  // request id 2
    phone->inject(cat({aprint, good, badProbe, good, shortProbe, injectData, badRequest, good}));
    ASSERT_TRUE(sink->waitCount(3));
    settle();
    EXPECT_EQ(sink->bytes(), std::vector<Bytes>(3, asDataSourceFrame(good)));
    EXPECT_TRUE(
        trace.has(20, "- - - - TvpIoProtocolFactory::create FAILED (ID=APRINT) - - - - \n"));
    EXPECT_TRUE(trace.has(
        20, "- - - - TvpIoProtocolFactory::create FAILED (ID=INJECT_DATA_REQ) - - - - \n"));
    EXPECT_TRUE(trace.has(20, "TvpIoProtocolFactory::createCommandProbeInject FAILED (ID=2\n"));
    EXPECT_TRUE(trace.has(20, "TvpIoProtocolFactory::createCommandReq FAILED (ID=2\n"));
    EXPECT_TRUE(trace.has(20,
                          "TVP::onDataFromUE frame of 8 bytes not understood, dropped (1 "
                          "dropped)\n"))
        << "the engine's own count is traced too, once per thousand";
    vela::TVP::Counters counters = engine->counters();
    EXPECT_EQ(counters.framesDropped, 5u);
    EXPECT_EQ(counters.framesDelivered, 3u);
    EXPECT_EQ(counters.bytesSkipped, 0u);
}

TEST_F(TvpStream, FramesTheHostDoesNotTakeAreCountedAndTheStreamGoesOn) {
    startSession();
    core::TraceCapture trace;
    sink->refuse(true);
    const Bytes frame = probeFrame(0x0160, 1, payload(1));
    phone->inject(cat({frame, frame, frame}));
    ASSERT_TRUE(sink->waitCount(3));
    settle();
    vela::TVP::Counters counters = engine->counters();
    EXPECT_EQ(counters.framesRefused, 3u);
    EXPECT_EQ(counters.framesDelivered, 0u);
    EXPECT_EQ(trace.count("TVP::onDataFromUE data source did not take frame"), 1u)
        << "traced once, not per frame";
    sink->refuse(false);
    phone->inject(frame);
    ASSERT_TRUE(sink->waitCount(4));
    settle();
    EXPECT_EQ(engine->counters().framesDelivered, 1u);
}

TEST_F(TvpStream, FrameBegunOnAStreamThatGoesAwayIsCountedAndTracedNotJoinedToTheNext) {
    startSession();
    const Bytes frame = probeFrame(0x0160, 1, payload(8));
    const Bytes begun(frame.begin(), frame.begin() + 10);
    phone->inject(cat({frame, begun}));
    ASSERT_TRUE(sink->waitCount(1));
    settle();
    core::TraceCapture trace;
    phoneTarget.removeProvider("Tvp");
    settle();
    ASSERT_EQ(engine->getActiveStateSnapshot(), dsrc::CHANNEL_STATE_ACTIVATING);
    // The old stream is over with its "Disconnected", after its last block.
    EXPECT_TRUE(trace.has(
        20, "TVP::onSetDataProvider dropped 10 bytes of a frame the old stream cut short\n"))
        << trace.text();
    EXPECT_EQ(engine->counters().bytesCutShort, 10u);

    // The new stream starts with a whole frame: it arrives as it is, not behind the old bytes.
    phone = std::make_unique<Phone>(phoneTarget.addProvider("Tvp"));
    ASSERT_TRUE(phone->stream().waitConnected(true, kWait));
    ASSERT_TRUE(phone->waitSent(1));
    ASSERT_TRUE(phone->stream().waitForSinks(1));
    phone->inject(cat({setTimeStampAck(1), frame}));
    ASSERT_TRUE(sink->waitCount(2));
    settle();
    EXPECT_EQ(sink->bytes(), std::vector<Bytes>(2, asDataSourceFrame(frame)));
    EXPECT_EQ(engine->counters().bytesSkipped, 0u);
}

}  // namespace
}  // namespace tvptest

namespace tvptest {
namespace {

// Frames cut from a block share its bytes (nothing is copied per frame) and a frame the host
// keeps stays whole after the block, the reassembly buffer and the channel are gone: ASan
// would report any read of their freed bytes.
// The rest of a frame the service delivers after the component heard that the stream went
// (the two come from different threads of the service) completes the frame: the phone sent it
// whole before it left.
TEST_F(TvpStream, FrameWhoseRestIsDeliveredAfterTheStreamWentArrivesWhole) {
    startSession();
    const Bytes first = probeFrame(0x0160, 1, payload(8));
    const Bytes last = probeFrame(0x0160, 2, payload(8, 3));
    RCPtr<vela::DataProvider> provider = target->getDataProvider("Tvp");
    ASSERT_TRUE(provider);
    phone->inject(cat({first, Bytes(last.begin(), last.begin() + 10)}));
    ASSERT_TRUE(sink->waitCount(1));
    settle();
    // As the target does for DataProviderRemoved; the service still has blocks to deliver.
    engine->setDataProvider(nullptr);
    settle();
    ASSERT_EQ(engine->getActiveStateSnapshot(), dsrc::CHANNEL_STATE_ACTIVATING);
    const Bytes rest(last.begin() + 10, last.end());
    provider->dataAvailable(new core::Data(rest.data(), rest.size()));
    provider->disconnected();
    ASSERT_TRUE(sink->waitCount(2));
    EXPECT_EQ(sink->bytes()[1], asDataSourceFrame(last));
    engine->settle();
    EXPECT_EQ(engine->counters().bytesCutShort, 0u);
    EXPECT_EQ(provider->getDroppedBlocks(), 0u);
}

TEST_F(TvpStream, FramesKeptByTheHostOutliveTheirBlockAndTheChannel) {
    startSession();
    sink->keep(true);
    const Bytes a = probeFrame(0x0190, 1, payload(10));
    const Bytes b = probeFrame(0x0191, 2, payload(3, 1));
    const Bytes c = probeFrame(0x0192, 3, payload(40, 2));
    const Bytes d = probeFrame(0x0193, 4, payload(1, 3));
    // a and b whole in one block, c split over two blocks, d whole after it.
    phone->inject(cat({a, b, Bytes(c.begin(), c.begin() + 30)}));
    phone->inject(cat({Bytes(c.begin() + 30, c.end()), d}));
    ASSERT_TRUE(sink->waitCount(4));
    settle();
    std::vector<RCPtr<dsrc::DataSourceFrame>> kept = sink->takeKept();
    ASSERT_EQ(kept.size(), 4u);
    EXPECT_EQ(kept[0]->getDataSourceFrameData() + a.size(), kept[1]->getDataSourceFrameData())
        << "the frames of one block lie side by side in its bytes";
    // Copies the host makes share the bytes too, and outlive the frames they were made from.
    std::vector<RCPtr<vela::TvpProbe>> copies;
    for (auto& frame : kept)
        copies.push_back(new vela::TvpProbe(*dynamic_cast<vela::TvpProbe*>(frame.get())));

    target->detachChannel("Tvp");
    engine->stopWorkThread();
    engine.reset();
    sink.reset();

    const std::vector<Bytes> tvp = {a, b, c, d};
    for (std::size_t i = 0; i < kept.size(); ++i) {
        auto& frame = kept[i];
        ASSERT_EQ(frame->getDataSourceFrameDataSize(), tvp[i].size());
        EXPECT_EQ(
            Bytes(frame->getDataSourceFrameData(), frame->getDataSourceFrameData() + tvp[i].size()),
            tvp[i]);
        auto* probe = dynamic_cast<vela::TvpProbe*>(frame.get());
        ASSERT_NE(probe, nullptr);
        EXPECT_EQ(probe->getProbeId(), 0x0190 + i);
        // The host's own header, then the whole view in one buffer.
        frame->setRecNo(static_cast<std::uint32_t>(i));
        Bytes whole = asDataSourceFrame(tvp[i]);
        whole[0] = static_cast<std::uint8_t>(i);
        const std::uint64_t time = frame->getTime();
        for (int k = 0; k < 8; ++k)
            whole[static_cast<std::size_t>(4 + k)] = static_cast<std::uint8_t>(time >> (8 * k));
        EXPECT_EQ(Bytes(frame->getFrameBuf(), frame->getFrameBuf() + frame->size()), whole);
        EXPECT_EQ(probe->getProbeId(), 0x0190 + i) << "fields follow the joined bytes";
    }
    kept.clear();
    for (std::size_t i = 0; i < copies.size(); ++i) {
        auto& copy = copies[i];
        EXPECT_EQ(copy->getProbeId(), 0x0190 + i);
        Bytes whole = asDataSourceFrame(tvp[i]);
        const std::uint64_t time = copy->getTime();
        for (int k = 0; k < 8; ++k)
            whole[static_cast<std::size_t>(4 + k)] = static_cast<std::uint8_t>(time >> (8 * k));
        EXPECT_EQ(Bytes(copy->getFrameBuf(), copy->getFrameBuf() + copy->size()), whole);
    }
}

// Frames cut from one block arrived together and carry the one time the channel took the
// block in; a frame split over blocks carries the time of the block that completed it. On the
// manual clock the times are exact.
TEST_F(TvpStream, FramesCarryTheTimeTheirBlockArrived) {
    startSession();
    settle();
    const Bytes a = probeFrame(0x0190, 1, payload(10));
    const Bytes b = probeFrame(0x0191, 2, payload(3, 1));
    const Bytes c = probeFrame(0x0192, 3, payload(40, 2));
    const Bytes d = probeFrame(0x0193, 4, payload(1, 3));
    const auto first = static_cast<std::uint64_t>(core::Clock::wallMicros());
    phone->inject(cat({a, b, Bytes(c.begin(), c.begin() + 30)}));
    passTime(7ms);
    phone->inject(cat({Bytes(c.begin() + 30, c.end()), d}));
    passTime(5ms);
    phone->inject(a);
    settle();
    ASSERT_EQ(sink->count(), 5u);
    EXPECT_EQ(sink->times(), (std::vector<std::uint64_t>{first, first, first + 7000, first + 7000,
                                                         first + 12000}));
}

}  // namespace
}  // namespace tvptest
