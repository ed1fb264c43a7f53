#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "framework/core/Clock.h"
#include "framework/eqbase/Equipment.h"
#include "framework/eqbase/EquipmentDetector.h"

namespace {

using core::RCPtr;
using namespace std::chrono_literals;

// Records what the framework tells the host.
struct Recorder : dsrc::DataSourceSink {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<int> states;
    std::vector<std::pair<unsigned long, long>> applies;
    std::vector<std::size_t> frames;

    bool onDataSourceFrame(const dsrc::DataSourceChannelInfo*,
                           const RCPtr<dsrc::DataSourceFrame>& f) override {
        std::lock_guard<std::mutex> lock(mutex);
        frames.push_back(f->getDataSourceFrameDataSize());
        cv.notify_all();
        return true;
    }
    template <class P>
    bool waitFor(P p, std::chrono::milliseconds limit = 5s) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, limit, p);
    }
};

struct Observer : eqbase::ChannelObserver {
    RCPtr<Recorder> r;
    explicit Observer(Recorder* rec) : r(rec) {}
    void onChannelActiveState(eqbase::Channel&, int state) override {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->states.push_back(state);
        r->cv.notify_all();
    }
    void onApplyResult(eqbase::Channel&, core::PropertyNode::Identity id,
                       const core::Status& s) override {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->applies.emplace_back(id, s.getCode());
        r->cv.notify_all();
    }
};

// A byte channel with one setting whose apply the channel completes when told to.
class TestChannel : public eqbase::ByteChannel {
  public:
    TestChannel() : eqbase::ByteChannel("Test") {}
    static core::Object* createObject() { return new TestChannel; }

    void finishApply(unsigned long id, long code) {
        getWorker()->post([this, id, code] { applyProperty(id, core::Status(code)); });
    }
    void becomeActive() {
        getWorker()->post([this] {
            setChannelActiveState(dsrc::CHANNEL_STATE_ACTIVE);
            sendDataSourceFrame(new dsrc::DataSourceFrame(3));
        });
    }
    void sendFrame(unsigned int dataSize) {
        getWorker()->post(
            [this, dataSize] { sendDataSourceFrame(new dsrc::DataSourceFrame(dataSize)); });
    }
    bool onPending(core::PropertyItem&, core::Status&) { return true; }
    bool onRefuse(core::PropertyItem&, core::Status& s) {
        s.setCode(-1);
        return false;
    }

  protected:
    RCPtr<core::PropertyStore> onCreatePropertyStore() override {
        if (!m_store) {
            m_store = new core::PropertyStore(1, "", "");
            RCPtr<core::UShortPropertyItem> slow(new core::UShortPropertyItem(10, "Slow", ""));
            slow->attachApply(this, &TestChannel::onPending);
            slow->setApplyTimeout(50);
            slow->add(1, "one", true);
            RCPtr<core::UShortPropertyItem> refused(
                new core::UShortPropertyItem(11, "Refused", ""));
            refused->attachApply(this, &TestChannel::onRefuse);
            RCPtr<core::UShortPropertyItem> plain(new core::UShortPropertyItem(12, "Plain", ""));
            m_store->insert(slow);
            m_store->insert(refused);
            m_store->insert(plain);
        }
        return m_store;
    }
    RCPtr<core::PropertyStore> onGetPropertyStore() override { return m_store; }
    bool onEndWorkThread() override {
        m_store.reset();
        return eqbase::ByteChannel::onEndWorkThread();
    }

  private:
    RCPtr<core::PropertyStore> m_store;
};

class TestEquipment : public eqbase::Equipment {
  public:
    TestEquipment() : eqbase::Equipment("TestEquipment") {}
    RCPtr<eqbase::Channel> channelOfType(int type) {
        RCPtr<eqbase::Channel> found;
        for (auto& [info, channel] : listChannels())
            if (info->getChannelType() == type && channel)
                found = channel;
        return found;
    }

  protected:
    bool onBeginWorkThread() override { return addChannelCreator(2, &TestChannel::createObject); }
};

RCPtr<equip::EquipmentInfo> makeInfo() {
    RCPtr<equip::EquipmentInfo> info(new equip::EquipmentInfo);
    info->addChannelInfo(new equip::EquipmentChannelInfo(2, "COM5"));
    RCPtr<equip::EquipmentChannelInfo> hidden(new equip::EquipmentChannelInfo(2, "COM6"));
    hidden->setVisible(false);
    info->addChannelInfo(hidden);
    info->addChannelInfo(new equip::EquipmentChannelInfo(3, "COM7"));  // no creator for type 3
    return info;
}

class EquipmentFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        rec = new Recorder;
        eq = new TestEquipment;
        ASSERT_TRUE(eq->startWorkThread());
        eq->setDataSourceSink(rec);
        eq->setChannelObserver(new Observer(rec.get()));
        ASSERT_TRUE(eq->setEquipmentInfo(makeInfo()));
        channel = eq->channelOfType(2);
        ASSERT_TRUE(channel);
    }
    void TearDown() override {
        channel.reset();
        eq->stopWorkThread();
    }
    RCPtr<Recorder> rec;
    RCPtr<TestEquipment> eq;
    RCPtr<eqbase::Channel> channel;
};

TEST_F(EquipmentFixture, ChannelsOnlyForVisibleSelectedInfosWithACreator) {
    int made = 0;
    for (auto& [info, c] : eq->listChannels())
        made += c ? 1 : 0;
    EXPECT_EQ(made, 1);
}

TEST_F(EquipmentFixture, ActivationStatesAndFrames) {
    GUID guid{};
    for (auto& [info, c] : eq->listChannels())
        if (c)
            guid = info->getChannelGuid();
    EXPECT_TRUE(eq->activateChannel(guid));
    auto* test = dynamic_cast<TestChannel*>(channel.get());
    test->becomeActive();
    ASSERT_TRUE(rec->waitFor([&] { return rec->frames.size() == 1; }));
    EXPECT_EQ(rec->frames[0], 3u);
    EXPECT_TRUE(eq->deactivateChannel(guid));
    ASSERT_TRUE(rec->waitFor([&] { return rec->states.size() >= 3; }));
    EXPECT_EQ(rec->states, (std::vector<int>{2, 3, 6}));
    EXPECT_EQ(channel->getActiveStateSnapshot(), 6);
}

// Frames go to the sink of the current activation only: none between a deactivation and the
// next activation, and again after it.
TEST_F(EquipmentFixture, FramesFollowTheActivation) {
    GUID guid{};
    for (auto& [info, c] : eq->listChannels())
        if (c)
            guid = info->getChannelGuid();
    auto* test = dynamic_cast<TestChannel*>(channel.get());
    test->sendFrame(1);  // not activated yet
    EXPECT_TRUE(eq->activateChannel(guid));
    test->sendFrame(3);
    ASSERT_TRUE(rec->waitFor([&] { return rec->frames.size() == 1; }));
    EXPECT_TRUE(eq->deactivateChannel(guid));
    test->sendFrame(4);  // deactivated
    EXPECT_TRUE(eq->activateChannel(guid));
    test->sendFrame(5);
    ASSERT_TRUE(rec->waitFor([&] { return rec->frames.size() == 2; }));
    EXPECT_EQ(rec->frames, (std::vector<std::size_t>{3, 5}));
}

TEST_F(EquipmentFixture, ActivationWithoutDataSourceIsRefused) {
    eq->setDataSourceSink(nullptr);
    GUID guid{};
    for (auto& [info, c] : eq->listChannels())
        if (c)
            guid = info->getChannelGuid();
    EXPECT_FALSE(eq->activateChannel(guid));
    ASSERT_TRUE(rec->waitFor([&] { return rec->states.size() >= 2; }));
    EXPECT_EQ(rec->states, (std::vector<int>{2, 1}));
}

TEST_F(EquipmentFixture, ApplyCompletesOnceByReportOrTimeOut) {
    core::ManualClock clock;  // the 50 ms time-out passes only when the test says
    ASSERT_TRUE(channel->getPropertyStore());
    auto* test = dynamic_cast<TestChannel*>(channel.get());
    // Left pending by its handler, completed by the channel.
    channel->applyPropertyItem(10);
    test->finishApply(10, 1);
    test->finishApply(10, -1);  // a second report of the same apply is ignored
    ASSERT_TRUE(rec->waitFor([&] { return rec->applies.size() == 1; }));
    // Left pending and never reported: the item's time-out ends it, not a moment earlier.
    channel->applyPropertyItem(10);
    ASSERT_TRUE(core::SyncObjectMgr::waitAllIdle(5s));  // the time-out is set
    clock.advance(49ms);
    ASSERT_TRUE(core::SyncObjectMgr::waitAllIdle(5s));
    EXPECT_TRUE(rec->waitFor([&] { return rec->applies.size() == 1; }));
    clock.advance(1ms);
    ASSERT_TRUE(rec->waitFor([&] { return rec->applies.size() == 2; }));
    // Refused by its handler, unknown, and without a handler.
    channel->applyPropertyItem(11);
    channel->applyPropertyItem(99);
    channel->applyPropertyItem(12);
    ASSERT_TRUE(rec->waitFor([&] { return rec->applies.size() == 5; }));
    EXPECT_EQ(rec->applies, (std::vector<std::pair<unsigned long, long>>{
                                {10, 1}, {10, -1}, {11, -1}, {99, -1}, {12, 1}}));
}

