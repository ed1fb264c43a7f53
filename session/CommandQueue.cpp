#include "session/CommandQueue.h"

#include <algorithm>

#include "framework/core/Trace.h"

namespace vela {

namespace {
// The acknowledgement id of the answer to a request with this command id: the time stamp is
// answered under an id of its own, the other commands under their request's id.
unsigned answerId(unsigned requestId) {
    if (requestId == TvpCommandReq::SET_TIME_STAMP)
        return TvpCommandAck::SET_TIME_STAMP;
    return requestId;
}
}  // namespace

CommandQueue::CommandQueue(CommandSender* owner) : m_owner(owner) {}

CommandQueue::~CommandQueue() = default;

bool CommandQueue::add(const core::RCPtr<Command>& command) {
    if (!command)
        return true;
    if (command->getSeqId() != 0 && find(command->getReqId(), command->getSeqId()))
        return true;
    invalidate(*command);
    push_back(command);
    if (Base::size() == 1)
        transmit();
    return true;
}

bool CommandQueue::transmit() {
    if (empty())
        return false;
    // Held, so that a queue cleared from inside the send cannot free the command under us.
    core::RCPtr<Command> command = Base::front();
    if (command->isTransmitted())
        return false;
    const bool sent =
        m_owner && m_owner->sendCommand(core::RCPtr<TvpIoProtocol>(command->getRequest()));
    command->setTransmitted(sent);
    return sent;
}

bool CommandQueue::acknowledge(TvpCommandAck& ack) {
    bool accepted = false;
    core::RCPtr<Command> command = front();
    if (command) {
        core::RCPtr<TvpCommandReq> request = command->getRequest();
        if (request && request->getSeqNo() == ack.getSeqNo() && command->m_callBack.isValid())
            accepted = command->m_callBack(*command, ack);
    }
    if (!accepted) {
        // A late answer to a command that was given up: the queue goes on as it is.
        const bool matchesFront =
            command && command->getRequest() && command->getRequest()->getSeqNo() == ack.getSeqNo();
        auto late = std::find_if(m_abandoned.begin(), m_abandoned.end(), [&](const Abandoned& a) {
            return a.seqNo == ack.getSeqNo() && a.ackId == ack.getCommandAckId();
        });
        if (!matchesFront && late != m_abandoned.end()) {
            m_abandoned.erase(late);
            core::ToggleTrace(
                40, "CommandQueue::acknowledge late answer %u to an abandoned command ignored\n",
                static_cast<unsigned>(ack.getSeqNo()));
            return true;
        }
        clear();
        return false;
    }
    // The callback may have changed the queue: remove the command only if it is still the
    // one in flight.
    if (!empty() && Base::front() == command)
        pop_front();
    transmit();
    return true;
}

core::RCPtr<Command> CommandQueue::find(std::uint32_t reqId, std::uint32_t seqId) const {
    for (const auto& command : *this)
        if (command->getReqId() == reqId && command->getSeqId() == seqId)
            return command;
    return {};
}

void CommandQueue::invalidate(const Command& command) {
    for (const auto& queued : *this)
        if (queued->getReqId() == command.getReqId())
            queued->setLastOfGroup(false);
}

void CommandQueue::clear() {
    Base::clear();
    m_abandoned.clear();
}

std::size_t CommandQueue::abandon(std::uint32_t reqId) {
    if (empty())
        return 0;
    core::RCPtr<Command> inFlight = Base::front();
    const std::size_t before = size();
    erase(std::remove_if(begin(), end(),
                         [&](const core::RCPtr<Command>& c) { return c->getReqId() == reqId; }),
          end());
    if (inFlight->getReqId() == reqId && inFlight->isTransmitted() && inFlight->getRequest()) {
        core::RCPtr<TvpCommandReq> request = inFlight->getRequest();
        m_abandoned.push_back({request->getSeqNo(), answerId(request->getCommandReqId())});
        if (m_abandoned.size() > 8)
            m_abandoned.pop_front();
    }
    const std::size_t dropped = before - size();
    if (dropped)
        transmit();
    return dropped;
}

}  // namespace vela
