// SerialPort on a linked port pair (tests/support/ComPairs.h): the port under test is one COM
// port of the pair, the test plays the phone on the other through the comm calls. The same
// test runs on Linux and under Wine.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/Data.h"
#include "framework/core/Trace.h"
#include "platform/serial/commapi.h"
#include "tests/support/ComPairs.h"
#include "transport/SerialPort.h"

namespace {

using core::RCPtr;
using namespace std::chrono_literals;

// "\\.\COM41" without the prefix, as a user names the port.
std::string shortName(const std::string& name) {
    return name.substr(4);
}

// The phone's side of the pair.
struct Peer {
    explicit Peer(const std::string& name) {
        h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 10000};
        EXPECT_TRUE(SetCommTimeouts(h, &t));
        EXPECT_TRUE(PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR));
        ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Peer() {
        CloseHandle(h);
        CloseHandle(ev);
    }
    void send(const std::string& s) {
        OVERLAPPED ov{};
        ov.hEvent = ev;
        DWORD n = 0;
        if (!WriteFile(h, s.data(), static_cast<DWORD>(s.size()), &n, &ov)) {
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
            ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
        }
        ASSERT_EQ(n, s.size());
    }
    // Reads until n bytes came or 5 s passed.
    std::string receive(std::size_t n) {
        std::string out;
        auto until = std::chrono::steady_clock::now() + 5s;
        while (out.size() < n && std::chrono::steady_clock::now() < until) {
            char buf[4096];
            OVERLAPPED ov{};
            ov.hEvent = ev;
            DWORD got = 0;
            if (!ReadFile(h, buf, sizeof buf, &got, &ov)) {
                if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h, &ov, &got, TRUE))
                    break;
            }
            if (got == 0)
                std::this_thread::sleep_for(1ms);
            out.append(buf, got);
        }
        return out;
    }
    HANDLE h = INVALID_HANDLE_VALUE;
    HANDLE ev = nullptr;
};

std::string readText(const RCPtr<core::Pipe>& pipe, std::size_t n) {
    std::string text;
    auto until = std::chrono::steady_clock::now() + 5s;
    while (text.size() < n && std::chrono::steady_clock::now() < until) {
        if (RCPtr<core::Data> d = pipe->readData())
            text.append(reinterpret_cast<const char*>(d->getInternalData()), d->size());
        else
            std::this_thread::sleep_for(1ms);
    }
    return text;
}

RCPtr<core::Data> bytes(const std::string& s) {
    return new core::Data(s.data(), s.size());
}

TEST(SerialPortPair, TalksToThePhoneAndGivesThePortBackOnDisconnect) {
    VELA_REQUIRE_COM_PAIRS(1);
    const auto& pair = testsupport::comPairs(1)[0];
    if (testsupport::dtrUnusableUnderWine(pair.a))
        GTEST_SKIP() << "Wine cannot raise DTR on a pseudo-terminal";
    core::TraceCapture traces;
    RCPtr<SerialPort> port(new SerialPort());
    port->setPortName(shortName(pair.a));
    EXPECT_EQ(port->getPortName(), pair.a);
    ASSERT_EQ(port->connectPort().getCode(), 1) << traces.text();
    Peer phone(pair.b);

    phone.send("AT");
    phone.send("+CGMI\r\n");
    EXPECT_EQ(readText(port->getReadPipe(), 9), "AT+CGMI\r\n");
    EXPECT_EQ(port->write(bytes("OK\r\n")), 4);
    EXPECT_EQ(phone.receive(4), "OK\r\n");
    port->getWritePipe()->write(bytes("RING\r\n"));
    EXPECT_EQ(phone.receive(6), "RING\r\n");

    // A large block both ways, nothing lost. (More than the pseudo-terminals buffer: the write
    // goes through the pipe, so that the phone reads while the port writes.)
    std::string big(50000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    port->getWritePipe()->write(bytes(big));
    EXPECT_TRUE(phone.receive(big.size()) == big);
    phone.send(big.substr(0, 3000) + "\n");
    EXPECT_TRUE(readText(port->getReadPipe(), 3001) == big.substr(0, 3000) + "\n");

    // COM ports open exclusively: a second port object on the same port is refused.
    RCPtr<SerialPort> other(new SerialPort());
    other->setPortName(shortName(pair.a));
    EXPECT_EQ(other->connectPort().getCode(), -2);
    EXPECT_TRUE(traces.has(20, "SerialPort::onConnectReq / ::CreateFile(" + pair.a +
                                   ") failed - 5 Access is denied.\n"))
        << traces.text();

    EXPECT_EQ(port->disconnectPort().getCode(), 1);
    EXPECT_EQ(other->connectPort().getCode(), 1) << "the port is free again";
    EXPECT_EQ(other->disconnectPort().getCode(), 1);
    EXPECT_FALSE(traces.contains("failed - 0")) << traces.text();
}

TEST(SerialPortPair, SettingsMadeWhileClosedAreAppliedOnConnect) {
    VELA_REQUIRE_COM_PAIRS(1);
    const auto& pair = testsupport::comPairs(1)[0];
    if (testsupport::dtrUnusableUnderWine(pair.a))
        GTEST_SKIP() << "Wine cannot raise DTR on a pseudo-terminal";
    core::TraceCapture traces;
    RCPtr<SerialPort> port(new SerialPort());
    port->setPortName(shortName(pair.a));
    EXPECT_EQ(port->setBaudRate(115200).getCode(), 1);
    EXPECT_EQ(port->setEventChar('Z').getCode(), 1);
    EXPECT_EQ(port->setCommMask(EV_RXFLAG).getCode(), 1);
    ASSERT_EQ(port->connectPort().getCode(), 1) << traces.text();
    EXPECT_EQ(port->getCommMask(), static_cast<std::uint32_t>(EV_RXFLAG));
    Peer phone(pair.b);
    phone.send("line\nends here Z");
    EXPECT_EQ(readText(port->getReadPipe(), 16), "line\nends here Z");
    EXPECT_EQ(port->disconnectPort().getCode(), 1);
    EXPECT_FALSE(traces.contains(") failed")) << traces.text();
}

}  // namespace
