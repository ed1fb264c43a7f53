#include "host/CaptureFile.h"

#include <fcntl.h>
#include <pcap/pcap.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <system_error>

#include "framework/core/Bytes.h"
#include "framework/core/Trace.h"

namespace host {

namespace {
constexpr int kSnapLength = 262144;  // a whole TVP frame (up to 131071 bytes) and the header
}

std::vector<unsigned char> encodeRecord(const CaptureRecord& r) {
    std::vector<unsigned char> p(kRecordHeaderSize + r.bytes.size());
    p[0] = kCaptureVersion;
    p[1] = r.channelType;
    p[2] = r.direction;
    p[3] = r.equipment;
    core::writeU4(&p[4], r.recordNumber);
    core::writeU8(&p[8], r.timeMicros);
    core::writeU4(&p[16], static_cast<std::uint32_t>(r.bytes.size()));
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

// Room for every record of a flush interval at the usual rates; a record that would not fit
// makes the writer flush first, so that the stream never writes out on its own and the file
// only ever grows by whole records.
constexpr std::size_t kBufferSize = 1 << 20;
// A packet's own header in the file: seconds, microseconds, captured and original length.
constexpr std::size_t kPacketHeaderSize = 16;

std::string reasonOf(int error) {
    return error ? std::system_category().message(error) : std::string("write error");
}

}  // namespace

struct CaptureWriter::State {
    mutable std::mutex mutex;
    std::string path;
    int fd = -1;  // the file itself: checked for removal, cut back, synced and closed by us
    bool regular = false;
    FILE* stream = nullptr;  // the dumper's stream, on a duplicate of fd
    std::unique_ptr<char[]> buffer;
    pcap_t* pcap = nullptr;
    pcap_dumper_t* dumper = nullptr;
    std::uint64_t records = 0;  // taken: flushed and waiting
    std::uint64_t offered = 0;
    std::uint64_t failedAfter = 0;  // records taken when the recording failed
    std::uint64_t flushedRecords = 0;
    std::uint64_t flushedBytes = 0;          // the file's size after the last flush
    std::vector<std::uint64_t> pendingEnds;  // where each waiting record ends in the file
    std::uint64_t pendingBytes = 0;
    Clock::time_point lastFlush;
    std::string failure;
    std::function<void()> onFailure;
    bool failureToReport = false;

