// The Win32 comm calls on pseudo-terminals made here: the test drives the master side as the
// device's peer and opens the slave side through CreateFileA.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/serial/commapi.h"

namespace {

// A pseudo-terminal pair; the slave stays open here too, so its termios outlives the port.
struct Pty {
    Pty() {
        EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        tcgetattr(slave, &original);
    }
    ~Pty() {
        if (master >= 0)
            ::close(master);
        ::close(slave);
    }
    termios now() const {
        termios t{};
        tcgetattr(master, &t);  // the master side reads the slave's termios
        return t;
    }
    void send(const std::string& s) const {
        ASSERT_EQ(::write(master, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    // Reads from the master until n bytes came or 5 s passed.
    std::string receive(std::size_t n) const {
        std::string out;
        while (out.size() < n) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                break;
            char buf[65536];
            ssize_t got = ::read(master, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0)
                break;
            out.append(buf, static_cast<std::size_t>(got));
        }
        return out;
    }
    void closeMaster() {
        ::close(master);
        master = -1;
    }
    int master = -1;
    int slave = -1;
    char name[128] = {};
    termios original{};
};

HANDLE openPort(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

// An OVERLAPPED with a manual-reset event of its own.
struct Ov {
    Ov() { o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Ov() { CloseHandle(o.hEvent); }
    bool signalled(DWORD ms = 5000) { return WaitForSingleObject(o.hEvent, ms) == WAIT_OBJECT_0; }
    OVERLAPPED o{};
};

void setTimeouts(HANDLE h, DWORD interval, DWORD mult, DWORD constant) {
    COMMTIMEOUTS t{interval, mult, constant, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
}

TEST(CommPortName, MapsComNamesByEnvironmentLinkFolderOrTtyS) {
    std::string path;
    ::unsetenv("VELA_COM3");
    ::setenv("VELA_COM_DIR", "/nonexistent-vela-dir", 1);
    ASSERT_TRUE(platform::resolveCommPortName("\\\\.\\COM3", path));
    EXPECT_EQ(path, "/dev/ttyS2");
    ASSERT_TRUE(platform::resolveCommPortName("com12", path));
    EXPECT_EQ(path, "/dev/ttyS11");

    auto dir = std::filesystem::temp_directory_path() / ("vela-com-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink("/dev/null", dir / "COM3");
    ::setenv("VELA_COM_DIR", dir.c_str(), 1);
    ASSERT_TRUE(platform::resolveCommPortName("COM3", path));
    EXPECT_EQ(path, (dir / "COM3").string());
    ::setenv("VELA_COM3", "/dev/ttyUSB7", 1);  // the variable comes before the folder
    ASSERT_TRUE(platform::resolveCommPortName("\\\\.\\COM3", path));
    EXPECT_EQ(path, "/dev/ttyUSB7");
    ::unsetenv("VELA_COM3");
    ::unsetenv("VELA_COM_DIR");
    std::filesystem::remove_all(dir);

    ASSERT_TRUE(platform::resolveCommPortName("\\\\.\\/dev/pts/9", path));
    EXPECT_EQ(path, "/dev/pts/9");
    ASSERT_TRUE(platform::resolveCommPortName("/tmp/x.link", path));
    EXPECT_EQ(path, "/tmp/x.link");
    for (const char* bad : {"COM0", "COM", "LPT1", "COM1x", "\\\\.\\COM-1", ""})
        EXPECT_FALSE(platform::resolveCommPortName(bad, path)) << bad;
}

TEST(CommOpen, RefusesMissingNonTtyAndSecondOpen) {
    EXPECT_EQ(openPort("/dev/nonexistent-tty"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(openPort("/dev/null"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);

    Pty pty;
    HANDLE h = openPort(pty.name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(openPort(pty.name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(CloseHandle(h));
    HANDLE again = openPort(pty.name);  // free again once closed
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
    DCB dcb{};
    EXPECT_FALSE(GetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(CommState, ReportsFoundStateAppliesDcbAndRestoresOnClose) {
    Pty pty;
    HANDLE h = openPort(pty.name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // Binary operation from the start: no echo, no line editing, no translation.
    termios raw = pty.now();
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(raw.c_oflag & OPOST, 0u);
    EXPECT_EQ(raw.c_iflag & ICRNL, 0u);

    DCB found{};
    ASSERT_TRUE(GetCommState(h, &found));
    EXPECT_EQ(found.BaudRate, 38400u);  // a new pseudo-terminal's rate
    EXPECT_EQ(found.ByteSize, 8);
    EXPECT_EQ(found.Parity, NOPARITY);
    EXPECT_EQ(found.StopBits, ONESTOPBIT);
    EXPECT_EQ(found.fOutX, (pty.original.c_iflag & IXON) ? 1u : 0u);
    EXPECT_EQ(found.fBinary, 1u);

    DCB dcb = found;
    dcb.BaudRate = 9600;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutX = 0;
    dcb.fInX = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.EvtChar = 0x0A;
    ASSERT_TRUE(SetCommState(h, &dcb));
    termios t = pty.now();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CSTOPB | CRTSCTS));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXOFF));
    DCB back{};
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(back.BaudRate, 9600u);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fOutxCtsFlow, 1u);
    EXPECT_EQ(back.EvtChar, 0x0A);

    // Rates outside the standard table go through the explicit-speed interface.
    dcb.BaudRate = 76800;
    ASSERT_TRUE(SetCommState(h, &dcb));
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(back.BaudRate, 76800u);

    // What the device does not take (a pseudo-terminal is always 8 bits without parity) and
    // values a COM port cannot have change nothing.
    DCB bad = back;
    bad.ByteSize = 7;
    bad.Parity = EVENPARITY;
    EXPECT_FALSE(SetCommState(h, &bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    bad = back;
    bad.ByteSize = 9;
    EXPECT_FALSE(SetCommState(h, &bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    bad = back;
    bad.StopBits = ONE5STOPBITS;  // only with 5 data bits
    EXPECT_FALSE(SetCommState(h, &bad));
    bad = back;
    bad.fOutxDsrFlow = 1;
    EXPECT_FALSE(SetCommState(h, &bad));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(back.BaudRate, 76800u);

    // The caller writes the found DCB back; closing undoes the raw switch.
    ASSERT_TRUE(SetCommState(h, &found));
    ASSERT_TRUE(CloseHandle(h));
    termios after = pty.now();
    EXPECT_EQ(after.c_iflag, pty.original.c_iflag);
    EXPECT_EQ(after.c_oflag, pty.original.c_oflag);
    EXPECT_EQ(after.c_cflag, pty.original.c_cflag);
    EXPECT_EQ(after.c_lflag, pty.original.c_lflag);
    EXPECT_EQ(std::memcmp(after.c_cc, pty.original.c_cc, sizeof after.c_cc), 0);
}

TEST(CommIo, EventCharacterEightyPercentMarkAndImmediateReads) {
    Pty pty;
    HANDLE h = openPort(pty.name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(h, &dcb));
    ASSERT_TRUE(SetupComm(h, 100, 100));
    ASSERT_TRUE(SetCommMask(h, EV_RXFLAG | EV_RX80FULL));
    setTimeouts(h, MAXDWORD, 0, 0);

    Ov ov;
    DWORD mask = 0xDEAD;
    ASSERT_FALSE(WaitCommEvent(h, &mask, &ov.o));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    pty.send("AT\r\n");
    ASSERT_TRUE(ov.signalled());
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &ov.o, &n, FALSE));
    EXPECT_EQ(mask, EV_RXFLAG);
    DWORD errors = 1;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 4u);
    char buf[256];
    Ov rd;
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, &rd.o));  // MAXDWORD/0/0: what is there
    EXPECT_EQ(std::string(buf, n), "AT\r\n");
    EXPECT_TRUE(rd.signalled(0));
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, &rd.o));
    EXPECT_EQ(n, 0u);

    // 80 % of 100 bytes: the 81st byte passes the mark.
    ASSERT_FALSE(WaitCommEvent(h, &mask, &ov.o));
    pty.send(std::string(80, 'x'));
    for (int i = 0; i < 500 && stat.cbInQue < 80; ++i) {
        usleep(2000);
        ClearCommError(h, &errors, &stat);
    }
    ASSERT_EQ(stat.cbInQue, 80u);
    EXPECT_FALSE(ov.signalled(0));
    pty.send("y");
    ASSERT_TRUE(ov.signalled());
    ASSERT_TRUE(GetOverlappedResult(h, &ov.o, &n, FALSE));
    EXPECT_EQ(mask, EV_RX80FULL);
    CloseHandle(h);
}

TEST(CommIo, FullQueueHoldsBackBytesWithoutLoss) {
    Pty pty;
    HANDLE h = openPort(pty.name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetupComm(h, 16, 16));
    setTimeouts(h, 0, 0, 0);  // no time-outs: a read waits for its full count
    std::string sent;
    for (int i = 0; i < 3000; ++i)
        sent += static_cast<char>('a' + i % 26);
    pty.send(sent);
    std::vector<char> buf(sent.size());
    Ov rd;
    DWORD n = 0;
    BOOL done = ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), &n, &rd.o);
    if (!done) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(h, &rd.o, &n, TRUE));
    }
    ASSERT_EQ(n, sent.size());
    EXPECT_EQ(std::string(buf.data(), n), sent);
    CloseHandle(h);
}

TEST(CommIo, PendingReadCompletesWhenBytesComeAndWaitEndsOnMaskChange) {
    Pty pty;
    HANDLE h = openPort(pty.name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    setTimeouts(h, 0, 0, 0);
    char buf[5];
    Ov rd;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, &n, &rd.o));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(h, &rd.o, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    pty.send("12");
    pty.send("345");
    ASSERT_TRUE(rd.signalled());
    ASSERT_TRUE(GetOverlappedResult(h, &rd.o, &n, FALSE));
    EXPECT_EQ(std::string(buf, n), "12345");

    // The one-byte mode: the first byte ends the read.
    setTimeouts(h, MAXDWORD, MAXDWORD, 5000);
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, &n, &rd.o));
    pty.send("z");
    ASSERT_TRUE(GetOverlappedResult(h, &rd.o, &n, TRUE));
    EXPECT_EQ(std::string(buf, n), "z");

    ASSERT_TRUE(SetCommMask(h, EV_RXFLAG));
    Ov ov;
    DWORD mask = 0xDEAD;
    ASSERT_FALSE(WaitCommEvent(h, &mask, &ov.o));
    EXPECT_FALSE(WaitCommEvent(h, &mask, &ov.o)) << "one wait at a time";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(SetCommMask(h, EV_RXFLAG | EV_ERR));
    ASSERT_TRUE(ov.signalled());
    ASSERT_TRUE(GetOverlappedResult(h, &ov.o, &n, FALSE));
    EXPECT_EQ(mask, 0u);
    CloseHandle(h);
}

TEST(CommIo, WritesCompleteWithTheirCountsAndPendWhileThePeerIsSlow) {
    Pty pty;
    HANDLE h = openPort(pty.name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Ov wr;
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "OK\r\n", 4, &n, &wr.o));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(pty.receive(4), "OK\r\n");

