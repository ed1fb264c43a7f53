// Channels bound to the phone's streams through the target, and the bytes both ways:
// VelaChannel, Target and DataProvider against the simulated service.
#include <random>

#include "MuxTestSupport.h"

namespace muxtest {
namespace {

using vela::DataProvider;
using vela::DebugMux;
using vela::Target;

// A phone on COM5 with its target known to an equipment, on the manual clock: the client's
// start-up timers and the channels' activation limits pass only when a test moves it on.
class MuxChannelTest : public MuxClockTest<> {
  protected:
    void SetUp() override {
        MuxClockTest::SetUp();
        service.reset({{5}});
        mux = startMux();
        phone = service.addPhone(5, 1001, "Vela phone");
        equipment = new TestEquipment();
        target = attachAndWait(*mux, equipment, "COM5");
        ASSERT_TRUE(target);
        ASSERT_TRUE(target->getDataProvider("Print Server Channel"));
    }
    void TearDown() override {
        mux->detachEquipment("COM5");
        equipment->forget();
        target.reset();
        mux.reset();
        MuxClockTest::TearDown();
    }
    // A channel that is activated and bound to its stream, with the stream open.
    void activateBound(ChannelHolder& channel, const std::string& name) {
        ASSERT_TRUE(channel->activate(new NullSink()));
        target->attachChannel(name, channel.get());
        ASSERT_TRUE(phone.provider(name).waitConnected(true, kWait));
    }

