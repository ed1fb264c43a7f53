#include "platform/win32/Library.h"

#include <vector>

#include "platform/win32/win32.h"

namespace platform {

LibraryHandle loadLibrary(const std::string& path, std::string& error) {
    // A library named by its path finds the DLLs it needs, and that the process has not
    // loaded yet, in its own folder first (LOAD_WITH_ALTERED_SEARCH_PATH), so that a plug-in
    // loads from any folder. That flag wants a full path: a relative one is made full first.
    // A bare file name is looked for the usual way.
    std::string file = path;
    DWORD flags = 0;
    if (path.find_first_of("\\/") != std::string::npos) {
        std::vector<char> full(MAX_PATH);
        for (;;) {
            DWORD n = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), full.data(),
                                       nullptr);
            if (n == 0)
                break;
            if (n < full.size()) {
                file.assign(full.data(), n);
                flags = LOAD_WITH_ALTERED_SEARCH_PATH;
                break;
            }
            full.resize(n);
        }
    }
    // Without the system's error box for a missing file or a dependency not found.
    UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = ::LoadLibraryExA(file.c_str(), nullptr, flags);
    DWORD code = GetLastError();
    SetErrorMode(oldMode);
    if (!module)
        error = errorText(code);
    return reinterpret_cast<LibraryHandle>(module);
}

void* librarySymbol(LibraryHandle library, const char* name) {
    if (!library)
        return nullptr;
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

bool freeLibrary(LibraryHandle library) {
    return library && ::FreeLibrary(static_cast<HMODULE>(library)) != FALSE;
}

std::string libraryFileName(const std::string& name) {
    return name + ".dll";
}

std::string executablePath() {
    std::vector<char> path(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return std::string();
        if (n < path.size())
            return std::string(path.data(), n);
        path.resize(path.size() * 2);
    }
}

bool threadsEndWhileUnloading() {
    return false;
}

}  // namespace platform
