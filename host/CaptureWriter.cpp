#include "host/CaptureWriter.h"

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <optional>

#include "framework/core/Trace.h"
#include "host/OutputFile.h"
#include "host/Pcapng.h"

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

// Room for every record of a flush interval at the usual rates; a record that would not fit
// makes the writer flush first, so that the file only ever grows by whole flushes.
constexpr std::size_t kBufferSize = 1 << 20;

std::uint64_t systemMicros() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace

struct CaptureWriter::State {
    mutable std::mutex mutex;
    std::string path;  // as given; with rotation the series' base name
    CaptureSettings settings;
    std::optional<FileSeries> series;
    OutputFile file;
    bool eachRecord = false;             // a pipe: every record written out at once
    std::size_t described = 0;           // pcapng: the interfaces this file has described
    std::vector<unsigned char> pending;  // the blocks taken since the last flush
    std::uint64_t records = 0;           // taken: flushed and waiting
    std::uint64_t offered = 0;
    std::uint64_t failedAfter = 0;  // records taken when the recording failed
    std::uint64_t flushedRecords = 0;
    std::uint64_t flushedBytes = 0;          // the file's size after the last flush
    std::uint64_t fileRecords = 0;           // records in this file, flushed and waiting
    std::vector<std::uint64_t> pendingEnds;  // where each waiting record ends in the file
    Clock::time_point lastFlush;
    Clock::time_point fileBegun;
    std::uint64_t startMicros = 0;
    // Per equipment number: records offered, reports lost, comments waiting for a record.
    struct Phone {
        std::uint64_t received = 0;
        std::uint64_t dropped = 0;
        std::uint64_t droppedSince = 0;  // lost before the phone's next record
        std::vector<std::string> comments;
    };
    std::vector<Phone> phones;
    std::string failure;
    bool readerGone = false;
    std::function<void()> onFailure;
    bool failureToReport = false;

