#include "host/StatusJson.h"

#include <cstdio>

#include "host/JsonWriter.h"
#include "session/ProbeCatalogue.h"

namespace host {

std::string statusJsonLines(std::uint64_t timeMicros, double elapsed,
                            const std::vector<std::unique_ptr<PhoneSession>>& phones) {
    std::string lines;
    for (const auto& phone : phones) {
        JsonWriter json;
        json.beginObject();
        json.key("time").value(isoTime(timeMicros));
        json.key("elapsed").value(elapsed, 1);
        json.key("phone").value(phone->number() + 1);
        json.key("port").value(phone->port());
        json.key("tvp").value(channelStateText(phone->tvpState()));
        json.key("print_server")
            .value(phone->hasPrintServer() ? channelStateText(phone->printState()) : "-");
        json.key("sessions").value(phone->sessions());
        RecorderFigures f;
        if (phone->recorder())
            f = phone->recorder()->figures();
        json.key("frames").value(static_cast<std::uint64_t>(f.tvpFrames + f.printFrames));
        json.key("tvp_frames").value(static_cast<std::uint64_t>(f.tvpFrames));
        json.key("tvp_bytes").value(static_cast<std::uint64_t>(f.tvpBytes));
        json.key("print_frames").value(static_cast<std::uint64_t>(f.printFrames));
        json.key("print_lines").value(static_cast<std::uint64_t>(f.printLines));
        json.key("error_frames").value(static_cast<std::uint64_t>(f.errorFrames));
        json.key("lost").value(static_cast<std::uint64_t>(f.lostReports));
        json.key("repeated").value(static_cast<std::uint64_t>(f.repeatedReports));
        const auto tvpDropped = phone->tvpDropped();
        json.key("dropped_blocks")
            .value(static_cast<std::uint64_t>(tvpDropped.blocks + phone->printDropped().blocks));
        json.key("dropped_reports").value(static_cast<std::uint64_t>(tvpDropped.frames));
        json.key("probes").beginObject();
        for (const auto& [id, count] : f.probeFrames) {
            const char* name = vela::catalogue::probeName(id);
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%04X", id);
            json.key(name ? name : hex).value(static_cast<std::uint64_t>(count));
        }
        json.endObject();
        if (!phone->failure().empty())
            json.key("failure").value(phone->failure());
        json.endObject();
        lines += json.text() + '\n';
    }
    return lines;
}

}  // namespace host
