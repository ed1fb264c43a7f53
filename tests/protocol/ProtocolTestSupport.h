// Helpers of the protocol tests: byte vectors from hex text, hex text of frames, a text
// rendering of decoded frames that reads like a protocol trace, and registration of the
// classes that are created back from XML.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "framework/core/Data.h"
#include "framework/core/RCObject.h"
#include "protocol/CommonControl.h"
#include "protocol/TvpCommandAck.h"
#include "protocol/TvpCommandReq.h"
#include "protocol/TvpError.h"
#include "protocol/TvpProbeInject.h"
#include "protocol/TvpTestCodeArguments.h"

namespace vela::test {

using Bytes = std::vector<unsigned char>;

// "09 00 02 2C" (spaces and '|' ignored) to bytes.
inline Bytes hex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string toHex(const unsigned char* p, std::size_t n) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}
inline std::string toHex(const Bytes& b) {
    return toHex(b.data(), b.size());
}
inline std::string toHex(const core::RCPtr<core::Data>& d) {
    return d ? toHex(d->getInternalData(), d->size()) : std::string("(none)");
}

// The TVP bytes of a frame, whatever its direction (never past the bytes it holds).
inline std::string tvpHex(const TvpIoProtocol& f) {
    return toHex(f.getTvpIoProtocolData() - TvpIoProtocol::kHeaderBytes,
                 f.getTvpIoProtocolDataSize() + TvpIoProtocol::kHeaderBytes);
}
inline std::string headerHex(const TvpIoProtocol& f) {
    return toHex(f.getTvpIoProtocolData() - TvpIoProtocol::kHeaderBytes,
                 TvpIoProtocol::kHeaderBytes);
}

inline std::string header(const TvpIoProtocol& f) {
    std::ostringstream s;
    s << "size=" << f.getTvpIoProtocolSize() << " route=" << int(f.getSourceProcessor()) << "."
      << int(f.getSourceNode()) << ">" << int(f.getDestProcessor()) << "." << int(f.getDestNode());
    return s.str();
}

// One line per frame, the way a protocol trace shows it.
inline std::string describe(const core::RCPtr<dsrc::DataSourceFrame>& frame) {
    std::ostringstream s;
    if (!frame)
        return "(no frame)\n";
    const auto* f = dynamic_cast<const TvpIoProtocol*>(frame.get());
    if (!f)
        return "(not a TVP frame)\n";
    if (auto* p = dynamic_cast<const TvpProbe*>(f)) {
        s << "probe " << header(*f) << " ts=" << p->getTimeStamp() << " seq=" << p->getSeqNo()
          << " probe=" << p->getProbeId() << " bytes=" << p->getDataByteSize()
          << " type=" << int(p->getProbeDataIdType()) << " elems=" << p->getNumberOfDataElem()
          << " data=[" << toHex(p->getProbeData(), p->getProbeDataSize()) << "]";
    } else if (auto* i = dynamic_cast<const TvpInject*>(f)) {
        s << "inject " << header(*f) << " probe=" << i->getProbeId()
          << " bytes=" << i->getDataByteSize() << " type=" << int(i->getProbeDataIdType())
          << " elems=" << i->getNumberOfDataElem() << " data=["
          << toHex(i->getInjectData(), i->getInjectDataSize()) << "]";
    } else if (auto* r = dynamic_cast<const TvpCommandSetProbeModeReq*>(f)) {
        s << "set-probe-mode-req " << header(*f) << " seq=" << int(r->getSeqNo())
          << " probe=" << r->getProbeId() << " mode=" << int(r->getProbeMode());
    } else if (auto* t = dynamic_cast<const TvpCommandSetTimeStampReq*>(f)) {
        s << "set-time-stamp-req " << header(*f) << " seq=" << int(t->getSeqNo())
          << " function=" << int(t->getTimeType());
    } else if (auto* e = dynamic_cast<const TvpCommandExecuteTestCodeReq*>(f)) {
        s << "execute-test-code-req " << header(*f) << " seq=" << int(e->getSeqNo())
          << " callback=" << int(e->getCallbackId()) << " test-code=" << e->getTestCodeNumber()
          << " args=" << e->getSizeOfArgs() << " [" << toHex(e->getArgs(), e->getArgsBlockSize())
          << "]";
    } else if (auto* a = dynamic_cast<const TvpCommandSetProbeModeAck*>(f)) {
        s << "set-probe-mode-ack " << header(*f) << " seq=" << int(a->getSeqNo())
          << " probe=" << a->getProbeId() << " result=" << a->getResult();
    } else if (auto* ts = dynamic_cast<const TvpCommandSetTimeStampAck*>(f)) {
        s << "set-time-stamp-ack " << header(*f) << " seq=" << int(ts->getSeqNo())
          << " result=" << ts->getResult();
    } else if (auto* x = dynamic_cast<const TvpCommandExecuteTestCodeAck*>(f)) {
        s << "execute-test-code-ack " << header(*f) << " seq=" << int(x->getSeqNo())
          << " callback=" << int(x->getCallbackId()) << " test-code=" << x->getTestCodeNumber()
          << " result=" << x->getResult() << " nargs=" << x->getNumberOfArgs() << " ["
          << toHex(x->getArgs(), x->getSizeOfArgs()) << "]";
    } else if (auto* c = dynamic_cast<const TvpCommandAck*>(f)) {
        s << "command-ack " << header(*f) << " id=" << int(c->getCommandAckId())
          << " seq=" << int(c->getSeqNo()) << " data=["
          << toHex(c->getTvpCommandAckData(), c->getTvpCommandAckDataSize()) << "]";
    } else if (dynamic_cast<const TvpError*>(f)) {
        s << "error " << header(*f) << " data=["
          << toHex(f->getTvpIoProtocolData(), f->getTvpIoProtocolDataSize()) << "]";
    } else {
        s << "frame " << header(*f) << " id=" << int(f->getDataId());
    }
    s << "\n";
    return s.str();
}

// Registers the classes that XML reading creates by name, for the life of a test.
class RegisteredProtocolClasses : public ::testing::Test {
  protected:
    void SetUp() override {
        core::Object::registerClass("vela::TvpTestCodeArgument",
                                    &TvpTestCodeArgument::createObject);
        core::Object::registerClass("vela::TvpTestCodeArguments",
                                    &TvpTestCodeArguments::createObject);
        core::Object::registerClass("vela::CommonControl", &CommonControl::createObject);
        core::Object::registerClass("vela::CommonControlIE", &CommonControlIE::createObject);
    }
    void TearDown() override {
        for (const char* name : {"vela::TvpTestCodeArgument", "vela::TvpTestCodeArguments",
                                 "vela::CommonControl", "vela::CommonControlIE"})
            core::Object::unRegisterClass(name);
    }
};

}  // namespace vela::test
