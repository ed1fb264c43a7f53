// Internal: the handle table behind HANDLE values. Every platform object reached through a
// HANDLE (events, serial ports) derives from HandleObject.
#pragma once

#include <memory>

#include "platform/win32/win32.h"

namespace platform {

class HandleObject : public std::enable_shared_from_this<HandleObject> {
  public:
    virtual ~HandleObject() = default;
    // Called by CloseHandle before the handle is forgotten.
    virtual BOOL close() { return TRUE; }
};

// Registers the object and returns its new handle.
HANDLE registerHandle(std::shared_ptr<HandleObject> object);
// The object behind a handle, or null (with ERROR_INVALID_HANDLE) for an unknown handle.
std::shared_ptr<HandleObject> lookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> lookupHandleAs(HANDLE handle) {
    auto object = std::dynamic_pointer_cast<T>(lookupHandle(handle));
    if (!object)
        SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

}  // namespace platform
