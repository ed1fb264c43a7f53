// The comm calls on linked port pairs (tests/support/ComPairs.h), the same test on Linux (our
// calls over termios) and under Wine (its kernel32): both sides of a pair are COM ports, so
// nothing here touches a tty directly. Where Wine on a pseudo-terminal cannot behave as
// Windows on a serial port does, the test says so and pins what Wine does.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/serial/commapi.h"
#include "tests/support/ComPairs.h"

namespace {

bool underWine() {
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

// CancelIo, which only the Windows side has (and only Wine needs here).
bool cancelIo(HANDLE h) {
#if defined(_WIN32)
    return CancelIo(h);
#else
    (void)h;
    return false;
#endif
}

HANDLE openPort(const std::string& name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

// An OVERLAPPED with a manual-reset event of its own.
struct Ov {
    Ov() { o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Ov() { CloseHandle(o.hEvent); }
    Ov(const Ov&) = delete;
    Ov& operator=(const Ov&) = delete;
    bool signalled(DWORD ms = 5000) { return WaitForSingleObject(o.hEvent, ms) == WAIT_OBJECT_0; }
    OVERLAPPED o{};
};

// Both ports of a pair opened, binary, 8N1 at 115200, reads returning what is there, and
// whatever an earlier test left in the pair thrown away.
struct OpenPair {
    OpenPair() {
        const auto& pair = testsupport::comPairs(1).at(0);
        a = openPort(pair.a);
        b = openPort(pair.b);
        for (HANDLE h : {a, b}) {
            EXPECT_NE(h, INVALID_HANDLE_VALUE);
            if (h == INVALID_HANDLE_VALUE)
                continue;
            DCB dcb{};
            dcb.DCBlength = sizeof dcb;
            EXPECT_TRUE(GetCommState(h, &dcb));
            dcb.BaudRate = CBR_115200;
            dcb.ByteSize = 8;
            dcb.Parity = NOPARITY;
            dcb.StopBits = ONESTOPBIT;
            dcb.fBinary = 1;
            dcb.fOutX = dcb.fInX = dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = 0;
            dcb.fDtrControl = DTR_CONTROL_DISABLE;
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
            EXPECT_TRUE(SetCommState(h, &dcb));
            setTimeouts(h, MAXDWORD, 0, 0);
            EXPECT_TRUE(PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR));
        }
    }
    ~OpenPair() {
        for (HANDLE h : {a, b})
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
    }
    static void setTimeouts(HANDLE h, DWORD interval, DWORD mult, DWORD constant) {
        COMMTIMEOUTS t{interval, mult, constant, 0, 0};
        EXPECT_TRUE(SetCommTimeouts(h, &t));
    }
    static DWORD write(HANDLE h, const std::string& s) {
        Ov ov;
        DWORD n = 0;
        if (!WriteFile(h, s.data(), static_cast<DWORD>(s.size()), &n, &ov.o)) {
            EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
            EXPECT_TRUE(GetOverlappedResult(h, &ov.o, &n, TRUE));
        }
        return n;
    }
    // Waits until the port's input queue holds n bytes (bounded); returns what it holds.
    static DWORD waitQueued(HANDLE h, DWORD n) {
        COMSTAT stat{};
        DWORD errors = 0;
        for (int i = 0; i < 2500; ++i) {
            EXPECT_TRUE(ClearCommError(h, &errors, &stat));
            if (stat.cbInQue >= n)
                break;
            Sleep(2);
        }
        return stat.cbInQue;
    }
    static std::string readNow(HANDLE h, DWORD max = 4096) {
        std::vector<char> buf(max);
        Ov ov;
        DWORD n = 0;
        if (!ReadFile(h, buf.data(), max, &n, &ov.o)) {
            EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
            EXPECT_TRUE(GetOverlappedResult(h, &ov.o, &n, TRUE));
        }
        return std::string(buf.data(), n);
    }
    HANDLE a = INVALID_HANDLE_VALUE;
    HANDLE b = INVALID_HANDLE_VALUE;
};

TEST(CommPair, OpensExclusivelyAndRefusesUnknownPorts) {
    VELA_REQUIRE_COM_PAIRS(1);
    const auto& pair = testsupport::comPairs(1)[0];
    HANDLE h = openPort(pair.a);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // A COM port is opened for exclusive access: a second open fails while the first holds it.
    // Wine opens it a second time (it does not make device opens exclusive).
    HANDLE second = openPort(pair.a);
    if (underWine()) {
        EXPECT_NE(second, INVALID_HANDLE_VALUE);
        CloseHandle(second);
    } else {
        EXPECT_EQ(second, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }
    ASSERT_TRUE(CloseHandle(h));
    h = openPort(pair.a);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "free again once closed";
    CloseHandle(h);

    EXPECT_EQ(openPort("\\\\.\\COM239"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(CommPair, DcbRoundTripsAndBytesPassBothWays) {
    VELA_REQUIRE_COM_PAIRS(1);
    OpenPair p;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(p.a, &dcb));
    EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(CBR_115200));
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, 1u);
    dcb.BaudRate = CBR_9600;
    dcb.StopBits = TWOSTOPBITS;
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(p.a, &dcb));
    DCB back{};
    back.DCBlength = sizeof back;
    ASSERT_TRUE(GetCommState(p.a, &back));
    EXPECT_EQ(back.BaudRate, static_cast<DWORD>(CBR_9600));
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    // Wine keeps no event character (termios has no place for it) and reads back 0.
    EXPECT_EQ(back.EvtChar, underWine() ? '\0' : '\n');

    EXPECT_EQ(OpenPair::write(p.a, "AT+CGMI\r\n"), 9u);
    EXPECT_EQ(OpenPair::waitQueued(p.b, 9), 9u);
    EXPECT_EQ(OpenPair::readNow(p.b), "AT+CGMI\r\n");
    std::string big(20000, 'q');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i % 251);
    Ov wr;
    DWORD n = 0;
    BOOL done = WriteFile(p.b, big.data(), static_cast<DWORD>(big.size()), &n, &wr.o);
    if (!done) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    std::string got;
    for (int i = 0; i < 2500 && got.size() < big.size(); ++i) {
        std::string part = OpenPair::readNow(p.a);
        if (part.empty())
            Sleep(2);
        got += part;
    }
    ASSERT_TRUE(GetOverlappedResult(p.b, &wr.o, &n, TRUE));
    EXPECT_EQ(n, big.size());
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big) << "bytes lost or changed on the way";
}

TEST(CommPair, ReadTimeoutsMeanWhatTheyMeanOnWindows) {
    VELA_REQUIRE_COM_PAIRS(1);
    OpenPair p;
    char buf[16];
    DWORD n = 99;
    Ov rd;
    // MAXDWORD/0/0: at once with what is there, also nothing. Wine leaves the read pending
    // until bytes come; only a cancel ends it.
    if (underWine()) {
        ASSERT_FALSE(ReadFile(p.b, buf, sizeof buf, &n, &rd.o));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_FALSE(rd.signalled(200));
        ASSERT_TRUE(cancelIo(p.b));
        ASSERT_TRUE(rd.signalled());
        EXPECT_FALSE(GetOverlappedResult(p.b, &rd.o, &n, FALSE));
        EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
        return;  // its other time-outs were not compared
    }
    ASSERT_TRUE(ReadFile(p.b, buf, sizeof buf, &n, &rd.o));
    EXPECT_EQ(n, 0u);

    // 0/0/0: waits for the full count.
    OpenPair::setTimeouts(p.b, 0, 0, 0);
    ASSERT_FALSE(ReadFile(p.b, buf, 5, &n, &rd.o));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(p.b, &rd.o, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    OpenPair::write(p.a, "12");
    EXPECT_EQ(OpenPair::waitQueued(p.b, 0), 0u) << "taken by the pending read";
    OpenPair::write(p.a, "345");
    ASSERT_TRUE(rd.signalled());
    ASSERT_TRUE(GetOverlappedResult(p.b, &rd.o, &n, FALSE));
    EXPECT_EQ(std::string(buf, n), "12345");

    // A total time-out that passes with nothing received: success with no bytes.
    OpenPair::setTimeouts(p.b, 0, 0, 50);
    BOOL done = ReadFile(p.b, buf, sizeof buf, &n, &rd.o);
    if (!done) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(p.b, &rd.o, &n, TRUE));
    }
    EXPECT_EQ(n, 0u);

