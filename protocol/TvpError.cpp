#include "protocol/TvpError.h"

namespace vela {

TvpError::TvpError(const core::RCPtr<core::Data>& whole) : TvpIoProtocol(whole) {}
TvpError::TvpError(const core::RCPtr<core::Data>& bytes, Direction direction)
    : TvpIoProtocol(bytes, direction) {}
TvpError::TvpError(const unsigned char* bytes, unsigned int length, Direction direction)
    : TvpIoProtocol(bytes, length, direction) {}
TvpError::~TvpError() = default;

}  // namespace vela
