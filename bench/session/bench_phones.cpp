// Many phones: --phones (default 16) simulated phones, one session each, all behind the one
// simulated service, each streaming probe reports. The total rate climbs in steps until a step
// is not held; the highest held rate is then held for --duration seconds. A rate is held when
// no report is lost (the recorders' running-number check), the phones skipped none, and what
// the recorders received keeps up with what the phones sent. Each step is --factor times the
// one before, from --start up to --max. Shows the CPU used, the thread
// count and the CPU per thread name, then the idle cost with every phone connected.
//
//   bench_phones [--phones N] [--start R] [--factor F] [--max R] [--step-seconds S]
//                [--duration S] [--idle S] [--frame-size N] [--rate R]
//
// --rate R skips the climb and holds R frames/s in total.
#include <sys/resource.h>

#include <cstdio>
#include <thread>

#include "bench/session/BenchRig.h"

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

}  // namespace

int main(int argc, char** argv) {
    bench::Args args(argc, argv);
    const int phones = static_cast<int>(std::max(1.0, args.number("phones", 16)));
    const double start = std::max(1000.0, args.number("start", 50000));
    const double fixedRate = args.number("rate", 0);
    const double factor = std::max(1.05, args.number("factor", 1.5));
    const double most = args.number("max", 4000000);
    const double stepSeconds = std::max(0.5, args.number("step-seconds", 2));
    const double duration = std::max(1.0, args.number("duration", 5));
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
