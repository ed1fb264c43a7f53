// vela-host and vela-extcap as users and Wireshark run them, as child processes: a capture
// piped from one program into another, a run that stops after a number of frames, a recording
// split into files with no frame lost or split, the JSON status of a run, bad arguments, and
// the capture program writing into a fifo until it is told to stop or its reader goes away.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "framework/core/Bytes.h"
#include "host/CaptureReader.h"
#include "tests/host/CaptureTestSupport.h"

namespace fs = std::filesystem;

namespace {

const std::string kHost = VELA_HOST_PATH;
const std::string kExtcap = VELA_EXTCAP_PATH;
const std::string kPlugin = std::string(" --plugin ") + VELA_PLUGIN_PATH;

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs a shell command line; its exit status.
int shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class HostOutputs : public ::testing::Test {
  protected:
    void SetUp() override {
        m_folder = fs::path(::testing::TempDir()) / ("vela-outputs-" + std::to_string(::getpid()));
        fs::remove_all(m_folder);
        fs::create_directories(m_folder);
    }
    void TearDown() override { fs::remove_all(m_folder); }
    std::string path(const std::string& name) const { return (m_folder / name).string(); }

    fs::path m_folder;
};

// What the simulated phone's reports in a capture say: each report carries the phone's
// running number after its 20 fixed bytes.
struct Reports {
    std::uint64_t records = 0, unreadable = 0, probes = 0, gaps = 0, lostBefore = 0;
    std::map<std::pair<int, int>, std::uint32_t> nextNumber;  // per phone and channel
    bool recordNumbersInOrder = true;
    bool seen = false;
    std::uint64_t lastRunning = 0;

    void read(const std::string& file) {
        host::CaptureReader reader;
        ASSERT_TRUE(reader.open(file)) << file;
        host::CaptureRecord r;
        for (int got; (got = reader.next(r)) != 0;) {
            if (got < 0) {
                ++unreadable;
                continue;
            }
            ++records;
            lostBefore += r.dropCount;
            auto& next = nextNumber[{r.equipment, r.channelType}];
            recordNumbersInOrder &= r.recordNumber == next;
            next = r.recordNumber + 1;
            const auto& b = r.bytes;
            if (r.channelType != 2 || b.size() < 28 || (b[3] >> 5) != 0 || b[4] != 0)
                continue;
            ++probes;
            const std::uint64_t running = core::readU8(b.data() + 20);
            if (seen && running != lastRunning + 1)
                ++gaps;
            seen = true;
            lastRunning = running;
        }
    }
};

TEST_F(HostOutputs, CaptureOnStandardOutputPipedIntoReplayOfStandardInput) {
    const int code = shell(kHost + " run --sim --duration 2 --rate 50 --probes 'RR State'" +
                           kPlugin + " --record - 2>" + path("run.err") + " | " + kHost +
                           " replay - >" + path("replay.out") + " 2>" + path("replay.err"));
    EXPECT_EQ(code, 0) << readText(path("run.err")) << readText(path("replay.err"));
    const std::string err = readText(path("run.err"));
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(err, m, std::regex("recorded (\\d+) frames to standard output\n")))
        << err;
    EXPECT_NE(err.find("Session summary"), std::string::npos) << "the summary on stderr";
    const std::string replayed = readText(path("replay.out"));
    EXPECT_NE(replayed.find("\n" + m[1].str() + " records\n"), std::string::npos) << replayed;
    EXPECT_NE(replayed.find(" TVP probe 0x0096 \"RR State\""), std::string::npos);
    // Standard input that holds no capture.
    std::ofstream(path("empty")).close();
    EXPECT_EQ(shell(kHost + " replay --format jsonl - <" + path("empty") + " 2>" + path("err")), 1);
    EXPECT_EQ(readText(path("err")),
              "vela-host: standard input: truncated dump file; tried to read "
              "24 file header bytes, only got 0\n");
}

