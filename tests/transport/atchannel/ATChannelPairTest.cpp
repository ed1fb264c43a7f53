// ATChannel on a linked COM port pair (tests/support/ComPairs.h), on Linux and under Wine: the
// channel holds its port exclusively while its work thread runs, which the test sees by trying
// to open the port itself; the other port of the pair shows that the port is the live one.
#include <gtest/gtest.h>

#include <string>

#include "framework/core/Trace.h"
#include "platform/serial/commapi.h"
#include "tests/support/ComPairs.h"
#include "transport/ATChannel.h"
#include "transport/ATChannelInfo.h"

namespace {

using core::RCPtr;

bool portIsFree(const std::string& name) {
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        return false;
    }
    CloseHandle(h);
    return true;
}

RCPtr<dsrc::DataSourceChannelInfo> infoFor(const std::string& port) {
    RCPtr<vela::ATChannelInfo> info(new vela::ATChannelInfo());
    info->setPortName(port);
    return info;
}

TEST(ATChannelPair, HoldsItsComPortWhileTheWorkThreadRunsAndMovesToANewOne) {
    VELA_REQUIRE_COM_PAIRS(2);
    const auto& pairs = testsupport::comPairs(2);
    if (testsupport::dtrUnusableUnderWine(pairs[0].a))
        GTEST_SKIP() << "Wine cannot raise DTR on a pseudo-terminal";
    const std::string first = pairs[0].a.substr(4), second = pairs[1].a.substr(4);
    core::TraceCapture traces;
    RCPtr<vela::ATChannel> channel(new vela::ATChannel());
    ASSERT_TRUE(channel->startWorkThread());
    ASSERT_TRUE(channel->setChannelInfo(infoFor(first)));
    EXPECT_FALSE(portIsFree(pairs[0].a)) << traces.text();
    EXPECT_TRUE(channel->activate(nullptr));
    EXPECT_TRUE(channel->deactivate());
    EXPECT_FALSE(portIsFree(pairs[0].a));

    ASSERT_TRUE(channel->setChannelInfo(infoFor(second)));
    EXPECT_TRUE(portIsFree(pairs[0].a));
    EXPECT_FALSE(portIsFree(pairs[1].a));
    EXPECT_TRUE(traces.has(40, "ATChannel::closePort / (" + pairs[0].a + ") closed - 1\n"));

    ASSERT_TRUE(channel->stopWorkThread());
    EXPECT_TRUE(portIsFree(pairs[1].a));
    EXPECT_TRUE(traces.has(40, "ATChannel::closePort / (" + pairs[1].a + ") closed - 1\n"));
    EXPECT_FALSE(traces.contains(") failed")) << traces.text();

    // Released without ending the work thread first, the channel still closes its port.
    channel = new vela::ATChannel();
    ASSERT_TRUE(channel->startWorkThread());
    ASSERT_TRUE(channel->setChannelInfo(infoFor(first)));
    EXPECT_FALSE(portIsFree(pairs[0].a));
    channel.reset();
    EXPECT_TRUE(portIsFree(pairs[0].a));
}

}  // namespace
