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

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace host {

// The file: the classic capture format, little-endian, microsecond stamps (a file with
// nanosecond stamps, or of the other byte order, is read too). Its header is 24 bytes; each
// packet has a 16-byte header (seconds, microseconds, captured and original length) before
// its bytes.
// DLT_USER0: a link type for private use.
constexpr int kCaptureLinkType = 147;
// A whole TVP frame (up to 131071 bytes) and the record header.
constexpr std::uint32_t kCaptureSnapLength = 262144;
constexpr std::size_t kFileHeaderSize = 24;
constexpr std::size_t kPacketHeaderSize = 16;
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
// The file header, and a record as it stands in the file (packet header, then the packet).
std::vector<unsigned char> encodeFileHeader();
void appendPacket(std::vector<unsigned char>& out, const CaptureRecord& record);

// Writes a capture file. Records are buffered and written out in whole records at most
// kFlushInterval after they were taken (by the write that finds the interval passed, or by
// flushIfDue from the owner's own wake-ups), so that a process that dies abruptly leaves a
// readable file that lacks at most the last interval.
//
// Every write, flush and the close are checked. The first failure ends the recording: the
// writer takes no more records, cuts the file back to the last whole record (for a regular
// file) and keeps the reason; getRecordCount() then tells how many records the file holds. A
// file that is deleted while it is written (its folder removed, say) is a failure too: its
// records go with it when the writer closes it.
class CaptureWriter {
  public:
    static constexpr std::chrono::milliseconds kFlushInterval{1000};

    CaptureWriter();
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Creates the file and writes its header out at once: a file that cannot take it (a full
    // device) fails here.
    bool open(const std::string& path, std::string* error = nullptr);
    // Appends one record; safe from several threads at once. False once the recording failed
    // or the writer is closed.
    bool write(const CaptureRecord& record);
    // Writes out what is buffered; false when that fails or the recording failed before.
    bool flush();
    // Flushes when kFlushInterval has passed since the last flush and records are waiting.
    bool flushIfDue();
    // When flushIfDue will next have work (far in the future when nothing waits).
    std::chrono::steady_clock::time_point nextFlushDue() const;
    // Flushes, syncs and closes; false when any of it fails (the reason in failure()). The
    // file is complete and readable afterwards.
    bool close();
    bool isOpen() const;
    // Records taken; after a failure, the records the file holds.
    std::uint64_t getRecordCount() const;
    // Records offered to write(), taken or not.
    std::uint64_t getOfferedCount() const;
    // Records taken when the recording failed: those the file holds, or those lost with a
    // deleted file.
    std::uint64_t getFailedAfterCount() const;
    // The first failure's reason, empty while there was none.
    std::string failure() const;
    bool failed() const;
    // Called once, on the thread that met the first failure, outside the writer's lock.
    void setFailureHandler(std::function<void()> handler);

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
    // True once a read error ended the file early (cut short or damaged): what follows, if
    // anything, could not be read.
    bool endedEarly() const { return m_endedEarly; }
    void close();

  private:
    struct State;
    std::unique_ptr<State> m_state;
    bool m_endedEarly = false;
};

}  // namespace host
