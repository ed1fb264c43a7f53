// Where a byte channel's frames go: the host's data source for one activation.
#pragma once

#include "framework/core/RCObject.h"
#include "framework/dsrc/DataSourceFrame.h"
#include "framework/dsrc/DataSourceInfo.h"

namespace dsrc {

class DataSourceSink : public core::RCObject {
  public:
    // Called on the channel's worker, once per frame, in order, with the channel's info (null
    // for a channel that has none). False when the frame was not taken.
    virtual bool onDataSourceFrame(const DataSourceChannelInfo* channel,
                                   const core::RCPtr<DataSourceFrame>& frame) = 0;
};

}  // namespace dsrc
