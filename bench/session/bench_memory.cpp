// Memory over a soak: one session whose simulated phone streams probe reports until the
// host's recorder has --frames of them (default 1,000,000; 10,000,000 for the long run), with
// the resident size sampled every half second. The size after the warm-up (the first tenth of
// the frames, at least one second) and at the end show whether anything grows.
//
//   bench_memory [--frames N] [--rate FRAMES_PER_SECOND]
#include <cstdio>
#include <thread>
#include <vector>

#include "bench/session/BenchRig.h"

int main(int argc, char** argv) {
    bench::Args args(argc, argv);
    const auto frames = static_cast<std::uint64_t>(std::max(1000.0, args.number("frames", 1e6)));
    const double rate = std::max(1.0, args.number("rate", 100000));
    std::string error;
    if (!args.check(error)) {
        std::fprintf(stderr, "bench_memory: %s\n", error.c_str());
        return 2;
    }
    std::printf("%s\n", bench::machineLine().c_str());
    bench::RigOptions options;
    options.phone.probeRate = 0;
    options.phone.printRate = 0;
    bench::Rig rig;
    if (!rig.start(options, error)) {
        std::fprintf(stderr, "bench_memory: %s\n", error.c_str());
        return 1;
    }
    auto& phone = *rig.phones()[0];
    std::size_t probes = 0;
    const unsigned long item = bench::Rig::smallestProbeItem(&probes);
    const std::uint64_t rssStart = bench::residentBytes();
    if (rig.apply(phone, item, true) != 1) {
        std::fprintf(stderr, "bench_memory: the probes could not be switched on\n");
        return 1;
    }
    phone.sim->setProbeRate(rate / static_cast<double>(probes));
    const auto t0 = bench::Clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(bench::Clock::now() - t0).count(); };
    const std::uint64_t warmFrames = frames / 10;
    std::uint64_t rssWarm = 0, rssMaxAfter = 0, rssMinAfter = ~0ull;
    double warmAt = 0;
    std::vector<std::pair<double, std::uint64_t>> samples;
    // Bounded: a stream that stops short ends the soak after four times the expected time.
    const double limit = 4.0 * static_cast<double>(frames) / rate + 10;
    while (phone.recorder->tvpFrames() < frames && elapsed() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const std::uint64_t rss = bench::residentBytes();
        samples.emplace_back(elapsed(), rss);
        if (!rssWarm && phone.recorder->tvpFrames() >= warmFrames && elapsed() >= 1.0) {
            rssWarm = rss;
            warmAt = elapsed();
        } else if (rssWarm) {
            rssMaxAfter = std::max(rssMaxAfter, rss);
            rssMinAfter = std::min(rssMinAfter, rss);
        }
    }
    const double wall = elapsed();
    phone.sim->setProbeRate(0.0);
    rig.apply(phone, item, false);
    const std::uint64_t rssEnd = bench::residentBytes();
    const auto f = phone.recorder->figures();
    const double mib = 1024.0 * 1024.0;
    std::printf("soak: %llu frames in %.1f s (%.0f frames/s), lost %llu, repeated %llu\n",
                static_cast<unsigned long long>(f.tvpFrames), wall, f.tvpFrames / wall,
                static_cast<unsigned long long>(f.lostReports),
                static_cast<unsigned long long>(f.repeatedReports));
    std::printf(
        "RSS: before %.1f MiB, at warm-up (%.1f s) %.1f MiB, after warm-up min %.1f / "
        "max %.1f MiB, at the end %.1f MiB, growth after warm-up %+.1f MiB\n",
        rssStart / mib, warmAt, rssWarm / mib, rssMinAfter == ~0ull ? 0.0 : rssMinAfter / mib,
        rssMaxAfter / mib, rssEnd / mib,
        (static_cast<double>(rssEnd) - static_cast<double>(rssWarm)) / mib);
    // A few samples across the run for the record.
    const std::size_t step = std::max<std::size_t>(1, samples.size() / 8);
    for (std::size_t i = 0; i < samples.size(); i += step)
        std::printf("  %6.1f s  %.1f MiB\n", samples[i].first, samples[i].second / mib);
    rig.stop();
    return f.lostReports == 0 && f.tvpFrames >= frames ? 0 : 1;
}
