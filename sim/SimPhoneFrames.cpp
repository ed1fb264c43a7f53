#include "sim/SimPhoneFrames.h"

#include <algorithm>

#include "framework/core/Bytes.h"

namespace sim {

namespace {

// Routing of the phone's frames.
constexpr std::uint32_t kSourceProcessor = 0;
constexpr std::uint32_t kDestProcessor = 1;
constexpr std::uint32_t kSourceNode = 3;
constexpr std::uint32_t kDestNode = 0;

using Layout = vela::TvpLayout;
constexpr std::uint8_t kProbeInject = Layout::kDataIdProbeInject;
constexpr std::uint8_t kCommandAck = Layout::kDataIdCommandAck;
constexpr std::uint8_t kError = Layout::kDataIdError;

SimPhoneFrames::Bytes commandAck(std::uint8_t ackId, std::uint8_t seqNo, std::size_t dataBytes) {
    SimPhoneFrames::Bytes frame(Layout::kCommandFixedSize + dataBytes);
    SimPhoneFrames::writeHeader(frame.data(), static_cast<std::uint32_t>(frame.size()),
                                kCommandAck);
    frame[Layout::kCommandIdOffset] = ackId;
    frame[Layout::kCommandSeqNoOffset] = seqNo;
    return frame;
}

}  // namespace

void SimPhoneFrames::writeHeader(std::uint8_t* p, std::uint32_t size, std::uint8_t dataId) {
    using L = vela::TvpLayout;
    std::uint32_t word = (size & L::kSizeMask) | (kSourceProcessor << L::kSourceProcessorShift) |
                         (kDestProcessor << L::kDestProcessorShift) |
                         (kSourceNode << L::kSourceNodeShift) | (kDestNode << L::kDestNodeShift) |
                         (static_cast<std::uint32_t>(dataId & L::kFieldMask) << L::kDataIdShift);
    core::writeU4(p, word);
}

std::uint32_t SimPhoneFrames::frameLength(const std::uint8_t* p) {
    return core::readU4(p) & vela::TvpLayout::kSizeMask;
}

std::uint8_t SimPhoneFrames::dataId(const std::uint8_t* p) {
    return static_cast<std::uint8_t>(core::readU4(p) >> vela::TvpLayout::kDataIdShift);
}

SimPhoneFrames::Bytes SimPhoneFrames::setTimeStampAck(std::uint8_t seqNo, std::uint16_t result) {
    Bytes frame = commandAck(8, seqNo, 2);
    core::writeU2(&frame[6], result);
    return frame;
}

SimPhoneFrames::Bytes SimPhoneFrames::setProbeModeAck(std::uint8_t seqNo, std::uint16_t probeId,
                                                      std::uint16_t result) {
    Bytes frame = commandAck(1, seqNo, 4);
    core::writeU2(&frame[6], probeId);
    core::writeU2(&frame[8], result);
    return frame;
}

SimPhoneFrames::Bytes SimPhoneFrames::executeTestCodeAck(
    std::uint8_t seqNo, std::uint8_t callbackId, std::uint16_t testCodeNumber, std::uint16_t result,
    std::uint16_t numberOfArgs, const Bytes& args) {
    std::size_t argBytes = std::min<std::size_t>(args.size(), kMaxFrameSize - 13);
    Bytes frame = commandAck(3, seqNo, 7 + argBytes);
    frame[6] = callbackId;
    core::writeU2(&frame[7], testCodeNumber);
    core::writeU2(&frame[9], result);
    core::writeU2(&frame[11], numberOfArgs);
    std::copy_n(args.begin(), argBytes, frame.begin() + 13);
    return frame;
}

SimPhoneFrames::Bytes SimPhoneFrames::error(const Bytes& data) {
    std::size_t dataBytes = std::min<std::size_t>(data.size(), kMaxFrameSize - 4);
    Bytes frame(4 + dataBytes);
    writeHeader(frame.data(), static_cast<std::uint32_t>(frame.size()), kError);
    std::copy_n(data.begin(), dataBytes, frame.begin() + 4);
    return frame;
}

unsigned int SimPhoneFrames::clampProbeFrameSize(unsigned int frameSize) {
    return std::clamp(frameSize, kMinProbeFrameSize, kMaxProbeFrameSize);
}

void SimPhoneFrames::appendProbe(Bytes& out, unsigned int frameSize, std::uint32_t timeStamp,
                                 std::uint16_t seqNo, std::uint16_t probeId,
                                 std::uint64_t runningNumber) {
    frameSize = clampProbeFrameSize(frameSize);
    std::size_t start = out.size();
    out.resize(start + frameSize);
    std::uint8_t* p = out.data() + start;
    auto payload = static_cast<std::uint16_t>(frameSize - kProbeFixedSize);
    writeHeader(p, frameSize, kProbeInject);
    p[Layout::kProbeInjectIdOffset] = 0;  // probe
    core::writeU4(p + Layout::kProbeTimeStampOffset, timeStamp);
    core::writeU2(p + Layout::kProbeSeqNoOffset, seqNo);
    core::writeU2(p + Layout::kProbeIdOffset, probeId);
    core::writeU4(p + Layout::kProbeDataByteSizeOffset, payload);
    p[Layout::kProbeDataIdTypeOffset] = 4;  // elements are bytes
    core::writeU2(p + Layout::kProbeNumberOfDataElemOffset, payload);
    std::uint8_t* data = p + kProbeFixedSize;
    core::writeU8(data, runningNumber);
    for (unsigned int k = 8; k < payload; ++k)
        data[k] = static_cast<std::uint8_t>(runningNumber + k);
}

}  // namespace sim
