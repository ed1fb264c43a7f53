// Test doubles and helpers for the debug-multiplexer client tests: a channel derived from
// VelaChannel that records what it receives, an equipment that records the targets it is
// given, bounded waits, and a fixture that resets the simulated service around each test and
// checks that every object of the service was released.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/Clock.h"
#include "framework/core/Data.h"
#include "framework/core/Request.h"
#include "framework/core/Trace.h"
#include "framework/dsrc/DataSourceSink.h"
#include "platform/com/Com.h"
#include "platform/com/DebugMuxLib.h"
#include "session/VelaChannel.h"
#include "sim/SimService.h"
#include "tests/sim/RunUntilIdle.h"
#include "transport/DataProvider.h"
#include "transport/DebugMux.h"
#include "transport/Target.h"
#include "transport/TargetUser.h"

namespace muxtest {

using namespace std::chrono_literals;
using core::RCPtr;

// The bound of every wait here for another thread (a block, a result, a worker stopped in a
// hold): long enough for any step of the tests, also under the sanitizers; a test that runs
// into it fails instead of hanging.
inline constexpr std::chrono::milliseconds kWait{15000};

inline std::vector<std::uint8_t> bytesOf(const core::Data& data) {
    return {data.getInternalData(), data.getInternalData() + data.size()};
}

inline RCPtr<core::Data> dataOf(const std::vector<std::uint8_t>& bytes) {
    return new core::Data(bytes.data(), bytes.size());
}

// Where an activated channel's frames would go; takes everything.
struct NullSink : dsrc::DataSourceSink {
    bool onDataSourceFrame(const dsrc::DataSourceChannelInfo*,
                           const RCPtr<dsrc::DataSourceFrame>&) override {
        return true;
    }
};

// A VelaChannel that records the blocks it receives and lets a test send and look at its
// binding, all on its own worker. With reachActive it reports itself active at the first
// block, as the print-server channel does.
class TestChannel : public vela::VelaChannel {
  public:
    explicit TestChannel(const std::string& name, unsigned long activateTimeoutMs = 6000,
                         bool reachActive = false)
        : vela::VelaChannel(name), m_timeout(activateTimeoutMs), m_reachActive(reachActive) {}

    // Sends one block through the bound provider, on the channel's worker; the channel's own
    // result.
    bool sendBlock(const RCPtr<core::Data>& block) {
        RCPtr<core::Response> response;
        if (!doRequest(new core::RCObjectReq("TestSend", block), &response) || !response)
            return false;
        return response->getStatus().succeeded();
    }
    // The provider bound now, read on the channel's worker.
    RCPtr<vela::DataProvider> boundProvider() {
        RCPtr<core::Response> response;
        if (!doRequest(new core::Request("TestProvider"), &response))
            return {};
        auto answer = core::rcCast<core::RCObjectRsp>(response);
        return answer ? core::rcCast<vela::DataProvider>(answer->getObject()) : nullptr;
    }
    std::string boundProviderName() {
        RCPtr<vela::DataProvider> provider = boundProvider();
        return provider ? std::string(provider->getName()) : std::string();
    }

    std::vector<std::vector<std::uint8_t>> received() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_blocks;
    }
    std::size_t receivedCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_blocks.size();
    }
    bool waitReceived(std::size_t count, std::chrono::milliseconds timeout = kWait) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_blocks.size() >= count; });
    }
    // While held, the channel's worker stops in the next received block (for at most kWait)
    // until released; waitHeld() returns once it has stopped there.
    void hold(bool on) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = on;
        m_changed.notify_all();
    }
    bool waitHeld() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kWait, [&] { return m_inHold; });
    }
    // Streams whose every block has been read (onStreamEnded); streamEnds() holds the number
    // of blocks received when each ended.
    bool waitStreamsEnded(std::size_t count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kWait, [&] { return m_streamEnds.size() >= count; });
    }
    std::vector<std::size_t> streamEnds() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_streamEnds;
    }
    // Received bytes are only counted, not kept (for long streams).
    void countOnly(bool on) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_countOnly = on;
    }

  protected:
    bool onBeginWorkThread() override {
        if (!vela::VelaChannel::onBeginWorkThread())
            return false;
        attachCallback("TestSend", &TestChannel::onTestSend);
        attachCallback("TestProvider", &TestChannel::onTestProvider);
        return true;
    }
    bool onEndWorkThread() override {
        detachCallback("TestSend");
        detachCallback("TestProvider");
        return vela::VelaChannel::onEndWorkThread();
    }
    void onDataFromUE(const RCPtr<core::Data>& block) override {
        if (m_reachActive && getChannelActiveState() == dsrc::CHANNEL_STATE_ACTIVATING)
            setChannelActiveState(dsrc::CHANNEL_STATE_ACTIVE);
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_hold) {
                m_inHold = true;
                m_changed.notify_all();
                m_changed.wait_for(lock, kWait, [&] { return !m_hold; });
                m_inHold = false;
            }
            if (m_countOnly)
                m_blocks.emplace_back();
            else
                m_blocks.push_back(bytesOf(*block));
        }
        m_changed.notify_all();
    }
    void onStreamEnded() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_streamEnds.push_back(m_blocks.size());
        }
        m_changed.notify_all();
    }
    unsigned long getActivateTimeout() const override { return m_timeout; }

  private:
    void onTestSend(core::Request& request) {
        auto* carrier = dynamic_cast<core::RCObjectReq*>(&request);
        bool sent = carrier && send(core::rcCast<core::Data>(carrier->getObject()));
        sendResponse(new core::Response(request, core::Status(sent ? 1 : -1)));
    }
    void onTestProvider(core::Request& request) {
        sendResponse(new core::RCObjectRsp(request, getDataProvider()));
    }

    const unsigned long m_timeout;
    const bool m_reachActive;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::vector<std::uint8_t>> m_blocks;
    std::vector<std::size_t> m_streamEnds;
    bool m_countOnly = false;
    bool m_hold = false;
    bool m_inHold = false;
};

