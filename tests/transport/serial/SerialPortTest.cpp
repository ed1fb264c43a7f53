// SerialPort on pseudo-terminals made here (the test drives the master side as the phone), and
// once on a pair made by socat, an outside program.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/Data.h"
#include "framework/core/Status.h"
#include "framework/core/Trace.h"
#include "framework/core/XML.h"
#include "transport/BufSizeReq.h"
#include "transport/DataFormatReq.h"
#include "transport/SerialPort.h"
#include "transport/SerialPortSettings.h"

namespace {

using core::RCPtr;
using namespace std::chrono_literals;

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
        tcgetattr(master, &t);  // the slave's termios, as the port left it
        return t;
    }
    void send(const std::string& s) const {
        ASSERT_EQ(::write(master, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    std::string receive(std::size_t n) const {
        std::string out;
        while (out.size() < n) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                break;
            std::vector<char> buf(std::min<std::size_t>(65536, n - out.size()));
            ssize_t got = ::read(master, buf.data(), buf.size());
            if (got <= 0)
                break;
            out.append(buf.data(), static_cast<std::size_t>(got));
        }
        return out;
    }
    void closeMaster() {
        ::close(master);
        master = -1;
    }
    // The port name SerialPort is given: the device path.
    std::string port() const { return name; }
    // The name SerialPort stores (and traces): the path with the device prefix.
    std::string stored() const { return std::string("\\\\.\\") + name; }
    int master = -1;
    int slave = -1;
    char name[128] = {};
    termios original{};
};

// Waits (bounded) until the pipe yields blocks totalling at least n bytes; returns them.
std::vector<std::string> readBlocks(const RCPtr<core::Pipe>& pipe, std::size_t n,
                                    std::chrono::milliseconds limit = 5s) {
    std::vector<std::string> blocks;
    std::size_t total = 0;
    auto until = std::chrono::steady_clock::now() + limit;
    while (total < n && std::chrono::steady_clock::now() < until) {
        if (RCPtr<core::Data> d = pipe->readData()) {
            blocks.emplace_back(reinterpret_cast<const char*>(d->getInternalData()), d->size());
            total += d->size();
        } else {
            std::this_thread::sleep_for(1ms);
        }
    }
    return blocks;
}

std::size_t totalOf(const std::vector<std::string>& blocks) {
    std::size_t n = 0;
    for (const auto& b : blocks)
        n += b.size();
    return n;
}

RCPtr<core::Status> readStatus(const RCPtr<core::Pipe>& pipe,
                               std::chrono::milliseconds limit = 5s) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (RCPtr<core::RCObject> o = pipe->read())
            return core::rcCast<core::Status>(o);
        std::this_thread::sleep_for(1ms);
    }
    return nullptr;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

RCPtr<core::Data> bytes(const std::string& s) {
    return new core::Data(s.data(), s.size());
}

TEST(SerialPortSettings, DefaultsNamesAndRequestClasses) {
    SerialPortSettings s;
    EXPECT_EQ(s.getPortName(), "\\\\.\\COM1");
    EXPECT_EQ(s.baudRateInUse(), 9600u);
    EXPECT_EQ(s.eventCharInUse(), 0x0A);
    EXPECT_EQ(s.eventMaskInUse(), 0x5FAu);
    EXPECT_EQ(s.byteSizeInUse(), 8);
    EXPECT_EQ(s.parityInUse(), 0);
    EXPECT_EQ(s.stopBitsInUse(), 0);
    EXPECT_EQ(s.inputSizeInUse(), 1024u);
    s.setInputSize(4096);  // each size stands on its own
    EXPECT_EQ(s.inputSizeInUse(), 4096u);
    EXPECT_EQ(s.outputSizeInUse(), 1024u);
    s.setPortName("COM7");
    EXPECT_EQ(s.getPortName(), "\\\\.\\COM7");
    s.setPortName("\\\\.\\COM7");
    EXPECT_EQ(s.getPortName(), "\\\\.\\COM7");
    s.setPortName("/dev/ttyUSB0");
    EXPECT_EQ(s.getPortName(), "\\\\.\\/dev/ttyUSB0");
    s.setPortName("/tmp/vela.pty");  // has a dot: kept
    EXPECT_EQ(s.getPortName(), "/tmp/vela.pty");

    BufSizeReq buf;
    EXPECT_EQ(buf.getName(), "BufSizeReq");
    EXPECT_EQ(buf.getInputSize(), 1024u);
    DataFormatReq fmt(7, 2, 1);
    EXPECT_EQ(fmt.getName(), "DataFormatReq");
    std::unique_ptr<DataFormatReq> copy(fmt.clone());
    EXPECT_EQ(copy->getName(), "DataFormatReq");
    EXPECT_EQ(copy->getByteSize(), 7);
    EXPECT_EQ(copy->getParity(), 2);
    EXPECT_EQ(copy->getStopBits(), 1);

    core::XMLElement e;
    BufSizeReq(4096, 512).toXMLElement(e);
    BufSizeReq back(1, 1);
    ASSERT_TRUE(back.fromXMLElement(e));
    EXPECT_EQ(back.getInputSize(), 4096u);
    EXPECT_EQ(back.getOutputSize(), 512u);
    EXPECT_EQ(back.getName(), "BufSizeReq");
    e.setAttribute("INPUT_SIZE", -1);
    EXPECT_FALSE(back.fromXMLElement(e));
}

