// A soak of whole sessions under faults: simulated phones stream numbered probe reports while
// one driver per phone keeps injecting faults at random (seeded):
//
//   split        the phone's blocks are cut at random points from now until the next split
//   nack         the next command is answered negatively: the apply fails, the next succeeds
//   drop-ack     the next answer is never sent: the apply ends by its time-out, the next succeeds
//   error-frame  the phone sends an error frame: the host gets it
//   tvp-gone     the "Tvp" provider goes away and comes back: the session comes back
//   print-gone   the print-server provider goes away and comes back: its lines come back
//   target-gone  the phone leaves the service and comes back restarted: the session comes back
//                and the probes are switched on again
//   serial-gone  the far end of the phone's AT port vanishes: nothing spins; the AT channel
//                then moves to a new port
//
// Every report the phone makes carries a running number. After each fault the driver checks
// that the session is up and the reports flow again, and that a fault that cannot lose a
// report (all but the provider and target faults) lost none, apart from reports the component
// counted as dropped because it fell behind the stream (a machine too busy for the rate). At
// the end the phones stop, and every report they made must have been received exactly once
// and in order, or be counted lost by the recorder (and traced): received + lost = made,
// nothing repeated, and every loss outside the provider and target faults counted by the
// component. Any wait that runs out is a failure; a watchdog ends the program when a driver
// stops making progress.
//
//   vela_soak [--seconds S] [--frames N] [--phones P] [--rate R] [--seed N]
//             [--max-stall S] [--trace FILE]
//
// Runs for S seconds (default 30), or until the recorders have N reports in all. --rate is
// the reports per second of each probe switched on (default 2000). Exit code 0 when every
// check held, 1 when one failed, 3 when the watchdog fired, 2 for bad arguments.
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/session/BenchRig.h"
#include "framework/core/Trace.h"
#include "framework/equip/EquipmentInfo.h"
#include "protocol/TvpLayout.h"
#include "session/ProbeCatalogue.h"

namespace {

using bench::Clock;
using namespace std::chrono_literals;

enum Fault { kSplit, kNack, kDropAck, kErrorFrame, kTvpGone, kPrintGone, kTargetGone, kSerialGone };
constexpr int kFaults = 8;
const char* const kFaultNames[kFaults] = {"split",    "nack",       "drop-ack",    "error-frame",
                                          "tvp-gone", "print-gone", "target-gone", "serial-gone"};
// Faults that may lose reports on their way: the stream they travel in goes away.
bool mayLose(int fault) {
    return fault == kTvpGone || fault == kTargetGone;
}

// The trace lines of failures (level 20), counted by their first word; kept in a file too
// when asked for.
class TraceCounter {
  public:
    explicit TraceCounter(const std::string& path) {
        if (!path.empty())
            m_file.open(path);
        core::ToggleTrace::setMaxLevel(20);
        core::ToggleTrace::setSink([this](int, const std::string& line) {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_counts[line.substr(0, line.find(' '))];
            if (m_file)
                m_file << line;
        });
        core::ToggleTrace::setActive(true);
    }
    ~TraceCounter() {
        core::ToggleTrace::setActive(false);
        core::ToggleTrace::setSink({});
    }
    std::map<std::string, std::uint64_t> counts() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_counts;
    }

  private:
    std::mutex m_mutex;
    std::map<std::string, std::uint64_t> m_counts;
    std::ofstream m_file;
};

// The two probe items with the fewest values: one streams all the time, the other is
// switched on and off by the faults that concern commands.
std::pair<unsigned long, unsigned long> probeItems() {
    std::vector<std::pair<std::size_t, unsigned long>> items;
    for (const auto& item : vela::catalogue::items())
        if (item.identity != vela::catalogue::kPhy &&
            item.identity != vela::catalogue::kSystemCapability && item.count != 0)
            items.emplace_back(item.count, item.identity);
    std::sort(items.begin(), items.end());
    return {items.at(0).second, items.at(1).second};
}

