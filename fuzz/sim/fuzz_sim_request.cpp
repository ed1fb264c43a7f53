// The simulated phone's request decoder: a fuzzed block as a whole request frame (its size field
// made to match, so that every request kind is reached) and as an argument block. Whatever
// decodes must stay within the block, and a Common Control message read back from its own
// encoding must give the same elements.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sim/SimRequestDecoder.h"

namespace {

using sim::SimRequestDecoder;

void require(bool ok, const char* what) {
    if (ok)
        return;
    std::fprintf(stderr, "sim request decoder: %s\n", what);
    std::abort();
}

void checkBlock(std::uint16_t testCodeNumber, const SimRequestDecoder::Bytes& block) {
    if (auto arguments = SimRequestDecoder::arguments(block)) {
        std::size_t bytes = 0;
        for (const auto& argument : *arguments)
            bytes += 9 + argument.elements.size();
        require(bytes <= block.size(), "arguments larger than their block");
    }
    SimRequestDecoder::firstShort(block);
    auto message = SimRequestDecoder::commonControl(testCodeNumber, block);
    if (!message)
        return;
    auto again = SimRequestDecoder::commonControl(
        testCodeNumber, SimRequestDecoder::encodeCommonControl(message->ies));
    require(again.has_value(), "own Common Control encoding does not decode");
    require(again->ies.size() == message->ies.size(), "IE count changed");
    for (std::size_t i = 0; i < message->ies.size(); ++i)
        require(again->ies[i].iei == message->ies[i].iei &&
                    again->ies[i].value == message->ies[i].value,
                "IE changed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    std::vector<std::uint8_t> frame(data, data + size);
    SimRequestDecoder::decode(frame.data(), frame.size());
    if (frame.size() >= 4 && frame.size() <= vela::TvpLayout::kSizeMask) {
        frame[0] = static_cast<std::uint8_t>(frame.size());
        frame[1] = static_cast<std::uint8_t>(frame.size() >> 8);
        frame[2] = static_cast<std::uint8_t>((frame[2] & 0xFE) | ((frame.size() >> 16) & 1));
        frame[3] = static_cast<std::uint8_t>((frame[3] & 0x1F) | (1 << 5));
        if (auto request = SimRequestDecoder::decode(frame.data(), frame.size())) {
            require(request->args.size() + 11 <= frame.size() || request->args.empty(),
                    "arguments larger than the frame");
            checkBlock(request->testCodeNumber, request->args);
        }
    }
    checkBlock(0, SimRequestDecoder::Bytes(data, data + size));
    return 0;
}
