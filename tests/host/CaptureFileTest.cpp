#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "host/CaptureReader.h"
#include "host/CaptureWriter.h"
#include "tests/host/CaptureTestSupport.h"

namespace {

using capturetest::numbered;
using capturetest::recordsIn;
using capturetest::tempPath;

TEST(CaptureRecord, ExactBytes) {
    host::CaptureRecord r;
    r.channelType = 2;
    r.equipment = 1;
    r.recordNumber = 0x01020304;
    r.timeMicros = 0x1122334455667788ull;
    r.bytes = {0x09, 0x00, 0x02, 0x2C};
    auto p = host::encodeRecord(r);
    std::vector<unsigned char> expected = {0x01, 0x02, 0x00, 0x01, 0x04, 0x03, 0x02, 0x01,
                                           0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,
                                           0x04, 0x00, 0x00, 0x00, 0x09, 0x00, 0x02, 0x2C};
    EXPECT_EQ(p, expected);

    host::CaptureRecord back;
    ASSERT_TRUE(host::decodeRecord(p.data(), p.size(), back));
    EXPECT_EQ(back.recordNumber, r.recordNumber);
    EXPECT_EQ(back.bytes, r.bytes);

    std::string error;
    EXPECT_FALSE(host::decodeRecord(p.data(), p.size() - 1, back, &error));
    EXPECT_EQ(error, "record length does not match the packet");
    EXPECT_FALSE(host::decodeRecord(p.data(), 10, back, &error));
    p[0] = 9;
    EXPECT_FALSE(host::decodeRecord(p.data(), p.size(), back, &error));
}

TEST(CaptureFile, WriteThenReadBack) {
    std::string path = tempPath("capture-test.pcap");
    {
        host::CaptureWriter w;
        ASSERT_TRUE(w.open(path));
        for (std::uint32_t i = 0; i < 100; ++i) {
            host::CaptureRecord r;
            r.channelType = i % 2 ? 5 : 2;
            r.recordNumber = i;
            r.timeMicros = 1700000000000000ull + i;
            r.bytes.assign(i, static_cast<unsigned char>(i));
            ASSERT_TRUE(w.write(r));
        }
        EXPECT_EQ(w.getRecordCount(), 100u);
    }
    host::CaptureReader reader;
    ASSERT_TRUE(reader.open(path));
    host::CaptureRecord r;
    std::uint32_t n = 0;
    while (reader.next(r) == 1) {
        EXPECT_EQ(r.recordNumber, n);
        EXPECT_EQ(r.bytes.size(), n);
        EXPECT_EQ(r.timeMicros, 1700000000000000ull + n);
        ++n;
    }
    EXPECT_EQ(n, 100u);
    std::remove(path.c_str());
}

TEST(CaptureFile, ClearErrors) {
    host::CaptureReader reader;
    std::string error;
    EXPECT_FALSE(reader.open("/nonexistent/file.pcap", &error));
    EXPECT_FALSE(error.empty());
    std::string path = tempPath("not-a-capture");
    std::ofstream(path) << "hello";
    EXPECT_FALSE(reader.open(path, &error));
    std::remove(path.c_str());
    host::CaptureWriter w;
    const std::string missing = tempPath("no-such-folder") + "/x.pcap";
    EXPECT_FALSE(w.open(missing, &error));
    EXPECT_EQ(error.rfind(missing + ": ", 0), 0u) << error;
    EXPECT_GT(error.size(), missing.size() + 2);
    EXPECT_FALSE(w.write(host::CaptureRecord{}));
    EXPECT_FALSE(w.isOpen());
}

TEST(CaptureWriter, RecordsReachTheFileWholeAtAFlush) {
    std::string path = tempPath("capture-flush.pcap");
    host::CaptureWriter w;
    ASSERT_TRUE(w.open(path, {host::CaptureFormat::Pcap, {}, {}, {}}));
    EXPECT_EQ(w.nextFlushDue(), std::chrono::steady_clock::time_point::max());
    const auto before = std::chrono::steady_clock::now();
    for (std::uint32_t i = 0; i < 3; ++i)
        ASSERT_TRUE(w.write(numbered(i)));
    // Waiting in the writer, due within the interval; the file has its header and no part of
    // a record.
    EXPECT_LE(w.nextFlushDue(), before + host::CaptureWriter::kFlushInterval);
    EXPECT_EQ(std::filesystem::file_size(path), 24u);
    EXPECT_EQ(recordsIn(path), 0u);
    ASSERT_TRUE(w.flush());
    EXPECT_EQ(w.nextFlushDue(), std::chrono::steady_clock::time_point::max());
    EXPECT_EQ(recordsIn(path), 3u);
    EXPECT_TRUE(w.close());
    std::remove(path.c_str());
}

}  // namespace

