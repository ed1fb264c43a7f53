// The capture writer where the file system behaves as on Linux: a file deleted while it is
// written, a full device, a file size limit.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "host/CaptureReader.h"
#include "host/CaptureWriter.h"
#include "tests/host/CaptureTestSupport.h"

namespace {

using capturetest::numbered;
using capturetest::recordsIn;
using capturetest::tempPath;

TEST(CaptureWriter, ErrorsOfTheSystemAreNamed) {
    host::CaptureWriter w;
    std::string error;
    EXPECT_FALSE(w.open("/nonexistent/dir/x.pcap", &error));
    EXPECT_EQ(error, "/nonexistent/dir/x.pcap: No such file or directory");
    // The header is written out at once: a full device fails the open.
    EXPECT_FALSE(w.open("/dev/full", &error));
    EXPECT_EQ(error, "/dev/full: No space left on device");
}

TEST(CaptureWriter, FileDeletedWhileWrittenIsAFailureReportedOnce) {
    const std::filesystem::path folder = tempPath("capture-folder");
    std::filesystem::create_directories(folder);
    host::CaptureWriter w;
    int reports = 0;
    w.setFailureHandler([&] { ++reports; });
    ASSERT_TRUE(w.open((folder / "x.pcap").string()));
    for (std::uint32_t i = 0; i < 5; ++i)
        ASSERT_TRUE(w.write(numbered(i)));
    ASSERT_TRUE(w.flush());
    std::filesystem::remove_all(folder);
    EXPECT_TRUE(w.write(numbered(5)));  // still taken: the flush finds the loss
    EXPECT_FALSE(w.flush());
    EXPECT_EQ(w.failure(),
              "the file was deleted while it was being written, and its frames with it");
    EXPECT_EQ(w.getFailedAfterCount(), 6u);
    EXPECT_EQ(w.getRecordCount(), 0u);
    EXPECT_FALSE(w.write(numbered(6)));
    EXPECT_FALSE(w.close());
    EXPECT_EQ(w.getOfferedCount(), 7u);
    EXPECT_EQ(reports, 1);
}

// In a child process whose file size is limited (as on a disk that fills up): records of 116
// bytes in the file after its 24-byte header, flushed every 7; the limit falls inside the
// 87th record.
TEST(CaptureWriter, FullDiskCutsTheFileBackToItsLastWholeRecord) {
    const std::string path = tempPath("capture-full.pcap");
    int results[2];
    ASSERT_EQ(::pipe(results), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{10050, 10050};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        host::CaptureWriter w;
        std::uint64_t taken = 0;
        if (w.open(path, {host::CaptureFormat::Pcap, {}, {}, {}}))
            for (std::uint32_t i = 0; i < 200; ++i) {
                taken += w.write(numbered(i, 80));
                if (i % 7 == 6)
                    w.flush();
            }
        const bool closed = w.close();
        const std::string text = std::to_string(w.getRecordCount()) + ' ' + std::to_string(taken) +
                                 ' ' + std::to_string(closed) + ' ' + w.failure();
        ssize_t ignored = ::write(results[1], text.data(), text.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(results[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = ::read(results[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    ::close(results[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    // 86 records held; 91 taken before the flush that failed; the close reports the failure.
    EXPECT_EQ(text, "86 91 0 File too large");
    EXPECT_EQ(std::filesystem::file_size(path), 24u + 86 * 116);
    std::uint64_t unreadable = 0;
    EXPECT_EQ(recordsIn(path, &unreadable), 86u);
    EXPECT_EQ(unreadable, 0u);
    std::remove(path.c_str());
}

}  // namespace
