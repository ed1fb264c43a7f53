// Helpers of the capture-file tests: scratch paths, numbered records, and counting what a
// file holds.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "host/CaptureReader.h"
#include "host/CaptureWriter.h"

namespace capturetest {

// A path in the temporary folder, unique to this process.
inline std::string tempPath(const char* name) {
    return (std::filesystem::temp_directory_path() /
            (std::string(name) + std::to_string(::getpid())))
        .string();
}

// A record of channel type 2 whose number and bytes are n.
inline host::CaptureRecord numbered(std::uint32_t n, std::size_t size = 8) {
    host::CaptureRecord r;
    r.channelType = 2;
    r.recordNumber = n;
    r.bytes.assign(size, static_cast<unsigned char>(n));
    return r;
}

// The whole records of a file; the packets that are not records counted in unreadable.
inline std::uint64_t recordsIn(const std::string& path, std::uint64_t* unreadable = nullptr) {
    host::CaptureReader reader;
    EXPECT_TRUE(reader.open(path));
    host::CaptureRecord r;
    std::uint64_t whole = 0, bad = 0;
    for (int got; (got = reader.next(r)) != 0;)
        ++(got > 0 ? whole : bad);
    if (unreadable)
        *unreadable = bad;
    return whole;
}

}  // namespace capturetest
