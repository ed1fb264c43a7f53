// The host's sink called as the channels call it: the TVP and print-server channels' workers at
// once, while the status line reads the figures. Nothing is lost or counted twice, each channel
// type's records reach the capture file numbered in order, and the thread sanitizer sees every
// shared field under the recorder's lock.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "host/CaptureReader.h"
#include "host/Recorder.h"
#include "tests/host/CaptureTestSupport.h"
#include "tests/host/RecorderTestSupport.h"
#include "tests/support/StartGate.h"

namespace {

using core::RCPtr;
using recordertest::frameOf;

TEST(RecorderThreads, TwoChannelsAndAReaderAtOnceLoseNothingAndKeepEachTypesOrder) {
    constexpr std::uint64_t kReports = 20000;
    constexpr std::uint64_t kLines = 2000;
    const std::string path = capturetest::tempPath("vela-recorder-threads-") + ".pcap";
    host::CaptureWriter capture;
    ASSERT_TRUE(capture.open(path));
    RCPtr<host::Recorder> recorder(new host::Recorder(0, &capture, true));
    dsrc::DataSourceChannelInfo tvp(dsrc::CHANNEL_TYPE_TVP), print(dsrc::CHANNEL_TYPE_PRINT_SERVER);
    testsupport::StartGate start(3);
    std::thread tvpWorker([&] {
        start.arriveAndWait();
        for (std::uint64_t n = 0; n < kReports; ++n)
            recorder->onDataSourceFrame(&tvp, recordertest::probe(0x96, n));
    });
    std::thread printWorker([&] {
        start.arriveAndWait();
        for (std::uint64_t n = 0; n < kLines; ++n)
            recorder->onDataSourceFrame(&print, frameOf({'l', 'i', 'n', 'e', '\n'}));
    });
    start.arriveAndWait();
    // The status line's reads while the frames come: the counts only grow.
    std::uint64_t lastSeen = 0;
    for (int i = 0; i < 200; ++i) {
        const auto f = recorder->figures();
        EXPECT_GE(f.tvpFrames + f.printFrames, lastSeen);
        lastSeen = f.tvpFrames + f.printFrames;
    }
    tvpWorker.join();
    printWorker.join();
    capture.close();

    const auto f = recorder->figures();
    EXPECT_EQ(f.tvpFrames, kReports);
    EXPECT_EQ(f.probeFrames.at(0x96), kReports);
    EXPECT_EQ(f.printFrames, kLines);
    EXPECT_EQ(f.lostReports, 0u);
    EXPECT_EQ(f.repeatedReports, 0u);

    host::CaptureReader reader;
    ASSERT_TRUE(reader.open(path));
    host::CaptureRecord r;
    std::map<int, std::uint32_t> next;  // by channel type
    while (reader.next(r) == 1)
        ASSERT_EQ(r.recordNumber, next[r.channelType]++) << "channel type " << int(r.channelType);
    EXPECT_EQ(next[dsrc::CHANNEL_TYPE_TVP], kReports);
    EXPECT_EQ(next[dsrc::CHANNEL_TYPE_PRINT_SERVER], kLines);
    std::remove(path.c_str());
}

}  // namespace
