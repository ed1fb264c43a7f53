// Little-endian reads and writes of unaligned fields.
#pragma once

#include <cstdint>
#include <cstring>

namespace core {

inline std::uint16_t readU2(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t readU4(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t readU8(const unsigned char* p) {
    return static_cast<std::uint64_t>(readU4(p)) |
           (static_cast<std::uint64_t>(readU4(p + 4)) << 32);
}
inline void writeU2(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void writeU4(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void writeU8(unsigned char* p, std::uint64_t v) {
    writeU4(p, static_cast<std::uint32_t>(v));
    writeU4(p + 4, static_cast<std::uint32_t>(v >> 32));
}
inline float readF4(const unsigned char* p) {
    std::uint32_t bits = readU4(p);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}
inline void writeF4(unsigned char* p, float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, 4);
    writeU4(p, bits);
}

}  // namespace core
