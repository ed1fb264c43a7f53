// The host's sink: record numbers per channel, per-probe counts, and the running-number check
// that finds lost, repeated and restarted reports of the simulated phone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "framework/core/Trace.h"
#include "host/CaptureReader.h"
#include "host/Recorder.h"
#include "tests/host/RecorderTestSupport.h"

namespace {

using core::RCPtr;

using recordertest::frameOf;
using recordertest::probe;

TEST(Recorder, CountsProbesAndChecksTheRunningNumber) {
    core::TraceCapture trace;
    RCPtr<host::Recorder> recorder(new host::Recorder(0, nullptr, true));
    dsrc::DataSourceChannelInfo tvp(dsrc::CHANNEL_TYPE_TVP);
    // 0 1 2, then 5 (3 and 4 lost), 4 (repeated), 6, then 0 again: the phone started over.
    for (std::uint64_t n : {0, 1, 2, 5, 4, 6, 0, 1})
        EXPECT_TRUE(recorder->onDataSourceFrame(&tvp, probe(n % 2 ? 0x96 : 0xA3, n)));
    EXPECT_TRUE(recorder->onDataSourceFrame(&tvp, frameOf({0x08, 0x00, 0x02, 0x6C, 1, 2, 3, 4})));
    EXPECT_TRUE(recorder->onDataSourceFrame(&tvp, frameOf({0x01, 0x02})));
    auto f = recorder->figures();
    EXPECT_EQ(f.tvpFrames, 10u);
    EXPECT_EQ(f.tvpBytes, 8u * 64 + 8 + 2);
    EXPECT_EQ(f.probeFrames, (std::map<std::uint16_t, std::uint64_t>{{0x96, 3}, {0xA3, 5}}));
    EXPECT_EQ(f.lostReports, 2u);
    EXPECT_TRUE(trace.has(20, "Recorder: phone 1 reports 3 to 4 lost\n"));
    EXPECT_EQ(trace.count("lost"), 1u);
    EXPECT_EQ(f.repeatedReports, 1u);
    EXPECT_EQ(f.restarts, 1u);
    EXPECT_EQ(f.errorFrames, 1u);
    EXPECT_EQ(f.otherFrames, 1u);
    std::uint64_t last = 0;
    ASSERT_TRUE(recorder->lastRunningNumber(last));
    EXPECT_EQ(last, 1u);
}

TEST(Recorder, NumbersRecordsPerChannelAndWritesThemToTheCapture) {
    const std::string path =
        ::testing::TempDir() + "vela-recorder-" + std::to_string(::getpid()) + ".pcap";
    host::CaptureWriter capture;
    ASSERT_TRUE(capture.open(path));
    RCPtr<host::Recorder> recorder(new host::Recorder(3, &capture, false));
    dsrc::DataSourceChannelInfo tvp(dsrc::CHANNEL_TYPE_TVP), print(dsrc::CHANNEL_TYPE_PRINT_SERVER);
    auto first = probe(0x96, 40);
    recorder->onDataSourceFrame(&tvp, first);
    recorder->onDataSourceFrame(&print, frameOf({'a', '\n'}));
    auto second = probe(0x96, 99);  // not checked: this phone does not number its reports
    recorder->onDataSourceFrame(&tvp, second);
    EXPECT_EQ(first->getRecNo(), 0u);
    EXPECT_EQ(second->getRecNo(), 1u);
    EXPECT_GE(second->getTime(), first->getTime());
    EXPECT_EQ(recorder->figures().lostReports, 0u);
    capture.close();

    host::CaptureReader reader;
    ASSERT_TRUE(reader.open(path));
    host::CaptureRecord r;
    std::vector<std::pair<int, std::uint32_t>> seen;
    while (reader.next(r) == 1) {
        EXPECT_EQ(r.equipment, 3);
        seen.emplace_back(r.channelType, r.recordNumber);
    }
    EXPECT_EQ(seen, (std::vector<std::pair<int, std::uint32_t>>{{2, 0}, {5, 0}, {2, 1}}));
    std::remove(path.c_str());
}

// Record numbers run per channel type, also for types beyond the data sources' own and for a
// frame with no channel (type 0).
TEST(Recorder, NumbersRecordsPerChannelTypeOfAnyValue) {
    RCPtr<host::Recorder> recorder(new host::Recorder(0, nullptr, false));
    dsrc::DataSourceChannelInfo tvp(dsrc::CHANNEL_TYPE_TVP), other(40), negative(-3);
    std::vector<std::uint32_t> numbers;
    auto record = [&](const dsrc::DataSourceChannelInfo* channel) {
        auto frame = frameOf({1, 2, 3, 4});
        EXPECT_TRUE(recorder->onDataSourceFrame(channel, frame));
        numbers.push_back(frame->getRecNo());
    };
    const dsrc::DataSourceChannelInfo* none = nullptr;
    const std::vector<const dsrc::DataSourceChannelInfo*> order = {&tvp, &other,    &other, none,
                                                                   &tvp, &negative, &other, none};
    for (const dsrc::DataSourceChannelInfo* channel : order)
        record(channel);
    EXPECT_EQ(numbers, (std::vector<std::uint32_t>{0, 0, 1, 0, 1, 0, 2, 1}));
}

// A frame that carries a time (its block's arrival, stamped by the channel) keeps it; one
// without gets the recorder's clock; within a channel type the times never go back, and the
// capture has the frames' own times.
TEST(Recorder, KeepsTheTimeAFrameCarriesAndNeverGoesBackWithinAChannelType) {
    const std::string path = ::testing::TempDir() + "vela-recorder-times.pcap";
    host::CaptureWriter capture;
    ASSERT_TRUE(capture.open(path));
    RCPtr<host::Recorder> recorder(new host::Recorder(0, &capture, false));
    dsrc::DataSourceChannelInfo tvp(dsrc::CHANNEL_TYPE_TVP), print(dsrc::CHANNEL_TYPE_PRINT_SERVER);
    auto stamped = [](std::uint64_t time) {
        auto frame = frameOf({1, 2, 3, 4});
        frame->setTime(time);
        return frame;
    };
    const std::uint64_t now = host::nowMicros();
    auto a = stamped(now - 5000);
    auto b = stamped(now - 5000);  // cut from the same block
    auto c = stamped(now - 9000);  // earlier than what this type has already recorded
    auto p = stamped(now - 9000);  // another type: its own times
    auto d = stamped(0);           // no time of its own
    for (auto* f : {&a, &b, &c})
        recorder->onDataSourceFrame(&tvp, *f);
    recorder->onDataSourceFrame(&print, p);
    recorder->onDataSourceFrame(&tvp, d);
    EXPECT_EQ(a->getTime(), now - 5000);
    EXPECT_EQ(b->getTime(), now - 5000);
    EXPECT_EQ(c->getTime(), now - 5000);
    EXPECT_EQ(p->getTime(), now - 9000);
    EXPECT_GE(d->getTime(), now);
    capture.close();

    host::CaptureReader reader;
    ASSERT_TRUE(reader.open(path));
    host::CaptureRecord r;
    std::vector<std::uint64_t> times;
    while (reader.next(r) == 1)
        times.push_back(r.timeMicros);
    EXPECT_EQ(times, (std::vector<std::uint64_t>{now - 5000, now - 5000, now - 5000, now - 9000,
                                                 d->getTime()}));
}

}  // namespace
