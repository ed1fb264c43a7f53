// A whole session as vela-host builds it, for the benchmark programs: the plug-in loaded with
// dlopen, simulated phones behind the one simulated service, the component's detector, a data
// source and an equipment per phone, the TVP and print-server channels activated, and the
// host's recorder as the data-source sink (with the component's decoders, no capture file).
// Unlike vela-host's run, every part stays reachable, so that a program can drive the phones,
// apply settings one at a time and read the figures while it measures.
//
// Also the measuring helpers the programs share: CPU time of the process and of each thread,
// resident size, thread count, percentiles, and a small argument reader.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/combase/EEInterfaces.h"
#include "framework/eqbase/Equipment.h"
#include "host/ComponentEquipment.h"
#include "host/Plugin.h"
#include "host/Recorder.h"
#include "sim/SimPhone.h"

namespace bench {

using Clock = std::chrono::steady_clock;
using core::RCPtr;

// The host's recorder, counting the TVP bytes and frames it was handed in atomics so that a
// program can wait for them without taking the recorder's lock in a loop.
//
// A bare recorder hands nothing to the host's recorder: it gives each TVP frame to the
// component's TVP decoder, counts it and checks its running number itself, without a lock
// (only the TVP channel's worker writes), so that a program can tell the component's cost per
// frame from the host recorder's.
class CountingRecorder : public host::Recorder {
  public:
    CountingRecorder(std::uint8_t equipment, bool checkRunningNumbers, bool bare = false)
        : host::Recorder(equipment, nullptr, checkRunningNumbers), m_bare(bare) {}

    bool onDataSourceFrame(const dsrc::DataSourceChannelInfo* channel,
                           const core::RCPtr<dsrc::DataSourceFrame>& frame) override;

    std::uint64_t tvpBytes() const { return m_tvpBytes.load(std::memory_order_acquire); }
    std::uint64_t tvpFrames() const { return m_tvpFrames.load(std::memory_order_acquire); }
    // Waits until at least `bytes` TVP bytes have arrived; false at the time-out.
    bool waitForBytes(std::uint64_t bytes, std::chrono::milliseconds timeout);
    // Lets the decoder that a bare recorder took go (before the plug-in is unloaded).
    void forgetDecoder() { m_decoder.reset(); }
    // Reports lost and repeated by the running numbers: the host recorder's figures, or the
    // bare recorder's own.
    std::uint64_t lostReports() const;
    std::uint64_t repeatedReports() const;

  private:
    // The bare recorder's count of a TVP frame.
    void countBare(dsrc::DataSourceFrame& frame);

    const bool m_bare;
    // The bare recorder's: the component's TVP decoder, taken from the host recorder at the
    // first frame, and the running number last seen.
    core::RCPtr<dsrc::DataDecoder> m_decoder;
    bool m_seenNumber = false;
    std::uint64_t m_lastNumber = 0;
    std::atomic<std::uint64_t> m_lost{0};
    std::atomic<std::uint64_t> m_repeated{0};
    std::atomic<std::uint64_t> m_tvpBytes{0};
    std::atomic<std::uint64_t> m_tvpFrames{0};
    // The smallest byte count a waiter waits for (none: the largest value). Frames wake the
    // waiters only when it is reached, not once each.
    static constexpr std::uint64_t kNoTarget = ~std::uint64_t{0};
    std::atomic<std::uint64_t> m_waitTarget{kNoTarget};
    std::mutex m_waitMutex;
    std::condition_variable m_arrived;
};

// The host's view of a channel: its active state and the result of each apply, with waits.
class RigObserver : public eqbase::ChannelObserver {
  public:
    void onChannelActiveState(eqbase::Channel& channel, int state) override;
    void onApplyResult(eqbase::Channel& channel, core::PropertyNode::Identity identity,
                       const core::Status& status) override;
    // Waits until the channel reaches one of the two states; the state reached.
    int waitState(const std::string& channel, int a, int b, Clock::time_point until);
    // How many times the channel has entered the state so far.
    int entries(const std::string& channel, int state);
    // Waits until the channel has entered the state more than `than` times; false at the
    // time-out.
    bool waitEntries(const std::string& channel, int state, int than, Clock::time_point until);
    // Forgets the result of the identity, so that the next wait sees only a new one.
    void forget(unsigned long identity);
    // What waitResult gives when no result came: no status code has this value.
    static constexpr long kNoResult = -1000000;
    // Waits for the identity's result; kNoResult at the time-out, else the status code (1
    // applied; -1 when the apply ended by its own time-out).
    long waitResult(unsigned long identity, Clock::time_point until);
    // When the identity's last result reached the observer (on the channel's worker).
    Clock::time_point resultTime(unsigned long identity);

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, int> m_states;
    std::map<std::pair<std::string, int>, int> m_entries;
    std::map<unsigned long, long> m_results;
    std::map<unsigned long, Clock::time_point> m_resultTimes;
};

struct RigPhone : host::ComponentEquipment {
    int number = 0;
    std::unique_ptr<sim::SimPhone> sim;
    int atMaster = -1, atSlave = -1;
    RCPtr<equip::DeviceInfoData> device;
    RCPtr<CountingRecorder> recorder;
    RCPtr<RigObserver> observer;
};

struct RigOptions {
    int phones = 1;
    bool bareRecorder = false;   // see CountingRecorder
    sim::SimPhoneOptions phone;  // name and servePort are set per phone
    double activateSeconds = 15;
};

class Rig {
  public:
    Rig() = default;
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;
    ~Rig();

