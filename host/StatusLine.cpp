#include "host/StatusLine.h"

#include <iomanip>
#include <sstream>

namespace host {

std::string StatusLine::text(double elapsed,
                             const std::vector<std::unique_ptr<PhoneSession>>& phones) {
    std::uint64_t frames = 0, bytes = 0, lost = 0, errors = 0, lines = 0, dropped = 0;
    std::ostringstream states;
    for (auto& phone : phones) {
        if (!phone->recorder())
            continue;
        for (const auto& d : {phone->tvpDropped(), phone->printDropped()})
            dropped += d.blocks + d.frames;
        auto f = phone->recorder()->figures();
        frames += f.tvpFrames + f.printFrames;
        bytes += f.tvpBytes + f.printBytes;
        lost += f.lostReports;
        errors += f.errorFrames;
        lines += f.printLines;
        if (phones.size() <= 2 && phone->hasTvpChannel())
            states << " TVP " << channelStateText(phone->tvpState()) << " PS "
                   << (phone->hasPrintServer() ? channelStateText(phone->printState()) : "-");
    }
    const double span = elapsed - m_lastElapsed;
    const double fps = span > 0 ? (frames - m_lastFrames) / span : 0;
    const double kbps = span > 0 ? (bytes - m_lastBytes) / span / 1024 : 0;
    m_lastFrames = frames;
    m_lastBytes = bytes;
    m_lastElapsed = elapsed;
    std::ostringstream line;
    line << std::fixed << std::setprecision(1) << '[' << elapsed << " s]" << states.str() << " | "
         << frames << " frames, " << std::setprecision(0) << fps << " frames/s, "
         << std::setprecision(1) << kbps << " KiB/s | " << lines << " print lines | lost " << lost
         << " errors " << errors;
    if (dropped)
        line << " dropped " << dropped;
    if (phones.size() == 1 && phones[0]->recorder()) {
        auto f = phones[0]->recorder()->figures();
        int shown = 0;
        for (auto& [id, count] : f.probeFrames) {
            if (shown++ == 3) {
                line << " ...";
                break;
            }
            line << " | 0x" << std::hex << std::uppercase << id << std::dec << ' ' << count;
        }
    }
    std::string result = line.str();
    if (result.size() > 160)
        result.resize(160);
    return result;
}

void StatusLine::show(double elapsed, const std::vector<std::unique_ptr<PhoneSession>>& phones) {
    m_out << "\r\033[K" << text(elapsed, phones) << std::flush;
}

}  // namespace host