std::uint64_t sum(const std::map<std::uint16_t, std::uint64_t>& counts) {
    std::uint64_t total = 0;
    for (const auto& [id, n] : counts)
        total += n;
    return total;
}

// File descriptors of this process open on the path.
int openCount(const std::string& path) {
    int n = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::error_code rc;
        if (std::filesystem::read_symlink(entry.path(), rc) == path)
            ++n;
    }
    return n;
}

// CPU seconds of the threads that serve serial ports.
double serialCpu() {
    double total = 0;
    for (const auto& [tid, t] : bench::threadCpu())
        if (t.name.rfind("serial", 0) == 0 || t.name.rfind("SerialPort", 0) == 0)
            total += t.seconds;
    return total;
}

struct Settings {
    double seconds = 30;
    std::uint64_t frames = 0;
    int phones = 2;
    double rate = 2000;
    std::uint32_t seed = 1;
    double maxStall = 90;
};

// One phone's driver: runs faults one after another until told to stop, and checks each.
class Driver {
  public:
    Driver(bench::Rig& rig, bench::RigPhone& phone, unsigned long streaming, unsigned long toggled,
           std::uint32_t seed)
        : m_rig(rig), m_phone(phone), m_streaming(streaming), m_toggled(toggled), m_random(seed) {
        touch();
    }

    void run(const std::atomic<bool>& stop) {
        while (!stop && m_failures.empty()) {
            const int fault = static_cast<int>(m_random() % kFaults);
            m_current = fault;
            touch();
            const std::uint64_t lostBefore = figures().lostReports;
            if (!inject(fault))
                break;
            ++m_count[fault];
            const auto f = figures();
            if (f.repeatedReports != 0)
                fail("a report arrived twice or out of order");
            // A machine too busy for the stream makes the component drop reports (counted,
            // before the recorder sees the gap): only what it did not count is a fault's loss.
            if (!mayLose(fault)) {
                m_lostElsewhere += f.lostReports - lostBefore;
                if (m_lostElsewhere > countedDrops())
                    fail(
                        "reports lost in a fault that cannot lose any, and not counted as "
                        "dropped by the component");
            }
            m_lostIn[fault] += f.lostReports - lostBefore;
            m_current = -1;
            // A quiet stretch between faults, so that the stream runs undisturbed too.
            sleepFor(pick(50, 400));
        }
    }