    bool ended() const { return !failure.empty() || readerGone; }
    Phone& phone(std::uint8_t equipment) {
        if (equipment >= phones.size())
            phones.resize(equipment + 1u);
        return phones[equipment];
    }
    std::vector<unsigned char> header() const;
    std::vector<unsigned char> trailer();
    // The bytes trailer() will take.
    std::uint64_t trailerSize() const;
    // Creates the file of that name and writes its header; 0 or the system's error.
    int begin(const std::string& name);
    // Ends the file (trailer, sync, close) and begins the next of the series.
    bool rotateLocked();
    // The first failure; `reached` is how far the file got (of what was handed to it).
    void fail(const std::string& why, std::uint64_t reached, bool fileLost = false);
    // The records the file holds when it took `reached` bytes.
    std::uint64_t wholeRecords(std::uint64_t reached, std::uint64_t* keep = nullptr) const;
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

std::vector<unsigned char> CaptureWriter::State::header() const {
    if (settings.format == CaptureFormat::Pcap)
        return encodeFileHeader();
    auto bytes = encodeSectionHeader(settings.section);
    for (const auto& phone : settings.interfaces) {
        const auto block = encodeInterface(phone);
        bytes.insert(bytes.end(), block.begin(), block.end());
    }
    return bytes;
}

std::vector<unsigned char> CaptureWriter::State::trailer() {
    std::vector<unsigned char> bytes;
    if (settings.format != CaptureFormat::Pcapng)
        return bytes;
    const std::uint64_t now = systemMicros();
    for (std::size_t i = 0; i < settings.interfaces.size(); ++i) {
        CaptureStatistics s;
        s.interfaceId = static_cast<std::uint32_t>(i);
        s.timeMicros = now;
        s.startMicros = startMicros;
        Phone& p = phone(static_cast<std::uint8_t>(i));
        s.received = p.received;
        s.dropped = p.dropped;
        s.comments.swap(p.comments);
        const auto block = encodeStatistics(s);
        bytes.insert(bytes.end(), block.begin(), block.end());
    }
    return bytes;
}

std::uint64_t CaptureWriter::State::trailerSize() const {
    if (settings.format != CaptureFormat::Pcapng)
        return 0;
    // Per phone: the block's fixed parts and its start, end, received and dropped options.
    std::uint64_t size = 0;
    for (std::size_t i = 0; i < settings.interfaces.size(); ++i) {
        size += pcapng::kBlockOverhead + 12 + 4 * 12 + 4;
        if (i < phones.size())
            for (const auto& comment : phones[i].comments)
                size += 4 + ((std::min<std::size_t>(comment.size(), 0xFFFF) + 3) & ~3u);
    }
    return size;
}

int CaptureWriter::State::begin(const std::string& name) {
    if (const int why = name == "-" ? file.openStandardOutput() : file.create(name))
        return why;
    eachRecord = !file.isRegular();
    // The header is written out at once: a file that cannot take it (a full device) fails here.
    const auto bytes = header();
    std::size_t written = 0;
    if (const int why = file.write(bytes.data(), bytes.size(), written)) {
        file.close();
        return why;
    }
    flushedBytes = bytes.size();
    described = settings.interfaces.size();
    fileRecords = 0;
    fileBegun = lastFlush = Clock::now();
    return 0;
}

bool CaptureWriter::State::rotateLocked() {
    if (!flushLocked())
        return false;
    const auto end = trailer();
    std::size_t written = 0;
    if (int why = file.write(end.data(), end.size(), written)) {
        fail(OutputFile::describe(why), flushedBytes + written);
        return false;
    }
    flushedBytes += end.size();
    if (const int why = file.sync())
        fail(OutputFile::describe(why), flushedBytes);
    if (const int why = file.close())
        fail(OutputFile::describe(why), flushedBytes);
    if (!failure.empty())
        return false;
    const std::string name = series->next(std::time(nullptr));
    if (const int why = begin(name)) {
        fail(name + ": " + OutputFile::describe(why), 0);
        return false;
    }
    for (const auto& old : series->beyondRing()) {
        std::error_code error;
        if (!std::filesystem::remove(old, error) && error)
            core::ToggleTrace(20, "CaptureWriter cannot remove %s - %s\n", old.c_str(),
                              error.message().c_str());
    }
    core::ToggleTrace(40, "CaptureWriter::rotate %s after %llu records\n", name.c_str(),
                      static_cast<unsigned long long>(flushedRecords));
    return true;
}

std::uint64_t CaptureWriter::State::wholeRecords(std::uint64_t reached, std::uint64_t* keep) const {
    std::uint64_t held = flushedRecords;
    std::uint64_t end = flushedBytes;
    for (auto e : pendingEnds) {
        if (e > reached)
            break;
        ++held;
        end = e;
    }
    if (keep)
        *keep = end;
    return held;
}

void CaptureWriter::State::fail(const std::string& why, std::uint64_t reached, bool fileLost) {
    if (ended())
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
            std::uint64_t keep = 0;
            held = wholeRecords(reached, &keep);
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
    if (!file.isOpen() || ended())
        return false;
    std::size_t written = 0;
    if (const int error = file.write(pending.data(), pending.size(), written)) {
        if (!file.isRegular() && OutputFile::isReaderGone(error)) {
            // The reader took what it read; the rest is no one's.
            records = wholeRecords(flushedBytes + written);
            readerGone = true;
            pending.clear();
            pendingEnds.clear();
            failureToReport = true;
            core::ToggleTrace(40, "CaptureWriter %s: the reader went away after %llu records\n",
                              path.c_str(), static_cast<unsigned long long>(records));
            return false;
        }
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
    if (!eachRecord)
        core::ToggleTrace(40, "CaptureWriter::flush %llu records\n",
                          static_cast<unsigned long long>(flushedRecords));
    return true;
}

CaptureWriter::CaptureWriter() : m_state(new State) {}
CaptureWriter::~CaptureWriter() {
    close();
}

bool CaptureWriter::open(const std::string& path, const CaptureSettings& settings,
                         std::string* error) {
    close();
    std::lock_guard<std::mutex> lock(m_state->mutex);
    State& s = *m_state;
    s.path = path;
    s.settings = settings;
    s.series.reset();
    s.records = s.offered = s.failedAfter = s.flushedRecords = s.flushedBytes = 0;
    s.pending.clear();
    s.pendingEnds.clear();
    s.phones.assign(settings.interfaces.size(), {});
    s.failure.clear();
    s.readerGone = false;
    s.failureToReport = false;
    s.startMicros = systemMicros();
    std::string name = path;
    if (settings.rotation.active()) {
        s.series.emplace(path, settings.rotation.files);
        name = s.series->next(std::time(nullptr));
    }
    if (const int why = s.begin(name)) {
        if (error)
            *error = name + ": " + OutputFile::describe(why);
        return false;
    }
    s.pending.reserve(kBufferSize);
    return true;
}

bool CaptureWriter::write(const CaptureRecord& record) {
    State& s = *m_state;
    return s.locked([&] {
        ++s.offered;
        if (!s.file.isOpen() || s.ended())
            return false;
        State::Phone& phone = s.phone(record.equipment);
        ++phone.received;
        phone.dropped += record.dropCount;
        // Comments and lost reports waiting for the phone's next record go with this one.
        const CaptureRecord* toWrite = &record;
        CaptureRecord withNotes;
        if (s.settings.format == CaptureFormat::Pcapng &&
            (!phone.comments.empty() || phone.droppedSince)) {
            withNotes = record;
            withNotes.comments.insert(withNotes.comments.begin(), phone.comments.begin(),
                                      phone.comments.end());
            withNotes.dropCount += phone.droppedSince;
            phone.comments.clear();
            phone.droppedSince = 0;
            toWrite = &withNotes;
        }
        const std::size_t size = recordFileSize(s.settings.format, *toWrite);
        // A new file of the series before this one (and the statistics that end the file) would
        // grow past its size; a record is never split between files, and a file holds at least
        // one.
        const std::uint64_t limit = s.settings.rotation.fileSizeKB * 1000;
        if (limit && s.fileRecords > 0 &&
            s.flushedBytes + s.pending.size() + size + s.trailerSize() > limit)
            s.rotateLocked();
        if (s.file.isOpen() && !s.ended() && s.pending.size() + size > kBufferSize &&
            !s.pendingEnds.empty())
            s.flushLocked();
        if (!s.file.isOpen() || s.ended())
            return false;
        if (s.settings.format == CaptureFormat::Pcap) {
            appendPacket(s.pending, *toWrite);
        } else {
            // A phone that was not described at the start is described before its first
            // record (and at the start of every later file).
            while (s.settings.interfaces.size() <= record.equipment)
                s.settings.interfaces.push_back(
                    {"phone " + std::to_string(s.settings.interfaces.size() + 1), {}, {}});
            for (; s.described < s.settings.interfaces.size(); ++s.described) {
                const auto block = encodeInterface(s.settings.interfaces[s.described]);
                s.pending.insert(s.pending.end(), block.begin(), block.end());
            }
            appendRecordBlock(s.pending, *toWrite);
        }
        ++s.records;
        ++s.fileRecords;
        s.pendingEnds.push_back(s.flushedBytes + s.pending.size());
        if (s.eachRecord || Clock::now() - s.lastFlush >= kFlushInterval)
            s.flushLocked();
        return !s.ended();
    });
}

void CaptureWriter::addComment(std::uint8_t equipment, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_state->settings.format == CaptureFormat::Pcapng)
        m_state->phone(equipment).comments.push_back(text);
}

void CaptureWriter::addDropped(std::uint8_t equipment, std::uint64_t reports) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    State::Phone& phone = m_state->phone(equipment);
    phone.dropped += reports;
    phone.droppedSince += reports;
}