    // MAXDWORD/MAXDWORD/constant: the first byte ends the read.
    OpenPair::setTimeouts(p.b, MAXDWORD, MAXDWORD, 5000);
    ASSERT_FALSE(ReadFile(p.b, buf, sizeof buf, &n, &rd.o));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    OpenPair::write(p.a, "z");
    ASSERT_TRUE(GetOverlappedResult(p.b, &rd.o, &n, TRUE));
    EXPECT_EQ(std::string(buf, n), "z");
}

TEST(CommPair, LineEventsCompletePendingWaitsAndAMaskChangeEndsThemWithZero) {
    VELA_REQUIRE_COM_PAIRS(1);
    OpenPair p;
    if (underWine()) {
        // Wine has no event character, and a changed mask ends a pending wait with
        // ERROR_OPERATION_ABORTED where Windows ends it successfully with a mask of 0.
        ASSERT_TRUE(SetCommMask(p.b, EV_RXCHAR));
        Ov ev;
        DWORD mask = 0xDEAD, n = 0;
        ASSERT_FALSE(WaitCommEvent(p.b, &mask, &ev.o));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(SetCommMask(p.b, EV_RXFLAG | EV_ERR));
        ASSERT_TRUE(ev.signalled());
        EXPECT_FALSE(GetOverlappedResult(p.b, &ev.o, &n, FALSE));
        EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
        EXPECT_EQ(mask, 0u);
        return;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(p.b, &dcb));
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(p.b, &dcb));
    ASSERT_TRUE(SetCommMask(p.b, EV_RXFLAG));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(p.b, &mask));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXFLAG));

    Ov ev;
    mask = 0xDEAD;
    ASSERT_FALSE(WaitCommEvent(p.b, &mask, &ev.o));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(p.b, &ev.o, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    OpenPair::write(p.a, "AT");
    OpenPair::waitQueued(p.b, 2);
    EXPECT_FALSE(ev.signalled(0)) << "no event character yet";
    OpenPair::write(p.a, "\r\n");
    ASSERT_TRUE(ev.signalled());
    ASSERT_TRUE(GetOverlappedResult(p.b, &ev.o, &n, FALSE));
    EXPECT_EQ(mask & EV_RXFLAG, static_cast<DWORD>(EV_RXFLAG));
    EXPECT_EQ(OpenPair::readNow(p.b), "AT\r\n");

    // Any received byte, with EV_RXCHAR.
    ASSERT_TRUE(SetCommMask(p.b, EV_RXCHAR));
    mask = 0xDEAD;
    ASSERT_FALSE(WaitCommEvent(p.b, &mask, &ev.o));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    OpenPair::write(p.a, "x");
    ASSERT_TRUE(GetOverlappedResult(p.b, &ev.o, &n, TRUE));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
    EXPECT_EQ(OpenPair::readNow(p.b), "x");

    // A changed mask ends the pending wait, successfully, with no events.
    mask = 0xDEAD;
    ASSERT_FALSE(WaitCommEvent(p.b, &mask, &ev.o));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(SetCommMask(p.b, EV_RXFLAG | EV_ERR));
    ASSERT_TRUE(ev.signalled());
    ASSERT_TRUE(GetOverlappedResult(p.b, &ev.o, &n, FALSE));
    EXPECT_EQ(mask, 0u);
}