namespace {

using Bytes = std::vector<unsigned char>;

const Bytes kFileHeader = {0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x93, 0x00, 0x00, 0x00};

// One record of channel 5 from phone 2, number 7, taken at 1700000000.123456 s.
const Bytes kPacket = {
    0x00, 0xF1, 0x53, 0x65, 0x40, 0xE2, 0x01, 0x00,  // seconds, microseconds
    0x17, 0x00, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00,  // captured and original length: 23
    0x01, 0x05, 0x00, 0x02, 0x07, 0x00, 0x00, 0x00,  // version, channel, direction, phone, number
    0x40, 0x22, 0x20, 0x18, 0x24, 0x0A, 0x06, 0x00,  // the time in microseconds
    0x03, 0x00, 0x00, 0x00, 'a',  'b',  '\n'};       // length, the frame

host::CaptureRecord packetRecord() {
    host::CaptureRecord r;
    r.channelType = 5;
    r.equipment = 2;
    r.recordNumber = 7;
    r.timeMicros = 1700000000123456ull;
    r.bytes = {'a', 'b', '\n'};
    return r;
}

Bytes fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The same record in a file of the other byte order with nanosecond stamps.
Bytes bigEndianNanos() {
    Bytes header = {0xA1, 0xB2, 0x3C, 0x4D, 0x00, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00,
                    0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x93};
    Bytes packet = {0x65, 0x53, 0xF1, 0x00, 0x07, 0x5B, 0xCA, 0x00,
                    0x00, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00, 0x17};
    packet.insert(packet.end(), kPacket.begin() + 16, kPacket.end());
    return concat({header, packet});
}

TEST(CaptureFormat, FileHeaderAndPacketBytes) {
    EXPECT_EQ(host::encodeFileHeader(), kFileHeader);
    Bytes out;
    host::appendPacket(out, packetRecord());
    EXPECT_EQ(out, kPacket);

    const std::string path = tempPath("capture-bytes.pcap");
    {
        host::CaptureWriter w;
        ASSERT_TRUE(w.open(path, {host::CaptureFormat::Pcap, {}, {}, {}}));
        EXPECT_EQ(fileBytes(path), kFileHeader);
        ASSERT_TRUE(w.write(packetRecord()));
        ASSERT_TRUE(w.close());
    }
    EXPECT_EQ(fileBytes(path), concat({kFileHeader, kPacket}));
    std::remove(path.c_str());
}

TEST(CaptureFormat, ReadsEitherByteOrderAndEitherStampPrecision) {
    const std::string path = tempPath("capture-other.pcap");
    for (const Bytes& file : {concat({kFileHeader, kPacket}), bigEndianNanos()}) {
        writeBytes(path, file);
        host::CaptureReader reader;
        std::string error;
        ASSERT_TRUE(reader.open(path, &error)) << error;
        host::CaptureRecord r;
        ASSERT_EQ(reader.next(r, &error), 1) << error;
        EXPECT_EQ(r.channelType, 5);
        EXPECT_EQ(r.equipment, 2);
        EXPECT_EQ(r.recordNumber, 7u);
        EXPECT_EQ(r.timeMicros, 1700000000123456ull);
        EXPECT_EQ(r.bytes, (Bytes{'a', 'b', '\n'}));
        EXPECT_EQ(reader.next(r), 0);
        EXPECT_FALSE(reader.endedEarly());
    }
    std::remove(path.c_str());
}

TEST(CaptureFormat, FilesThatAreNotCapturesOfSessions) {
    const std::string path = tempPath("capture-bad.pcap");
    auto openError = [&](const Bytes& file) {
        writeBytes(path, file);
        host::CaptureReader reader;
        std::string error;
        EXPECT_FALSE(reader.open(path, &error));
        return error.substr(std::min(error.size(), path.size() + 2));
    };
    Bytes otherLink = kFileHeader;
    otherLink[20] = 1;
    EXPECT_EQ(openError(otherLink), "not a capture of recorded sessions (link type 1)");
    Bytes otherMagic = kFileHeader;
    otherMagic[0] = 0x00;
    EXPECT_EQ(openError(otherMagic), "unknown file format");
    // The pcapng magic number, and then no byte-order magic.
    Bytes block = kFileHeader;
    block[0] = 0x0A, block[1] = 0x0D, block[2] = 0x0D, block[3] = 0x0A;
    EXPECT_EQ(openError(block), "a section header block of unknown byte order");
    Bytes version = kFileHeader;
    version[4] = 1;
    EXPECT_EQ(openError(version), "unsupported capture file version 1.4");
    EXPECT_EQ(openError(Bytes(kFileHeader.begin(), kFileHeader.begin() + 3)),
              "truncated dump file; tried to read 24 file header bytes, only got 3");
    std::remove(path.c_str());
}

TEST(CaptureFormat, DamagedPackets) {
    const std::string path = tempPath("capture-damaged.pcap");
    // A packet cut short in the capture (captured less than its length) is not a record, and
    // the file reads on after it.
    Bytes cut = kPacket;
    cut[12] = 0x20;
    writeBytes(path, concat({kFileHeader, cut, kPacket}));
    host::CaptureReader reader;
    ASSERT_TRUE(reader.open(path));
    host::CaptureRecord r;
    std::string error;
    EXPECT_EQ(reader.next(r, &error), -1);
    EXPECT_EQ(error, "truncated packet");
    EXPECT_EQ(reader.next(r), 1);
    EXPECT_EQ(reader.next(r), 0);
    EXPECT_FALSE(reader.endedEarly());

    // A length past any packet's ends the file there instead of taking the rest as one.
    Bytes huge = kPacket;
    huge[10] = 0x40;  // 0x400017 bytes
    writeBytes(path, concat({kFileHeader, kPacket, huge, kPacket}));
    ASSERT_TRUE(reader.open(path));
    EXPECT_EQ(reader.next(r), 1);
    EXPECT_EQ(reader.next(r, &error), -1);
    EXPECT_EQ(error, "invalid packet capture length 4194327, bigger than snaplen of 262144");
    EXPECT_TRUE(reader.endedEarly());
    EXPECT_EQ(reader.next(r), 0);

    // So does one within a damaged file header's snap length of 4 GiB: nothing is allocated
    // for it.
    Bytes anySnap = kFileHeader;
    std::fill(anySnap.begin() + 16, anySnap.begin() + 20, 0xFF);
    Bytes twoGiB = kPacket;
    twoGiB[11] = 0x80;
    writeBytes(path, concat({anySnap, twoGiB}));
    ASSERT_TRUE(reader.open(path));
    EXPECT_EQ(reader.next(r, &error), -1);
    EXPECT_EQ(error, "invalid packet capture length 2147483671, bigger than snaplen of 262144");

    // A packet header cut short.
    writeBytes(path, concat({kFileHeader, Bytes(kPacket.begin(), kPacket.begin() + 9)}));
    ASSERT_TRUE(reader.open(path));
    EXPECT_EQ(reader.next(r, &error), -1);
    EXPECT_EQ(error, "truncated dump file; tried to read 16 header bytes, only got 9");
    EXPECT_TRUE(reader.endedEarly());
    reader.close();
    std::remove(path.c_str());
}

}  // namespace
