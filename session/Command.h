// One outstanding TVP command request: its group id, its number within the group, the request
// frame and the issuer's acknowledgement callback.
#pragma once

#include <cstdint>

#include "framework/core/CallBack.h"
#include "framework/core/RCObject.h"
#include "protocol/TvpCommandAck.h"
#include "protocol/TvpCommandReq.h"

namespace vela {

class Command;
class CommandQueue;

// Called with the command and the acknowledgement that matched it; answers whether the
// acknowledgement is accepted.
using CommandCallBack = core::BoolCallBackT<Command&, TvpCommandAck&>;

class Command : public core::RCObject {
  public:
    // request: any frame; one that is not a command request leaves the command's request empty.
    Command(std::uint32_t reqId, std::uint32_t seqId, const core::RCPtr<TvpIoProtocol>& request,
            CommandCallBack callBack);
    ~Command() override;

    std::uint32_t getReqId() const { return m_ReqId; }
    std::uint32_t getSeqId() const { return m_SeqId; }
    core::RCPtr<TvpCommandReq> getRequest() const { return m_spRequest; }
    bool isTransmitted() const { return m_transmitted; }
    void setTransmitted(bool transmitted) { m_transmitted = transmitted; }
    bool isLastOfGroup() const { return m_lastOfGroup; }
    void setLastOfGroup(bool lastOfGroup) { m_lastOfGroup = lastOfGroup; }
    const CommandCallBack& getCallBack() const { return m_callBack; }

  private:
    friend class CommandQueue;

    std::uint32_t m_ReqId;
    std::uint32_t m_SeqId;
    core::RCPtr<TvpCommandReq> m_spRequest;
    CommandCallBack m_callBack;
    bool m_transmitted = false;
    bool m_lastOfGroup = true;
};

}  // namespace vela
