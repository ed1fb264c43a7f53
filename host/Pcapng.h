// The pcapng block format: a file is sections, each a section header block and the blocks that
// follow it; every block is its type, its total length, a body padded to 4 bytes and the total
// length again, and most bodies end in options (code, length, value padded to 4 bytes, closed by
// option 0). vela-host writes little-endian sections and reads sections of either byte order.
// What the blocks carry for a capture of phones: CaptureFile.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host::pcapng {

constexpr std::uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescriptionBlock = 1;
constexpr std::uint32_t kInterfaceStatisticsBlock = 5;
constexpr std::uint32_t kEnhancedPacketBlock = 6;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;

// Option codes. Code 1 (a comment) is every block's; the others are the block's own.
constexpr std::uint16_t kEndOfOptions = 0;
constexpr std::uint16_t kComment = 1;
constexpr std::uint16_t kShbHardware = 2;
constexpr std::uint16_t kShbOs = 3;
constexpr std::uint16_t kShbUserApplication = 4;
constexpr std::uint16_t kIfName = 2;
constexpr std::uint16_t kIfDescription = 3;
constexpr std::uint16_t kIfTimestampResolution = 9;
constexpr std::uint16_t kIfHardware = 15;
constexpr std::uint16_t kEpbFlags = 2;
constexpr std::uint16_t kEpbDropCount = 4;
constexpr std::uint16_t kIsbStartTime = 2;
constexpr std::uint16_t kIsbEndTime = 3;
constexpr std::uint16_t kIsbIfReceived = 4;
constexpr std::uint16_t kIsbIfDropped = 5;

// The direction bits of epb_flags.
constexpr std::uint32_t kInbound = 1;
constexpr std::uint32_t kOutbound = 2;

// The fixed parts: block type and total length before the body, the total length after it.
constexpr std::size_t kBlockOverhead = 12;

// Appends one little-endian block to `out`: the body's fields in order, then options; finish()
// closes the options, pads and writes both lengths.
class BlockBuilder {
  public:
    BlockBuilder(std::vector<unsigned char>& out, std::uint32_t type);
    void u16(std::uint16_t v);
    void u32(std::uint32_t v);
    // A 64-bit value as two 32-bit halves, the upper first (time stamps, section length).
    void u64Halves(std::uint64_t v);
    void bytes(const void* data, std::size_t length);
    void pad();  // to a multiple of 4 bytes
    void option(std::uint16_t code, const void* value, std::size_t length);
    void option(std::uint16_t code, const std::string& value);
    void optionU32(std::uint16_t code, std::uint32_t v);
    void optionU64(std::uint16_t code, std::uint64_t v);
    // Options of time stamps: two 32-bit halves, the upper first.
    void optionTime(std::uint16_t code, std::uint64_t v);
    void finish();

  private:
    std::vector<unsigned char>& m_out;
    std::size_t m_start;
    bool m_options = false;
};

struct Option {
    std::uint16_t code;
    std::string value;  // its bytes
};

// The fields of a section whose byte order may be the other one.
std::uint16_t read16(const unsigned char* p, bool swapped);
std::uint32_t read32(const unsigned char* p, bool swapped);
std::uint64_t read64(const unsigned char* p, bool swapped);
// Two 32-bit halves, the upper first.
std::uint64_t readHalves(const unsigned char* p, bool swapped);

// Reads the options from `length` bytes. False when an option runs past them.
bool readOptions(const unsigned char* p, std::size_t length, bool swapped,
                 std::vector<Option>& options);

}  // namespace host::pcapng