TEST_F(EquipmentFixture, EndingTheEquipmentEndsPendingApplies) {
    ASSERT_TRUE(channel->getPropertyStore());
    channel->applyPropertyItem(10);
    eq->stopWorkThread();
    ASSERT_TRUE(rec->waitFor([&] { return rec->applies.size() == 1; }));
    EXPECT_EQ(rec->applies[0].second, -1);
}

class PortDetector : public eqbase::EquipmentDetector {
  public:
    PortDetector() : eqbase::EquipmentDetector("NOR_Test") {}
    static core::Object* createObject() { return new PortDetector; }
    RCPtr<dsrc::DataSourceChannelInfo> createChannelInfo(const std::string& role) override {
        if (role == "Modem")
            return RCPtr<dsrc::DataSourceChannelInfo>(new equip::EquipmentChannelInfo(2));
        return {};
    }
};

// An equipment whose end callback needs its own (derived) members: they must still exist when
// the worker ends.
class EquipmentThatEnds : public TestEquipment {
  public:
    explicit EquipmentThatEnds(std::vector<std::string>* log) : m_log(log) {}

  protected:
    bool onEndWorkThread() override {
        m_log->push_back(m_name + " ended");
        return TestEquipment::onEndWorkThread();
    }

  private:
    std::vector<std::string>* m_log;
    std::string m_name = "derived part";
};

// Released without its owner stopping it first, with an active channel: the last release ends
// the worker while the whole equipment exists, so its own end callback runs (with the
// channel's deactivation), and then it is deleted (ASan shows a callback on a destroyed part).
TEST(EquipmentEnd, LastReleaseWithoutAStopRunsTheWholeEquipmentsEnd) {
    std::vector<std::string> log;
    RCPtr<Recorder> rec(new Recorder);
    RCPtr<EquipmentThatEnds> eq(new EquipmentThatEnds(&log));
    ASSERT_TRUE(eq->startWorkThread());
    eq->setDataSourceSink(rec);
    ASSERT_TRUE(eq->setEquipmentInfo(makeInfo()));
    GUID guid{};
    for (auto& [info, c] : eq->listChannels())
        if (c)
            guid = info->getChannelGuid();
    EXPECT_TRUE(eq->activateChannel(guid));
    eq.reset();
    EXPECT_EQ(log, std::vector<std::string>{"derived part ended"});
}

TEST(EquipmentDetector, RegistryAndDetection) {
    ASSERT_TRUE(
        eqbase::EquipmentDetector::registerClass("NOR_Test", &PortDetector::createObject, 0));
    EXPECT_FALSE(
        eqbase::EquipmentDetector::registerClass("NOR_Test", &PortDetector::createObject, 0));
    auto detector = eqbase::EquipmentDetector::create("NOR_Test", 0);
    ASSERT_TRUE(detector);
    EXPECT_FALSE(eqbase::EquipmentDetector::create("NOR_Test", 1));

    equip::DeviceInfoData device;
    device.product = "Phone";
    device.ports = {{"COM4", "Modem", "/dev/ttyACM0"}, {"COM9", "Unknown", ""}};
    auto info = detector->detect(device);
    ASSERT_TRUE(info);
    ASSERT_EQ(info->getChannelInfos().size(), 1u);
    auto modem = core::rcCast<equip::EquipmentChannelInfo>(info->getChannelInfo(2));
    EXPECT_EQ(modem->getPortName(), "COM4");
    EXPECT_EQ(info->product, "Phone");

    device.ports = {{"COM9", "Unknown", ""}};
    EXPECT_FALSE(detector->detect(device)) << "a device with no known port is not this detector's";
    EXPECT_TRUE(eqbase::EquipmentDetector::unRegisterClass("NOR_Test", 0));
    EXPECT_TRUE(eqbase::EquipmentDetector::getKeys(0).empty());
}

}  // namespace

namespace {

TEST(EquipmentObserver, ObserverGivenAfterTheChannelsExistIsToldOfTheirStates) {
    RCPtr<Recorder> rec(new Recorder);
    RCPtr<TestEquipment> eq(new TestEquipment);
    ASSERT_TRUE(eq->startWorkThread());
    eq->setDataSourceSink(rec);
    ASSERT_TRUE(eq->setEquipmentInfo(makeInfo()));
    eq->setChannelObserver(new Observer(rec.get()));
    GUID guid{};
    for (auto& [info, c] : eq->listChannels())
        if (c)
            guid = info->getChannelGuid();
    EXPECT_TRUE(eq->activateChannel(guid));
    ASSERT_TRUE(rec->waitFor([&] { return !rec->states.empty(); }));
    EXPECT_EQ(rec->states.front(), 2);
    eq->stopWorkThread();
}

}  // namespace
