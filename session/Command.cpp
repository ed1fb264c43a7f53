#include "session/Command.h"

#include <utility>

namespace vela {

Command::Command(std::uint32_t reqId, std::uint32_t seqId,
                 const core::RCPtr<TvpIoProtocol>& request, CommandCallBack callBack)
    : m_ReqId(reqId),
      m_SeqId(seqId),
      m_spRequest(request.dynamicCast<TvpCommandReq>()),
      m_callBack(std::move(callBack)) {}

Command::~Command() = default;

}  // namespace vela
