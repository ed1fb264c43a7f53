// Test harness for the TVP engine: the engine bound through the real multiplexer client to a
// phone of the simulated service, with the test playing the phone. What the engine sends is
// read from the service's record of sent blocks; the phone's answers are injected as raw TVP
// bytes. The host side is a sink that records every frame given to the data source and an
// observer that records active states and apply results.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/core/Clock.h"
#include "framework/core/Data.h"
#include "framework/core/Request.h"
#include "framework/core/Trace.h"
#include "framework/dsrc/DataSourceSink.h"
#include "framework/eqbase/Channel.h"
#include "protocol/TvpCommandReq.h"
#include "protocol/TvpIoProtocolFactory.h"
#include "session/ProbeCatalogue.h"
#include "session/TVP.h"
#include "sim/SimService.h"
#include "tests/sim/RunUntilIdle.h"
#include "transport/DataProvider.h"
#include "transport/DebugMux.h"
#include "transport/Target.h"
#include "transport/TargetUser.h"

namespace tvptest {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using core::RCPtr;

// The bound of every wait here for another thread (a block, a result, a worker stopped in a
// hold): long enough for any step of the tests, also under the sanitizers; a test that runs
// into it fails instead of hanging.
inline constexpr std::chrono::milliseconds kWait{15000};

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// ---- Frames as the phone sends them -------------------------------------------------------
// The phone's frames carry its own routing (source processor 0, destination processor 1,
// source node 3, destination node 0); the engine must not care.
inline Bytes header(std::uint32_t size, std::uint8_t dataId) {
    return {static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
            static_cast<std::uint8_t>(0x90 | ((size >> 16) & 1)),
            static_cast<std::uint8_t>(0x01 | (dataId << 5))};
}
inline Bytes u2(std::uint16_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
}

inline Bytes setTimeStampAck(std::uint8_t seq, std::uint16_t result = 0) {
    return cat({header(8, 2), {0x08, seq}, u2(result)});
}
inline Bytes probeModeAck(std::uint8_t seq, std::uint16_t probe, std::uint16_t result = 0) {
    return cat({header(10, 2), {0x01, seq}, u2(probe), u2(result)});
}
inline Bytes testCodeAck(std::uint8_t seq, std::uint8_t callbackId, std::uint16_t testCode,
                         std::uint16_t result = 0, const Bytes& args = {}) {
    return cat({header(static_cast<std::uint32_t>(13 + args.size()), 2),
                {0x03, seq, callbackId},
                u2(testCode),
                u2(result),
                u2(0),
                args});
}
// A probe report of probe `probe` with `payload` as its data (element type 4).
inline Bytes probeFrame(std::uint16_t probe, std::uint16_t phoneSeq, const Bytes& payload) {
    auto n = static_cast<std::uint16_t>(payload.size());
    return cat({header(static_cast<std::uint32_t>(20 + payload.size()), 0),
                {0x00, 0x78, 0x56, 0x34, 0x12},
                u2(phoneSeq),
                u2(probe),
                {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8), 0, 0, 0x04},
                u2(n),
                payload});
}
inline Bytes payload(std::size_t n, std::uint8_t seed = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

// ---- Frames as the engine sends them (routing: processor 1 to 0, node 0 to 3) --------------
inline Bytes setTimeStampReq(std::uint8_t seq) {
    return {0x07, 0x00, 0x02, 0x2C, 0x07, seq, 0x10};
}
inline Bytes probeModeReq(std::uint8_t seq, std::uint16_t probe, std::uint8_t mode) {
    return cat({{0x09, 0x00, 0x02, 0x2C, 0x01, seq}, u2(probe), {mode}});
}

// A data-source frame as the host receives a frame of the phone: the framework header (record
// number 0, time 0, data size) and the TVP bytes.
inline Bytes asDataSourceFrame(const Bytes& tvp) {
    const std::size_t header = dsrc::DataSourceFrame::getHeaderSize();
    Bytes out(header + tvp.size(), 0);
    auto n = static_cast<std::uint32_t>(tvp.size());
    for (int i = 0; i < 4; ++i)
        out[12 + i] = static_cast<std::uint8_t>(n >> (8 * i));
    std::copy(tvp.begin(), tvp.end(), out.begin() + static_cast<std::ptrdiff_t>(header));
    return out;
}

// ---- The host side -----------------------------------------------------------------------
struct ReceivedFrame {
    Bytes bytes;             // the whole data-source frame, its time field zero
    std::string kind;        // class of the frame object
    std::uint64_t time = 0;  // the time the frame carried (its block's arrival)
};

// The data source of an activation: records every frame in order.
class RecordingSink : public dsrc::DataSourceSink {
  public:
    bool onDataSourceFrame(const dsrc::DataSourceChannelInfo*,
                           const RCPtr<dsrc::DataSourceFrame>& frame) override {
        ReceivedFrame received{{}, frame->getClassName(), frame->getTime()};
        if (keeping()) {
            // As a host that holds the frame: its data area is read where it is, no byte view
            // is asked for.
            const unsigned char* data = frame->getDataSourceFrameData();
            received.bytes = Bytes(16, 0);
            const std::uint32_t n = frame->getDataSourceFrameDataSize();
            for (int i = 0; i < 4; ++i)
                received.bytes[12 + i] = static_cast<std::uint8_t>(n >> (8 * i));
            received.bytes.insert(received.bytes.end(), data, data + n);
        } else {
            const RCPtr<core::Data>& whole = frame->getFrame();
            received.bytes =
                Bytes(whole->getInternalData(), whole->getInternalData() + whole->size());
            // The time is compared on its own (times()): the bytes compare as the phone sent
            // them.
            std::fill(received.bytes.begin() + 4, received.bytes.begin() + 12, 0);
        }
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_hold) {
                m_inHold = true;
                m_changed.notify_all();
                m_changed.wait_for(lock, kWait, [&] { return !m_hold; });
                m_inHold = false;
            }
            m_frames.push_back(std::move(received));
            if (m_keep)
                m_kept.push_back(frame);
        }
        m_changed.notify_all();
        std::lock_guard<std::mutex> lock(m_mutex);
        return !m_refuse;
    }
    std::vector<ReceivedFrame> frames() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames;
    }
    std::vector<Bytes> bytes() {
        std::vector<Bytes> out;
        for (auto& f : frames())
            out.push_back(f.bytes);
        return out;
    }
    std::vector<std::uint64_t> times() {
        std::vector<std::uint64_t> out;
        for (auto& f : frames())
            out.push_back(f.time);
        return out;
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames.size();
    }
    bool waitCount(std::size_t n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kWait, [&] { return m_frames.size() >= n; });
    }
    void refuse(bool on) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_refuse = on;
    }
    // Holds every frame from now on, as a host may after the call.
    void keep(bool on) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_keep = on;
    }
    // While held, the channel's worker stops in the next frame it hands over (for at most
    // kWait) until released; waitHeld() returns once it has stopped there.
    void hold(bool on) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = on;
        m_changed.notify_all();
    }
    bool waitHeld() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kWait, [&] { return m_inHold; });
    }
    std::vector<RCPtr<dsrc::DataSourceFrame>> takeKept() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::move(m_kept);
    }

  private:
    bool keeping() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_keep;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<ReceivedFrame> m_frames;
    std::vector<RCPtr<dsrc::DataSourceFrame>> m_kept;
    bool m_refuse = false;
    bool m_keep = false;
    bool m_hold = false;
    bool m_inHold = false;
};

