// Many phones: --phones (default 16) simulated phones, one session each, all behind the one
// simulated service, each streaming probe reports. The total rate climbs in steps until a step
// is not held; the highest held rate is then held for --duration seconds. A rate is held when
// no report is lost (the recorders' running-number check), the phones skipped none, and what
// the recorders received keeps up with what the phones sent. Each step is --factor times the
// one before, from --start up to --max. Shows the CPU used, the thread
// count and the CPU per thread name, then the idle cost with every phone connected.
//
//   bench_phones [--phones N] [--start R] [--factor F] [--max R] [--step-seconds S]
//                [--duration S] [--idle S] [--frame-size N] [--rate R] [--overload]
//
// --rate R skips the climb and holds R frames/s in total.
//
// --overload: the phones send at twice the rate the component holds (the climb's result, or
// --rate R as the rate held) for --duration seconds (60 by default; 4 phones unless
// --phones), while a driver per phone applies settings one after the other throughout: the
// streaming probe item again (SetProbeMode), "Phy" with nothing selected (probe 700 and an
// ExecuteTestCode per value) and "System Capability Control" (a Common Control request).
// Afterwards the phones stop and every report they made must have been received or counted
// as dropped by the component (reports it dropped itself, and whole blocks dropped before
// the channel, in frames); resident size is sampled throughout. Its last line:
//   overload: sent N, received R, dropped D (counted), uncounted U, RSS peak M MiB,
//   applies ok A of B
// Exit code 1 when a report went uncounted, one was repeated, or an apply did not succeed.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "bench/session/BenchRig.h"
#include "session/ProbeCatalogue.h"

namespace {

using bench::Clock;

struct Step {
    double target = 0, sent = 0, received = 0, cores = 0;
    std::uint64_t lost = 0, skipped = 0, repeated = 0;
    double behind = 0;  // frames sent and not yet received at the end
    int threads = 0;
    bool held = false;
    std::vector<std::pair<std::string, double>> byThread;
};

struct Totals {
    std::uint64_t sent = 0, received = 0, lost = 0, skipped = 0, repeated = 0;
};

Totals totals(bench::Rig& rig) {
    Totals t;
    for (auto& phone : rig.phones()) {
        auto s = phone->sim->counters();
        auto f = phone->recorder->figures();
        t.sent += s.probeFrames;
        t.skipped += s.skippedFrames;
        for (auto& [id, count] : f.probeFrames)
            t.received += count;
        t.lost += f.lostReports;
        t.repeated += f.repeatedReports;
    }
    return t;
}

void setRate(bench::Rig& rig, double total, std::size_t probes) {
    const double perProbe = total / static_cast<double>(rig.phones().size() * probes);
    for (auto& phone : rig.phones())
        phone->sim->setProbeRate(perProbe);
}

Step measure(bench::Rig& rig, double total, std::size_t probes, double forSeconds) {
    setRate(rig, total, probes);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // the pacing settles
    Step step;
    step.target = total;
    const Totals a = totals(rig);
    const auto threads0 = bench::threadCpu();
    const double cpu0 = bench::processCpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(forSeconds));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const Totals b = totals(rig);
    step.cores = (bench::processCpuSeconds() - cpu0) / wall;
    step.byThread = bench::cpuByName(threads0, bench::threadCpu());
    step.threads = bench::threadCount();
    step.sent = static_cast<double>(b.sent - a.sent) / wall;
    step.received = static_cast<double>(b.received - a.received) / wall;
    step.lost = b.lost - a.lost;
    step.skipped = b.skipped - a.skipped;
    step.repeated = b.repeated - a.repeated;
    // Kept up: the phones made 97 % of the rate asked, and the recorders are at most a
    // quarter of a second of traffic behind the phones at the end.
    step.behind = static_cast<double>(b.sent) - static_cast<double>(b.received);
    step.held = step.lost == 0 && step.skipped == 0 && step.repeated == 0 &&
                step.sent >= 0.97 * total && step.behind <= 0.25 * total;
    return step;
}

void print(const Step& s, const char* what) {
    std::printf(
        "%s %8.0f frames/s: sent %8.0f/s, received %8.0f/s, lost %llu, skipped %llu, "
        "CPU %.2f cores, %d threads: %s\n",
        what, s.target, s.sent, s.received, static_cast<unsigned long long>(s.lost),
        static_cast<unsigned long long>(s.skipped), s.cores, s.threads,
        s.held ? "held" : "NOT held");
}

