// ATChannel and ATChannelInfo. The channel opens pseudo-terminals made here, named by device
// path or as a COM port mapped through VELA_COM<n>; the test watches the port from the peer
// side: the termios the port leaves and its exclusive-open mode.
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "framework/core/Trace.h"
#include "transport/ATChannel.h"
#include "transport/ATChannelInfo.h"

namespace {

using core::RCPtr;

struct Pty {
    Pty() {
        EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        tcgetattr(slave, &original);
    }
    ~Pty() {
        ::close(master);
        ::close(slave);
    }
    termios now() const {
        termios t{};
        tcgetattr(master, &t);
        return t;
    }
    // Opened by the port: raw, 9600 baud, 8 data bits, no parity, one stop bit, exclusive.
    bool isOpenedRaw9600() const {
        termios t = now();
        int exclusive = 0;
        ioctl(slave, TIOCGEXCL, &exclusive);
        return exclusive && cfgetospeed(&t) == B9600 &&
               (t.c_cflag & (CSIZE | PARENB | CSTOPB)) == CS8 && (t.c_lflag & (ICANON | ECHO)) == 0;
    }
    // Closed by the port: the termios as found, exclusive mode cleared.
    bool isRestored() const {
        termios t = now();
        int exclusive = 1;
        ioctl(slave, TIOCGEXCL, &exclusive);
        return !exclusive && t.c_iflag == original.c_iflag && t.c_oflag == original.c_oflag &&
               t.c_cflag == original.c_cflag && t.c_lflag == original.c_lflag &&
               std::memcmp(t.c_cc, original.c_cc, sizeof t.c_cc) == 0;
    }
    std::string stored() const { return std::string("\\\\.\\") + name; }
    int master = -1;
    int slave = -1;
    char name[128] = {};
    termios original{};
};

// Threads of this process named after the serial port's worker.
int serialPortThreads() {
    int n = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        n += name == "SerialPort";
    }
    return n;
}

RCPtr<dsrc::DataSourceChannelInfo> infoFor(const std::string& port) {
    RCPtr<vela::ATChannelInfo> info(new vela::ATChannelInfo());
    info->setPortName(port);
    return info;
}

TEST(ATChannelInfo, IsAnInvisibleUnselectedTypeSevenInfoThatCopiesAsItself) {
    RCPtr<vela::ATChannelInfo> info(
        dynamic_cast<vela::ATChannelInfo*>(vela::ATChannelInfo::createObject()));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->getClassName(), "vela::ATChannelInfo");
    EXPECT_EQ(info->getChannelType(), 7);
    EXPECT_FALSE(info->isVisible());
    EXPECT_FALSE(info->isSelected());

    info->setPortName("COM3");
    RCPtr<vela::ATChannelInfo> copy(dynamic_cast<vela::ATChannelInfo*>(info->copy()));
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->getPortName(), "COM3");
    EXPECT_EQ(copy->getRefCount(), 1);
    vela::ATChannelInfo assigned;
    assigned = *info;
    EXPECT_EQ(assigned.getPortName(), "COM3");
    EXPECT_FALSE(assigned.isVisible());

    RCPtr<vela::ATChannel> at(dynamic_cast<vela::ATChannel*>(vela::ATChannel::createObject()));
    ASSERT_TRUE(at);
    EXPECT_EQ(at->getChannelName(), "AT Channel");
    EXPECT_FALSE(core::Object::isClassRegistered("vela::ATChannel"));
}

TEST(ATChannel, HoldsThePortOpenUntilTheWorkThreadEnds) {
    Pty pty;
    core::TraceCapture traces;
    const int before = serialPortThreads();
    RCPtr<vela::ATChannel> channel(new vela::ATChannel());
    ASSERT_TRUE(channel->startWorkThread());
    EXPECT_EQ(serialPortThreads(), before + 1);
    ASSERT_TRUE(channel->setChannelInfo(infoFor(pty.name)));
    EXPECT_TRUE(pty.isOpenedRaw9600());

    // Activation and deactivation are the framework's alone: the port stays as it is.
    EXPECT_TRUE(channel->activate(nullptr));
    EXPECT_EQ(channel->getActiveStateSnapshot(), dsrc::CHANNEL_STATE_ACTIVE);
    EXPECT_TRUE(channel->deactivate());
    EXPECT_TRUE(pty.isOpenedRaw9600());

    ASSERT_TRUE(channel->stopWorkThread());
    EXPECT_TRUE(pty.isRestored());
    EXPECT_TRUE(traces.has(40, "ATChannel::closePort / (" + pty.stored() + ") closed - 1\n"));
    EXPECT_EQ(serialPortThreads(), before);

    // Released without ending the work thread first, the channel still closes its port.
    Pty second;
    channel = new vela::ATChannel();
    ASSERT_TRUE(channel->startWorkThread());
    ASSERT_TRUE(channel->setChannelInfo(infoFor(second.name)));
    EXPECT_TRUE(second.isOpenedRaw9600());
    channel.reset();
    EXPECT_TRUE(second.isRestored());
    EXPECT_EQ(serialPortThreads(), before);
}

