// The host's capture-file reader: a fuzzed block as a whole capture file (classic pcap or
// pcapng, told apart by its first bytes) and as one packet.
// Reading must end (every call either moves on through the file or ends it), never read past
// what it was given, and a record it decodes must encode to the packet it came from.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/CaptureReader.h"
#include "host/CaptureWriter.h"

namespace {

void require(bool ok, const char* what) {
    if (ok)
        return;
    std::fprintf(stderr, "capture reader: %s\n", what);
    std::abort();
}

const std::string& scratchPath() {
    static const std::string path =
        "/tmp/fuzz_capture_reader." + std::to_string(::getpid()) + ".pcap";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    host::CaptureRecord record;
    if (host::decodeRecord(data, size, record))
        require(host::encodeRecord(record) == std::vector<unsigned char>(data, data + size),
                "a decoded record does not encode to its packet");

    std::FILE* file = std::fopen(scratchPath().c_str(), "wb");
    require(file != nullptr, "cannot write the scratch file");
    require(std::fwrite(data, 1, size, file) == size, "cannot write the scratch file");
    std::fclose(file);

    host::CaptureReader reader;
    if (reader.open(scratchPath())) {
        // Each record takes at least a packet header from the file: more calls than that
        // means the reader is not moving on.
        std::size_t calls = 0;
        std::string error;
        while (reader.next(record, &error) != 0) {
            require(++calls <= size / host::kPacketHeaderSize + 1, "reading does not end");
            require(record.bytes.size() <= size, "a record larger than the file");
        }
    }
    std::remove(scratchPath().c_str());
    return 0;
}