TEST_F(HostOutputs, FrameCountStopsTheRunAndTheRecordingHoldsThatMany) {
    const std::string file = path("c.pcapng");
    EXPECT_EQ(shell(kHost + " run --sim --rate 500 --probes 'GSM Mode Reports' -c 700 --record " +
                    file + kPlugin + " >" + path("out") + " 2>&1"),
              0)
        << readText(path("out"));
    const std::string out = readText(path("out"));
    EXPECT_NE(out.find("recorded 700 frames to " + file + "\nstopped after 700 frames (-c 700)\n"),
              std::string::npos)
        << out;
    Reports r;
    r.read(file);
    EXPECT_EQ(r.records, 700u);
    EXPECT_EQ(r.gaps, 0u);
}

// Files begun every half second and before they grow past 20 kB: every record whole and in
// order, and no report missing between two files.
TEST_F(HostOutputs, RecordingSplitIntoFilesLosesAndSplitsNoFrame) {
    const std::string base = path("ring.pcapng");
    EXPECT_EQ(shell(kHost + " run --sim --duration 2.5 --rate 100 --probes 'RR State,MPH State'" +
                    " -b duration:0.5 -b filesize:20 --record " + base + kPlugin + " >" +
                    path("out") + " 2>&1"),
              0)
        << readText(path("out"));
    const std::string out = readText(path("out"));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        out, m, std::regex("recorded (\\d+) frames to (\\d+) files: (\\S+) to (\\S+)\n")))
        << out;
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(m_folder))
        if (entry.path().filename().string().rfind("ring_", 0) == 0)
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), std::stoull(m[2]));
    EXPECT_GE(files.size(), 4u);
    const std::regex name("ring_(\\d{5})_\\d{14}\\.pcapng");
    Reports r;
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::smatch n;
        const std::string file = fs::path(files[i]).filename().string();
        ASSERT_TRUE(std::regex_match(file, n, name)) << file;
        EXPECT_EQ(std::stoul(n[1]), i + 1);
        EXPECT_LE(fs::file_size(files[i]), 20000u);
        r.read(files[i]);
    }
    EXPECT_EQ(r.records, std::stoull(m[1]));
    EXPECT_EQ(r.unreadable, 0u) << "a record split between files";
    EXPECT_TRUE(r.recordNumbersInOrder) << "a record lost between files";
    EXPECT_EQ(r.gaps, 0u);
    EXPECT_GT(r.probes, 200u);

    // With a ring of two only the last two stay; their numbers go on counting.
    EXPECT_EQ(shell(kHost +
                    " run --sim --duration 2.5 --rate 50 --probes 'RR State' -b duration:0.5 "
                    "-b files:2 --record " +
                    path("r2.pcapng") + kPlugin + " >" + path("out2") + " 2>&1"),
              0);
    const std::string out2 = readText(path("out2"));
    EXPECT_TRUE(std::regex_search(out2, std::regex("to \\d+ files \\(the last 2 kept\\): \\S+r2_"
                                                   "\\d{5}_\\d{14}\\.pcapng to ")))
        << out2;
}

TEST_F(HostOutputs, JsonStatusEverySecondOnStandardOutput) {
    EXPECT_EQ(shell(kHost + " run --sim 2 --duration 2.2 --rate 20 --probes 'RR State' --jsonl" +
                    kPlugin + " >" + path("out") + " 2>" + path("err")),
              0)
        << readText(path("err"));
    const std::string out = readText(path("out"));
    const std::regex line(
        "\\{\"time\":\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}Z\",\"elapsed\":(\\d+\\."
        "\\d),"
        "\"phone\":(\\d),\"port\":\"COM\\d\",\"tvp\":\"active\",\"print_server\":\"\\w+\","
        "\"sessions\":1,\"frames\":\\d+,.*\"lost\":0,\"repeated\":0,\"dropped_blocks\":0,"
        "\"dropped_reports\":0,\"probes\":\\{(\"RR State\":\\d+)?\\}\\}");
    std::istringstream lines(out);
    std::string text;
    int count = 0;
    while (std::getline(lines, text)) {
        EXPECT_TRUE(std::regex_match(text, line)) << text;
        ++count;
    }
    EXPECT_EQ(count, 4) << "two phones at 1 s and 2 s:\n" << out;
    EXPECT_NE(readText(path("err")).find("Session summary"), std::string::npos);
}

