#include "decoding/PrintServerChannel.h"

#include "decoding/PrintServerFrame.h"

namespace vela {

PrintServerChannel::PrintServerChannel() : VelaChannel("Print Server Channel") {}

PrintServerChannel::~PrintServerChannel() = default;

void PrintServerChannel::onDataFromUE(const core::RCPtr<core::Data>& block) {
    core::RCPtr<dsrc::DataSourceFrame> frame(new PrintServerFrame(block));
    if (getChannelActiveState() == dsrc::CHANNEL_STATE_ACTIVATING)
        setChannelActiveState(dsrc::CHANNEL_STATE_ACTIVE);
    sendDataSourceFrame(frame);
}

void PrintServerChannel::onProviderConnected() {
    // Also after a phone came back, or came back only after the activation had run out of
    // time: the open stream is all there is to wait for.
    int state = getChannelActiveState();
    if (state == dsrc::CHANNEL_STATE_ACTIVATING || state == dsrc::CHANNEL_STATE_FAILED)
        setChannelActiveState(dsrc::CHANNEL_STATE_ACTIVE);
}

}  // namespace vela
