// The file a capture is written to, without buffering of its own: the capture writer keeps
// its records in memory and hands them over in whole flushes, so that it always knows how
// many bytes the file took. Every call answers 0 or the system's error code (errno on Linux,
// the thread's last error on Windows), which describe() turns into text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the file, or empties one that exists; a fifo or a named pipe that exists is
    // opened for writing (on Linux the open waits for its reader).
    int create(const std::string& path);
    // The process's standard output, in binary mode; closed by close() like a file.
    int openStandardOutput();
    // Writes all the bytes; `written` tells how many the file took before an error.
    int write(const void* data, std::size_t length, std::size_t& written);
    // Cuts the file back to `size` bytes (a regular file only).
    int truncate(std::uint64_t size);
    // Waits until the system has the file's bytes on its device.
    int sync();
    int close();
    bool isOpen() const { return m_handle != kClosed; }
    // A file on a disk, as opposed to a device or a pipe: only such a file is cut back and
    // synced.
    bool isRegular() const { return m_regular; }
    // True when the file has no name left (removed while written): its bytes go with it at
    // the close.
    bool isDeleted() const;

    // True when a pipe's reader is known to have gone (a write would fail); a file is never.
    bool readerClosed() const;

    static std::string describe(int error);
    // True when the error of a write means that the reader of a pipe went away.
    static bool isReaderGone(int error);

  private:
    static constexpr std::intptr_t kClosed = -1;
    std::intptr_t m_handle = kClosed;
    bool m_regular = false;
};

}  // namespace host
