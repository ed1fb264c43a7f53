#include "transport/ReceiveBacklog.h"

#include <limits>

#include "framework/core/Data.h"

namespace vela {

namespace {

// The provider's out pipe: what the channel reads leaves the backlog.
class BacklogPipe : public core::AsyncPipe {
  public:
    explicit BacklogPipe(core::RCPtr<ReceiveBacklog> backlog)
        : core::AsyncPipe(std::numeric_limits<std::size_t>::max()),
          m_spBacklog(std::move(backlog)) {}

    core::RCPtr<core::RCObject> read() override {
        core::RCPtr<core::RCObject> item = core::AsyncPipe::read();
        if (auto* block = dynamic_cast<const core::Data*>(item.get()))
            m_spBacklog->leave(block->size());
        return item;
    }

  private:
    core::RCPtr<ReceiveBacklog> m_spBacklog;
};

}  // namespace

ReceiveBacklog::ReceiveBacklog(std::size_t limit) : m_limit(limit) {}

bool ReceiveBacklog::admit(std::size_t bytes) {
    std::size_t queued = m_queued.load(std::memory_order_relaxed);
    for (;;) {
        if (queued != 0 && (queued + bytes > limit() || queued + bytes < queued)) {
            m_droppedBlocks.fetch_add(1, std::memory_order_relaxed);
            m_droppedBytes.fetch_add(bytes, std::memory_order_relaxed);
            m_gapBlocks.fetch_add(1, std::memory_order_relaxed);
            m_gapBytes.fetch_add(bytes, std::memory_order_release);
            return false;
        }
        if (m_queued.compare_exchange_weak(queued, queued + bytes, std::memory_order_acq_rel))
            return true;
    }
}

void ReceiveBacklog::leave(std::size_t bytes) {
    m_queued.fetch_sub(bytes, std::memory_order_acq_rel);
}

core::RCPtr<ReceiveBacklog::Mark> ReceiveBacklog::takeMark(std::int64_t now) {
    std::uint64_t blocks = 0, bytes = 0;
    if (m_gapBlocks.load(std::memory_order_acquire) != 0) {
        blocks = m_gapBlocks.exchange(0, std::memory_order_acq_rel);
        bytes = m_gapBytes.exchange(0, std::memory_order_acq_rel);
    }
    if (blocks == 0 && m_marked.load(std::memory_order_relaxed) &&
        now - m_lastMark.load(std::memory_order_relaxed) < kMarkInterval)
        return {};
    m_marked.store(true, std::memory_order_relaxed);
    m_lastMark.store(now, std::memory_order_relaxed);
    return core::RCPtr<Mark>(new Mark(now, blocks, bytes));
}

core::RCPtr<core::AsyncPipe> ReceiveBacklog::makePipe() {
    return core::RCPtr<core::AsyncPipe>(new BacklogPipe(core::RCPtr<ReceiveBacklog>(this)));
}

}  // namespace vela