TEST(SerialPort, OpensWithDefaultsReadsLinesWritesAndRestoresOnClose) {
    Pty pty;
    RCPtr<SerialPort> port(new SerialPort());
    EXPECT_EQ(port->getPortName(), "\\\\.\\COM1");
    port->setPortName(pty.port());
    ASSERT_EQ(port->connectPort().getCode(), 1);

    termios t = pty.now();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(port->getCommMask(), 0x5FAu);

    // Reading is driven by the line feed.
    pty.send("AT");
    pty.send("+CGMI\r\n");
    auto blocks = readBlocks(port->getReadPipe(), 9);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0], "AT+CGMI\r\n");

    EXPECT_EQ(port->write(bytes("OK\r\n")), 4);
    EXPECT_EQ(pty.receive(4), "OK\r\n");
    port->getWritePipe()->write(bytes("RING\r\n"));
    EXPECT_EQ(pty.receive(6), "RING\r\n");
    EXPECT_EQ(port->write(nullptr), 0);

    EXPECT_EQ(port->sendBreak(2).getCode(), 1);  // no break on a pseudo-terminal, but no failure

    EXPECT_EQ(port->disconnectPort().getCode(), 1);
    termios after = pty.now();
    EXPECT_EQ(after.c_iflag, pty.original.c_iflag);
    EXPECT_EQ(after.c_oflag, pty.original.c_oflag);
    EXPECT_EQ(after.c_cflag, pty.original.c_cflag);
    EXPECT_EQ(after.c_lflag, pty.original.c_lflag);
    EXPECT_EQ(std::memcmp(after.c_cc, pty.original.c_cc, sizeof after.c_cc), 0);
    EXPECT_EQ(port->disconnectPort().getCode(), -4);

    // Connected again, the same port works as before.
    ASSERT_EQ(port->connectPort().getCode(), 1);
    pty.send("x\n");
    EXPECT_EQ(totalOf(readBlocks(port->getReadPipe(), 2)), 2u);
}

TEST(SerialPort, WhileClosedSettingsAreStoredAndAppliedOnConnect) {
    Pty pty;
    RCPtr<SerialPort> port(new SerialPort());
    port->setPortName(pty.port());
    core::TraceCapture traces;
    EXPECT_EQ(port->setBaudRate(115200).getCode(), 1);
    EXPECT_EQ(port->setDataFormat(8, 0, 2).getCode(), 1);
    EXPECT_EQ(port->setEventChar('Z').getCode(), 1);
    EXPECT_EQ(port->setCommMask(EV_RXFLAG).getCode(), 1);
    EXPECT_EQ(port->setBufSize(2048, 2048).getCode(), 1);
    EXPECT_EQ(port->sendBreak(1).getCode(), -4);
    EXPECT_EQ(port->clearBreak().getCode(), -4);
    EXPECT_EQ(port->getCommMask(), 0u);
    EXPECT_EQ(port->getMaxBaudRate(9600), 0u);
    EXPECT_EQ(port->disconnectPort().getCode(), -4);
    EXPECT_EQ(port->write(bytes("AT\r\n")), 0);
    EXPECT_TRUE(traces.has(20, "SerialPort::writeToPort / (" + pty.stored() + ") Not Connected\n"));

    ASSERT_EQ(port->connectPort().getCode(), 1);
    termios t = pty.now();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    EXPECT_EQ(port->getCommMask(), static_cast<std::uint32_t>(EV_RXFLAG));
    pty.send("line\nends here Z");
    auto blocks = readBlocks(port->getReadPipe(), 16);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0], "line\nends here Z");

    // Applied at once while open.
    EXPECT_EQ(port->setBaudRate(19200).getCode(), 1);
    t = pty.now();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    // A data format the device cannot do is refused and traced.
    EXPECT_EQ(port->setDataFormat(7, EVENPARITY, 0).getCode(), -1);
    EXPECT_TRUE(traces.contains("SerialPort::onSetDataFormatReq / ::SetCommState(" + pty.stored() +
                                ") failed - 87 The parameter is incorrect.\n"));
}

