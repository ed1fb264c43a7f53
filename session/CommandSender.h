// What the command queue needs of its owner: a way to send one command request.
#pragma once

#include "framework/core/RCObject.h"
#include "protocol/TvpIoProtocol.h"

namespace vela {

class CommandSender {
  public:
    virtual ~CommandSender() = default;
    // Stamps the frame sequence number into the request, hands its bytes on and answers
    // whether they could be handed on. Refuses an empty request.
    virtual bool sendCommand(const core::RCPtr<TvpIoProtocol>& request) = 0;
};

}  // namespace vela
