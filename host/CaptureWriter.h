// Writes a capture: into one file, a series of files (rotation, FileSeries.h), or standard
// output ("-"). Records are taken from several threads at once.
//
// A regular file gets its records buffered and written out in whole records at most
// kFlushInterval after they were taken (by the write that finds the interval passed, or by
// flushIfDue from the owner's own wake-ups), so that a process that dies abruptly leaves a
// readable file that lacks at most the last interval. A pipe, a fifo or a device gets every
// record written out at once, block by block, so that its reader sees the phones live.
//
// Every write, flush and the close are checked. The first failure ends the recording: the
// writer takes no more records, cuts the file back to the last whole record (for a regular
// file) and keeps the reason; getRecordCount() then tells how many records the files hold. A
// file that is deleted while it is written (its folder removed, say) is a failure too: its
// records go with it when the writer closes it. A pipe whose reader went away ends the
// recording without a failure (readerGone()): the reader chose to stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/CaptureFile.h"
#include "host/FileSeries.h"

namespace host {

struct CaptureSettings {
    CaptureFormat format = CaptureFormat::Pcapng;
    CaptureSection section;                    // pcapng: where the capture was made
    std::vector<CaptureInterface> interfaces;  // pcapng: one per equipment number, in order
    Rotation rotation;                         // a series of files instead of one
};

class CaptureWriter {
  public:
    static constexpr std::chrono::milliseconds kFlushInterval{1000};

    CaptureWriter();
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Creates the file ("-": standard output; with rotation the first file of the series) and
    // writes its header out at once: a file that cannot take it (a full device) fails here.
    bool open(const std::string& path, const CaptureSettings& settings,
              std::string* error = nullptr);
    bool open(const std::string& path, std::string* error = nullptr) {
        return open(path, CaptureSettings{}, error);
    }
    // Appends one record; safe from several threads at once. False once the recording ended
    // (a failure, the reader gone) or the writer is closed.
    bool write(const CaptureRecord& record);
    // A comment on what happened to the phone of that equipment number, written with its next
    // record (pcapng), or at the end of the file when none follows.
    void addComment(std::uint8_t equipment, const std::string& text);
    // Reports of that phone lost before its next record (pcapng: added to its epb_dropcount),
    // or counted in the statistics at the end of the file when none follows.
    void addDropped(std::uint8_t equipment, std::uint64_t reports);
    // Writes out what is buffered; false when that fails or the recording ended before.
    bool flush();
    // Flushes when kFlushInterval has passed since the last flush and records are waiting, and
    // begins the next file of a series whose file has lasted its duration.
    bool flushIfDue();
    // When flushIfDue will next have work (far in the future when nothing waits).
    std::chrono::steady_clock::time_point nextFlushDue() const;
    // Flushes, ends the file (pcapng: the phones' statistics), syncs and closes; false when
    // any of it fails (the reason in failure()). The file is complete and readable afterwards.
    bool close();
    bool isOpen() const;
    // Records taken; after a failure, the records the files hold.
    std::uint64_t getRecordCount() const;
    // Records offered to write(), taken or not.
    std::uint64_t getOfferedCount() const;
    // Records taken when the recording failed: those the files hold, or those lost with a
    // deleted file.
    std::uint64_t getFailedAfterCount() const;
    // The first failure's reason, empty while there was none.
    std::string failure() const;
    bool failed() const;
    // True once the reader of a pipe went away (a write found it gone, or, while nothing is
    // written, checkReader() did).
    bool readerGone() const;
    // Looks whether the reader of a pipe is still there; true when it went away.
    bool checkReader();
    // The files of a series kept so far (oldest first), and how many were begun; a single
    // file is its path.
    std::vector<std::string> files() const;
    std::uint64_t filesBegun() const;
    // Called once, on the thread that met the first failure or found the reader gone, outside
    // the writer's lock.
    void setFailureHandler(std::function<void()> handler);

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace host
