// The TVP frames that the simulated phone sends, as byte vectors: command acknowledgements,
// probe reports and error frames.
//
// Every frame carries the phone's routing, the mirror of the component's: source processor 0,
// destination processor 1, source node 3, destination node 0.
//
// Probe report layout (data id 0, probe/inject id 0), frameSize bytes in all:
//   offset 0   header
//   offset 4   0 (probe)
//   offset 5   TimeStamp, u32: milliseconds since the phone started
//   offset 9   SeqNo, u16: reports of this probe id so far (wraps at 65536)
//   offset 11  ProbeId, u16
//   offset 13  DataByteSize, u32: payload length
//   offset 17  ProbeDataIdType: 4 (bytes)
//   offset 18  NumberOfDataElem, u16: payload length
//   offset 20  payload:
//              bytes 0-7  u64 running number of the report among all probes of the phone
//              bytes 8-   byte k holds (running number + k) & 0xFF, a pattern to check
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/TvpLayout.h"

namespace sim {

class SimPhoneFrames {
  public:
    using Bytes = std::vector<std::uint8_t>;

    static constexpr unsigned int kProbeFixedSize = vela::TvpLayout::kProbeFixedSize;
    // The running number needs 8 payload bytes; NumberOfDataElem limits the payload.
    static constexpr unsigned int kMinProbeFrameSize = kProbeFixedSize + 8;
    static constexpr unsigned int kMaxProbeFrameSize = kProbeFixedSize + 0xFFFF;
    static constexpr std::uint32_t kMaxFrameSize = vela::TvpLayout::kSizeMask;

    // The 4 header bytes of a frame of `size` bytes (masked to 17 bits) and kind `dataId`.
    static void writeHeader(std::uint8_t* p, std::uint32_t size, std::uint8_t dataId);
    // The frame's length from its first 4 bytes (17 bits).
    static std::uint32_t frameLength(const std::uint8_t* p);
    // The frame kind from its first 4 bytes.
    static std::uint8_t dataId(const std::uint8_t* p);

    static Bytes setTimeStampAck(std::uint8_t seqNo, std::uint16_t result);
    static Bytes setProbeModeAck(std::uint8_t seqNo, std::uint16_t probeId, std::uint16_t result);
    static Bytes executeTestCodeAck(std::uint8_t seqNo, std::uint8_t callbackId,
                                    std::uint16_t testCodeNumber, std::uint16_t result,
                                    std::uint16_t numberOfArgs, const Bytes& args);
    // An error frame holding `data` (cut to what fits the 17-bit length).
    static Bytes error(const Bytes& data);
    // Appends one probe report (layout above) to `out`; frameSize is kept within
    // [kMinProbeFrameSize, kMaxProbeFrameSize].
    static void appendProbe(Bytes& out, unsigned int frameSize, std::uint32_t timeStamp,
                            std::uint16_t seqNo, std::uint16_t probeId,
                            std::uint64_t runningNumber);
    static unsigned int clampProbeFrameSize(unsigned int frameSize);
};

}  // namespace sim
