#include "host/CaptureReader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "framework/core/Bytes.h"
#include "host/HostPlatform.h"
#include "host/Pcapng.h"

namespace host {

namespace {

constexpr std::uint32_t kMagicMicros = 0xA1B2C3D4;
constexpr std::uint32_t kMagicNanos = 0xA1B23C4D;
// The link type field's upper bits may carry other information.
constexpr std::uint32_t kLinkTypeMask = 0x03FFFFFF;
// The largest block read whole: a packet of the snap length with room for its options. Larger
// blocks of other kinds are skipped without being held; a larger block of a kind that is read
// is damage.
constexpr std::uint32_t kLargestBlock = kCaptureSnapLength + 65536;

std::uint32_t swap32(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

std::string text(const pcapng::Option& option) {
    return option.value;
}

}  // namespace

struct CaptureReader::State {
    std::FILE* file = nullptr;
    bool ownsFile = false;
    CaptureFormat format = CaptureFormat::Pcap;
    bool swapped = false;  // written on a machine of the other byte order
    std::vector<unsigned char> packet;
    // pcapng: the section's interfaces with their link types, and their statistics.
    CaptureSection section;
    std::vector<CaptureInterface> interfaces;
    std::vector<std::uint16_t> linkTypes;
    std::vector<CaptureStatistics> statistics;

