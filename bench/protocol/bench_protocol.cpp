// Parse rate of the frame factory for 64-byte probe frames from the phone, and encode rate of
// set-probe-mode requests (build, set the sequence number, take the bytes to send). One core.
#include <chrono>
#include <cstdio>
#include <vector>

#include "framework/core/Bytes.h"
#include "protocol/TvpCommandReq.h"
#include "protocol/TvpIoProtocolFactory.h"
#include "protocol/TvpProbeInject.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<unsigned char> probeFrame() {
    std::vector<unsigned char> b(64, 0);
    core::writeU4(b.data(), 64u | (1u << 17) | (3u << 26));  // size 64, data id 0
    b[4] = 0;                                                // probe
    core::writeU4(b.data() + 5, 0x12345678);                 // time stamp
    core::writeU2(b.data() + 9, 1);                          // sequence number
    core::writeU2(b.data() + 11, 700);                       // probe id
    core::writeU4(b.data() + 13, 44);                        // data byte size
    b[17] = vela::TVP_DATA_U8;
    core::writeU2(b.data() + 18, 44);
    for (int i = 20; i < 64; ++i)
        b[i] = static_cast<unsigned char>(i);
    return b;
}

double seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

}  // namespace

int main() {
    const long n = 5000000;
    const std::vector<unsigned char> frame = probeFrame();
    core::RCPtr<vela::TvpIoProtocolFactory> factory(
        new vela::TvpIoProtocolFactory(vela::TvpIoProtocol::FROM_UE));

    // Parse: one frame object per block, as the engine makes them.
    unsigned long check = 0;
    auto t0 = Clock::now();
    for (long i = 0; i < n; ++i) {
        core::RCPtr<dsrc::DataSourceFrame> f = factory->create(frame.data(), 64);
        check += static_cast<vela::TvpProbe*>(f.get())->getProbeId();
    }
    double parse = seconds(t0);
    if (check != 700ul * n) {
        std::fprintf(stderr, "parse check failed\n");
        return 1;
    }

    // Encode: build, stamp the sequence number, take the bytes.
    t0 = Clock::now();
    for (long i = 0; i < n; ++i) {
        core::RCPtr<vela::TvpCommandSetProbeModeReq> req(new vela::TvpCommandSetProbeModeReq(
            static_cast<std::uint16_t>(i), vela::TvpCommandSetProbeModeReq::PROBE_MODE_ON));
        req->setSeqNo(static_cast<unsigned char>(i));
        check += req->getFrame()->getInternalData()[5];
    }
    double encode = seconds(t0);

    std::printf(
        "factory parse, 64-byte probe frames: %.2f M frames/s (%.0f ns/frame; goal 5 M/s: %s)\n",
        n / parse / 1e6, parse / n * 1e9, n / parse >= 5e6 ? "met" : "missed");
    std::printf("set-probe-mode request encode:       %.2f M frames/s (%.0f ns/frame)\n",
                n / encode / 1e6, encode / n * 1e9);
    return check == 0 ? 1 : 0;
}
