// Win32 serial communications over POSIX termios. On Windows the system's own (kernel32) are
// used instead and nothing of this file but the include of <windows.h> is left.
//
// The subset of the Win32 comm API that serial-port code written for Windows uses, with the
// same names, structures, constants and meanings, implemented for Linux tty devices: USB serial
// adapters (ttyUSB, ttyACM), on-board ports (ttyS) and pseudo-terminals. One backend file,
// commapi_posix.cpp, implements it.
//
// Port names (CreateFileA)
//   "\\.\COMn" and "COMn" (any case, n >= 1) name the device path found by these rules, first
//   match wins:
//     1. the environment variable VELA_COM<n> (for example VELA_COM3=/dev/ttyUSB0), if set and
//        not empty;
//     2. the link or device <dir>/COM<n> if it exists, where <dir> is the environment variable
//        VELA_COM_DIR, or /run/vela/com when that is not set;
//     3. /dev/ttyS<n-1> (COM1 is /dev/ttyS0).
//   A name that starts with "/" is a device path and is used as it is, also after the "\\.\"
//   prefix ("\\.\/dev/ttyUSB0" opens /dev/ttyUSB0). resolveCommPortName gives the path.
//
// Opening
//   CreateFileA opens only tty devices, always exclusively (as Windows opens COM ports): a
//   device that this or another process holds open through this layer is refused with
//   ERROR_ACCESS_DENIED (flock on the device plus TIOCEXCL). OPEN_EXISTING is required.
//   The device is switched to binary (raw) operation, the only mode a Win32 COM port has: no
//   echo, no canonical line editing, no signal characters, no input or output translation.
//   Everything a DCB expresses (baud rate, byte size, parity, stop bits, XON/XOFF and RTS/CTS
//   flow control, XON/XOFF characters, parity checking) is left as found, so GetCommState
//   right after opening reports the device as it was; a caller that wants the device back as
//   it found it saves the DCB, COMMTIMEOUTS and event mask after opening and writes them back
//   before closing. CloseHandle puts back only what the raw switch changed (line editing,
//   echo, translations, control characters), so after such a caller closes, the device's
//   termios equals the one found at opening.
//
// Overlapped I/O
//   ReadFile, WriteFile and WaitCommEvent with an OVERLAPPED either complete at once (TRUE;
//   the OVERLAPPED's hEvent is set as well) or return FALSE with ERROR_IO_PENDING and complete
//   later on the port's I/O thread, which then sets hEvent (a CreateEventA event). The event is
//   reset when the operation starts. GetOverlappedResult gives the byte count or the error; it
//   reads only the OVERLAPPED, so it also works after the handle was closed. Without an
//   OVERLAPPED the calls block until done. The I/O thread sleeps in poll(2) on the device and
//   a wake-up eventfd; it uses no CPU while nothing happens.
//   Received bytes are moved from the device into the port's input queue (SetupComm size;
//   4096 bytes after opening). When the queue is full the layer stops taking bytes from the
//   device, so the device's own buffer and flow control hold them: nothing is dropped. ReadFile
//   takes bytes from the queue and refills it at once from what the device already holds.
//   COMMTIMEOUTS apply as on Windows (MAXDWORD/0/0: return at once with what is there; all 0:
//   wait for the full count; total and interval time-outs otherwise). A write completes when
//   the device has accepted all its bytes, or with fewer bytes at its total time-out.
//
// Line events (WaitCommEvent)
//   EV_RXCHAR for any received byte, EV_RXFLAG when the DCB's EvtChar is received,
//   EV_RX80FULL when the input queue passes 80 % of its size, EV_TXEMPTY when the device's
//   output queue has drained, EV_CTS, EV_DSR, EV_RLSD, EV_RING on modem-line changes (TIOCMIWAIT
//   on a thread of its own, on devices that have modem lines), EV_BREAK and EV_ERR for breaks
//   and line errors the device counts (TIOCGICOUNT: framing, overrun, parity). Events in the
//   mask that occur while no wait is pending are kept and complete the next wait at once;
//   SetCommMask forgets them and completes a pending wait with an event mask of 0.
//   A device that goes away (USB adapter unplugged, the other side of a pseudo-terminal
//   closed) raises EV_ERR with CE_IOE; afterwards WaitCommEvent, ReadFile (once the queue is
//   empty) and WriteFile fail with ERROR_DEVICE_NOT_CONNECTED.
//
// Devices without modem lines
//   On a pseudo-terminal the modem-line ioctls fail with ENOTTY or EINVAL. There the requests
//   that set lines (EscapeCommFunction SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK,
//   SetCommBreak, ClearCommBreak) succeed without effect, GetCommModemStatus reads 0, and no
//   modem-line events occur.
//
// Closing
//   CloseHandle completes every pending operation with ERROR_OPERATION_ABORTED, stops the
//   port's threads and closes the device. PurgeComm with PURGE_RXABORT or PURGE_TXABORT
//   completes pending reads or writes the same way.
//
// Not available over termios: DSR flow control (fOutxDsrFlow, DTR_CONTROL_HANDSHAKE) is
// refused with ERROR_NOT_SUPPORTED; fDsrSensitivity, fTXContinueOnXoff, fErrorChar, XonLim and
// XoffLim are kept and reported but have no effect; fNull drops received NUL bytes.
#pragma once

