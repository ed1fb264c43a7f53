// Probe and inject frames (data id 0): the common probe/inject frame, the probe report of the
// phone and the inject frame.
#pragma once

#include <cstdint>

#include "protocol/TvpIoProtocol.h"

namespace vela {

// Element type of probe data and of test-code arguments (one byte on the wire).
enum TvpProbeDataIdType : unsigned char {
    TVP_DATA_U16 = 0,             // 2-byte unsigned short
    TVP_DATA_RESERVED_2BYTE = 1,  // 2 bytes wide; no element value is read or written
    TVP_DATA_U32 = 2,             // 4-byte unsigned long
    TVP_DATA_RESERVED_4BYTE = 3,  // 4 bytes wide; no element value is read or written
    TVP_DATA_U8 = 4,              // 1-byte unsigned char
    TVP_DATA_RESERVED_1BYTE = 5,  // 1 byte wide; no element value is read or written
    TVP_DATA_STRING = 6,          // zero-terminated string
    TVP_DATA_FLOAT = 7,           // IEEE 754 single precision
    TVP_DATA_UNDEFINED = 8,       // what a default-built probe or inject frame carries
};

// Probe/inject frame: the selector byte, then the rest of the frame.
class TvpProbeInject : public TvpIoProtocol {
  public:
    enum TvpProbeInjectDataId : unsigned char {
        PROBE = 0,
        INJECT = 1,
    };
    static constexpr unsigned int kFixedSize = 5;

    explicit TvpProbeInject(const core::RCPtr<core::Data>& whole);
    TvpProbeInject(core::RCPtr<core::Data> bytes, Direction direction);
    TvpProbeInject(const unsigned char* bytes, unsigned int length, Direction direction);
    TvpProbeInject(const TvpProbeInject& other) = default;
    ~TvpProbeInject() override;

    TvpProbeInjectDataId getProbeInjectId() const {
        return static_cast<TvpProbeInjectDataId>(*m_pProbeInjectId);
    }
    unsigned char* getProbeInjectDataBuf() const { return m_pProbeInjectDataBuf; }
    unsigned int getProbeInjectDataBufSize() const { return variablePartSize(kFixedSize); }

  protected:
    // Builds a frame whose part after the selector byte is restLength bytes long.
    TvpProbeInject(TvpProbeInjectDataId id, unsigned int restLength);
    TvpProbeInject(const core::RCPtr<core::Data>& whole, FixedPart fixed);
    TvpProbeInject(core::RCPtr<core::Data> bytes, Direction direction, FixedPart fixed);
    TvpProbeInject(const SharedBytes& bytes, Direction direction, FixedPart fixed);
    TvpProbeInject(const unsigned char* bytes, unsigned int length, Direction direction,
                   FixedPart fixed);

  private:
    void setProbeInjectId(TvpProbeInjectDataId id) { *m_pProbeInjectId = id; }
    void layMembers();

  public:
    // Lays this class's fields again after the frame's buffer changed.
    void repositionMembers() override;

  private:
    unsigned char* m_pProbeInjectId = nullptr;
    unsigned char* m_pProbeInjectDataBuf = nullptr;
};

// A probe report: time stamp (4), sequence number (2), probe id (2), data byte size (4),
// element type (1), number of elements (2), then the payload. Fixed part 20 bytes.
class TvpProbe : public TvpProbeInject {
  public:
    static constexpr unsigned int kFixedSize = TvpLayout::kProbeFixedSize;

    // The payload is numberOfDataElem bytes long, copied from data when it is not null.
    explicit TvpProbe(std::uint32_t timeStamp = 0, std::uint16_t seqNo = 0,
                      std::uint16_t probeId = 0, std::uint32_t dataByteSize = 0,
                      TvpProbeDataIdType probeDataIdType = TVP_DATA_UNDEFINED,
                      std::uint16_t numberOfDataElem = 0, const unsigned char* data = nullptr);
    explicit TvpProbe(const core::RCPtr<core::Data>& whole);
    TvpProbe(core::RCPtr<core::Data> bytes, Direction direction);
    // Shares part of a received block (the frame factory's way, once per probe report).
    TvpProbe(const SharedBytes& bytes, Direction direction);
    TvpProbe(const unsigned char* bytes, unsigned int length, Direction direction);
    TvpProbe(const TvpProbe& other) = default;
    ~TvpProbe() override;

