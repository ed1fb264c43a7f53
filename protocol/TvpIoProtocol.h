// Base of every TVP frame: the 4-byte header (size, routing fields, data id) over the data area
// of a data-source frame, the direction the bytes travel, and the byte view of the frame.
#pragma once

#include <cstdint>

#include "framework/core/Data.h"
#include "framework/core/RCObject.h"
#include "framework/dsrc/DataSourceFrame.h"
#include "protocol/TvpLayout.h"

namespace vela {

class TvpIoProtocol : public dsrc::DataSourceFrame {
  public:
    // Frame kind: the top 3 bits of the header.
    enum TvpIoProtocolDataId : unsigned char {
        PROBE_INJECT = 0,
        COMMAND_REQ = 1,
        COMMAND_ACK = 2,
        TVP_ERROR = 3,
        INJECT_DATA_REQ = 4,
        APRINT = 5,
        BPRINT = 6,
        CPRINT = 7,
    };

    // Where the frame's bytes came from or go to; decides what the byte view covers.
    enum Direction : std::uint32_t {
        TO_UE = 0,             // built here for the phone: the view is the TVP bytes only
        FROM_UE = 1,           // parsed from raw TVP bytes: the view is the whole data-source frame
        FROM_DATA_SOURCE = 2,  // bytes that begin with the data-source frame header
    };

    // Result of a command, 2 bytes in the acknowledgements: 0 is success, anything else failure.
    enum FuncRetStat : std::uint16_t {
        OK = 0,
        ERR = 1,
        FAILED = 2,
    };

    // Processor and node numbers of the routing fields (3 bits each).
    enum TvpProcessorType : unsigned char {
        PROCESSOR_0 = 0,
        PROCESSOR_1 = 1,
        PROCESSOR_2 = 2,
        PROCESSOR_3 = 3,
        PROCESSOR_4 = 4,
        PROCESSOR_5 = 5,
        PROCESSOR_6 = 6,
        PROCESSOR_7 = 7,
    };
    enum TvpNodeId : unsigned char {
        NODE_0 = 0,
        NODE_1 = 1,
        NODE_2 = 2,
        NODE_3 = 3,
        NODE_4 = 4,
        NODE_5 = 5,
        NODE_6 = 6,
        NODE_7 = 7,
    };

    // Routing of every frame that this component builds.
    static constexpr TvpProcessorType kOwnSourceProcessor = PROCESSOR_1;
    static constexpr TvpProcessorType kOwnDestProcessor = PROCESSOR_0;
    static constexpr TvpNodeId kOwnSourceNode = NODE_0;
    static constexpr TvpNodeId kOwnDestNode = NODE_3;

    static constexpr unsigned int kHeaderBytes = TvpLayout::kHeaderSize;
    static constexpr unsigned long kMaxFrameSize = TvpLayout::kSizeMask;

    // Wraps a whole data-source frame (framework header included) as the host holds it.
    explicit TvpIoProtocol(const core::RCPtr<core::Data>& whole);
    // Parses the bytes of the data object as the constructor from bytes does, but shares them
    // instead of copying: the data object (a slice of a received block, say) becomes the
    // frame's, and its length is not to be changed afterwards.
    TvpIoProtocol(core::RCPtr<core::Data> bytes, Direction direction);
    // Parses received bytes: with FROM_DATA_SOURCE they begin with the data-source frame
    // header, otherwise they are raw TVP bytes. The bytes are copied.
    TvpIoProtocol(const unsigned char* bytes, unsigned int length, Direction direction);
    // Refers to the same bytes as the source and shares its cached byte view.
    TvpIoProtocol(const TvpIoProtocol& other) = default;
    ~TvpIoProtocol() override;

    // Header.
    unsigned long getTvpIoProtocolSize() const;
    // Size field - 4, never more than the TVP bytes the frame holds.
    unsigned int getTvpIoProtocolDataSize() const;
    unsigned char* getTvpIoProtocolData() const { return m_pTvpIoProtocolData; }
    TvpIoProtocolDataId getDataId() const;
    TvpProcessorType getSourceProcessor() const;
    void setSourceProcessor(TvpProcessorType processor);
    TvpProcessorType getDestProcessor() const;
    void setDestProcessor(TvpProcessorType processor);
    TvpNodeId getSourceNode() const;
    void setSourceNode(TvpNodeId node);
    TvpNodeId getDestNode() const;
    void setDestNode(TvpNodeId node);
    Direction getDirection() const { return m_direction; }
    void setDirection(Direction direction);

    // Byte view. TO_UE: the TVP bytes (size field long), made once and kept until a public
    // setter changes the frame; otherwise the whole data-source frame.
    const core::RCPtr<core::Data>& getFrame() const override;
    const unsigned char* getFrameBuf() const override;
    unsigned int size() const override;
    // Lays the header and data pointers again after the frame's buffer changed.
    void repositionMembers() override;

  protected:
    // The smallest number of TVP bytes a parsed frame of a class is given, so that every fixed
    // field lies inside the buffer even when the received block was shorter (the tail is 0).
    struct FixedPart {
        unsigned int bytes;
    };

    // Builds a new frame of dataLength data bytes with this component's routing fields.
    TvpIoProtocol(TvpIoProtocolDataId dataId, unsigned int dataLength);
    TvpIoProtocol(const core::RCPtr<core::Data>& whole, FixedPart fixed);
    TvpIoProtocol(core::RCPtr<core::Data> bytes, Direction direction, FixedPart fixed);
    // The same over part of a received block, without a counted slice object of its own.
    TvpIoProtocol(const SharedBytes& bytes, Direction direction, FixedPart fixed);
    TvpIoProtocol(const unsigned char* bytes, unsigned int length, Direction direction,
                  FixedPart fixed);

    // TVP bytes of the frame that lie inside the buffer, bounded by the size field: the
    // length from which derived classes compute their variable parts.
    unsigned int boundedTvpSize() const;
    // boundedTvpSize() - fixed, or 0 when the frame is shorter than fixed.
    unsigned int variablePartSize(unsigned int fixed) const;
    // Forgets the cached TO_UE byte view after a field changed.
    void fieldChanged() { m_spFrameToUe.reset(); }

  private:
    void setTvpIoProtocolSize(unsigned long dataLength);
    void setDataId(TvpIoProtocolDataId dataId);
    std::uint32_t headerWord() const;
    void setHeaderBits(unsigned int shift, unsigned int width, std::uint32_t value);
    void ensureTvpBytes(unsigned int fixed);
    void layMembers();

    unsigned char* m_pTvpIoProtocol = nullptr;
    unsigned char* m_pTvpIoProtocolHeader = nullptr;
    unsigned char* m_pTvpIoProtocolData = nullptr;
    Direction m_direction = FROM_DATA_SOURCE;
    mutable core::RCPtr<core::Data> m_spFrameToUe;
};

}  // namespace vela
