// Shared libraries loaded at run time, as a host loads a plug-in: dlopen, dlsym and dlclose on
// Linux; LoadLibrary, GetProcAddress and FreeLibrary on Windows. Loading runs the library's
// static constructors (its registrations); unloading its last reference runs their destructors.
#pragma once

#include <string>

namespace platform {

using LibraryHandle = void*;

// The library at `path` with every symbol bound now, or null with the system's reason in
// `error`.
LibraryHandle loadLibrary(const std::string& path, std::string& error);
// An exported function of a loaded library, or null.
void* librarySymbol(LibraryHandle library, const char* name);
// Drops one reference to the library; false when the system refused.
bool freeLibrary(LibraryHandle library);

// Whether a thread can end, and be waited for, while a library unloads or the process runs its
// exit handlers. Not on Windows: the loader lock, held then, keeps a thread from ending, so a
// wait there never returns.
bool threadsEndWhileUnloading();

// The file name of a plug-in module called `name` ("vela": libvela.so, vela.dll).
std::string libraryFileName(const std::string& name);
// The full path of the running program.
std::string executablePath();

}  // namespace platform
