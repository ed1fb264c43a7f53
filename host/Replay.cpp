#include "host/Replay.h"

#include <cstdio>
#include <sstream>

#include "host/JsonWriter.h"
#include "protocol/TvpCommandAck.h"
#include "protocol/TvpCommandReq.h"
#include "protocol/TvpIoProtocolFactory.h"
#include "protocol/TvpProbeInject.h"
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

std::string hex(const unsigned char* bytes, std::size_t length, std::size_t most = 24) {
    std::string text;
    char two[4];
    for (std::size_t i = 0; i < length && i < most; ++i) {
        std::snprintf(two, sizeof two, i ? " %02X" : "%02X", bytes[i]);
        text += two;
    }
    if (length > most)
        text += " ...";
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

std::string probeText(std::uint16_t probeId) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%04X", probeId);
    const char* name = catalogue::probeName(probeId);
    return std::string(id) +
           (name ? std::string(" \"") + name + "\"" : std::string(" (not in the catalogue)"));
}

const char* requestName(unsigned id) {
    switch (id) {
        case TvpCommandReq::SET_PROBE_MODE:
            return "SetProbeMode";
        case TvpCommandReq::EXECUTE_TEST_CODE:
            return "ExecuteTestCode";
        case TvpCommandReq::SET_TIME_STAMP:
            return "SetTimeStamp";
        default:
            return "unknown request";
    }
}

const char* ackName(unsigned id) {
    switch (id) {
        case TvpCommandAck::SET_PROBE_MODE:
            return "SetProbeMode";
        case TvpCommandAck::EXECUTE_TEST_CODE:
            return "ExecuteTestCode";
        case TvpCommandAck::SET_TIME_STAMP:
            return "SetTimeStamp";
        default:
            return "unknown acknowledgement";
    }
}

const char* channelName(std::uint8_t type) {
    return type == 2 ? "TVP" : type == 5 ? "print server" : nullptr;
}

}  // namespace

FrameFacts describeTvpFrame(const std::vector<unsigned char>& bytes, std::string* text) {
    FrameFacts facts;
    std::ostringstream out;
    TvpIoProtocolFactory factory(TvpIoProtocol::FROM_UE);
    auto frame = factory.create(bytes.data(), static_cast<unsigned>(bytes.size()));
    if (!frame) {
        facts.kind = "malformed";
        out << "malformed " << bytes.size() << " bytes: " << hex(bytes.data(), bytes.size());
        if (text)
            *text = out.str();
        return facts;
    }
    if (auto* probe = dynamic_cast<TvpProbe*>(frame.get())) {
        facts.kind = "probe";
        facts.probeId = probe->getProbeId();
        facts.seq = probe->getSeqNo();
        out << "probe " << probeText(probe->getProbeId()) << " seq=" << probe->getSeqNo()
            << " time=" << probe->getTimeStamp() << " payload=" << probe->getProbeDataSize();
    } else if (dynamic_cast<TvpInject*>(frame.get())) {
        facts.kind = "inject";
        out << "inject";
    } else if (auto* ack = dynamic_cast<TvpCommandSetProbeModeAck*>(frame.get())) {
        facts.kind = "ack";
        facts.command = "SetProbeMode";
        facts.seq = ack->getSeqNo();
        facts.probeId = ack->getProbeId();
        facts.result = ack->getResult();
        out << "ack SetProbeMode seq=" << unsigned(ack->getSeqNo()) << " probe "
            << probeText(ack->getProbeId()) << " result=" << ack->getResult();
    } else if (auto* ack = dynamic_cast<TvpCommandSetTimeStampAck*>(frame.get())) {
        facts.kind = "ack";
        facts.command = "SetTimeStamp";
        facts.seq = ack->getSeqNo();
        facts.result = ack->getResult();
        out << "ack SetTimeStamp seq=" << unsigned(ack->getSeqNo())
            << " result=" << ack->getResult();
    } else if (auto* ack = dynamic_cast<TvpCommandExecuteTestCodeAck*>(frame.get())) {
        facts.kind = "ack";
        facts.command = "ExecuteTestCode";
        facts.seq = ack->getSeqNo();
        facts.result = ack->getResult();
        out << "ack ExecuteTestCode seq=" << unsigned(ack->getSeqNo())
            << " callback=" << unsigned(ack->getCallbackId())
            << " testcode=" << ack->getTestCodeNumber() << " result=" << ack->getResult()
            << " args=" << ack->getNumberOfArgs();
    } else if (auto* ack = dynamic_cast<TvpCommandAck*>(frame.get())) {
        facts.kind = "ack";
        facts.command = ackName(ack->getCommandAckId());
        facts.seq = ack->getSeqNo();
        out << "ack " << ackName(ack->getCommandAckId()) << " seq=" << unsigned(ack->getSeqNo());
    } else if (auto* req = dynamic_cast<TvpCommandReq*>(frame.get())) {
        facts.kind = "request";
        facts.command = requestName(req->getCommandReqId());
        facts.seq = req->getSeqNo();
        out << "request " << requestName(req->getCommandReqId())
            << " seq=" << unsigned(req->getSeqNo());
    } else {
        auto* tvp = dynamic_cast<TvpIoProtocol*>(frame.get());
        unsigned id = tvp ? tvp->getDataId() : 0;
        if (id == TvpIoProtocol::TVP_ERROR) {
            facts.kind = "error";
            out << "error frame: " << hex(bytes.data() + 4, bytes.size() - 4);
        } else {
            facts.kind = "other";
            out << "frame of kind " << id;
        }
    }
    out << " size=" << bytes.size();
    if (text)
        *text = out.str();
    return facts;
}

std::string describeRecord(const CaptureRecord& record) {
    std::ostringstream out;
    out << '#' << record.recordNumber << ' ' << timeText(record.timeMicros) << " phone"
        << unsigned(record.equipment) << (record.direction ? " to-phone " : " ");
    if (record.channelType == 2) {
        std::string text;
        describeTvpFrame(record.bytes, &text);
        out << "TVP " << text << '\n';
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
            << " bytes: " << hex(record.bytes.data(), record.bytes.size()) << '\n';
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
        const FrameFacts facts = describeTvpFrame(record.bytes);
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
