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
//                 [--batch-bytes N] [--bare-recorder]
//
// --bare-recorder puts a sink that hands each frame to the component's TVP decoder, counts it
// and checks its running number in the place of the host's recorder: the channel worker's CPU
// per frame is then the component's alone.
//
// The blocks are handed to the service --batch-bytes at a time (an eighth of the window by
// default; 0 hands over each block on its own).
//
// Without --frame-size it measures frames of 64, 1024, 16384 and 65555 bytes in turn.
//
// Two figures do not depend on how busy the machine is: the CPU time of the channel's worker
// ("ChannelThread", read from the thread's own CPU clock) per frame, and the heap allocations
// per frame and per block of the threads the blocks pass through (this program replaces
// operator new with one that counts by thread): the channel's worker, the data providers'
// workers, and the service's delivery thread ("sim-provider"), on which the simulated service
// makes each block's event and array and the component's event sink copies the block.
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
#include <utility>
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
           std::uint64_t window, std::uint64_t batchBytes, double forSeconds,
           std::uint64_t& runningNumber, std::uint16_t& seqNo) {
    const unsigned int framesPerBlock =
        static_cast<unsigned int>(std::max<std::size_t>(1, blockBytes / frameSize));
    sim::Bytes block;
    for (unsigned int i = 0; i < framesPerBlock; ++i)
        sim::SimPhoneFrames::appendProbe(block, frameSize, 0, 0, 0x00EC, 0);
    sim::ProviderHandle tvp = phone.sim->tvp();
    auto& recorder = *phone.recorder;
    const std::uint64_t lostBefore = recorder.lostReports();
    const std::uint64_t repeatedBefore = recorder.repeatedReports();
    std::uint64_t injected = recorder.tvpBytes();
    Result result;

    // Blocks are handed to the service a batch at a time, as the simulated phone hands over a
    // tick's blocks: the service's thread wakes once per batch, not once per block.
    const std::uint64_t batchLimit = std::max<std::uint64_t>(block.size(), batchBytes);
    auto injectFor = [&](double span, std::uint64_t& bytesOut, double& elapsed) {
        const std::uint64_t start = recorder.tvpBytes();
        std::vector<sim::Bytes> batch;
        std::uint64_t inBatch = 0;
        // Out of room: wait until a quarter of the window is free again, not just the batch's
        // room, so that the channel's worker wakes this thread once per quarter window rather
        // than once per block.
        auto handOver = [&] {
            if (injected + inBatch > recorder.tvpBytes() + window &&
                !recorder.waitForBytes(std::min(injected, injected + inBatch - window + window / 4),
                                       std::chrono::seconds(10)))
                return false;
            tvp.injectAll(std::exchange(batch, {}));
            injected += inBatch;
            inBatch = 0;
            return true;
        };
        // The bytes of blocks the service has delivered, taken a batch at a time.
        std::vector<sim::Bytes> spares;
        auto t0 = Clock::now();
        while (seconds(t0) < span) {
            // The bytes of a block the service has delivered hold the same frames but for
            // their numbers, which are written below: this program copies nothing per block.
            if (spares.empty())
                tvp.takeSpares(spares);
            sim::Bytes next;
            if (!spares.empty()) {
                next = std::move(spares.back());
                spares.pop_back();
            }
            if (next.size() != block.size() ||
                !std::equal(block.begin(), block.begin() + vela::TvpLayout::kProbeSeqNoOffset,
                            next.begin()))
                next.assign(block.begin(), block.end());
            for (unsigned int i = 0; i < framesPerBlock; ++i) {
                unsigned char* frame = next.data() + static_cast<std::size_t>(i) * frameSize;
                core::writeU2(frame + vela::TvpLayout::kProbeSeqNoOffset, seqNo++);
                core::writeU8(frame + vela::TvpLayout::kProbeFixedSize, runningNumber++);
            }
            inBatch += next.size();
            batch.push_back(std::move(next));
            if (inBatch >= batchLimit && !handOver()) {
                result.stalled = true;
                break;
            }
        }
        if (!batch.empty() && !handOver())
            result.stalled = true;
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
    result.lost = recorder.lostReports() - lostBefore;
    result.repeated = recorder.repeatedReports() - repeatedBefore;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    bench::Args args(argc, argv);
    const double forSeconds = std::max(0.2, args.number("seconds", 2));
    const double frameArg = args.number("frame-size", 0);
    const auto blockBytes = static_cast<std::size_t>(args.number("block-bytes", 16384));
    const auto window = static_cast<std::uint64_t>(args.number("window", 1 << 20));
    const auto batchBytes =
        static_cast<std::uint64_t>(args.number("batch-bytes", static_cast<double>(window / 8)));
    const bool bareRecorder = args.flag("bare-recorder");
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
    options.bareRecorder = bareRecorder;
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
    const std::vector<int> providerThreads = threadsNamed("DataProviderThr");
    const std::vector<int> serviceThreads = threadsNamed("sim-provider");
    for (unsigned int size : sizes) {
        const double cpu0 = bench::processCpuSeconds();
        const auto threads0 = bench::threadCpu();
        const double channelCpu0 = cpuNanoseconds(channelThreads);
        const auto allocations0 = allocationsByThread();
        const std::uint64_t channelAllocs0 = allocationsOf(allocations0, channelThreads);
        const std::uint64_t providerAllocs0 = allocationsOf(allocations0, providerThreads);
        const std::uint64_t serviceAllocs0 = allocationsOf(allocations0, serviceThreads);
        const std::uint64_t frames0 = phone.recorder->tvpFrames();
        const auto t0 = Clock::now();
        Result r = run(phone, size, std::max<std::size_t>(blockBytes, size), window, batchBytes,
                       forSeconds, runningNumber, seqNo);
        const double cores = (bench::processCpuSeconds() - cpu0) / seconds(t0);
        const double frames =
            std::max<double>(1.0, static_cast<double>(phone.recorder->tvpFrames() - frames0));
        const double channelNs = (cpuNanoseconds(channelThreads) - channelCpu0) / frames;
        const auto allocations1 = allocationsByThread();
        const double channelAllocs =
            static_cast<double>(allocationsOf(allocations1, channelThreads) - channelAllocs0) /
            frames;
        const std::size_t block = std::max<std::size_t>(blockBytes, size);
        const double blocks = frames / static_cast<double>(std::max<std::size_t>(1, block / size));
        const double providerAllocs =
            static_cast<double>(allocationsOf(allocations1, providerThreads) - providerAllocs0) /
            blocks;
        const double serviceAllocs =
            static_cast<double>(allocationsOf(allocations1, serviceThreads) - serviceAllocs0) /
            blocks;
        std::printf(
            "frames of %5u bytes: %8.1f MB/s, %9.0f frames/s, ratio to memcpy %.3f "
            "(in-cache %.3f), CPU %.2f cores, lost %llu repeated %llu%s\n",
            size, r.bytesPerSecond / 1e6, r.framesPerSecond, r.bytesPerSecond / bigCopy,
            r.bytesPerSecond / smallCopy, cores, static_cast<unsigned long long>(r.lost),
            static_cast<unsigned long long>(r.repeated), r.stalled ? " STALLED" : "");
        std::printf(
            "  channel worker per frame: %.0f ns CPU, %.3f heap allocations (%.0f frames)\n",
            channelNs, channelAllocs, frames);
        std::printf(
            "  heap allocations per block: channel worker %.3f, data providers' workers %.3f, "
            "service's delivery thread %.3f (%.0f blocks)\n",
            channelAllocs * frames / blocks, providerAllocs, serviceAllocs, blocks);
        // Where the time goes: CPU by thread name over this frame size's run.
        const double wall = seconds(t0);
        const auto byName = bench::cpuByName(threads0, bench::threadCpu());
        std::printf("  CPU by thread:");
        int shown = 0;
        for (auto& [name, cpu] : byName)
            if (cpu > 0 && shown++ < 6)
                std::printf(" %s %.0f%%", name.c_str(), 100.0 * cpu / wall);
        std::printf("\n");
        // The same per block: the channel's worker is the component's; the service's delivery
        // thread runs the simulated service's event (its block object and the array it copies
        // for the caller) and the component's event sink (its one copy); this program's own
        // thread makes the blocks and hands them to the service.
        std::printf("  CPU per block:");
        shown = 0;
        for (auto& [name, cpu] : byName)
            if (cpu > 0 && shown++ < 6)
                std::printf(" %s %.2f us", name.c_str(), 1e6 * cpu / blocks);
        std::printf("\n");
        if (r.lost || r.stalled)
            code = 1;
    }
    rig.stop();
    return code;
}
