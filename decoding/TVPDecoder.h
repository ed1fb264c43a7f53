// The data decoder of TVP frames: counts the TVP traffic and reports the phone's error frames.
#pragma once

#include <string>

#include "framework/core/ByteCounter.h"
#include "framework/dsrc/DataDecoder.h"

namespace vela {

class TVPDecoder : public dsrc::DataDecoder {
  public:
    TVPDecoder();
    TVPDecoder(const TVPDecoder& other) = default;
    TVPDecoder& operator=(const TVPDecoder& other) = default;
    ~TVPDecoder() override;

    // Two lower-case hexadecimal digits and a space per byte.
    static std::string toHexString(const unsigned char* bytes, unsigned short count);

  protected:
    void onData(core::RCObject* object) override;

  private:
    core::RCPtr<core::ByteCounter> m_spCounter;
};

}  // namespace vela
