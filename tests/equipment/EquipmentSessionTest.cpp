// The equipment as the host drives it, bound to a phone of the simulated service: it finds its
// phone by the modem port, its TVP channel starts the session on "Tvp", its print-server
// channel reads "Print Server Channel", and a phone that goes and comes back is taken up
// again. The phone's side is played here with the service's send handler and inject.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "equipment/VelaEquipment.h"
#include "framework/core/Clock.h"
#include "framework/core/Trace.h"
#include "framework/eqbase/Equipment.h"
#include "sim/SimService.h"
#include "tests/sim/RunUntilIdle.h"
#include "transport/ATChannelInfo.h"

namespace {

// Sets (or, with null, removes) a variable of the process's environment on both systems.
void setEnvironment(const char* name, const char* value) {
#if defined(_WIN32)
    _putenv_s(name, value ? value : "");  // an empty value removes it
#else
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
#endif
}

using namespace std::chrono_literals;
using core::RCPtr;

ATL::CAtlModule g_module;

// What the host's data source received, per channel type.
struct RecordingSink : dsrc::DataSourceSink {
    bool onDataSourceFrame(const dsrc::DataSourceChannelInfo* channel,
                           const RCPtr<dsrc::DataSourceFrame>& frame) override {
        std::lock_guard<std::mutex> lock(mutex);
        const unsigned char* data = frame->getDataSourceFrameData();
        frames.push_back(
            {channel ? channel->getChannelType() : -1,
             std::vector<unsigned char>(data, data + frame->getDataSourceFrameDataSize())});
        changed.notify_all();
        return true;
    }
    bool waitFor(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 15s, [&] { return frames.size() >= count; });
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<int, std::vector<unsigned char>>> frames;
};

// Answers every SetTimeStamp request with a positive acknowledgement of its sequence number.
void answerTimeStamps(sim::ProviderHandle tvp, std::shared_ptr<std::atomic<int>> requests) {
    tvp.setSendHandler([tvp, requests](const sim::Bytes& block) mutable {
        for (std::size_t at = 0; at + 6 <= block.size();) {
            std::size_t size = block[at] | block[at + 1] << 8 | (block[at + 2] & 1) << 16;
            if (size < 4)
                break;
            if (block[at + 3] == 0x2C && block[at + 4] == 0x07) {
                ++*requests;
                tvp.inject({0x08, 0x00, 0x02, 0x4C, 0x08, block[at + 5], 0x00, 0x00});
            }
            at += size;
        }
    });
}

// On the manual clock: the multiplexer's checks of the service (every 2000 ms), the targets'
// start-up enumerations (300 ms) and the channels' activation limits (6000 ms) pass when the
// test moves the clock on.
class EquipmentSessionTest : public ::testing::Test {
  protected:
    core::ManualClock clock;

