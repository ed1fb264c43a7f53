// DebugMux and Target against the simulated service: how phones and their streams become
// known, how equipments are bound to them by port, and what happens when the service fails.
#include <atomic>
#include <set>
#include <thread>

#include "MuxTestSupport.h"

namespace muxtest {
namespace {

using vela::DebugMux;
using vela::Target;

// On the manual clock: the client's start-up timers run when a test lets them.
class MuxDiscoveryTest : public MuxClockTest<> {};

TEST_F(MuxDiscoveryTest, PhoneReportedByEventIsGivenToTheEquipmentOnItsPort) {
    service.reset({{5}});
    RCPtr<DebugMux> mux = startMux();
    RCPtr<TestEquipment> equipment(new TestEquipment());
    mux->attachEquipment("COM5", equipment);
    service.addPhone(5, 1001, "Vela phone");
    // The target learns its streams 300 ms after it came, and is given out then.
    passTime(299ms);
    EXPECT_EQ(equipment->calls(), 0u);
    passTime(1ms);
    RCPtr<Target> target = equipment->last();
    ASSERT_TRUE(target);
    EXPECT_EQ(target->getId(), 1001u);
    EXPECT_EQ(target->getName(), "Vela phone");
    EXPECT_EQ(target->getPortName(), "COM5");
    EXPECT_TRUE(target->isTarget("COM5"));
    EXPECT_FALSE(target->isTarget("COM6"));
    EXPECT_EQ(mux->getTarget("COM5"), target);
    EXPECT_FALSE(mux->getTarget("COM6"));

    RCPtr<vela::DataProvider> tvp = target->getDataProvider("Tvp");
    ASSERT_TRUE(tvp);
    EXPECT_EQ(tvp->getId(), 1);
    EXPECT_EQ(tvp->getPortName(), "COM5");
    RCPtr<vela::DataProvider> print = target->getDataProvider("Print Server Channel");
    ASSERT_TRUE(print);
    EXPECT_EQ(print->getId(), 2);
    EXPECT_FALSE(target->getDataProvider("tvp"));  // names compare exactly

    // Every call handed over the same target, never another or none.
    for (std::size_t i = 0; i < equipment->calls(); ++i)
        EXPECT_EQ(equipment->last(), target);

    // A stream that comes later is found by its event.
    sim::TargetHandle phone = service.phone(5);
    phone.addProvider("Trace", 9);
    settle();
    ASSERT_TRUE(target->getDataProvider("Trace"));
    EXPECT_EQ(target->getDataProvider("Trace")->getId(), 9);
    mux->detachEquipment("COM5");
}

TEST_F(MuxDiscoveryTest, StartupEnumerationFindsPhonesReportedBeforeTheClientListened) {
    service.reset({{5}});
    service.addPhone(5, 77, "early");
    ASSERT_TRUE(service.waitIdle());  // the phone's event has gone out before anyone listens
    RCPtr<DebugMux> mux = DebugMux::getInstance();
    RCPtr<TestEquipment> equipment(new TestEquipment());
    // No event announces the phone: the 3000 ms start-up enumeration finds it, and the
    // target's own enumeration 300 ms later finds its streams.
    mux->attachEquipment("COM5", equipment);
    passTime(2999ms);
    EXPECT_EQ(equipment->calls(), 0u);
    passTime(1ms);
    passTime(299ms);
    EXPECT_EQ(equipment->calls(), 0u) << "a target without streams has no port yet";
    passTime(1ms);
    RCPtr<Target> target = equipment->last();
    ASSERT_TRUE(target);
    EXPECT_EQ(target->getId(), 77u);
    EXPECT_TRUE(target->getDataProvider("Tvp"));
    mux->detachEquipment("COM5");
}

TEST_F(MuxDiscoveryTest, AttachingAnEquipmentMakesTheServiceServeItsPort) {
    service.reset();
    service.addPhone(6, 6006, "on six");  // not reported: COM6 is not served
    RCPtr<DebugMux> mux = startMux();
    RCPtr<TestEquipment> equipment(new TestEquipment());
    RCPtr<Target> target = attachAndWait(*mux, equipment, "COM6");
    ASSERT_TRUE(target);
    EXPECT_TRUE(service.isServed(6));
    EXPECT_EQ(target->getId(), 6006u);

    // An equipment attached after its target is known gets it at once.
    RCPtr<TestEquipment> second(new TestEquipment());
    mux->detachEquipment("COM6");
    mux->attachEquipment("COM6", second);
    ASSERT_TRUE(second->waitCalls(1));
    EXPECT_EQ(second->last(), target);
    mux->detachEquipment("COM6");
}

TEST_F(MuxDiscoveryTest, OnlyPortNamesWithAPortNumberReachTheService) {
    core::TraceCapture trace;
    RCPtr<DebugMux> mux = startMux();
    RCPtr<TestEquipment> equipment(new TestEquipment());
    const char* const invalid[] = {"COM", "COMx", "COM256", "COM-1", "COM 7", "com1a", "COM99999"};
    for (const char* name : invalid) {
        mux->attachEquipment(name, equipment);
        mux->detachEquipment(name);  // waited for: the attach has been handled
    }
    EXPECT_TRUE(service.servedPorts().empty());
    EXPECT_EQ(trace.count("DebugMux::openPort - no port number in "), std::size(invalid));
    EXPECT_TRUE(trace.has(20, "DebugMux::openPort - no port number in COM256\n"));

    mux->attachEquipment("DEVICE", equipment);  // no "COM": nothing asked, nothing traced
    mux->detachEquipment("DEVICE");
    EXPECT_TRUE(service.servedPorts().empty());
    EXPECT_EQ(trace.count("DebugMux::openPort"), std::size(invalid));

    mux->attachEquipment("\\\\.\\COM255", equipment);
    mux->detachEquipment("\\\\.\\COM255");
    mux->attachEquipment("COM012", equipment);
    mux->detachEquipment("COM012");
    EXPECT_EQ(service.servedPorts(), (std::set<int>{12, 255}));
}

TEST_F(MuxDiscoveryTest, LowerCasePortIsServedButKeptAsGiven) {
    service.addPhone(7, 7007, "seven");
    RCPtr<DebugMux> mux = startMux();
    RCPtr<TestEquipment> equipment(new TestEquipment());
    mux->attachEquipment("com7", equipment);
    letStartUpTimersRun();
    // Port 7 is served, so the phone comes; its providers are on "COM7", which is not the
    // key the equipment was attached with.
    ASSERT_TRUE(mux->getTarget("COM7"));
    EXPECT_TRUE(service.isServed(7));
    ASSERT_EQ(mux->getTarget("COM7")->getPortName(), "COM7");
    mux->detachEquipment("com7");
    EXPECT_EQ(equipment->calls(), 0u);
}

TEST_F(MuxDiscoveryTest, PhoneGoingAwayTakesItsTargetFromTheEquipment) {
    service.reset({{5}});
    RCPtr<DebugMux> mux = startMux();
    service.addPhone(5, 1001, "Vela phone");
    RCPtr<TestEquipment> equipment(new TestEquipment());
    RCPtr<Target> first = attachAndWait(*mux, equipment, "COM5");
    ASSERT_TRUE(first);

    service.removePhone(5);
    settle();
    ASSERT_FALSE(equipment->last());
    EXPECT_FALSE(mux->getTarget("COM5"));

    // The phone coming back is a new target.
    service.addPhone(5, 1001, "Vela phone");
    passTime(300ms);
    ASSERT_TRUE(equipment->last());
    EXPECT_NE(equipment->last(), first);
    EXPECT_EQ(equipment->last()->getId(), 1001u);
    mux->detachEquipment("COM5");
}

TEST_F(MuxDiscoveryTest, SecondObjectForAKnownPhoneIsNotHandedOut) {
    // Two phones that report the same id: the second is the same phone for the client.
    service.reset({{5, 6}});
    RCPtr<DebugMux> mux = startMux();
    RCPtr<TestEquipment> five(new TestEquipment());
    RCPtr<TestEquipment> six(new TestEquipment());
    mux->attachEquipment("COM5", five);
    mux->attachEquipment("COM6", six);
    service.addPhone(5, 42, "first");
    passTime(300ms);
    ASSERT_TRUE(five->last());
    service.addPhone(6, 42, "second");
    // A target set up for the second phone would find its streams 300 ms later.
    passTime(300ms);
    passTime(300ms);
    EXPECT_EQ(six->calls(), 0u);
    EXPECT_EQ(mux->getTarget("COM5"), five->last());
    EXPECT_FALSE(mux->getTarget("COM6"));
    mux->detachEquipment("COM5");
    mux->detachEquipment("COM6");
}

// Two equipments for one port: the first holds it. The second, refused, must not take the port
// from the first when it ends: the phone that connects later is the first's.
TEST_F(MuxDiscoveryTest, EquipmentRefusedAPortLeavesItsHolderAttachedWhenItEnds) {
    service.reset({{5}});
    RCPtr<DebugMux> mux = startMux();
    RCPtr<TestEquipment> holder(new TestEquipment());
    RCPtr<TestEquipment> refused(new TestEquipment());
    mux->attachEquipment("COM5", holder);
    mux->attachEquipment("COM5", refused);
    mux->detachEquipment("COM5", refused.get());
    service.addPhone(5, 1001, "Vela phone");
    passTime(300ms);
    ASSERT_TRUE(holder->last());
    EXPECT_EQ(refused->calls(), 0u);
    // The holder's own detach lets the port go.
    mux->detachEquipment("COM5", holder.get());
    service.removePhone(5);
    passTime(0ms);
    EXPECT_TRUE(holder->last()) << "a detached equipment was told of its phone going";
}

TEST_F(MuxDiscoveryTest, ObjectThatIsNoEquipmentIsIgnored) {
    RCPtr<DebugMux> mux = startMux();
    mux->attachEquipment("COM9", RCPtr<core::RCObject>(new core::Data()));
    mux->attachEquipment("COM9", nullptr);
    mux->detachEquipment("COM9");
    EXPECT_TRUE(service.servedPorts().empty());
}

// A phone whose streams are not known yet has no port name: an equipment attached without
// one must not be handed it, neither when it attaches nor when the phone connects.
TEST_F(MuxDiscoveryTest, EmptyPortNameMatchesNoPhone) {
    service.reset({{5, 6}});
    RCPtr<DebugMux> mux = startMux();
    RCPtr<TestEquipment> five(new TestEquipment());
    mux->attachEquipment("COM5", five);
    service.addPhone(5, 1001, "five");
    passTime(0ms);
    RCPtr<TestEquipment> nameless(new TestEquipment());
    mux->attachEquipment("", nameless);
    service.addPhone(6, 1002, "six");
    passTime(300ms);
    ASSERT_TRUE(five->last());
    EXPECT_EQ(nameless->calls(), 0u);
    EXPECT_FALSE(mux->getTarget(""));
    mux->detachEquipment("");
    mux->detachEquipment("COM5");
}

TEST_F(MuxDiscoveryTest, OneInstanceIsSharedAndANewOneFollowsTheLast) {
    RCPtr<DebugMux> a, b;
    std::thread first([&] { a = DebugMux::getInstance(); });
    std::thread second([&] { b = DebugMux::getInstance(); });
    first.join();
    second.join();
    ASSERT_TRUE(a);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(service.waitForServerSinks(1));
    a.reset();
    b.reset();
    EXPECT_EQ(service.serverSinkCount(), 0u);  // the last reference ended it

    // Threads taking and dropping the instance while others are in its final release.
    std::atomic<int> made{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 15; ++i) {
                RCPtr<DebugMux> mux = DebugMux::getInstance();
                if (mux)
                    ++made;
                mux->detachEquipment("COM1");  // waited for: the instance works
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(made.load(), 45);
    EXPECT_EQ(service.serverSinkCount(), 0u);
}

TEST_F(MuxDiscoveryTest, MissingServiceIsReportedAndNothingIsFound) {
    core::TraceCapture trace;
    service.setRegistered(false);
    RCPtr<DebugMux> mux = DebugMux::getInstance();
    RCPtr<TestEquipment> equipment(new TestEquipment());
    mux->attachEquipment("COM5", equipment);
    EXPECT_FALSE(mux->getTarget("COM5"));
    mux->detachEquipment("COM5");
    EXPECT_EQ(trace.count("EEDebugMuxSink::advise FAILED ("), 1u);
    EXPECT_EQ(equipment->calls(), 0u);
    mux.reset();
    EXPECT_TRUE(trace.contains("EEDebugMuxSink::unadvise FAILED ("));
    service.setRegistered(true);
}

// The service's process ends under a running client: the client notices at its next check of
// the service, takes the phone from its equipment and makes a new service at once, which
// serves the equipment's port and reports the phone again.
TEST_F(MuxDiscoveryTest, ServiceThatWentAwayIsNoticedAndMadeAgain) {
    core::TraceCapture trace;
    service.reset({{5}});
    service.addPhone(5, 1001, "Vela phone");
    // The client checks the service 2000 ms after it made it and then 2000 ms after each
    // check. The clock moves to 3000 ms and 3300 ms here: the first check ran at 3000 ms and
    // found the service, the next is due at 5000 ms.
    RCPtr<DebugMux> mux = startMux();
    RCPtr<TestEquipment> equipment(new TestEquipment());
    RCPtr<Target> first = attachAndWait(*mux, equipment, "COM5");
    ASSERT_TRUE(first);
    EXPECT_FALSE(trace.contains("DebugMux::onServiceLost"));

    service.endProcess();
    passTime(1699ms);
    EXPECT_FALSE(trace.contains("DebugMux::onServiceLost"));
    EXPECT_EQ(equipment->last(), first);
    passTime(1ms);
    EXPECT_TRUE(trace.has(20,
                          "DebugMux::onServiceLost - the debug-multiplexer service went away "
                          "(0x80010108 RPC_E_DISCONNECTED)\n"))
        << trace.text();
    EXPECT_EQ(equipment->last(), nullptr);
    EXPECT_FALSE(mux->getTarget("COM5"));
    // The new service serves the port again and reports the phone; the target learns its
    // streams 300 ms later and is given to the equipment.
    EXPECT_TRUE(trace.has(40, "DebugMux::reopenService - the debug-multiplexer service is back\n"));
    EXPECT_TRUE(service.isServed(5));
    EXPECT_EQ(service.serverSinkCount(), 1u);
    passTime(300ms);
    RCPtr<Target> second = equipment->last();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_EQ(second->getId(), 1001u);
    EXPECT_TRUE(second->getDataProvider("Tvp"));
    EXPECT_EQ(mux->getTarget("COM5"), second);
    // The old target, still held here, answers with empty results and traces its errors.
    EXPECT_EQ(first->getId(), 0u);
    EXPECT_TRUE(trace.contains("Target::GetId - COM error 0x80010108 RPC_E_DISCONNECTED"));
    first.reset();
    second.reset();
    mux->detachEquipment("COM5");
}

// A service that cannot be started again leaves the equipment without a phone, and the client
// does not try by itself; the next attachment of the equipment (it attaches again when a
// channel is activated without a phone) makes the service and finds the phone.
TEST_F(MuxDiscoveryTest, ServiceThatCannotStartAgainIsMadeWhenAnEquipmentAttaches) {
    core::TraceCapture trace;
    service.reset({{5}});
    service.addPhone(5, 1001, "Vela phone");
    RCPtr<DebugMux> mux = startMux();
    RCPtr<TestEquipment> equipment(new TestEquipment());
    ASSERT_TRUE(attachAndWait(*mux, equipment, "COM5"));

    service.setRegistered(false);
    service.endProcess();
    passTime(1700ms);  // the next check (see above)
    EXPECT_TRUE(
        trace.contains("DebugMux::onServiceLost - the debug-multiplexer service went away"));
    EXPECT_TRUE(trace.has(20,
                          "DebugMux::reopenService - the debug-multiplexer service cannot be "
                          "started again (0x80040154 REGDB_E_CLASSNOTREG)\n"))
        << trace.text();
    EXPECT_EQ(equipment->last(), nullptr);
    service.setRegistered(true);
    passTime(10000ms);  // without a service there is nothing to check or to wait for
    EXPECT_EQ(equipment->last(), nullptr);
    EXPECT_EQ(service.serverCount(), 0u);
    EXPECT_EQ(trace.count("cannot be started again"), 1u);

    mux->attachEquipment("COM5", equipment);
    passTime(0ms);
    EXPECT_TRUE(service.isServed(5));
    passTime(300ms);
    RCPtr<Target> target = equipment->last();
    ASSERT_TRUE(target);
    EXPECT_EQ(target->getId(), 1001u);
    target.reset();
    mux->detachEquipment("COM5");
}

TEST_F(MuxDiscoveryTest, RaisingServiceIsContainedAndEventsStillWork) {
    core::TraceCapture trace;
    service.reset({{5}});
    RCPtr<DebugMux> mux = startMux();
    RCPtr<TestEquipment> equipment(new TestEquipment());
    mux->attachEquipment("COM5", equipment);
    sim::TargetHandle phone = service.addPhone(5, 1001, "Vela phone");
    // The target's start-up enumeration of its streams fails: it is traced and the target
    // learns its streams by events instead.
    phone.failAlways("DataProviders");
    passTime(300ms);
    ASSERT_TRUE(trace.contains("Target::onTimer - COM error 0x80004005"));
    EXPECT_EQ(equipment->calls(), 0u);
    phone.addProvider("Late", 5);
    ASSERT_TRUE(equipment->waitCalls(1));
    RCPtr<Target> target = equipment->last();
    EXPECT_TRUE(target->getDataProvider("Late"));
    EXPECT_FALSE(target->getDataProvider("Tvp"));

    // A failing read answers the empty result and is traced with the request's name.
    phone.failNext("ITarget.Id");
    EXPECT_EQ(target->getId(), 0u);
    EXPECT_TRUE(trace.has(20, "Target::GetId - COM error 0x80004005 E_FAIL\n")) << trace.text();
    EXPECT_EQ(target->getId(), 1001u);
    phone.failNext("IDataProvider.Name");
    EXPECT_EQ(target->getDataProvider("Late"), nullptr);
    EXPECT_TRUE(trace.contains("DataProvider::GetName - COM error"));
    EXPECT_TRUE(target->getDataProvider("Late"));
    mux->detachEquipment("COM5");
}

TEST_F(MuxDiscoveryTest, FailingStartupEnumerationOfThePhonesIsTraced) {
    core::TraceCapture trace;
    service.reset({{5}});
    service.addPhone(5, 1001, "Vela phone");
    service.failAlways("Targets");
    // The phone's arrival is announced on the service's own thread: a DebugMux that listened
    // before that would learn of the phone by the event and never enumerate.
    ASSERT_TRUE(service.waitIdle());
    RCPtr<DebugMux> mux = DebugMux::getInstance();
    passTime(2999ms);
    EXPECT_FALSE(trace.contains("DebugMux::onTimer"));
    passTime(1ms);
    EXPECT_TRUE(trace.contains("DebugMux::onTimer - COM error"));
    EXPECT_FALSE(mux->getTarget("COM5"));
    service.clearFaults();
}

}  // namespace
}  // namespace muxtest
