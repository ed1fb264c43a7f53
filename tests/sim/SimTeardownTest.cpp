// The simulated service under concurrency: several sources delivering at once, sinks that call
// back into the service from their events, unadvising and resetting while events are in
// flight. The fixture checks that every object of the service is released afterwards.
#include <atomic>
#include <thread>

#include "tests/sim/SimTestSupport.h"

namespace simtest {
namespace {

using SimConcurrencyTest = SimTest;

TEST_F(SimConcurrencyTest, SeveralProvidersDeliverAtOnceEachInOrder) {
    constexpr int kBlocks = 150;
    service.reset({{1, 2, 3}});
    std::vector<sim::ProviderHandle> providers;
    std::vector<ATL::CComObject<ProviderSink>*> sinks;
    std::vector<IDataProviderPtr> objects;
    for (int port = 1; port <= 3; ++port) {
        sim::TargetHandle phone = service.addPhone(port, port, "p");
        for (auto& p : phone.providers()) {
            providers.push_back(p);
            objects.push_back(p.object());
            sinks.push_back(makeSink<ProviderSink>());
            ASSERT_EQ(sinks.back()->DispEventAdvise(objects.back()), S_OK);
        }
    }
    std::vector<std::thread> injectors;
    for (auto& p : providers)
        injectors.emplace_back([p]() mutable {
            for (int i = 0; i < kBlocks; ++i)
                p.inject({static_cast<std::uint8_t>(i)});
        });
    for (auto& t : injectors)
        t.join();
    for (std::size_t k = 0; k < sinks.size(); ++k) {
        ASSERT_TRUE(sinks[k]->waitFor(kBlocks));
        std::lock_guard<std::mutex> lock(sinks[k]->mutex);
        for (int i = 0; i < kBlocks; ++i)
            ASSERT_EQ(sinks[k]->blocks[i], sim::Bytes{static_cast<std::uint8_t>(i)});
    }
    for (std::size_t k = 0; k < sinks.size(); ++k) {
        sinks[k]->DispEventUnadvise(objects[k]);
        sinks[k]->Release();
    }
}

// A sink whose events call back into the service.
class ReentrantSink
    : public ATL::IDispEventImpl<2, ReentrantSink, &DIID__IDataProviderEvents, &LIBID_DebugMuxLib>,
      public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
      public Recorder {
  public:
    BEGIN_SINK_MAP(ReentrantSink)
    SINK_ENTRY_EX(2, DIID__IDataProviderEvents, DataProviderEvents::DataAvailable, OnData)
    END_SINK_MAP()
    void __stdcall OnData(IDispatch*) {
        IDataProviderStreamPtr stream(provider);
        stream->Connect();
        IDataBlockPtr block(CLSID_DataBlock);
        bool sent = stream->Send(block) == VARIANT_TRUE;
        IDebugMuxPortsPtr(mux)->AddPort(8);
        {
            std::lock_guard<std::mutex> lock(hold);
            if (removeOnData)
                sim::SimService::instance().removePhone(5);
        }
        add(sent ? "sent" : "not sent");
    }
    IDataProviderPtr provider;
    IDispatchPtr mux;
    std::mutex hold;  // held by the test while it injects
    bool removeOnData = false;
};

TEST_F(SimConcurrencyTest, SinksMayCallTheServiceFromTheirEvents) {
    service.reset({{5}});
    sim::TargetHandle phone = service.addPhone(5, 5, "p");
    sim::ProviderHandle tvp = phone.provider("Tvp");
    auto* sink = makeSink<ReentrantSink>();
    sink->provider = tvp.object();
    sink->mux = createMux();
    ASSERT_EQ(sink->DispEventAdvise(sink->provider), S_OK);
    tvp.inject({1});
    ASSERT_TRUE(sink->waitFor(1));
    EXPECT_EQ(sink->snapshot()[0], "sent");
    EXPECT_TRUE(service.isServed(8));
    EXPECT_EQ(tvp.sentBlocks().size(), 1u);

    // The phone is removed from within its own provider's event.
    {
        // Both blocks are queued before the first one's event can remove the phone; the
        // provider's thread then delivers what it has before it ends.
        std::lock_guard<std::mutex> lock(sink->hold);
        sink->removeOnData = true;
        EXPECT_TRUE(tvp.inject({2}));
        EXPECT_TRUE(tvp.inject({3}));
    }
    ASSERT_TRUE(sink->waitFor(3));
    EXPECT_TRUE(service.waitFor([&] { return !phone.present(); }));
    EXPECT_TRUE(service.waitIdle());
    EXPECT_FALSE(tvp.inject({4}));
    sink->DispEventUnadvise(sink->provider);
    sink->provider = nullptr;
    sink->mux = nullptr;
    sink->Release();
}

TEST_F(SimConcurrencyTest, UnadvisedSinkGetsNothingMore) {
    service.reset({{5}});
    sim::ProviderHandle tvp = service.addPhone(5, 5, "p").provider("Tvp");
    IDataProviderPtr object = tvp.object();
    auto* sink = makeSink<ProviderSink>();
    ASSERT_EQ(sink->DispEventAdvise(object), S_OK);
    std::atomic<bool> stop{false};
    std::thread injector([&] {
        while (!stop.load())
            tvp.inject({7});
    });
    ASSERT_TRUE(sink->waitFor(10));
    ASSERT_EQ(sink->DispEventUnadvise(object), S_OK);
    std::size_t seen = sink->snapshot().size();
    stop = true;
    injector.join();
    EXPECT_TRUE(service.waitIdle(10000ms));
    EXPECT_EQ(sink->snapshot().size(), seen);
    EXPECT_EQ(tvp.sinkCount(), 0u);
    sink->Release();
}

// A sink that holds its first DataAvailable until a gate opens.
class GatedSink
    : public ATL::IDispEventImpl<2, GatedSink, &DIID__IDataProviderEvents, &LIBID_DebugMuxLib>,
      public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
      public Recorder {
  public:
    BEGIN_SINK_MAP(GatedSink)
    SINK_ENTRY_EX(2, DIID__IDataProviderEvents, DataProviderEvents::DataAvailable, OnData)
    END_SINK_MAP()
    void __stdcall OnData(IDispatch*) {
        add("data");
        std::unique_lock<std::mutex> lock(gateMutex);
        gateChanged.wait_for(lock, 10s, [&] { return open; });
    }
    void openGate() {
        {
            std::lock_guard<std::mutex> lock(gateMutex);
            open = true;
        }
        gateChanged.notify_all();
    }
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool open = false;
};

TEST_F(SimConcurrencyTest, ResetWhileAnEventIsInFlight) {
    service.reset({{5}});
    sim::TargetHandle phone = service.addPhone(5, 5, "p");
    sim::ProviderHandle tvp = phone.provider("Tvp");
    auto* sink = makeSink<GatedSink>();
    ASSERT_EQ(sink->DispEventAdvise(tvp.object()), S_OK);
    for (int i = 0; i < 50; ++i)
        tvp.inject({1, 2, 3});
    ASSERT_TRUE(sink->waitFor(1));  // the first event is held in the sink

    // Once reset has taken the phones away it waits for the event under way; then the gate
    // opens and the event finishes.
    std::thread opener([&] {
        service.waitFor([&] { return service.phones().empty(); }, 10000ms);
        sink->openGate();
    });
    service.reset();
    opener.join();
    EXPECT_EQ(sink->snapshot().size(), 1u);  // the pending events were dropped
    EXPECT_FALSE(tvp.present());
    EXPECT_FALSE(tvp.inject({4}));
    // The sink stays advised on an object nobody holds any more: released with it.
    sink->Release();
}

TEST_F(SimConcurrencyTest, ClientsLetGoWhileEventsAreQueued) {
    service.reset({{5}});
    sim::TargetHandle phone = service.addPhone(5, 5, "p");
    IDispatchPtr mux = createMux();
    auto* muxSink = makeSink<MuxSink>();
    ASSERT_EQ(muxSink->DispEventAdvise(mux), S_OK);
    auto* dataSink = makeSink<ProviderSink>();
    IDataProviderPtr tvpObject = phone.provider("Tvp").object();
    ASSERT_EQ(dataSink->DispEventAdvise(tvpObject), S_OK);
    for (int i = 0; i < 20; ++i)
        phone.provider("Tvp").inject({9});
    service.removePhone(5);
    service.addPhone(5, 6, "q");
    // Everything the client holds goes while events may still be under way; the sinks stay
    // advised and are released with the objects.
    tvpObject = nullptr;
    mux = nullptr;
    muxSink->Release();
    dataSink->Release();
    EXPECT_TRUE(service.waitIdle());
}

}  // namespace
}  // namespace simtest