    std::uint32_t field(const unsigned char* p) const {
        const std::uint32_t v = core::readU4(p);
        return swapped ? swap32(v) : v;
    }
    // Reads `length` bytes; how many came, and the reason when fewer did.
    std::size_t read(unsigned char* into, std::size_t length, std::string& error) {
        const std::size_t n = std::fread(into, 1, length, file);
        if (n < length && std::ferror(file))
            error = std::string("error reading dump file: ") + std::strerror(errno);
        return n;
    }
    // Reads past `length` bytes; false when the file ends first.
    bool skip(std::uint64_t length, std::string& error) {
        unsigned char chunk[4096];
        while (length > 0) {
            const std::size_t n =
                length < sizeof chunk ? static_cast<std::size_t>(length) : sizeof chunk;
            if (read(chunk, n, error) < n)
                return false;
            length -= n;
        }
        return true;
    }
    void beginSection(const unsigned char* body, std::size_t length);
    void describeInterface(const unsigned char* body, std::size_t length);
    void keepStatistics(const unsigned char* body, std::size_t length);
};

void CaptureReader::State::beginSection(const unsigned char* body, std::size_t length) {
    section = {};
    interfaces.clear();
    linkTypes.clear();
    statistics.clear();
    std::vector<pcapng::Option> options;
    if (length >= 16)
        pcapng::readOptions(body + 16, length - 16, swapped, options);
    for (const auto& o : options) {
        if (o.code == pcapng::kShbHardware)
            section.hardware = text(o);
        else if (o.code == pcapng::kShbOs)
            section.os = text(o);
        else if (o.code == pcapng::kShbUserApplication)
            section.application = text(o);
    }
}

void CaptureReader::State::describeInterface(const unsigned char* body, std::size_t length) {
    CaptureInterface phone;
    std::vector<pcapng::Option> options;
    if (length >= 8)
        pcapng::readOptions(body + 8, length - 8, swapped, options);
    for (const auto& o : options) {
        if (o.code == pcapng::kIfName)
            phone.name = text(o);
        else if (o.code == pcapng::kIfDescription)
            phone.description = text(o);
        else if (o.code == pcapng::kIfHardware)
            phone.hardware = text(o);
    }
    interfaces.push_back(phone);
    linkTypes.push_back(length >= 2 ? pcapng::read16(body, swapped) : 0);
}

void CaptureReader::State::keepStatistics(const unsigned char* body, std::size_t length) {
    if (length < 12)
        return;
    CaptureStatistics s;
    s.interfaceId = pcapng::read32(body, swapped);
    s.timeMicros = pcapng::readHalves(body + 4, swapped);
    std::vector<pcapng::Option> options;
    pcapng::readOptions(body + 12, length - 12, swapped, options);
    for (const auto& o : options) {
        const auto* v = reinterpret_cast<const unsigned char*>(o.value.data());
        if (o.code == pcapng::kComment)
            s.comments.push_back(o.value);
        else if (o.code == pcapng::kIsbStartTime && o.value.size() == 8)
            s.startMicros = pcapng::readHalves(v, swapped);
        else if (o.code == pcapng::kIsbIfReceived && o.value.size() == 8)
            s.received = pcapng::read64(v, swapped);
        else if (o.code == pcapng::kIsbIfDropped && o.value.size() == 8)
            s.dropped = pcapng::read64(v, swapped);
    }
    for (auto& kept : statistics)
        if (kept.interfaceId == s.interfaceId) {
            kept = s;
            return;
        }
    statistics.push_back(s);
}

CaptureReader::CaptureReader() : m_state(new State) {}
CaptureReader::~CaptureReader() {
    close();
}

bool CaptureReader::open(const std::string& path, std::string* error) {
    close();
    m_endedEarly = false;
    State& s = *m_state;
    s.section = {};
    s.interfaces.clear();
    s.linkTypes.clear();
    s.statistics.clear();
    auto fail = [&](const std::string& why) {
        if (error)
            *error = (path == "-" ? std::string("standard input") : path) + ": " + why;
        close();
        return false;
    };
    errno = 0;
    if (path == "-") {
        s.file = standardInput();
    } else {
        s.file = std::fopen(path.c_str(), "rb");
        s.ownsFile = true;
    }
    if (!s.file)
        return fail(std::strerror(errno));
    unsigned char h[kFileHeaderSize];
    std::string why;
    std::size_t got = s.read(h, 4, why);
    if (!why.empty())
        return fail(why);
    const std::uint32_t magic = got == 4 ? core::readU4(h) : 0;
    if (got == 4 && magic == pcapng::kSectionHeaderBlock) {
        s.format = CaptureFormat::Pcapng;
        // The rest of the section header: its length and byte-order magic, then the body.
        got += s.read(h + 4, 8, why);
        if (got < 12)
            return fail("truncated dump file; the section header block is cut short");
        const std::uint32_t order = core::readU4(h + 8);
        if (order != pcapng::kByteOrderMagic && order != swap32(pcapng::kByteOrderMagic))
            return fail("a section header block of unknown byte order");
        s.swapped = order != pcapng::kByteOrderMagic;
        const std::uint32_t length = s.field(h + 4);
        if (length < 28 || length % 4 || length > kLargestBlock)
            return fail("a section header block of " + std::to_string(length) + " bytes");
        std::vector<unsigned char> block(length);
        std::memcpy(block.data(), h, 12);
        if (s.read(block.data() + 12, length - 12, why) < length - 12)
            return fail("truncated dump file; the section header block is cut short");
        if (pcapng::read16(block.data() + 12, s.swapped) != 1)
            return fail("unsupported pcapng version " +
                        std::to_string(pcapng::read16(block.data() + 12, s.swapped)));
        s.beginSection(block.data() + 8, length - 12);
        return true;
    }
    s.format = CaptureFormat::Pcap;
    if (got >= 4) {
        // Microsecond or nanosecond packet stamps read alike: a record carries its own time.
        s.swapped = magic == swap32(kMagicMicros) || magic == swap32(kMagicNanos);
        if (!s.swapped && magic != kMagicMicros && magic != kMagicNanos)
            return fail("unknown file format");
        got += s.read(h + 4, sizeof h - 4, why);
        if (!why.empty())
            return fail(why);
    }
    if (got < sizeof h)
        return fail("truncated dump file; tried to read " + std::to_string(sizeof h) +
                    " file header bytes, only got " + std::to_string(got));
    const unsigned major = s.swapped ? (h[4] << 8 | h[5]) : core::readU2(h + 4);
    const unsigned minor = s.swapped ? (h[6] << 8 | h[7]) : core::readU2(h + 6);
    if (major != 2)
        return fail("unsupported capture file version " + std::to_string(major) + "." +
                    std::to_string(minor));
    const std::uint32_t linkType = s.field(h + 20) & kLinkTypeMask;
    if (linkType != kCaptureLinkType)
        return fail("not a capture of recorded sessions (link type " + std::to_string(linkType) +
                    ")");
    return true;
}

int CaptureReader::next(CaptureRecord& record, std::string* error) {
    State& s = *m_state;
    if (!s.file)
        return 0;
    // A file that cannot be read on (cut short, say) ends here: the next call gives 0.
    auto endEarly = [&](const std::string& why) {
        if (error)
            *error = why;
        close();
        m_endedEarly = true;
        return -1;
    };
    auto notARecord = [&](const std::string& why) {
        if (error)
            *error = why;
        return -1;
    };
    std::string why;
    if (s.format == CaptureFormat::Pcap) {
        unsigned char h[kPacketHeaderSize];
        std::size_t got = s.read(h, sizeof h, why);
        if (!why.empty())
            return endEarly(why);
        if (got == 0)
            return 0;
        if (got < sizeof h)
            return endEarly("truncated dump file; tried to read " + std::to_string(sizeof h) +
                            " header bytes, only got " + std::to_string(got));
        const std::uint32_t captured = s.field(h + 8);
        const std::uint32_t original = s.field(h + 12);
        // A length past what any record may have is damage, not a packet: reading it would take
        // the rest of the file as one. The file header's snap length is not trusted for this: a
        // damaged one (up to 4 GiB) would have the reader allocate that much before it finds
        // the file shorter.
        if (captured > kCaptureSnapLength)
            return endEarly("invalid packet capture length " + std::to_string(captured) +
                            ", bigger than snaplen of " + std::to_string(kCaptureSnapLength));
        s.packet.resize(captured);
        got = s.read(s.packet.data(), captured, why);
        if (!why.empty())
            return endEarly(why);
        if (got < captured)
            return endEarly("truncated dump file; tried to read " + std::to_string(captured) +
                            " captured bytes, only got " + std::to_string(got));
        if (captured != original)
            return notARecord("truncated packet");
        return decodeRecord(s.packet.data(), captured, record, error) ? 1 : -1;
    }
    // pcapng: blocks up to the next packet.
    for (;;) {
        unsigned char h[12];
        std::size_t got = s.read(h, 8, why);
        if (!why.empty())
            return endEarly(why);
        if (got == 0)
            return 0;
        if (got < 8)
            return endEarly("truncated dump file; a block header is cut short");
        std::uint32_t type = s.field(h);
        const bool section = core::readU4(h) == pcapng::kSectionHeaderBlock;
        if (section) {
            // A new section may have the other byte order: its magic tells.
            if (s.read(h + 8, 4, why) < 4)
                return endEarly("truncated dump file; a section header block is cut short");
            const std::uint32_t order = core::readU4(h + 8);
            if (order != pcapng::kByteOrderMagic && order != swap32(pcapng::kByteOrderMagic))
                return endEarly("a section header block of unknown byte order");
            s.swapped = order != pcapng::kByteOrderMagic;
            type = pcapng::kSectionHeaderBlock;
        }
        const std::uint32_t length = s.field(h + 4);
        const std::uint32_t read = section ? 12 : 8;
        if (length % 4 || length < read + 4 || (section && length < 28))
            return endEarly("a block of type " + std::to_string(type) + " with a length of " +
                            std::to_string(length) + " bytes");
        const bool wanted = section || type == pcapng::kInterfaceDescriptionBlock ||
                            type == pcapng::kEnhancedPacketBlock ||
                            type == pcapng::kInterfaceStatisticsBlock;
        if (!wanted) {
            if (!s.skip(length - read, why))
                return endEarly(why.empty() ? "truncated dump file; a block is cut short" : why);
            continue;
        }
        if (length > kLargestBlock)
            return endEarly("a block of type " + std::to_string(type) + " of " +
                            std::to_string(length) + " bytes, larger than any packet");
        s.packet.resize(length);
        std::memcpy(s.packet.data(), h, read);
        if (s.read(s.packet.data() + read, length - read, why) < length - read)
            return endEarly(why.empty() ? "truncated dump file; a block is cut short" : why);
        if (s.field(s.packet.data() + length - 4) != length)
            return endEarly("a block of type " + std::to_string(type) +
                            " whose two lengths differ");
        const unsigned char* body = s.packet.data() + 8;
        const std::size_t size = length - 12;
        if (type == pcapng::kSectionHeaderBlock) {
            if (pcapng::read16(body + 4, s.swapped) != 1)
                return endEarly("unsupported pcapng version " +
                                std::to_string(pcapng::read16(body + 4, s.swapped)));
            s.beginSection(body, size);
            continue;
        }
        if (type == pcapng::kInterfaceDescriptionBlock) {
            s.describeInterface(body, size);
            continue;
        }
        if (type == pcapng::kInterfaceStatisticsBlock) {
            s.keepStatistics(body, size);
            continue;
        }
        // An enhanced packet block.
        if (size < 20)
            return notARecord("a packet block shorter than its fixed fields");
        const std::uint32_t ifIndex = pcapng::read32(body, s.swapped);
        const std::uint32_t captured = pcapng::read32(body + 12, s.swapped);
        const std::uint32_t original = pcapng::read32(body + 16, s.swapped);
        if (captured > size - 20)
            return notARecord("a packet longer than its block");
        if (ifIndex >= s.interfaces.size())
            return notARecord("a packet of interface " + std::to_string(ifIndex) +
                              ", which no block described");
        if (s.linkTypes[ifIndex] != kCaptureLinkType)
            return notARecord("a packet of interface " + std::to_string(ifIndex) +
                              " of link type " + std::to_string(s.linkTypes[ifIndex]));
        if (captured != original)
            return notARecord("truncated packet");
        if (!decodeRecord(body + 20, captured, record, error))
            return -1;
        const std::size_t optionsAt = 20 + ((static_cast<std::size_t>(captured) + 3) & ~3u);
        std::vector<pcapng::Option> options;
        if (optionsAt < size)
            pcapng::readOptions(body + optionsAt, size - optionsAt, s.swapped, options);
        for (const auto& o : options) {
            if (o.code == pcapng::kComment)
                record.comments.push_back(o.value);
            else if (o.code == pcapng::kEpbDropCount && o.value.size() == 8)
                record.dropCount = pcapng::read64(
                    reinterpret_cast<const unsigned char*>(o.value.data()), s.swapped);
        }
        return 1;
    }
}

void CaptureReader::close() {
    if (m_state->file && m_state->ownsFile)
        std::fclose(m_state->file);
    m_state->file = nullptr;
    m_state->ownsFile = false;
    m_state->packet.clear();
}

CaptureFormat CaptureReader::format() const {
    return m_state->format;
}

const CaptureSection& CaptureReader::section() const {
    return m_state->section;
}

const std::vector<CaptureInterface>& CaptureReader::interfaces() const {
    return m_state->interfaces;
}

const std::vector<CaptureStatistics>& CaptureReader::statistics() const {
    return m_state->statistics;
}

}  // namespace host