// Starts a channel's worker and stops it (detached from its target first) when it goes.
class ChannelHolder {
  public:
    explicit ChannelHolder(RCPtr<TestChannel> channel) : m_channel(std::move(channel)) {
        m_channel->startWorkThread();
    }
    ~ChannelHolder() { stop(); }
    ChannelHolder(const ChannelHolder&) = delete;
    ChannelHolder& operator=(const ChannelHolder&) = delete;
    TestChannel* operator->() const { return m_channel.get(); }
    TestChannel* get() const { return m_channel.get(); }
    void stop() {
        if (m_channel)
            m_channel->stopWorkThread();
        m_channel.reset();
    }
    // Lets go of the channel with its worker still running: its final release ends it.
    void release() { m_channel.reset(); }

  private:
    RCPtr<TestChannel> m_channel;
};

// An equipment as the multiplexer client sees it: it records the targets it is given.
class TestEquipment : public core::RCObject, public vela::TargetUser {
  public:
    void setTarget(const RCPtr<vela::Target>& target) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_targets.push_back(target);
        }
        m_changed.notify_all();
    }
    std::size_t calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_targets.size();
    }
    RCPtr<vela::Target> last() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_targets.empty() ? nullptr : m_targets.back();
    }
    // Waits for the n-th call (counting from 1).
    bool waitCalls(std::size_t n, std::chrono::milliseconds timeout = kWait) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_targets.size() >= n; });
    }
    void forget() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_targets.clear();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<RCPtr<vela::Target>> m_targets;
};

// Resets the simulated service before and after each test; afterwards every object of the
// service must have been released by the client objects.
class MuxTest : public ::testing::Test {
  protected:
    sim::SimService& service = sim::SimService::instance();

    void SetUp() override { service.reset(); }
    void TearDown() override {
        service.reset();
        EXPECT_TRUE(sim::SimService::waitForLiveObjects(0, 10000ms))
            << sim::SimService::liveObjects() << " objects of the service are still held";
    }

    // The DebugMux once its sink listens to the service, so that phones added afterwards
    // are reported by events.
    RCPtr<vela::DebugMux> startMux() {
        RCPtr<vela::DebugMux> mux = vela::DebugMux::getInstance();
        EXPECT_TRUE(service.waitForServerSinks(1, kWait));
        return mux;
    }
    // Attaches an equipment and lets the start-up timers run: the target it has then, with
    // the phone's providers (none when the phone is not there).
    RCPtr<vela::Target> attachAndWait(vela::DebugMux& mux, const RCPtr<TestEquipment>& equipment,
                                      const std::string& port) {
        mux.attachEquipment(port, equipment);
        letStartUpTimersRun();
        return equipment->last();
    }
    // What the test caused so far has run: the workers and the simulated service are idle.
    void settle() { ASSERT_TRUE(simtest::runUntilIdle()); }
    // On the manual clock (MuxClockTest): what the test caused so far has run; then `by`
    // passes and what came due has run.
    void passTime(std::chrono::milliseconds by) {
        ASSERT_NE(manualClock, nullptr);
        ASSERT_TRUE(simtest::advanceAndSettle(*manualClock, by));
    }
    // The multiplexer client's start-up enumeration (3000 ms after it started) and then
    // the targets' (300 ms after each was set up) have run.
    void letStartUpTimersRun() {
        passTime(3000ms);
        passTime(300ms);
    }

    core::ManualClock* manualClock = nullptr;  // set by MuxClockTest
};

// The same on a manual clock: the client's start-up timers and the channels' activation
// limits pass when the test moves the clock on, and exactly then.
template <class Base = MuxTest>
class MuxClockTest : public Base {
  protected:
    MuxClockTest() { this->manualClock = &clock; }
    core::ManualClock clock;
};

}  // namespace muxtest
