// Decoders of a data source's stream: a DataDecoder sees every object of the stream; a
// DecoderFrame turns one frame into information elements.
#pragma once

#include <cstdint>

#include "framework/core/Data.h"
#include "framework/core/RCObject.h"

struct IEEInformationElements;

namespace dsrc {

class DataDecoder : public core::RCObject {
  public:
    virtual void onFinalConstruct() {}
    // Hands one object of the stream to the decoder.
    void data(core::RCObject* object) { onData(object); }

  protected:
    virtual void onData(core::RCObject* object) = 0;
};

class DecoderFrame : public core::RCObject {
  public:
    // Adds the information elements of the frame data to the collection; returns how many
    // were added. The base adds none.
    virtual std::int32_t decode(IEEInformationElements* elements,
                                const core::RCPtr<core::Data>& data);
    // The key by which the data source pairs frames with this decoder frame.
    virtual core::RCPtr<core::Data> getKey() const = 0;
    virtual std::int32_t getCollectionId() const { return 0; }
};

}  // namespace dsrc
