#include "framework/dsrc/DataSourceFrame.h"

#include "framework/core/Bytes.h"

namespace dsrc {

DataSourceFrame::DataSourceFrame(unsigned int dataSize) : core::Frame(kHeaderSize + dataSize) {
    core::writeU4(buffer() + 12, dataSize);
    layHeader();
}

DataSourceFrame::DataSourceFrame(const core::RCPtr<core::Data>& whole) : core::Frame(whole) {
    // A block too short to hold the header gets one, so that no accessor reads past it.
    if (m_frame->size() < kHeaderSize) {
        core::RCPtr<core::Data> padded(new core::Data(*m_frame));
        padded->resize(kHeaderSize);
        m_frame = padded;
    }
    layHeader();
}

DataSourceFrame::DataSourceFrame(const void* whole, std::size_t n) : core::Frame(whole, n) {
    if (m_frame->size() < kHeaderSize) m_frame->resize(kHeaderSize);
    layHeader();
}

void DataSourceFrame::layHeader() { setPosition(kHeaderSize); }

std::uint32_t DataSourceFrame::getRecNo() const { return core::readU4(getFrameBuf()); }
void DataSourceFrame::setRecNo(std::uint32_t recNo) { core::writeU4(buffer(), recNo); }
std::uint64_t DataSourceFrame::getTime() const { return core::readU8(getFrameBuf() + 4); }
void DataSourceFrame::setTime(std::uint64_t microseconds) { core::writeU8(buffer() + 4, microseconds); }

}  // namespace dsrc
