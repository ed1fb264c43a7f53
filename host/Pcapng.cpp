#include "host/Pcapng.h"

#include "framework/core/Bytes.h"

namespace host::pcapng {

BlockBuilder::BlockBuilder(std::vector<unsigned char>& out, std::uint32_t type)
    : m_out(out), m_start(out.size()) {
    u32(type);
    u32(0);  // the total length, known at finish()
}

void BlockBuilder::u16(std::uint16_t v) {
    const std::size_t at = m_out.size();
    m_out.resize(at + 2);
    core::writeU2(&m_out[at], v);
}

void BlockBuilder::u32(std::uint32_t v) {
    const std::size_t at = m_out.size();
    m_out.resize(at + 4);
    core::writeU4(&m_out[at], v);
}

void BlockBuilder::u64Halves(std::uint64_t v) {
    u32(static_cast<std::uint32_t>(v >> 32));
    u32(static_cast<std::uint32_t>(v));
}

void BlockBuilder::bytes(const void* data, std::size_t length) {
    const auto* p = static_cast<const unsigned char*>(data);
    m_out.insert(m_out.end(), p, p + length);
}

void BlockBuilder::pad() {
    while ((m_out.size() - m_start) % 4)
        m_out.push_back(0);
}

void BlockBuilder::option(std::uint16_t code, const void* value, std::size_t length) {
    u16(code);
    u16(static_cast<std::uint16_t>(length));
    bytes(value, length);
    pad();
    m_options = true;
}

void BlockBuilder::option(std::uint16_t code, const std::string& value) {
    // An option holds at most 65535 bytes; a longer text is cut.
    option(code, value.data(), value.size() < 0xFFFF ? value.size() : 0xFFFF);
}

void BlockBuilder::optionU32(std::uint16_t code, std::uint32_t v) {
    unsigned char b[4];
    core::writeU4(b, v);
    option(code, b, sizeof b);
}

void BlockBuilder::optionU64(std::uint16_t code, std::uint64_t v) {
    unsigned char b[8];
    core::writeU8(b, v);
    option(code, b, sizeof b);
}

void BlockBuilder::optionTime(std::uint16_t code, std::uint64_t v) {
    unsigned char b[8];
    core::writeU4(b, static_cast<std::uint32_t>(v >> 32));
    core::writeU4(b + 4, static_cast<std::uint32_t>(v));
    option(code, b, sizeof b);
}

void BlockBuilder::finish() {
    if (m_options) {
        u16(kEndOfOptions);
        u16(0);
    }
    pad();
    const auto length = static_cast<std::uint32_t>(m_out.size() - m_start + 4);
    u32(length);
    core::writeU4(&m_out[m_start + 4], length);
}

std::uint16_t read16(const unsigned char* p, bool swapped) {
    return swapped ? static_cast<std::uint16_t>(p[0] << 8 | p[1]) : core::readU2(p);
}

std::uint32_t read32(const unsigned char* p, bool swapped) {
    if (!swapped)
        return core::readU4(p);
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

std::uint64_t read64(const unsigned char* p, bool swapped) {
    const std::uint64_t first = read32(p, swapped), second = read32(p + 4, swapped);
    return swapped ? first << 32 | second : second << 32 | first;
}

std::uint64_t readHalves(const unsigned char* p, bool swapped) {
    return static_cast<std::uint64_t>(read32(p, swapped)) << 32 | read32(p + 4, swapped);
}

bool readOptions(const unsigned char* p, std::size_t length, bool swapped,
                 std::vector<Option>& options) {
    std::size_t at = 0;
    while (at + 4 <= length) {
        const std::uint16_t code = read16(p + at, swapped);
        const std::uint16_t size = read16(p + at + 2, swapped);
        at += 4;
        if (code == kEndOfOptions)
            return true;
        if (size > length - at)
            return false;
        options.push_back({code, std::string(reinterpret_cast<const char*>(p + at), size)});
        at += (static_cast<std::size_t>(size) + 3) & ~std::size_t{3};
    }
    // Options may end with the body, without option 0.
    return true;
}

}  // namespace host::pcapng
