// Streams of the simulated service: connecting, received blocks (inject), sent blocks and the
// send handler, and failure injection.
#include <algorithm>

#include "tests/sim/SimTestSupport.h"

namespace simtest {
namespace {

class SimStreamTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        service.reset({{5}});
        phone = service.addPhone(5, 500, "stream phone");
        tvp = phone.provider("Tvp");
        provider = tvp.object();
        stream = provider;
        sink = makeSink<ProviderSink>();
        ASSERT_EQ(sink->DispEventAdvise(provider), S_OK);
        ASSERT_TRUE(tvp.waitForSinks(1));
    }
    void TearDown() override {
        sink->DispEventUnadvise(provider);
        sink->Release();
        stream = nullptr;
        provider = nullptr;
        SimTest::TearDown();
    }

    // Sends bytes as the component does: a new DataBlock holding one array of them.
    VARIANT_BOOL send(const sim::Bytes& bytes) {
        IDataBlockPtr block(CLSID_DataBlock);
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
        void* p = nullptr;
        SafeArrayAccessData(array, &p);
        if (!bytes.empty())
            std::memcpy(p, bytes.data(), bytes.size());
        SafeArrayUnaccessData(array);
        block->PutData(&array);
        SafeArrayDestroy(array);
        return stream->Send(block);
    }

    sim::TargetHandle phone;
    sim::ProviderHandle tvp;
    IDataProviderPtr provider;
    IDataProviderStreamPtr stream;
    ATL::CComObject<ProviderSink>* sink = nullptr;
};

TEST_F(SimStreamTest, InjectedBlocksArriveInOrder) {
    EXPECT_TRUE(tvp.inject({0x01, 0x02, 0x03}));
    EXPECT_TRUE(tvp.inject({}));
    EXPECT_TRUE(tvp.inject({0xFF}));
    ASSERT_TRUE(tvp.waitForDelivered(3));
    ASSERT_TRUE(sink->waitFor(3));
    EXPECT_EQ(sink->snapshot(), (std::vector<std::string>{"data 3", "data 0", "data 1"}));
    EXPECT_EQ(sink->blocks, (std::vector<sim::Bytes>{{0x01, 0x02, 0x03}, {}, {0xFF}}));
    EXPECT_EQ(tvp.deliveredBlocks(), 3u);
    // The other provider's sinks are not involved.
    EXPECT_EQ(phone.provider("Print Server Channel").deliveredBlocks(), 0u);
}

// Blocks handed over together arrive in order after those injected before, and the bytes of a
// delivered block come back as a spare once the block is let go.
TEST_F(SimStreamTest, BlocksInjectedTogetherArriveInOrderAndTheirBytesComeBack) {
    EXPECT_TRUE(tvp.spare().empty());
    EXPECT_TRUE(tvp.inject({0x01}));
    EXPECT_TRUE(tvp.injectAll({{0x02, 0x03}, {0x04}}));
    ASSERT_TRUE(tvp.waitForDelivered(3));
    ASSERT_TRUE(sink->waitFor(3));
    EXPECT_EQ(sink->blocks, (std::vector<sim::Bytes>{{0x01}, {0x02, 0x03}, {0x04}}));
    // One taken on its own, the others all at once; then none is left.
    std::vector<sim::Bytes> spares{tvp.spare()};
    tvp.takeSpares(spares);
    EXPECT_TRUE(tvp.spare().empty());
    std::sort(spares.begin(), spares.end());
    EXPECT_EQ(spares, (std::vector<sim::Bytes>{{0x01}, {0x02, 0x03}, {0x04}}));
}

TEST_F(SimStreamTest, SendNeedsAnOpenStream) {
    EXPECT_EQ(send({0x0A}), VARIANT_FALSE);
    EXPECT_TRUE(tvp.sentBlocks().empty());

    EXPECT_EQ(stream->Connect(), VARIANT_TRUE);
    EXPECT_TRUE(tvp.isConnected());
    EXPECT_EQ(tvp.connectCalls(), 1u);
    EXPECT_EQ(send({0x0B, 0x0C}), VARIANT_TRUE);
    EXPECT_EQ(send({}), VARIANT_TRUE);
    EXPECT_EQ(tvp.sentBlocks(), (std::vector<sim::Bytes>{{0x0B, 0x0C}, {}}));
    EXPECT_EQ(tvp.takeSentBlocks().size(), 2u);
    EXPECT_TRUE(tvp.sentBlocks().empty());

    // Disconnect closes the stream and Disconnected follows.
    EXPECT_EQ(stream->Disconnect(), VARIANT_TRUE);
    EXPECT_FALSE(tvp.isConnected());
    ASSERT_TRUE(sink->waitFor(1));
    EXPECT_EQ(sink->snapshot(), (std::vector<std::string>{"disconnected"}));
    EXPECT_EQ(send({0x0D}), VARIANT_FALSE);
    EXPECT_EQ(stream->Disconnect(), VARIANT_TRUE);  // closed already: no second event
    EXPECT_EQ(tvp.disconnectCalls(), 2u);

    // The phone end closes the stream.
    stream->Connect();
    EXPECT_TRUE(tvp.closeStream());
    EXPECT_FALSE(tvp.closeStream());
    ASSERT_TRUE(sink->waitFor(2));
    EXPECT_TRUE(service.waitIdle());
    EXPECT_EQ(sink->snapshot().size(), 2u);
}

