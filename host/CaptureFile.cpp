#include "host/CaptureFile.h"

#include <algorithm>

#include "framework/core/Bytes.h"
#include "host/Pcapng.h"

namespace host {

namespace {

// The classic format's magic number: microsecond stamps, written little-endian.
constexpr std::uint32_t kMagicMicros = 0xA1B2C3D4;

// The record's own header, kRecordHeaderSize bytes at p.
void writeRecordHeader(unsigned char* p, const CaptureRecord& r) {
    p[0] = kCaptureVersion;
    p[1] = r.channelType;
    p[2] = r.direction;
    p[3] = r.equipment;
    core::writeU4(p + 4, r.recordNumber);
    core::writeU8(p + 8, r.timeMicros);
    core::writeU4(p + 16, static_cast<std::uint32_t>(r.bytes.size()));
}

std::size_t padded(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}

}  // namespace

std::vector<unsigned char> encodeRecord(const CaptureRecord& r) {
    std::vector<unsigned char> p(kRecordHeaderSize + r.bytes.size());
    writeRecordHeader(p.data(), r);
    std::copy(r.bytes.begin(), r.bytes.end(), p.begin() + kRecordHeaderSize);
    return p;
}

bool decodeRecord(const unsigned char* p, std::size_t length, CaptureRecord& r,
                  std::string* error) {
    auto fail = [&](const char* why) {
        if (error)
            *error = why;
        return false;
    };
    if (length < kRecordHeaderSize)
        return fail("packet shorter than the record header");
    if (p[0] != kCaptureVersion)
        return fail("unknown record format version");
    std::uint32_t n = core::readU4(p + 16);
    if (n != length - kRecordHeaderSize)
        return fail("record length does not match the packet");
    r.channelType = p[1];
    r.direction = p[2];
    r.equipment = p[3];
    r.recordNumber = core::readU4(p + 4);
    r.timeMicros = core::readU8(p + 8);
    r.bytes.assign(p + kRecordHeaderSize, p + length);
    r.dropCount = 0;
    r.comments.clear();
    return true;
}

std::vector<unsigned char> encodeFileHeader() {
    std::vector<unsigned char> h(kFileHeaderSize);
    core::writeU4(&h[0], kMagicMicros);
    core::writeU2(&h[4], 2);
    core::writeU2(&h[6], 4);
    core::writeU4(&h[8], 0);   // time zone
    core::writeU4(&h[12], 0);  // accuracy of the stamps
    core::writeU4(&h[16], kCaptureSnapLength);
    core::writeU4(&h[20], kCaptureLinkType);
    return h;
}

void appendPacket(std::vector<unsigned char>& out, const CaptureRecord& record) {
    const std::size_t at = out.size();
    const std::size_t length = kRecordHeaderSize + record.bytes.size();
    out.resize(at + kPacketHeaderSize + kRecordHeaderSize);
    unsigned char* h = &out[at];
    core::writeU4(h, static_cast<std::uint32_t>(record.timeMicros / 1000000));
    core::writeU4(h + 4, static_cast<std::uint32_t>(record.timeMicros % 1000000));
    core::writeU4(h + 8, static_cast<std::uint32_t>(length));
    core::writeU4(h + 12, static_cast<std::uint32_t>(length));
    writeRecordHeader(h + kPacketHeaderSize, record);
    out.insert(out.end(), record.bytes.begin(), record.bytes.end());
}

std::vector<unsigned char> encodeSectionHeader(const CaptureSection& section) {
    std::vector<unsigned char> out;
    pcapng::BlockBuilder block(out, pcapng::kSectionHeaderBlock);
    block.u32(pcapng::kByteOrderMagic);
    block.u16(1);  // version 1.0
    block.u16(0);
    block.u32(0xFFFFFFFF);  // section length not given
    block.u32(0xFFFFFFFF);
    if (!section.hardware.empty())
        block.option(pcapng::kShbHardware, section.hardware);
    if (!section.os.empty())
        block.option(pcapng::kShbOs, section.os);
    if (!section.application.empty())
        block.option(pcapng::kShbUserApplication, section.application);
    block.finish();
    return out;
}

std::vector<unsigned char> encodeInterface(const CaptureInterface& phone) {
    std::vector<unsigned char> out;
    pcapng::BlockBuilder block(out, pcapng::kInterfaceDescriptionBlock);
    block.u16(kCaptureLinkType);
    block.u16(0);
    block.u32(kCaptureSnapLength);
    if (!phone.name.empty())
        block.option(pcapng::kIfName, phone.name);
    if (!phone.description.empty())
        block.option(pcapng::kIfDescription, phone.description);
    if (!phone.hardware.empty())
        block.option(pcapng::kIfHardware, phone.hardware);
    block.finish();
    return out;
}

void appendRecordBlock(std::vector<unsigned char>& out, const CaptureRecord& record) {
    const std::size_t length = kRecordHeaderSize + record.bytes.size();
    pcapng::BlockBuilder block(out, pcapng::kEnhancedPacketBlock);
    block.u32(record.equipment);
    block.u64Halves(record.timeMicros);
    block.u32(static_cast<std::uint32_t>(length));
    block.u32(static_cast<std::uint32_t>(length));
    const std::size_t at = out.size();
    out.resize(at + kRecordHeaderSize);
    writeRecordHeader(&out[at], record);
    block.bytes(record.bytes.data(), record.bytes.size());
    block.pad();
    for (const auto& comment : record.comments)
        block.option(pcapng::kComment, comment);
    block.optionU32(pcapng::kEpbFlags, record.direction ? pcapng::kOutbound : pcapng::kInbound);
    if (record.dropCount)
        block.optionU64(pcapng::kEpbDropCount, record.dropCount);
    block.finish();
}

std::vector<unsigned char> encodeStatistics(const CaptureStatistics& s) {
    std::vector<unsigned char> out;
    pcapng::BlockBuilder block(out, pcapng::kInterfaceStatisticsBlock);
    block.u32(s.interfaceId);
    block.u64Halves(s.timeMicros);
    for (const auto& comment : s.comments)
        block.option(pcapng::kComment, comment);
    if (s.startMicros)
        block.optionTime(pcapng::kIsbStartTime, s.startMicros);
    block.optionTime(pcapng::kIsbEndTime, s.timeMicros);
    block.optionU64(pcapng::kIsbIfReceived, s.received);
    block.optionU64(pcapng::kIsbIfDropped, s.dropped);
    block.finish();
    return out;
}

std::size_t recordFileSize(CaptureFormat format, const CaptureRecord& record) {
    const std::size_t packet = kRecordHeaderSize + record.bytes.size();
    if (format == CaptureFormat::Pcap)
        return kPacketHeaderSize + packet;
    std::size_t options = 12;  // epb_flags and the end of the options
    for (const auto& comment : record.comments)
        options += 4 + padded(std::min<std::size_t>(comment.size(), 0xFFFF));
    if (record.dropCount)
        options += 12;
    return pcapng::kBlockOverhead + 20 + padded(packet) + options;
}

}  // namespace host