TEST(SerialPort, RefusesSecondConnectAndReportsOpenFailures) {
    core::TraceCapture traces;
    RCPtr<SerialPort> missing(new SerialPort());
    missing->setPortName("/dev/vela-no-such-tty");
    EXPECT_EQ(missing->connectPort().getCode(), -2);
    EXPECT_TRUE(traces.has(20,
                           "SerialPort::onConnectReq / ::CreateFile(\\\\.\\/dev/vela-no-such-tty) "
                           "failed - 2 The system cannot find the file specified.\n"));
    EXPECT_EQ(missing->disconnectPort().getCode(), -4);

    Pty pty;
    RCPtr<SerialPort> port(new SerialPort());
    port->setPortName(pty.port());
    ASSERT_EQ(port->connectPort().getCode(), 1);
    EXPECT_EQ(port->connectPort().getCode(), SerialPort::kAlreadyOpen);
    EXPECT_TRUE(
        traces.has(20, "SerialPort::onConnectReq / (" + pty.stored() + ") Already connected\n"));
    // The open handle was kept.
    EXPECT_EQ(port->write(bytes("AT\r\n")), 4);
    EXPECT_EQ(pty.receive(4), "AT\r\n");

    // A second port on the same device is refused: COM ports open exclusively.
    RCPtr<SerialPort> other(new SerialPort());
    other->setPortName(pty.port());
    EXPECT_EQ(other->connectPort().getCode(), -2);
    EXPECT_TRUE(
        traces.contains("::CreateFile(" + pty.stored() + ") failed - 5 Access is denied.\n"));
}

// A "Connect" that fails once the port is open (here its settings are a data format the
// device cannot do) leaves the port closed, with the settings it was found with; a later
// "Connect" with good settings opens it.
TEST(SerialPort, FailedConnectLeavesThePortClosedAsFound) {
    Pty pty;
    RCPtr<SerialPort> port(new SerialPort());
    port->setPortName(pty.port());
    core::TraceCapture traces;
    ASSERT_EQ(port->setDataFormat(7, EVENPARITY, 0).getCode(), 1);
    EXPECT_EQ(port->connectPort().getCode(), -1);
    EXPECT_TRUE(traces.has(20, "SerialPort::updateSettings / ::SetCommState(" + pty.stored() +
                                   ") failed - 87 The parameter is incorrect.\n"))
        << traces.text();
    EXPECT_FALSE(traces.contains("WaitCommEvent")) << traces.text();
    termios after = pty.now();
    EXPECT_EQ(after.c_iflag, pty.original.c_iflag);
    EXPECT_EQ(after.c_cflag, pty.original.c_cflag);
    EXPECT_EQ(after.c_lflag, pty.original.c_lflag);
    EXPECT_EQ(port->disconnectPort().getCode(), -4) << "the port was left open";

    ASSERT_EQ(port->setDataFormat(8, NOPARITY, ONESTOPBIT).getCode(), 1);
    ASSERT_EQ(port->connectPort().getCode(), 1) << traces.text();
    pty.send("AT\n");
    EXPECT_EQ(totalOf(readBlocks(port->getReadPipe(), 3)), 3u);
}

// Released while open and reading, without a "Disconnect" nor a stop of its worker: the last
// release ends the worker, which closes the port with its settings restored, while the whole
// object still exists (under ASan a callback on a destroyed part would show).
TEST(SerialPort, LastReleaseWhileOpenClosesThePortAsFound) {
    Pty pty;
    RCPtr<SerialPort> port(new SerialPort());
    port->setPortName(pty.port());
    ASSERT_EQ(port->connectPort().getCode(), 1);
    pty.send("AT\n");
    EXPECT_EQ(totalOf(readBlocks(port->getReadPipe(), 3)), 3u);
    core::TraceCapture traces;
    port.reset();
    EXPECT_FALSE(traces.contains("failed")) << traces.text();
    termios after = pty.now();
    EXPECT_EQ(after.c_iflag, pty.original.c_iflag);
    EXPECT_EQ(after.c_cflag, pty.original.c_cflag);
    EXPECT_EQ(after.c_lflag, pty.original.c_lflag);
    // Closed: a new port object opens it again.
    RCPtr<SerialPort> again(new SerialPort());
    again->setPortName(pty.port());
    EXPECT_EQ(again->connectPort().getCode(), 1);
}

