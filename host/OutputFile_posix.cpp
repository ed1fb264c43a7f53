#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "host/OutputFile.h"

namespace host {

namespace {
int fdOf(std::intptr_t handle) {
    return static_cast<int>(handle);
}
}  // namespace

OutputFile::~OutputFile() {
    close();
}

int OutputFile::create(const std::string& path) {
    close();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    struct stat st {};
    m_regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    m_handle = fd;
    return 0;
}

int OutputFile::openStandardOutput() {
    close();
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &st) != 0)
        return errno;
    m_regular = S_ISREG(st.st_mode);
    m_handle = STDOUT_FILENO;
    return 0;
}

int OutputFile::write(const void* data, std::size_t length, std::size_t& written) {
    written = 0;
    if (!isOpen())
        return EBADF;
    const char* bytes = static_cast<const char*>(data);
    while (written < length) {
        const ssize_t n = ::write(fdOf(m_handle), bytes + written, length - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;
        written += static_cast<std::size_t>(n);
    }
    return 0;
}

int OutputFile::truncate(std::uint64_t size) {
    if (!isOpen())
        return EBADF;
    return ::ftruncate(fdOf(m_handle), static_cast<off_t>(size)) == 0 ? 0 : errno;
}

int OutputFile::sync() {
    if (!isOpen())
        return EBADF;
    return ::fsync(fdOf(m_handle)) == 0 ? 0 : errno;
}

int OutputFile::close() {
    if (!isOpen())
        return 0;
    const int fd = fdOf(m_handle);
    m_handle = kClosed;
    m_regular = false;
    return ::close(fd) == 0 ? 0 : errno;
}

bool OutputFile::isDeleted() const {
    // On Linux a file whose last name is gone still takes writes, and its bytes vanish when it
    // is closed.
    struct stat st {};
    return m_regular && ::fstat(fdOf(m_handle), &st) == 0 && st.st_nlink == 0;
}

bool OutputFile::readerClosed() const {
    if (!isOpen() || m_regular)
        return false;
    // The write end of a pipe whose reader is gone polls as an error.
    pollfd p{fdOf(m_handle), POLLOUT, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLERR) != 0;
}

bool OutputFile::isReaderGone(int error) {
    return error == EPIPE;
}

std::string OutputFile::describe(int error) {
    return error ? std::system_category().message(error) : std::string("write error");
}

}  // namespace host
