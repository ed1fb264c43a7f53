// The shape the service's client objects share: request names per instance, typed answers of
// synchronous requests, typed request arguments, COM errors contained in handlers, handlers
// detached when the worker ends, the start-up timer and the handlers' hold on their object.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "framework/core/Clock.h"
#include "framework/core/Data.h"
#include "framework/core/Request.h"
#include "framework/core/SyncObjectMgr.h"
#include "framework/core/Trace.h"
#include "platform/com/ComError.h"
#include "transport/ClientObject.h"
#include "transport/ClientSupport.h"
#include "transport/StringRCObjectReq.h"

namespace {

using namespace std::chrono_literals;
using core::RCPtr;
using vela::client::ClientObject;

// A client object with one handler of each shape the real ones have.
class Probe : public ClientObject<Probe> {
  public:
    Probe(Naming naming, HandlerLifetime lifetime = HandlerLifetime::Borrowed)
        : ClientObject("Probe", "ProbeThread", naming, lifetime) {
        startWorker();
    }

    using ClientObject::askNumber;
    using ClientObject::askObject;
    using ClientObject::askStatus;
    using ClientObject::askString;
    using ClientObject::post;
    using ClientObject::requestName;

    bool hasHandler(const std::string& name) const { return m_spService->isAttached(name); }
    // Stops the worker while the test still holds the object.
    void stopWorker() { m_spWorker->stop(INFINITE); }
    void armTimer(unsigned long ms) { request("ArmTimer", ms); }
    void disarmTimer() { request("DisarmTimer", 0); }

    std::atomic<int> posted{0};
    std::atomic<int> fired{0};
    std::atomic<long> refsInHandler{0};

  private:
    friend class ClientObject<Probe>;