    // Stops the phone's reports and waits until every report it made has been received or
    // counted lost.
    bool drain() {
        m_phone.sim->setProbeRate(0.0);
        if (!m_phone.sim->flush())
            return fail("the phone did not stop");
        const auto until = Clock::now() + 60s;
        while (Clock::now() < until) {
            const auto f = figures();
            if (sum(f.probeFrames) + f.lostReports >= m_phone.sim->counters().probeFrames)
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return fail("reports still missing after the phone stopped");
    }

    bool finalCheck() {
        const auto f = figures();
        const auto made = m_phone.sim->counters();
        const std::uint64_t received = sum(f.probeFrames);
        std::uint64_t last = 0;
        const bool any = m_phone.recorder->lastRunningNumber(last);
        // Reports lost outside the faults that may lose some were dropped by the component.
        std::uint64_t mayLoseLost = 0;
        for (int i = 0; i < kFaults; ++i)
            if (mayLose(i))
                mayLoseLost += m_lostIn[i];
        if (f.lostReports > mayLoseLost + countedDrops())
            fail("lost " + std::to_string(f.lostReports) + " reports, " +
                 std::to_string(mayLoseLost) + " of them in provider and target faults and " +
                 std::to_string(countedDrops()) + " counted as dropped by the component");
        if (received + f.lostReports != made.probeFrames)
            fail("received " + std::to_string(received) + " + lost " +
                 std::to_string(f.lostReports) + " != made " + std::to_string(made.probeFrames));
        if (f.repeatedReports != 0 || f.restarts != 0)
            fail("reports repeated or numbered from 0 again");
        if (made.probeFrames && (!any || last + 1 != made.probeFrames))
            fail("the last report received is not the last one made");
        if (f.errorFrames != made.errorFrames)
            fail("error frames: received " + std::to_string(f.errorFrames) + ", sent " +
                 std::to_string(made.errorFrames));
        return m_failures.empty();
    }

    void print(std::FILE* out) const {
        const auto f = figures();
        const auto made = m_phone.sim->counters();
        std::fprintf(out,
                     "phone %d: made %llu reports, received %llu, lost %llu (the component "
                     "dropped %llu reports and %llu blocks while behind), repeated %llu; "
                     "error frames %llu of %llu; print lines %llu; sessions up %d\n",
                     m_phone.number + 1, static_cast<unsigned long long>(made.probeFrames),
                     static_cast<unsigned long long>(sum(f.probeFrames)),
                     static_cast<unsigned long long>(f.lostReports),
                     static_cast<unsigned long long>(dropped().frames),
                     static_cast<unsigned long long>(dropped().blocks),
                     static_cast<unsigned long long>(f.repeatedReports),
                     static_cast<unsigned long long>(f.errorFrames),
                     static_cast<unsigned long long>(made.errorFrames),
                     static_cast<unsigned long long>(f.printLines),
                     m_phone.observer->entries(tvpName(), dsrc::CHANNEL_STATE_ACTIVE));
        std::fprintf(out, "  faults:");
        for (int i = 0; i < kFaults; ++i)
            std::fprintf(
                out, " %s %d%s", kFaultNames[i], m_count[i].load(),
                m_lostIn[i] ? (" (lost " + std::to_string(m_lostIn[i]) + ")").c_str() : "");
        std::fprintf(out, "\n");
        for (const auto& failure : m_failures)
            std::fprintf(out, "  FAILED: %s\n", failure.c_str());
    }

    const std::vector<std::string>& failures() const { return m_failures; }
    eqbase::ByteChannel::Dropped dropped() const {
        auto* channel = dynamic_cast<eqbase::ByteChannel*>(m_phone.tvp.get());
        return channel ? channel->getDropped() : eqbase::ByteChannel::Dropped{};
    }
    // Reports the component counted as dropped while it was behind: those its TVP channel
    // dropped, and at most as many as the smallest frame gives for the bytes of the blocks its
    // provider dropped.
    std::uint64_t countedDrops() const {
        const auto d = dropped();
        return d.frames + d.bytes / vela::TvpLayout::kProbeFixedSize;
    }
    // Whether a fault was recorded, for the watchdog while the driver's thread runs (the list
    // itself is read only once that thread has ended).
    bool failed() const { return m_failed; }
    int faults() const {
        int n = 0;
        for (const auto& c : m_count)
            n += c;
        return n;
    }
    // Seconds since the driver last made progress, and what it was doing.
    double stalledFor() const {
        return std::chrono::duration<double>(Clock::now().time_since_epoch()).count() -
               m_progress.load();
    }
    std::string doing() const {
        const int fault = m_current.load();
        return fault < 0 ? "between faults" : kFaultNames[fault];
    }

  private:
    host::RecorderFigures figures() const { return m_phone.recorder->figures(); }
    const std::string& tvpName() const { return m_phone.tvp->getChannelName(); }
    void touch() {
        m_progress = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
    }
    int pick(int low, int high) {
        return low + static_cast<int>(m_random() % static_cast<unsigned>(high - low + 1));
    }
    void sleepFor(int ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        touch();
    }
    bool fail(const std::string& what) {
        m_failures.push_back(std::string(m_current >= 0 ? kFaultNames[m_current] : "drain") + ": " +
                             what);
        m_failed = true;
        return false;
    }

    long apply(unsigned long item, bool on) {
        const long result = m_rig.apply(m_phone, item, on);
        touch();
        return result;
    }

    // The reports flow: the recorder gets more of them within the time.
    bool flowing(std::chrono::seconds within) {
        const std::uint64_t before = m_phone.recorder->tvpFrames();
        const auto until = Clock::now() + within;
        while (Clock::now() < until) {
            if (m_phone.recorder->tvpFrames() > before + 10)
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    // The session has come up again since it had come up `entries` times, and the streaming
    // probes are switched on again (a restarted phone has forgotten them).
    bool sessionBack(int entries) {
        if (!m_phone.observer->waitEntries(tvpName(), dsrc::CHANNEL_STATE_ACTIVE, entries,
                                           Clock::now() + 30s))
            return fail("the session did not come back");
        touch();
        if (apply(m_streaming, true) != 1)
            return fail("the probes could not be switched on again");
        if (!flowing(20s))
            return fail("no reports after the session came back");
        return true;
    }

    bool inject(int fault) {
        sim::SimPhone& sim = *m_phone.sim;
        switch (fault) {
            case kSplit: {
                // Splitting is switched on here and stays on through the faults that follow,
                // until the next split fault switches it off: a provider or the phone then goes
                // away with a frame half received.
                static const std::size_t pieces[] = {3, 17, 64, 700, 5000};
                m_splitting = !m_splitting;
                if (m_splitting)
                    sim.setRandomSplit(static_cast<std::uint32_t>(m_random()),
                                       pieces[m_random() % 5]);
                else
                    sim.clearRandomSplit();
                sleepFor(pick(100, 800));
                return flowing(20s) || fail("no reports while the blocks are split");
            }
            case kNack:
            case kDropAck: {
                m_toggledOn = !m_toggledOn;
                if (fault == kNack)
                    sim.failNextCommands(1);
                else
                    sim.dropNextAcks(1);
                const long failed = apply(m_toggled, m_toggledOn);
                if (failed == bench::RigObserver::kNoResult)
                    return fail("the apply never ended");
                if (failed == 1)
                    return fail("an apply without its answer was reported as applied");
                if (apply(m_toggled, m_toggledOn) != 1)
                    return fail("the apply after the failed one did not succeed");
                return flowing(20s) || fail("no reports after the applies");
            }
            case kErrorFrame: {
                const std::uint64_t before = figures().errorFrames;
                sim::Bytes data(static_cast<std::size_t>(pick(1, 40)));
                for (auto& b : data)
                    b = static_cast<unsigned char>(m_random());
                sim.sendErrorFrame(data);
                const auto until = Clock::now() + 20s;
                while (figures().errorFrames == before && Clock::now() < until)
                    std::this_thread::sleep_for(5ms);
                return figures().errorFrames == before + 1 ||
                       fail("the error frame did not arrive");
            }
            case kTvpGone: {
                const int up = m_phone.observer->entries(tvpName(), dsrc::CHANNEL_STATE_ACTIVE);
                if (!sim.removeProvider("Tvp"))
                    return fail("the provider could not be removed");
                sleepFor(pick(20, 600));
                if (!sim.restoreProvider("Tvp"))
                    return fail("the provider could not be given back");
                return sessionBack(up);
            }
            case kPrintGone: {
                if (!sim.removeProvider("Print Server Channel"))
                    return fail("the print-server provider could not be removed");
                sleepFor(pick(20, 600));
                const std::uint64_t before = figures().printFrames;
                if (!sim.restoreProvider("Print Server Channel"))
                    return fail("the print-server provider could not be given back");
                const auto until = Clock::now() + 30s;
                while (figures().printFrames == before && Clock::now() < until)
                    std::this_thread::sleep_for(10ms);
                return figures().printFrames > before || fail("no print-server lines came back");
            }
            case kTargetGone: {
                const int up = m_phone.observer->entries(tvpName(), dsrc::CHANNEL_STATE_ACTIVE);
                if (!sim.disconnect())
                    return fail("the phone could not leave");
                sleepFor(pick(20, 800));
                if (!sim.reconnect())
                    return fail("the phone could not come back");
                m_toggledOn = false;  // the restarted phone has forgotten every probe
                return sessionBack(up);
            }
            case kSerialGone:
                return serialGone();
        }
        return true;
    }

    // The far end of the AT port closes; the port's threads must then block, not spin. The
    // channel is then given a new port (a new pseudo-terminal) and must open it.
    bool serialGone() {
        if (!m_phone.at)
            return true;
        if (m_phone.atMaster >= 0) {
            ::close(m_phone.atMaster);
            m_phone.atMaster = -1;
        }
        sleepFor(100);
        const double cpu0 = serialCpu();
        const auto t0 = Clock::now();
        sleepFor(500);
        const double share =
            (serialCpu() - cpu0) / std::chrono::duration<double>(Clock::now() - t0).count();
        if (share > 0.3)
            return fail("the serial port's threads spin after the peer vanished (" +
                        std::to_string(share) + " of a core)");
        int master = -1, slave = -1;
        char name[128] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return fail("no new pseudo-terminal");
        ::close(slave);
        if (m_phone.atSlave >= 0) {
            ::close(m_phone.atSlave);
            m_phone.atSlave = -1;
        }
        m_phone.atMaster = master;
        auto info = core::rcCast<equip::EquipmentChannelInfo>(
            m_phone.info->getChannelInfo(dsrc::CHANNEL_TYPE_AT));
        if (!info)
            return fail("the equipment has no AT channel info");
        core::RCPtr<equip::EquipmentChannelInfo> moved(
            dynamic_cast<equip::EquipmentChannelInfo*>(info->copy()));
        moved->setPortName(name);
        m_phone.at->setChannelInfo(core::rcCast<dsrc::DataSourceChannelInfo>(moved));
        const auto until = Clock::now() + 20s;
        while (openCount(name) == 0 && Clock::now() < until)
            std::this_thread::sleep_for(10ms);
        touch();
        return openCount(name) > 0 || fail("the AT channel did not open its new port");
    }

    bench::Rig& m_rig;
    bench::RigPhone& m_phone;
    const unsigned long m_streaming, m_toggled;
    std::mt19937 m_random;
    bool m_toggledOn = false;
    bool m_splitting = false;
    std::atomic<int> m_count[kFaults] = {};
    std::uint64_t m_lostIn[kFaults] = {};
    std::uint64_t m_lostElsewhere = 0;  // in the faults that cannot lose reports
    std::vector<std::string> m_failures;
    std::atomic<bool> m_failed{false};
    std::atomic<int> m_current{-1};
    std::atomic<double> m_progress{0};
};

}  // namespace

int main(int argc, char** argv) {
    bench::Args args(argc, argv);
    Settings s;
    s.seconds = args.number("seconds", s.seconds);
    s.frames = static_cast<std::uint64_t>(args.number("frames", 0));
    s.phones = std::max(1, static_cast<int>(args.number("phones", s.phones)));
    s.rate = std::max(1.0, args.number("rate", s.rate));
    s.seed = static_cast<std::uint32_t>(args.number("seed", s.seed));
    s.maxStall = args.number("max-stall", s.maxStall);
    const std::string tracePath = args.text("trace", "");
    std::string error;
    if (!args.check(error)) {
        std::fprintf(stderr, "vela_soak: %s\n", error.c_str());
        return 2;
    }
    std::printf("%s\n", bench::machineLine().c_str());
    std::printf("soak: %d phone(s), %.0f reports/s per probe, seed %u, %s\n", s.phones, s.rate,
                s.seed,
                s.frames ? (std::to_string(s.frames) + " reports").c_str()
                         : (std::to_string(static_cast<int>(s.seconds)) + " s").c_str());
    std::fflush(stdout);

    TraceCounter traces(tracePath);
    bench::RigOptions options;
    options.phones = s.phones;
    options.phone.probeRate = s.rate;
    options.phone.printRate = 50;
    bench::Rig rig;
    if (!rig.start(options, error)) {
        std::fprintf(stderr, "vela_soak: %s\n", error.c_str());
        return 1;
    }
    const auto [streaming, toggled] = probeItems();
    std::vector<std::unique_ptr<Driver>> drivers;
    for (auto& phone : rig.phones()) {
        if (rig.apply(*phone, streaming, true) != 1) {
            std::fprintf(stderr, "vela_soak: the probes of phone %d could not be switched on\n",
                         phone->number + 1);
            return 1;
        }
        drivers.push_back(std::make_unique<Driver>(rig, *phone, streaming, toggled,
                                                   s.seed * 7919u + phone->number));
    }
    const double cpu0 = bench::processCpuSeconds();
    const std::uint64_t rss0 = bench::residentBytes();
    const auto t0 = Clock::now();
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (auto& driver : drivers)
        threads.emplace_back([&stop, d = driver.get()] { d->run(stop); });

    // The clock, the report count and the watchdog.
    auto received = [&] {
        std::uint64_t n = 0;
        for (auto& phone : rig.phones())
            n += phone->recorder->tvpFrames();
        return n;
    };
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - t0).count(); };
    double nextReport = 10;
    while (true) {
        std::this_thread::sleep_for(100ms);
        bool failed = false;
        for (auto& driver : drivers) {
            failed = failed || driver->failed();
            if (driver->stalledFor() > s.maxStall) {
                std::fprintf(stderr, "vela_soak: no progress for %.0f s while %s: hung\n",
                             driver->stalledFor(), driver->doing().c_str());
                for (auto& d : drivers)
                    d->print(stderr);
                std::fflush(stderr);
                std::_Exit(3);
            }
        }
        if (failed || (s.frames ? received() >= s.frames : elapsed() >= s.seconds))
            break;
        if (elapsed() >= nextReport) {
            int faultsSoFar = 0;
            for (auto& driver : drivers)
                faultsSoFar += driver->faults();
            std::printf("  %5.0f s: %llu reports, %d faults, RSS %.1f MiB, heap in use %.1f MiB\n",
                        elapsed(), static_cast<unsigned long long>(received()), faultsSoFar,
                        bench::residentBytes() / 1048576.0, bench::heapInUseBytes() / 1048576.0);
            std::fflush(stdout);
            nextReport += 10;
        }
    }
    stop = true;
    for (auto& thread : threads)
        thread.join();
    bool ok = true;
    for (auto& driver : drivers)
        ok = driver->failures().empty() && driver->drain() && driver->finalCheck() && ok;
    const double wall = elapsed();
    const double cpu = bench::processCpuSeconds() - cpu0;
    const std::uint64_t rss1 = bench::residentBytes();

