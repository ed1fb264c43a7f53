// Replayed captures read like a protocol trace: each record's text is compared with what a
// user sees.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "host/CaptureReader.h"
#include "host/CaptureWriter.h"
#include "host/Replay.h"

namespace {

host::CaptureRecord tvp(std::vector<unsigned char> bytes, std::uint32_t number = 7) {
    host::CaptureRecord r;
    r.channelType = 2;
    r.recordNumber = number;
    r.timeMicros = 3723000042ull;  // 01:02:03.000042 on the first day
    r.bytes = std::move(bytes);
    return r;
}

TEST(Replay, EachKindOfFrameIsDescribed) {
    // A probe report of probe 0x0096 with sequence number 5 and a 2-byte payload.
    EXPECT_EQ(host::describeRecord(
                  tvp({0x16, 0x00, 0x02, 0x0C, 0x00, 0x04, 0x03, 0x02, 0x01, 0x05, 0x00,
                       0x96, 0x00, 0x02, 0x00, 0x00, 0x00, 0x04, 0x02, 0x00, 0xDE, 0xAD})),
              "#7 01:02:03.000042 phone0 TVP probe 0x0096 \"RR State\" seq=5 time=16909060 "
              "payload=2 size=22\n");
    // A probe id the catalogue does not have.
    EXPECT_EQ(
        host::describeRecord(tvp({0x14, 0x00, 0x02, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                  0x00, 0xFE, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00})),
        "#7 01:02:03.000042 phone0 TVP probe 0xFFFE (not in the catalogue) seq=0 time=0 payload=0 "
        "size=20\n");
    EXPECT_EQ(host::describeRecord(tvp({0x08, 0x00, 0x02, 0x4C, 0x08, 0x03, 0x02, 0x00})),
              "#7 01:02:03.000042 phone0 TVP ack SetTimeStamp seq=3 result=2 size=8\n");
    // An error frame keeps its bytes.
    EXPECT_EQ(host::describeRecord(tvp({0x08, 0x00, 0x02, 0x6C, 0xDE, 0xAD, 0xBE, 0xEF})),
              "#7 01:02:03.000042 phone0 TVP error frame: DE AD BE EF size=8\n");
    // A length that does not match the bytes: shown as malformed, with the bytes.
    EXPECT_EQ(host::describeRecord(tvp({0x30, 0x00, 0x02, 0x0C, 0x00})),
              "#7 01:02:03.000042 phone0 TVP malformed 5 bytes: 30 00 02 0C 00\n");
    EXPECT_EQ(host::describeRecord(tvp({})), "#7 01:02:03.000042 phone0 TVP malformed 0 bytes: \n");
}

TEST(Replay, PrintServerTextIsShownLineByLine) {
    host::CaptureRecord r;
    r.channelType = 5;
    r.equipment = 2;
    const std::string text = "VELA PS 000001: cell 1\nVELA PS 000002: cell 2\npartial";
    r.bytes.assign(text.begin(), text.end());
    EXPECT_EQ(host::describeRecord(r),
              "#0 00:00:00.000000 phone2 PS  text 53 bytes\n"
              "    | VELA PS 000001: cell 1\n"
              "    | VELA PS 000002: cell 2\n"
              "    | partial\n");
}

TEST(Replay, WholeFileWithARecordOfAnotherFormat) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("vela-replay-" + std::to_string(::getpid()) + ".pcap"))
                                 .string();
    {
        host::CaptureWriter writer;
        ASSERT_TRUE(writer.open(path, {host::CaptureFormat::Pcap, {}, {}, {}}));
        ASSERT_TRUE(writer.write(tvp({0x08, 0x00, 0x02, 0x4C, 0x08, 0x01, 0x00, 0x00}, 0)));
        writer.close();
    }
    std::ostringstream out;
    std::string error;
    ASSERT_TRUE(host::replayCapture(path, out, error)) << error;
    EXPECT_EQ(out.str(),
              "#0 01:02:03.000042 phone0 TVP ack SetTimeStamp seq=1 result=0 size=8\n1 records\n");

    // Cut short inside the record: the replay says so, ends, and fails.
    std::filesystem::resize_file(path, std::filesystem::file_size(path) - 3);
    out.str("");
    EXPECT_FALSE(host::replayCapture(path, out, error));
    EXPECT_NE(out.str().find("(not a record: "), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("0 records, 1 unreadable packets"), std::string::npos) << out.str();
    EXPECT_EQ(error, path +
                         ": cut short or damaged after 0 records (truncated dump file; tried to "
                         "read 28 captured bytes, only got 25)");

    EXPECT_FALSE(host::replayCapture(path + ".missing", out, error));
    EXPECT_EQ(error, path + ".missing: No such file or directory");
    // Cut inside the file header: the reason names the file.
    std::filesystem::resize_file(path, 10);
    EXPECT_FALSE(host::replayCapture(path, out, error));
    EXPECT_EQ(error.rfind(path + ": truncated dump file", 0), 0u) << error;
    std::filesystem::remove(path);
}

}  // namespace
