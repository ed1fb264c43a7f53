// DataProvider and its event sink on their own, against the simulated service's provider
// objects and a hand-made data block.
#include <algorithm>

#include "MuxTestSupport.h"
#include "transport/EEDataProviderSink.h"
#include "transport/ReceiveBacklog.h"

namespace muxtest {
namespace {

using vela::DataProvider;

// A data block whose Size and array a test chooses. Data hands out an array laid over the
// block's own bytes (FADF_STATIC): destroying it zeroes them, which shows that the receiver
// destroyed the array it was given.
class FakeBlock : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
                  public ATL::IDispatchImpl<IDataBlock> {
  public:
    BEGIN_COM_MAP(FakeBlock)
    COM_INTERFACE_ENTRY(IDataBlock)
    COM_INTERFACE_ENTRY(IDispatch)
    END_COM_MAP()

    static IDataBlockPtr make(LONG size, const std::vector<std::uint8_t>* bytes) {
        ATL::CComObject<FakeBlock>* block = nullptr;
        ATL::CComObject<FakeBlock>::CreateInstance(&block);
        IDataBlockPtr result(static_cast<IDataBlock*>(block));
        block->m_size = size;
        if (bytes) {
            block->m_bytes = *bytes;
            block->m_hasArray = true;
        }
        return result;
    }

    STDMETHOD(get_Size)(LONG* pVal) override {
        *pVal = m_size;
        return S_OK;
    }
    STDMETHOD(get_Data)(SAFEARRAY** pVal) override {
        *pVal = m_hasArray ? platform::com::safeArrayCreateVectorOver(
                                 VT_UI1, m_bytes.data(), static_cast<ULONG>(m_bytes.size()))
                           : nullptr;
        return S_OK;
    }
    STDMETHOD(put_Data)(SAFEARRAY**) override { return E_NOTIMPL; }

    // Whether an array handed out was destroyed (its bytes are zero).
    bool arrayDestroyed() const {
        return std::all_of(m_bytes.begin(), m_bytes.end(), [](std::uint8_t b) { return b == 0; });
    }

  private:
    LONG m_size = 0;
    std::vector<std::uint8_t> m_bytes;
    bool m_hasArray = false;
};

// The next block in a provider's out pipe, past the marks of the stream (nothing when none).
RCPtr<core::Data> nextBlock(core::Pipe& pipe) {
    for (;;) {
        RCPtr<core::RCObject> item = pipe.read();
        if (!item || !core::rcCast<vela::ReceiveBacklog::Mark>(item))
            return core::rcCast<core::Data>(item);
    }
}

// On the manual clock: the stream's marks of time come at its first block and then only when
// the test moves the clock on.
class MuxProviderTest : public MuxClockTest<MuxTest> {
  protected:
    void SetUp() override {
        MuxTest::SetUp();
        service.reset({{5}});
        phone = service.addPhone(5, 1001, "Vela phone");
        stream = phone.provider("Tvp");
        provider = new DataProvider(stream.object());
    }
    void TearDown() override {
        provider.reset();
        MuxTest::TearDown();
    }

