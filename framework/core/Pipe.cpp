#include "framework/core/Pipe.h"

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
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_blocks.empty() && m_bytes + n > m_maxBytes) {
            ++m_refused;
            std::size_t queued = m_bytes;
            std::size_t limit = m_maxBytes;
            ToggleTrace(20,
                        "Pipe::write refused a block of %zu bytes (%zu bytes queued, limit %zu)\n",
                        n, queued, limit);
            return false;
        }
        m_blocks.push_back(block);
        m_bytes += n;
    }
    m_sync.notify();
    return true;
}

RCPtr<RCObject> Pipe::read() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_blocks.empty())
        return {};
    RCPtr<RCObject> block = std::move(m_blocks.front());
    m_blocks.pop_front();
    m_bytes -= weight(block.get());
    return block;
}

std::size_t Pipe::getCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blocks.size();
}

std::size_t Pipe::getBytes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}

void Pipe::setMaxBytes(std::size_t maxBytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_maxBytes = maxBytes;
}

std::size_t Pipe::getMaxBytes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_maxBytes;
}

std::uint64_t Pipe::getRefusedCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_refused;
}

DataChannel::DataChannel(bool) : m_pipe(new AsyncPipe()) {}

}  // namespace core
