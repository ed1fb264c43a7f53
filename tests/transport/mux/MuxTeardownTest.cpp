// The client objects released in every order, also while events and blocks are on their
// way: nothing may hang, leak or be used after it went (run under ASan/LSan and TSan), and
// every object of the service must be released in the end (checked by the fixture).
#include <atomic>
#include <optional>
#include <thread>

#include "MuxTestSupport.h"

namespace muxtest {
namespace {

using vela::DataProvider;
using vela::DebugMux;
using vela::Target;

// On the manual clock: the client's start-up timers run when a test lets them.
class MuxTeardownTest : public MuxClockTest<> {
  protected:
    // A phone on COM5, its target given to an equipment and a channel streaming from "Tvp".
    void bind(ChannelHolder& channel) {
        service.reset({{5}});
        mux = startMux();
        phone = service.addPhone(5, 1001, "Vela phone");
        equipment = new TestEquipment();
        target = attachAndWait(*mux, equipment, "COM5");
        ASSERT_TRUE(target);
        ASSERT_TRUE(channel->activate(new NullSink()));
        target->attachChannel("Tvp", channel.get());
        ASSERT_TRUE(phone.provider("Tvp").waitConnected(true, kWait));
        ASSERT_TRUE(phone.provider("Tvp").waitForSinks(1));
    }
    // Injects blocks from another thread until stopped.
    void startStreaming() {
        m_streaming = true;
        m_streamer = std::thread([this] {
            sim::ProviderHandle stream = phone.provider("Tvp");
            while (m_streaming && stream.inject(sim::Bytes(64, 0x5A)))
                std::this_thread::yield();
        });
    }
    void stopStreaming() {
        m_streaming = false;
        if (m_streamer.joinable())
            m_streamer.join();
    }
    void TearDown() override {
        stopStreaming();
        MuxClockTest::TearDown();
    }

    RCPtr<DebugMux> mux;
    sim::TargetHandle phone;
    RCPtr<TestEquipment> equipment;
    RCPtr<Target> target;

