// One block of the phone's print-server text as a data-source frame: the bytes as they came.
#pragma once

#include "framework/core/Data.h"
#include "framework/core/Values.h"
#include "framework/dsrc/DataSourceFrame.h"

namespace vela {

class PrintServerFrame : public dsrc::DataSourceFrame {
  public:
    // A frame holding the block's bytes (none: an empty data area).
    explicit PrintServerFrame(const core::RCPtr<core::Data>& block);
    ~PrintServerFrame() override;

    // The data area as text, exactly its size long.
    core::EString getText() const;
};

}  // namespace vela
