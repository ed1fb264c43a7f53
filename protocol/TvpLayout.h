// The byte layout of a TVP frame as plain numbers: the header's bit fields, the frame kinds,
// and the fixed parts of the command and probe frames. No code, no dependencies, so that
// every reader of TVP bytes (the frame classes, the simulated phone, the recorder, the fuzz
// targets, the tests) names the same numbers; tools/wireshark/gen_probe_names.py copies them
// into the dissector. All fields are little-endian; offsets are from the frame's first byte.
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
};

}  // namespace vela
