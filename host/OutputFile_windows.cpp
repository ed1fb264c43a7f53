#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/OutputFile.h"

namespace host {

namespace {

HANDLE handleOf(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

std::wstring widePath(const std::string& path) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
    if (n <= 0)
        return std::wstring(path.begin(), path.end());
    std::vector<wchar_t> wide(static_cast<std::size_t>(n));
    MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(), n);
    return wide.data();
}

}  // namespace

OutputFile::~OutputFile() {
    close();
}

int OutputFile::create(const std::string& path) {
    close();
    // Readers may look at the file while it is written; nobody may delete or rename it
    // meanwhile, so that the recording cannot vanish under the writer. A named pipe (the fifo
    // of a capture program) exists already and is only opened.
    const bool pipe = path.rfind("\\\\.\\pipe\\", 0) == 0;
    HANDLE file = CreateFileW(widePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              pipe ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return static_cast<int>(GetLastError());
    m_regular = GetFileType(file) == FILE_TYPE_DISK;
    m_handle = reinterpret_cast<std::intptr_t>(file);
    return 0;
}

int OutputFile::openStandardOutput() {
    close();
    // The C runtime's stream too, so that no line end is ever translated on it.
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == INVALID_HANDLE_VALUE || out == nullptr)
        return out ? static_cast<int>(GetLastError()) : ERROR_INVALID_HANDLE;
    m_regular = GetFileType(out) == FILE_TYPE_DISK;
    m_handle = reinterpret_cast<std::intptr_t>(out);
    return 0;
}

int OutputFile::write(const void* data, std::size_t length, std::size_t& written) {
    written = 0;
    if (!isOpen())
        return ERROR_INVALID_HANDLE;
    const char* bytes = static_cast<const char*>(data);
    while (written < length) {
        const std::size_t left = length - written;
        const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
        DWORD n = 0;
        if (!WriteFile(handleOf(m_handle), bytes + written, chunk, &n, nullptr))
            return static_cast<int>(GetLastError());
        if (n == 0)
            return ERROR_WRITE_FAULT;
        written += n;
    }
    return 0;
}

int OutputFile::truncate(std::uint64_t size) {
    if (!isOpen())
        return ERROR_INVALID_HANDLE;
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(handleOf(m_handle), position, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(handleOf(m_handle)))
        return static_cast<int>(GetLastError());
    return 0;
}

int OutputFile::sync() {
    if (!isOpen())
        return ERROR_INVALID_HANDLE;
    return FlushFileBuffers(handleOf(m_handle)) ? 0 : static_cast<int>(GetLastError());
}

int OutputFile::close() {
    if (!isOpen())
        return 0;
    HANDLE file = handleOf(m_handle);
    m_handle = kClosed;
    m_regular = false;
    return CloseHandle(file) ? 0 : static_cast<int>(GetLastError());
}

bool OutputFile::isDeleted() const {
    // The file is opened without FILE_SHARE_DELETE: it cannot lose its name while it is open.
    return false;
}

bool OutputFile::readerClosed() const {
    // A pipe's reader is found gone by the next write.
    return false;
}

bool OutputFile::isReaderGone(int error) {
    return error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ||
           error == ERROR_PIPE_NOT_CONNECTED;
}

std::string OutputFile::describe(int error) {
    if (!error)
        return "write error";
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string why = n && text ? std::string(text, n) : "error " + std::to_string(error);
    if (text)
        LocalFree(text);
    while (!why.empty() &&
           (why.back() == '\n' || why.back() == '\r' || why.back() == ' ' || why.back() == '.'))
        why.pop_back();
    return why;
}

}  // namespace host