TEST(SerialPort, ReadsAgainWhileMoreThanTwentyPercentWaits) {
    Pty pty;
    RCPtr<SerialPort> port(new SerialPort());
    port->setPortName(pty.port());
    ASSERT_EQ(port->setEventChar('Z').getCode(), 1);
    ASSERT_EQ(port->setCommMask(EV_RXFLAG).getCode(), 1);  // only the event character reads
    ASSERT_EQ(port->connectPort().getCode(), 1);

    // The event character fills the 1024-byte queue; 600 more bytes wait behind it. One line
    // event, and the reads that follow at once take everything.
    pty.send(std::string(1023, 'a') + "Z" + std::string(600, 'b'));
    auto blocks = readBlocks(port->getReadPipe(), 1624);
    ASSERT_EQ(totalOf(blocks), 1624u);
    EXPECT_EQ(blocks[0].size(), 1024u);

    // 150 bytes (not more than 20 % of 1024) are left for the next line event.
    pty.send(std::string(1023, 'c') + "Z" + std::string(150, 'd'));
    blocks = readBlocks(port->getReadPipe(), 1024);
    ASSERT_EQ(blocks.size(), 1u);
    pty.send("Z");
    blocks = readBlocks(port->getReadPipe(), 151);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0], std::string(150, 'd') + "Z");
}

TEST(SerialPort, EightyPercentMarkReadsWithoutLineFeed) {
    Pty pty;
    RCPtr<SerialPort> port(new SerialPort());
    port->setPortName(pty.port());
    ASSERT_EQ(port->connectPort().getCode(), 1);
    pty.send(std::string(900, 'x'));  // no line feed; 80 % of 1024 is passed at 820 bytes
    auto blocks = readBlocks(port->getReadPipe(), 820);
    EXPECT_GE(totalOf(blocks), 820u);
}

TEST(SerialPort, WriteWhilePendingIsRefusedAndPipeBlocksWait) {
    Pty pty;
    RCPtr<SerialPort> port(new SerialPort());
    port->setPortName(pty.port());
    ASSERT_EQ(port->connectPort().getCode(), 1);
    core::TraceCapture traces;

    const std::string big(1 << 20, 'q');  // more than the pseudo-terminal buffers
    auto first = std::async(std::launch::async, [&] { return port->write(bytes(big)); });
    pollfd p{pty.master, POLLIN, 0};
    // Bytes arrive: the write has started, and it cannot have finished. The next request is
    // handled after it.
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_EQ(port->write(bytes("second")), 0);
    EXPECT_TRUE(traces.has(20, "SerialPort::onWriteReq / (" + pty.stored() +
                                   ") Write refused - another write is pending\n"));
    port->getWritePipe()->write(bytes("after"));  // waits for the pending write

    EXPECT_EQ(pty.receive(big.size() + 5), big + "after");
    ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(first.get(), static_cast<long>(big.size()));
}

TEST(SerialPort, MaxBaudRateTriesDoublingRatesAndKeepsTheRate) {
    Pty pty;
    RCPtr<SerialPort> port(new SerialPort());
    port->setPortName(pty.port());
    ASSERT_EQ(port->connectPort().getCode(), 1);
    // 9600, 19200, 38400, 76800, 153600, 307200, 614400: a pseudo-terminal takes them all.
    EXPECT_EQ(port->getMaxBaudRate(9600), 614400u);
    termios t = pty.now();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(port->getMaxBaudRate(1000000), 0u) << "starts above the limit: nothing tried";
    EXPECT_EQ(port->getMaxBaudRate(0), 0u) << "a rate of 0 never grows";
}

