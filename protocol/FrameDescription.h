// What a TVP frame is, in one line of text and as facts, for everything that shows frames to a
// person or a script: the replay of a capture, its JSON lines and the tests' expectations.
// The short text is what replay prints; the full text adds what the tests compare: the
// frame's route, a request's fields and the payload bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vela {

class TvpIoProtocol;

struct FrameDescription {
    enum class Detail { Short, Full };
    // Names a probe id, or nullptr when it has no name (then only the id is shown).
    using ProbeNamer = const char* (*)(std::uint16_t probeId);

    std::string kind;                      // probe, inject, ack, request, error, other, malformed
    std::string command;                   // of an acknowledgement or a request
    std::optional<std::uint16_t> probeId;  // of a probe report, an injection or a SetProbeMode
    std::optional<unsigned> seq;           // the probe's or the command's sequence number
    std::optional<long> result;            // of an acknowledgement that has one
    std::string text;                      // one line, without a line end

    // A frame the factory made.
    static FrameDescription of(const TvpIoProtocol& frame, Detail detail = Detail::Short,
                               ProbeNamer names = nullptr);
    // Bytes from the phone, cut to one frame: as the component's factory reads them, or
    // "malformed" when it makes no frame of them.
    static FrameDescription ofBytes(const unsigned char* bytes, std::size_t length,
                                    Detail detail = Detail::Short, ProbeNamer names = nullptr);

    // Bytes a short text shows of a frame's data.
    static constexpr std::size_t kShortHex = 24;
    // Bytes as upper-case hex pairs separated by spaces; past `most` bytes, " ..." instead of
    // the rest.
    static std::string hex(const unsigned char* bytes, std::size_t length,
                           std::size_t most = static_cast<std::size_t>(-1));
};

}  // namespace vela