bool CaptureWriter::flush() {
    return m_state->locked([this] { return m_state->flushLocked(); });
}

bool CaptureWriter::flushIfDue() {
    State& s = *m_state;
    return s.locked([&s] {
        const auto now = Clock::now();
        const double duration = s.settings.rotation.durationSeconds;
        if (s.series && duration > 0 && s.file.isOpen() && !s.ended() &&
            now - s.fileBegun >= std::chrono::duration<double>(duration))
            return s.rotateLocked();
        if (s.pendingEnds.empty() || now - s.lastFlush < kFlushInterval)
            return true;
        return s.flushLocked();
    });
}

std::chrono::steady_clock::time_point CaptureWriter::nextFlushDue() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    const State& s = *m_state;
    auto due = Clock::time_point::max();
    if (!s.pendingEnds.empty())
        due = s.lastFlush + kFlushInterval;
    const double duration = s.settings.rotation.durationSeconds;
    if (s.series && duration > 0 && s.file.isOpen() && !s.ended())
        due = std::min(due, s.fileBegun + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(duration)));
    return due;
}

bool CaptureWriter::close() {
    State& s = *m_state;
    return s.locked([&s] {
        if (!s.file.isOpen())
            return s.failure.empty();
        s.flushLocked();
        if (!s.ended()) {
            // The phones' statistics and the comments that found no later record.
            const auto end = s.trailer();
            std::size_t written = 0;
            if (const int why = s.file.write(end.data(), end.size(), written)) {
                if (!s.file.isRegular() && OutputFile::isReaderGone(why))
                    s.readerGone = true;
                else
                    s.fail(OutputFile::describe(why), s.flushedBytes + written);
            } else {
                s.flushedBytes += end.size();
            }
        }
        // The system's own write-back can still fail (a full or failing disk): sync once.
        if (s.failure.empty() && s.file.isRegular())
            if (const int why = s.file.sync())
                s.fail(OutputFile::describe(why), s.flushedBytes);
        if (const int why = s.file.close())
            if (!s.readerGone)
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

bool CaptureWriter::readerGone() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->readerGone;
}

bool CaptureWriter::checkReader() {
    State& s = *m_state;
    return s.locked([&s] {
        if (!s.readerGone && !s.failure.empty())
            return false;
        if (!s.readerGone && s.file.isOpen() && s.file.readerClosed()) {
            s.readerGone = true;
            s.records = s.flushedRecords;
            s.pending.clear();
            s.pendingEnds.clear();
            s.failureToReport = true;
        }
        return s.readerGone;
    });
}

std::vector<std::string> CaptureWriter::files() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_state->series)
        return m_state->series->kept();
    return {m_state->path};
}

std::uint64_t CaptureWriter::filesBegun() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->series ? m_state->series->begun() : 1;
}

void CaptureWriter::setFailureHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->onFailure = std::move(handler);
}

}  // namespace host
