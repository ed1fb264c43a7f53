// Whole sessions of vela-host against simulated phones: the plug-in loaded, the session up,
// the settings applied, every report recorded; a phone that refuses the session start is
// reported; a phone that goes away and comes back leaves the others' streams complete; without
// a phone nothing runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <unistd.h>

#include "framework/core/Bytes.h"
#include "framework/core/Trace.h"
#include "host/CaptureReader.h"
#include "host/CaptureWriter.h"
#include "host/Options.h"
#include "host/Session.h"

namespace {

struct Result {
    int code;
    std::string out;
    std::string err;
};

Result run(std::vector<std::string> args) {
    args.insert(args.begin(), "run");
    args.push_back("--plugin");
    args.push_back(VELA_PLUGIN_PATH);
    host::Options options;
    std::string error;
    EXPECT_TRUE(host::parseOptions(args, options, error)) << error;
    std::ostringstream out, status;
    int code = host::runSession(options, out, status, false);
    return {code, out.str(), status.str()};
}

std::uint64_t figure(const std::string& text, const std::string& pattern) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(pattern)))
        return ~0ull;
    return std::stoull(m[1]);
}

TEST(Session, RecordsEveryReportOfTheProbesSwitchedOn) {
    const std::string path =
        ::testing::TempDir() + "vela-session-" + std::to_string(::getpid()) + ".pcap";
    Result r = run({"--sim", "--duration", "1.5", "--rate", "50", "--probes", "GSM Mode Reports",
                    "--record", path});
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("setting GSM Mode Reports: applied"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("reports lost 0, repeated 0, phone restarts 0"), std::string::npos)
        << r.out;
    // The component's own count of what it dropped: nothing, at this rate.
    EXPECT_NE(r.out.find("dropped while the component was behind: TVP 0 blocks (0 bytes) and 0 "
                         "reports, print server 0 blocks (0 bytes)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("probe 0x0096 RR State: "), std::string::npos) << r.out;
    const std::uint64_t frames = figure(r.out, "TVP frames (\\d+)");
    const std::uint64_t sent = figure(r.out, "simulated phone sent (\\d+) probe frames");
    EXPECT_GT(frames, 0u);
    // Reports still on their way when the channel closed may be missing at the end, never in
    // between (the running-number check above).
    EXPECT_LE(frames, sent);
    EXPECT_GT(figure(r.out, "print-server frames (\\d+)"), 0u) << r.out;

    host::CaptureReader reader;
    ASSERT_TRUE(reader.open(path));
    host::CaptureRecord record;
    std::uint64_t tvp = 0;
    while (reader.next(record) == 1)
        tvp += record.channelType == 2;
    EXPECT_EQ(tvp, frames);
}

TEST(Session, PhoneThatRefusesTheStartFailsTheRunWithAReason) {
    Result r = run({"--sim", "--duration", "0.5", "--fault", "nack-start"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(
        r.out.find(
            "vela-host: the session with phone 1 (COM5) could not come up: TVP channel failed"),
        std::string::npos)
        << r.out;
}

TEST(Session, OnePhoneLeavingAndComingBackDoesNotDisturbTheOthers) {
    Result r = run({"--sim", "4", "--duration", "3", "--rate", "100", "--probes", "RR State",
                    "--disconnect-after", "1", "--reconnect-after", "0.5"});
    ASSERT_EQ(r.code, 0) << r.out;
    // Every phone recorded reports; none lost one.
    std::regex lost("reports lost (\\d+), repeated (\\d+)");
    int phones = 0;
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), lost);
         it != std::sregex_iterator(); ++it) {
        ++phones;
        EXPECT_EQ((*it)[1], "0") << r.out;
        EXPECT_EQ((*it)[2], "0") << r.out;
    }
    EXPECT_EQ(phones, 4);
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos) << r.out;
    // Only the phone that left had a second session.
    const auto again = r.out.find("the session came up 2 times");
    EXPECT_NE(again, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("the session came up", again + 1), std::string::npos) << r.out;
}

TEST(Session, PhoneThatLeavesAndDoesNotComeBackFailsTheRun) {
    // Its reports after it left are missing: the run is no complete recording.
    Result r = run({"--sim", "--duration", "1.5", "--rate", "50", "--probes", "RR State",
                    "--disconnect-after", "0.5"});
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("vela-host: the session with phone 1 (COM5) went down and did not come "
                         "back: TVP channel "),
              std::string::npos)
        << r.out;
}

