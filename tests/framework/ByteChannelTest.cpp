// A byte channel's delivery of frames to the sink of its activation: the time of the block the
// frames came in, an activation that the sink ends from inside its own call, and a data source
// as the activation (its decoder, and the host's sink that it may change at any time).
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <vector>

#include "framework/core/Clock.h"
#include "framework/dsrc/DataSource.h"
#include "framework/eqbase/Channel.h"

namespace {

using core::RCPtr;
using namespace std::chrono_literals;

// A channel whose worker runs what the test gives it.
class Feeder : public eqbase::ByteChannel {
  public:
    Feeder() : eqbase::ByteChannel("Feeder") {}

    // Runs f on the channel's worker and waits for it.
    void onWorker(const std::function<void(Feeder&)>& f) {
        std::promise<void> done;
        auto finished = done.get_future();
        ASSERT_TRUE(getWorker()->post([&] {
            f(*this);
            done.set_value();
        }));
        finished.wait();
    }
    using eqbase::ByteChannel::markBlockArrival;
};

struct TimeSink : dsrc::DataSourceSink {
    std::vector<std::uint64_t> times;  // written on the channel's worker only
    bool onDataSourceFrame(const dsrc::DataSourceChannelInfo*,
                           const RCPtr<dsrc::DataSourceFrame>& frame) override {
        times.push_back(frame->getTime());
        return true;
    }
};

class ByteChannelTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(channel->startWorkThread()); }
    void TearDown() override { channel->stopWorkThread(); }
    RCPtr<Feeder> channel{new Feeder};
};

TEST_F(ByteChannelTest, FramesCarryTheArrivalTimeOfTheirBlockAndKeepATimeOfTheirOwn) {
    core::ManualClock clock;
    RCPtr<TimeSink> sink(new TimeSink);
    ASSERT_TRUE(channel->activate(sink));
    auto send = [](Feeder& c, std::uint64_t time = 0) {
        RCPtr<dsrc::DataSourceFrame> frame(new dsrc::DataSourceFrame(4));
        frame->setTime(time);
        EXPECT_TRUE(c.sendDataSourceFrame(frame));
    };
    // Before any block the time is left to the host.
    channel->onWorker([&](Feeder& c) { send(c); });
    const auto first = static_cast<std::uint64_t>(core::Clock::wallMicros());
    channel->onWorker([&](Feeder& c) {
        c.markBlockArrival();
        send(c);
        send(c);
        send(c, 42);  // a frame that carries a time keeps it
    });
    clock.advance(1500us);
    // A frame handed on later from the same block still carries the block's time.
    channel->onWorker([&](Feeder& c) { send(c); });
    channel->onWorker([&](Feeder& c) {
        c.markBlockArrival();
        send(c);
    });
    EXPECT_EQ(sink->times, (std::vector<std::uint64_t>{0, first, first, 42, first, first + 1500}));
    EXPECT_TRUE(channel->deactivate());
}

// The channel holds the activation's sink; a sink that deactivates the channel, or activates
// it with another sink, from inside its call is still alive when the call goes on, and goes
// when the delivery returns.
struct EndingSink : dsrc::DataSourceSink {
    Feeder* channel = nullptr;
    RCPtr<dsrc::DataSourceSink> replacement;  // activated from inside the call, or none
    bool* destroyed = nullptr;
    int calls = 0;
    ~EndingSink() override { *destroyed = true; }
    bool onDataSourceFrame(const dsrc::DataSourceChannelInfo*,
                           const RCPtr<dsrc::DataSourceFrame>&) override {
        if (replacement)
            channel->activate(replacement);
        else
            channel->deactivate();
        // This object is used after the channel let go of it.
        ++calls;
        return !*destroyed && calls == 1;
    }
};

TEST_F(ByteChannelTest, SinkThatEndsTheActivationFromInsideItsCallOutlivesTheCall) {
    for (bool replace : {false, true}) {
        bool destroyed = false;
        RCPtr<TimeSink> next(new TimeSink);
        {
            RCPtr<EndingSink> sink(new EndingSink);
            sink->channel = channel.get();
            sink->destroyed = &destroyed;
            if (replace)
                sink->replacement = next;
            ASSERT_TRUE(channel->activate(sink));
        }  // only the channel holds the sink now
        bool taken = false;
        bool destroyedAfter = false;
        channel->onWorker([&](Feeder& c) {
            taken = c.sendDataSourceFrame(new dsrc::DataSourceFrame(4));
            destroyedAfter = destroyed;
            // The next frame goes to the activation of the moment: the replacement, or none.
            EXPECT_EQ(c.sendDataSourceFrame(new dsrc::DataSourceFrame(4)), replace);
        });
        EXPECT_TRUE(taken) << "replace " << replace;
        EXPECT_TRUE(destroyedAfter) << "the ended activation goes when the delivery returns";
        EXPECT_EQ(next->times.size(), replace ? 1u : 0u);
        EXPECT_TRUE(channel->deactivate());
    }
}

