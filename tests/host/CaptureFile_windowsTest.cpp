// The capture writer on Windows: the file it writes cannot be taken away under it, and the
// system's reasons name a failed open.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "host/CaptureReader.h"
#include "host/CaptureWriter.h"

namespace {

TEST(CaptureWriter, FileBeingWrittenCannotBeDeletedAndKeepsItsRecords) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("capture-win-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string path = (folder / "x.pcap").string();
    host::CaptureWriter w;
    ASSERT_TRUE(w.open(path, {host::CaptureFormat::Pcap, {}, {}, {}}));
    host::CaptureRecord r;
    r.channelType = 2;
    r.bytes = {1, 2, 3};
    ASSERT_TRUE(w.write(r));
    ASSERT_TRUE(w.flush());
    std::error_code error;
    EXPECT_FALSE(std::filesystem::remove(path, error));
    EXPECT_TRUE(error);
    EXPECT_TRUE(w.write(r));
    EXPECT_TRUE(w.close());
    EXPECT_EQ(w.getRecordCount(), 2u);
    EXPECT_EQ(std::filesystem::file_size(path), 24u + 2 * (16 + 20 + 3));
    std::filesystem::remove_all(folder);
}

TEST(CaptureWriter, FailedOpenSaysWhy) {
    host::CaptureWriter w;
    std::string error;
    const std::string path = "Z:\\no-such-folder-of-vela\\x.pcap";
    EXPECT_FALSE(w.open(path, &error));
    // The system's own text (it differs between Windows and Wine), without its line end.
    ASSERT_GT(error.size(), path.size() + 2) << error;
    EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
    EXPECT_NE(error.back(), '\n');
    EXPECT_EQ(error.find("error 3"), std::string::npos) << error;
}

}  // namespace
