#include "sim/SimRequestDecoder.h"

#include <algorithm>

#include "framework/core/Bytes.h"
#include "protocol/TvpLayout.h"

namespace sim {

namespace {

using Layout = vela::TvpLayout;
constexpr std::size_t kHeaderSize = Layout::kHeaderSize;
constexpr std::uint32_t kSizeMask = Layout::kSizeMask;
constexpr unsigned kDataIdShift = Layout::kDataIdShift;
constexpr std::size_t kRequestFixedSize = Layout::kCommandFixedSize;
constexpr std::size_t kSetProbeModeSize = 9;
constexpr std::size_t kSetTimeStampSize = 7;
constexpr std::size_t kExecuteTestCodeFixedSize = 11;
constexpr std::size_t kArgumentHeaderSize = 9;
constexpr std::uint16_t kTerminator = 0xFFFF;

}  // namespace

std::optional<SimRequestDecoder::Request> SimRequestDecoder::decode(const std::uint8_t* frame,
                                                                    std::size_t length) {
    if (length < kHeaderSize)
        return std::nullopt;
    std::uint32_t header = core::readU4(frame);
    if ((header & kSizeMask) != length || (header >> kDataIdShift) != kCommandReq ||
        length < kRequestFixedSize)
        return std::nullopt;
    Request request;
    request.id = frame[Layout::kCommandIdOffset];
    request.seqNo = frame[Layout::kCommandSeqNoOffset];
    switch (request.id) {
        case SET_PROBE_MODE:
            if (length < kSetProbeModeSize)
                return std::nullopt;
            request.probeId = core::readU2(frame + 6);
            request.probeMode = frame[8];
            return request;
        case SET_TIME_STAMP:
            if (length < kSetTimeStampSize)
                return std::nullopt;
            request.timeType = frame[6];
            return request;
        case EXECUTE_TEST_CODE: {
            if (length < kExecuteTestCodeFixedSize)
                return std::nullopt;
            request.callbackId = frame[6];
            request.testCodeNumber = core::readU2(frame + 7);
            std::size_t sizeOfArgs = core::readU2(frame + 9);
            if (sizeOfArgs > length - kExecuteTestCodeFixedSize)
                return std::nullopt;
            const std::uint8_t* args = frame + kExecuteTestCodeFixedSize;
            request.args.assign(args, args + sizeOfArgs);
            return request;
        }
        default:
            return std::nullopt;
    }
}

std::optional<std::vector<SimRequestDecoder::Argument>> SimRequestDecoder::arguments(
    const Bytes& block) {
    std::vector<Argument> result;
    std::size_t at = 0;
    while (at < block.size()) {
        std::size_t left = block.size() - at;
        if (left == 2)
            return core::readU2(&block[at]) == kTerminator ? std::optional(result) : std::nullopt;
        if (left < kArgumentHeaderSize)
            return std::nullopt;
        Argument argument;
        argument.number = core::readU2(&block[at]);
        std::uint32_t elementBytes = core::readU4(&block[at + 2]);
        argument.elementType = block[at + 6];
        argument.elementCount = core::readU2(&block[at + 7]);
        if (elementBytes > left - kArgumentHeaderSize)
            return std::nullopt;
        auto first = block.begin() + static_cast<std::ptrdiff_t>(at + kArgumentHeaderSize);
        argument.elements.assign(first, first + static_cast<std::ptrdiff_t>(elementBytes));
        at += kArgumentHeaderSize + elementBytes;
        result.push_back(std::move(argument));
    }
    return result;
}

std::optional<std::uint16_t> SimRequestDecoder::firstShort(const Bytes& block) {
    auto decoded = arguments(block);
    if (!decoded || decoded->empty())
        return std::nullopt;
    const Argument& first = decoded->front();
    if (first.elementType != kShortElement || first.elementCount == 0 || first.elements.size() < 2)
        return std::nullopt;
    return core::readU2(first.elements.data());
}

std::optional<SimRequestDecoder::CommonControlMessage> SimRequestDecoder::commonControl(
    std::uint16_t testCodeNumber, const Bytes& block) {
    auto decoded = arguments(block);
    if (!decoded || decoded->size() > 1)
        return std::nullopt;
    CommonControlMessage message;
    message.operationType = static_cast<std::uint8_t>(testCodeNumber & 1);
    if (decoded->empty())
        return message;
    const Argument& argument = decoded->front();
    if (argument.elementType != kByteElement || argument.elementCount != argument.elements.size())
        return std::nullopt;
    const Bytes& bytes = argument.elements;
    for (std::size_t at = 0; at < bytes.size();) {
        if (bytes.size() - at < 2 || bytes[at + 1] > bytes.size() - at - 2)
            return std::nullopt;
        InformationElement ie;
        ie.iei = bytes[at];
        auto value = bytes.begin() + static_cast<std::ptrdiff_t>(at + 2);
        ie.value.assign(value, value + bytes[at + 1]);
        at += 2 + ie.value.size();
        message.ies.push_back(std::move(ie));
    }
    return message;
}

SimRequestDecoder::Bytes SimRequestDecoder::encodeCommonControl(
    const std::vector<InformationElement>& ies) {
    Bytes elements;
    for (const auto& ie : ies) {
        elements.push_back(ie.iei);
        elements.push_back(static_cast<std::uint8_t>(ie.value.size()));
        elements.insert(elements.end(), ie.value.begin(), ie.value.end());
    }
    // Made at its whole size and written in place: GCC 12 at -O3 takes an insert behind the
    // resized header for a write out of bounds (a false -Warray-bounds).
    const std::size_t blockSize = elements.empty() ? 0 : kArgumentHeaderSize + elements.size();
    Bytes block(blockSize + 2);
    if (!elements.empty()) {
        core::writeU2(&block[0], 0);
        core::writeU4(&block[2], static_cast<std::uint32_t>(elements.size()));
        block[6] = kByteElement;
        core::writeU2(&block[7], static_cast<std::uint16_t>(elements.size()));
        std::copy(elements.begin(), elements.end(), block.begin() + kArgumentHeaderSize);
    }
    block[blockSize] = 0xFF;
    block[blockSize + 1] = 0xFF;
    return block;
}

}  // namespace sim