TEST(SerialPort, LineErrorsAreReportedWithTheirTexts) {
    Pty pty;
    RCPtr<SerialPort> port(new SerialPort());
    port->setPortName(pty.port());
    ASSERT_EQ(port->connectPort().getCode(), 1);
    auto status = port->getStatusPipe();
    core::TraceCapture traces;

    ASSERT_TRUE(platform::raiseCommEvent(pty.name, EV_ERR, CE_BREAK));
    RCPtr<core::Status> report = readStatus(status);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->getCode(), 0x80);
    EXPECT_EQ(report->getValue2(), 0x10);
    const std::string name = pty.stored();
    EXPECT_TRUE(traces.has(40, "SerialPort::handleCommErrors / " + name + " ( CE_BREAK |)\n"));
    EXPECT_EQ(traces.count("SerialPort::handleCommErrors"), 1u);

    ASSERT_TRUE(platform::raiseCommEvent(pty.name, EV_ERR, 0xA000));
    report = readStatus(status);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->getCode(), 0x80);
    EXPECT_EQ(report->getValue2(), 0xA000);
    EXPECT_TRUE(traces.has(40, "SerialPort::handleCommErrors / " + name + " ( CE_MODE |)\n"));
    EXPECT_TRUE(
        traces.has(40, "SerialPort::handleCommErrors  / " + name + " Unknown Error 0xA000\n"));

    // Errors found when reading go out on their own; the break event then reports itself.
    ASSERT_TRUE(platform::raiseCommEvent(pty.name, 0, CE_FRAME | CE_OVERRUN));
    pty.send("x\n");
    report = readStatus(status);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->getCode(), 0x80);
    EXPECT_EQ(report->getValue2(), 0x0A);
    EXPECT_TRUE(
        traces.has(40, "SerialPort::handleCommErrors / " + name + " ( CE_OVERRUN | CE_FRAME |)\n"));
    EXPECT_EQ(totalOf(readBlocks(port->getReadPipe(), 2)), 2u);
    ASSERT_TRUE(platform::raiseCommEvent(pty.name, EV_BREAK, 0));
    report = readStatus(status);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->getCode(), 0x40);
    EXPECT_EQ(report->getValue2(), 0);

    // A changed event mask is no line event: nothing is purged, nothing reported.
    pty.send("partial");
    ASSERT_EQ(port->setCommMask(EV_RXFLAG | EV_ERR).getCode(), 1);
    pty.send("\n");
    auto blocks = readBlocks(port->getReadPipe(), 8);
    ASSERT_EQ(totalOf(blocks), 8u);
    EXPECT_FALSE(traces.contains("CommMask == 0"));
}

TEST(SerialPort, VanishedPeerIsReportedAndStopsTheLineEventWait) {
    Pty pty;
    RCPtr<SerialPort> port(new SerialPort());
    port->setPortName(pty.port());
    ASSERT_EQ(port->connectPort().getCode(), 1);
    core::TraceCapture traces;
    pty.closeMaster();
    RCPtr<core::Status> report = readStatus(port->getStatusPipe());
    ASSERT_TRUE(report);
    EXPECT_EQ(report->getCode(), 0x80);
    EXPECT_EQ(report->getValue2(), static_cast<long>(CE_IOE));
    const std::string waitFailed = "SerialPort::waitForCommEvent / ::WaitCommEvent(" +
                                   pty.stored() + ") failed - 1167 The device is not connected.\n";
    ASSERT_TRUE(waitFor([&] { return traces.has(20, waitFailed); }));
    EXPECT_EQ(port->write(bytes("AT\r\n")), 0);
    EXPECT_EQ(traces.count("SerialPort::waitForCommEvent"), 1u) << "the wait is not retried";
    EXPECT_EQ(port->disconnectPort().getCode(), 1);
}

TEST(SerialPort, TalksToAPeerThroughSocat) {
    if (::access("/usr/bin/socat", X_OK) != 0)
        GTEST_SKIP() << "socat is not installed (Debian package socat)";
    auto dir =
        std::filesystem::temp_directory_path() / ("vela-socat-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string a = (dir / "a").string(), b = (dir / "b").string();
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::execl("/usr/bin/socat", "socat", "-d", "-d", ("pty,raw,echo=0,link=" + a).c_str(),
                ("pty,raw,echo=0,link=" + b).c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    struct Reap {
        pid_t pid;
        std::filesystem::path dir;
        ~Reap() {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
            std::filesystem::remove_all(dir);
        }
    } reap{pid, dir};
    ASSERT_TRUE(waitFor([&] {
        return ::access(a.c_str(), F_OK) == 0 && ::access(b.c_str(), F_OK) == 0;
    })) << "socat made no pseudo-terminals";

    int peer = ::open(b.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(peer, 0);
    RCPtr<SerialPort> port(new SerialPort());
    port->setPortName(a);
    ASSERT_EQ(port->connectPort().getCode(), 1);
    ASSERT_EQ(::write(peer, "AT+CGSN\r\n", 9), 9);
    auto blocks = readBlocks(port->getReadPipe(), 9);
    ASSERT_EQ(totalOf(blocks), 9u);
    EXPECT_EQ(blocks[0], "AT+CGSN\r\n");
    EXPECT_EQ(port->write(bytes("\r\nOK\r\n")), 6);
    std::string got;
    while (got.size() < 6) {
        pollfd p{peer, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            break;
        char buf[64];
        ssize_t n = ::read(peer, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(got, "\r\nOK\r\n");
    EXPECT_EQ(port->disconnectPort().getCode(), 1);
    ::close(peer);
}

}  // namespace
