// Error report of the phone (data id 3): the header and an opaque data part.
#pragma once

#include "protocol/TvpIoProtocol.h"

namespace vela {

class TvpError : public TvpIoProtocol {
  public:
    static constexpr unsigned int kFixedSize = 4;

    explicit TvpError(const core::RCPtr<core::Data>& whole);
    TvpError(const core::RCPtr<core::Data>& bytes, Direction direction);
    TvpError(const unsigned char* bytes, unsigned int length, Direction direction);
    TvpError(const TvpError& other) = default;
    ~TvpError() override;
};

}  // namespace vela
