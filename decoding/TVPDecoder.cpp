#include "decoding/TVPDecoder.h"

#include <typeinfo>

#include "framework/core/Trace.h"
#include "protocol/TvpIoProtocol.h"
#include "protocol/TvpProbeInject.h"

namespace vela {

TVPDecoder::TVPDecoder() : m_spCounter(core::ByteCounter::instance("VelaMeasBytes.log")) {}

TVPDecoder::~TVPDecoder() = default;

std::string TVPDecoder::toHexString(const unsigned char* bytes, unsigned short count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 3u);
    for (unsigned i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
        text += ' ';
    }
    return text;
}

void TVPDecoder::onData(core::RCObject* object) {
    if (!object)
        return;
    // Probe reports are nearly all of the traffic: their exact class is recognised without
    // the walk over the class hierarchy that a dynamic cast makes for every frame.
    TvpIoProtocol* frame = typeid(*object) == typeid(TvpProbe)
                               ? static_cast<TvpProbe*>(object)
                               : dynamic_cast<TvpIoProtocol*>(object);
    if (!frame)
        return;
    m_spCounter->countBytes(frame->getTvpIoProtocolSize());
    if (frame->getDataId() != TvpIoProtocol::TVP_ERROR)
        return;
    // An error frame's data part is at most 131067 bytes; the text covers what a 16-bit count
    // can give.
    unsigned int n = frame->getTvpIoProtocolDataSize();
    std::string text = toHexString(frame->getTvpIoProtocolData(),
                                   static_cast<unsigned short>(n > 0xFFFF ? 0xFFFF : n));
    core::ToggleTrace(40, "TVPDecoder::onData / TVP_ERROR (%s)\n", text.c_str());
}

}  // namespace vela
