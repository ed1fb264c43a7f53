// The summary of a run, printed when it ends: per phone its device and port, why its session
// failed, how often it came up, the results of its settings, its frames (per probe) and
// print-server lines, what the component dropped while it was behind and, for a simulated phone,
// what it sent and the check of its running report numbers; then what was recorded, and the
// failures once more at the end.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "host/PhoneSession.h"

namespace host {

// What the capture file took; the path is empty when nothing was recorded.
struct RecordingOutcome {
    std::string path;
    std::uint64_t records = 0;  // that the file holds
    std::uint64_t offered = 0;  // that were given to it
    std::string failure;        // empty when the recording is whole
    bool readerGone = false;    // the reader of the pipe went away
    // A series of files: those kept (oldest first) and how many were begun.
    std::vector<std::string> files;
    std::uint64_t filesBegun = 0;
    std::uint64_t frameLimit = 0;  // > 0: the run stopped after this many frames (-c)
};

// What a run measured of itself besides its phones (--kill-service-after, --report-memory).
struct RunFigures {
    std::optional<int> serviceKills;  // how many times the service's process was killed
    struct Memory {
        std::uint64_t bytes = 0;   // the process's private memory
        std::uint64_t frames = 0;  // the frames received by then
    };
    std::optional<Memory> memoryBefore, memoryAfter;  // after the warm-up, at the end
};

void writeSummary(std::ostream& out, double elapsed,
                  const std::vector<std::unique_ptr<PhoneSession>>& phones,
                  const RecordingOutcome& recording, const RunFigures& figures = {},
                  const std::string& program = "vela-host");

}  // namespace host
