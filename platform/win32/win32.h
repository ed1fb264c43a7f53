// Win32-style base types, handles, events and thread-local error codes. On Windows these are
// the system's (<windows.h>, kernel32); elsewhere they are implemented over POSIX so that code
// written against the Windows API builds and runs there too.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using HRESULT = std::int32_t;
using HANDLE = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPCSTR = const char*;
using LPDWORD = DWORD*;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BUSY 170u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_DEVICE_NOT_CONNECTED 1167u

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

DWORD GetLastError();
void SetLastError(DWORD code);
void Sleep(DWORD milliseconds);
DWORD GetTickCount();

// Events. Manual-reset events stay signalled until ResetEvent; auto-reset events are reset by
// the wait that sees them signalled.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

#endif  // _WIN32

namespace platform {

// A function called, outside any platform lock, each time the event is signalled (SetEvent, or
// on Windows also the system completing an overlapped operation on it). An event loop uses it
// to learn that an event it waits for was signalled, the way WaitForMultipleObjects would.
// The signal itself is left for the loop to take (an auto-reset event stays signalled until
// a wait sees it). Pass nullptr to remove it; that waits for a call under way to return, so it
// is never done from inside the function itself. `manualReset` is how the event was made (the
// system does not tell). Returns false for a handle that is not an event.
using EventNotify = void (*)(void* context);
bool setEventNotify(HANDLE event, EventNotify notify, void* context, bool manualReset);

// WaitForSingleObject on an event, for the loop that was notified of it and any other waiter:
// after each wait the event's notify is ready again for the next signal. (On Windows the
// notify is one system wait on the event at a time, armed again here; waiting on the handle
// with the system's calls instead leaves the next signal unnoticed until this is called.)
DWORD waitEvent(HANDLE event, DWORD milliseconds);

// Text of a Win32 error code, as FormatMessage would give it.
const char* errorText(DWORD code);

#if !defined(_WIN32)
// Maps errno to the nearest Win32 error code.
DWORD win32ErrorFromErrno(int err);
#endif

}  // namespace platform