    std::uint64_t total = 0, lost = 0;
    int faults = 0;
    for (auto& phone : rig.phones()) {
        const auto f = phone->recorder->figures();
        total += sum(f.probeFrames);
        lost += f.lostReports;
    }
    std::uint64_t dropped = 0;
    for (auto& driver : drivers) {
        driver->print(stdout);
        faults += driver->faults();
        dropped += driver->countedDrops();
    }
    std::printf(
        "%llu reports in %.1f s (%.0f/s), %llu lost (%llu of them counted as dropped by the "
        "component while it was behind, the rest in the provider and target faults), %d "
        "faults; CPU %.2f cores; RSS %.1f MiB at the start, %.1f MiB at the end\n",
        static_cast<unsigned long long>(total), wall, static_cast<double>(total) / wall,
        static_cast<unsigned long long>(lost),
        static_cast<unsigned long long>(std::min(dropped, lost)), faults, cpu / wall,
        rss0 / 1048576.0, rss1 / 1048576.0);
    const auto traced = traces.counts();
    if (lost != 0 && traced.count("Recorder:") == 0) {
        std::printf("FAILED: reports were lost without a trace\n");
        ok = false;
    }
    std::printf("failure traces by origin:");
    for (const auto& [origin, n] : traced)
        std::printf(" %s %llu", origin.c_str(), static_cast<unsigned long long>(n));
    std::printf("\n%s\n", ok ? "soak passed" : "soak FAILED");
    rig.stop();
    return ok ? 0 : 1;
}
