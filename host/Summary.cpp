#include "host/Summary.h"

#include <iomanip>

#include "session/ProbeCatalogue.h"
#include "sim/SimPhone.h"

namespace host {

void writeSummary(std::ostream& out, double elapsed,
                  const std::vector<std::unique_ptr<PhoneSession>>& phones,
                  const RecordingOutcome& recording, const RunFigures& figures,
                  const std::string& program) {
    out << "Session summary (" << std::fixed << std::setprecision(1) << elapsed << " s)\n";
    for (auto& phone : phones) {
        out << "phone " << phone->number() + 1 << ": " << phone->device().product;
        if (!phone->port().empty())
            out << " on " << phone->port();
        out << '\n';
        if (!phone->failure().empty())
            out << "  FAILED: " << phone->failure() << '\n';
        if (phone->sessions() > 1)
            out << "  the session came up " << phone->sessions() << " times\n";
        for (auto& line : phone->applied())
            out << "  setting " << line << '\n';
        if (!phone->recorder())
            continue;
        auto f = phone->recorder()->figures();
        out << "  TVP frames " << f.tvpFrames << " (" << f.tvpBytes << " bytes), error frames "
            << f.errorFrames << ", other " << f.otherFrames << '\n';
        for (auto& [id, count] : f.probeFrames) {
            const char* name = vela::catalogue::probeName(id);
            out << "    probe 0x" << std::hex << std::uppercase << std::setw(4) << std::setfill('0')
                << id << std::dec << std::setfill(' ') << ' '
                << (name ? name : "(not in the catalogue)") << ": " << count << '\n';
        }
        out << "  print-server frames " << f.printFrames << " (" << f.printBytes
            << " bytes), lines " << f.printLines;
        if (!f.lastPrintLine.empty())
            out << ", last \"" << f.lastPrintLine << '"';
        out << '\n';
        // Counted by the component where the phone sent more than it could take.
        const auto tvpDropped = phone->tvpDropped();
        const auto printDropped = phone->printDropped();
        out << "  dropped while the component was behind: TVP " << tvpDropped.blocks << " blocks ("
            << tvpDropped.bytes << " bytes) and " << tvpDropped.frames << " reports, print server "
            << printDropped.blocks << " blocks (" << printDropped.bytes << " bytes)\n";
        if (auto* sim = phone->simulated()) {
            auto s = sim->counters();
            out << "  the simulated phone sent " << s.probeFrames << " probe frames, "
                << s.printLines << " print lines, " << s.acks << " acknowledgements\n";
        }
        if (phone->numbersItsReports())
            out << "  reports lost " << f.lostReports << ", repeated " << f.repeatedReports
                << ", phone restarts " << f.restarts << '\n';
    }
    if (figures.serviceKills)
        out << "the simulated service's process was killed " << *figures.serviceKills << " times\n";
    if (figures.memoryBefore && figures.memoryAfter) {
        const auto kib = [](std::uint64_t bytes) { return static_cast<long long>(bytes / 1024); };
        out << "memory: " << kib(figures.memoryBefore->bytes) << " KiB private after the warm-up, "
            << kib(figures.memoryAfter->bytes) << " KiB at the end: growth "
            << kib(figures.memoryAfter->bytes) - kib(figures.memoryBefore->bytes) << " KiB over "
            << figures.memoryAfter->frames - figures.memoryBefore->frames << " frames\n";
    }
    if (!recording.path.empty()) {
        out << "recorded " << recording.records << " frames to ";
        if (recording.files.empty()) {
            out << recording.path;
        } else {
            out << recording.filesBegun << (recording.filesBegun == 1 ? " file" : " files");
            if (recording.files.size() < recording.filesBegun)
                out << " (the last " << recording.files.size() << " kept)";
            out << ": " << recording.files.front();
            if (recording.files.size() > 1)
                out << " to " << recording.files.back();
        }
        if (!recording.failure.empty())
            out << " (of " << recording.offered
                << " frames; the recording failed: " << recording.failure << ')';
        else if (recording.readerGone)
            out << " (then its reader went away)";
        out << '\n';
    }
    if (recording.frameLimit)
        out << "stopped after " << recording.frameLimit << " frames (-c " << recording.frameLimit
            << ")\n";
    for (auto& phone : phones)
        if (!phone->failure().empty())
            out << program << ": " << phone->failure() << '\n';
}

}  // namespace host
