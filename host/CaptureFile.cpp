#include "host/CaptureFile.h"

#include <pcap/pcap.h>

#include <mutex>

#include "framework/core/Bytes.h"

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

struct CaptureWriter::State {
    mutable std::mutex mutex;
    pcap_t* pcap = nullptr;
    pcap_dumper_t* dumper = nullptr;
    std::uint64_t records = 0;
};

CaptureWriter::CaptureWriter() : m_state(new State) {}
CaptureWriter::~CaptureWriter() {
    close();
}

bool CaptureWriter::open(const std::string& path, std::string* error) {
    close();
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->pcap = pcap_open_dead(kCaptureLinkType, kSnapLength);
    if (!m_state->pcap) {
        if (error)
            *error = "cannot make a capture handle";
        return false;
    }
    m_state->dumper = pcap_dump_open(m_state->pcap, path.c_str());
    if (!m_state->dumper) {
        if (error)
            *error = pcap_geterr(m_state->pcap);
        pcap_close(m_state->pcap);
        m_state->pcap = nullptr;
        return false;
    }
    m_state->records = 0;
    return true;
}

bool CaptureWriter::write(const CaptureRecord& record) {
    auto packet = encodeRecord(record);
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(record.timeMicros / 1000000);
    header.ts.tv_usec = static_cast<suseconds_t>(record.timeMicros % 1000000);
    header.caplen = header.len = static_cast<bpf_u_int32>(packet.size());
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (!m_state->dumper)
        return false;
    pcap_dump(reinterpret_cast<u_char*>(m_state->dumper), &header, packet.data());
    ++m_state->records;
    return true;
}

bool CaptureWriter::flush() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->dumper && pcap_dump_flush(m_state->dumper) == 0;
}

void CaptureWriter::close() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_state->dumper) {
        pcap_dump_flush(m_state->dumper);
        pcap_dump_close(m_state->dumper);
        m_state->dumper = nullptr;
    }
    if (m_state->pcap) {
        pcap_close(m_state->pcap);
        m_state->pcap = nullptr;
    }
}

bool CaptureWriter::isOpen() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->dumper != nullptr;
}

std::uint64_t CaptureWriter::getRecordCount() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->records;
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
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    m_state->pcap = pcap_open_offline(path.c_str(), errbuf);
    if (!m_state->pcap) {
        if (error)
            *error = errbuf;
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
