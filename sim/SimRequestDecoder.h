// The simulated phone's own reading of the command requests it receives, written from the TVP
// byte layout alone (it shares no parsing code with the component, so that a fault in the
// component's parser shows in the tests that talk to this phone).
//
// Request frame (all fields little-endian):
//   offset 0   header: bits 0-16 size of the whole frame, bits 29-31 data id (1 = request)
//   offset 4   request id: 1 SetProbeMode, 3 ExecuteTestCode, 7 SetTimeStamp
//   offset 5   sequence number
//   SetProbeMode (9 bytes):     6 probe id u16, 8 mode u8
//   SetTimeStamp (7 bytes):     6 time type u8
//   ExecuteTestCode (11 + n):   6 callback id u8, 7 test code number u16, 9 size of args u16,
//                               11 argument block of that size (it must fit the frame)
//
// Argument block: arguments, each  number u16 | length u32 | element type u8 | element
// count u16 | `length` bytes of elements, then the terminator FF FF (a block may also end
// right after its last argument).
//
// A Common Control message (callback id 0xAA): bit 0 of the test code number is the operation
// type (0 SET, 1 GET); its block holds one argument of element type 4 whose element count is
// the byte count of its information elements (IEI u8 | length u8 | value), or no argument.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "protocol/TvpLayout.h"

namespace sim {

class SimRequestDecoder {
  public:
    using Bytes = std::vector<std::uint8_t>;

    enum RequestId : std::uint8_t { SET_PROBE_MODE = 1, EXECUTE_TEST_CODE = 3, SET_TIME_STAMP = 7 };
    static constexpr std::uint8_t kCommandReq = vela::TvpLayout::kDataIdCommandReq;
    static constexpr std::uint8_t kCommonControlCallbackId = 0xAA;
    static constexpr std::uint8_t kCommonControlSet = 0;
    static constexpr std::uint8_t kShortElement = 0;  // element type of a u16
    static constexpr std::uint8_t kByteElement = 4;   // element type of a byte

    struct Request {
        std::uint8_t id = 0;
        std::uint8_t seqNo = 0;
        // SetProbeMode
        std::uint16_t probeId = 0;
        std::uint8_t probeMode = 0;
        // SetTimeStamp
        std::uint8_t timeType = 0;
        // ExecuteTestCode
        std::uint8_t callbackId = 0;
        std::uint16_t testCodeNumber = 0;
        Bytes args;
    };

    struct Argument {
        std::uint16_t number = 0;
        std::uint8_t elementType = 0;
        std::uint16_t elementCount = 0;
        Bytes elements;
    };

    struct InformationElement {
        std::uint8_t iei = 0;
        Bytes value;
    };

    struct CommonControlMessage {
        std::uint8_t operationType = 0;
        std::vector<InformationElement> ies;
    };

    // One whole frame of `length` bytes (its size field must say `length`): the request, or
    // nothing for a frame that is not a request the phone knows or is too short for its kind.
    static std::optional<Request> decode(const std::uint8_t* frame, std::size_t length);

    // The arguments of a block; nothing if it does not decode.
    static std::optional<std::vector<Argument>> arguments(const Bytes& block);
    // The first element of the first argument when that argument holds u16 elements.
    static std::optional<std::uint16_t> firstShort(const Bytes& block);
    // A Common Control message from its test code number and argument block.
    static std::optional<CommonControlMessage> commonControl(std::uint16_t testCodeNumber,
                                                             const Bytes& block);
    // The argument block of a Common Control message holding `ies`.
    static Bytes encodeCommonControl(const std::vector<InformationElement>& ies);
};

}  // namespace sim
