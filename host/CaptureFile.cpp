#include "host/CaptureFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "framework/core/Bytes.h"
#include "framework/core/Trace.h"
#include "host/OutputFile.h"

namespace host {

namespace {

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
    return true;
}

namespace {

using Clock = std::chrono::steady_clock;

// The classic capture format, as it is written: the file header (magic number, version 2.4,
// no time zone, snap length, link type), then per packet seconds, microseconds, captured and
// original length, and the packet's bytes. Every field is little-endian.
constexpr std::uint32_t kMagicMicros = 0xA1B2C3D4;
constexpr std::uint32_t kMagicNanos = 0xA1B23C4D;
constexpr std::uint32_t kMagicBlockFormat = 0x0A0D0D0A;  // the newer block format
// The link type field's upper bits may carry other information.
constexpr std::uint32_t kLinkTypeMask = 0x03FFFFFF;

// Room for every record of a flush interval at the usual rates; a record that would not fit
// makes the writer flush first, so that the file only ever grows by whole flushes.
constexpr std::size_t kBufferSize = 1 << 20;

std::uint32_t swap32(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

}  // namespace

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

struct CaptureWriter::State {
    mutable std::mutex mutex;
    std::string path;
    OutputFile file;
    std::vector<unsigned char> pending;  // the packets taken since the last flush
    std::uint64_t records = 0;           // taken: flushed and waiting
    std::uint64_t offered = 0;
    std::uint64_t failedAfter = 0;  // records taken when the recording failed
    std::uint64_t flushedRecords = 0;
    std::uint64_t flushedBytes = 0;          // the file's size after the last flush
    std::vector<std::uint64_t> pendingEnds;  // where each waiting record ends in the file
    Clock::time_point lastFlush;
    std::string failure;
    std::function<void()> onFailure;
    bool failureToReport = false;

    // The first failure; `reached` is how far the file got (of what was handed to it).
    void fail(const std::string& why, std::uint64_t reached, bool fileLost = false);
    bool flushLocked();
    // Runs f under the lock, then, with the lock given up, the failure handler if f met the
    // first failure.
    template <class F>
    auto locked(F f) {
        std::function<void()> report;
        decltype(f()) result;
        {
            std::lock_guard<std::mutex> lock(mutex);
            result = f();
            if (failureToReport)
                report = onFailure;
            failureToReport = false;
        }
        if (report)
            report();
        return result;
    }
};

void CaptureWriter::State::fail(const std::string& why, std::uint64_t reached, bool fileLost) {
    if (!failure.empty())
        return;
    failure = why;
    std::uint64_t held = flushedRecords;
    if (fileLost) {
        failedAfter = records;
        held = 0;
    } else {
        if (file.isRegular()) {
            // Of the records the file took in part, the whole ones stay; a torn one is cut
            // off, so that readers find only whole records.
            std::uint64_t keep = flushedBytes;
            for (auto end : pendingEnds) {
                if (end > reached)
                    break;
                ++held;
                keep = end;
            }
            if (reached > keep && file.truncate(keep) != 0)
                held = flushedRecords;
        }
        failedAfter = held;
    }
    // What the file did not take is dropped, so that the close does not try it again.
    records = held;
    pending.clear();
    pendingEnds.clear();
    failureToReport = true;
    core::ToggleTrace(20, "CaptureWriter %s failed after %llu records - %s\n", path.c_str(),
                      static_cast<unsigned long long>(failedAfter), failure.c_str());
}

bool CaptureWriter::State::flushLocked() {
    if (!file.isOpen() || !failure.empty())
        return false;
    std::size_t written = 0;
    if (const int error = file.write(pending.data(), pending.size(), written)) {
        fail(OutputFile::describe(error), flushedBytes + written);
        return false;
    }
    flushedRecords = records;
    flushedBytes += pending.size();
    pending.clear();
    pendingEnds.clear();
    lastFlush = Clock::now();
    if (file.isDeleted()) {
        fail("the file was deleted while it was being written, and its frames with it",
             flushedBytes, true);
        return false;
    }
    core::ToggleTrace(40, "CaptureWriter::flush %llu records\n",
                      static_cast<unsigned long long>(flushedRecords));
    return true;
}

CaptureWriter::CaptureWriter() : m_state(new State) {}
CaptureWriter::~CaptureWriter() {
    close();
}

bool CaptureWriter::open(const std::string& path, std::string* error) {
    close();
    std::lock_guard<std::mutex> lock(m_state->mutex);
    State& s = *m_state;
    auto fail = [&](int why) {
        if (error)
            *error = path + ": " + OutputFile::describe(why);
        s.file.close();
        return false;
    };
    s.path = path;
    s.records = s.offered = s.failedAfter = s.flushedRecords = s.flushedBytes = 0;
    s.pending.clear();
    s.pendingEnds.clear();
    s.failure.clear();
    s.failureToReport = false;
    if (const int why = s.file.create(path))
        return fail(why);
    // The header is written out at once: a file that cannot take it (a full device) fails here.
    const auto header = encodeFileHeader();
    std::size_t written = 0;
    if (const int why = s.file.write(header.data(), header.size(), written))
        return fail(why);
    s.flushedBytes = header.size();
    s.pending.reserve(kBufferSize);
    s.lastFlush = Clock::now();
    return true;
}

bool CaptureWriter::write(const CaptureRecord& record) {
    State& s = *m_state;
    return s.locked([&] {
        ++s.offered;
        const std::size_t size = kPacketHeaderSize + kRecordHeaderSize + record.bytes.size();
        if (s.file.isOpen() && s.failure.empty() && s.pending.size() + size > kBufferSize &&
            !s.pendingEnds.empty())
            s.flushLocked();
        if (!s.file.isOpen() || !s.failure.empty())
            return false;
        appendPacket(s.pending, record);
        ++s.records;
        s.pendingEnds.push_back(s.flushedBytes + s.pending.size());
        if (Clock::now() - s.lastFlush >= kFlushInterval)
            s.flushLocked();
        return s.failure.empty();
    });
}

bool CaptureWriter::flush() {
    return m_state->locked([this] { return m_state->flushLocked(); });
}

bool CaptureWriter::flushIfDue() {
    State& s = *m_state;
    return s.locked([&s] {
        if (s.pendingEnds.empty() || Clock::now() - s.lastFlush < kFlushInterval)
            return true;
        return s.flushLocked();
    });
}

std::chrono::steady_clock::time_point CaptureWriter::nextFlushDue() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_state->pendingEnds.empty())
        return Clock::time_point::max();
    return m_state->lastFlush + kFlushInterval;
}

