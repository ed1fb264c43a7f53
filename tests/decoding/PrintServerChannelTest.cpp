// The print-server channel bound to a phone of the simulated service: when it reads active,
// also after the phone's stream went away and came back, while the phone prints nothing.
#include <atomic>
#include <mutex>
#include <vector>

#include "decoding/PrintServerChannel.h"
#include "tests/transport/mux/MuxTestSupport.h"

namespace {

using core::RCPtr;
using namespace std::chrono_literals;
using muxtest::kWait;

const char* const kName = "Print Server Channel";

// The channel with a settable activation time limit.
class TestPrintServerChannel : public vela::PrintServerChannel {
  public:
    explicit TestPrintServerChannel(unsigned long activateTimeoutMs)
        : m_timeout(activateTimeoutMs) {}

  protected:
    unsigned long getActivateTimeout() const override { return m_timeout; }

  private:
    const unsigned long m_timeout;
};

struct CountingSink : dsrc::DataSourceSink {
    bool onDataSourceFrame(const dsrc::DataSourceChannelInfo*,
                           const RCPtr<dsrc::DataSourceFrame>&) override {
        ++frames;
        return true;
    }
    std::atomic<int> frames{0};
};

struct StateRecorder : eqbase::ChannelObserver {
    void onChannelActiveState(eqbase::Channel&, int state) override {
        std::lock_guard<std::mutex> lock(mutex);
        states.push_back(state);
    }
    void onApplyResult(eqbase::Channel&, core::PropertyNode::Identity,
                       const core::Status&) override {}
    std::vector<int> taken() {
        std::lock_guard<std::mutex> lock(mutex);
        return states;
    }
    std::mutex mutex;
    std::vector<int> states;
};

// A phone on COM5 whose target is known, on the manual clock: the channel's activation time
// limit passes when a test moves the clock on.
class PrintServerChannelTest : public muxtest::MuxClockTest<> {
  protected:
    void SetUp() override {
        MuxClockTest::SetUp();
        service.reset({{5}});
        mux = startMux();
        phone = service.addPhone(5, 1001, "Vela phone");
        equipment = new muxtest::TestEquipment();
        target = attachAndWait(*mux, equipment, "COM5");
        ASSERT_TRUE(target);
        ASSERT_TRUE(target->getDataProvider(kName));
    }
    void TearDown() override {
        if (target)
            target->detachChannel(kName);
        if (channel)
            channel->stopWorkThread();
        channel.reset();
        mux->detachEquipment("COM5");
        equipment->forget();
        target.reset();
        mux.reset();
        MuxClockTest::TearDown();
    }
    void startChannel(unsigned long activateTimeoutMs) {
        channel = new TestPrintServerChannel(activateTimeoutMs);
        ASSERT_TRUE(channel->startWorkThread());
        observer = new StateRecorder();
        channel->setObserver(observer);
        sink = new CountingSink();
    }
    // Bound to the phone's stream (the target's posted hand-over has reached the channel).
    void bind() {
        target->attachChannel(kName, channel.get());
        target->getName();
        channel->getName();
    }
    int state() const { return channel->getActiveStateSnapshot(); }

    RCPtr<vela::DebugMux> mux;
    sim::TargetHandle phone;
    RCPtr<muxtest::TestEquipment> equipment;
    RCPtr<vela::Target> target;
    RCPtr<TestPrintServerChannel> channel;
    RCPtr<StateRecorder> observer;
    RCPtr<CountingSink> sink;
};

constexpr int kActivating = dsrc::CHANNEL_STATE_ACTIVATING;
constexpr int kActive = dsrc::CHANNEL_STATE_ACTIVE;
constexpr int kFailed = dsrc::CHANNEL_STATE_FAILED;

TEST_F(PrintServerChannelTest, ActiveOnceItsStreamIsOpenAlsoWhenThePhoneComesBackSilent) {
    startChannel(100);
    bind();
    ASSERT_TRUE(channel->activate(sink));
    ASSERT_TRUE(phone.provider(kName).waitConnected(true, kWait));
    settle();
    EXPECT_EQ(state(), kActive) << "the open stream completes the activation";

    // The phone's stream goes: the channel is coming up again and fails by the time limit.
    ASSERT_TRUE(phone.removeProvider(kName));
    passTime(100ms);
    ASSERT_EQ(state(), kFailed);
    // It comes back and prints nothing: active again, the time limit having passed.
    ASSERT_TRUE(phone.addProvider(kName).waitConnected(true, kWait));
    settle();
    EXPECT_EQ(state(), kActive);
    EXPECT_EQ(observer->taken(),
              (std::vector<int>{kActivating, kActive, kActivating, kFailed, kActive}));
    EXPECT_EQ(sink->frames.load(), 0);

    // Text still reaches the host and leaves the state alone.
    sim::ProviderHandle stream = phone.provider(kName);
    ASSERT_TRUE(stream.waitForSinks(1));
    stream.inject({'h', 'i', '\n'});
    settle();
    ASSERT_EQ(sink->frames.load(), 1);
    EXPECT_EQ(state(), kActive);
}

TEST_F(PrintServerChannelTest, PhoneBackWithinTheTimeLimitIsActiveWithoutText) {
    startChannel(6000);
    bind();
    ASSERT_TRUE(channel->activate(sink));
    settle();
    ASSERT_EQ(state(), kActive);

    ASSERT_TRUE(phone.removeProvider(kName));
    passTime(5999ms);
    ASSERT_EQ(state(), kActivating);
    ASSERT_TRUE(phone.addProvider(kName).waitConnected(true, kWait));
    settle();
    EXPECT_EQ(state(), kActive);
    EXPECT_EQ(observer->taken(), (std::vector<int>{kActivating, kActive, kActivating, kActive}));
    EXPECT_EQ(sink->frames.load(), 0);
}

}  // namespace
