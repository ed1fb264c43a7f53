// A capture split into files as it is written: dumpcap's names, a file begun before one would
// grow past its size (never with a record split between two), and a ring of the last files.
#include <gtest/gtest.h>

#include <filesystem>

#include "host/CaptureReader.h"
#include "host/CaptureWriter.h"
#include "host/FileSeries.h"
#include "tests/host/CaptureTestSupport.h"

namespace {

namespace fs = std::filesystem;
using capturetest::numbered;
using capturetest::recordsIn;
using capturetest::tempPath;

std::tm at(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

TEST(FileSeries, NamesAsDumpcapMakesThem) {
    const std::tm t = at(2026, 5, 9, 14, 25, 1);
    EXPECT_EQ(fs::path(host::seriesFileName("out/x.pcapng", 1, t)),
              fs::path("out") / "x_00001_20260509142501.pcapng");
    EXPECT_EQ(fs::path(host::seriesFileName("capture", 123456, t)),
              fs::path("capture_123456_20260509142501"));
    // The extension is the file's, not its folder's; a name that starts with a dot has none.
    EXPECT_EQ(fs::path(host::seriesFileName("a.b/cap", 2, t)),
              fs::path("a.b") / "cap_00002_20260509142501");
    EXPECT_EQ(fs::path(host::seriesFileName(".pcapng", 3, t)),
              fs::path(".pcapng_00003_20260509142501"));

    host::FileSeries ring("r.pcapng", 2);
    for (int i = 0; i < 3; ++i)
        ring.next(0);
    const auto old = ring.beyondRing();
    ASSERT_EQ(old.size(), 1u);
    EXPECT_EQ(old[0].rfind("r_00001_", 0), 0u) << old[0];
    ASSERT_EQ(ring.kept().size(), 2u);
    EXPECT_EQ(ring.kept()[1].rfind("r_00003_", 0), 0u);
    EXPECT_EQ(ring.begun(), 3u);
}

// Records of 100 bytes in the file (pcapng), files of at most 1 kB: eight records fill one
// after its header (60 bytes) and before its statistics (76); each record lands whole in one
// file, in order, and the ring keeps two.
TEST(CaptureRotation, FilesEndBeforeTheirSizeAndTheRingKeepsTheLast) {
    const fs::path folder = tempPath("capture-rotation");
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (std::size_t ring : {0u, 2u}) {
        SCOPED_TRACE(ring);
        host::CaptureSettings settings;
        settings.interfaces = {{"COM5", "", ""}};
        settings.rotation.fileSizeKB = 1;
        settings.rotation.files = ring;
        const std::string path = (folder / "r.pcapng").string();
        host::CaptureWriter w;
        ASSERT_TRUE(w.open(path, settings));
        const std::size_t recordSize =
            host::recordFileSize(host::CaptureFormat::Pcapng, numbered(0, 36));
        ASSERT_EQ(recordSize, 100u);
        for (std::uint32_t i = 0; i < 40; ++i)
            ASSERT_TRUE(w.write(numbered(i, 36)));
        ASSERT_TRUE(w.close());
        EXPECT_EQ(w.getRecordCount(), 40u);
        const auto files = w.files();
        EXPECT_EQ(w.filesBegun(), 5u);
        EXPECT_EQ(files.size(), ring ? ring : 5u);
        std::uint32_t next = ring ? 24 : 0;
        std::uint64_t total = 0;
        for (const auto& file : files) {
            SCOPED_TRACE(file);
            EXPECT_EQ(fs::file_size(file), 60u + 8 * 100 + 76);
            host::CaptureReader reader;
            ASSERT_TRUE(reader.open(file));
            host::CaptureRecord r;
            int got;
            while ((got = reader.next(r)) == 1) {
                EXPECT_EQ(r.recordNumber, next++);
                ++total;
            }
            EXPECT_EQ(got, 0) << "every record whole";
            EXPECT_EQ(reader.interfaces().size(), 1u) << "each file describes the phones";
            reader.close();  // a file still open cannot be removed on Windows
            fs::remove(file);
        }
        EXPECT_EQ(total, ring ? 16u : 40u) << "the ring's last two files hold the last records";
    }
    fs::remove_all(folder);
}

}  // namespace
