// The Windows side of the platform's additions to kernel32: error texts from the system's
// message table. Events, handles and error codes are the system's own.
#include <cstring>

#include "platform/win32/win32.h"

namespace platform {

bool setEventNotify(HANDLE, EventNotify, void*) {
    // Not offered yet on Windows: a pool wait on the event would take an auto-reset event's
    // signal before the loop's own wait sees it. The worker loop will wait on its events'
    // handles itself instead.
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

const char* errorText(DWORD code) {
    // One buffer per thread, like the errno texts; the text stays until the next call.
    thread_local char text[256];
    DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text, nullptr);
    if (n == 0)
        return "Unknown error.";
    // The system's texts end in a line break, which a trace line adds itself.
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
        text[--n] = '\0';
    return text;
}

}  // namespace platform
