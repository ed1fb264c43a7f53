#include "framework/dsrc/DataSourceFrame.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "framework/core/Bytes.h"

namespace dsrc {

namespace {
// Header, data and zero tail, each byte written once (no zero-fill under the copied bytes).
core::RCPtr<core::Data> withHeader(unsigned int dataSize, const void* data, std::size_t n) {
    const std::size_t whole = DataSourceFrame::kHeaderSize + std::size_t{dataSize};
    core::RCPtr<core::Data> frame(new core::Data(whole));
    unsigned char header[DataSourceFrame::kHeaderSize] = {};
    core::writeU4(header + 12, dataSize);
    frame->addData(header, sizeof header);
    if (data)
        frame->addData(data, std::min<std::size_t>(n, dataSize));
    frame->resize(whole);
    return frame;
}
}  // namespace

DataSourceFrame::DataSourceFrame(unsigned int dataSize) : core::Frame(kHeaderSize + dataSize) {
    layHeader();
    core::writeU4(m_pHeader + 12, dataSize);
}

DataSourceFrame::DataSourceFrame(const core::RCPtr<core::Data>& whole)
    : DataSourceFrame(whole, true) {}

DataSourceFrame::DataSourceFrame(const core::RCPtr<core::Data>& dataArea, DataAreaOnly)
    : DataSourceFrame(dataArea, false) {}

DataSourceFrame::DataSourceFrame(core::RCPtr<core::Data> bytes, bool withHeader)
    : core::Frame(std::move(bytes)), m_dataOffset(withHeader ? kHeaderSize : 0) {
    layReceived(withHeader);
}

DataSourceFrame::DataSourceFrame(const SharedBytes& bytes, bool withHeader)
    : core::Frame(BufferLaterTag{}), m_dataOffset(withHeader ? kHeaderSize : 0) {
    if (withHeader) {
        // The byte view is then m_frame itself, which the host may keep: an object of its own.
        m_frame = bytes.block.slice(bytes.offset, bytes.n);
    } else {
        m_ownBytes.share(bytes.block, bytes.offset, bytes.n);
        m_frame.attach(&m_ownBytes);  // a member's count decides nothing (see the destructor)
    }
    layReceived(withHeader);
}

void DataSourceFrame::layReceived(bool withHeader) {
    // A block too short to hold the header gets one, so that no accessor reads past it.
    if (withHeader && m_frame->size() < kHeaderSize) {
        core::RCPtr<core::Data> padded(new core::Data(*m_frame));
        padded->resize(kHeaderSize);
        m_frame = padded;
    }
    layHeader();
    if (!withHeader) {
        m_joinPending = true;
        m_keptAreaSize = m_frame->size();
        core::writeU4(m_pHeader + 12, static_cast<std::uint32_t>(m_frame->size()));
    }
}

DataSourceFrame::DataSourceFrame(const void* whole, std::size_t n) : core::Frame(whole, n) {
    if (m_frame->size() < kHeaderSize)
        m_frame->resize(kHeaderSize);
    layHeader();
}

DataSourceFrame::DataSourceFrame(unsigned int dataSize, const void* data, std::size_t n)
    : DataSourceFrame(withHeader(dataSize, data, n)) {}

DataSourceFrame::DataSourceFrame(const DataSourceFrame& other)
    : core::Frame(other),
      m_dataOffset(other.m_dataOffset),
      m_joinPending(other.m_dataOffset == 0),
      m_keptAreaSize(other.m_frame->size()),
      m_spJoinedFrom(other.m_spJoinedFrom) {
    // The source's own view of the block is the source's: this frame gets one of its own.
    const bool areaIsOthers = m_frame.get() == &other.m_ownBytes;
    if (areaIsOthers || m_spJoinedFrom.get() == &other.m_ownBytes) {
        m_ownBytes.share(other.m_ownBytes, 0, other.m_ownBytes.size());
        if (areaIsOthers)
            m_frame = &m_ownBytes;
        else
            m_spJoinedFrom = &m_ownBytes;
    }
    std::memcpy(m_header, other.m_header, kHeaderSize);
    layHeader();
}

DataSourceFrame::~DataSourceFrame() {
    // m_ownBytes goes before the base's m_frame: no release may reach it afterwards.
    if (m_frame.get() == &m_ownBytes)
        m_frame.detach();
    if (m_spJoinedFrom.get() == &m_ownBytes)
        m_spJoinedFrom.detach();
}

void DataSourceFrame::replaceBuffer(const core::RCPtr<core::Data>& buffer) {
    m_frame = buffer;
    m_pHeader = m_dataOffset ? m_frame->getInternalData() : m_header;
    m_keptAreaSize = m_frame->size();
}

void DataSourceFrame::join() {
    const std::size_t dataSize = m_frame->size();
    core::RCPtr<core::Data> whole(new core::Data(kHeaderSize + dataSize));
    whole->addData(m_header, kHeaderSize);
    whole->addData(m_frame->getInternalData(), dataSize);
    m_spJoinedFrom = m_frame;
    m_frame = whole;
    m_dataOffset = kHeaderSize;
    m_pHeader = m_frame->getInternalData();
    repositionMembers();
    m_joinDone.store(true, std::memory_order_release);
}

const core::RCPtr<core::Data>& DataSourceFrame::getFrame() const {
    // The object is never made const (frames live on the heap behind counted pointers).
    // m_joinPending does not change after construction, so reading it here races with no
    // join; call_once orders every caller after the one join.
    if (m_joinPending) {
        auto* self = const_cast<DataSourceFrame*>(this);
        std::call_once(self->m_joined, [self] { self->join(); });
    }
    return m_frame;
}

const unsigned char* DataSourceFrame::getFrameBuf() const {
    return getFrame()->getInternalData();
}

unsigned int DataSourceFrame::size() const {
    // Until its join is done, a frame that keeps its header reads the size it was made with:
    // the join replaces m_frame, perhaps on another thread at this moment.
    if (m_joinPending && !m_joinDone.load(std::memory_order_acquire))
        return static_cast<unsigned int>(m_keptAreaSize + kHeaderSize);
    return static_cast<unsigned int>(m_frame->size());
}

}  // namespace dsrc
