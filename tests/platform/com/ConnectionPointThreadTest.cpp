// Connection points under concurrency: events fired from several threads while other threads
// advise and unadvise, several sources firing into one sink, counts changed from many
// threads. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "tests/platform/com/TestObjects.h"

namespace {

TEST(ConnectionPointThreads, UnadvisedSinksAreNeverCalledAgain) {
    ICounterPtr counter = makeCounter();
    auto& events = eventsOf(counter);
    std::atomic<bool> stop{false};
    std::vector<std::thread> firers;
    for (int t = 0; t < 3; ++t)
        firers.emplace_back([&] {
            while (!stop.load())
                events.fire(kNothing);
        });

    struct Record {
        ATL::CComObject<CounterSink>* sink;
        int callsAtUnadvise;
    };
    std::vector<Record> records;
    for (int round = 0; round < 200; ++round) {
        auto* sink = makeSink();
        ASSERT_EQ(sink->DispEventAdvise(counter), S_OK);
        if (round % 2)
            std::this_thread::yield();
        ASSERT_EQ(sink->DispEventUnadvise(counter), S_OK);
        records.push_back({sink, sink->nothing.load()});
        if (round % 3 == 0) {
            // Released at once: a firing thread that still used it would be caught by the
            // sanitizers.
            EXPECT_EQ(sink->Release(), 0u);
            records.back().sink = nullptr;
        }
    }
    stop = true;
    for (auto& t : firers)
        t.join();
    for (auto& r : records) {
        if (!r.sink)
            continue;
        EXPECT_EQ(r.sink->nothing.load(), r.callsAtUnadvise);
        r.sink->Release();
    }
    EXPECT_EQ(events.connectionCount(), 0u);
}

TEST(ConnectionPointThreads, SeveralSourcesFireIntoOneSinkAtOnce) {
    constexpr int kSources = 4;
    constexpr LONG kEvents = 300;
    auto* sink = makeSink();
    std::vector<ICounterPtr> sources;
    for (int s = 0; s < kSources; ++s) {
        sources.push_back(makeCounter());
        ASSERT_EQ(AtlAdvise(sources.back(), static_cast<IDispatch*>(sink), DIID__ICounterEvents,
                            &sink->m_dwEventCookie),
                  S_OK);
    }
    std::vector<std::thread> threads;
    for (int s = 0; s < kSources; ++s)
        threads.emplace_back([&, s] {
            _bstr_t name(std::to_string(s));
            for (LONG i = 0; i < kEvents; ++i)
                eventsOf(sources[s]).fire(kCounted, i, name);
        });
    for (auto& t : threads)
        t.join();

    ASSERT_EQ(sink->values.size(), static_cast<std::size_t>(kSources * kEvents));
    // Each source's events arrive in the order it fired them.
    std::map<std::string, LONG> next;
    for (std::size_t k = 0; k < sink->values.size(); ++k) {
        EXPECT_EQ(sink->values[k], next[sink->notes[k]]);
        next[sink->notes[k]] = sink->values[k] + 1;
    }
    for (auto& source : sources)
        eventsOf(source).disconnectAll();
    EXPECT_EQ(sink->Release(), 0u);
}

TEST(ConnectionPointThreads, ReferenceCountsFromManyThreads) {
    ICounterPtr counter = makeCounter();
    ICounter* raw = counter;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([raw] {
            for (int i = 0; i < 10000; ++i) {
                raw->AddRef();
                IPingerPtr pinger(raw);
                raw->Release();
            }
        });
    for (auto& t : threads)
        t.join();
    raw->AddRef();
    EXPECT_EQ(raw->Release(), 1u);
}

}  // namespace