    // Loads the plug-in, starts the phones and brings every session up. False with a message.
    bool start(const RigOptions& options, std::string& error);
    // Deactivates the channels and releases everything (also done by the destructor).
    void stop();

    std::vector<std::unique_ptr<RigPhone>>& phones() { return m_phones; }

    // Selects the values of the item (all of them, or none) and applies it on the phone's TVP
    // channel; waits for the result. The status code (1 applied), RigObserver::kNoResult
    // when none came. With `timing`, the times of the applyPropertyItem call and of the
    // result's arrival at the observer.
    struct ApplyTiming {
        Clock::time_point applied, answered;
    };
    long apply(RigPhone& phone, unsigned long identity, bool on, ApplyTiming* timing = nullptr);
    // The probe item of the catalogue with the fewest values (one SetProbeMode per value).
    static unsigned long smallestProbeItem(std::size_t* values = nullptr);

  private:
    bool addPhone(int index, const RigOptions& options, std::string& error);
    bool createEquipment(RigPhone& phone, bool bareRecorder, std::string& error);
    bool bringUp(RigPhone& phone, double seconds, std::string& error);

    ATL::CAtlModule m_module;
    host::Plugin m_plugin;
    bool m_started = false;
    std::vector<std::unique_ptr<RigPhone>> m_phones;
};

// ---- measuring helpers ----

// CPU seconds (user + system) of the whole process.
double processCpuSeconds();
// CPU seconds of each thread now, by thread id, with the thread's name.
struct ThreadCpu {
    std::string name;
    double seconds = 0;
};
std::map<int, ThreadCpu> threadCpu();
// CPU used between two thread snapshots, summed by thread name, largest first.
std::vector<std::pair<std::string, double>> cpuByName(const std::map<int, ThreadCpu>& before,
                                                      const std::map<int, ThreadCpu>& after);
int threadCount();
// Resident size in bytes.
std::uint64_t residentBytes();
// Bytes of the heap in use (allocated and not yet freed), as the allocator counts them.
std::uint64_t heapInUseBytes();
// The p-th percentile (0..100) of the values (sorted in place).
double percentile(std::vector<double>& values, double p);

// Reads "--name value" pairs and "--flag" switches; unknown names are an error.
class Args {
  public:
    Args(int argc, char** argv);
    bool flag(const std::string& name);
    double number(const std::string& name, double fallback);
    std::string text(const std::string& name, const std::string& fallback);
    // False with a message when an argument was not asked for or a number was malformed.
    bool check(std::string& error) const;

  private:
    std::map<std::string, std::string> m_values;
    std::map<std::string, bool> m_used;
    std::string m_error;
};

// A line with the machine: core count and CPU model.
std::string machineLine();

}  // namespace bench
