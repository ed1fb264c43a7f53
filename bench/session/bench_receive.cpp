// Receive path: bytes per second from the simulated service's inject, through the component's
// data provider, its out pipe, the TVP engine's cutter and frame factory, to the host's
// recorder (the data-source sink with the component's TVP decoder), over the machine's memcpy
// bandwidth measured in the same run.
//
// The session is the one vela-host builds (plug-in, equipment, channels). The simulated
// phone's own probes stay off; this program injects numbered probe reports on the phone's
// "Tvp" provider itself, whole frames per block, and keeps at most --window bytes between
// injected and recorded (1 MiB by default: well inside the 4 MiB that may wait for a channel,
// and short of what makes the channel drop reports to catch up). The recorder's running-number
// check must find no report lost.
//
//   bench_receive [--seconds S] [--frame-size N] [--block-bytes N] [--window N]
//
// Without --frame-size it measures frames of 64, 1024, 16384 and 65555 bytes in turn.
//
// Two figures do not depend on how busy the machine is: the CPU time of the channel's worker
// ("ChannelThread", read from the thread's own CPU clock) per frame, and the heap allocations
// that worker makes per frame (this program replaces operator new with one that counts by
// thread).
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "bench/session/BenchRig.h"
#include "framework/core/Bytes.h"
#include "protocol/TvpLayout.h"
#include "sim/SimPhoneFrames.h"

// ---- allocations counted by thread ----

