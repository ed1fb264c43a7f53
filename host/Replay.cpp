#include "host/Replay.h"

#include <cstdio>
#include <sstream>

#include "host/JsonWriter.h"
#include "protocol/FrameDescription.h"
#include "session/ProbeCatalogue.h"

namespace host {

namespace {

using namespace vela;

// The time of day in UTC: the seconds since 1970 count every day as 86400 of them.
std::string timeText(std::uint64_t micros) {
    const std::uint64_t ofDay = micros / 1000000 % 86400;
    char text[48];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u.%06u", static_cast<unsigned>(ofDay / 3600),
                  static_cast<unsigned>(ofDay / 60 % 60), static_cast<unsigned>(ofDay % 60),
                  static_cast<unsigned>(micros % 1000000));
    return text;
}

std::string compactHex(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

const char* channelName(std::uint8_t type) {
    return type == 2 ? "TVP" : type == 5 ? "print server" : nullptr;
}

// The frame as replay shows it, probes named from the catalogue.
FrameDescription describeTvp(const std::vector<unsigned char>& bytes) {
    return FrameDescription::ofBytes(bytes.data(), bytes.size(), FrameDescription::Detail::Short,
                                     &catalogue::probeName);
}

}  // namespace

std::string describeRecord(const CaptureRecord& record) {
    std::ostringstream out;
    out << '#' << record.recordNumber << ' ' << timeText(record.timeMicros) << " phone"
        << unsigned(record.equipment) << (record.direction ? " to-phone " : " ");
    if (record.channelType == 2) {
        out << "TVP " << describeTvp(record.bytes).text << '\n';
    } else if (record.channelType == 5) {
        out << "PS  text " << record.bytes.size() << " bytes\n";
        std::string text(record.bytes.begin(), record.bytes.end());
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t lf = text.find('\n', pos);
            std::string line =
                text.substr(pos, lf == std::string::npos ? std::string::npos : lf - pos);
            if (!(pos == 0 && line.empty() && lf == 0))
                out << "    | " << line << '\n';
            if (lf == std::string::npos)
                break;
            pos = lf + 1;
        }
    } else {
        out << "channel " << unsigned(record.channelType) << ' ' << record.bytes.size()
            << " bytes: "
            << FrameDescription::hex(record.bytes.data(), record.bytes.size(),
                                     FrameDescription::kShortHex)
            << '\n';
    }
    return out.str();
}

std::string recordJson(const CaptureRecord& record, const std::string& port) {
    JsonWriter json;
    json.beginObject();
    json.key("record").value(record.recordNumber);
    json.key("time").value(isoTime(record.timeMicros));
    json.key("time_us").value(record.timeMicros);
    json.key("phone").value(record.equipment + 1);
    json.key("equipment").value(unsigned(record.equipment));
    if (!port.empty())
        json.key("port").value(port);
    if (const char* name = channelName(record.channelType))
        json.key("channel").value(name);
    else
        json.key("channel").value(unsigned(record.channelType));
    json.key("direction").value(record.direction ? "to phone" : "from phone");
    if (record.channelType == 2) {
        const FrameDescription facts = describeTvp(record.bytes);
        json.key("kind").value(facts.kind);
        if (!facts.command.empty())
            json.key("command").value(facts.command);
        if (facts.probeId) {
            json.key("probe_id").value(unsigned(*facts.probeId));
            const char* name = catalogue::probeName(*facts.probeId);
            if (name)
                json.key("probe_name").value(name);
        }
        if (facts.seq)
            json.key("seq").value(*facts.seq);
        if (facts.result)
            json.key("result").value(static_cast<std::int64_t>(*facts.result));
    } else if (record.channelType == 5) {
        json.key("kind").value("text");
        json.key("text").value(std::string_view(reinterpret_cast<const char*>(record.bytes.data()),
                                                record.bytes.size()));
    } else {
        json.key("kind").value("other");
    }
    json.key("length").value(static_cast<std::uint64_t>(record.bytes.size()));
    json.key("data").value(compactHex(record.bytes));
    if (record.dropCount)
        json.key("lost_before").value(record.dropCount);
    if (!record.comments.empty()) {
        json.key("comments").beginArray();
        for (const auto& comment : record.comments)
            json.value(comment);
        json.endArray();
    }
    json.endObject();
    return json.text();
}

bool replayCapture(const std::string& path, std::ostream& out, std::string& error, bool jsonLines) {
    CaptureReader reader;
    if (!reader.open(path, &error))
        return false;
    const std::string name = path == "-" ? "standard input" : path;
    if (!jsonLines && reader.format() == CaptureFormat::Pcapng &&
        !reader.section().application.empty())
        out << "capture of " << reader.section().application
            << (reader.section().os.empty() ? std::string() : " on " + reader.section().os) << '\n';
    CaptureRecord record;
    std::uint64_t records = 0, bad = 0;
    std::size_t interfacesShown = 0;
    std::string readError;
    for (;;) {
        std::string why;
        int got = reader.next(record, &why);
        // The phones' interfaces as they were described, before their first record.
        const auto& interfaces = reader.interfaces();
        for (; !jsonLines && interfacesShown < interfaces.size(); ++interfacesShown) {
            const auto& phone = interfaces[interfacesShown];
            out << "interface " << interfacesShown << ": " << phone.name;
            if (!phone.description.empty())
                out << ", " << phone.description;
            if (!phone.hardware.empty())
                out << ", " << phone.hardware;
            out << '\n';
        }
        if (got == 0)
            break;
        if (got < 0) {
            ++bad;
            if (jsonLines) {
                JsonWriter json;
                json.beginObject().key("not_a_record").value(why).endObject();
                out << json.text() << '\n';
            } else {
                out << "(not a record: " << why << ")\n";
            }
            if (reader.endedEarly())
                readError = why;
            continue;
        }
        ++records;
        if (jsonLines) {
            const std::string port = record.equipment < interfaces.size()
                                         ? interfaces[record.equipment].name
                                         : std::string();
            out << recordJson(record, port) << '\n';
            continue;
        }
        for (const auto& comment : record.comments)
            out << "  comment: " << comment << '\n';
        if (record.dropCount)
            out << "  " << record.dropCount << " reports lost before this one\n";
        out << describeRecord(record);
    }
    if (!jsonLines) {
        for (const auto& s : reader.statistics()) {
            out << "interface " << s.interfaceId << " at the end: " << s.received << " records, "
                << s.dropped << " reports lost\n";
            for (const auto& comment : s.comments)
                out << "  comment: " << comment << '\n';
        }
        out << records << " records"
            << (bad ? ", " + std::to_string(bad) + " unreadable packets" : std::string()) << '\n';
    }
    // A packet that is not a record is shown as such; a file that could not be read to its end
    // is a failure, after what could be read is out.
    if (reader.endedEarly()) {
        error = name + ": cut short or damaged after " + std::to_string(records) + " records (" +
                readError + ")";
        return false;
    }
    return true;
}

}  // namespace host
