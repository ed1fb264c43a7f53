#include "decoding/PrintServerFrame.h"

#include <cstring>

namespace vela {

PrintServerFrame::PrintServerFrame(const core::RCPtr<core::Data>& block)
    : dsrc::DataSourceFrame(block ? static_cast<unsigned int>(block->size()) : 0u) {
    if (block && block->size())
        std::memcpy(getDataSourceFrameData(), block->getInternalData(), block->size());
}

PrintServerFrame::~PrintServerFrame() = default;

core::EString PrintServerFrame::getText() const {
    return core::EString(reinterpret_cast<const char*>(getDataSourceFrameData()),
                         getDataSourceFrameDataSize());
}

}  // namespace vela