#include <string>

#include "platform/win32/win32.h"

#if !defined(_WIN32)
using ULONG_PTR = std::uintptr_t;
using WCHAR = char16_t;

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define MAXDWORD 0xFFFFFFFFu

// Line events.
#define EV_RXCHAR 0x0001u
#define EV_RXFLAG 0x0002u
#define EV_TXEMPTY 0x0004u
#define EV_CTS 0x0008u
#define EV_DSR 0x0010u
#define EV_RLSD 0x0020u
#define EV_BREAK 0x0040u
#define EV_ERR 0x0080u
#define EV_RING 0x0100u
#define EV_PERR 0x0200u
#define EV_RX80FULL 0x0400u
#define EV_EVENT1 0x0800u
#define EV_EVENT2 0x1000u

// Line errors (ClearCommError).
#define CE_RXOVER 0x0001u
#define CE_OVERRUN 0x0002u
#define CE_RXPARITY 0x0004u
#define CE_FRAME 0x0008u
#define CE_BREAK 0x0010u
#define CE_TXFULL 0x0100u
#define CE_PTO 0x0200u
#define CE_IOE 0x0400u
#define CE_DNS 0x0800u
#define CE_OOP 0x1000u
#define CE_MODE 0x8000u

// PurgeComm.
#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

// EscapeCommFunction.
#define SETXOFF 1u
#define SETXON 2u
#define SETRTS 3u
#define CLRRTS 4u
#define SETDTR 5u
#define CLRDTR 6u
#define RESETDEV 7u
#define SETBREAK 8u
#define CLRBREAK 9u

// GetCommModemStatus.
#define MS_CTS_ON 0x0010u
#define MS_DSR_ON 0x0020u
#define MS_RING_ON 0x0040u
#define MS_RLSD_ON 0x0080u

// DCB values.
#define DTR_CONTROL_DISABLE 0x00u
#define DTR_CONTROL_ENABLE 0x01u
#define DTR_CONTROL_HANDSHAKE 0x02u
#define RTS_CONTROL_DISABLE 0x00u
#define RTS_CONTROL_ENABLE 0x01u
#define RTS_CONTROL_HANDSHAKE 0x02u
#define RTS_CONTROL_TOGGLE 0x03u
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2
#define CBR_110 110u
#define CBR_300 300u
#define CBR_600 600u
#define CBR_1200 1200u
#define CBR_2400 2400u
#define CBR_4800 4800u
#define CBR_9600 9600u
#define CBR_14400 14400u
#define CBR_19200 19200u
#define CBR_38400 38400u
#define CBR_57600 57600u
#define CBR_115200 115200u
#define CBR_128000 128000u
#define CBR_256000 256000u

