#include "host/Replay.h"

#include <cstdio>
#include <sstream>

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

std::string describeTvp(const std::vector<unsigned char>& bytes) {
    std::ostringstream out;
    TvpIoProtocolFactory factory(TvpIoProtocol::FROM_UE);
    auto frame = factory.create(bytes.data(), static_cast<unsigned>(bytes.size()));
    if (!frame) {
        out << "malformed " << bytes.size() << " bytes: " << hex(bytes.data(), bytes.size());
        return out.str();
    }
    if (auto* probe = dynamic_cast<TvpProbe*>(frame.get())) {
        out << "probe " << probeText(probe->getProbeId()) << " seq=" << probe->getSeqNo()
            << " time=" << probe->getTimeStamp() << " payload=" << probe->getProbeDataSize();
    } else if (auto* inject = dynamic_cast<TvpInject*>(frame.get())) {
        (void)inject;
        out << "inject";
    } else if (auto* ack = dynamic_cast<TvpCommandSetProbeModeAck*>(frame.get())) {
        out << "ack SetProbeMode seq=" << unsigned(ack->getSeqNo()) << " probe "
            << probeText(ack->getProbeId()) << " result=" << ack->getResult();
    } else if (auto* ack = dynamic_cast<TvpCommandSetTimeStampAck*>(frame.get())) {
        out << "ack SetTimeStamp seq=" << unsigned(ack->getSeqNo())
            << " result=" << ack->getResult();
    } else if (auto* ack = dynamic_cast<TvpCommandExecuteTestCodeAck*>(frame.get())) {
        out << "ack ExecuteTestCode seq=" << unsigned(ack->getSeqNo())
            << " callback=" << unsigned(ack->getCallbackId())
            << " testcode=" << ack->getTestCodeNumber() << " result=" << ack->getResult()
            << " args=" << ack->getNumberOfArgs();
    } else if (auto* ack = dynamic_cast<TvpCommandAck*>(frame.get())) {
        out << "ack " << ackName(ack->getCommandAckId()) << " seq=" << unsigned(ack->getSeqNo());
    } else if (auto* req = dynamic_cast<TvpCommandReq*>(frame.get())) {
        out << "request " << requestName(req->getCommandReqId())
            << " seq=" << unsigned(req->getSeqNo());
    } else {
        auto* tvp = dynamic_cast<TvpIoProtocol*>(frame.get());
        unsigned id = tvp ? tvp->getDataId() : 0;
        if (id == TvpIoProtocol::TVP_ERROR)
            out << "error frame: " << hex(bytes.data() + 4, bytes.size() - 4);
        else
            out << "frame of kind " << id;
    }
    out << " size=" << bytes.size();
    return out.str();
}

}  // namespace

std::string describeRecord(const CaptureRecord& record) {
    std::ostringstream out;
    out << '#' << record.recordNumber << ' ' << timeText(record.timeMicros) << " phone"
        << unsigned(record.equipment) << (record.direction ? " to-phone " : " ");
    if (record.channelType == 2) {
        out << "TVP " << describeTvp(record.bytes) << '\n';
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

bool replayCapture(const std::string& path, std::ostream& out, std::string& error) {
    CaptureReader reader;
    if (!reader.open(path, &error))
        return false;
    CaptureRecord record;
    std::uint64_t records = 0, bad = 0;
    std::string readError;
    for (;;) {
        std::string why;
        int got = reader.next(record, &why);
        if (got == 0)
            break;
        if (got < 0) {
            ++bad;
            out << "(not a record: " << why << ")\n";
            if (reader.endedEarly())
                readError = why;
            continue;
        }
        ++records;
        out << describeRecord(record);
    }
    out << records << " records"
        << (bad ? ", " + std::to_string(bad) + " unreadable packets" : std::string()) << '\n';
    // A packet that is not a record is shown as such; a file that could not be read to its end
    // is a failure, after what could be read is out.
    if (reader.endedEarly()) {
        error = path + ": cut short or damaged after " + std::to_string(records) + " records (" +
                readError + ")";
        return false;
    }
    return true;
}

}  // namespace host
