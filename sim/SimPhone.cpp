#include "sim/SimPhone.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "framework/core/Bytes.h"
#include "framework/core/Clock.h"
#include "framework/core/Trace.h"
#include "sim/SimPhoneFrames.h"
#include "sim/SimRequestDecoder.h"

namespace sim {

namespace {

// The phone paces its reports by the framework's clock: the steady clock, or a test's
// core::ManualClock, under which reports fall due only when the test moves time on (and the
// phone's thread then makes them at its next task, such as flush()).
struct Clock {
    using rep = std::int64_t;
    using period = std::nano;
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<Clock>;
    static constexpr bool is_steady = true;
    static time_point now() { return time_point(duration(core::Clock::now())); }
};

constexpr const char* kTvpName = "Tvp";
constexpr const char* kPrintName = "Print Server Channel";
constexpr SHORT kTvpProviderId = 1;
constexpr SHORT kPrintProviderId = 2;
constexpr std::uint16_t kNegative = 1;  // result of a refused command
// Blocks injected on "Tvp" and not yet delivered above which the phone makes no more reports
// (checked before every block it makes, counting each piece of a split block): the reports it
// cannot deliver are skipped rather than queued without bound.
constexpr std::uint64_t kMaxUndelivered = 512;
// Reports that fell due and could not be made are made up for at most this long.
constexpr double kMaxCatchUpSeconds = 1.0;
constexpr std::uint8_t kCommonControlIE = 0;
constexpr std::uint8_t kProbeModeOff = 1;
constexpr std::uint8_t kProbeModeOn = 6;
using Request = SimRequestDecoder::Request;

// Paces a count of items by the clock: due(now) = floor(rate * (now - start)).
struct Pacer {
    double rate = 0;
    Clock::time_point start;
    std::uint64_t made = 0;

    void restart(double r, Clock::time_point now) {
        rate = r;
        start = now;
        made = 0;
    }
    std::uint64_t due(Clock::time_point now) const {
        if (rate <= 0 || now <= start)
            return 0;
        return static_cast<std::uint64_t>(
            std::floor(rate * std::chrono::duration<double>(now - start).count()));
    }
    // The items due now that have not been made, at most one catch-up period's worth; the
    // older ones are given up (their count is returned in skipped).
    std::uint64_t pending(Clock::time_point now, std::uint64_t& skipped) {
        std::uint64_t d = due(now);
        if (d <= made)
            return 0;
        auto cap = static_cast<std::uint64_t>(std::max(1.0, rate * kMaxCatchUpSeconds));
        if (d - made > cap) {
            skipped += d - made - cap;
            made = d - cap;
        }
        return d - made;
    }
    // Nothing is owed: what is due counts as made.
    void skipTo(Clock::time_point now) { made = std::max(made, due(now)); }
    std::optional<Clock::time_point> nextDue() const {
        if (rate <= 0)
            return std::nullopt;
        auto offset = std::chrono::duration<double>(static_cast<double>(made + 1) / rate);
        return start + std::chrono::duration_cast<Clock::duration>(offset);
    }
};

struct ActiveProbe {
    std::uint16_t id = 0;
    Pacer pacer;
};

}  // namespace

// The phone's state and its thread. Fields below "phone thread" are touched only there.
class SimPhone::Core : public std::enable_shared_from_this<SimPhone::Core> {
  public:
    using Task = std::function<void(Core&)>;

    Core(SimService& service, int port, LONG id, const SimPhoneOptions& options)
        : m_service(service), m_port(port), m_id(id), m_options(options) {
        m_options.frameSize = SimPhoneFrames::clampProbeFrameSize(m_options.frameSize);
        m_options.blockBytes = std::max<std::size_t>(m_options.blockBytes, 1);
    }

    void start() {
        if (m_options.servePort)
            m_service.servePort(m_port);
        attach();
        m_thread = std::thread([self = shared_from_this()] { self->run(); });
    }

    // Ends the thread (pending tasks dropped), then lets go of the service.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
            m_tasks.clear();
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        if (m_tvp)
            m_tvp.setSendHandler({});
        if (m_options.removeOnDestroy && m_target && m_target.present())
            m_service.removePhone(m_port);
        m_tvp = {};
        m_print = {};
        m_target = {};
    }

