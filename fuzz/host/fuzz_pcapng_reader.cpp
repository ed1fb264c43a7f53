// The capture reader's pcapng blocks: a fuzzed block sequence after a valid section header and
// a phone's interface, read as a whole file. Reading must end (every call takes a block from
// the file), never hold more than the file, and a record it reads must be one the writer can
// write again and read back alike. The options reader is fed the same bytes on its own.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/CaptureFile.h"
#include "host/CaptureReader.h"
#include "host/Pcapng.h"

namespace {

void require(bool ok, const char* what) {
    if (ok)
        return;
    std::fprintf(stderr, "pcapng reader: %s\n", what);
    std::abort();
}

const std::string& scratchPath() {
    static const std::string path =
        "/tmp/fuzz_pcapng_reader." + std::to_string(::getpid()) + ".pcapng";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    std::vector<host::pcapng::Option> options;
    for (bool swapped : {false, true})
        if (host::pcapng::readOptions(data, size, swapped, options))
            for (const auto& o : options)
                require(o.value.size() <= size, "an option larger than its bytes");

    auto file = host::encodeSectionHeader({"fuzz", "", ""});
    const auto phone = host::encodeInterface({"COM5", "", ""});
    file.insert(file.end(), phone.begin(), phone.end());
    file.insert(file.end(), data, data + size);
    std::FILE* out = std::fopen(scratchPath().c_str(), "wb");
    require(out != nullptr, "cannot write the scratch file");
    require(std::fwrite(file.data(), 1, file.size(), out) == file.size(),
            "cannot write the scratch file");
    std::fclose(out);

    host::CaptureReader reader;
    require(reader.open(scratchPath()), "the fixed section header is not read");
    host::CaptureRecord record;
    std::size_t calls = 0;
    std::string error;
    for (int got; (got = reader.next(record, &error)) != 0;) {
        // Each call takes at least one whole block from the file, and the smallest block has
        // 12 bytes (its type and its two lengths): a well-formed packet block takes 32, but a
        // damaged one as short as 12 is passed over as one call that reads no record.
        require(++calls <= size / 12 + 1, "reading does not end");
        if (got < 0)
            continue;
        require(record.bytes.size() <= size, "a record larger than the file");
        std::vector<unsigned char> again;
        host::appendRecordBlock(again, record);
        require(again.size() == host::recordFileSize(host::CaptureFormat::Pcapng, record),
                "a block's size is not what the writer expects");
    }
    // The fixed interface, and one for each interface block of the fuzzed bytes (the reader
    // keeps one cut short as an interface of link type 0, so that the next ones keep their
    // numbers).
    require(reader.interfaces().size() <= size / 12 + 1, "more interfaces than blocks");
    reader.close();
    std::remove(scratchPath().c_str());
    return 0;
}
