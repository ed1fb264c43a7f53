// Idle cost: CPU time of connected sessions with no traffic (no probe switched on, no
// print-server lines), over --seconds (default 10), with the context switches (wake-ups) and
// the threads that used any CPU.
//
//   bench_idle [--seconds S] [--phones N]
#include <sys/resource.h>

#include <cstdio>
#include <map>
#include <thread>

#include "bench/session/BenchRig.h"

int main(int argc, char** argv) {
    bench::Args args(argc, argv);
    const double forSeconds = std::max(0.5, args.number("seconds", 10));
    const int phones = static_cast<int>(std::max(1.0, args.number("phones", 1)));
    std::string error;
    if (!args.check(error)) {
        std::fprintf(stderr, "bench_idle: %s\n", error.c_str());
        return 2;
    }
    std::printf("%s\n", bench::machineLine().c_str());
    bench::RigOptions options;
    options.phones = phones;
    options.phone.probeRate = 0;
    options.phone.printRate = 0;
    bench::Rig rig;
    if (!rig.start(options, error)) {
        std::fprintf(stderr, "bench_idle: %s\n", error.c_str());
        return 1;
    }
    // Let the start-up settle before measuring.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    rusage u0{}, u1{};
    getrusage(RUSAGE_SELF, &u0);
    const auto threads0 = bench::threadCpu();
    const double cpu0 = bench::processCpuSeconds();
    const auto t0 = bench::Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(forSeconds));
    const double wall = std::chrono::duration<double>(bench::Clock::now() - t0).count();
    const double cpu = bench::processCpuSeconds() - cpu0;
    getrusage(RUSAGE_SELF, &u1);
    const auto threads1 = bench::threadCpu();
    const long switches = (u1.ru_nvcsw - u0.ru_nvcsw) + (u1.ru_nivcsw - u0.ru_nivcsw);
    std::printf(
        "idle, %d connected phone(s), %.1f s: CPU %.4f s = %.3f %% of one core, "
        "%.1f context switches/s, %d threads\n",
        phones, wall, cpu, 100.0 * cpu / wall, switches / wall, bench::threadCount());
    std::map<std::string, int> names;
    for (auto& [tid, t] : threads1)
        ++names[t.name];
    std::printf("  threads by name:");
    for (auto& [name, count] : names)
        std::printf(" %s x%d", name.c_str(), count);
    std::printf("\n");
    for (auto& [name, seconds] : bench::cpuByName(threads0, threads1))
        if (seconds > 0)
            std::printf("  thread %-16s %.3f s\n", name.c_str(), seconds);
    rig.stop();
    return 0;
}