    void fail(const std::string& why, bool fileLost = false);
    bool flushLocked();
    void release();
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

void CaptureWriter::State::fail(const std::string& why, bool fileLost) {
    if (!failure.empty())
        return;
    // What the file did not take is dropped, so that the close does not try it again.
    if (stream)
        __fpurge(stream);
    std::uint64_t held = flushedRecords;
    if (fileLost) {
        failure = why;
        failedAfter = records;
        held = 0;
    } else {
        failure = why;
        struct stat st {};
        if (regular && ::fstat(fd, &st) == 0) {
            // Of the records the file took in part, the whole ones stay; a torn one is cut
            // off, so that readers find only whole records.
            std::uint64_t keep = flushedBytes;
            for (auto end : pendingEnds) {
                if (end > static_cast<std::uint64_t>(st.st_size))
                    break;
                ++held;
                keep = end;
            }
            if (::ftruncate(fd, static_cast<off_t>(keep)) != 0)
                held = flushedRecords;
        }
    }
    if (!fileLost)
        failedAfter = held;
    records = held;
    pendingEnds.clear();
    pendingBytes = 0;
    failureToReport = true;
    core::ToggleTrace(20, "CaptureWriter %s failed after %llu records - %s\n", path.c_str(),
                      static_cast<unsigned long long>(failedAfter), failure.c_str());
}

bool CaptureWriter::State::flushLocked() {
    if (!dumper || !failure.empty())
        return false;
    errno = 0;
    if (pcap_dump_flush(dumper) != 0 || std::ferror(stream)) {
        fail(reasonOf(errno));
        return false;
    }
    flushedRecords = records;
    flushedBytes += pendingBytes;
    pendingBytes = 0;
    pendingEnds.clear();
    lastFlush = Clock::now();
    // On Linux a file whose last name is gone still takes writes, and its bytes vanish when it
    // is closed.
    struct stat st {};
    if (regular && ::fstat(fd, &st) == 0 && st.st_nlink == 0) {
        fail("the file was deleted while it was being written, and its frames with it", true);
        return false;
    }
    core::ToggleTrace(40, "CaptureWriter::flush %llu records\n",
                      static_cast<unsigned long long>(flushedRecords));
    return true;
}

void CaptureWriter::State::release() {
    if (dumper)
        pcap_dump_close(dumper);  // closes the stream
    else if (stream)
        std::fclose(stream);
    dumper = nullptr;
    stream = nullptr;
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    buffer.reset();
    if (pcap)
        pcap_close(pcap);
    pcap = nullptr;
}

CaptureWriter::CaptureWriter() : m_state(new State) {}
CaptureWriter::~CaptureWriter() {
    close();
}

bool CaptureWriter::open(const std::string& path, std::string* error) {
    close();
    std::lock_guard<std::mutex> lock(m_state->mutex);
    State& s = *m_state;
    auto fail = [&](const std::string& why) {
        if (error)
            *error = path + ": " + why;
        if (s.stream)
            __fpurge(s.stream);
        s.release();
        return false;
    };
    s.path = path;
    s.regular = false;
    s.records = s.offered = s.failedAfter = s.flushedRecords = s.flushedBytes = s.pendingBytes = 0;
    s.pendingEnds.clear();
    s.failure.clear();
    s.failureToReport = false;
    s.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (s.fd < 0)
        return fail(reasonOf(errno));
    struct stat st {};
    s.regular = ::fstat(s.fd, &st) == 0 && S_ISREG(st.st_mode);
    const int streamFd = ::fcntl(s.fd, F_DUPFD_CLOEXEC, 0);
    s.stream = streamFd >= 0 ? ::fdopen(streamFd, "wb") : nullptr;
    if (!s.stream) {
        const int why = errno;
        if (streamFd >= 0)
            ::close(streamFd);
        return fail(reasonOf(why));
    }
    s.buffer.reset(new char[kBufferSize]);
    std::setvbuf(s.stream, s.buffer.get(), _IOFBF, kBufferSize);
    s.pcap = pcap_open_dead(kCaptureLinkType, kSnapLength);
    if (!s.pcap)
        return fail("cannot make a capture handle");
    s.dumper = pcap_dump_fopen(s.pcap, s.stream);
    if (!s.dumper)
        return fail(pcap_geterr(s.pcap));
    errno = 0;
    if (pcap_dump_flush(s.dumper) != 0 || std::ferror(s.stream))
        return fail(reasonOf(errno));
    const long header = std::ftell(s.stream);
    s.flushedBytes = header > 0 ? static_cast<std::uint64_t>(header) : 0;
    s.lastFlush = Clock::now();
    return true;
}

bool CaptureWriter::write(const CaptureRecord& record) {
    auto packet = encodeRecord(record);
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(record.timeMicros / 1000000);
    header.ts.tv_usec = static_cast<suseconds_t>(record.timeMicros % 1000000);
    header.caplen = header.len = static_cast<bpf_u_int32>(packet.size());
    State& s = *m_state;
    return s.locked([&] {
        ++s.offered;
        const std::size_t size = kPacketHeaderSize + packet.size();
        if (s.dumper && s.failure.empty() && s.pendingBytes + size > kBufferSize &&
            !s.pendingEnds.empty())
            s.flushLocked();
        if (!s.dumper || !s.failure.empty())
            return false;
        errno = 0;
        pcap_dump(reinterpret_cast<u_char*>(s.dumper), &header, packet.data());
        if (std::ferror(s.stream)) {
            s.fail(reasonOf(errno));
            return false;
        }
        ++s.records;
        s.pendingBytes += size;
        s.pendingEnds.push_back(s.flushedBytes + s.pendingBytes);
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
        bool ok = true;
        if (s.dumper) {
            s.flushLocked();
            // The kernel's own write-back can still fail (a full or failing disk): sync once.
            if (s.failure.empty() && s.regular && ::fsync(s.fd) != 0)
                s.fail(reasonOf(errno));
            pcap_dump_close(s.dumper);  // the stream's descriptor is a duplicate
            s.dumper = nullptr;
            s.stream = nullptr;
            if (::close(s.fd) != 0)
                s.fail(reasonOf(errno));
            s.fd = -1;
            ok = s.failure.empty();
        }
        s.release();
        return ok;
    });
}

bool CaptureWriter::isOpen() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->dumper != nullptr;
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
    pcap_t* pcap = nullptr;
};

CaptureReader::CaptureReader() : m_state(new State) {}
CaptureReader::~CaptureReader() {
    close();
}

bool CaptureReader::open(const std::string& path, std::string* error) {
    close();
    m_endedEarly = false;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    m_state->pcap = pcap_open_offline(path.c_str(), errbuf);
    if (!m_state->pcap) {
        // Most of the library's reasons name the file, some do not.
        const std::string why = errbuf;
        if (error)
            *error = why.rfind(path + ":", 0) == 0 ? why : path + ": " + why;
        return false;
    }
    if (pcap_datalink(m_state->pcap) != kCaptureLinkType) {
        if (error)
            *error = path + ": not a capture of recorded sessions (link type " +
                     std::to_string(pcap_datalink(m_state->pcap)) + ")";
        close();
        return false;
    }
    return true;
}

int CaptureReader::next(CaptureRecord& record, std::string* error) {
    if (!m_state->pcap)
        return 0;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int rc = pcap_next_ex(m_state->pcap, &header, &data);
    if (rc == PCAP_ERROR_BREAK)
        return 0;
    if (rc != 1) {
        // A file that cannot be read on (cut short, say) ends here: the next call gives 0.
        if (error)
            *error = rc == PCAP_ERROR ? pcap_geterr(m_state->pcap) : "read error";
        close();
        m_endedEarly = true;
        return -1;
    }
    if (header->caplen != header->len) {
        if (error)
            *error = "truncated packet";
        return -1;
    }
    return decodeRecord(data, header->caplen, record, error) ? 1 : -1;
}

void CaptureReader::close() {
    if (m_state->pcap) {
        pcap_close(m_state->pcap);
        m_state->pcap = nullptr;
    }
}

}  // namespace host
