// The pcapng blocks of a capture, byte by byte, and what the reader makes of files of either
// byte order, of several sections, and of damaged blocks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/CaptureReader.h"
#include "host/CaptureWriter.h"
#include "host/Pcapng.h"
#include "tests/host/CaptureTestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;
using capturetest::tempPath;

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

void writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// The record of the classic-format tests, on phone 1: channel 5, number 7, taken at
// 1700000000.123456 s (0x00060A2418202240 microseconds), "ab\n".
host::CaptureRecord record() {
    host::CaptureRecord r;
    r.channelType = 5;
    r.equipment = 1;
    r.recordNumber = 7;
    r.timeMicros = 1700000000123456ull;
    r.bytes = {'a', 'b', '\n'};
    return r;
}
const Bytes kRecordBytes = {0x01, 0x05, 0x00, 0x01, 0x07, 0x00, 0x00, 0x00, 0x40, 0x22, 0x20, 0x18,
                            0x24, 0x0A, 0x06, 0x00, 0x03, 0x00, 0x00, 0x00, 'a',  'b',  '\n'};

const Bytes kSectionHeader = {
    0x0A, 0x0D, 0x0D, 0x0A, 0x28, 0x00, 0x00, 0x00,   // type, length 40
    0x4D, 0x3C, 0x2B, 0x1A, 0x01, 0x00, 0x00, 0x00,   // byte-order magic, version 1.0
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,   // section length not given
    0x04, 0x00, 0x02, 0x00, 'a',  'b',  0x00, 0x00,   // shb_userappl "ab"
    0x00, 0x00, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00};  // end of options, length

const Bytes kInterface = {
    0x01, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00,   // type, length 32
    0x93, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00,   // link type 147, snap length 262144
    0x02, 0x00, 0x04, 0x00, 'C',  'O',  'M',  '5',    // if_name "COM5"
    0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00};  // end of options, length

Bytes packetBlock() {
    return concat({{0x06, 0x00, 0x00, 0x00, 0x58, 0x00, 0x00, 0x00,   // type, length 88
                    0x01, 0x00, 0x00, 0x00,                           // interface 1
                    0x24, 0x0A, 0x06, 0x00, 0x40, 0x22, 0x20, 0x18,   // time, upper half first
                    0x17, 0x00, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00},  // captured, original 23
                   kRecordBytes,
                   {0x00,                                            // padding
                    0x01, 0x00, 0x01, 0x00, 'x',  0x00, 0x00, 0x00,  // opt_comment "x"
                    0x02, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00,  // epb_flags: inbound
                    0x04, 0x00, 0x08, 0x00, 0x03, 0,    0,    0,    0, 0, 0, 0,  // epb_dropcount 3
                    0x00, 0x00, 0x00, 0x00, 0x58, 0x00, 0x00, 0x00}});
}

TEST(Pcapng, BlocksOfACaptureByteByByte) {
    EXPECT_EQ(host::encodeSectionHeader({"ab", "", ""}), kSectionHeader);
    EXPECT_EQ(host::encodeInterface({"COM5", "", ""}), kInterface);
    host::CaptureRecord r = record();
    r.dropCount = 3;
    r.comments = {"x"};
    Bytes out;
    host::appendRecordBlock(out, r);
    EXPECT_EQ(out, packetBlock());
    EXPECT_EQ(host::recordFileSize(host::CaptureFormat::Pcapng, r), out.size());

    host::CaptureStatistics s;
    s.interfaceId = 0;
    s.timeMicros = 0x0000000100000002ull;
    s.received = 5;
    s.dropped = 2;
    EXPECT_EQ(
        host::encodeStatistics(s),
        (Bytes{0x05, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00,  // type, length 64
               0x00, 0x00, 0x00, 0x00,                          // interface 0
               0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,  // time
               0x03, 0x00, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
               0x04, 0x00, 0x08, 0x00, 0x05, 0,    0,    0,    0,    0,    0,    0,  // isb_ifrecv 5
               0x05, 0x00, 0x08, 0x00, 0x02, 0,    0,    0,    0,    0,    0,    0,  // isb_ifdrop 2
               0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00}));
}

// A big-endian section (as a machine of that byte order writes it) followed by a
// little-endian one: each section describes its own interfaces.
TEST(Pcapng, SectionsOfEitherByteOrderAreRead) {
    const Bytes bigSection = {0x0A, 0x0D, 0x0D, 0x0A, 0x00, 0x00, 0x00, 0x1C, 0x1A, 0x2B,
                              0x3C, 0x4D, 0x00, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                              0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x1C};
    const Bytes bigInterface = {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x14, 0x00, 0x93,
                                0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x14};
    Bytes record0 = kRecordBytes;
    record0[3] = 0;  // phone 0
    const Bytes bigPacket = concat(
        {{0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x48, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06,
          0x0A, 0x24, 0x18, 0x20, 0x22, 0x40, 0x00, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00, 0x17},
         record0,
         {0x00, 0x00, 0x04, 0x00, 0x08, 0,    0,    0,    0,    0,   0,
          0,    0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x48}});
    // The second section's packet is on interface 1: it describes two.
    const std::string path = tempPath("pcapng-sections.pcapng");
    writeBytes(path, concat({bigSection, bigInterface, bigPacket, kSectionHeader, kInterface,
                             kInterface, packetBlock()}));
    host::CaptureReader reader;
    std::string error;
    ASSERT_TRUE(reader.open(path, &error)) << error;
    EXPECT_EQ(reader.format(), host::CaptureFormat::Pcapng);
    host::CaptureRecord r;
    ASSERT_EQ(reader.next(r, &error), 1) << error;
    EXPECT_EQ(r.equipment, 0);
    EXPECT_EQ(r.recordNumber, 7u);
    EXPECT_EQ(r.dropCount, 5u);
    EXPECT_TRUE(r.comments.empty());
    ASSERT_EQ(reader.next(r, &error), 1) << error;
    EXPECT_EQ(r.equipment, 1);
    EXPECT_EQ(r.timeMicros, 1700000000123456ull);
    EXPECT_EQ(r.bytes, (std::vector<unsigned char>{'a', 'b', '\n'}));
    EXPECT_EQ(r.dropCount, 3u);
    EXPECT_EQ(r.comments, std::vector<std::string>{"x"});
    EXPECT_EQ(reader.section().application, "ab");
    ASSERT_EQ(reader.interfaces().size(), 2u);
    EXPECT_EQ(reader.interfaces()[1].name, "COM5");
    EXPECT_EQ(reader.next(r), 0);
    EXPECT_FALSE(reader.endedEarly());
    reader.close();
    std::filesystem::remove(path);
}

