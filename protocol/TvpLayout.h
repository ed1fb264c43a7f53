// The byte layout of a TVP frame: the header's bit fields, the frame kinds, the fixed parts of
// the command and probe frames as plain numbers, and the readers of those fields from a
// frame's bytes. No dependencies, so that every reader of TVP bytes (the frame classes, the
// factory, the channel's cutter, the recorder, the fuzz targets, the tests) reads them one way;
// tools/wireshark/gen_probe_names.py copies the numbers into the dissector. All fields are
// little-endian; offsets are from the frame's first byte.
#pragma once

#include <cstdint>

namespace vela {

struct TvpLayout {
    // Header: one 32-bit word.
    static constexpr std::uint32_t kHeaderSize = 4;
    static constexpr std::uint32_t kSizeMask = 0x1FFFF;  // bits 0-16: whole frame, header included
    static constexpr std::uint32_t kSourceProcessorShift = 17;
    static constexpr std::uint32_t kDestProcessorShift = 20;
    static constexpr std::uint32_t kSourceNodeShift = 23;
    static constexpr std::uint32_t kDestNodeShift = 26;
    static constexpr std::uint32_t kDataIdShift = 29;
    static constexpr std::uint32_t kFieldMask = 0x7;  // the 3-bit fields above

    // Data ids.
    static constexpr std::uint32_t kDataIdProbeInject = 0;
    static constexpr std::uint32_t kDataIdCommandReq = 1;
    static constexpr std::uint32_t kDataIdCommandAck = 2;
    static constexpr std::uint32_t kDataIdError = 3;

    // Command request and acknowledgement.
    static constexpr std::uint32_t kCommandIdOffset = 4;
    static constexpr std::uint32_t kCommandSeqNoOffset = 5;
    static constexpr std::uint32_t kCommandFixedSize = 6;

    // Probe and inject frames: the selector byte, then the probe's fields.
    static constexpr std::uint32_t kProbeInjectIdOffset = 4;
    static constexpr std::uint32_t kProbeTimeStampOffset = 5;
    static constexpr std::uint32_t kProbeSeqNoOffset = 9;
    static constexpr std::uint32_t kProbeIdOffset = 11;
    static constexpr std::uint32_t kProbeDataByteSizeOffset = 13;
    static constexpr std::uint32_t kProbeDataIdTypeOffset = 17;
    static constexpr std::uint32_t kProbeNumberOfDataElemOffset = 18;
    static constexpr std::uint32_t kProbeFixedSize = 20;
    static constexpr std::uint32_t kInjectFixedSize = 14;

    // Readers of a frame's fields; the caller has checked that the bytes are there (the
    // header's kHeaderSize, a probe's kProbeFixedSize).
    static constexpr std::uint32_t headerWord(const unsigned char* frame) {
        return static_cast<std::uint32_t>(frame[0]) | static_cast<std::uint32_t>(frame[1]) << 8 |
               static_cast<std::uint32_t>(frame[2]) << 16 |
               static_cast<std::uint32_t>(frame[3]) << 24;
    }
    // The whole frame's size, header included.
    static constexpr std::uint32_t frameSize(const unsigned char* frame) {
        return headerWord(frame) & kSizeMask;
    }
    static constexpr std::uint32_t dataId(const unsigned char* frame) {
        return (headerWord(frame) >> kDataIdShift) & kFieldMask;
    }
    static constexpr std::uint16_t u16At(const unsigned char* frame, std::uint32_t offset) {
        return static_cast<std::uint16_t>(frame[offset] | frame[offset + 1] << 8);
    }
    // A probe report: a probe/inject frame whose selector byte is 0.
    static constexpr bool isProbe(const unsigned char* frame, std::uint32_t size) {
        return size >= kProbeFixedSize && dataId(frame) == kDataIdProbeInject &&
               frame[kProbeInjectIdOffset] == 0;
    }
    static constexpr std::uint16_t probeId(const unsigned char* frame) {
        return u16At(frame, kProbeIdOffset);
    }
    static constexpr std::uint16_t probeSeqNo(const unsigned char* frame) {
        return u16At(frame, kProbeSeqNoOffset);
    }
};

}  // namespace vela
