// Capture files of recorded sessions: classic pcap with a user link type, one packet per
// data-source frame. Each packet holds a fixed record header and then the frame's bytes as
// the component delivered them (TVP bytes, or print-server text).
//
// Record header, little-endian, 20 bytes:
//   0  u8  format version (1)
//   1  u8  channel type (2 TVP, 5 print server)
//   2  u8  direction (0 from the phone, 1 to the phone)
//   3  u8  equipment number (0 for the first phone of a session)
//   4  u32 record number (counted per equipment and channel from 0)
//   8  u64 time, microseconds since 1970
//   16 u32 length of the frame bytes that follow
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace host {

// DLT_USER0: a link type for private use.
constexpr int kCaptureLinkType = 147;
constexpr std::size_t kRecordHeaderSize = 20;
constexpr std::uint8_t kCaptureVersion = 1;

struct CaptureRecord {
    std::uint8_t channelType = 0;
    std::uint8_t direction = 0;
    std::uint8_t equipment = 0;
    std::uint32_t recordNumber = 0;
    std::uint64_t timeMicros = 0;
    std::vector<unsigned char> bytes;
};

// Encodes a record as the bytes of one packet.
std::vector<unsigned char> encodeRecord(const CaptureRecord& record);
// Decodes one packet; false (and an explanation) when it is not a record of this format.
bool decodeRecord(const unsigned char* packet, std::size_t length, CaptureRecord& record,
                  std::string* error = nullptr);

class CaptureWriter {
  public:
    CaptureWriter();
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    bool open(const std::string& path, std::string* error = nullptr);
    // Appends one record; safe from several threads at once.
    bool write(const CaptureRecord& record);
    bool flush();
    // Flushes and closes; the file is complete and readable afterwards.
    void close();
    bool isOpen() const;
    std::uint64_t getRecordCount() const;

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

class CaptureReader {
  public:
    CaptureReader();
    ~CaptureReader();
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    bool open(const std::string& path, std::string* error = nullptr);
    // The next record: 1 read, 0 end of file, -1 a packet that is not a record or a file that
    // cannot be read on (error says why; after a read error the next call gives 0).
    int next(CaptureRecord& record, std::string* error = nullptr);
    void close();

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace host