    std::uint32_t getTimeStamp() const;
    std::uint16_t getSeqNo() const;
    void setSeqNo(std::uint16_t seqNo);
    std::uint16_t getProbeId() const;
    std::uint32_t getDataByteSize() const;
    TvpProbeDataIdType getProbeDataIdType() const {
        return static_cast<TvpProbeDataIdType>(*m_pProbeDataIdType);
    }
    std::uint16_t getNumberOfDataElem() const;
    unsigned char* getProbeData() const { return m_pProbeData; }
    // Payload length, from the header's size field (size - 20).
    unsigned int getProbeDataSize() const { return variablePartSize(kFixedSize); }

  private:
    void setTimeStamp(std::uint32_t timeStamp);
    void setProbeId(std::uint16_t probeId);
    void setDataByteSize(std::uint32_t dataByteSize);
    void setProbeDataIdType(TvpProbeDataIdType type) { *m_pProbeDataIdType = type; }
    void setNumberOfDataElem(std::uint16_t number);
    void setProbeData(const unsigned char* data, unsigned int length);
    void layMembers();

  public:
    // Lays this class's fields again after the frame's buffer changed.
    void repositionMembers() override;

  private:
    unsigned char* m_pTimeStamp = nullptr;
    unsigned char* m_pSeqNo = nullptr;
    unsigned char* m_pProbeId = nullptr;
    unsigned char* m_pDataByteSize = nullptr;
    unsigned char* m_pProbeDataIdType = nullptr;
    unsigned char* m_pNumberOfDataElem = nullptr;
    unsigned char* m_pProbeData = nullptr;
};

// An inject frame: probe id (2), data byte size (4), element type (1), number of elements (2),
// then the payload. Fixed part 14 bytes.
class TvpInject : public TvpProbeInject {
  public:
    static constexpr unsigned int kFixedSize = TvpLayout::kInjectFixedSize;

    // The payload is numberOfDataElem bytes long, copied from data when it is not null.
    explicit TvpInject(std::uint16_t probeId = 0, std::uint32_t dataByteSize = 0,
                       TvpProbeDataIdType probeDataIdType = TVP_DATA_UNDEFINED,
                       std::uint16_t numberOfDataElem = 0, const unsigned char* data = nullptr);
    explicit TvpInject(const core::RCPtr<core::Data>& whole);
    TvpInject(core::RCPtr<core::Data> bytes, Direction direction);
    TvpInject(const SharedBytes& bytes, Direction direction);
    TvpInject(const unsigned char* bytes, unsigned int length, Direction direction);
    TvpInject(const TvpInject& other) = default;
    ~TvpInject() override;

    std::uint16_t getProbeId() const;
    std::uint32_t getDataByteSize() const;
    TvpProbeDataIdType getProbeDataIdType() const {
        return static_cast<TvpProbeDataIdType>(*m_pProbeDataIdType);
    }
    std::uint16_t getNumberOfDataElem() const;
    unsigned char* getInjectData() const { return m_pInjectData; }
    // Payload length, from the header's size field (size - 14).
    unsigned int getInjectDataSize() const { return variablePartSize(kFixedSize); }

  private:
    void setProbeId(std::uint16_t probeId);
    void setDataByteSize(std::uint32_t dataByteSize);
    void setProbeDataIdType(TvpProbeDataIdType type) { *m_pProbeDataIdType = type; }
    void setNumberOfDataElem(std::uint16_t number);
    void setInjectData(const unsigned char* data, unsigned int length);
    void layMembers();

  public:
    // Lays this class's fields again after the frame's buffer changed.
    void repositionMembers() override;

  private:
    unsigned char* m_pProbeId = nullptr;
    unsigned char* m_pDataByteSize = nullptr;
    unsigned char* m_pProbeDataIdType = nullptr;
    unsigned char* m_pNumberOfDataElem = nullptr;
    unsigned char* m_pInjectData = nullptr;
};

}  // namespace vela