// A data source as the activation: the channel reaches its decoder and its sink through a
// route of its own, which follows the host's changes of sink.
struct CountingDecoder : dsrc::DataDecoder {
    int frames = 0;
    void onData(core::RCObject*) override { ++frames; }
};

struct Source : dsrc::DataSource {
    RCPtr<CountingDecoder> decoder{new CountingDecoder};
    RCPtr<dsrc::DataProvider> createDataProvider(int) override { return {}; }
    RCPtr<dsrc::DataDecoder> createDataDecoder(const dsrc::DataSourceChannelInfo*) override {
        return decoder;
    }
};

struct CountingSink : dsrc::DataSourceSink {
    int frames = 0;
    bool* destroyed = nullptr;
    ~CountingSink() override {
        if (destroyed)
            *destroyed = true;
    }
    bool onDataSourceFrame(const dsrc::DataSourceChannelInfo*,
                           const RCPtr<dsrc::DataSourceFrame>&) override {
        ++frames;
        return true;
    }
};

TEST_F(ByteChannelTest, DataSourceActivationFollowsTheHostsSinkAndLetsTheOldOneGo) {
    RCPtr<Source> source(new Source);
    bool firstGone = false, secondGone = false;
    RCPtr<CountingSink> first(new CountingSink), second(new CountingSink);
    first->destroyed = &firstGone;
    second->destroyed = &secondGone;
    source->setSink(first);
    ASSERT_TRUE(channel->activate(source));
    auto send = [&] {
        bool taken = false;
        channel->onWorker(
            [&](Feeder& c) { taken = c.sendDataSourceFrame(new dsrc::DataSourceFrame(4)); });
        return taken;
    };
    EXPECT_TRUE(send());
    EXPECT_TRUE(send());
    EXPECT_EQ(first->frames, 2);

    // The host changes its sink: the next frame goes to the new one, and the old one is let go.
    source->setSink(second);
    first.reset();
    EXPECT_TRUE(send());
    EXPECT_TRUE(firstGone);
    EXPECT_EQ(second->frames, 1);

    // No sink: frames are decoded but not taken, and the last sink is let go.
    source->setSink(nullptr);
    second.reset();
    EXPECT_FALSE(send());
    EXPECT_TRUE(secondGone);
    EXPECT_EQ(source->decoder->frames, 4);

    // Deactivated, the channel holds nothing of the data source any more.
    EXPECT_TRUE(channel->deactivate());
    EXPECT_EQ(source->getRefCount(), 1);
}

// A host's sink that, from inside its call, changes the data source's sink and then either
// deactivates the channel or has it deliver another frame (which finds its route stale): the
// sink and the route it was called through outlive the call.
struct SwitchingSink : dsrc::DataSourceSink {
    Feeder* channel = nullptr;
    Source* source = nullptr;
    RCPtr<dsrc::DataSourceSink> next;
    bool deactivate = false;
    bool* destroyed = nullptr;
    int calls = 0;
    bool innerTaken = false;
    ~SwitchingSink() override { *destroyed = true; }
    bool onDataSourceFrame(const dsrc::DataSourceChannelInfo*,
                           const RCPtr<dsrc::DataSourceFrame>&) override {
        if (++calls > 1)
            return false;
        source->setSink(next);
        if (deactivate)
            channel->deactivate();
        else
            innerTaken = channel->sendDataSourceFrame(new dsrc::DataSourceFrame(4));
        // This object is used after the data source and the channel let go of it.
        return !*destroyed;
    }
};

TEST_F(ByteChannelTest, SinkThatChangesTheDataSourceFromInsideItsCallOutlivesTheCall) {
    for (bool deactivate : {true, false}) {
        RCPtr<Source> source(new Source);
        RCPtr<CountingSink> next(new CountingSink);
        bool destroyed = false;
        {
            RCPtr<SwitchingSink> sink(new SwitchingSink);
            sink->channel = channel.get();
            sink->source = source.get();
            sink->next = next;
            sink->deactivate = deactivate;
            sink->destroyed = &destroyed;
            source->setSink(sink);
        }  // only the data source holds the sink now
        ASSERT_TRUE(channel->activate(source));
        bool taken = false, destroyedAfter = false;
        channel->onWorker([&](Feeder& c) {
            taken = c.sendDataSourceFrame(new dsrc::DataSourceFrame(4));
            destroyedAfter = destroyed;
        });
        EXPECT_TRUE(taken) << "deactivate " << deactivate;
        EXPECT_TRUE(destroyedAfter) << "the old sink goes when the delivery returns";
        // The frame delivered from inside the call went to the new sink.
        EXPECT_EQ(next->frames, deactivate ? 0 : 1);
        if (!deactivate) {
            EXPECT_TRUE(channel->deactivate());
        }
        EXPECT_EQ(source->getRefCount(), 1);
    }
}

}  // namespace
