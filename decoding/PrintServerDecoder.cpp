#include "decoding/PrintServerDecoder.h"

#include "framework/dsrc/DataSourceFrame.h"

namespace vela {

PrintServerDecoder::PrintServerDecoder()
    : m_spCounter(core::ByteCounter::instance("VelaMeasBytes.log")) {}

PrintServerDecoder::~PrintServerDecoder() {
    m_spCounter.reset();
}

void PrintServerDecoder::onData(core::RCObject* object) {
    if (auto* frame = dynamic_cast<dsrc::DataSourceFrame*>(object))
        m_spCounter->countBytes(frame->getDataSourceFrameDataSize());
}

}  // namespace vela
