// The capture writer where the file system behaves as on Linux: a file deleted while it is
// written, a full device, a file size limit, a fifo and a pipe whose reader goes away.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

// A fifo (a pipe that has a name, as Wireshark gives a capture program) gets each record as a
// whole block at once, not a flush interval later; when its reader goes away the recording ends
// without a failure.
TEST(CaptureWriter, FifoGetsEachRecordAtOnceAndItsReaderMayGo) {
    ::signal(SIGPIPE, SIG_IGN);  // as vela-host does: a write to a pipe without reader fails
    const std::string path = tempPath("capture-fifo");
    std::filesystem::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    // Opened for reading first, without waiting for a writer, so that the writer's open does
    // not wait either.
    const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    host::CaptureWriter w;
    int reports = 0;
    w.setFailureHandler([&] { ++reports; });
    host::CaptureSettings settings;
    settings.interfaces = {{"COM5", "", ""}};
    ASSERT_TRUE(w.open(path, settings));
    auto available = [&] {
        std::vector<unsigned char> bytes(65536);
        const ssize_t n = ::read(reader, bytes.data(), bytes.size());
        return n > 0 ? static_cast<std::size_t>(n) : 0u;
    };
    EXPECT_EQ(available(), 60u) << "the section header and the phone's interface";
    ASSERT_TRUE(w.write(numbered(0, 36)));
    EXPECT_EQ(available(), 100u) << "the record's block, at once";
    EXPECT_FALSE(w.checkReader());

    ::close(reader);
    EXPECT_TRUE(w.checkReader()) << "found gone while nothing is written";
    EXPECT_FALSE(w.write(numbered(1, 36)));
    EXPECT_TRUE(w.readerGone());
    EXPECT_FALSE(w.failed());
    EXPECT_EQ(w.getRecordCount(), 1u);
    EXPECT_TRUE(w.close());
    EXPECT_EQ(reports, 1);
    std::filesystem::remove(path);
}

// A write that finds the reader gone ends the recording the same way.
TEST(CaptureWriter, WriteThatFindsThePipesReaderGoneEndsTheRecording) {
    ::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(ends[1], STDOUT_FILENO);
    ::close(ends[1]);
    {
        host::CaptureWriter w;
        ASSERT_TRUE(w.open("-", {host::CaptureFormat::Pcap, {}, {}, {}}));
        ::close(ends[0]);
        EXPECT_FALSE(w.write(numbered(0)));
        EXPECT_TRUE(w.readerGone());
        EXPECT_FALSE(w.failed());
        EXPECT_EQ(w.getRecordCount(), 0u);
        EXPECT_TRUE(w.close());
    }
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
}

}  // namespace