    void SetUp() override {
        setEnvironment("VELA_COM_DIR", "/nonexistent-vela-com");
        sim::SimService::instance().reset();
        phone = sim::SimService::instance().addPhone(5, 4711, "Vela phone");
        tvpRequests = std::make_shared<std::atomic<int>>(0);
        answerTimeStamps(phone.provider("Tvp"), tvpRequests);

        sink = new RecordingSink();
        info = makeInfo("COM5", "COM6");
        com = makeEquipment(info);
        ASSERT_TRUE(com);

        core::RCObject* object = nullptr;
        ASSERT_EQ(com->GetEquipment(&object), S_OK);
        equipment = core::rcCast<eqbase::Equipment>(object);
        object->release();
        ASSERT_TRUE(equipment);
    }
    void TearDown() override {
        equipment.reset();
        if (com)
            com->Terminate();
        com.Release();
        sim::SimService::instance().reset();
        setEnvironment("VELA_COM_DIR", nullptr);
    }
    RCPtr<eqbase::Channel> channel(int type) {
        for (auto& [channelInfo, channel] : equipment->listChannels())
            if (channelInfo->getChannelType() == type)
                return channel;
        return {};
    }
    int state(int type) { return channel(type)->getActiveStateSnapshot(); }
    // What the test caused so far has run; then `by` passes and what came due has run.
    bool pass(std::chrono::milliseconds by) { return simtest::advanceAndSettle(clock, by); }
    // What the test caused so far has run: the workers and the simulated service are idle.
    void settle() { ASSERT_TRUE(simtest::runUntilIdle()); }
    bool activate(int type) { return activate(com, info, type); }
    static bool activate(IEEEquipment* equipment, const RCPtr<equip::EquipmentInfo>& infoOf,
                         int type) {
        VARIANT_BOOL activated = VARIANT_FALSE;
        return SUCCEEDED(equipment->ActivateChannel(infoOf->getChannelInfo(type)->getChannelGuid(),
                                                    &activated)) &&
               activated == VARIANT_TRUE;
    }
    // A phone's info as the detector makes it: the TVP channel on the modem port, the AT
    // channel (neither visible nor selected, unless the host made it so) and the print server.
    static RCPtr<equip::EquipmentInfo> makeInfo(const std::string& modemPort,
                                                const std::string& atPort,
                                                bool atSelected = false) {
        RCPtr<equip::EquipmentInfo> made(new equip::EquipmentInfo());
        RCPtr<equip::EquipmentChannelInfo> tvp(
            new equip::EquipmentChannelInfo(dsrc::CHANNEL_TYPE_TVP));
        tvp->setPortName(modemPort);
        made->addChannelInfo(tvp);
        RCPtr<vela::ATChannelInfo> at(new vela::ATChannelInfo());
        at->setPortName(atPort);
        at->setVisible(atSelected);
        at->setSelected(atSelected);
        made->addChannelInfo(at);
        made->addChannelInfo(new equip::EquipmentChannelInfo(dsrc::CHANNEL_TYPE_PRINT_SERVER));
        return made;
    }
    // An equipment made by its COM class and given the sink and the info, as the host does.
    CComQIPtr<IEEEquipment> makeEquipment(const RCPtr<equip::EquipmentInfo>& infoOf) {
        vela::EEVelaEquipmentCreatorClass creator;
        IUnknown* unknown = nullptr;
        if (!creator.create(&unknown))
            return {};
        CComQIPtr<IEEEquipment> made(unknown);
        unknown->Release();
        if (!made || made->SetDataSourceSink(sink.get()) != S_OK ||
            made->SetEquipmentInfo(infoOf.get()) != S_OK)
            return {};
        return made;
    }

