// Helpers of the protocol tests: byte vectors from hex text, hex text of frames, a text
// rendering of decoded frames that reads like a protocol trace, and registration of the
// classes that are created back from XML.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "framework/core/Data.h"
#include "framework/core/RCObject.h"
#include "protocol/CommonControl.h"
#include "protocol/FrameDescription.h"
#include "protocol/TvpIoProtocol.h"
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

// One line per frame: what replay shows of it, with its route, a request's fields and the
// payload bytes.
inline std::string describe(const core::RCPtr<dsrc::DataSourceFrame>& frame) {
    if (!frame)
        return "(no frame)\n";
    const auto* f = dynamic_cast<const TvpIoProtocol*>(frame.get());
    if (!f)
        return "(not a TVP frame)\n";
    return FrameDescription::of(*f, FrameDescription::Detail::Full).text + "\n";
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