TEST(Pcapng, DamagedBlocksAndPacketsThatAreNotRecords) {
    const std::string path = tempPath("pcapng-damaged.pcapng");
    host::CaptureReader reader;
    host::CaptureRecord r;
    std::string error;
    auto nextOf = [&](const Bytes& blocks) {
        writeBytes(path, concat({kSectionHeader, blocks}));
        EXPECT_TRUE(reader.open(path, &error)) << error;
        error.clear();
        return reader.next(r, &error);
    };
    // A packet of an interface no block described, and one of another link type: not records,
    // and the file reads on.
    Bytes otherLink = kInterface;
    otherLink[8] = 1;
    EXPECT_EQ(nextOf(concat({kInterface, packetBlock()})), -1);
    EXPECT_EQ(error, "a packet of interface 1, which no block described");
    EXPECT_EQ(nextOf(concat({kInterface, otherLink, packetBlock(), kInterface})), -1);
    EXPECT_EQ(error, "a packet of interface 1 of link type 1");
    EXPECT_FALSE(reader.endedEarly());
    EXPECT_EQ(reader.next(r), 0);
    // A block of a kind that is not read is skipped whole.
    const Bytes other = {0xAD, 0x0B, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,
                         0x01, 0x02, 0x03, 0x04, 0x10, 0x00, 0x00, 0x00};
    EXPECT_EQ(nextOf(concat({other, kInterface, kInterface, packetBlock()})), 1) << error;
    // Damage ends the file: two lengths that differ, a length that is no multiple of 4, a
    // length past any packet's, a block cut short.
    Bytes differ = kInterface;
    differ[28] = 0x24;
    EXPECT_EQ(nextOf(differ), -1);
    EXPECT_EQ(error, "a block of type 1 whose two lengths differ");
    EXPECT_TRUE(reader.endedEarly());
    EXPECT_EQ(reader.next(r), 0);
    Bytes odd = kInterface;
    odd[4] = 0x21;
    EXPECT_EQ(nextOf(odd), -1);
    EXPECT_EQ(error, "a block of type 1 with a length of 33 bytes");
    Bytes huge = packetBlock();
    huge[6] = 0x40;  // 4 MiB and 88 bytes
    EXPECT_EQ(nextOf(huge), -1);
    EXPECT_EQ(error, "a block of type 6 of 4194392 bytes, larger than any packet");
    EXPECT_EQ(nextOf(Bytes(kInterface.begin(), kInterface.begin() + 20)), -1);
    EXPECT_EQ(error, "truncated dump file; a block is cut short");
    reader.close();
    std::filesystem::remove(path);
}

TEST(Pcapng, CommentsGoWithThePhonesNextRecordOrIntoItsStatistics) {
    const std::string path = tempPath("pcapng-comments.pcapng");
    host::CaptureSettings settings;
    settings.section = {"vela-host 0.1.0", "Linux", ""};
    settings.interfaces = {{"COM5", "first", "USB F1E0:D001"}};
    {
        host::CaptureWriter w;
        ASSERT_TRUE(w.open(path, settings));
        w.addComment(0, "the phone went away");
        w.addComment(1, "not yet");
        host::CaptureRecord first = record();
        first.equipment = 0;
        first.dropCount = 4;
        ASSERT_TRUE(w.write(first));
        // A phone that was not described at the start is described before its record.
        ASSERT_TRUE(w.write(record()));
        w.addComment(0, "nothing came after this");
        ASSERT_TRUE(w.close());
    }
    host::CaptureReader reader;
    ASSERT_TRUE(reader.open(path));
    host::CaptureRecord r;
    ASSERT_EQ(reader.next(r), 1);
    EXPECT_EQ(r.comments, std::vector<std::string>{"the phone went away"});
    EXPECT_EQ(r.dropCount, 4u);
    ASSERT_EQ(reader.next(r), 1);
    EXPECT_EQ(r.equipment, 1);
    EXPECT_EQ(r.comments, std::vector<std::string>{"not yet"});
    EXPECT_EQ(reader.next(r), 0);
    ASSERT_EQ(reader.interfaces().size(), 2u);
    EXPECT_EQ(reader.interfaces()[0].description, "first");
    EXPECT_EQ(reader.interfaces()[0].hardware, "USB F1E0:D001");
    EXPECT_EQ(reader.interfaces()[1].name, "phone 2");
    ASSERT_EQ(reader.statistics().size(), 2u);
    EXPECT_EQ(reader.statistics()[0].received, 1u);
    EXPECT_EQ(reader.statistics()[0].dropped, 4u);
    EXPECT_EQ(reader.statistics()[0].comments, std::vector<std::string>{"nothing came after this"});
    EXPECT_EQ(reader.section().os, "Linux");
    reader.close();
    std::filesystem::remove(path);
}

}  // namespace
