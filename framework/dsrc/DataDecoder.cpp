#include "framework/dsrc/DataDecoder.h"

namespace dsrc {

std::int32_t DecoderFrame::decode(IEEInformationElements*, const core::RCPtr<core::Data>&) {
    return 0;
}

}  // namespace dsrc
