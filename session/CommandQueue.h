// The commands that the engine has issued and that are not yet acknowledged: sent one at a
// time in the order added, each acknowledgement matched against the command in flight by the
// 8-bit frame sequence number and handed to the command's callback.
#pragma once

#include <cstdint>
#include <deque>

#include "framework/core/RCObject.h"
#include "session/Command.h"
#include "session/CommandSender.h"

namespace vela {

class CommandQueue : private std::deque<core::RCPtr<Command>> {
  public:
    using Base = std::deque<core::RCPtr<Command>>;

    // owner: sends the requests; not owned, outlives the queue.
    explicit CommandQueue(CommandSender* owner);
    CommandQueue(const CommandQueue&) = delete;
    CommandQueue& operator=(const CommandQueue&) = delete;
    virtual ~CommandQueue();

    // Appends a command (sending it at once when the queue was empty). A command whose
    // non-zero (ReqId, SeqId) pair is already queued is dropped. Always true.
    bool add(const core::RCPtr<Command>& command);
    // Offers an acknowledgement to the command in flight. True when it matched and the
    // callback accepted it: the command goes and the next one is sent. Otherwise the whole
    // queue is dropped and the result is false.
    bool acknowledge(TvpCommandAck& ack);
    // Sends the front command unless it is already transmitted; true if it was handed on now.
    bool transmit();
    // The first queued command, from the front, with both ids equal; empty if none.
    core::RCPtr<Command> find(std::uint32_t reqId, std::uint32_t seqId) const;
    // Clears the last-of-group mark on every queued command with the command's ReqId.
    void invalidate(const Command& command);
    // Drops every queued command unsent.
    void clear();
    // Drops every queued command of the group (an apply or a start-up that ended without its
    // answers). When the command in flight is among them the next one is sent, and a late
    // answer to the dropped one (its frame sequence number and the acknowledgement id that
    // answers its request) is ignored rather than taken for a wrong answer. Returns how many
    // went.
    std::size_t abandon(std::uint32_t reqId);

    using Base::empty;
    using Base::size;
    // The command in flight, or empty.
    core::RCPtr<Command> front() const { return empty() ? core::RCPtr<Command>() : Base::front(); }

  private:
    // A command dropped while in flight, as its answer would name it.
    struct Abandoned {
        std::uint8_t seqNo;
        unsigned ackId;
    };
    // Commands dropped while in flight, newest last; a few are kept.
    std::deque<Abandoned> m_abandoned;
    CommandSender* m_owner;
};

}  // namespace vela
