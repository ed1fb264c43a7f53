// The frames of a data source: a fixed header (record number, time, data size) followed by
// the data area that derived frame classes lay their fields over.
//
// A frame either holds the whole frame in one buffer (header, then data area), or, when it was
// made over received bytes that it shares (a slice of the received block), holds the header in
// the frame object and the data area in the shared bytes. The byte view (getFrame,
// getFrameBuf, size) is the whole frame either way: the first call of getFrame or getFrameBuf
// on a frame of the second kind joins header and data area into one buffer of its own, and
// the frame's fields are laid over it again (repositionMembers).
//
// The join happens once: threads that ask a shared frame for its byte view at the same time
// (getFrame, getFrameBuf, size) all get the one joined buffer, and each sees the frame laid
// over it when its call returns. The join moves where the other accessors (the data area, the
// fields of derived classes) read from, so a frame that threads read by those while another
// may be the first to ask for the byte view gets its byte view once before it is shared.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "framework/core/Bytes.h"
#include "framework/core/Frame.h"

namespace dsrc {

class DataSourceFrame : public core::Frame {
  public:
    // Header layout, little-endian: record number (4), time in microseconds since 1970 (8),
    // data size (4).
    static constexpr unsigned int kHeaderSize = 16;
    static unsigned int getHeaderSize() { return kHeaderSize; }

    // Tag of the constructor that wraps a data area without a header.
    struct DataAreaOnly {};
    // n bytes of a received block from offset, which a new frame shares.
    struct SharedBytes {
        const core::Data& block;
        std::size_t offset;
        std::size_t n;
    };

    // A new frame with a zeroed data area of dataSize bytes; the cursor at the data area.
    explicit DataSourceFrame(unsigned int dataSize = 0);
    // Wraps a whole data-source frame (header included) without copying it.
    explicit DataSourceFrame(const core::RCPtr<core::Data>& whole);
    // Wraps bytes that are the data area alone, without copying them: the header (zero, with
    // the data size) is kept in the frame object. The cursor at the data area.
    DataSourceFrame(const core::RCPtr<core::Data>& dataArea, DataAreaOnly);
    // One of the two above: the whole frame when withHeader, else the data area alone.
    DataSourceFrame(core::RCPtr<core::Data> bytes, bool withHeader);
    // The same over part of a block, without a second counted object: the frame sees the
    // block's bytes through a Data of its own (a member) when they are the data area alone.
    DataSourceFrame(const SharedBytes& bytes, bool withHeader);
    // A copy of n bytes of a whole data-source frame (header included).
    DataSourceFrame(const void* whole, std::size_t n);
    // A new frame with a data area of dataSize bytes that begins with a copy of n of the given
    // bytes (at most dataSize); the rest is zero. The cursor at the data area.
    DataSourceFrame(unsigned int dataSize, const void* data, std::size_t n);
    // Shares the source's data area; a header kept in the source object is copied.
    DataSourceFrame(const DataSourceFrame& other);
    ~DataSourceFrame() override;

    // The whole frame, header first.
    const core::RCPtr<core::Data>& getFrame() const override;
    const unsigned char* getFrameBuf() const override;
    unsigned int size() const override;

    unsigned char* getDataSourceFrameData() { return buffer() + m_dataOffset; }
    const unsigned char* getDataSourceFrameData() const {
        return m_frame->getInternalData() + m_dataOffset;
    }
    unsigned int getDataSourceFrameDataSize() const {
        return static_cast<unsigned int>(m_frame->size() - m_dataOffset);
    }

    // Inline: the channel and the host's recorder read and write these once per frame.
    std::uint32_t getRecNo() const { return core::readU4(m_pHeader); }
    void setRecNo(std::uint32_t recNo) { core::writeU4(m_pHeader, recNo); }
    std::uint64_t getTime() const { return core::readU8(m_pHeader + 4); }
    void setTime(std::uint64_t microseconds) { core::writeU8(m_pHeader + 4, microseconds); }

  protected:
    // Where the data area begins in the frame's buffer: after the header, or at 0 when the
    // header is kept in the object.
    unsigned int getDataAreaOffset() const { return m_dataOffset; }
    // Puts a new buffer of the same layout in place of the frame's (a padded copy, say).
    void replaceBuffer(const core::RCPtr<core::Data>& buffer);

  private:
    // The part of the constructors from bytes after m_frame is set.
    void layReceived(bool withHeader);
    void layHeader() {
        m_pHeader = m_dataOffset ? buffer() : m_header;
        setPosition(m_dataOffset);
    }
    // Makes the whole frame one buffer of its own (for the byte view).
    void join();

    unsigned char* m_pHeader = nullptr;
    unsigned int m_dataOffset = kHeaderSize;
    // Set while the frame is made, not changed after: the header is kept in the object until
    // the byte view is first asked for (the join).
    bool m_joinPending = false;
    // The data area's size while the header is kept in the object (size() reads it, not the
    // buffer that the join replaces).
    std::size_t m_keptAreaSize = 0;
    std::once_flag m_joined;
    // Set (release) when the join is done: size() then reads the joined buffer again.
    std::atomic<bool> m_joinDone{false};
    // The header while it is kept in the object.
    unsigned char m_header[kHeaderSize] = {};
    // The shared data area after a join: bytes handed out before it stay readable.
    core::RCPtr<core::Data> m_spJoinedFrom;
    // The view of the block's bytes for a frame made from SharedBytes without header: m_frame
    // (and after the join m_spJoinedFrom) point here. The join replaces m_frame before any
    // byte view is handed out, so no pointer to it leaves the frame.
    core::Data::Member m_ownBytes;
};

// Turns one received block into a frame object of the right class.
class DataSourceFrameFactory : public core::RCObject {
  public:
    virtual core::RCPtr<DataSourceFrame> create(const unsigned char* block,
                                                unsigned int length) = 0;
};

}  // namespace dsrc
