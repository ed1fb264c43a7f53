#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "host/CaptureFile.h"

namespace {

std::string tempPath(const char* name) {
    return (std::filesystem::temp_directory_path() /
            (std::string(name) + std::to_string(::getpid())))
        .string();
}

TEST(CaptureRecord, ExactBytes) {
    host::CaptureRecord r;
    r.channelType = 2;
    r.equipment = 1;
    r.recordNumber = 0x01020304;
    r.timeMicros = 0x1122334455667788ull;
    r.bytes = {0x09, 0x00, 0x02, 0x2C};
    auto p = host::encodeRecord(r);
    std::vector<unsigned char> expected = {0x01, 0x02, 0x00, 0x01, 0x04, 0x03, 0x02, 0x01,
                                           0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,
                                           0x04, 0x00, 0x00, 0x00, 0x09, 0x00, 0x02, 0x2C};
    EXPECT_EQ(p, expected);

    host::CaptureRecord back;
    ASSERT_TRUE(host::decodeRecord(p.data(), p.size(), back));
    EXPECT_EQ(back.recordNumber, r.recordNumber);
    EXPECT_EQ(back.bytes, r.bytes);

    std::string error;
    EXPECT_FALSE(host::decodeRecord(p.data(), p.size() - 1, back, &error));
    EXPECT_EQ(error, "record length does not match the packet");
    EXPECT_FALSE(host::decodeRecord(p.data(), 10, back, &error));
    p[0] = 9;
    EXPECT_FALSE(host::decodeRecord(p.data(), p.size(), back, &error));
}

TEST(CaptureFile, WriteThenReadBack) {
    std::string path = tempPath("capture-test.pcap");
    {
        host::CaptureWriter w;
        ASSERT_TRUE(w.open(path));
        for (std::uint32_t i = 0; i < 100; ++i) {
            host::CaptureRecord r;
            r.channelType = i % 2 ? 5 : 2;
            r.recordNumber = i;
            r.timeMicros = 1700000000000000ull + i;
            r.bytes.assign(i, static_cast<unsigned char>(i));
            ASSERT_TRUE(w.write(r));
        }
        EXPECT_EQ(w.getRecordCount(), 100u);
    }
    host::CaptureReader reader;
    ASSERT_TRUE(reader.open(path));
    host::CaptureRecord r;
    std::uint32_t n = 0;
    while (reader.next(r) == 1) {
        EXPECT_EQ(r.recordNumber, n);
        EXPECT_EQ(r.bytes.size(), n);
        EXPECT_EQ(r.timeMicros, 1700000000000000ull + n);
        ++n;
    }
    EXPECT_EQ(n, 100u);
    std::remove(path.c_str());
}

TEST(CaptureFile, ClearErrors) {
    host::CaptureReader reader;
    std::string error;
    EXPECT_FALSE(reader.open("/nonexistent/file.pcap", &error));
    EXPECT_FALSE(error.empty());
    std::string path = tempPath("not-a-capture");
    std::ofstream(path) << "hello";
    EXPECT_FALSE(reader.open(path, &error));
    std::remove(path.c_str());
    host::CaptureWriter w;
    EXPECT_FALSE(w.open("/nonexistent/dir/x.pcap", &error));
    EXPECT_FALSE(w.write(host::CaptureRecord{}));
}

}  // namespace