    void request(const char* name, unsigned long ms) {
        askStatus(new core::StringReq(requestName(name), std::to_string(ms)));
    }
    bool onBeginWorkThread() {
        attach("Echo", &Probe::onEcho);
        attach("Number", &Probe::onNumber);
        attach("Status", &Probe::onStatus);
        attach("Object", &Probe::onObject);
        attach("Plain", &Probe::onPlain);
        attach("Raise", &Probe::onRaise);
        attach("Count", &Probe::onCount);
        attach("Refs", &Probe::onRefs);
        attach("ArmTimer", &Probe::onArmTimer);
        attach("DisarmTimer", &Probe::onDisarmTimer);
        return true;
    }
    bool onEndWorkThread() {
        stopTimer();
        detachHandlers();
        return true;
    }
    void onEcho(core::Request& r) {
        auto* asked = vela::client::requestAs<core::StringReq>(r);
        core::ServiceChannel::sendResponse(
            new core::StringRsp(r, asked ? asked->getString() : core::EString("?")));
    }
    void onNumber(core::Request& r) {
        core::ServiceChannel::sendResponse(new core::NumberRsp(r, new core::EULong(4000000000u)));
    }
    void onStatus(core::Request& r) {
        auto* asked = vela::client::requestAs<core::StringReq>(r);
        long status = asked && asked->getString() == "yes" ? 1 : -1;
        core::ServiceChannel::sendResponse(new core::Response(r, core::Status(status, 0, 0)));
    }
    // Answers with the Data it was given (any other object is not Data: none).
    void onObject(core::Request& r) {
        core::ServiceChannel::sendResponse(
            new core::RCObjectRsp(r, vela::client::objectOf<core::Data>(r)));
    }
    // A response of the base class only, for every typed getter.
    void onPlain(core::Request& r) { core::ServiceChannel::sendResponse(new core::Response(r)); }
    void onRaise(core::Request&) { _com_issue_error(E_FAIL); }
    void onCount(core::Request&) { ++posted; }
    void onRefs(core::Request& r) {
        refsInHandler = getRefCount();
        core::ServiceChannel::sendResponse(new core::Response(r));
    }
    void onArmTimer(core::Request& r) {
        auto* asked = vela::client::requestAs<core::StringReq>(r);
        startTimer(std::stoul(std::string(asked->getString())),
                   core::CallBack(this, &Probe::onTimer));
        core::ServiceChannel::sendResponse(new core::Response(r));
    }
    void onDisarmTimer(core::Request& r) {
        stopTimer();
        core::ServiceChannel::sendResponse(new core::Response(r));
    }
    void onTimer() {
        stopTimer();
        ++fired;
    }
};

using Naming = Probe::Naming;
using Lifetime = Probe::HandlerLifetime;

TEST(ClientObjectTest, RequestNamesCarryTheIdentityNumberOnlyWhenSuffixed) {
    RCPtr<Probe> plain(new Probe(Naming::Plain));
    RCPtr<Probe> first(new Probe(Naming::Suffixed));
    RCPtr<Probe> second(new Probe(Naming::Suffixed));

    EXPECT_TRUE(plain->hasHandler("Echo"));
    EXPECT_EQ(plain->requestName("Echo"), "Echo");

    const std::string name = "Echo" + vela::client::identitySuffix(first.get());
    EXPECT_EQ(first->requestName("Echo"), name);
    EXPECT_TRUE(first->hasHandler(name));
    EXPECT_FALSE(first->hasHandler("Echo"));
    EXPECT_NE(first->requestName("Echo"), second->requestName("Echo"));
    // Each instance answers its own names only.
    EXPECT_FALSE(second->hasHandler(name));
}

TEST(ClientObjectTest, TypedGettersGiveTheAnswerOrTheEmptyResult) {
    RCPtr<Probe> probe(new Probe(Naming::Suffixed));

    EXPECT_EQ(probe->askNumber("Number"), 4000000000ull);
    EXPECT_TRUE(probe->askStatus(new core::StringReq(probe->requestName("Status"), "yes")));
    EXPECT_FALSE(probe->askStatus(new core::StringReq(probe->requestName("Status"), "no")));
    // A request of another class than the handler reads: the handler sees no string.
    EXPECT_EQ(std::string(probe->askString("Echo")), "?");

    RCPtr<core::Data> block(new core::Data(reinterpret_cast<const std::uint8_t*>("ab"), 2));
    EXPECT_EQ(
        probe->askObject<core::Data>(new core::RCObjectReq(probe->requestName("Object"), block)),
        block);
    // The object is carried, but is not of the class asked for.
    EXPECT_FALSE(
        probe->askObject<Probe>(new core::RCObjectReq(probe->requestName("Object"), block)));
    // A request of another class carries no object for the handler.
    EXPECT_FALSE(probe->askObject<core::Data>(
        new vela::StringRCObjectReq(probe->requestName("Object"), "x", block)));

    // Answered with the base response: every typed getter gives its empty result, the
    // status getter the response's own status.
    EXPECT_EQ(std::string(probe->askString("Plain")), "");
    EXPECT_EQ(probe->askNumber("Plain"), 0u);
    EXPECT_FALSE(probe->askObject<core::Data>(new core::Request(probe->requestName("Plain"))));

    // No handler of that name.
    EXPECT_EQ(std::string(probe->askString("Missing")), "");
    EXPECT_EQ(probe->askNumber("Missing"), 0u);
    EXPECT_FALSE(probe->askStatus("Missing"));
}

TEST(ClientObjectTest, ComErrorInAHandlerIsTracedAndTheCallerGetsTheEmptyResult) {
    core::TraceCapture trace;
    RCPtr<Probe> probe(new Probe(Naming::Suffixed));

    EXPECT_EQ(std::string(probe->askString("Raise")), "");
    EXPECT_EQ(trace.count("Probe::Raise - COM error "), 1u);
    // The worker goes on serving.
    EXPECT_EQ(probe->askNumber("Number"), 4000000000ull);
}

TEST(ClientObjectTest, EndedWorkerHasNoHandlersAndRefusesRequests) {
    RCPtr<Probe> probe(new Probe(Naming::Suffixed));
    EXPECT_TRUE(probe->post(new core::Request(probe->requestName("Count"))));
    EXPECT_EQ(probe->askNumber("Number"), 4000000000ull);  // after the posted one
    EXPECT_EQ(probe->posted.load(), 1);

    probe->stopWorker();
    for (const char* name : {"Echo", "Number", "Status", "Object", "Plain", "Raise", "Count",
                             "Refs", "ArmTimer", "DisarmTimer"})
        EXPECT_FALSE(probe->hasHandler(probe->requestName(name))) << name;
    EXPECT_FALSE(probe->post(new core::Request(probe->requestName("Count"))));
    EXPECT_EQ(probe->askNumber("Number"), 0u);
    EXPECT_EQ(probe->posted.load(), 1);
}

TEST(ClientObjectTest, KeptHandlersHoldTheirObjectWhileTheyRun) {
    RCPtr<Probe> borrowed(new Probe(Naming::Suffixed, Lifetime::Borrowed));
    RCPtr<Probe> kept(new Probe(Naming::Suffixed, Lifetime::Kept));

    EXPECT_TRUE(borrowed->askStatus("Refs"));
    EXPECT_TRUE(kept->askStatus("Refs"));
    EXPECT_EQ(borrowed->refsInHandler.load(), 1);
    EXPECT_EQ(kept->refsInHandler.load(), 2);
}

TEST(ClientObjectTest, StartUpTimerFiresOnceAtItsTimeAndNotWhenStopped) {
    core::ManualClock clock;
    RCPtr<Probe> probe(new Probe(Naming::Suffixed));

    probe->armTimer(300);
    ASSERT_TRUE(core::SyncObjectMgr::waitAllIdle(15s));
    clock.advance(299ms);
    ASSERT_TRUE(core::SyncObjectMgr::waitAllIdle(15s));
    EXPECT_EQ(probe->fired.load(), 0);
    clock.advance(1ms);
    ASSERT_TRUE(core::SyncObjectMgr::waitAllIdle(15s));
    EXPECT_EQ(probe->fired.load(), 1);
    clock.advance(1000ms);
    ASSERT_TRUE(core::SyncObjectMgr::waitAllIdle(15s));
    EXPECT_EQ(probe->fired.load(), 1);

    probe->armTimer(300);
    probe->disarmTimer();
    clock.advance(1000ms);
    ASSERT_TRUE(core::SyncObjectMgr::waitAllIdle(15s));
    EXPECT_EQ(probe->fired.load(), 1);

    // Armed when the worker ends: the end callback deletes it.
    probe->armTimer(300);
    probe.reset();
}

}  // namespace