namespace {

struct AllocSlot {
    std::atomic<int> tid{0};
    std::atomic<std::uint64_t> count{0};
};
constexpr int kSlots = 4096;
AllocSlot g_slots[kSlots];
std::atomic<int> g_slotsUsed{0};
thread_local AllocSlot* t_slot = nullptr;

void countAllocation() {
    if (!t_slot) {
        const int i = g_slotsUsed.fetch_add(1, std::memory_order_relaxed);
        if (i >= kSlots)
            return;
        t_slot = &g_slots[i];
        t_slot->tid.store(static_cast<int>(::syscall(SYS_gettid)), std::memory_order_relaxed);
    }
    t_slot->count.fetch_add(1, std::memory_order_relaxed);
}

void* countedAllocation(std::size_t n) {
    countAllocation();
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) {
    return countedAllocation(n);
}
void* operator new[](std::size_t n) {
    return countedAllocation(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    countAllocation();
    return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    countAllocation();
    return std::malloc(n ? n : 1);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace {

using bench::Clock;

// Heap allocations so far by thread id.
std::map<int, std::uint64_t> allocationsByThread() {
    std::map<int, std::uint64_t> counts;
    const int used = std::min(g_slotsUsed.load(), kSlots);
    for (int i = 0; i < used; ++i)
        counts[g_slots[i].tid.load()] += g_slots[i].count.load();
    return counts;
}

// CPU nanoseconds of a thread of this process, from its own CPU clock (the clock id that
// pthread_getcpuclockid gives, made from the thread id); -1 when it cannot be read.
double threadCpuNanoseconds(int tid) {
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6u);
    timespec ts{};
    if (::clock_gettime(clock, &ts) != 0)
        return -1;
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// The ids of the threads with the given name.
std::vector<int> threadsNamed(const std::string& name) {
    std::vector<int> ids;
    for (auto& [tid, t] : bench::threadCpu())
        if (t.name == name)
            ids.push_back(tid);
    return ids;
}

double cpuNanoseconds(const std::vector<int>& tids) {
    double sum = 0;
    for (int tid : tids)
        sum += std::max(0.0, threadCpuNanoseconds(tid));
    return sum;
}

std::uint64_t allocationsOf(const std::map<int, std::uint64_t>& counts,
                            const std::vector<int>& tids) {
    std::uint64_t sum = 0;
    for (int tid : tids) {
        auto it = counts.find(tid);
        if (it != counts.end())
            sum += it->second;
    }
    return sum;
}

double seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

// Bytes copied per second by memcpy between two buffers of `size` bytes.
double memcpyRate(std::size_t size, double forSeconds) {
    std::vector<unsigned char> a(size, 1), b(size, 2);
    std::size_t copied = 0;
    volatile unsigned char sink = 0;
    auto t0 = Clock::now();
    do {
        for (int i = 0; i < 4; ++i) {
            std::memcpy(b.data(), a.data(), size);
            sink = sink + b[copied % size];
            std::swap(a, b);
            copied += size;
        }
    } while (seconds(t0) < forSeconds);
    return static_cast<double>(copied) / seconds(t0);
}

struct Result {
    double bytesPerSecond = 0;
    double framesPerSecond = 0;
    std::uint64_t lost = 0, repeated = 0;
    bool stalled = false;
};

// Injects blocks of whole probe reports of frameSize bytes for `forSeconds` after a warm-up.
Result run(bench::RigPhone& phone, unsigned int frameSize, std::size_t blockBytes,
           std::uint64_t window, double forSeconds, std::uint64_t& runningNumber,
           std::uint16_t& seqNo) {
    const unsigned int framesPerBlock =
        static_cast<unsigned int>(std::max<std::size_t>(1, blockBytes / frameSize));
    sim::Bytes block;
    for (unsigned int i = 0; i < framesPerBlock; ++i)
        sim::SimPhoneFrames::appendProbe(block, frameSize, 0, 0, 0x00EC, 0);
    sim::ProviderHandle tvp = phone.sim->tvp();
    auto& recorder = *phone.recorder;
    const auto before = recorder.figures();
    std::uint64_t injected = recorder.tvpBytes();
    Result result;

    auto injectFor = [&](double span, std::uint64_t& bytesOut, double& elapsed) {
        const std::uint64_t start = recorder.tvpBytes();
        auto t0 = Clock::now();
        while (seconds(t0) < span) {
            sim::Bytes next(block);
            for (unsigned int i = 0; i < framesPerBlock; ++i) {
                unsigned char* frame = next.data() + static_cast<std::size_t>(i) * frameSize;
                core::writeU2(frame + vela::TvpLayout::kProbeSeqNoOffset, seqNo++);
                core::writeU8(frame + vela::TvpLayout::kProbeFixedSize, runningNumber++);
            }
            const std::uint64_t size = next.size();
            // Out of room: wait until a quarter of the window is free again, not just this
            // block's room, so that the channel's worker wakes this thread once per quarter
            // window rather than once per block.
            if (injected + size > recorder.tvpBytes() + window &&
                !recorder.waitForBytes(std::min(injected, injected + size - window + window / 4),
                                       std::chrono::seconds(10))) {
                result.stalled = true;
                break;
            }
            tvp.inject(std::move(next));
            injected += size;
        }
        // Everything injected arrives before the time is taken.
        if (!recorder.waitForBytes(injected, std::chrono::seconds(10)))
            result.stalled = true;
        elapsed = seconds(t0);
        bytesOut = recorder.tvpBytes() - start;
    };
    std::uint64_t bytes = 0;
    double elapsed = 0;
    injectFor(std::min(0.5, forSeconds), bytes, elapsed);  // warm-up
    const std::uint64_t framesBefore = recorder.tvpFrames();
    injectFor(forSeconds, bytes, elapsed);
    result.bytesPerSecond = static_cast<double>(bytes) / elapsed;
    result.framesPerSecond = static_cast<double>(recorder.tvpFrames() - framesBefore) / elapsed;
    const auto after = recorder.figures();
    result.lost = after.lostReports - before.lostReports;
    result.repeated = after.repeatedReports - before.repeatedReports;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    bench::Args args(argc, argv);
    const double forSeconds = std::max(0.2, args.number("seconds", 2));
    const double frameArg = args.number("frame-size", 0);
    const auto blockBytes = static_cast<std::size_t>(args.number("block-bytes", 16384));
    const auto window = static_cast<std::uint64_t>(args.number("window", 1 << 20));
    std::string error;
    if (!args.check(error)) {
        std::fprintf(stderr, "bench_receive: %s\n", error.c_str());
        return 2;
    }
    std::vector<unsigned int> sizes = {64, 1024, 16384, sim::SimPhoneFrames::kMaxProbeFrameSize};
    if (frameArg > 0)
        sizes = {sim::SimPhoneFrames::clampProbeFrameSize(static_cast<unsigned int>(frameArg))};

    std::printf("%s\n", bench::machineLine().c_str());
    const double bigCopy = memcpyRate(64u << 20, 1.0);
    const double smallCopy = memcpyRate(256u << 10, 0.5);
    std::printf("memcpy: %.2f GB/s (64 MiB buffers), %.2f GB/s (256 KiB, in cache)\n",
                bigCopy / 1e9, smallCopy / 1e9);

    bench::RigOptions options;
    options.phone.probeRate = 0;
    options.phone.printRate = 0;
    bench::Rig rig;
    if (!rig.start(options, error)) {
        std::fprintf(stderr, "bench_receive: %s\n", error.c_str());
        return 1;
    }
    auto& phone = *rig.phones()[0];
    std::uint64_t runningNumber = 0;
    std::uint16_t seqNo = 0;
    int code = 0;
    // The channel workers of the session (TVP, print server, AT); only the TVP one is busy.
    const std::vector<int> channelThreads = threadsNamed("ChannelThread");
    for (unsigned int size : sizes) {
        const double cpu0 = bench::processCpuSeconds();
        const auto threads0 = bench::threadCpu();
        const double channelCpu0 = cpuNanoseconds(channelThreads);
        const std::uint64_t channelAllocs0 = allocationsOf(allocationsByThread(), channelThreads);
        const std::uint64_t frames0 = phone.recorder->tvpFrames();
        const auto t0 = Clock::now();
        Result r = run(phone, size, std::max<std::size_t>(blockBytes, size), window, forSeconds,
                       runningNumber, seqNo);
        const double cores = (bench::processCpuSeconds() - cpu0) / seconds(t0);
        const double frames =
            std::max<double>(1.0, static_cast<double>(phone.recorder->tvpFrames() - frames0));
        const double channelNs = (cpuNanoseconds(channelThreads) - channelCpu0) / frames;
        const double channelAllocs =
            static_cast<double>(allocationsOf(allocationsByThread(), channelThreads) -
                                channelAllocs0) /
            frames;
        std::printf(
            "frames of %5u bytes: %8.1f MB/s, %9.0f frames/s, ratio to memcpy %.3f "
            "(in-cache %.3f), CPU %.2f cores, lost %llu repeated %llu%s\n",
            size, r.bytesPerSecond / 1e6, r.framesPerSecond, r.bytesPerSecond / bigCopy,
            r.bytesPerSecond / smallCopy, cores, static_cast<unsigned long long>(r.lost),
            static_cast<unsigned long long>(r.repeated), r.stalled ? " STALLED" : "");
        std::printf(
            "  channel worker per frame: %.0f ns CPU, %.3f heap allocations (%.0f frames)\n",
            channelNs, channelAllocs, frames);
        // Where the time goes: CPU by thread name over this frame size's run.
        const double wall = seconds(t0);
        std::printf("  CPU by thread:");
        int shown = 0;
        for (auto& [name, cpu] : bench::cpuByName(threads0, bench::threadCpu()))
            if (cpu > 0 && shown++ < 6)
                std::printf(" %s %.0f%%", name.c_str(), 100.0 * cpu / wall);
        std::printf("\n");
        if (r.lost || r.stalled)
            code = 1;
    }
    rig.stop();
    return code;
}