TEST(CommPair, PurgeAndCloseAbortPendingOperations) {
    VELA_REQUIRE_COM_PAIRS(1);
    OpenPair p;
    // PURGE_RXCLEAR throws away what is queued.
    OpenPair::write(p.a, "stale");
    ASSERT_EQ(OpenPair::waitQueued(p.b, 5), 5u);
    ASSERT_TRUE(PurgeComm(p.b, PURGE_RXCLEAR));
    EXPECT_EQ(OpenPair::waitQueued(p.b, 0), 0u);

    // PURGE_RXABORT ends a pending read. Wine leaves it pending; CancelIo ends it there.
    OpenPair::setTimeouts(p.b, 0, 0, 0);
    char buf[8];
    Ov rd;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(p.b, buf, sizeof buf, &n, &rd.o));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(PurgeComm(p.b, PURGE_RXABORT));
    if (underWine()) {
        EXPECT_FALSE(rd.signalled(200));
        ASSERT_TRUE(cancelIo(p.b));
    }
    ASSERT_TRUE(rd.signalled());
    EXPECT_FALSE(GetOverlappedResult(p.b, &rd.o, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

    // Closing the port ends what is pending on it.
    ASSERT_TRUE(SetCommMask(p.b, EV_RXFLAG));
    Ov ev;
    DWORD mask = 0;
    ASSERT_FALSE(ReadFile(p.b, buf, sizeof buf, &n, &rd.o));
    ASSERT_FALSE(WaitCommEvent(p.b, &mask, &ev.o));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    HANDLE closed = p.b;
    p.b = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(CloseHandle(closed));
    ASSERT_TRUE(rd.signalled());
    ASSERT_TRUE(ev.signalled());
    EXPECT_FALSE(GetOverlappedResult(closed, &rd.o, &n, FALSE));
    // Wine ends the read with another error code (676) than the wait.
    if (!underWine()) {
        EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    }
    EXPECT_FALSE(GetOverlappedResult(closed, &ev.o, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST(CommPair, ModemLinesOfAPseudoTerminal) {
    VELA_REQUIRE_COM_PAIRS(1);
    OpenPair p;
    DWORD status = 0xFF;
    BOOL ok = GetCommModemStatus(p.a, &status);
    BOOL dtr = EscapeCommFunction(p.a, SETDTR);
    BOOL rts = EscapeCommFunction(p.a, CLRRTS);
    BOOL brk = SetCommBreak(p.a) && ClearCommBreak(p.a);
    if (!underWine()) {
        // A pseudo-terminal has no modem lines: they read as off and setting them does nothing.
        EXPECT_TRUE(ok);
        EXPECT_EQ(status, 0u);
        EXPECT_TRUE(dtr);
        EXPECT_TRUE(rts);
        EXPECT_TRUE(brk);
    } else {
        // Wine fails the modem-line calls on a pseudo-terminal (its ioctls fail there); break
        // works.
        EXPECT_FALSE(ok);
        EXPECT_FALSE(dtr);
        EXPECT_FALSE(rts);
        EXPECT_TRUE(brk);
        status = 0;
        EXPECT_FALSE(GetCommModemStatus(p.a, &status));
        EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    }
    EXPECT_FALSE(EscapeCommFunction(p.a, 42));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