    bool post(Task task) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping)
                return false;
            m_tasks.push_back(std::move(task));
        }
        m_wake.notify_all();
        return true;
    }

    // Runs fn on the phone's thread and waits for its result.
    template <class R>
    R call(std::function<R(Core&)> fn, R otherwise) {
        auto promise = std::make_shared<std::promise<R>>();
        std::future<R> result = promise->get_future();
        if (!post([fn = std::move(fn), promise](Core& core) { promise->set_value(fn(core)); }))
            return otherwise;
        // A task dropped by stop() breaks the promise.
        try {
            return result.get();
        } catch (const std::future_error&) {
            return otherwise;
        }
    }

    Counters counters() const {
        std::lock_guard<std::mutex> lock(m_statsMutex);
        return m_stats;
    }

    bool waitFor(const std::function<bool(const Counters&)>& condition, Timeout timeout) const {
        std::unique_lock<std::mutex> lock(m_statsMutex);
        return m_statsChanged.wait_for(lock, timeout, [&] { return condition(m_stats); });
    }

    int port() const { return m_port; }
    LONG id() const { return m_id; }

    // ---- phone thread ------------------------------------------------------------------

    void setProbeRate(double rate) {
        m_options.probeRate = std::max(rate, 0.0);
        m_rates.clear();
        auto now = Clock::now();
        for (auto& probe : m_active)
            probe.pacer.restart(m_options.probeRate, now);
    }
    void setProbeRate(std::uint16_t probeId, double rate) {
        m_rates[probeId] = std::max(rate, 0.0);
        auto now = Clock::now();
        for (auto& probe : m_active)
            if (probe.id == probeId)
                probe.pacer.restart(m_rates[probeId], now);
    }
    void setFrameSize(unsigned int bytes) {
        m_options.frameSize = SimPhoneFrames::clampProbeFrameSize(bytes);
    }
    void setBlockBytes(std::size_t bytes) {
        m_options.blockBytes = std::max<std::size_t>(bytes, 1);
    }
    void setPrintRate(double rate) {
        m_options.printRate = std::max(rate, 0.0);
        m_printPacer.restart(m_options.printRate, Clock::now());
    }

    void failNext(std::size_t count) { m_failNext = count; }
    void failCommand(std::uint8_t requestId, bool fail) {
        if (fail)
            m_failKinds.insert(requestId);
        else
            m_failKinds.erase(requestId);
    }
    void failProbe(std::uint16_t probeId, bool fail) {
        if (fail)
            m_failProbes.insert(probeId);
        else
            m_failProbes.erase(probeId);
    }
    void clearFailures() {
        m_failNext = 0;
        m_failKinds.clear();
        m_failProbes.clear();
    }
    void dropNext(std::size_t count) { m_dropNext = count; }
    void setSplit(std::optional<std::uint32_t> seed, std::size_t maxPiece) {
        m_split = seed.has_value();
        if (seed)
            m_random.seed(*seed);
        m_maxPiece = std::max<std::size_t>(maxPiece, 1);
    }

    void sendError(const Bytes& data) {
        emitTvp(SimPhoneFrames::error(data));
        flushTvp();
        count([](Counters& c) { ++c.errorFrames; });
    }

    bool disconnect() {
        if (!m_target || !m_target.present())
            return false;
        if (m_tvp)
            m_tvp.setSendHandler({});
        forgetSession();
        m_tvp = {};
        m_print = {};
        m_target = {};
        m_service.removePhone(m_port);
        count([](Counters& c) { c.present = false; });
        return true;
    }

    bool reconnect() {
        if (m_target && m_target.present())
            return false;
        try {
            attach();
        } catch (const std::exception& e) {
            core::ToggleTrace(20, "SimPhone::reconnect / COM%d - %s\n", m_port, e.what());
            return false;
        }
        return true;
    }

    bool removeProvider(const std::string& name) {
        if (!m_target || !m_target.present() || !m_target.removeProvider(name))
            return false;
        if (name == kTvpName) {
            m_tvp = {};
            m_rx.clear();
        } else if (name == kPrintName) {
            m_print = {};
        }
        return true;
    }

    bool restoreProvider(const std::string& name) {
        if (!m_target || !m_target.present() || m_target.provider(name))
            return false;
        try {
            if (name == kTvpName)
                bindTvp(m_target.addProvider(kTvpName, kTvpProviderId));
            else if (name == kPrintName)
                m_print = m_target.addProvider(kPrintName, kPrintProviderId);
            else
                return false;
        } catch (const std::exception& e) {
            core::ToggleTrace(20, "SimPhone::restoreProvider / %s - %s\n", name.c_str(), e.what());
            return false;
        }
        return true;
    }

    TargetHandle target() const { return m_target; }
    ProviderHandle tvp() const { return m_tvp; }
    ProviderHandle print() const { return m_print; }

    // Makes the reports and lines due now (the thread does after each round of tasks).
    void makeDue() { tick(); }

  private:
    // Adds the phone to the service and binds its providers (phone thread or before it runs).
    void attach() {
        m_target = m_service.addPhone(m_port, m_id, m_options.name);
        bindTvp(m_target.provider(kTvpName));
        m_print = m_target.provider(kPrintName);
        m_startTime = Clock::now();
        m_printPacer.restart(m_options.printRate, m_startTime);
        count([](Counters& c) { c.present = true; });
    }

    void bindTvp(ProviderHandle tvp) {
        m_tvp = std::move(tvp);
        m_rx.clear();
        m_tvpInjected = 0;
        m_tvpDeliveredBase = m_tvp ? m_tvp.deliveredBlocks() : 0;
        if (!m_tvp)
            return;
        std::weak_ptr<Core> weak = weak_from_this();
        // On the component's thread: only queue the bytes.
        m_tvp.setSendHandler([weak](const Bytes& block) {
            if (auto core = weak.lock())
                core->post([block](Core& c) { c.received(block); });
        });
    }

    // A phone that restarts remembers nothing of its session.
    void forgetSession() {
        m_active.clear();
        m_phyGate = false;
        m_phySelected.clear();
        m_seqNos.clear();
        m_rx.clear();
        publishProbes();
    }

    void run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stopping) {
            if (m_tasks.empty()) {
                // On a manual clock no time passes while the thread sleeps.
                auto wake = core::Clock::isSteady() ? nextWake() : std::nullopt;
                auto ready = [this] { return m_stopping || !m_tasks.empty(); };
                if (wake)
                    m_wake.wait_until(lock, *wake, ready);
                else
                    m_wake.wait(lock, ready);
                if (m_stopping)
                    break;
            }
            std::deque<Task> tasks;
            tasks.swap(m_tasks);
            lock.unlock();
            for (auto& task : tasks)
                task(*this);
            tasks.clear();
            tick();
            lock.lock();
        }
    }

    std::optional<Clock::time_point> nextWake() const {
        std::optional<Clock::time_point> wake;
        auto earliest = [&](std::optional<Clock::time_point> t) {
            if (t && (!wake || *t < *wake))
                wake = t;
        };
        std::optional<Clock::time_point> probeDue;
        for (const auto& probe : m_active) {
            auto t = probe.pacer.nextDue();
            if (t && (!probeDue || *t < *probeDue))
                probeDue = t;
        }
        if (probeDue)
            earliest(std::max(*probeDue, m_lastProbeTick + m_options.tick));
        if (m_print)
            earliest(m_printPacer.nextDue());
        return wake;
    }

    void tick() {
        auto now = Clock::now();
        if (!m_active.empty() && now >= m_lastProbeTick + m_options.tick) {
            m_lastProbeTick = now;
            streamProbes(now);
        }
        printLines(now);
    }

    double rateOf(std::uint16_t probeId) const {
        auto it = m_rates.find(probeId);
        return it != m_rates.end() ? it->second : m_options.probeRate;
    }

    bool tvpCanTake() {
        if (!m_tvp || !m_tvp.isConnected())
            return false;
        std::uint64_t delivered = m_tvp.deliveredBlocks() - m_tvpDeliveredBase;
        return m_tvpInjected <= delivered + kMaxUndelivered;
    }

    void streamProbes(Clock::time_point now) {
        if (!tvpCanTake()) {
            for (auto& probe : m_active)
                probe.pacer.skipTo(now);
            return;
        }
        std::uint64_t skipped = 0;
        std::vector<std::uint64_t> owed;
        owed.reserve(m_active.size());
        for (auto& probe : m_active)
            owed.push_back(probe.pacer.pending(now, skipped));
        auto stamp = static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now - m_startTime).count());
        // Each active probe's sequence number and count, found once per tick rather than once
        // per report (the map's entries stay where they are).
        std::vector<std::uint16_t*> seqNos;
        seqNos.reserve(m_active.size());
        for (auto& probe : m_active)
            seqNos.push_back(&m_seqNos[probe.id]);
        std::vector<std::uint64_t> made(m_active.size(), 0);
        std::uint64_t total = 0;
        Bytes block = freshBlock();
        // One report of each probe in turn, so that the probes interleave.
        for (bool any = true; any;) {
            any = false;
            for (std::size_t i = 0; i < m_active.size(); ++i) {
                if (owed[i] == 0)
                    continue;
                any = true;
                if (!block.empty() && block.size() + m_options.frameSize > m_options.blockBytes) {
                    emitTvp(std::exchange(block, freshBlock()));
                    // The limit holds for every block (every piece of a split one), not only
                    // at the start of a tick: a tick that fills it gives up the rest.
                    if (!tvpCanTake()) {
                        for (std::size_t j = 0; j < m_active.size(); ++j) {
                            skipped += owed[j];
                            m_active[j].pacer.made += owed[j];
                            owed[j] = 0;
                        }
                        any = false;
                        break;
                    }
                }
                --owed[i];
                ActiveProbe& probe = m_active[i];
                ++probe.pacer.made;
                SimPhoneFrames::appendProbe(block, m_options.frameSize, stamp, (*seqNos[i])++,
                                            probe.id, m_running++);
                ++made[i];
                ++total;
            }
        }
        if (!block.empty())
            emitTvp(std::move(block));
        flushTvp();
        if (total == 0 && skipped == 0)
            return;
        count([&](Counters& c) {
            c.probeFrames += total;
            c.skippedFrames += skipped;
            for (std::size_t i = 0; i < m_active.size(); ++i)
                if (made[i] != 0)
                    c.probeFramesById[m_active[i].id] += made[i];
        });
    }

    void printLines(Clock::time_point now) {
        if (!m_print || m_options.printRate <= 0)
            return;
        if (!m_print.isConnected()) {
            m_printPacer.skipTo(now);
            return;
        }
        std::uint64_t skipped = 0;
        std::uint64_t lines = m_printPacer.pending(now, skipped);
        if (lines == 0)
            return;
        std::string text;
        for (std::uint64_t i = 0; i < lines; ++i) {
            std::uint64_t n = ++m_printNumber;
            char line[96];
            std::snprintf(line, sizeof line, "VELA PS %06llu: cell %u rssi %d\n",
                          static_cast<unsigned long long>(n),
                          1000u + static_cast<unsigned>(n % 500), -50 - static_cast<int>(n % 60));
            text += line;
        }
        m_printPacer.made += lines;
        m_print.inject(Bytes(text.begin(), text.end()));
        count([&](Counters& c) {
            c.printLines += lines;
            ++c.printBlocks;
        });
    }

    // A block to make reports in: the bytes of one the service has delivered, when it has one.
    Bytes freshBlock() {
        Bytes block = m_tvp ? m_tvp.spare() : Bytes();
        block.clear();
        block.reserve(std::min<std::size_t>(m_options.blockBytes, 1 << 16));
        return block;
    }

    // Hands the blocks made so far to the service in one go (its thread wakes once for them).
    void flushTvp() {
        if (m_tvp && !m_outgoing.empty())
            m_tvp.injectAll(std::exchange(m_outgoing, {}));
        m_outgoing.clear();
    }

    // Every block on "Tvp" leaves here, cut at random points when asked to; flushTvp hands
    // them over.
    void emitTvp(Bytes block) {
        if (!m_tvp || block.empty())
            return;
        std::uint64_t blocks = 0;
        if (!m_split || block.size() <= 1) {
            m_outgoing.push_back(std::move(block));
            blocks = 1;
        } else {
            std::uniform_int_distribution<std::size_t> piece(1, m_maxPiece);
            for (std::size_t at = 0; at < block.size();) {
                std::size_t n = std::min(piece(m_random), block.size() - at);
                m_outgoing.push_back(Bytes(block.begin() + static_cast<std::ptrdiff_t>(at),
                                           block.begin() + static_cast<std::ptrdiff_t>(at + n)));
                at += n;
                ++blocks;
            }
        }
        m_tvpInjected += blocks;
        count([&](Counters& c) { c.tvpBlocks += blocks; });
    }

    // Cuts the receive stream into frames by the length of each header.
    void received(const Bytes& block) {
        m_rx.insert(m_rx.end(), block.begin(), block.end());
        std::size_t at = 0;
        while (m_rx.size() - at >= 4) {
            std::uint32_t length = SimPhoneFrames::frameLength(&m_rx[at]);
            if (length < 4) {
                // No frame is shorter than its header: the stream cannot be cut any further.
                std::size_t dropped = m_rx.size();
                core::ToggleTrace(20,
                                  "SimPhone::received / length %u below the header - %zu "
                                  "bytes dropped\n",
                                  length, dropped);
                m_rx.clear();
                count([&](Counters& c) { c.discardedBytes += dropped; });
                return;
            }
            if (m_rx.size() - at < length)
                break;
            handleFrame(&m_rx[at], length);
            at += length;
        }
        m_rx.erase(m_rx.begin(), m_rx.begin() + static_cast<std::ptrdiff_t>(at));
    }

    void handleFrame(const std::uint8_t* bytes, std::uint32_t length) {
        if (SimPhoneFrames::dataId(bytes) != SimRequestDecoder::kCommandReq) {
            count([](Counters& c) { ++c.ignoredFrames; });
            return;
        }
        count([](Counters& c) { ++c.commands; });
        auto request = SimRequestDecoder::decode(bytes, length);
        if (!request) {
            // An unknown or malformed request: the phone reports it with an error frame.
            std::size_t n = std::min<std::size_t>(length, 8);
            sendError(Bytes(bytes, bytes + n));
            return;
        }
        answer(*request);
    }

    bool shouldFail(std::uint8_t requestId, std::optional<std::uint16_t> probeId) {
        bool fail =
            m_failKinds.count(requestId) != 0 || (probeId && m_failProbes.count(*probeId) != 0);
        if (m_failNext > 0) {
            --m_failNext;
            fail = true;
        }
        return fail;
    }

    void answer(const Request& request) {
        switch (request.id) {
            case SimRequestDecoder::SET_TIME_STAMP: {
                bool fail = shouldFail(request.id, std::nullopt);
                if (!fail) {
                    std::uint8_t function = request.timeType;
                    count([&](Counters& c) { c.timeStampFunction = function; });
                }
                sendAck(SimPhoneFrames::setTimeStampAck(request.seqNo, fail ? kNegative : 0), fail);
                return;
            }
            case SimRequestDecoder::SET_PROBE_MODE: {
                bool fail = shouldFail(request.id, request.probeId);
                if (!fail)
                    setProbeMode(request.probeId, request.probeMode);
                sendAck(SimPhoneFrames::setProbeModeAck(request.seqNo, request.probeId,
                                                        fail ? kNegative : 0),
                        fail);
                return;
            }
            case SimRequestDecoder::EXECUTE_TEST_CODE:
                executeTestCode(request);
                return;
        }
    }

    void executeTestCode(const Request& req) {
        std::uint8_t callbackId = req.callbackId;
        std::uint16_t testCode = req.testCodeNumber;
        std::uint16_t result = 0;
        std::uint16_t numberOfArgs = 0;
        Bytes args{0xFF, 0xFF};

        if (callbackId == SimRequestDecoder::kCommonControlCallbackId) {
            auto message = SimRequestDecoder::commonControl(testCode, req.args);
            if (!message || shouldFail(req.id, std::nullopt)) {
                result = kNegative;
            } else {
                if (message->operationType == SimRequestDecoder::kCommonControlSet)
                    storeCapability(*message);
                args = SimRequestDecoder::encodeCommonControl(
                    {{kCommonControlIE, {counters().capabilityMask}}});
                numberOfArgs = 1;
            }
        } else if (callbackId == kPhyCallbackId) {
            std::optional<std::uint16_t> value = SimRequestDecoder::firstShort(req.args);
            std::optional<std::uint16_t> probeId;
            if (value)
                probeId = static_cast<std::uint16_t>(kPhyProbeFlag | *value);
            bool fail = shouldFail(req.id, probeId);
            if (fail || !value || testCode > 1)
                result = kNegative;
            else
                setPhyReport(*value, testCode == 1);
        } else if (shouldFail(req.id, std::nullopt)) {
            result = kNegative;
        }
        sendAck(SimPhoneFrames::executeTestCodeAck(req.seqNo, callbackId, testCode, result,
                                                   numberOfArgs, args),
                result != 0);
    }

    void storeCapability(const SimRequestDecoder::CommonControlMessage& message) {
        for (const auto& ie : message.ies) {
            if (ie.iei == kCommonControlIE && ie.value.size() == 1) {
                std::uint8_t mask = ie.value[0];
                count([&](Counters& c) { c.capabilityMask = mask; });
            }
        }
    }

    void sendAck(Bytes ack, bool negative) {
        if (m_dropNext > 0) {
            --m_dropNext;
            count([](Counters& c) { ++c.droppedAcks; });
            return;
        }
        emitTvp(std::move(ack));
        flushTvp();
        count([&](Counters& c) {
            ++c.acks;
            if (negative)
                ++c.negativeAcks;
        });
    }

    void setProbeMode(std::uint16_t probeId, unsigned char mode) {
        bool on = mode == kProbeModeOn;
        bool off = mode == kProbeModeOff;
        if (!on && !off)
            return;
        if (probeId == kPhyGateProbe) {
            m_phyGate = on;
            for (std::uint16_t value : m_phySelected)
                activate(static_cast<std::uint16_t>(kPhyProbeFlag | value), on);
        } else {
            activate(probeId, on);
        }
        publishProbes();
    }

    void setPhyReport(std::uint16_t value, bool on) {
        if (on)
            m_phySelected.insert(value);
        else
            m_phySelected.erase(value);
        if (m_phyGate || !on)
            activate(static_cast<std::uint16_t>(kPhyProbeFlag | value), on);
        publishProbes();
    }

    void activate(std::uint16_t probeId, bool on) {
        auto it = std::find_if(m_active.begin(), m_active.end(),
                               [&](const ActiveProbe& p) { return p.id == probeId; });
        if (on && it == m_active.end()) {
            ActiveProbe probe;
            probe.id = probeId;
            probe.pacer.restart(rateOf(probeId), Clock::now());
            m_active.push_back(probe);
        } else if (!on && it != m_active.end()) {
            m_active.erase(it);
        }
    }

    void publishProbes() {
        std::set<std::uint16_t> ids;
        for (const auto& probe : m_active)
            ids.insert(probe.id);
        count([&](Counters& c) { c.activeProbes = std::move(ids); });
    }

    template <class F>
    void count(F&& change) {
        {
            std::lock_guard<std::mutex> lock(m_statsMutex);
            change(m_stats);
        }
        m_statsChanged.notify_all();
    }

    SimService& m_service;
    const int m_port;
    const LONG m_id;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Task> m_tasks;
    bool m_stopping = false;
    std::thread m_thread;

    mutable std::mutex m_statsMutex;
    mutable std::condition_variable m_statsChanged;
    Counters m_stats;

    // phone thread
    SimPhoneOptions m_options;
    TargetHandle m_target;
    ProviderHandle m_tvp;
    ProviderHandle m_print;
    std::uint64_t m_tvpInjected = 0;
    std::uint64_t m_tvpDeliveredBase = 0;
    Bytes m_rx;
    // Blocks made on "Tvp" and not yet handed to the service.
    std::vector<Bytes> m_outgoing;
    Clock::time_point m_startTime = Clock::now();
    Clock::time_point m_lastProbeTick{};
    std::vector<ActiveProbe> m_active;
    std::map<std::uint16_t, double> m_rates;
    std::map<std::uint16_t, std::uint16_t> m_seqNos;
    std::uint64_t m_running = 0;
    bool m_phyGate = false;
    std::set<std::uint16_t> m_phySelected;
    Pacer m_printPacer;
    std::uint64_t m_printNumber = 0;
    std::size_t m_failNext = 0;
    std::set<std::uint8_t> m_failKinds;
    std::set<std::uint16_t> m_failProbes;
    std::size_t m_dropNext = 0;
    bool m_split = false;
    std::size_t m_maxPiece = 64;
    std::mt19937 m_random;
};

