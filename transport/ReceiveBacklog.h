// What waits between the service and the channel that reads one data provider: the blocks the
// provider has taken from its event sink and not yet written into its out pipe, and the blocks
// in the pipe that the channel has not read. Their bytes are counted in one atomic shared by
// the side that admits a block (the service's thread, in the event sink's call) and the side
// that reads it (the channel's worker, through the pipe this object makes): no lock is taken.
//
// When a block would take the count above the limit it is dropped whole, before it is queued
// anywhere, and counted. The admitting side also puts marks into the stream, ahead of the
// block they concern: after blocks were dropped (a gap: the bytes before and after it do not
// join), and every few milliseconds with the time the next block was admitted, so that the
// reader knows how long what it reads has waited.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "framework/core/Pipe.h"
#include "framework/core/RCObject.h"

namespace vela {

class ReceiveBacklog : public core::RCObject {
  public:
    // The default limit: a few megabytes. The reader drops what it can of them well before
    // (see VelaChannel::isBehind), so the limit is reached only when even that is too slow.
    static constexpr std::size_t kDefaultLimit = 4u << 20;
    // Marks carry the time at least this often while blocks come (nanoseconds).
    static constexpr std::int64_t kMarkInterval = 2000000;

    // Put into the stream before a block: the block was admitted at `time` (core::Clock), and
    // `blocks` blocks of `bytes` bytes were dropped just before it (0 when none were).
    class Mark : public core::RCObject {
      public:
        Mark(std::int64_t time, std::uint64_t blocks, std::uint64_t bytes)
            : m_time(time), m_blocks(blocks), m_bytes(bytes) {}
        std::int64_t time() const { return m_time; }
        std::uint64_t blocks() const { return m_blocks; }
        std::uint64_t bytes() const { return m_bytes; }

      private:
        std::int64_t m_time;
        std::uint64_t m_blocks;
        std::uint64_t m_bytes;
    };

    explicit ReceiveBacklog(std::size_t limit = kDefaultLimit);

    // Any thread. Counts the block's bytes as waiting if they fit under the limit (a path with
    // nothing waiting takes a block of any size); otherwise counts the block as dropped and
    // returns false.
    bool admit(std::size_t bytes);
    // Any thread: an admitted block left the path (read, or dropped on the way).
    void leave(std::size_t bytes);
    // The mark to put before the block just admitted at `now`, or none: there is one when
    // blocks were dropped since the block admitted before, or when the last mark is
    // kMarkInterval old. Called by the admitting side, in the order of its blocks.
    core::RCPtr<Mark> takeMark(std::int64_t now);

    // A pipe whose reads take the read blocks' bytes off the count. The limit bounds it, so
    // the pipe itself never refuses a block.
    core::RCPtr<core::AsyncPipe> makePipe();

    std::size_t queuedBytes() const { return m_queued.load(std::memory_order_acquire); }
    std::size_t limit() const { return m_limit.load(std::memory_order_relaxed); }
    void setLimit(std::size_t limit) { m_limit.store(limit, std::memory_order_relaxed); }
    // Blocks dropped because they did not fit, and their bytes, since the start.
    std::uint64_t droppedBlocks() const { return m_droppedBlocks.load(std::memory_order_acquire); }
    std::uint64_t droppedBytes() const { return m_droppedBytes.load(std::memory_order_acquire); }

  private:
    std::atomic<std::size_t> m_queued{0};
    std::atomic<std::size_t> m_limit;
    std::atomic<std::uint64_t> m_droppedBlocks{0};
    std::atomic<std::uint64_t> m_droppedBytes{0};
    // The gap being formed: blocks dropped since the last admitted block.
    std::atomic<std::uint64_t> m_gapBlocks{0};
    std::atomic<std::uint64_t> m_gapBytes{0};
    std::atomic<bool> m_marked{false};
    std::atomic<std::int64_t> m_lastMark{0};
};

}  // namespace vela