  private:
    std::atomic<bool> m_streaming{false};
    std::thread m_streamer;
};

TEST_F(MuxTeardownTest, MultiplexerFirstThenTargetThenChannel) {
    ChannelHolder tvp(new TestChannel("Tvp"));
    bind(tvp);
    startStreaming();
    ASSERT_TRUE(tvp->waitReceived(10));

    mux->detachEquipment("COM5");
    mux.reset();  // the target outlives the multiplexer and no longer reports to it
    phone.addProvider("After");
    // The target keeps a new provider before it advises the provider's sink.
    ASSERT_TRUE(phone.provider("After").waitForSinks(1));
    ASSERT_TRUE(target->getDataProvider("After"));
    std::size_t before = tvp->receivedCount();
    ASSERT_TRUE(tvp->waitReceived(before + 10));  // still streaming

    equipment->forget();
    target->detachChannel("Tvp");
    target.reset();  // the channel still holds its provider
    ASSERT_TRUE(tvp->waitReceived(tvp->receivedCount() + 10));
    stopStreaming();
    tvp.stop();
}

// A target the multiplexer has let go of (its phone is no longer reported) may still be held
// by others and still hear of its phone's streams: it must not report them to a multiplexer
// that has gone since (a use after free, which ASan reports).
TEST_F(MuxTeardownTest, TargetLetGoOfOutlivesTheMultiplexer) {
    service.reset({{5}});
    mux = startMux();
    phone = service.addPhone(5, 1001, "Vela phone");
    equipment = new TestEquipment();
    target = attachAndWait(*mux, equipment, "COM5");
    ASSERT_TRUE(target);
    ASSERT_TRUE(service.unservePort(5));
    settle();
    ASSERT_FALSE(equipment->last());
    mux->detachEquipment("COM5");
    mux.reset();

    phone.addProvider("After");
    settle();
    ASSERT_TRUE(target->getDataProvider("After"));
    equipment->forget();
    target.reset();
}

TEST_F(MuxTeardownTest, ChannelFirstWhileStreaming) {
    ChannelHolder tvp(new TestChannel("Tvp"));
    bind(tvp);
    startStreaming();
    ASSERT_TRUE(tvp->waitReceived(10));
    target->detachChannel("Tvp");
    tvp.stop();
    mux->detachEquipment("COM5");
    equipment->forget();
    target.reset();
    mux.reset();
    stopStreaming();
}

TEST_F(MuxTeardownTest, PhoneGoesWhileStreaming) {
    ChannelHolder tvp(new TestChannel("Tvp"));
    bind(tvp);
    startStreaming();
    ASSERT_TRUE(tvp->waitReceived(10));
    service.removePhone(5);
    stopStreaming();
    settle();
    ASSERT_FALSE(equipment->last());
    // The gone phone's target still answers; its stream is closed.
    EXPECT_EQ(target->getId(), 1001u);
    EXPECT_FALSE(phone.provider("Tvp").isConnected());
    EXPECT_FALSE(tvp->sendBlock(dataOf({1})));
    mux->detachEquipment("COM5");
    target->detachChannel("Tvp");
    tvp.stop();
    equipment->forget();
    target.reset();
    mux.reset();
}

TEST_F(MuxTeardownTest, ChannelReleasedWhileItsWorkerRunsLetsGoOfItsProvider) {
    ChannelHolder tvp(new TestChannel("Tvp"));
    bind(tvp);
    RCPtr<DataProvider> bound = tvp->boundProvider();
    ASSERT_TRUE(bound);
    target->detachChannel("Tvp");
    // No stopWorkThread first: the last reference goes while the channel's worker runs, and
    // the channel's whole end chain (the binding's end included) must still run.
    tvp.release();
    // The provider has forgotten the channel: a late block is counted dropped instead of
    // going to a pipe nobody reads, and the stream's end reaches no channel (a dangling one
    // would be used after it was freed, which ASan reports).
    bound->dataAvailable(dataOf({1, 2}));
    settle();
    EXPECT_EQ(bound->getDroppedBlocks(), 1u)
        << "the released channel still looks bound to its provider";
    bound->disconnected();
    bound->getName();  // the provider's worker has handled the end of the stream
    mux->detachEquipment("COM5");
    equipment->forget();
    target.reset();
    mux.reset();
}

TEST_F(MuxTeardownTest, EverythingReleasedWhileTheServiceStillDelivers) {
    ChannelHolder tvp(new TestChannel("Tvp"));
    bind(tvp);
    startStreaming();
    ASSERT_TRUE(tvp->waitReceived(10));
    // Provider first (through the channel), then the rest, with events still arriving.
    target->detachChannel("Tvp");
    tvp.stop();
    target.reset();
    equipment->forget();
    mux->detachEquipment("COM5");
    mux.reset();
    phone.addProvider("Late");
    phone.removeProvider("Print Server Channel");
    stopStreaming();
}

TEST_F(MuxTeardownTest, ReleasedDuringTheStartUpOfItsTargets) {
    // The multiplexer goes while its targets are being set up, enumerate their streams or
    // report them back: first with all of that still under way, then at moments of the
    // manual clock around the targets' 300 ms enumeration (before it is due, when it is due,
    // after), everything caused so far having run.
    service.reset({{5, 6}});
    const std::optional<std::chrono::milliseconds> moments[] = {std::nullopt, 0ms,   20ms,  150ms,
                                                                290ms,        300ms, 310ms, 330ms};
    for (const auto& moment : moments) {
        RCPtr<DebugMux> mux = startMux();
        RCPtr<TestEquipment> equipment(new TestEquipment());
        mux->attachEquipment("COM5", equipment);
        service.addPhone(5, 1, "five");
        service.addPhone(6, 2, "six");
        if (moment)
            passTime(*moment);
        mux->detachEquipment("COM5");
        mux.reset();
        equipment->forget();
        service.removePhone(5);
        service.removePhone(6);
        ASSERT_TRUE(service.waitIdle());
    }
}

// The events of a target's streams may never come (a service that loses them): the client then
// holds objects of streams that are gone, or misses ones that came. Whatever it holds, it
// gives back when it is released; the fixture counts the service's objects afterwards.
TEST_F(MuxTeardownTest, StreamEventsThatNeverArriveLeaveNothingHeldAfterTheRelease) {
    ChannelHolder tvp(new TestChannel("Tvp"));
    bind(tvp);
    core::TraceCapture trace;
    // A stream comes unannounced, and the bound one goes unannounced.
    phone.failNext("_ITargetEvents.NewDataProvider");
    phone.addProvider("Unannounced");
    phone.failNext("_ITargetEvents.DataProviderRemoved");
    ASSERT_TRUE(phone.removeProvider("Tvp"));
    // A third one comes and goes, and only its going is lost.
    phone.addProvider("Late");
    settle();
    ASSERT_TRUE(target->getDataProvider("Late"));
    phone.failNext("_ITargetEvents.DataProviderRemoved");
    ASSERT_TRUE(phone.removeProvider("Late"));
    settle();
    EXPECT_TRUE(trace.has(40, "ServiceCore::postTargetEvent NewDataProvider of COM5 dropped\n"));
    EXPECT_TRUE(
        trace.has(40, "ServiceCore::postTargetEvent DataProviderRemoved of COM5 dropped\n"));
    // The client still believes in the streams whose going it missed, and knows nothing of
    // the unannounced one.
    EXPECT_TRUE(target->getDataProvider("Tvp"));
    EXPECT_TRUE(target->getDataProvider("Late"));
    EXPECT_FALSE(target->getDataProvider("Unannounced"));
    EXPECT_TRUE(tvp->boundProvider());
    EXPECT_FALSE(tvp->sendBlock(dataOf({1}))) << "the stream is closed";
    EXPECT_GT(sim::SimService::liveObjects(), 0);

    target->detachChannel("Tvp");
    tvp.stop();
    mux->detachEquipment("COM5");
    equipment->forget();
    target.reset();
    mux.reset();
    // The phone itself is still there: only the client's objects are to be gone.
    phone = {};
    service.removePhone(5);
    ASSERT_TRUE(service.waitIdle());
    EXPECT_TRUE(sim::SimService::waitForLiveObjects(0, 10000ms))
        << sim::SimService::liveObjects() << " objects of the service are still held";
}

TEST_F(MuxTeardownTest, QuickReleaseOfFreshObjects) {
    service.reset({{5}});
    sim::TargetHandle phone = service.addPhone(5, 1, "five");
    for (int i = 0; i < 5; ++i) {
        RCPtr<DebugMux> mux = DebugMux::getInstance();
        RCPtr<DataProvider> provider(new DataProvider(phone.provider("Tvp").object()));
        provider->setup();
        RCPtr<Target> target(new Target(phone.object(), mux.get()));
        target->setup();
        target.reset();
        provider.reset();
        mux.reset();
    }
}

}  // namespace
}  // namespace muxtest
