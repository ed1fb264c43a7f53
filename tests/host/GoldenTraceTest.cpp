// The decoded trace of one scripted whole session with the simulated phone, compared with the
// expected trace in tests/host/golden/: a change of behaviour shows as a diff of that file.
// VELA_REGENERATE_GOLDEN=1 writes the file from this run instead of comparing.
//
// The session (vela-host run --sim, one phone, one probe setting, recorded) runs until the
// recording holds the reports the trace takes; then it is stopped. What depends on timing is
// left out or normalised: record numbers and times, the phone's time stamps, reports and
// print-server lines beyond the first few, and of the session's summary all but its results
// of the settings. Each probe's reports and the phone's other frames are listed as separate
// sequences, since how they interleave depends on the threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "host/CaptureReader.h"
#include "host/CaptureWriter.h"
#include "host/Options.h"
#include "host/Replay.h"
#include "host/Session.h"

namespace {

constexpr std::size_t kReports = 6;  // per probe
constexpr std::size_t kPrintLines = 3;

struct Trace {
    std::vector<std::string> settings;  // the session's results of its settings
    std::vector<std::string> acks;      // and error frames, in order
    std::map<std::string, std::vector<std::string>> probes;  // by probe text, in order
    std::vector<std::string> printLines;

    bool complete() const {
        if (probes.empty() || printLines.size() < kPrintLines)
            return false;
        for (const auto& [probe, reports] : probes)
            if (reports.size() < kReports)
                return false;
        return true;
    }
    std::string text() const {
        std::ostringstream out;
        out << "== settings\n";
        for (const auto& line : settings)
            out << line << '\n';
        out << "== other TVP frames from the phone\n";
        for (const auto& line : acks)
            out << line << '\n';
        for (const auto& [probe, reports] : probes) {
            out << "== probe " << probe << ", first " << kReports << " reports\n";
            for (std::size_t i = 0; i < kReports && i < reports.size(); ++i)
                out << reports[i] << '\n';
        }
        out << "== print server, first " << kPrintLines << " lines\n";
        for (std::size_t i = 0; i < kPrintLines && i < printLines.size(); ++i)
            out << printLines[i] << '\n';
        return out.str();
    }
};

// The trace of what the capture file holds so far (a file still being written may end in
// the middle of a record: reading stops there).
Trace readTrace(const std::string& path) {
    Trace trace;
    host::CaptureReader reader;
    if (!reader.open(path))
        return trace;
    static const std::regex prefix("^#\\d+ \\S+ ");
    static const std::regex time(" time=\\d+");
    static const std::regex probe("^phone\\d+ TVP probe (.*) seq=");
    host::CaptureRecord record;
    std::string printText;
    while (reader.next(record) == 1) {
        if (record.channelType == 5) {
            printText.append(record.bytes.begin(), record.bytes.end());
            continue;
        }
        std::string line = host::describeRecord(record);
        line = std::regex_replace(line, prefix, "");
        line = std::regex_replace(line, time, " time=T");
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        std::smatch m;
        if (std::regex_search(line, m, probe))
            trace.probes[m[1]].push_back(line);
        else
            trace.acks.push_back(line);
    }
    std::istringstream lines(printText);
    for (std::string line; std::getline(lines, line);)
        trace.printLines.push_back(line);
    return trace;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(GoldenTrace, ScriptedSessionWithTheSimulatedPhone) {
    // A name of this process's own: the file is read while the session writes it, so one
    // written by a run of this test in another build tree at the same time must not be
    // taken for it (nor deleted under it).
    const std::string capture =
        ::testing::TempDir() + "vela-golden-" + std::to_string(::getpid()) + ".pcap";
    std::remove(capture.c_str());
    host::Options options;
    std::string error;
    ASSERT_TRUE(host::parseOptions(
        {"run", "--sim", "--no-usb", "--rate", "50", "--print-rate", "20", "--probes", "RR State",
         "--record", capture, "--plugin", VELA_PLUGIN_PATH},
        options, error))
        << error;
    std::ostringstream out, status;
    {
        // The process's first session makes the stop pipe that requestStop writes to. A
        // session that ends at once (an unknown setting) makes it here, so that requestStop
        // on this thread reads what this thread wrote rather than what the session's did.
        host::Options first;
        ASSERT_TRUE(
            host::parseOptions({"run", "--sim", "--probes", "no such setting"}, first, error))
            << error;
        std::ostringstream ignored;
        ASSERT_EQ(host::runSession(first, ignored, ignored, false), 2) << ignored.str();
    }
    auto session = std::async(std::launch::async,
                              [&] { return host::runSession(options, out, status, false); });
    // Until the recording holds what the trace takes, or the session ended by itself.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (session.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready &&
           !readTrace(capture).complete() && std::chrono::steady_clock::now() < until) {
    }
    host::requestStop();
    ASSERT_EQ(session.get(), 0) << out.str();

    Trace trace = readTrace(capture);
    std::istringstream summary(out.str());
    for (std::string line; std::getline(summary, line);)
        if (line.rfind("  setting ", 0) == 0)
            trace.settings.push_back(line.substr(2));
    ASSERT_TRUE(trace.complete()) << out.str();
    const std::string golden = std::string(VELA_GOLDEN_DIR) + "/session.trace";
    const char* regenerate = std::getenv("VELA_REGENERATE_GOLDEN");
    if (regenerate && std::string(regenerate) == "1") {
        std::ofstream(golden) << trace.text();
        GTEST_SKIP() << "wrote " << golden;
    }
    EXPECT_EQ(trace.text(), readFile(golden)) << "the session's trace differs from " << golden
                                              << " (VELA_REGENERATE_GOLDEN=1 rewrites it)";
    std::remove(capture.c_str());
}

}  // namespace