    sim::TargetHandle phone;
    std::shared_ptr<std::atomic<int>> tvpRequests;
    CComQIPtr<IEEEquipment> com;
    RCPtr<RecordingSink> sink;
    RCPtr<equip::EquipmentInfo> info;
    RCPtr<eqbase::Equipment> equipment;
};

TEST_F(EquipmentSessionTest, MakesItsThreeChannelsAndRunsASessionOnThePhoneOfItsModemPort) {
    ASSERT_TRUE(channel(dsrc::CHANNEL_TYPE_TVP));
    ASSERT_TRUE(channel(dsrc::CHANNEL_TYPE_PRINT_SERVER));
    ASSERT_TRUE(channel(dsrc::CHANNEL_TYPE_AT))
        << "the AT channel is made though its info is not selected";

    ASSERT_TRUE(activate(dsrc::CHANNEL_TYPE_TVP));
    ASSERT_TRUE(pass(300ms));  // the target learns its streams
    ASSERT_EQ(state(dsrc::CHANNEL_TYPE_TVP), dsrc::CHANNEL_STATE_ACTIVE);
    EXPECT_EQ(tvpRequests->load(), 1);

    // A probe frame of the phone reaches the host's data source byte for byte; the
    // acknowledgement before it did not.
    const std::vector<unsigned char> probe{0x16, 0x00, 0x02, 0x0C, 0x00, 0x04, 0x03, 0x02,
                                           0x01, 0x06, 0x05, 0x08, 0x07, 0x0C, 0x0B, 0x0A,
                                           0x09, 0x04, 0x02, 0x00, 0xDE, 0xAD};
    phone.provider("Tvp").inject(probe);
    ASSERT_TRUE(sink->waitFor(1));

    ASSERT_TRUE(activate(dsrc::CHANNEL_TYPE_PRINT_SERVER));
    ASSERT_TRUE(phone.provider("Print Server Channel").waitConnected(true));
    const std::string line = "VELA PS 000001: cell 1234\n";
    phone.provider("Print Server Channel").inject(sim::Bytes(line.begin(), line.end()));
    ASSERT_TRUE(sink->waitFor(2));
    settle();
    ASSERT_EQ(state(dsrc::CHANNEL_TYPE_PRINT_SERVER), dsrc::CHANNEL_STATE_ACTIVE);

    std::lock_guard<std::mutex> lock(sink->mutex);
    ASSERT_EQ(sink->frames.size(), 2u);
    EXPECT_EQ(sink->frames[0].first, dsrc::CHANNEL_TYPE_TVP);
    EXPECT_EQ(sink->frames[0].second, probe);
    EXPECT_EQ(sink->frames[1].first, dsrc::CHANNEL_TYPE_PRINT_SERVER);
    EXPECT_EQ(std::string(sink->frames[1].second.begin(), sink->frames[1].second.end()), line);
}

TEST_F(EquipmentSessionTest, PhoneThatGoesAndComesBackGetsANewSession) {
    ASSERT_TRUE(activate(dsrc::CHANNEL_TYPE_TVP));
    ASSERT_TRUE(pass(300ms));  // the target learns its streams
    ASSERT_EQ(state(dsrc::CHANNEL_TYPE_TVP), dsrc::CHANNEL_STATE_ACTIVE);
    EXPECT_EQ(tvpRequests->load(), 1);

    ASSERT_TRUE(sim::SimService::instance().removePhone(5));
    // Without its phone the session is coming up again (and the host can tell).
    settle();
    ASSERT_EQ(state(dsrc::CHANNEL_TYPE_TVP), dsrc::CHANNEL_STATE_ACTIVATING);
    // The phone comes back under the same identity, as a phone that restarted.
    phone = sim::SimService::instance().addPhone(5, 4711, "Vela phone");
    answerTimeStamps(phone.provider("Tvp"), tvpRequests);
    // The equipment is handed the new target; its channel binds to the new provider and the
    // session starts again there.
    ASSERT_TRUE(pass(300ms));
    ASSERT_TRUE(phone.provider("Tvp").isConnected());
    ASSERT_EQ(state(dsrc::CHANNEL_TYPE_TVP), dsrc::CHANNEL_STATE_ACTIVE);
    EXPECT_EQ(tvpRequests->load(), 2);

    const std::vector<unsigned char> probe{0x14, 0x00, 0x02, 0x0C, 0x00, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0x08, 0x00, 0x00};
    phone.provider("Tvp").inject(probe);
    ASSERT_TRUE(sink->waitFor(1));
}

TEST_F(EquipmentSessionTest, EndingWhileActiveLeavesNothingBehind) {
    ASSERT_TRUE(activate(dsrc::CHANNEL_TYPE_TVP));
    ASSERT_TRUE(activate(dsrc::CHANNEL_TYPE_PRINT_SERVER));
    ASSERT_TRUE(pass(300ms));
    ASSERT_TRUE(phone.provider("Print Server Channel").isConnected());
    equipment.reset();
    ASSERT_EQ(com->Terminate(), S_OK);
    com.Release();
    // The streams were closed by the channels as they went.
    EXPECT_TRUE(phone.provider("Tvp").waitConnected(false));
    EXPECT_TRUE(phone.provider("Print Server Channel").waitConnected(false));
}

// A host may hand an AT channel info that is visible and selected: the framework then makes
// its channel with the others, and the equipment must not make a second one on the same port.
TEST_F(EquipmentSessionTest, ATChannelInfoThatIsSelectedGetsOneChannel) {
    core::TraceCapture trace;
    // A port that cannot be opened: each AT channel's attempt leaves one trace line.
    RCPtr<equip::EquipmentInfo> selected = makeInfo("COM7", "COM200", true);
    CComQIPtr<IEEEquipment> other = makeEquipment(selected);
    ASSERT_TRUE(other);
    EXPECT_EQ(trace.count("SerialPort::onConnectReq / ::CreateFile(\\\\.\\COM200) failed"), 1u)
        << trace.text();
    EXPECT_EQ(other->Terminate(), S_OK);
}

// The modem port is what binds an equipment to its phone. One whose modem port has no name is
// bound to no phone (a phone whose streams are not known yet has no port name either), and
// when it ends nothing of it stays with the multiplexer: a phone that connects afterwards
// would be handed to the equipment that went (a use after free, which ASan reports).
TEST_F(EquipmentSessionTest, EquipmentWithoutAModemPortNameIsGivenNoPhone) {
    sim::SimService& service = sim::SimService::instance();
    RCPtr<equip::EquipmentInfo> namelessInfo = makeInfo("", "COM200");
    CComQIPtr<IEEEquipment> nameless = makeEquipment(namelessInfo);
    ASSERT_TRUE(nameless);
    ASSERT_TRUE(activate(nameless, namelessInfo, dsrc::CHANNEL_TYPE_TVP));
    service.servePort(7);
    sim::TargetHandle seven = service.addPhone(7, 4712, "Vela phone");
    ASSERT_TRUE(pass(300ms));
    EXPECT_EQ(seven.provider("Tvp").connectCalls(), 0u) << "the phone on COM7 was taken up";

    ASSERT_EQ(nameless->Terminate(), S_OK);
    nameless.Release();
    service.servePort(8);
    service.addPhone(8, 4713, "Vela phone");
    ASSERT_TRUE(pass(300ms));
    // The multiplexer still works for the equipment on COM5.
    ASSERT_TRUE(activate(dsrc::CHANNEL_TYPE_TVP));
    settle();
    EXPECT_EQ(state(dsrc::CHANNEL_TYPE_TVP), dsrc::CHANNEL_STATE_ACTIVE);
}

// The service going away and coming back.
class EquipmentServiceTest : public EquipmentSessionTest {
  protected:
    bool deactivate(int type) {
        return SUCCEEDED(com->DeactivateChannel(info->getChannelInfo(type)->getChannelGuid()));
    }
    // A probe frame on the current "Tvp" stream reaches the host.
    void probeArrives(std::size_t frames) {
        const std::vector<unsigned char> probe{0x14, 0x00, 0x02, 0x0C, 0x00, 0x00, 0x00,
                                               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                               0x00, 0x00, 0x00, 0x08, 0x00, 0x00};
        phone.provider("Tvp").inject(probe);
        settle();
        ASSERT_TRUE(sink->waitFor(frames));
    }
};

TEST_F(EquipmentServiceTest, SessionComesBackOnTheServiceThatFollowsOneThatWentAway) {
    core::TraceCapture trace;
    ASSERT_TRUE(activate(dsrc::CHANNEL_TYPE_TVP));
    ASSERT_TRUE(pass(300ms));  // the target learns its streams
    ASSERT_EQ(state(dsrc::CHANNEL_TYPE_TVP), dsrc::CHANNEL_STATE_ACTIVE);
    EXPECT_EQ(tvpRequests->load(), 1);
    probeArrives(1);

    // The service's process ends. The multiplexer notices at its next check, the channel's
    // stream goes (the session is coming up again), and a new service is made at once.
    sim::SimService::instance().endProcess();
    ASSERT_TRUE(pass(2000ms));
    EXPECT_TRUE(
        trace.contains("DebugMux::onServiceLost - the debug-multiplexer service went away"));
    EXPECT_EQ(state(dsrc::CHANNEL_TYPE_TVP), dsrc::CHANNEL_STATE_ACTIVATING);
    // The phone's target of the new service learns its streams: the session starts again on
    // the new "Tvp" (the phone is the same one and keeps its answers).
    ASSERT_TRUE(pass(300ms));
    EXPECT_EQ(state(dsrc::CHANNEL_TYPE_TVP), dsrc::CHANNEL_STATE_ACTIVE);
    EXPECT_EQ(tvpRequests->load(), 2);
    probeArrives(2);
}

TEST_F(EquipmentServiceTest, ServiceThatCannotStartAgainFailsTheSessionUntilItIsActivatedAgain) {
    core::TraceCapture trace;
    ASSERT_TRUE(activate(dsrc::CHANNEL_TYPE_TVP));
    ASSERT_TRUE(pass(300ms));
    ASSERT_EQ(state(dsrc::CHANNEL_TYPE_TVP), dsrc::CHANNEL_STATE_ACTIVE);

    sim::SimService::instance().setRegistered(false);
    sim::SimService::instance().endProcess();
    ASSERT_TRUE(pass(2000ms));
    EXPECT_TRUE(trace.contains("the debug-multiplexer service cannot be started again"));
    ASSERT_EQ(state(dsrc::CHANNEL_TYPE_TVP), dsrc::CHANNEL_STATE_ACTIVATING);
    ASSERT_TRUE(pass(5999ms));
    EXPECT_EQ(state(dsrc::CHANNEL_TYPE_TVP), dsrc::CHANNEL_STATE_ACTIVATING);
    ASSERT_TRUE(pass(1ms));
    EXPECT_EQ(state(dsrc::CHANNEL_TYPE_TVP), dsrc::CHANNEL_STATE_FAILED);

    // The service can run again; nothing tries it by itself. Activated again, the channel
    // comes up on a new service.
    sim::SimService::instance().setRegistered(true);
    ASSERT_TRUE(pass(10000ms));
    EXPECT_EQ(state(dsrc::CHANNEL_TYPE_TVP), dsrc::CHANNEL_STATE_FAILED);
    EXPECT_EQ(tvpRequests->load(), 1);
    ASSERT_TRUE(deactivate(dsrc::CHANNEL_TYPE_TVP));
    ASSERT_TRUE(activate(dsrc::CHANNEL_TYPE_TVP));
    ASSERT_TRUE(pass(300ms));
    EXPECT_EQ(state(dsrc::CHANNEL_TYPE_TVP), dsrc::CHANNEL_STATE_ACTIVE);
    EXPECT_EQ(tvpRequests->load(), 2);
    probeArrives(1);
}

}  // namespace
