// The frames of a data source: a fixed header (record number, time, data size) followed by
// the data area that derived frame classes lay their fields over.
#pragma once

#include <cstdint>

#include "framework/core/Frame.h"

namespace dsrc {

class DataSourceFrame : public core::Frame {
public:
    // Header layout, little-endian: record number (4), time in microseconds since 1970 (8),
    // data size (4).
    static constexpr unsigned int kHeaderSize = 16;
    static unsigned int getHeaderSize() { return kHeaderSize; }

    // A new frame with a zeroed data area of dataSize bytes; the cursor at the data area.
    explicit DataSourceFrame(unsigned int dataSize = 0);
    // Wraps a whole data-source frame (header included) without copying it.
    explicit DataSourceFrame(const core::RCPtr<core::Data>& whole);
    // A copy of n bytes of a whole data-source frame (header included).
    DataSourceFrame(const void* whole, std::size_t n);
    // A new frame with a data area of dataSize bytes that begins with a copy of n of the given
    // bytes (at most dataSize); the rest is zero. The cursor at the data area.
    DataSourceFrame(unsigned int dataSize, const void* data, std::size_t n);
    DataSourceFrame(const DataSourceFrame& other) = default;

    unsigned char* getDataSourceFrameData() { return buffer() + kHeaderSize; }
    const unsigned char* getDataSourceFrameData() const { return getFrameBuf() + kHeaderSize; }
    unsigned int getDataSourceFrameDataSize() const { return size() - kHeaderSize; }

    std::uint32_t getRecNo() const;
    void setRecNo(std::uint32_t recNo);
    std::uint64_t getTime() const;
    void setTime(std::uint64_t microseconds);

private:
    void layHeader();
};

// Turns one received block into a frame object of the right class.
class DataSourceFrameFactory : public core::RCObject {
public:
    virtual core::RCPtr<DataSourceFrame> create(const unsigned char* block, unsigned int length) = 0;
};

}  // namespace dsrc