TEST(Session, RunThatEndsWhileAPhoneIsComingBackWaitsForIt) {
    // The phone is due back only after the run's end: the run waits for its session instead
    // of calling it lost, and makes no fault after the end.
    Result r = run({"--sim", "--duration", "1", "--rate", "50", "--probes", "RR State",
                    "--disconnect-after", "0.2", "--reconnect-after", "1.5"});
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("the run goes on until phone 1's session is back"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("the session came up 2 times"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos) << r.out;
}

TEST(Session, FaultsOfThePhoneAreSurvivedAndCounted) {
    // Blocks split at random points, an error frame, and the phone leaving and coming back:
    // the session comes back, every report in between arrives once and in order.
    const std::string path =
        ::testing::TempDir() + "vela-faults-" + std::to_string(::getpid()) + ".pcap";
    core::TraceCapture trace;
    // One probe: one command for each apply, far inside the setting's 2000 ms apply time-out,
    // which runs on the real clock also on a loaded machine (all 16 of the group's commands
    // took longer than that at a load average of 15).
    Result r = run({"--sim", "--duration", "3", "--rate", "100", "--probes", "RR State", "--fault",
                    "split", "--fault", "error-frame", "--disconnect-after", "1",
                    "--reconnect-after", "0.5", "--record", path});
    ASSERT_EQ(r.code, 0) << r.out;
    // Nothing the phone sent before it left was lost: the reports numbered across its restart
    // arrived without a gap.
    EXPECT_NE(r.out.find("reports lost 0, repeated 0"), std::string::npos) << r.out;
    // The restarted phone had forgotten its probes: they were switched on again, and it
    // reported after it came back.
    EXPECT_NE(r.out.find("the session came up 2 times"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("setting (again, session 2) GSM Mode Reports: applied"), std::string::npos)
        << r.out;
    EXPECT_EQ(figure(r.out, "error frames (\\d+)"), 1u) << r.out;
    // The recorder handed the error frame on to the component's decoder, which traced it.
    EXPECT_EQ(trace.count("TVPDecoder::onData / TVP_ERROR ("), 1u) << trace.text();
    // Reports before and after the restart: a restarted phone numbers each probe's reports
    // from 0 again (the sequence number at offset 9), once.
    host::CaptureReader reader;
    ASSERT_TRUE(reader.open(path));
    host::CaptureRecord record;
    std::vector<std::uint16_t> seqNos;
    while (reader.next(record) == 1) {
        const auto& b = record.bytes;
        if (record.channelType == 2 && b.size() >= 20 && (b[3] >> 5) == 0 && b[4] == 0 &&
            core::readU2(b.data() + 11) == 0x0096)
            seqNos.push_back(core::readU2(b.data() + 9));
    }
    reader.close();  // a file still open cannot be removed on Windows
    std::filesystem::remove(path);
    ASSERT_FALSE(seqNos.empty());
    EXPECT_EQ(seqNos.front(), 0u);
    std::size_t restartAt = 0;
    int restarts = 0;
    for (std::size_t i = 1; i < seqNos.size(); ++i) {
        if (seqNos[i] == 0) {
            ++restarts;
            restartAt = i;
        } else {
            EXPECT_EQ(seqNos[i], seqNos[i - 1] + 1) << "report " << i;
        }
    }
    EXPECT_EQ(restarts, 1);
    EXPECT_GT(restartAt, 0u) << "reports before the restart";
    EXPECT_LT(restartAt, seqNos.size()) << "reports after the restart";
    EXPECT_EQ(figure(r.out, "RR State: (\\d+)"), seqNos.size());
}

// Without --sim only the phones on USB run: where there is none (no machine that runs the
// tests has a Vela phone), the run fails at once and records nothing.
TEST(Session, NoPhoneOnUsbAndNoSimFailsWithoutRecording) {
    const std::string path =
        ::testing::TempDir() + "vela-no-phone-" + std::to_string(::getpid()) + ".pcap";
    Result r = run({"--duration", "0.5", "--probes", "RR State", "--record", path});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err.rfind("vela-host: no Vela phone found on USB (use --sim for a simulated "
                          "phone)\n",
                          0),
              0u)
        << r.err;
    EXPECT_EQ(r.out, "") << "no session, no summary";
    EXPECT_FALSE(std::filesystem::exists(path)) << "nothing to record, no file";

    // --no-usb alone leaves nothing to run with; with --sim it is what --sim does anyway.
    host::Options options;
    std::string error;
    EXPECT_FALSE(host::parseOptions({"run", "--no-usb"}, options, error));
    EXPECT_EQ(error, "--no-usb leaves no phone to run with (add --sim for a simulated phone)");
    EXPECT_TRUE(host::parseOptions({"run", "--no-usb", "--sim"}, options, error)) << error;
    EXPECT_TRUE(host::parseOptions({"devices", "--plugin", "x"}, options, error)) << error;
    EXPECT_EQ(options.command, host::Options::Command::ListDevices);
    EXPECT_EQ(options.pluginPath, "x");
    EXPECT_FALSE(host::parseOptions({"devices", "--sim"}, options, error));
}

TEST(Session, SettingsFilesThatCannotBeUsedFailTheRun) {
    const std::string missing = ::testing::TempDir() + "vela-no-such-settings.xml";
    Result r = run({"--sim", "--duration", "0.5", "--settings", missing});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err.rfind("vela-host: cannot read the settings: " + missing + ": ", 0), 0u)
        << r.err;
    EXPECT_EQ(r.out, "") << "no session without its settings";

    // Well-formed XML of something else: nothing in it is a setting of the channel.
    const std::string other =
        ::testing::TempDir() + "vela-other-" + std::to_string(::getpid()) + ".xml";
    std::ofstream(other) << "<a><b ID=\"1\"/></a>\n";
#ifdef _WIN32
    // No full device on Windows: a file in a folder that does not exist.
    const std::string unwritable = ::testing::TempDir() + "vela-no-such-folder/x.xml";
    const std::string why;  // the system's text, which differs between Windows and Wine
#else
    const std::string unwritable = "/dev/full";
    const std::string why = "No space left on device";
#endif
    r = run({"--sim", "--duration", "0.5", "--settings", other, "--save-settings", unwritable});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(
        r.out.find("setting settings file " + other + ": holds no setting of the TVP channel"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("vela-host: cannot save the settings to " + unwritable + ": " + why),
              std::string::npos)
        << r.err;
    std::filesystem::remove(other);
}

}  // namespace
