#include "framework/core/Pipe.h"

#include "framework/core/SpinningLock.h"
#include "framework/core/Trace.h"

namespace core {

namespace {
std::size_t weight(const RCObject* block) {
    auto* data = dynamic_cast<const Data*>(block);
    return data ? data->size() : sizeof(void*);
}
}  // namespace

Pipe::Pipe(std::size_t maxBytes) : m_maxBytes(maxBytes), m_sync(this) {}

Pipe::~Pipe() = default;

bool Pipe::write(const RCPtr<RCObject>& block) {
    if (!block)
        return false;
    std::size_t n = weight(block.get());
    bool wasEmpty = false;
    {
        SpinningLock lock(m_mutex);
        if (!m_accepting)
            return false;
        if (!m_blocks.empty() && m_bytes + n > m_maxBytes) {
            ++m_refused;
            std::size_t queued = m_bytes;
            std::size_t limit = m_maxBytes;
            ToggleTrace(20,
                        "Pipe::write refused a block of %zu bytes (%zu bytes queued, limit %zu)\n",
                        n, queued, limit);
            return false;
        }
        wasEmpty = m_blocks.empty();
        m_blocks.push_back(Queued{block, n});
        m_bytes += n;
        m_count.store(m_blocks.size(), std::memory_order_release);
    }
    // The sync object stays pending while blocks remain (its worker dispatches it again after
    // each callback that leaves some), so only the first block after the pipe ran empty needs
    // to tell the worker: a stream of blocks into a pipe its reader keeps up with does not
    // take the worker's lock for every block.
    if (wasEmpty)
        m_sync.notify();
    return true;
}

RCPtr<RCObject> Pipe::read() {
    SpinningLock lock(m_mutex);
    if (m_blocks.empty())
        return {};
    Queued& front = m_blocks.front();
    RCPtr<RCObject> block = std::move(front.block);
    m_bytes -= front.weight;
    m_blocks.pop_front();
    m_count.store(m_blocks.size(), std::memory_order_release);
    return block;
}

void Pipe::setAccepting(bool accepting) {
    SpinningLock lock(m_mutex);
    m_accepting = accepting;
}

bool Pipe::isAccepting() const {
    SpinningLock lock(m_mutex);
    return m_accepting;
}

std::size_t Pipe::getCount() const {
    return m_count.load(std::memory_order_acquire);
}

std::size_t Pipe::getBytes() const {
    SpinningLock lock(m_mutex);
    return m_bytes;
}

void Pipe::setMaxBytes(std::size_t maxBytes) {
    SpinningLock lock(m_mutex);
    m_maxBytes = maxBytes;
}

std::size_t Pipe::getMaxBytes() const {
    SpinningLock lock(m_mutex);
    return m_maxBytes;
}

std::uint64_t Pipe::getRefusedCount() const {
    SpinningLock lock(m_mutex);
    return m_refused;
}

DataChannel::DataChannel(bool) : m_pipe(new AsyncPipe()) {}

}  // namespace core
