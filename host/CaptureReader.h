// Reads a capture of recorded sessions, pcapng or classic pcap (told apart by the first bytes),
// from a file or from standard input ("-"), record by record and without seeking, so that a pipe
// reads as well as a file. Sections of either byte order are read; in pcapng the phones'
// interfaces, the records' comments and lost reports, and the statistics at the end of a file
// are kept; blocks of other kinds are skipped.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/CaptureFile.h"

namespace host {

class CaptureReader {
  public:
    CaptureReader();
    ~CaptureReader();
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    // Opens the file ("-": standard input) and reads its header. False with the reason when it
    // cannot be read or is not a capture of recorded sessions.
    bool open(const std::string& path, std::string* error = nullptr);
    // The next record: 1 read, 0 end of file, -1 a packet that is not a record or a file that
    // cannot be read on (error says why; after a read error the next call gives 0).
    int next(CaptureRecord& record, std::string* error = nullptr);
    // True once a read error ended the file early (cut short or damaged): what follows, if
    // anything, could not be read.
    bool endedEarly() const { return m_endedEarly; }
    void close();

    CaptureFormat format() const;
    // pcapng: the section's description and the interfaces read so far (of the last section),
    // and the last statistics of each interface.
    const CaptureSection& section() const;
    const std::vector<CaptureInterface>& interfaces() const;
    const std::vector<CaptureStatistics>& statistics() const;

  private:
    struct State;
    std::unique_ptr<State> m_state;
    bool m_endedEarly = false;
};

}  // namespace host
