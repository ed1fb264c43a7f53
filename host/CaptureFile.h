// Capture files of recorded sessions: one packet per data-source frame, each a fixed record
// header and then the frame's bytes as the component delivered them (TVP bytes, or print-server
// text). Two file formats carry them, with link type 147 (DLT_USER0):
//
// - pcapng (the default): a section header block naming the application and the system, one
//   interface description block per phone (its port, its model family, what it reports of
//   itself), an enhanced packet block per record (interface = the phone, the direction in
//   epb_flags, reports lost just before it in epb_dropcount, comments where a fault or a
//   comeback happened), and at the end of a file an interface statistics block per phone
//   (records received, reports lost, comments that found no later record).
// - classic pcap, little-endian with microsecond stamps (a file with nanosecond stamps, or of
//   the other byte order, is read too).
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
#include <string>
#include <vector>

namespace host {

// DLT_USER0: a link type for private use.
constexpr int kCaptureLinkType = 147;
// A whole TVP frame (up to 131071 bytes) and the record header.
constexpr std::uint32_t kCaptureSnapLength = 262144;
constexpr std::size_t kFileHeaderSize = 24;    // classic pcap
constexpr std::size_t kPacketHeaderSize = 16;  // classic pcap
constexpr std::size_t kRecordHeaderSize = 20;
constexpr std::uint8_t kCaptureVersion = 1;

enum class CaptureFormat { Pcapng, Pcap };

struct CaptureRecord {
    std::uint8_t channelType = 0;
    std::uint8_t direction = 0;
    std::uint8_t equipment = 0;
    std::uint32_t recordNumber = 0;
    std::uint64_t timeMicros = 0;
    std::vector<unsigned char> bytes;
    // pcapng only: reports of the phone lost just before this one (0: none, or not known), and
    // comments on what happened before it.
    std::uint64_t dropCount = 0;
    std::vector<std::string> comments;
};

// What a pcapng section says of where it was made.
struct CaptureSection {
    std::string application;  // shb_userappl: "vela-host 0.1.0"
    std::string os;           // shb_os
    std::string hardware;     // shb_hardware
};

// A phone as a pcapng interface.
struct CaptureInterface {
    std::string name;         // if_name: the phone's port, "COM5"
    std::string description;  // if_description: "Vela phone (simulated) 1, model family 1"
    std::string hardware;     // if_hardware: what the phone reports of itself
};

// What a pcapng interface statistics block says of a phone at the end of a file.
struct CaptureStatistics {
    std::uint32_t interfaceId = 0;
    std::uint64_t timeMicros = 0;
    std::uint64_t startMicros = 0;  // when the capture began, 0 when not said
    std::uint64_t received = 0;     // records of the phone offered to the capture
    std::uint64_t dropped = 0;      // reports of the phone lost, as far as known
    std::vector<std::string> comments;
};

// Encodes a record as the bytes of one packet.
std::vector<unsigned char> encodeRecord(const CaptureRecord& record);
// Decodes one packet; false (and an explanation) when it is not a record of this format.
bool decodeRecord(const unsigned char* packet, std::size_t length, CaptureRecord& record,
                  std::string* error = nullptr);

// Classic pcap: the file header, and a record as it stands in the file (packet header, then
// the packet).
std::vector<unsigned char> encodeFileHeader();
void appendPacket(std::vector<unsigned char>& out, const CaptureRecord& record);

// pcapng: the blocks as they stand in the file.
std::vector<unsigned char> encodeSectionHeader(const CaptureSection& section);
std::vector<unsigned char> encodeInterface(const CaptureInterface& phone);
// An enhanced packet block of the record, on the interface of its equipment number.
void appendRecordBlock(std::vector<unsigned char>& out, const CaptureRecord& record);
std::vector<unsigned char> encodeStatistics(const CaptureStatistics& statistics);

// The bytes a record takes in a file of the format.
std::size_t recordFileSize(CaptureFormat format, const CaptureRecord& record);

}  // namespace host