struct ApplyResult {
    core::PropertyNode::Identity identity;
    long code;
    std::string text;
};

// What the host shows: active states and apply results, in order.
class RecordingObserver : public eqbase::ChannelObserver {
  public:
    void onChannelActiveState(eqbase::Channel&, int state) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_states.push_back(state);
        m_changed.notify_all();
    }
    void onApplyResult(eqbase::Channel&, core::PropertyNode::Identity identity,
                       const core::Status& status) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_results.push_back({identity, status.getCode(), status.getAdditionalInfo()});
        m_changed.notify_all();
    }
    std::vector<int> states() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_states;
    }
    std::vector<ApplyResult> results() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_results;
    }
    // Waits for the n-th apply result (from 1) and returns it; code 0 when none came.
    ApplyResult waitResult(std::size_t n, std::chrono::milliseconds timeout = kWait) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_changed.wait_for(lock, timeout, [&] { return m_results.size() >= n; }))
            return {0, 0, "none"};
        return m_results[n - 1];
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<int> m_states;
    std::vector<ApplyResult> m_results;
};

// The engine with a settable activation time limit and a way to read its counters on its
// worker.
class TestTvp : public vela::TVP {
  public:
    explicit TestTvp(unsigned long activateTimeoutMs = 6000) : m_timeout(activateTimeoutMs) {}