bool CaptureWriter::close() {
    State& s = *m_state;
    return s.locked([&s] {
        if (!s.file.isOpen())
            return true;
        s.flushLocked();
        // The system's own write-back can still fail (a full or failing disk): sync once.
        if (s.failure.empty() && s.file.isRegular())
            if (const int why = s.file.sync())
                s.fail(OutputFile::describe(why), s.flushedBytes);
        if (const int why = s.file.close())
            s.fail(OutputFile::describe(why), s.flushedBytes);
        s.pending.clear();
        s.pending.shrink_to_fit();
        return s.failure.empty();
    });
}

bool CaptureWriter::isOpen() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->file.isOpen();
}

std::uint64_t CaptureWriter::getRecordCount() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->records;
}

std::uint64_t CaptureWriter::getOfferedCount() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->offered;
}

std::uint64_t CaptureWriter::getFailedAfterCount() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->failedAfter;
}

std::string CaptureWriter::failure() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->failure;
}

bool CaptureWriter::failed() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return !m_state->failure.empty();
}

void CaptureWriter::setFailureHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->onFailure = std::move(handler);
}

struct CaptureReader::State {
    std::FILE* file = nullptr;
    bool swapped = false;  // written on a machine of the other byte order
    std::vector<unsigned char> packet;

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
};

CaptureReader::CaptureReader() : m_state(new State) {}
CaptureReader::~CaptureReader() {
    close();
}

bool CaptureReader::open(const std::string& path, std::string* error) {
    close();
    m_endedEarly = false;
    State& s = *m_state;
    auto fail = [&](const std::string& why) {
        if (error)
            *error = path + ": " + why;
        close();
        return false;
    };
    errno = 0;
    s.file = std::fopen(path.c_str(), "rb");
    if (!s.file)
        return fail(std::strerror(errno));
    unsigned char h[kFileHeaderSize];
    std::string why;
    const std::size_t got = s.read(h, sizeof h, why);
    if (!why.empty())
        return fail(why);
    if (got >= 4) {
        const std::uint32_t magic = core::readU4(h);
        if (magic == kMagicBlockFormat)
            return fail("a capture in the newer block format, which is not read here");
        // Microsecond or nanosecond packet stamps read alike: a record carries its own time.
        s.swapped = magic == swap32(kMagicMicros) || magic == swap32(kMagicNanos);
        if (!s.swapped && magic != kMagicMicros && magic != kMagicNanos)
            return fail("unknown file format");
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
    unsigned char h[kPacketHeaderSize];
    std::string why;
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
    // damaged one (up to 4 GiB) would have the reader allocate that much before it finds the
    // file shorter.
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
    if (captured != original) {
        if (error)
            *error = "truncated packet";
        return -1;
    }
    return decodeRecord(s.packet.data(), captured, record, error) ? 1 : -1;
}

void CaptureReader::close() {
    if (m_state->file) {
        std::fclose(m_state->file);
        m_state->file = nullptr;
    }
    m_state->packet.clear();
}

}  // namespace host
