// One phone's session on its own, against a simulated phone: it comes up, its settings apply and
// its reports reach the recorder; a phone that refuses the session start or the probes is
// reported with the reason; a wait the run stops ends the bring-up; a session that goes away
// and comes back is seen once; everything is released before the plug-in goes.
#include <gtest/gtest.h>

#include <chrono>

#include "framework/core/XML.h"
#include "host/HostPlatform.h"
#include "host/MobileMsgServer.h"
#include "host/PhoneSession.h"
#include "host/Plugin.h"
#include "host/SimFaults.h"
#include "sim/SimPhone.h"
#include "sim/SimService.h"

namespace {

using namespace std::chrono_literals;

// The run's waits, without a capture to flush: they end on the stop flag, the time or the
// condition, and look again whenever a channel raises the wake flag.
class Waits : public host::SessionWaits {
  public:
    Wake waitFor(const std::function<bool()>& ready, Clock::time_point until) override {
        for (;;) {
            if (stop.isRaised())
                return Wake::Stopped;
            if (ready && ready())
                return Wake::Ready;
            const auto now = Clock::now();
            if (now >= until)
                return Wake::Timeout;
            host::waitForFlags(
                stop, wake,
                std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1);
            wake.clear();
        }
    }
    host::WakeFlag& wakeFlag() override { return wake; }
    std::string stopReason() const override { return "was stopped by the test"; }

    host::WakeFlag wake, stop;
};

class PhoneSession : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(m_plugin.load(VELA_PLUGIN_PATH, m_module, error)) << error;
        host::MobileMsgServer::registerForComponent();
        sim::SimService::instance();  // there before the component asks for it
    }
    void TearDown() override {
        m_session.reset();  // the component's objects before the library
        host::MobileMsgServer::unregister();
        m_plugin.unload();
    }

    // A session of a simulated phone on COM5 (no AT port), which joins the service once the
    // component's objects are made, after `prepare` told it what to do; it replaces the session
    // made before.
    host::PhoneSession& makeSession(const std::function<void(sim::SimPhone&)>& prepare = {}) {
        m_session.reset();  // the phone before, and its port
        auto start = [prepare](std::string&) {
            sim::SimPhoneOptions options;
            options.probeRate = 100;
            options.printRate = 0;
            auto phone = sim::SimPhone::create(sim::SimService::instance(), 5, 1001, options);
            if (prepare)
                prepare(*phone);
            return phone;
        };
        core::RCPtr<equip::DeviceInfoData> device(new equip::DeviceInfoData());
        device->vendorId = "F1E0";
        device->productId = "D001";
        device->product = "Vela phone (simulated) 1";
        device->ports.push_back({"COM5", "Modem", ""});
        m_session = std::make_unique<host::PhoneSession>(0, device);
        m_session->setSimulated(host::PhoneSession::SimulatedStart(start), nullptr);
        return *m_session;
    }

    ATL::CAtlModule m_module;
    host::Plugin m_plugin;
    Waits m_waits;
    std::unique_ptr<host::PhoneSession> m_session;
};

TEST_F(PhoneSession, ComesUpAppliesItsSettingsAndRecordsTheReports) {
    auto& session = makeSession();
    ASSERT_TRUE(session.create(nullptr, m_waits.wake)) << session.failure();
    EXPECT_EQ(session.port(), "COM5");
    ASSERT_TRUE(session.bringUp(m_waits, 15)) << session.failure();
    EXPECT_TRUE(session.isUp());
    EXPECT_EQ(session.sessions(), 1);
    EXPECT_STREQ(host::channelStateText(session.tvpState()), "active");

    host::SettingsRequest request;
    request.names = {"RR State"};
    ASSERT_TRUE(session.applySettings(m_waits, request));
    EXPECT_EQ(session.applied(), std::vector<std::string>{"GSM Mode Reports: applied"});
    // The phone reports the probe; its reports reach the recorder, none lost.
    ASSERT_TRUE(session.simulated()->waitFor([](const sim::SimPhone::Counters& c) {
        return c.probeFramesById.count(0x0096) > 0 && c.probeFramesById.at(0x0096) >= 20;
    }));
    EXPECT_FALSE(session.cameBackUp()) << "the first session is not a comeback";
    session.deactivate();
    const auto figures = session.recorder()->figures();
    EXPECT_GT(figures.probeFrames.count(0x0096), 0u);
    EXPECT_EQ(figures.lostReports, 0u);
    session.release();
    EXPECT_FALSE(session.hasTvpChannel());
}

TEST_F(PhoneSession, RefusedStartAndRefusedProbesAreReportedWithTheReason) {
    auto& refused = makeSession(host::refuseSessionStart);
    ASSERT_TRUE(refused.create(nullptr, m_waits.wake));
    EXPECT_FALSE(refused.bringUp(m_waits, 15));
    EXPECT_EQ(refused.failure(),
              "the session with phone 1 (COM5) could not come up: TVP channel failed (the phone "
              "refused or did not answer the session start)");
    EXPECT_FALSE(refused.isUp());

    auto& probes = makeSession(host::refuseProbeSwitching);
    ASSERT_TRUE(probes.create(nullptr, m_waits.wake));
    ASSERT_TRUE(probes.bringUp(m_waits, 15)) << probes.failure();
    host::SettingsRequest request;
    request.names = {"RR State"};
    EXPECT_FALSE(probes.applySettings(m_waits, request));
    ASSERT_EQ(probes.applied().size(), 1u);
    EXPECT_EQ(probes.applied()[0].rfind("GSM Mode Reports: failed (code ", 0), 0u)
        << probes.applied()[0];

    // A settings file of something else holds no setting of the channel.
    core::XMLElement other;
    ASSERT_TRUE(core::XMLElement::fromString("<a><b ID=\"1\"/></a>", other));
    EXPECT_FALSE(probes.applySettings(m_waits, {&other, "other.xml", {}}));
    EXPECT_EQ(probes.applied().back(),
              "settings file other.xml: holds no setting of the TVP channel");
}

TEST_F(PhoneSession, StoppedRunEndsTheBringUpWithTheRunsReason) {
    auto& session = makeSession(host::leaveSessionStartUnanswered);
    ASSERT_TRUE(session.create(nullptr, m_waits.wake));
    m_waits.stop.raise();
    EXPECT_FALSE(session.bringUp(m_waits, 15));
    EXPECT_EQ(session.failure(), "the session with phone 1 (COM5) was stopped by the test");
}

TEST_F(PhoneSession, SessionThatComesBackIsSeenOnceAndTakesItsSettingsAgain) {
    auto& session = makeSession();
    ASSERT_TRUE(session.create(nullptr, m_waits.wake));
    ASSERT_TRUE(session.bringUp(m_waits, 15)) << session.failure();
    host::SettingsRequest request;
    request.names = {"RR State"};
    ASSERT_TRUE(session.applySettings(m_waits, request));
    ASSERT_TRUE(session.simulated()->disconnect());
    ASSERT_TRUE(session.simulated()->reconnect());
    EXPECT_EQ(m_waits.waitFor([&] { return session.cameBackUp(); },
                              std::chrono::steady_clock::now() + 15s),
              host::SessionWaits::Wake::Ready);
    EXPECT_EQ(session.sessions(), 2);
    EXPECT_FALSE(session.cameBackUp()) << "seen once";
    ASSERT_TRUE(session.applySettings(m_waits, request, true));
    EXPECT_EQ(session.applied().back(), "(again, session 2) GSM Mode Reports: applied");
}

}  // namespace