    Counters counters() {
        RCPtr<core::Response> response;
        Counters copy;
        m_read = &copy;
        doRequest(new core::Request("TestCounters"), &response);
        m_read = nullptr;
        return copy;
    }
    // Waits until everything posted to the engine so far has been handled.
    void settle() { getName(); }

  protected:
    bool onBeginWorkThread() override {
        if (!vela::TVP::onBeginWorkThread())
            return false;
        attachCallback("TestCounters", &TestTvp::onTestCounters);
        return true;
    }
    bool onEndWorkThread() override {
        detachCallback("TestCounters");
        return vela::TVP::onEndWorkThread();
    }
    unsigned long getActivateTimeout() const override { return m_timeout; }

  private:
    void onTestCounters(core::Request& request) {
        if (m_read)
            *m_read = getCounters();
        sendResponse(new core::Response(request));
    }
    const unsigned long m_timeout;
    Counters* m_read = nullptr;
};

// An equipment as the multiplexer client sees it: keeps the last target it is given.
class TestEquipment : public core::RCObject, public vela::TargetUser {
  public:
    void setTarget(const RCPtr<vela::Target>& target) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_target = target;
    }
    RCPtr<vela::Target> last() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_target;
    }
    void forget() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_target.reset();
    }

  private:
    std::mutex m_mutex;
    RCPtr<vela::Target> m_target;
};

// The phone's "Tvp" stream as the test plays it. With autoAnswer on, every request the engine
// sends is answered at once with a positive acknowledgement built with the protocol classes'
// reading of the request.
class Phone {
  public:
    explicit Phone(sim::ProviderHandle stream) : m_stream(std::move(stream)) {}

    sim::ProviderHandle& stream() { return m_stream; }
    std::vector<Bytes> sent() const { return m_stream.sentBlocks(); }
    std::size_t sentCount() const { return m_stream.sentBlocks().size(); }
    bool waitSent(std::size_t n) const { return m_stream.waitForSent(n, kWait); }
    Bytes lastSent() const {
        auto all = sent();
        return all.empty() ? Bytes() : all.back();
    }
    bool inject(const Bytes& bytes) { return m_stream.inject(bytes); }
    // Answers every request with a positive acknowledgement; failing answers a chosen probe
    // id negatively.
    void autoAnswer(std::function<std::uint16_t(std::uint16_t probe)> result = nullptr) {
        sim::ProviderHandle stream = m_stream;
        m_stream.setSendHandler([stream, result](const Bytes& block) mutable {
            vela::TvpIoProtocolFactory factory(vela::TvpIoProtocol::FROM_UE);
            RCPtr<dsrc::DataSourceFrame> frame =
                factory.create(block.data(), static_cast<unsigned>(block.size()));
            if (auto* p = dynamic_cast<vela::TvpCommandSetProbeModeReq*>(frame.get()))
                stream.inject(probeModeAck(p->getSeqNo(), p->getProbeId(),
                                           result ? result(p->getProbeId()) : 0));
            else if (auto* t = dynamic_cast<vela::TvpCommandSetTimeStampReq*>(frame.get()))
                stream.inject(setTimeStampAck(t->getSeqNo()));
            else if (auto* e = dynamic_cast<vela::TvpCommandExecuteTestCodeReq*>(frame.get()))
                stream.inject(
                    testCodeAck(e->getSeqNo(), e->getCallbackId(), e->getTestCodeNumber()));
        });
    }
    void stopAnswering() { m_stream.setSendHandler(nullptr); }