    std::string big(1 << 20, 'q');
    ASSERT_FALSE(WriteFile(h, big.data(), static_cast<DWORD>(big.size()), &n, &wr.o));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(h, nullptr, &stat));
    EXPECT_GT(stat.cbOutQue, 0u);
    EXPECT_EQ(pty.receive(big.size()).size(), big.size());
    ASSERT_TRUE(wr.signalled());
    ASSERT_TRUE(GetOverlappedResult(h, &wr.o, &n, FALSE));
    EXPECT_EQ(n, big.size());

    // PURGE_TXABORT ends a pending write with what was written so far.
    ASSERT_FALSE(WriteFile(h, big.data(), static_cast<DWORD>(big.size()), &n, &wr.o));
    ASSERT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_FALSE(GetOverlappedResult(h, &wr.o, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_LT(n, big.size());
    CloseHandle(h);
}

TEST(CommIo, ClosingAbortsPendingOperations) {
    Pty pty;
    HANDLE h = openPort(pty.name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    setTimeouts(h, 0, 0, 0);
    ASSERT_TRUE(SetCommMask(h, EV_RXFLAG));
    char buf[8];
    Ov rd, ev;
    DWORD n = 0, mask = 0;
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, &n, &rd.o));
    ASSERT_FALSE(WaitCommEvent(h, &mask, &ev.o));
    ASSERT_TRUE(CloseHandle(h));
    ASSERT_TRUE(rd.signalled(0));
    ASSERT_TRUE(ev.signalled(0));
    EXPECT_FALSE(GetOverlappedResult(h, &rd.o, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(GetOverlappedResult(h, &ev.o, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST(CommLines, WithoutModemLinesRequestsSucceedAndStatusIsZero) {
    Pty pty;
    HANDLE h = openPort(pty.name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (DWORD f : {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK})
        EXPECT_TRUE(EscapeCommFunction(h, f)) << f;
    EXPECT_FALSE(EscapeCommFunction(h, 42));
    EXPECT_TRUE(SetCommBreak(h));
    EXPECT_TRUE(ClearCommBreak(h));
    DWORD status = 0xFF;
    ASSERT_TRUE(GetCommModemStatus(h, &status));
    EXPECT_EQ(status, 0u);
    COMMPROP prop{};
    ASSERT_TRUE(GetCommProperties(h, &prop));
    EXPECT_EQ(prop.wPacketLength, sizeof(COMMPROP));
    EXPECT_EQ(prop.dwProvSubType, PST_RS232);
    EXPECT_EQ(prop.dwCurrentRxQueue, 4096u);
    CloseHandle(h);
}

TEST(CommLines, ReportedErrorsAndAVanishedPeer) {
    Pty pty;
    HANDLE h = openPort(pty.name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(h, EV_RXFLAG | EV_ERR | EV_BREAK));
    ASSERT_TRUE(platform::raiseCommEvent(pty.name, EV_BREAK, CE_BREAK | CE_FRAME));
    Ov ev;
    DWORD mask = 0, n = 0, errors = 0;
    ASSERT_TRUE(WaitCommEvent(h, &mask, &ev.o)) << "kept while no wait was pending";
    EXPECT_EQ(mask, EV_BREAK);
    ASSERT_TRUE(ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, CE_BREAK | CE_FRAME);
    ASSERT_TRUE(ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, 0u);

    ASSERT_FALSE(WaitCommEvent(h, &mask, &ev.o));
    pty.closeMaster();
    ASSERT_TRUE(ev.signalled());
    ASSERT_TRUE(GetOverlappedResult(h, &ev.o, &n, FALSE));
    EXPECT_EQ(mask, EV_ERR);
    ASSERT_TRUE(ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, CE_IOE);
    EXPECT_FALSE(WaitCommEvent(h, &mask, &ev.o));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    Ov wr;
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, &wr.o));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(platform::raiseCommEvent(pty.name, EV_ERR, CE_FRAME)) << "closed";
}

}  // namespace
