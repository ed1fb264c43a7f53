// Turns one print-server text frame into information elements, one per text line.
#pragma once

#include "framework/dsrc/DataDecoder.h"

namespace vela {

class PrintServerDecoderFrame : public dsrc::DecoderFrame {
  public:
    PrintServerDecoderFrame() = default;
    ~PrintServerDecoderFrame() override;
    static core::Object* createObject() { return new PrintServerDecoderFrame(); }
    core::Object* copy() const override { return new PrintServerDecoderFrame(); }

    // data: the frame's text bytes. Adds one element per line (identities from 100, a
    // leading line feed dropped, text after the last line feed one more element) and returns
    // the base result plus the number of elements the collection took.
    std::int32_t decode(IEEInformationElements* elements,
                        const core::RCPtr<core::Data>& data) override;
    // "PSDF".
    core::RCPtr<core::Data> getKey() const override;
};

}  // namespace vela
