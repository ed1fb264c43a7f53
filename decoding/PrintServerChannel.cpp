#include "decoding/PrintServerChannel.h"

#include "decoding/PrintServerFrame.h"

namespace vela {

PrintServerChannel::PrintServerChannel() : VelaChannel("Print Server Channel") {}

PrintServerChannel::~PrintServerChannel() = default;

void PrintServerChannel::onDataFromUE(const core::RCPtr<core::Data>& block) {
    core::RCPtr<dsrc::DataSourceFrame> frame(new PrintServerFrame(block));
    if (getChannelActiveState() == dsrc::CHANNEL_STATE_ACTIVATING) setChannelActiveState(dsrc::CHANNEL_STATE_ACTIVE);
    sendDataSourceFrame(frame);
}

}  // namespace vela