TEST_F(SimStreamTest, SendHandlerAnswersThroughTheStream) {
    // The handler holds a handle of its own provider: the service drops it when the provider
    // goes, so no cycle is left (LeakSanitizer would report one).
    tvp.setSendHandler([handle = tvp](const sim::Bytes& block) mutable {
        sim::Bytes answer = block;
        answer.insert(answer.begin(), 0xA0);
        handle.inject(answer);
    });
    stream->Connect();
    EXPECT_EQ(send({1, 2}), VARIANT_TRUE);
    EXPECT_EQ(send({3}), VARIANT_TRUE);
    ASSERT_TRUE(sink->waitFor(2));
    EXPECT_EQ(sink->blocks, (std::vector<sim::Bytes>{{0xA0, 1, 2}, {0xA0, 3}}));
    tvp.setSendHandler(nullptr);
    EXPECT_EQ(send({4}), VARIANT_TRUE);
    EXPECT_TRUE(service.waitIdle());
    EXPECT_EQ(sink->blocks.size(), 2u);
    tvp.setSendHandler([handle = tvp](const sim::Bytes&) {});  // left for reset to drop
}

TEST_F(SimStreamTest, MethodsFailOnceOrAlways) {
    tvp.failNext("Connect", E_ACCESSDENIED);
    VARIANT_BOOL ok = VARIANT_TRUE;
    EXPECT_EQ(stream->raw_Connect(&ok), E_ACCESSDENIED);
    EXPECT_EQ(ok, VARIANT_FALSE);
    EXPECT_EQ(stream->Connect(), VARIANT_TRUE);  // only the next call failed

    service.failNext("IDataProviderStream.Send");
    try {
        send({1});
        ADD_FAILURE() << "the wrapper did not raise";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_FAIL);
    }
    service.answerFalseAlways("Send");
    EXPECT_EQ(send({2}), VARIANT_FALSE);
    EXPECT_EQ(send({3}), VARIANT_FALSE);
    EXPECT_TRUE(tvp.sentBlocks().empty());
    service.clearFaults();
    EXPECT_EQ(send({4}), VARIANT_TRUE);

    // Faults limited to one provider, or to one phone, or to one interface.
    tvp.failAlways("Name");
    IDataProviderPtr print = phone.provider("Print Server Channel").object();
    EXPECT_THROW(provider->GetName(), _com_error);
    EXPECT_EQ(print->GetName().utf8(), "Print Server Channel");
    phone.failNext("ITarget.Id", RPC_E_DISCONNECTED);
    EXPECT_EQ(provider->GetId(), 1);  // not the target's interface
    LONG id = 0;
    EXPECT_EQ(phone.object()->get_Id(&id), RPC_E_DISCONNECTED);
    phone.answerFalseNext("Disconnect");
    EXPECT_EQ(print->Disconnect(), VARIANT_FALSE);
    EXPECT_EQ(stream->Disconnect(), VARIANT_TRUE);
    // An answer-false rule does not apply to a method that answers no VARIANT_BOOL.
    service.answerFalseNext("Id");
    EXPECT_EQ(print->GetId(), 2);
    EXPECT_THROW(service.failNext("Connect", S_OK), std::invalid_argument);

    IDebugMuxPtr dm(createMux());
    service.failNext("Targets", E_UNEXPECTED);
    EXPECT_THROW(dm->GetTargets(), _com_error);
    service.failNext("ITargets._NewEnum");
    ITargetsPtr targets(dm->GetTargets());
    EXPECT_THROW(targets->Get_NewEnum(), _com_error);
    EXPECT_TRUE(targets->Get_NewEnum());
    service.answerFalseNext("HasPort");
    EXPECT_EQ(IDebugMuxPortsPtr(dm)->HasPort(5), VARIANT_FALSE);
    EXPECT_EQ(IDebugMuxPortsPtr(dm)->HasPort(5), VARIANT_TRUE);
}

TEST_F(SimStreamTest, BlocksOfAProviderCanFailToBeRead) {
    tvp.failNext("Data", E_OUTOFMEMORY);
    tvp.inject({1});  // the sink's GetData raises; the event is stopped at the sink
    tvp.inject({2});
    ASSERT_TRUE(tvp.waitForDelivered(2));
    ASSERT_TRUE(sink->waitFor(1));
    EXPECT_EQ(sink->blocks, (std::vector<sim::Bytes>{{2}}));
    // A client's DataBlock is not a block of the provider.
    tvp.failAlways("Size");
    IDataBlockPtr own(CLSID_DataBlock);
    EXPECT_EQ(own->GetSize(), 0);
    service.failNext("DataBlock", E_OUTOFMEMORY);
    IDataBlockPtr never;
    EXPECT_EQ(never.CreateInstance(CLSID_DataBlock, nullptr, 0x17), E_OUTOFMEMORY);
}

}  // namespace
}  // namespace simtest
