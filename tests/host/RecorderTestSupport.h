// Frames for the recorder's tests: a data-source frame over given bytes, and a probe report of
// the simulated phone with its running number.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "framework/dsrc/DataSourceFrame.h"
#include "sim/SimPhoneFrames.h"

namespace recordertest {

inline core::RCPtr<dsrc::DataSourceFrame> frameOf(const std::vector<std::uint8_t>& bytes) {
    core::RCPtr<dsrc::DataSourceFrame> frame(
        new dsrc::DataSourceFrame(static_cast<unsigned>(bytes.size())));
    if (!bytes.empty())
        std::memcpy(frame->getDataSourceFrameData(), bytes.data(), bytes.size());
    return frame;
}

// A 64-byte probe report of probe `id`.
inline core::RCPtr<dsrc::DataSourceFrame> probe(std::uint16_t id, std::uint64_t runningNumber) {
    sim::SimPhoneFrames::Bytes bytes;
    sim::SimPhoneFrames::appendProbe(bytes, 64, 0, 0, id, runningNumber);
    return frameOf(bytes);
}

}  // namespace recordertest