    sim::TargetHandle phone;
    sim::ProviderHandle stream;
    RCPtr<DataProvider> provider;
};

TEST_F(MuxProviderTest, AnswersForItsStream) {
    EXPECT_EQ(provider->getId(), 1);
    EXPECT_EQ(provider->getName(), "Tvp");
    EXPECT_EQ(provider->getPortName(), "COM5");
    RCPtr<core::Pipe> pipe = provider->getOutPipe();
    ASSERT_TRUE(pipe);
    EXPECT_EQ(provider->getOutPipe(), pipe);

    EXPECT_FALSE(provider->send(dataOf({1})));  // the stream is not open
    EXPECT_TRUE(provider->connect());
    EXPECT_TRUE(stream.isConnected());
    EXPECT_TRUE(provider->send(dataOf({1, 2})));
    EXPECT_TRUE(provider->send(dataOf({})));
    EXPECT_FALSE(provider->send(nullptr));
    EXPECT_EQ(stream.sentBlocks(), (std::vector<sim::Bytes>{{1, 2}, {}}));
    stream.answerFalseNext("Connect");
    EXPECT_FALSE(provider->connect());
    stream.failNext("Disconnect");
    EXPECT_FALSE(provider->disconnect());
    EXPECT_TRUE(provider->disconnect());
    EXPECT_FALSE(stream.isConnected());
}

TEST_F(MuxProviderTest, ReceivedBlocksGoIntoTheOutPipe) {
    provider->setup();
    ASSERT_TRUE(stream.waitForSinks(1));
    // Before anyone asked for the pipe, blocks are dropped without a word.
    core::TraceCapture trace;
    stream.inject({9});
    ASSERT_TRUE(stream.waitForDelivered(1));
    RCPtr<core::Pipe> pipe = provider->getOutPipe();
    EXPECT_EQ(pipe->getCount(), 0u);

    stream.inject({1, 2, 3});
    stream.inject({});
    ASSERT_TRUE(stream.waitForDelivered(3));
    settle();
    ASSERT_EQ(pipe->getCount(), 2u);
    EXPECT_EQ(bytesOf(*pipe->readData()), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_TRUE(pipe->readData()->empty());
    EXPECT_EQ(provider->getDroppedBlocks(), 0u);
    EXPECT_FALSE(trace.contains("DataProvider::"));

    // Disconnected without a channel is passed to nobody.
    EXPECT_TRUE(provider->connect());
    EXPECT_TRUE(provider->disconnect());
    ASSERT_TRUE(service.waitIdle());
    EXPECT_EQ(provider->getId(), 1);
}

// What waits for the channel is bounded: with nobody reading, the blocks beyond the limit are
// dropped whole in the sink's call and counted, and the next block that fits comes after a
// mark that tells the reader of the gap. The trace hears of the gaps at most once a second,
// and of the last ones when the provider ends.
TEST_F(MuxProviderTest, BlocksBeyondTheReceiveLimitAreDroppedWholeCountedAndMarked) {
    provider->setup();
    ASSERT_TRUE(stream.waitForSinks(1));
    RCPtr<core::Pipe> pipe = provider->getOutPipe();
    RCPtr<vela::ReceiveBacklog> backlog = provider->getReceiveBacklog();
    backlog->setLimit(10);
    core::TraceCapture trace;
    for (std::uint8_t i = 1; i <= 5; ++i)
        stream.inject(sim::Bytes(4, i));
    ASSERT_TRUE(stream.waitForDelivered(5));
    provider->getId();  // the worker has handled what it was given
    EXPECT_EQ(backlog->queuedBytes(), 8u);
    EXPECT_EQ(provider->getDroppedBlocks(), 3u);
    EXPECT_EQ(backlog->droppedBytes(), 12u);
    ASSERT_EQ(pipe->getCount(), 3u);
    RCPtr<vela::ReceiveBacklog::Mark> mark = core::rcCast<vela::ReceiveBacklog::Mark>(pipe->read());
    ASSERT_TRUE(mark);
    EXPECT_EQ(mark->blocks(), 0u);
    EXPECT_EQ(bytesOf(*pipe->readData()), sim::Bytes(4, 1));
    EXPECT_EQ(bytesOf(*pipe->readData()), sim::Bytes(4, 2));
    EXPECT_EQ(backlog->queuedBytes(), 0u);
    EXPECT_FALSE(trace.contains("DataProvider::")) << "a gap is told with the block after it";

    stream.inject({6});
    // The gap is in the pipe at once (written by the sink); its trace line is the provider's
    // worker's.
    settle();
    ASSERT_EQ(pipe->getCount(), 2u);
    mark = core::rcCast<vela::ReceiveBacklog::Mark>(pipe->read());
    ASSERT_TRUE(mark);
    EXPECT_EQ(mark->blocks(), 3u);
    EXPECT_EQ(mark->bytes(), 12u);
    EXPECT_EQ(bytesOf(*pipe->readData()), sim::Bytes{6});
    const char* const first =
        "DataProvider::onDataAvailable Id = 1, Name = Tvp, the channel is behind: 3 blocks "
        "(12 bytes) dropped in 1 gaps, 3 blocks in all (limit 10 bytes)\n";
    EXPECT_TRUE(trace.has(20, first)) << trace.text();

    // Another gap within the second: counted, its line waits.
    for (std::uint8_t i = 7; i <= 10; ++i)
        stream.inject(sim::Bytes(4, i));
    ASSERT_TRUE(stream.waitForDelivered(10));
    provider->getId();
    EXPECT_EQ(provider->getDroppedBlocks(), 5u);
    while (nextBlock(*pipe)) {
    }
    stream.inject({11});
    ASSERT_TRUE(stream.waitForDelivered(11));
    provider->getId();
    EXPECT_EQ(trace.count("the channel is behind"), 1u);
    provider.reset();
    EXPECT_TRUE(trace.has(20,
                          "DataProvider::onDataAvailable Id = 1, Name = Tvp, the channel is "
                          "behind: 2 blocks (8 bytes) dropped in 1 gaps, 5 blocks in all (limit "
                          "10 bytes)\n"))
        << trace.text();
}

// The sink's one copy goes into the provider's recycled blocks: a stream that the channel keeps
// up with reuses the same few, and a block dropped for want of room is not copied at all.
TEST_F(MuxProviderTest, ReceivedBytesAreCopiedIntoRecycledBlocksOnlyWhenTheyFit) {
    provider->setup();
    ASSERT_TRUE(stream.waitForSinks(1));
    RCPtr<core::Pipe> pipe = provider->getOutPipe();
    const RCPtr<core::DataPool>& pool = provider->getBlockPool();
    for (std::uint8_t i = 0; i < 50; ++i) {
        stream.inject(sim::Bytes(100 + i, i));
        ASSERT_TRUE(stream.waitForDelivered(i + 1u));
        RCPtr<core::Data> block = nextBlock(*pipe);
        ASSERT_TRUE(block);
        EXPECT_EQ(bytesOf(*block), sim::Bytes(100 + i, i));
    }
    EXPECT_EQ(pool->counts().storesMade, 1u);
    EXPECT_EQ(pool->counts().objectsMade, 1u);
    EXPECT_EQ(pool->counts().reused, 49u);

    provider->getReceiveBacklog()->setLimit(450);  // two of the five fit
    for (std::uint8_t i = 0; i < 5; ++i)
        stream.inject(sim::Bytes(200, i));
    ASSERT_TRUE(stream.waitForDelivered(55));
    EXPECT_EQ(provider->getDroppedBlocks(), 3u);
    EXPECT_EQ(pool->counts().storesMade + pool->counts().reused, 52u) << "dropped unread";
}

TEST_F(MuxProviderTest, BlockThePipeRefusesIsCountedAndTraced) {
    provider->setup();
    ASSERT_TRUE(stream.waitForSinks(1));
    RCPtr<core::Pipe> pipe = provider->getOutPipe();
    // The stream's first block comes with a mark of its time; read, they leave the pipe empty.
    stream.inject({7});
    settle();
    ASSERT_EQ(pipe->getCount(), 2u);
    EXPECT_TRUE(core::rcCast<vela::ReceiveBacklog::Mark>(pipe->read()));
    EXPECT_EQ(bytesOf(*pipe->readData()), sim::Bytes{7});
    pipe->setMaxBytes(8);
    core::TraceCapture trace;
    for (int i = 0; i < 3; ++i)
        stream.inject(sim::Bytes(8, static_cast<std::uint8_t>(i)));
    settle();
    ASSERT_EQ(
        trace.count("DataProvider::onDataAvailable Id = 1, Name = Tvp, Can't write to pipe\n"), 2u);
    EXPECT_EQ(provider->getDroppedBlocks(), 2u);
    // Each was offered once: the provider's worker does not wait for room.
    EXPECT_EQ(pipe->getRefusedCount(), 2u);
    ASSERT_EQ(pipe->getCount(), 1u);
    EXPECT_EQ(bytesOf(*pipe->readData()), sim::Bytes(8, 0));
}

TEST_F(MuxProviderTest, SinkCopiesNoMoreThanTheArrayHoldsAndDestroysIt) {
    core::TraceCapture trace;
    RCPtr<core::Pipe> pipe = provider->getOutPipe();
    ATL::CComObject<vela::EEDataProviderSink>* sink = nullptr;
    ASSERT_EQ(vela::EEDataProviderSink::create(&sink), S_OK);
    sink->AddRef();

    const std::vector<std::uint8_t> four{1, 2, 3, 4};
    IDataBlockPtr ignored = FakeBlock::make(4, &four);
    sink->OnDataAvailable(ignored);  // no owner yet: ignored, Data not even read
    sink->setOwner(provider.get());
    std::vector<IDataBlockPtr> blocks{FakeBlock::make(100, &four),  // Size beyond the array
                                      FakeBlock::make(2, &four),    // Size within it
                                      FakeBlock::make(0, &four), FakeBlock::make(-5, &four)};
    for (auto& block : blocks)
        sink->OnDataAvailable(block);
    sink->OnDataAvailable(FakeBlock::make(3, nullptr));  // no array to lock
    sink->OnDataAvailable(nullptr);
    sink->OnDisconnected();
    provider->getId();  // everything posted so far has been handled
    sink->setOwner(nullptr);
    sink->Release();

    ASSERT_EQ(pipe->getCount(), 5u) << "a mark of the stream's start, then four blocks";
    EXPECT_TRUE(core::rcCast<vela::ReceiveBacklog::Mark>(pipe->read()));
    EXPECT_EQ(bytesOf(*pipe->readData()), four);
    EXPECT_EQ(bytesOf(*pipe->readData()), (std::vector<std::uint8_t>{1, 2}));
    EXPECT_TRUE(pipe->readData()->empty());
    EXPECT_TRUE(pipe->readData()->empty());
    EXPECT_EQ(trace.count("EEDataProviderSink::OnDataAvailable / SafeArrayAccessData FAILED ("),
              1u);
    // The array each block handed out was destroyed by the sink, after the bytes were copied.
    for (auto& block : blocks)
        EXPECT_TRUE(static_cast<FakeBlock*>(block.GetInterfacePtr())->arrayDestroyed());
    EXPECT_FALSE(static_cast<FakeBlock*>(ignored.GetInterfacePtr())->arrayDestroyed());
}

TEST_F(MuxProviderTest, ObjectWithoutTheProviderInterfacesGivesEmptyAnswers) {
    core::TraceCapture trace;
    IDataBlockPtr block = FakeBlock::make(0, nullptr);
    RCPtr<DataProvider> stranger(new DataProvider(block));
    EXPECT_EQ(stranger->getId(), 0);
    EXPECT_EQ(stranger->getName(), "");
    EXPECT_EQ(stranger->getPortName(), "");
    EXPECT_FALSE(stranger->connect());
    EXPECT_FALSE(stranger->disconnect());
    EXPECT_FALSE(stranger->send(dataOf({1})));
    EXPECT_TRUE(trace.has(20, "DataProvider::onSendReq Missing data provider\n"));
    stranger->setup();  // the object fires no events
    stranger->getId();
    EXPECT_TRUE(trace.contains("EEDataProviderSink::advise FAILED ("));

    RCPtr<DataProvider> none(new DataProvider(nullptr));
    none->setup();
    EXPECT_EQ(none->getId(), 0);
    EXPECT_FALSE(none->send(dataOf({1})));
}

TEST_F(MuxProviderTest, FailingReadsAnswerTheEmptyResult) {
    core::TraceCapture trace;
    stream.failNext("Id");
    EXPECT_EQ(provider->getId(), 0);
    EXPECT_TRUE(trace.has(20, "DataProvider::GetId - COM error 0x80004005 E_FAIL\n"));
    stream.failNext("PortName", E_ACCESSDENIED);
    EXPECT_EQ(provider->getPortName(), "");
    EXPECT_TRUE(trace.contains("DataProvider::GetPortName - COM error 0x80070005"));
    stream.failNext("Connect");
    EXPECT_FALSE(provider->connect());
    EXPECT_EQ(provider->getId(), 1);
    EXPECT_TRUE(provider->connect());
}

}  // namespace
}  // namespace muxtest
