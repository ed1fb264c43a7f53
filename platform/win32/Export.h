// Marks a function a loaded module offers by name (dlsym, GetProcAddress): exported from the
// DLL on Windows (nothing else of it is), visible from the shared object elsewhere.
#pragma once

#if defined(_WIN32)
#define PLATFORM_EXPORT __declspec(dllexport)
#else
#define PLATFORM_EXPORT __attribute__((visibility("default")))
#endif
