// The command line of vela-host: what it asks for. OptionTable.cpp describes every option and
// sets these fields; parseOptions reads a command line with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/CaptureFile.h"
#include "host/FileSeries.h"

namespace host {

struct Options {
    enum class Command {
        Run,
        Replay,
        ListProbes,
        ListDevices,
        Help,
        Version
    } command = Command::Help;

    // run
    int simPhones = 0;                // simulated phones to run (0: the phones found on USB)
    bool noUsb = false;               // do not look for USB phones (needs --sim)
    double durationSeconds = 0;       // 0: until Ctrl-C
    std::uint64_t untilFrames = 0;    // > 0: the run also ends once this many frames came
    std::vector<std::string> probes;  // settings to switch on, by name
    std::string settingsFile;         // persisted settings to load
    std::string saveSettingsFile;     // where to persist the settings afterwards
    std::string recordFile;           // capture file
    std::string pluginPath;           // the plug-in library (default: next to the program)
    double probeRate = 200;           // frames per second per switched-on probe (simulated phones)
    double printRate = 2;             // print-server lines per second (simulated phones)
    unsigned int frameSize = 64;      // bytes of a probe frame (simulated phones)
    std::size_t blockBytes = 4096;    // most bytes of whole frames in one block (simulated phones)
    bool trace = false;               // component trace lines on stderr
    std::vector<std::string> faults;  // simulated phone faults: "nack-start", "no-ack-start", ...
    double disconnectAfter = 0;       // simulated phone 1 disconnects after this many seconds
    double reconnectAfter = 0;        // and comes back this many seconds after that
    double activateTimeout = 15;      // seconds to wait for the channels to come up
    // The simulated phones run in the simulated service's own process (vela-mux-sim,
    // registered as the multiplexer's COM local server; Windows): none is made here.
    bool simServer = false;
    double killServiceAfter = 0;  // with simServer: the service's process is killed this long
                                  // after the session is up (and again after it came back)
    bool reportMemory = false;    // the process's memory after warm-up and at the end
    // The first option of the simulated phones given (they are vela-mux-sim's with simServer).
    std::string firstPhoneOption;
    std::string phonePort;  // only the phone on USB whose TVP port this is
    CaptureFormat captureFormat = CaptureFormat::Pcapng;
    Rotation rotation;             // -b: a series of capture files
    std::uint64_t frameLimit = 0;  // -c: > 0, stop after this many frames
    bool jsonStatus = false;       // --jsonl: a status object per second per phone on stdout
    // Only failures are told, not the summary (a capture program under Wireshark, whose
    // standard error shows as an error).
    bool quiet = false;
    // The capture goes into a fifo that the caller made (a capture program's --fifo): one that
    // cannot be opened is a bad argument (exit 2).
    bool recordIsFifo = false;
    std::string program = "vela-host";  // the name its messages begin with

    // replay
    std::string replayFile;  // "-": standard input
    bool jsonLines = false;  // --format jsonl: one JSON object per record

    // probes, devices
    bool json = false;  // --json: one JSON document
};

// Parses the arguments after the program name. False with a message for bad input.
bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error);
// The text of --help.
std::string usage();

}  // namespace host