// What the component counted as dropped for the phone's TVP stream, in reports: those the
// engine dropped itself, and the whole blocks its data provider dropped (the phone's blocks
// hold whole frames of frameSize bytes).
std::uint64_t droppedReports(bench::RigPhone& phone, unsigned int frameSize,
                             eqbase::ByteChannel::Dropped* out = nullptr) {
    auto* channel = dynamic_cast<eqbase::ByteChannel*>(phone.tvp.get());
    if (!channel)
        return 0;
    auto d = channel->getDropped();
    if (out)
        *out = d;
    return d.frames + d.bytes / frameSize;
}

struct Driver {
    std::thread thread;
    std::atomic<std::uint64_t> applies{0};
    std::atomic<std::uint64_t> ok{0};
    // Read after the thread ended.
    std::vector<std::string> failures;
    std::vector<double> okMs;  // how long each successful apply took
};

// Applies settings on the phone one after another until told to stop.
void drive(bench::Rig& rig, bench::RigPhone& phone, unsigned long streaming,
           const std::atomic<bool>& stop, Driver& driver) {
    const std::pair<unsigned long, bool> settings[] = {{streaming, true},
                                                       {vela::catalogue::kPhy, false},
                                                       {vela::catalogue::kSystemCapability, true}};
    for (std::size_t n = 0; !stop.load(); ++n) {
        const auto& [item, on] = settings[n % 3];
        const auto t0 = Clock::now();
        const long code = rig.apply(phone, item, on);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        ++driver.applies;
        if (code == 1) {
            ++driver.ok;
            driver.okMs.push_back(ms);
        } else {
            driver.failures.push_back("phone " + std::to_string(phone.number + 1) + ": apply of " +
                                      std::to_string(item) + " ended with " + std::to_string(code) +
                                      " after " + std::to_string(static_cast<long>(ms)) + " ms");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Waits until the phones' and the recorders' counts and the component's drops have stood still
// for a second; the totals then.
Totals settle(bench::Rig& rig, unsigned int frameSize, std::uint64_t* dropped = nullptr,
              std::uint64_t* rssPeak = nullptr) {
    Totals b = totals(rig);
    std::uint64_t last = 0;
    for (int still = 0; still < 10;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (rssPeak)
            *rssPeak = std::max(*rssPeak, bench::residentBytes());
        const Totals c = totals(rig);
        std::uint64_t d = 0;
        for (auto& phone : rig.phones())
            d += droppedReports(*phone, frameSize);
        still = c.sent == b.sent && c.received == b.received && d == last ? still + 1 : 0;
        b = c;
        last = d;
    }
    if (dropped)
        *dropped = last;
    return b;
}

int overload(bench::Rig& rig, double held, std::size_t probes, unsigned long item, double duration,
             unsigned int frameSize) {
    const double rate = 2 * held;
    std::printf("overload: %.0f frames/s in total, twice the %.0f held, for %.0f s\n", rate, held,
                duration);
    std::fflush(stdout);
    // What is under way from before arrives first, so that the counts start together.
    setRate(rig, 0, probes);
    settle(rig, frameSize);
    const Totals a = totals(rig);
    std::uint64_t dropped0 = 0;
    for (auto& phone : rig.phones())
        dropped0 += droppedReports(*phone, frameSize);
    const double cpu0 = bench::processCpuSeconds();
    const auto threads0 = bench::threadCpu();
    const auto t0 = Clock::now();
    setRate(rig, rate, probes);

    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<Driver>> drivers;
    for (auto& phone : rig.phones()) {
        drivers.push_back(std::make_unique<Driver>());
        Driver& d = *drivers.back();
        bench::RigPhone& p = *phone;
        d.thread = std::thread([&rig, &p, item, &stop, &d] { drive(rig, p, item, stop, d); });
    }
    std::uint64_t rssPeak = bench::residentBytes();
    std::uint64_t simPeak = 0;
    const auto until = t0 + std::chrono::duration<double>(duration);
    auto nextLine = t0 + std::chrono::seconds(10);
    while (Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        rssPeak = std::max(rssPeak, bench::residentBytes());
        // The simulated service's own queue: blocks (pieces) of "Tvp" not yet delivered.
        for (auto& phone : rig.phones()) {
            const std::uint64_t made = phone->sim->counters().tvpBlocks;
            const std::uint64_t delivered = phone->sim->tvp().deliveredBlocks();
            simPeak = std::max(simPeak, made > delivered ? made - delivered : 0);
        }
        if (Clock::now() >= nextLine) {
            nextLine += std::chrono::seconds(10);
            const Totals t = totals(rig);
            std::uint64_t dropped = 0, applies = 0;
            for (auto& phone : rig.phones())
                dropped += droppedReports(*phone, frameSize);
            for (auto& d : drivers)
                applies += d->applies.load();
            std::printf(
                "  %3.0f s: sent %llu, received %llu, dropped %llu, applies %llu, RSS %.1f MiB, "
                "service queue peak %llu blocks\n",
                std::chrono::duration<double>(Clock::now() - t0).count(),
                static_cast<unsigned long long>(t.sent - a.sent),
                static_cast<unsigned long long>(t.received - a.received),
                static_cast<unsigned long long>(dropped - dropped0),
                static_cast<unsigned long long>(applies),
                static_cast<double>(bench::residentBytes()) / (1 << 20),
                static_cast<unsigned long long>(simPeak));
            std::fflush(stdout);
        }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cores = (bench::processCpuSeconds() - cpu0) / wall;
    const auto byThread = bench::cpuByName(threads0, bench::threadCpu());
    // The phones stop; what is under way arrives or is counted.
    setRate(rig, 0, probes);
    stop = true;
    for (auto& d : drivers)
        d->thread.join();
    std::uint64_t dropped = 0;
    const Totals b = settle(rig, frameSize, &dropped, &rssPeak);
    dropped -= dropped0;
    const std::uint64_t sent = b.sent - a.sent;
    const std::uint64_t received = b.received - a.received;
    const std::int64_t uncounted = static_cast<std::int64_t>(sent) -
                                   static_cast<std::int64_t>(received) -
                                   static_cast<std::int64_t>(dropped);
    std::uint64_t applies = 0, ok = 0;
    std::vector<double> okMs;
    for (auto& d : drivers) {
        applies += d->applies.load();
        ok += d->ok.load();
        okMs.insert(okMs.end(), d->okMs.begin(), d->okMs.end());
        for (auto& f : d->failures)
            std::printf("  %s\n", f.c_str());
    }
    const double okMax = okMs.empty() ? 0 : *std::max_element(okMs.begin(), okMs.end());
    std::printf("applies that succeeded took: median %.0f ms, p99 %.0f ms, max %.0f ms\n",
                bench::percentile(okMs, 50), bench::percentile(okMs, 99), okMax);
    std::printf(
        "rates: sent %.0f/s, received %.0f/s; phones skipped %llu, recorders lost %llu and "
        "repeated %llu; CPU %.2f cores\n",
        static_cast<double>(sent) / wall, static_cast<double>(received) / wall,
        static_cast<unsigned long long>(b.skipped - a.skipped),
        static_cast<unsigned long long>(b.lost - a.lost),
        static_cast<unsigned long long>(b.repeated - a.repeated), cores);
    for (auto& phone : rig.phones()) {
        eqbase::ByteChannel::Dropped d;
        droppedReports(*phone, frameSize, &d);
        std::printf(
            "  phone %d: the TVP channel dropped %llu reports, its data provider %llu "
            "blocks (%llu bytes)\n",
            phone->number + 1, static_cast<unsigned long long>(d.frames),
            static_cast<unsigned long long>(d.blocks), static_cast<unsigned long long>(d.bytes));
    }
    std::printf("CPU by thread name (seconds over %.0f s):", wall);
    int shown = 0;
    for (auto& [name, seconds] : byThread)
        if (seconds > 0 && shown++ < 6)
            std::printf(" %s %.1f", name.c_str(), seconds);
    std::printf("\n");
    std::printf(
        "overload: sent %llu, received %llu, dropped %llu (counted), uncounted %lld, RSS "
        "peak %.0f MiB, applies ok %llu of %llu\n",
        static_cast<unsigned long long>(sent), static_cast<unsigned long long>(received),
        static_cast<unsigned long long>(dropped), static_cast<long long>(uncounted),
        static_cast<double>(rssPeak) / (1 << 20), static_cast<unsigned long long>(ok),
        static_cast<unsigned long long>(applies));
    return uncounted == 0 && b.repeated == a.repeated && ok == applies ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    bench::Args args(argc, argv);
    const bool overloaded = args.flag("overload");
    const int phones = static_cast<int>(std::max(1.0, args.number("phones", overloaded ? 4 : 16)));
    const double start = std::max(1000.0, args.number("start", 50000));
    const double fixedRate = args.number("rate", 0);
    const double factor = std::max(1.05, args.number("factor", 1.5));
    const double most = args.number("max", overloaded ? 1e9 : 4000000);
    const double stepSeconds = std::max(0.5, args.number("step-seconds", 2));
    const double duration = std::max(1.0, args.number("duration", overloaded ? 60 : 5));
    const double idleSeconds = std::max(1.0, args.number("idle", 5));
    const auto frameSize = static_cast<unsigned int>(args.number("frame-size", 64));
    std::string error;
    if (!args.check(error)) {
        std::fprintf(stderr, "bench_phones: %s\n", error.c_str());
        return 2;
    }
    std::printf("%s\n", bench::machineLine().c_str());
    bench::RigOptions options;
    options.phones = phones;
    options.phone.probeRate = 0;
    options.phone.printRate = 0;
    options.phone.frameSize = frameSize;
    bench::Rig rig;
    const auto t0 = Clock::now();
    if (!rig.start(options, error)) {
        std::fprintf(stderr, "bench_phones: %s\n", error.c_str());
        return 1;
    }
    std::size_t probes = 0;
    const unsigned long item = bench::Rig::smallestProbeItem(&probes);
    for (auto& phone : rig.phones()) {
        if (rig.apply(*phone, item, true) != 1) {
            std::fprintf(stderr, "bench_phones: phone %d: the probes could not be switched on\n",
                         phone->number + 1);
            return 1;
        }
    }
    std::printf("%d sessions up with %zu probes each in %.1f s, %d threads, %u-byte frames\n",
                phones, probes, std::chrono::duration<double>(Clock::now() - t0).count(),
                bench::threadCount(), frameSize);

    double best = fixedRate;
    for (double total = start; fixedRate == 0 && total <= most; total *= factor) {
        Step s = measure(rig, total, probes, stepSeconds);
        print(s, "step");
        if (!s.held)
            break;
        best = total;
    }
    if (overloaded) {
        if (best <= 0) {
            std::printf("no rate was held\n");
            return 1;
        }
        const int code = overload(rig, best, probes, item, duration, frameSize);
        rig.stop();
        return code;
    }
    int code = 0;
    Step hold;
    // The hold at the best rate; when it is not held for the whole duration, 10 % less.
    for (int attempt = 0; attempt < 3 && best > 0; ++attempt) {
        hold = measure(rig, best, probes, duration);
        print(hold, "hold");
        if (hold.held)
            break;
        best *= 0.9;
    }
    if (best > 0 && hold.held) {
        std::printf(
            "highest total rate held for %.0f s with %d phones: %.0f frames/s "
            "(%.0f per phone), CPU %.2f cores, %d threads\n",
            duration, phones, hold.received, hold.received / phones, hold.cores, hold.threads);
        std::printf("CPU by thread name during the hold (seconds over %.0f s):\n", duration);
        int shown = 0;
        // The simulated phones' threads carry no name of their own: they show under the
        // program's name (its main thread sleeps while it measures).
        for (auto& [name, seconds] : hold.byThread)
            if (seconds > 0 && shown++ < 14)
                std::printf("  %-16s %7.2f s  %5.1f %% of one core%s\n", name.c_str(), seconds,
                            100.0 * seconds / duration,
                            name == "bench_phones" ? " (the simulated phones)" : "");
    } else {
        std::printf("no rate was held\n");
        code = 1;
    }

    setRate(rig, 0, probes);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    rusage u0{}, u1{};
    getrusage(RUSAGE_SELF, &u0);
    const double cpu0 = bench::processCpuSeconds();
    const auto i0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    const double wall = std::chrono::duration<double>(Clock::now() - i0).count();
    const double cpu = bench::processCpuSeconds() - cpu0;
    getrusage(RUSAGE_SELF, &u1);
    const long switches = (u1.ru_nvcsw - u0.ru_nvcsw) + (u1.ru_nivcsw - u0.ru_nivcsw);
    std::printf(
        "idle with %d phones connected (probes on at rate 0), %.1f s: CPU %.3f %% of one "
        "core, %.0f context switches/s, %d threads\n",
        phones, wall, 100.0 * cpu / wall, switches / wall, bench::threadCount());
    rig.stop();
    return code;
}
