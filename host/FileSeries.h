// The files of a capture that is split as it is written (-b filesize:KB, -b duration:S), named
// as dumpcap names them: the name given with its number and the time it was begun before the
// extension, out.pcapng -> out_00001_20260509142501.pcapng, out_00002_..., and with
// -b files:N a ring of the last N files (the older ones are deleted as new ones begin; the
// numbers go on counting).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace host {

struct Rotation {
    std::uint64_t fileSizeKB = 0;  // > 0: a new file before one would grow past this many kB
    double durationSeconds = 0;    // > 0: a new file after this long
    std::size_t files = 0;         // > 0: keep only the last this many files
    bool active() const { return fileSizeKB > 0 || durationSeconds > 0; }
};

// The name of the file `number` (from 1) of the series of `path`, begun at local time `begun`.
std::string seriesFileName(const std::string& path, std::uint64_t number, const std::tm& begun);

class FileSeries {
  public:
    FileSeries(std::string path, std::size_t ringFiles);

    // The name of the next file, begun now.
    std::string next(std::time_t now);
    // The files to delete now that the newest has begun (the oldest beyond the ring), and
    // forgets them.
    std::vector<std::string> beyondRing();
    // The files kept, oldest first, and how many were begun.
    const std::vector<std::string>& kept() const { return m_kept; }
    std::uint64_t begun() const { return m_number; }

  private:
    std::string m_path;
    std::size_t m_ring;
    std::uint64_t m_number = 0;
    std::vector<std::string> m_kept;
};

}  // namespace host
