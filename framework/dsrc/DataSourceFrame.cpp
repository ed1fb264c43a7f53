#include "framework/dsrc/DataSourceFrame.h"

#include <algorithm>

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
    if (data) frame->addData(data, std::min<std::size_t>(n, dataSize));
    frame->resize(whole);
    return frame;
}
}  // namespace

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

DataSourceFrame::DataSourceFrame(unsigned int dataSize, const void* data, std::size_t n)
    : DataSourceFrame(withHeader(dataSize, data, n)) {}

void DataSourceFrame::layHeader() { setPosition(kHeaderSize); }

std::uint32_t DataSourceFrame::getRecNo() const { return core::readU4(getFrameBuf()); }
void DataSourceFrame::setRecNo(std::uint32_t recNo) { core::writeU4(buffer(), recNo); }
std::uint64_t DataSourceFrame::getTime() const { return core::readU8(getFrameBuf() + 4); }
void DataSourceFrame::setTime(std::uint64_t microseconds) { core::writeU8(buffer() + 4, microseconds); }

}  // namespace dsrc
