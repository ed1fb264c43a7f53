// Command round trip through every worker: the host applies a probe setting on the TVP
// channel; the channel's engine queues one SetProbeMode per value of the item, sends each
// through the data provider and the simulated service to the simulated phone, whose
// acknowledgement comes back the same way before the next command goes; the last one ends
// the apply, whose result reaches the host's observer. Each round switches the item's probes
// all on or all off (alternately) and is timed from applyPropertyItem to the result's arrival
// at the host's observer (on the channel's worker), without the host's own preparation (the
// property store's copy and the selection) and without the waiting thread's wake-up.
//
//   bench_roundtrip [--rounds N]
#include <cstdio>
#include <vector>

#include "bench/session/BenchRig.h"
#include "session/ProbeCatalogue.h"

int main(int argc, char** argv) {
    bench::Args args(argc, argv);
    const int rounds = static_cast<int>(std::max(2.0, args.number("rounds", 300)));
    std::string error;
    if (!args.check(error)) {
        std::fprintf(stderr, "bench_roundtrip: %s\n", error.c_str());
        return 2;
    }
    std::printf("%s\n", bench::machineLine().c_str());
    bench::RigOptions options;
    options.phone.probeRate = 0;  // the probes switch, but send nothing
    options.phone.printRate = 0;
    bench::Rig rig;
    if (!rig.start(options, error)) {
        std::fprintf(stderr, "bench_roundtrip: %s\n", error.c_str());
        return 1;
    }
    auto& phone = *rig.phones()[0];
    std::size_t commands = 0;
    const unsigned long item = bench::Rig::smallestProbeItem(&commands);
    const auto* entry = vela::catalogue::findItem(item);
    std::printf("setting \"%s\": %zu SetProbeMode commands per apply\n",
                entry ? vela::catalogue::itemLabel(*entry).c_str() : "?", commands);
    // Warm-up: the first applies make the objects that later ones reuse.
    for (int i = 0; i < 4; ++i)
        rig.apply(phone, item, i % 2 == 0);
    const auto acksBefore = phone.sim->counters().acks;
    std::vector<double> us;
    us.reserve(rounds);
    int failed = 0;
    for (int i = 0; i < rounds; ++i) {
        bench::Rig::ApplyTiming timing;
        long code = rig.apply(phone, item, i % 2 == 0, &timing);
        us.push_back(
            std::chrono::duration<double, std::micro>(timing.answered - timing.applied).count());
        if (code != 1)
            ++failed;
    }
    const auto acks = phone.sim->counters().acks - acksBefore;
    double sum = 0;
    for (double v : us)
        sum += v;
    const double mean = sum / us.size();
    const double median = bench::percentile(us, 50);
    const double p99 = bench::percentile(us, 99);
    const double worst = us.back();
    std::printf(
        "apply round trip over %d rounds: median %.0f us, p99 %.0f us, max %.0f us, "
        "mean %.0f us\n",
        rounds, median, p99, worst, mean);
    std::printf("per SetProbeMode command (apply / %zu): median %.1f us, p99 %.1f us\n", commands,
                median / commands, p99 / commands);
    std::printf("acknowledgements sent by the phone: %llu (expected %llu), failed applies: %d\n",
                static_cast<unsigned long long>(acks),
                static_cast<unsigned long long>(rounds * commands), failed);
    rig.stop();
    return failed == 0 ? 0 : 1;
}
