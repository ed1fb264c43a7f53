#include "protocol/FrameDescription.h"

#include <cstdio>
#include <sstream>

#include "protocol/TvpCommandAck.h"
#include "protocol/TvpCommandReq.h"
#include "protocol/TvpIoProtocolFactory.h"
#include "protocol/TvpProbeInject.h"

namespace vela {

namespace {

using Detail = FrameDescription::Detail;

std::string probeText(std::uint16_t probeId, FrameDescription::ProbeNamer names) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%04X", probeId);
    if (!names)
        return id;
    const char* name = names(probeId);
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

}  // namespace

FrameDescription FrameDescription::of(const TvpIoProtocol& frame, Detail detail, ProbeNamer names) {
    FrameDescription d;
    const bool full = detail == Detail::Full;
    std::ostringstream out;
    const TvpIoProtocol* f = &frame;
    if (auto* probe = dynamic_cast<const TvpProbe*>(f)) {
        d.kind = "probe";
        d.probeId = probe->getProbeId();
        d.seq = probe->getSeqNo();
        out << "probe " << probeText(probe->getProbeId(), names) << " seq=" << probe->getSeqNo()
            << " time=" << probe->getTimeStamp() << " payload=" << probe->getProbeDataSize();
        if (full)
            out << " bytes=" << probe->getDataByteSize()
                << " type=" << int(probe->getProbeDataIdType())
                << " elems=" << probe->getNumberOfDataElem() << " data=["
                << hex(probe->getProbeData(), probe->getProbeDataSize()) << "]";
    } else if (auto* inject = dynamic_cast<const TvpInject*>(f)) {
        d.kind = "inject";
        out << "inject";
        if (full) {
            d.probeId = inject->getProbeId();
            out << " probe " << probeText(inject->getProbeId(), names)
                << " bytes=" << inject->getDataByteSize()
                << " type=" << int(inject->getProbeDataIdType())
                << " elems=" << inject->getNumberOfDataElem() << " data=["
                << hex(inject->getInjectData(), inject->getInjectDataSize()) << "]";
        }
    } else if (auto* ack = dynamic_cast<const TvpCommandSetProbeModeAck*>(f)) {
        d.kind = "ack";
        d.command = "SetProbeMode";
        d.seq = ack->getSeqNo();
        d.probeId = ack->getProbeId();
        d.result = ack->getResult();
        out << "ack SetProbeMode seq=" << unsigned(ack->getSeqNo()) << " probe "
            << probeText(ack->getProbeId(), names) << " result=" << ack->getResult();
    } else if (auto* ack = dynamic_cast<const TvpCommandSetTimeStampAck*>(f)) {
        d.kind = "ack";
        d.command = "SetTimeStamp";
        d.seq = ack->getSeqNo();
        d.result = ack->getResult();
        out << "ack SetTimeStamp seq=" << unsigned(ack->getSeqNo())
            << " result=" << ack->getResult();
    } else if (auto* ack = dynamic_cast<const TvpCommandExecuteTestCodeAck*>(f)) {
        d.kind = "ack";
        d.command = "ExecuteTestCode";
        d.seq = ack->getSeqNo();
        d.result = ack->getResult();
        out << "ack ExecuteTestCode seq=" << unsigned(ack->getSeqNo())
            << " callback=" << unsigned(ack->getCallbackId())
            << " testcode=" << ack->getTestCodeNumber() << " result=" << ack->getResult()
            << " args=" << ack->getNumberOfArgs();
        if (full)
            out << " [" << hex(ack->getArgs(), ack->getSizeOfArgs()) << "]";
    } else if (auto* ack = dynamic_cast<const TvpCommandAck*>(f)) {
        d.kind = "ack";
        d.command = ackName(ack->getCommandAckId());
        d.seq = ack->getSeqNo();
        out << "ack " << d.command << " seq=" << unsigned(ack->getSeqNo());
        if (full)
            out << " id=" << unsigned(ack->getCommandAckId()) << " data=["
                << hex(ack->getTvpCommandAckData(), ack->getTvpCommandAckDataSize()) << "]";
    } else if (auto* req = dynamic_cast<const TvpCommandReq*>(f)) {
        d.kind = "request";
        d.command = requestName(req->getCommandReqId());
        d.seq = req->getSeqNo();
        out << "request " << d.command << " seq=" << unsigned(req->getSeqNo());
        if (!full) {
            // the request's name and sequence number only
        } else if (auto* r = dynamic_cast<const TvpCommandSetProbeModeReq*>(f)) {
            d.probeId = r->getProbeId();
            out << " probe " << probeText(r->getProbeId(), names)
                << " mode=" << int(r->getProbeMode());
        } else if (auto* t = dynamic_cast<const TvpCommandSetTimeStampReq*>(f)) {
            out << " function=" << int(t->getTimeType());
        } else if (auto* e = dynamic_cast<const TvpCommandExecuteTestCodeReq*>(f)) {
            out << " callback=" << int(e->getCallbackId()) << " testcode=" << e->getTestCodeNumber()
                << " args=" << e->getSizeOfArgs() << " ["
                << hex(e->getArgs(), e->getArgsBlockSize()) << "]";
        }
    } else if (f->getDataId() == TvpIoProtocol::TVP_ERROR) {
        d.kind = "error";
        out << "error frame: "
            << hex(f->getTvpIoProtocolData(), f->getTvpIoProtocolDataSize(),
                   full ? ~std::size_t{0} : kShortHex);
    } else {
        d.kind = "other";
        out << "frame of kind " << unsigned(f->getDataId());
    }
    out << " size=" << f->getTvpIoProtocolSize();
    if (full)
        out << " route=" << int(f->getSourceProcessor()) << "." << int(f->getSourceNode()) << ">"
            << int(f->getDestProcessor()) << "." << int(f->getDestNode());
    d.text = out.str();
    return d;
}

FrameDescription FrameDescription::ofBytes(const unsigned char* bytes, std::size_t length,
                                           Detail detail, ProbeNamer names) {
    TvpIoProtocolFactory factory(TvpIoProtocol::FROM_UE);
    auto frame = length ? factory.create(bytes, static_cast<unsigned>(length)) : nullptr;
    if (auto* tvp = dynamic_cast<const TvpIoProtocol*>(frame.get()))
        return of(*tvp, detail, names);
    FrameDescription d;
    d.kind = "malformed";
    d.text = "malformed " + std::to_string(length) +
             " bytes: " + hex(bytes, length, detail == Detail::Full ? ~std::size_t{0} : kShortHex);
    return d;
}

std::string FrameDescription::hex(const unsigned char* bytes, std::size_t length,
                                  std::size_t most) {
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

}  // namespace vela
