#include "platform/win32/Library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace platform {

LibraryHandle loadLibrary(const std::string& path, std::string& error) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        error = why ? why : "unknown error";
    }
    return handle;
}

void* librarySymbol(LibraryHandle library, const char* name) {
    return library ? ::dlsym(library, name) : nullptr;
}

bool freeLibrary(LibraryHandle library) {
    return library && ::dlclose(library) == 0;
}

std::string libraryFileName(const std::string& name) {
    return "lib" + name + ".so";
}

std::string executablePath() {
    char self[PATH_MAX] = {};
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    return n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
}

bool threadsEndWhileUnloading() {
    return true;
}

}  // namespace platform