// COMMPROP values.
#define SP_SERIALCOMM 0x00000001u
#define PST_RS232 0x00000001u
#define PCF_DTRDSR 0x0001u
#define PCF_RTSCTS 0x0002u
#define PCF_RLSD 0x0004u
#define PCF_PARITY_CHECK 0x0008u
#define PCF_XONXOFF 0x0010u
#define PCF_SETXCHAR 0x0020u
#define PCF_TOTALTIMEOUTS 0x0040u
#define PCF_INTTIMEOUTS 0x0080u
#define PCF_SPECIALCHARS 0x0100u
#define PCF_16BITMODE 0x0200u
#define SP_PARITY 0x0001u
#define SP_BAUD 0x0002u
#define SP_DATABITS 0x0004u
#define SP_STOPBITS 0x0008u
#define SP_HANDSHAKING 0x0010u
#define SP_PARITY_CHECK 0x0020u
#define SP_RLSD 0x0040u
#define BAUD_075 0x00000001u
#define BAUD_110 0x00000002u
#define BAUD_134_5 0x00000004u
#define BAUD_150 0x00000008u
#define BAUD_300 0x00000010u
#define BAUD_600 0x00000020u
#define BAUD_1200 0x00000040u
#define BAUD_1800 0x00000080u
#define BAUD_2400 0x00000100u
#define BAUD_4800 0x00000200u
#define BAUD_7200 0x00000400u
#define BAUD_9600 0x00000800u
#define BAUD_14400 0x00001000u
#define BAUD_19200 0x00002000u
#define BAUD_38400 0x00004000u
#define BAUD_56K 0x00008000u
#define BAUD_128K 0x00010000u
#define BAUD_115200 0x00020000u
#define BAUD_57600 0x00040000u
#define BAUD_USER 0x10000000u
#define DATABITS_5 0x0001u
#define DATABITS_6 0x0002u
#define DATABITS_7 0x0004u
#define DATABITS_8 0x0008u
#define STOPBITS_10 0x0001u
#define STOPBITS_15 0x0002u
#define STOPBITS_20 0x0004u
#define PARITY_NONE 0x0100u
#define PARITY_ODD 0x0200u
#define PARITY_EVEN 0x0400u
#define PARITY_MARK 0x0800u
#define PARITY_SPACE 0x1000u

// The state of an overlapped operation. Internal holds the pending mark or the Win32 error
// code of the result, InternalHigh the number of bytes transferred.
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
using LPDCB = DCB*;

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
using LPCOMMTIMEOUTS = COMMTIMEOUTS*;

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};
using LPCOMSTAT = COMSTAT*;

struct COMMPROP {
    WORD wPacketLength;
    WORD wPacketVersion;
    DWORD dwServiceMask;
    DWORD dwReserved1;
    DWORD dwMaxTxQueue;
    DWORD dwMaxRxQueue;
    DWORD dwMaxBaud;
    DWORD dwProvSubType;
    DWORD dwProvCapabilities;
    DWORD dwSettableParams;
    DWORD dwSettableBaud;
    WORD wSettableData;
    WORD wSettableStopParity;
    DWORD dwCurrentTxQueue;
    DWORD dwCurrentRxQueue;
    DWORD dwProvSpec1;
    DWORD dwProvSpec2;
    WCHAR wcProvChar[1];
};
using LPCOMMPROP = COMMPROP*;

// Opens a serial device (see "Port names" and "Opening" above). Returns INVALID_HANDLE_VALUE
// on failure: ERROR_FILE_NOT_FOUND (no such device), ERROR_ACCESS_DENIED (in use or no
// permission), ERROR_NOT_SUPPORTED (not a tty), ERROR_INVALID_PARAMETER (bad arguments).
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped);
// The result of an overlapped operation. With wait FALSE and the operation still running:
// FALSE and ERROR_IO_INCOMPLETE.
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait);

BOOL GetCommState(HANDLE file, LPDCB dcb);
// Applies a DCB. Rates the device does not take (read back more than 2 % off) and values
// outside the Win32 ranges fail with ERROR_INVALID_PARAMETER and change nothing.
BOOL SetCommState(HANDLE file, LPDCB dcb);
BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
// Sets the size of the input queue (the output size is kept for GetCommProperties).
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL SetCommMask(HANDLE file, DWORD eventMask);
BOOL GetCommMask(HANDLE file, LPDWORD eventMask);
BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED overlapped);
// The line errors since the last call (then forgotten) and the queue state.
BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat);
BOOL PurgeComm(HANDLE file, DWORD flags);
BOOL EscapeCommFunction(HANDLE file, DWORD function);
BOOL SetCommBreak(HANDLE file);
BOOL ClearCommBreak(HANDLE file);
BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus);
BOOL GetCommProperties(HANDLE file, LPCOMMPROP properties);

namespace platform {

// The device path a port name stands for (see "Port names"); false, with
// ERROR_INVALID_PARAMETER, for a name that is neither a COM name nor a path.
bool resolveCommPortName(const char* name, std::string& path);

// Linux extension for simulations and tests: makes the open port of the named device (a port
// name as CreateFileA takes it) behave as if its device had reported the given line errors
// (added to what ClearCommError returns) and line events (raised if they are in the event
// mask). False when no port of this process has the device open.
bool raiseCommEvent(const char* portName, DWORD events, DWORD errors);

}  // namespace platform
#endif  // !_WIN32