// ---- SimPhone ---------------------------------------------------------------------------

std::unique_ptr<SimPhone> SimPhone::create(SimService& service, int port, LONG id,
                                           const SimPhoneOptions& options) {
    auto core = std::make_shared<Core>(service, port, id, options);
    core->start();
    return std::unique_ptr<SimPhone>(new SimPhone(std::move(core)));
}

SimPhone::SimPhone(std::shared_ptr<Core> core) : m_core(std::move(core)) {}

SimPhone::~SimPhone() {
    m_core->stop();
}

int SimPhone::port() const {
    return m_core->port();
}
LONG SimPhone::id() const {
    return m_core->id();
}

TargetHandle SimPhone::target() const {
    return m_core->call<TargetHandle>([](Core& c) { return c.target(); }, {});
}
ProviderHandle SimPhone::tvp() const {
    return m_core->call<ProviderHandle>([](Core& c) { return c.tvp(); }, {});
}
ProviderHandle SimPhone::printServer() const {
    return m_core->call<ProviderHandle>([](Core& c) { return c.print(); }, {});
}

void SimPhone::setProbeRate(double rate) {
    m_core->post([rate](Core& c) { c.setProbeRate(rate); });
}
void SimPhone::setProbeRate(std::uint16_t probeId, double rate) {
    m_core->post([probeId, rate](Core& c) { c.setProbeRate(probeId, rate); });
}
void SimPhone::setFrameSize(unsigned int bytes) {
    m_core->post([bytes](Core& c) { c.setFrameSize(bytes); });
}
void SimPhone::setBlockBytes(std::size_t bytes) {
    m_core->post([bytes](Core& c) { c.setBlockBytes(bytes); });
}
void SimPhone::setPrintRate(double rate) {
    m_core->post([rate](Core& c) { c.setPrintRate(rate); });
}