  private:
    sim::ProviderHandle m_stream;
};

// A phone on COM5 whose target is known; the engine on its worker, observed, with helpers to
// activate it and bind it to the phone's "Tvp" stream. On a manual clock: the framework's time
// limits (the engine's activation limit, the apply time-outs, the multiplexer client's start-up
// timers) pass when the test moves the clock on, and exactly then.
class TvpTest : public ::testing::Test {
  protected:
    core::ManualClock clock;
    sim::SimService& service = sim::SimService::instance();

    void SetUp() override {
        service.reset({{5}});
        mux = vela::DebugMux::getInstance();
        ASSERT_TRUE(service.waitForServerSinks(1, kWait));
        phoneTarget = service.addPhone(5, 1001, "Vela phone");
        equipment = new TestEquipment();
        mux->attachEquipment("COM5", equipment);
        // The target learns its providers when its 300 ms start-up enumeration runs, and only
        // then is it given to the equipment.
        passTime(300ms);
        target = equipment->last();
        ASSERT_TRUE(target);
        ASSERT_TRUE(target->getDataProvider("Tvp"));
        phone = std::make_unique<Phone>(phoneTarget.provider("Tvp"));
    }
    void TearDown() override {
        if (target)
            target->detachChannel("Tvp");
        if (engine)
            engine->stopWorkThread();
        engine.reset();
        if (mux)
            mux->detachEquipment("COM5");
        if (equipment)
            equipment->forget();
        target.reset();
        mux.reset();
        phone.reset();
        service.reset();
        EXPECT_TRUE(sim::SimService::waitForLiveObjects(0, 10000ms))
            << sim::SimService::liveObjects() << " objects of the service are still held";
    }

    // The engine on its worker, observed.
    void startEngine(unsigned long activateTimeoutMs = 6000) {
        engine = new TestTvp(activateTimeoutMs);
        ASSERT_TRUE(engine->startWorkThread());
        observer = new RecordingObserver();
        engine->setObserver(observer);
        sink = new RecordingSink();
        // The host reads the settings before it applies any.
        ASSERT_TRUE(engine->getPropertyStore());
    }
    void activate() { ASSERT_TRUE(engine->activate(sink)); }
    void bind() { target->attachChannel("Tvp", engine.get()); }
    // Activated, bound, the start-up request sent (with frame sequence number 0) and answered
    // positively: the session is up.
    void startSession() {
        startEngine();
        activate();
        bind();
        ASSERT_TRUE(phone->stream().waitConnected(true, kWait));
        ASSERT_TRUE(phone->waitSent(1));
        ASSERT_EQ(phone->sent().front(), setTimeStampReq(0));
        ASSERT_TRUE(phone->stream().waitForSinks(1));
        phone->inject(setTimeStampAck(0));
        settle();
        ASSERT_EQ(engine->getActiveStateSnapshot(), dsrc::CHANNEL_STATE_ACTIVE);
    }
    // Everything caused so far has run, on the workers and in the service: every block
    // injected has been handled by the engine.
    void settle() { ASSERT_TRUE(simtest::runUntilIdle()); }
    // What the test caused so far has run; then `by` passes and what came due has run.
    void passTime(std::chrono::milliseconds by) {
        ASSERT_TRUE(simtest::advanceAndSettle(clock, by));
    }
    // The item of the engine's settings tree with that identity.
    core::PropertyItem* item(core::PropertyNode::Identity identity) {
        auto store = engine->getPropertyStore();
        return store ? dynamic_cast<core::PropertyItem*>(store->get(identity).get()) : nullptr;
    }

    RCPtr<vela::DebugMux> mux;
    sim::TargetHandle phoneTarget;
    RCPtr<TestEquipment> equipment;
    RCPtr<vela::Target> target;
    std::unique_ptr<Phone> phone;
    RCPtr<TestTvp> engine;
    RCPtr<RecordingObserver> observer;
    RCPtr<RecordingSink> sink;
};

}  // namespace tvptest