TEST_F(HostOutputs, BadArgumentsExitWith2AndSayWhy) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {kHost + " run --sim -b size:3 --record x", "-b: unknown key 'size'"},
        {kHost + " run --sim -b filesize:0 --record x", "-b filesize: '0' is not a size"},
        {kHost + " run --sim -b duration:1", "-b needs --record FILE"},
        {kHost + " run --sim -b duration:1 --record -", "-b cannot split standard output"},
        {kHost + " run --sim -b files:3 --record x", "-b files:N needs -b filesize:KB"},
        {kHost + " run --sim --format xml", "--format: unknown format 'xml' (pcapng or pcap)"},
        {kHost + " replay --format pcap x", "--format: unknown format 'pcap' (text or jsonl)"},
        {kHost + " run --sim -c 0", "-c: '0' is not a number of frames"},
        {kHost + " run --sim --jsonl --record -", "--jsonl and --record - both write"},
        {kExtcap + " --capture --extcap-interface vela-sim --fifo " + path("no/such/fifo") +
             kPlugin.substr(0, 0),
         "vela-extcap: cannot record: "},
        {kExtcap + " --extcap-interface eth0 --extcap-dlts", "unknown interface 'eth0'"},
    };
    for (const auto& [command, message] : cases) {
        SCOPED_TRACE(command);
        EXPECT_EQ(shell(command + " >" + path("out") + " 2>" + path("err")), 2);
        EXPECT_NE(readText(path("err")).find(message), std::string::npos) << readText(path("err"));
        EXPECT_EQ(readText(path("out")), "");
    }
    for (const std::string& program : {kHost, kExtcap}) {
        EXPECT_EQ(shell(program + " --version >" + path("out")), 0);
        EXPECT_EQ(readText(path("out")),
                  fs::path(program).filename().string() + " " VELA_VERSION "\n");
    }
}

// vela-extcap as Wireshark runs it: it writes into the fifo Wireshark made, block by block,
// says nothing on stderr when all goes well, ends cleanly at SIGTERM (the capture ends with the
// phone's statistics) and when the fifo's reader goes away.
TEST_F(HostOutputs, CaptureProgramWritesTheFifoUntilItIsStopped) {
    const std::string fifo = path("fifo");
    for (const bool terminate : {true, false}) {
        SCOPED_TRACE(terminate ? "SIGTERM" : "reader gone");
        fs::remove(fifo);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        const std::string err = path("extcap.err");
        const pid_t child = ::fork();
        if (child == 0) {
            const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(errFd, 2);
            ::execl(kExtcap.c_str(), kExtcap.c_str(), "--capture", "--extcap-interface", "vela-sim",
                    "--fifo", fifo.c_str(), "--probes", "RR State", "--rate", "200", nullptr);
            ::_exit(127);
        }
        const int reader = ::open(fifo.c_str(), O_RDONLY);
        ASSERT_GE(reader, 0);
        std::vector<unsigned char> capture;
        unsigned char buffer[65536];
        // Until the phone's first reports have come: the session is up and reporting.
        while (capture.size() < 20000) {
            const ssize_t n = ::read(reader, buffer, sizeof buffer);
            ASSERT_GT(n, 0);
            capture.insert(capture.end(), buffer, buffer + n);
        }
        if (terminate) {
            ::kill(child, SIGTERM);
            for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;)
                capture.insert(capture.end(), buffer, buffer + n);
        }
        ::close(reader);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(readText(err), "") << "Wireshark shows anything on stderr as an error";
        if (!terminate)
            continue;
        const std::string file = path("fifo.pcapng");
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(capture.data()),
                   static_cast<std::streamsize>(capture.size()));
        Reports r;
        r.read(file);
        EXPECT_EQ(r.unreadable, 0u);
        EXPECT_EQ(r.gaps, 0u);
        host::CaptureReader reader2;
        ASSERT_TRUE(reader2.open(file));
        host::CaptureRecord record;
        while (reader2.next(record) == 1) {
        }
        ASSERT_EQ(reader2.statistics().size(), 1u) << "the capture ended cleanly";
        EXPECT_EQ(reader2.statistics()[0].received, r.records);
        EXPECT_EQ(reader2.statistics()[0].dropped, 0u);
        EXPECT_EQ(reader2.section().application, "vela-extcap " VELA_VERSION);
    }
}

}  // namespace
