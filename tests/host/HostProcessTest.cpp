// vela-host run as a user runs it, as a child process: its signals, its exit code, what it
// prints, and the capture file it leaves when the recording fails, its folder goes, it is
// killed, or it is interrupted before the session came up.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "host/CaptureReader.h"
#include "host/CaptureWriter.h"
#include "host/Replay.h"

namespace fs = std::filesystem;

namespace {

class HostProcess {
  public:
    // Starts vela-host with the arguments (the plug-in of the build tree added); fileLimit
    // bounds the size of any file it writes.
    explicit HostProcess(std::vector<std::string> args, rlim_t fileLimit = RLIM_INFINITY) {
        args.insert(args.begin(), {VELA_HOST_PATH, "run"});
        args.push_back("--plugin");
        args.push_back(VELA_PLUGIN_PATH);
        m_outPath = ::testing::TempDir() + "vela-host-out-" + std::to_string(::getpid()) + "-" +
                    std::to_string(++s_runs);
        const int out = ::open(m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        int err[2];
        if (out < 0 || ::pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("cannot make the child's outputs");
        m_pid = ::fork();
        if (m_pid == 0) {
            rlimit limit{fileLimit, fileLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::dup2(out, 1);
            ::dup2(err[1], 2);
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out);
        ::close(err[1]);
        m_err = ::fdopen(err[0], "r");
    }
    ~HostProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            wait();
        }
        if (m_err)
            std::fclose(m_err);
        fs::remove(m_outPath);
    }

    // Reads stderr until a line matches; false when the output ended first.
    bool waitForLine(const std::regex& pattern, std::smatch& match) {
        while (readLine()) {
            if (std::regex_search(m_lastLine, match, pattern))
                return true;
        }
        return false;
    }
    void signal(int number) { ::kill(m_pid, number); }
    // Reads the rest of stderr and waits for the end: the exit code, or 128 + the signal.
    int wait() {
        while (readLine()) {
        }
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    const std::string& err() const { return m_errText; }
    std::string out() const {
        std::ifstream in(m_outPath);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

  private:
    bool readLine() {
        char* line = nullptr;
        std::size_t size = 0;
        const ssize_t n = m_err ? ::getline(&line, &size, m_err) : -1;
        if (n > 0) {
            m_lastLine.assign(line, static_cast<std::size_t>(n));
            m_errText += m_lastLine;
        }
        std::free(line);
        return n > 0;
    }

    static inline int s_runs = 0;
    pid_t m_pid = -1;
    FILE* m_err = nullptr;
    std::string m_outPath, m_errText, m_lastLine;
};

struct Replayed {
    std::uint64_t records = 0;
    std::uint64_t unreadable = 0;
};

Replayed replay(const std::string& path) {
    Replayed r;
    host::CaptureReader reader;
    EXPECT_TRUE(reader.open(path)) << path;
    host::CaptureRecord record;
    for (int got; (got = reader.next(record)) != 0;)
        ++(got > 0 ? r.records : r.unreadable);
    return r;
}

// Packets tshark reads from the file, or -1 when there is no tshark.
long tsharkPackets(const std::string& path) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0)
        return -1;
    FILE* p =
        ::popen(("tshark -r '" + path + "' -T fields -e frame.number 2>/dev/null").c_str(), "r");
    long lines = 0;
    for (int c; (c = std::fgetc(p)) != EOF;)
        lines += c == '\n';
    return ::pclose(p) == 0 ? lines : -2;
}

std::string tempFolder(const char* name) {
    fs::path folder = fs::path(::testing::TempDir()) / (name + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder.string();
}

const std::regex kFlushed("^CaptureWriter::flush (\\d+) records\n");

TEST(HostProcess, FullDeviceFailsBeforeTheSession) {
    HostProcess host(
        {"--sim", "--duration", "2", "--probes", "GSM Mode Reports", "--record", "/dev/full"});
    EXPECT_EQ(host.wait(), 1);
    EXPECT_EQ(host.err(), "vela-host: cannot record: /dev/full: No space left on device\n");
    EXPECT_EQ(host.out().find("recorded"), std::string::npos) << host.out();
}

TEST(HostProcess, DiskFillingUpStopsTheSessionAndKeepsWholeRecords) {
    const std::string folder = tempFolder("vela-full-");
    const std::string path = folder + "/full.pcap";
    // Room for some thousand frames, then every write fails as on a full disk.
    HostProcess host(
        {"--sim", "--duration", "60", "--probes", "GSM Mode Reports", "--record", path},
        256 * 1024);
    EXPECT_EQ(host.wait(), 1) << host.out() << host.err();
    std::smatch m;
    const std::string err = host.err();
    ASSERT_TRUE(std::regex_search(err, m,
                                  std::regex("vela-host: recording to " + path +
                                             " failed after (\\d+) frames: File too "
                                             "large\n")))
        << err;
    const std::uint64_t failedAfter = std::stoull(m[1]);
    const std::string out = host.out();
    ASSERT_TRUE(std::regex_search(
        out, m,
        std::regex("recorded (\\d+) frames to " + path +
                   " \\(of (\\d+) frames; the recording failed: File too large\\)\n")))
        << out;
    EXPECT_EQ(std::stoull(m[1]), failedAfter);
    EXPECT_GT(std::stoull(m[2]), failedAfter);
    // The session stopped at the failure rather than running its minute.
    EXPECT_NE(out.find("Session summary ("), std::string::npos);
    EXPECT_GT(failedAfter, 1000u);
    const Replayed r = replay(path);
    EXPECT_EQ(r.records, failedAfter);
    EXPECT_EQ(r.unreadable, 0u);
    const long tshark = tsharkPackets(path);
    if (tshark != -1) {
        EXPECT_EQ(tshark, static_cast<long>(failedAfter));
    }
    fs::remove_all(folder);
}

TEST(HostProcess, FolderRemovedDuringTheSessionFailsTheRecording) {
    const std::string folder = tempFolder("vela-gone-");
    const std::string path = folder + "/gone.pcap";
    HostProcess host({"--sim", "--duration", "60", "--probes", "RR State", "--rate", "200",
                      "--record", path, "--trace"});
    std::smatch m;
    do {
        ASSERT_TRUE(host.waitForLine(kFlushed, m)) << host.err();
    } while (m[1] == "0");
    fs::remove_all(folder);
    EXPECT_EQ(host.wait(), 1) << host.out() << host.err();
    EXPECT_TRUE(std::regex_search(
        host.err(), m,
        std::regex("vela-host: recording to " + path +
                   " failed after [1-9]\\d* frames: the file was deleted while it was being "
                   "written, and its frames with it\n")))
        << host.err();
    EXPECT_NE(host.out().find("recorded 0 frames to " + path), std::string::npos) << host.out();
}

TEST(HostProcess, KilledSessionLeavesAReadableCaptureOfWhatWasFlushed) {
    const std::string folder = tempFolder("vela-killed-");
    const std::string path = folder + "/killed.pcap";
    HostProcess host({"--sim", "--probes", "GSM Mode Reports", "--record", path, "--trace"});
    std::smatch m;
    std::vector<std::uint64_t> flushed;
    while (flushed.size() < 3 || flushed.back() == 0) {
        ASSERT_TRUE(host.waitForLine(kFlushed, m)) << host.err();
        flushed.push_back(std::stoull(m[1]));
    }
    host.signal(SIGKILL);
    EXPECT_EQ(host.wait(), 128 + SIGKILL);
    // Every flush the process traced before it died.
    flushed.clear();
    const std::regex anyFlush("CaptureWriter::flush (\\d+) records\n");
    for (auto it = std::sregex_iterator(host.err().begin(), host.err().end(), anyFlush);
         it != std::sregex_iterator(); ++it)
        flushed.push_back(std::stoull((*it)[1]));
    std::uint64_t step = 0;
    for (std::size_t i = 1; i < flushed.size(); ++i)
        step = std::max(step, flushed[i] - flushed[i - 1]);
    const Replayed r = replay(path);
    // Everything flushed is there, in whole records; at most one more flush interval's worth
    // (a flush done just before the kill whose trace line was not written).
    EXPECT_GE(r.records, flushed.back());
    EXPECT_LE(r.records, flushed.back() + step);
    EXPECT_EQ(r.unreadable, 0u);
    std::ostringstream text;
    std::string error;
    EXPECT_TRUE(host::replayCapture(path, text, error)) << error;
    EXPECT_NE(text.str().find(std::to_string(r.records) + " records\n"), std::string::npos);
    const long tshark = tsharkPackets(path);
    if (tshark != -1) {
        EXPECT_EQ(tshark, static_cast<long>(r.records));
    }
    fs::remove_all(folder);
}

TEST(HostProcess, InterruptBeforeTheSessionCameUpFailsTheRun) {
    for (int number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(number);
        const std::string folder = tempFolder("vela-interrupted-");
        // The phone never acknowledges the session start: the channel would wait for it.
        HostProcess host(
            {"--sim", "--fault", "no-ack-start", "--record", folder + "/i.pcap", "--trace"});
        std::smatch m;
        ASSERT_TRUE(
            host.waitForLine(std::regex("^Run::bringUp phone 1 \\(COM5\\) activating\n"), m))
            << host.err();
        host.signal(number);
        EXPECT_EQ(host.wait(), 1) << host.out();
        EXPECT_NE(host.out().find("vela-host: the session with phone 1 (COM5) was interrupted "
                                  "before it came up\n"),
                  std::string::npos)
            << host.out();
        EXPECT_NE(host.out().find("recorded 0 frames"), std::string::npos) << host.out();
        fs::remove_all(folder);
    }
}

}  // namespace
