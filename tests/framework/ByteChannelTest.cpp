// A byte channel's delivery of frames to the sink of its activation: the time of the block the
// frames came in, and an activation that the sink ends from inside its own call.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <vector>

#include "framework/core/Clock.h"
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

}  // namespace
