// The data decoder of the print-server stream: counts the bytes that pass.
#pragma once

#include "framework/core/ByteCounter.h"
#include "framework/dsrc/DataDecoder.h"

namespace vela {

class PrintServerDecoder : public dsrc::DataDecoder {
  public:
    PrintServerDecoder();
    ~PrintServerDecoder() override;

  protected:
    void onData(core::RCObject* object) override;

  private:
    core::RCPtr<core::ByteCounter> m_spCounter;
};

}  // namespace vela