    RCPtr<DebugMux> mux;
    sim::TargetHandle phone;
    RCPtr<TestEquipment> equipment;
    RCPtr<Target> target;
};

TEST_F(MuxChannelTest, EachChannelIsGivenTheStreamOfItsName) {
    ChannelHolder tvp(new TestChannel("Tvp"));
    ChannelHolder print(new TestChannel("Print Server Channel"));
    ChannelHolder other(new TestChannel("Other"));
    target->attachChannel("Tvp", tvp.get());
    target->attachChannel("Print Server Channel", print.get());
    target->attachChannel("Other", other.get());
    target->attachChannel("Tvp", RCPtr<core::RCObject>(new core::Data()));  // not a channel
    settle();
    EXPECT_EQ(tvp->boundProviderName(), "Tvp");
    EXPECT_EQ(print->boundProviderName(), "Print Server Channel");
    EXPECT_FALSE(other->boundProvider());
    EXPECT_EQ(tvp->boundProvider(), target->getDataProvider("Tvp"));

    // A second channel of a taken name gets nothing; the first keeps its stream.
    ChannelHolder second(new TestChannel("Tvp"));
    target->attachChannel("Tvp", second.get());
    settle();
    EXPECT_FALSE(second->boundProvider());
    EXPECT_EQ(tvp->boundProviderName(), "Tvp");
    // The same channel attached again keeps its binding.
    RCPtr<DataProvider> before = tvp->boundProvider();
    target->attachChannel("Tvp", tvp.get());
    settle();
    EXPECT_EQ(tvp->boundProvider(), before);

    // A channel waiting for a stream gets it when the stream comes.
    ChannelHolder trace(new TestChannel("Trace"));
    target->attachChannel("Trace", trace.get());
    settle();
    EXPECT_FALSE(trace->boundProvider());
    phone.addProvider("Trace");
    settle();
    EXPECT_EQ(trace->boundProviderName(), "Trace");

    for (const char* name : {"Tvp", "Print Server Channel", "Other", "Trace", "Unknown"})
        target->detachChannel(name);
}

TEST_F(MuxChannelTest, RemovedStreamIsTakenFromItsChannelAndUnavailableChangesNothing) {
    ChannelHolder tvp(new TestChannel("Tvp"));
    target->attachChannel("Tvp", tvp.get());
    settle();
    ASSERT_EQ(tvp->boundProviderName(), "Tvp");
    RCPtr<DataProvider> bound = tvp->boundProvider();

    phone.reportUnavailable("Tvp");
    settle();
    EXPECT_EQ(tvp->boundProvider(), bound);
    EXPECT_EQ(target->getDataProvider("Tvp"), bound);

    phone.removeProvider("Tvp");
    settle();
    ASSERT_FALSE(tvp->boundProvider());
    EXPECT_FALSE(target->getDataProvider("Tvp"));
    EXPECT_FALSE(tvp->sendBlock(dataOf({1, 2, 3})));
    EXPECT_TRUE(target->getDataProvider("Print Server Channel"));
    target->detachChannel("Tvp");
}

TEST_F(MuxChannelTest, BlocksQueuedWhenTheStreamGoesAreReadAndLaterOnesAreCountedDropped) {
    ChannelHolder tvp(new TestChannel("Tvp"));
    activateBound(tvp, "Tvp");
    RCPtr<DataProvider> bound = tvp->boundProvider();
    sim::ProviderHandle stream = phone.provider("Tvp");
    // The channel's worker is busy with the first block while four more wait in the pipe and
    // the stream goes away.
    tvp->hold(true);
    stream.inject({1});
    ASSERT_TRUE(tvp->waitHeld());
    for (std::uint8_t i = 2; i <= 5; ++i)
        stream.inject({i});
    ASSERT_TRUE(service.waitIdle());
    bound->getName();  // the provider has put them into its pipe
    phone.removeProvider("Tvp");
    ASSERT_TRUE(service.waitIdle());
    target->getName();  // the channel's new (empty) provider is queued behind the held block
    core::TraceCapture trace;
    tvp->hold(false);
    settle();
    ASSERT_FALSE(tvp->boundProvider());
    // The stream's "Disconnected" comes after its last block: then the channel lets it go.
    ASSERT_TRUE(tvp->waitStreamsEnded(1));
    EXPECT_EQ(tvp->received(), (std::vector<std::vector<std::uint8_t>>{{1}, {2}, {3}, {4}, {5}}))
        << "the blocks the stream delivered before it went are all read";
    EXPECT_EQ(tvp->streamEnds(), std::vector<std::size_t>{5});
    EXPECT_EQ(bound->getDroppedBlocks(), 0u);

    // A block the old provider still gets has no reader now: counted and traced, not kept.
    bound->dataAvailable(dataOf({6, 7}));
    settle();
    EXPECT_TRUE(trace.has(20,
                          "DataProvider::onDataAvailable Id = 1, Name = Tvp, no channel "
                          "reads the data: 2 bytes dropped (1 blocks dropped)\n"))
        << trace.text();
    EXPECT_EQ(bound->getDroppedBlocks(), 1u);
    EXPECT_EQ(tvp->receivedCount(), 5u);
    target->detachChannel("Tvp");
}

// The service may deliver blocks it received before the stream closed after the component has
// already heard that the provider went away (the two come from different threads of the
// service). They are the phone's last reports: read in order up to the stream's
// "Disconnected", and only what comes after that is dropped.
TEST_F(MuxChannelTest, BlocksDeliveredAfterTheProviderWentAreReadUntilItsStreamCloses) {
    ChannelHolder tvp(new TestChannel("Tvp"));
    activateBound(tvp, "Tvp");
    RCPtr<DataProvider> bound = tvp->boundProvider();
    sim::ProviderHandle stream = phone.provider("Tvp");
    ASSERT_TRUE(stream.waitForSinks(1));
    stream.inject({1});
    ASSERT_TRUE(tvp->waitReceived(1));
    // The target takes the provider from the channel (as for DataProviderRemoved) while the
    // service still has blocks of its stream to deliver.
    tvp->setDataProvider(nullptr);
    settle();
    ASSERT_FALSE(tvp->boundProvider());
    EXPECT_FALSE(tvp->sendBlock(dataOf({9}))) << "no stream to send on any more";
    // Its phone going too takes nothing more away.
    tvp->setDataProvider(nullptr);
    core::TraceCapture trace;
    bound->dataAvailable(dataOf({2}));
    bound->dataAvailable(dataOf({3, 4}));
    bound->disconnected();
    ASSERT_TRUE(tvp->waitStreamsEnded(1));
    EXPECT_EQ(tvp->received(), (std::vector<std::vector<std::uint8_t>>{{1}, {2}, {3, 4}}));
    EXPECT_EQ(tvp->streamEnds(), std::vector<std::size_t>{3}) << "ended after its last block";
    EXPECT_EQ(bound->getDroppedBlocks(), 0u);
    EXPECT_FALSE(trace.has(20,
                           "DataProvider::onDataAvailable Id = 1, Name = Tvp, no channel "
                           "reads the data: 1 bytes dropped (1 blocks dropped)\n"));

    // After its "Disconnected" the old provider has no reader.
    bound->dataAvailable(dataOf({5}));
    settle();
    EXPECT_TRUE(trace.has(20,
                          "DataProvider::onDataAvailable Id = 1, Name = Tvp, no channel "
                          "reads the data: 1 bytes dropped (1 blocks dropped)\n"))
        << trace.text();
    EXPECT_EQ(tvp->receivedCount(), 3u);

    // A provider that comes while an old stream is still being read ends that one first: the
    // old stream's blocks come before the new one's. (The same provider bound again stands
    // for the new one: its stream is opened again.)
    tvp->setDataProvider(bound);
    settle();
    ASSERT_EQ(tvp->boundProvider(), bound);
    tvp->setDataProvider(nullptr);
    settle();
    ASSERT_FALSE(tvp->boundProvider());
    bound->dataAvailable(dataOf({6}));
    tvp->setDataProvider(bound);  // before the old stream's "Disconnected"
    ASSERT_TRUE(tvp->waitStreamsEnded(2));
    settle();
    ASSERT_EQ(tvp->boundProvider(), bound);
    bound->dataAvailable(dataOf({7}));
    ASSERT_TRUE(tvp->waitReceived(5));
    EXPECT_EQ(tvp->received(),
              (std::vector<std::vector<std::uint8_t>>{{1}, {2}, {3, 4}, {6}, {7}}));
    EXPECT_EQ(tvp->streamEnds(), (std::vector<std::size_t>{3, 4}));
    target->detachChannel("Tvp");
}

// A stream's "Disconnected" comes from its provider's thread and may reach the channel after
// another provider has taken the old one's place. It ends that old stream only: the new one
// stays open, so that its own removal still waits for its last blocks.
TEST_F(MuxChannelTest, LateDisconnectedOfAReplacedProviderLeavesTheNewStreamOpen) {
    ChannelHolder tvp(new TestChannel("Tvp"));
    activateBound(tvp, "Tvp");
    RCPtr<DataProvider> old = tvp->boundProvider();
    phone.addProvider("Spare");
    settle();
    RCPtr<DataProvider> fresh = target->getDataProvider("Spare");
    ASSERT_TRUE(fresh);
    sim::ProviderHandle stream = phone.provider("Tvp");
    ASSERT_TRUE(stream.waitForSinks(1));

    // While the channel is busy, the old provider goes, a new one comes, and the old stream's
    // "Disconnected" is queued behind both.
    tvp->hold(true);
    stream.inject({1});
    ASSERT_TRUE(tvp->waitHeld());
    tvp->setDataProvider(nullptr);
    tvp->setDataProvider(fresh);
    old->disconnected();
    old->getName();  // the old provider has passed its "Disconnected" on
    tvp->hold(false);
    settle();
    ASSERT_EQ(tvp->boundProvider(), fresh);
    ASSERT_TRUE(phone.provider("Spare").waitConnected(true, kWait));

    // The new provider goes with a block still on its way: the block is read before its
    // stream's own "Disconnected" ends it.
    tvp->setDataProvider(nullptr);
    settle();
    ASSERT_FALSE(tvp->boundProvider());
    fresh->dataAvailable(dataOf({2}));
    fresh->disconnected();
    ASSERT_TRUE(tvp->waitStreamsEnded(2));
    EXPECT_EQ(tvp->received(), (std::vector<std::vector<std::uint8_t>>{{1}, {2}}));
    EXPECT_EQ(tvp->streamEnds(), (std::vector<std::size_t>{1, 2}));
    EXPECT_EQ(fresh->getDroppedBlocks(), 0u);
    target->detachChannel("Tvp");
}

// On the manual clock: making the blocks can take longer than the activation limit on a
// loaded machine, and the first block is to complete the activation, not the timer to fail it.
TEST_F(MuxChannelTest, ManyBlocksArriveAndLeaveCompleteAndInOrder) {
    ChannelHolder tvp(new TestChannel("Tvp", 6000, true));
    activateBound(tvp, "Tvp");
    sim::ProviderHandle stream = phone.provider("Tvp");
    ASSERT_TRUE(stream.waitForSinks(1));

    std::mt19937 random(20240607);
    std::uniform_int_distribution<int> size(0, 2048);
    std::uniform_int_distribution<int> byte(0, 255);
    auto makeBlocks = [&](std::size_t n) {
        std::vector<sim::Bytes> blocks(n);
        for (auto& b : blocks) {
            b.resize(static_cast<std::size_t>(size(random)));
            for (auto& x : b)
                x = static_cast<std::uint8_t>(byte(random));
        }
        return blocks;
    };

    // Ten megabytes in all, a megabyte at a time: what waits for the channel stays inside
    // the provider's receive limit, so nothing is dropped however slowly the channel reads.
    constexpr std::size_t kBlocks = 10000;
    constexpr std::size_t kBatch = 1000;
    const std::vector<sim::Bytes> incoming = makeBlocks(kBlocks);
    for (std::size_t i = 0; i < kBlocks; ++i) {
        if (i % kBatch == 0) {
            ASSERT_TRUE(tvp->waitReceived(i, 120s)) << tvp->receivedCount() << " received";
        }
        ASSERT_TRUE(stream.inject(incoming[i]));
    }
    ASSERT_TRUE(tvp->waitReceived(kBlocks, 120s)) << tvp->receivedCount() << " received";
    EXPECT_EQ(tvp->received(), incoming);
    settle();
    EXPECT_EQ(tvp->getActiveStateSnapshot(), dsrc::CHANNEL_STATE_ACTIVE);
    EXPECT_EQ(tvp->boundProvider()->getDroppedBlocks(), 0u);

    const std::vector<sim::Bytes> outgoing = makeBlocks(kBlocks);
    for (const auto& b : outgoing)
        ASSERT_TRUE(tvp->sendBlock(dataOf(b)));
    ASSERT_TRUE(stream.waitForSent(kBlocks, 120s));
    EXPECT_EQ(stream.sentBlocks(), outgoing);
    target->detachChannel("Tvp");
}

TEST_F(MuxChannelTest, ActivationWithoutAWorkingStreamFailsWhenItsTimeIsUp) {
    core::TraceCapture trace;
    ChannelHolder alone(new TestChannel("Nothing"));
    ASSERT_TRUE(alone->activate(new NullSink()));
    passTime(5999ms);
    EXPECT_EQ(alone->getActiveStateSnapshot(), dsrc::CHANNEL_STATE_ACTIVATING);
    passTime(1ms);
    EXPECT_EQ(alone->getActiveStateSnapshot(), dsrc::CHANNEL_STATE_FAILED);

    // A stream that refuses to open: traced, and the timer fails the activation.
    phone.provider("Tvp").answerFalseAlways("Connect");
    ChannelHolder tvp(new TestChannel("Tvp"));
    ASSERT_TRUE(tvp->activate(new NullSink()));
    target->attachChannel("Tvp", tvp.get());
    passTime(5999ms);
    EXPECT_TRUE(trace.has(20, "VelaChannel::onSetDataProvider - Connect failed\n"));
    EXPECT_EQ(tvp->getActiveStateSnapshot(), dsrc::CHANNEL_STATE_ACTIVATING);
    passTime(1ms);
    EXPECT_EQ(tvp->getActiveStateSnapshot(), dsrc::CHANNEL_STATE_FAILED);
    target->detachChannel("Tvp");
}

TEST_F(MuxChannelTest, DeactivationDisconnectsAndTheDisconnectedEventEndsIt) {
    ChannelHolder print(new TestChannel("Print Server Channel", 6000, true));
    activateBound(print, "Print Server Channel");
    sim::ProviderHandle stream = phone.provider("Print Server Channel");
    ASSERT_TRUE(stream.waitForSinks(1));
    stream.inject({'h', 'i', '\n'});
    settle();
    ASSERT_EQ(print->getActiveStateSnapshot(), dsrc::CHANNEL_STATE_ACTIVE);

    // The phone closing the stream while the channel is active changes nothing.
    stream.closeStream();
    settle();
    EXPECT_EQ(print->getActiveStateSnapshot(), dsrc::CHANNEL_STATE_ACTIVE);

    ASSERT_TRUE(print->activate(new NullSink()));  // opens the stream again
    ASSERT_TRUE(stream.waitConnected(true, kWait));
    ASSERT_TRUE(print->deactivate());
    settle();
    EXPECT_EQ(print->getActiveStateSnapshot(), dsrc::CHANNEL_STATE_DEACTIVATED);
    EXPECT_FALSE(stream.isConnected());
    EXPECT_EQ(stream.disconnectCalls(), 1u);
    target->detachChannel("Print Server Channel");
}

// The channel hands its blocks to the provider without waiting for the service (it is the
// only reader of the provider's pipe); what the service refuses is traced by the provider.
TEST_F(MuxChannelTest, SendingHandsBlocksOnAndTheServiceRefusalsAreTraced) {
    core::TraceCapture trace;
    ChannelHolder tvp(new TestChannel("Tvp"));
    activateBound(tvp, "Tvp");
    sim::ProviderHandle stream = phone.provider("Tvp");
    RCPtr<DataProvider> provider = tvp->boundProvider();

    EXPECT_TRUE(tvp->sendBlock(dataOf({1})));
    provider->getId();  // the provider's worker has sent it
    stream.answerFalseNext("Send");
    EXPECT_TRUE(tvp->sendBlock(dataOf({2})));
    provider->getId();
    EXPECT_TRUE(trace.has(20, "DataProvider::onSendReq Error sending data\n"));
    stream.failNext("Send");
    EXPECT_TRUE(tvp->sendBlock(dataOf({3})));
    provider->getId();
    EXPECT_TRUE(trace.has(20, "DataProvider::Send - COM error 0x80004005 E_FAIL\n"));
    service.failNext("PutData");
    EXPECT_TRUE(tvp->sendBlock(dataOf({4})));
    provider->getId();
    service.failNext("DataBlock");
    EXPECT_TRUE(tvp->sendBlock(dataOf({5})));
    provider->getId();
    EXPECT_TRUE(tvp->sendBlock(dataOf({})));  // an empty block is an empty array
    EXPECT_TRUE(tvp->sendBlock(dataOf({6, 7})));
    ASSERT_TRUE(stream.waitForSent(3));
    EXPECT_EQ(stream.sentBlocks(), (std::vector<sim::Bytes>{{1}, {}, {6, 7}}));

    // A closed stream takes no blocks: once the channel has heard that it closed, it sends
    // nothing.
    ASSERT_TRUE(tvp->deactivate());
    settle();
    ASSERT_EQ(tvp->getActiveStateSnapshot(), dsrc::CHANNEL_STATE_DEACTIVATED);
    EXPECT_FALSE(tvp->sendBlock(dataOf({8})));
    target->detachChannel("Tvp");
}

TEST_F(MuxChannelTest, UnreadableReceivedBlockIsDroppedAndTheNextArrives) {
    core::TraceCapture trace;
    ChannelHolder tvp(new TestChannel("Tvp"));
    activateBound(tvp, "Tvp");
    sim::ProviderHandle stream = phone.provider("Tvp");
    ASSERT_TRUE(stream.waitForSinks(1));
    stream.failNext("Data");
    stream.inject({1});
    stream.failNext("Size");
    stream.inject({2});
    stream.inject({3});
    ASSERT_TRUE(tvp->waitReceived(1));
    ASSERT_TRUE(service.waitIdle());
    EXPECT_EQ(tvp->received(), (std::vector<std::vector<std::uint8_t>>{{3}}));
    EXPECT_EQ(trace.count("EEDataProviderSink::OnDataAvailable / Data or Size FAILED (0x80004005"),
              2u);
    target->detachChannel("Tvp");
}

}  // namespace
}  // namespace muxtest