void SimPhone::failNextCommands(std::size_t count) {
    m_core->post([count](Core& c) { c.failNext(count); });
}
void SimPhone::failCommand(std::uint8_t requestId, bool fail) {
    m_core->post([requestId, fail](Core& c) { c.failCommand(requestId, fail); });
}
void SimPhone::failProbe(std::uint16_t probeId, bool fail) {
    m_core->post([probeId, fail](Core& c) { c.failProbe(probeId, fail); });
}
void SimPhone::clearFailures() {
    m_core->post([](Core& c) { c.clearFailures(); });
}
void SimPhone::dropNextAcks(std::size_t count) {
    m_core->post([count](Core& c) { c.dropNext(count); });
}
void SimPhone::sendErrorFrame(const Bytes& data) {
    m_core->post([data](Core& c) { c.sendError(data); });
}
void SimPhone::setRandomSplit(std::uint32_t seed, std::size_t maxPiece) {
    m_core->post([seed, maxPiece](Core& c) { c.setSplit(seed, maxPiece); });
}
void SimPhone::clearRandomSplit() {
    m_core->post([](Core& c) { c.setSplit(std::nullopt, 1); });
}

bool SimPhone::disconnect() {
    return m_core->call<bool>([](Core& c) { return c.disconnect(); }, false);
}
bool SimPhone::reconnect() {
    return m_core->call<bool>([](Core& c) { return c.reconnect(); }, false);
}
bool SimPhone::removeProvider(const std::string& name) {
    return m_core->call<bool>([name](Core& c) { return c.removeProvider(name); }, false);
}
bool SimPhone::restoreProvider(const std::string& name) {
    return m_core->call<bool>([name](Core& c) { return c.restoreProvider(name); }, false);
}

bool SimPhone::flush() {
    // The thread ticks after its tasks: this task ticks itself, so that what is due is made
    // before the caller goes on (and moves a manual clock on again, say).
    return m_core->call<bool>(
        [](Core& c) {
            c.makeDue();
            return true;
        },
        false);
}

SimPhone::Counters SimPhone::counters() const {
    Counters counters;
    // A phone that is stopping runs no more tasks: its counters are final once it refuses.
    if (!m_core->call<bool>(
            [&counters](Core& c) {
                counters = c.counters();
                return true;
            },
            false))
        counters = m_core->counters();
    return counters;
}

bool SimPhone::waitFor(const std::function<bool(const Counters&)>& condition,
                       Timeout timeout) const {
    return m_core->waitFor(condition, timeout);
}

}  // namespace sim