TEST(ATChannel, OpensAComPortMappedThroughTheEnvironment) {
    Pty pty;
    ASSERT_EQ(::setenv("VELA_COM93", pty.name, 1), 0);
    core::TraceCapture traces;
    {
        RCPtr<vela::ATChannel> channel(new vela::ATChannel());
        ASSERT_TRUE(channel->startWorkThread());
        ASSERT_TRUE(channel->setChannelInfo(infoFor("COM93")));
        EXPECT_TRUE(pty.isOpenedRaw9600());
        ASSERT_TRUE(channel->stopWorkThread());
    }
    ::unsetenv("VELA_COM93");
    EXPECT_TRUE(pty.isRestored());
    EXPECT_TRUE(traces.has(40, "ATChannel::closePort / (\\\\.\\COM93) closed - 1\n"));
}

TEST(ATChannel, EndingWithNothingOpenSendsNoDisconnectAndDestroysThePort) {
    core::TraceCapture traces;
    const int before = serialPortThreads();
    RCPtr<vela::ATChannel> channel(new vela::ATChannel());
    ASSERT_TRUE(channel->startWorkThread());
    EXPECT_EQ(serialPortThreads(), before + 1);
    // An info of another kind names no port.
    ASSERT_TRUE(channel->setChannelInfo(new dsrc::DataSourceChannelInfo(7)));
    ASSERT_TRUE(channel->stopWorkThread());
    EXPECT_EQ(serialPortThreads(), before);
    EXPECT_TRUE(traces.lines().empty()) << traces.text();
}

TEST(ATChannel, SecondInfoWithAnotherPortMovesTheChannelToIt) {
    Pty first, second;
    core::TraceCapture traces;
    RCPtr<vela::ATChannel> channel(new vela::ATChannel());
    ASSERT_TRUE(channel->startWorkThread());
    ASSERT_TRUE(channel->setChannelInfo(infoFor(first.name)));
    ASSERT_TRUE(first.isOpenedRaw9600());

    ASSERT_TRUE(channel->setChannelInfo(infoFor(second.name)));
    EXPECT_TRUE(first.isRestored());
    EXPECT_TRUE(second.isOpenedRaw9600());
    EXPECT_TRUE(traces.has(40, "ATChannel::closePort / (" + first.stored() + ") closed - 1\n"));

    // The port named again is left open as it is: no second "Connect".
    ASSERT_TRUE(channel->setChannelInfo(infoFor(second.name)));
    EXPECT_TRUE(second.isOpenedRaw9600());
    EXPECT_FALSE(traces.contains("Already connected"));

    ASSERT_TRUE(channel->stopWorkThread());
    EXPECT_TRUE(second.isRestored());
    EXPECT_EQ(traces.count("ATChannel::closePort"), 2u);
}

TEST(ATChannel, PortThatCannotBeOpenedLeavesTheChannelRunning) {
    Pty pty;
    core::TraceCapture traces;
    RCPtr<vela::ATChannel> channel(new vela::ATChannel());
    ASSERT_TRUE(channel->startWorkThread());
    ASSERT_TRUE(channel->setChannelInfo(infoFor("/dev/vela-no-such-tty")));
    EXPECT_TRUE(traces.has(20,
                           "SerialPort::onConnectReq / ::CreateFile(\\\\.\\/dev/vela-no-such-tty) "
                           "failed - 2 The system cannot find the file specified.\n"));
    EXPECT_TRUE(channel->activate(nullptr));
    EXPECT_EQ(channel->getActiveStateSnapshot(), dsrc::CHANNEL_STATE_ACTIVE);

    // The same name again tries again; a name that can be opened is opened.
    ASSERT_TRUE(channel->setChannelInfo(infoFor("/dev/vela-no-such-tty")));
    EXPECT_EQ(traces.count("::CreateFile(\\\\.\\/dev/vela-no-such-tty) failed"), 2u);
    ASSERT_TRUE(channel->setChannelInfo(infoFor(pty.name)));
    EXPECT_TRUE(pty.isOpenedRaw9600());
    EXPECT_EQ(traces.count("ATChannel::closePort"), 0u) << "nothing was open to close";
    ASSERT_TRUE(channel->stopWorkThread());
    EXPECT_TRUE(pty.isRestored());
}

// Sets its channel info from the work thread's begin, before the serial port exists.
class EarlyInfoChannel : public vela::ATChannel {
  protected:
    bool onBeginWorkThread() override {
        onSetChannelInfo(infoFor("COM3"));
        return vela::ATChannel::onBeginWorkThread();
    }
};

TEST(ATChannel, InfoBeforeTheSerialPortExistsIsTracedAndIgnored) {
    core::TraceCapture traces;
    RCPtr<vela::ATChannel> channel(new EarlyInfoChannel());
    ASSERT_TRUE(channel->startWorkThread());
    EXPECT_TRUE(traces.has(20, "ATChannel::onSetChannelInfo / (COM3) No serial port - ignored\n"));
    ASSERT_TRUE(channel->stopWorkThread());
}

}  // namespace
