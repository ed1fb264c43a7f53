// Received blocks per second and MB/s through the component, with the simulated debug-
// multiplexer service in the host's process and then in a process of its own (vela-mux-sim.exe,
// registered as the service's COM local server for the run), in one run (Windows; under Wine
// the marshalling between the processes is Wine's).
//
//   bench_service_process [--seconds S] [--frame-size N] [--rate N]
//
// The session is vela-host's: the plug-in (vela.dll beside the program), the component's data
// source and equipment, the TVP channel activated, the host's recorder as the data source's
// sink. One simulated phone streams one probe ("GSM Layer 2 Reports") of N-byte frames, each
// in a block of its own, at a rate above what the path takes (the phone makes no reports while
// 512 of its blocks are undelivered), so that the figures are the path's. After two seconds of
// warm-up the blocks recorded in S seconds are counted; every report must have arrived (the
// recorder checks the phone's running numbers).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/ComponentEquipment.h"
#include "host/MobileMsgServer.h"
#include "host/Plugin.h"
#include "host/Recorder.h"
#include "session/ProbeCatalogue.h"
#include "sim/SimPhone.h"
#include "sim/SimService.h"

namespace {

using Clock = std::chrono::steady_clock;
using core::RCPtr;
using namespace std::chrono_literals;

// The channels' states and the results of applied settings, with waits.
class Observer : public eqbase::ChannelObserver {
  public:
    void onChannelActiveState(eqbase::Channel& channel, int state) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_states[channel.getChannelName()] = state;
        }
        m_changed.notify_all();
    }
    void onApplyResult(eqbase::Channel&, core::PropertyNode::Identity identity,
                       const core::Status& status) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_results[identity] = status.getCode();
        }
        m_changed.notify_all();
    }
    bool waitState(const std::string& channel, int state, std::chrono::seconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_states[channel] == state; });
    }
    bool waitApplied(unsigned long identity, std::chrono::seconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_results.count(identity); }) &&
               m_results[identity] == 1;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, int> m_states;
    std::map<unsigned long, long> m_results;
};

struct Figures {
    double blocksPerSecond = 0;
    double megabytesPerSecond = 0;
    std::uint64_t blocks = 0;
    std::uint64_t lost = 0;
};

// Selects every value of the item and applies it; true when it was applied.
bool applyAll(host::ComponentEquipment& phone, Observer& observer, unsigned long identity) {
    auto store = phone.tvp->getPropertyStore();
    if (!store)
        return false;
    std::vector<const core::PropertyNode*> stack{store.get()};
    while (!stack.empty()) {
        const core::PropertyNode* node = stack.back();
        stack.pop_back();
        if (auto* item = dynamic_cast<const core::PropertyItem*>(node)) {
            if (item->getIdentity() != identity)
                continue;
            std::vector<std::string> labels;
            for (auto& value : item->getValues())
                labels.push_back(value.getLabel());
            const_cast<core::PropertyItem*>(item)->selectByLabel(labels);
            return phone.tvp->applyPropertyItem(identity) && observer.waitApplied(identity, 30s);
        }
        if (auto* category = dynamic_cast<const core::PropertyCategory*>(node))
            for (auto& child : category->getChildren())
                stack.push_back(child.get());
    }
    return false;
}

// One session on COM5 with the service wherever COM finds it; the figures of `seconds`.
bool measure(double seconds, Figures& figures, std::string& error) {
    RCPtr<equip::DeviceInfoData> device(new equip::DeviceInfoData());
    device->vendorId = "F1E0";
    device->productId = "D001";
    device->vendor = "Vela";
    device->product = "Vela phone (simulated) 1";
    device->serialNumber = "SIM1001";
    device->ports.push_back({"COM5", "Modem", ""});
    host::ComponentEquipment phone;
    RCPtr<host::Recorder> recorder(new host::Recorder(0, nullptr, true));
    RCPtr<Observer> observer(new Observer());
    bool ok = phone.create(*device, *recorder, *observer, error) && phone.activate(error);
    if (ok && !observer->waitState(phone.tvp->getChannelName(), 3, 60s)) {
        error = "the session did not come up";
        ok = false;
    }
    if (ok && !applyAll(phone, *observer, vela::catalogue::kGsmLayer2)) {
        error = "the probe setting was not applied";
        ok = false;
    }
    if (ok) {
        std::this_thread::sleep_for(2s);
        const host::RecorderFigures before = recorder->figures();
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const host::RecorderFigures after = recorder->figures();
        const double span = std::chrono::duration<double>(Clock::now() - start).count();
        figures.blocks = after.tvpFrames - before.tvpFrames;
        figures.blocksPerSecond = static_cast<double>(figures.blocks) / span;
        figures.megabytesPerSecond =
            static_cast<double>(after.tvpBytes - before.tvpBytes) / span / 1e6;
    }
    phone.deactivate();
    figures.lost = recorder->figures().lostReports;
    phone.release(recorder.get());
    return ok;
}

// Runs vela-mux-sim.exe (beside this program) with the arguments and waits for it; its exit
// status, or -1 when it could not be started.
int runServer(const std::string& arguments) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string program = path;
    program = program.substr(0, program.find_last_of("\\/") + 1) + "vela-mux-sim.exe";
    std::string line = "\"" + program + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return -1;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

void print(const char* where, const Figures& f, unsigned int frameSize) {
    std::printf("%-15s %9.1f blocks/s %8.2f MB/s  (%llu blocks of %u bytes, lost %llu)\n", where,
                f.blocksPerSecond, f.megabytesPerSecond, static_cast<unsigned long long>(f.blocks),
                frameSize, static_cast<unsigned long long>(f.lost));
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    unsigned int frameSize = 4096;
    double rate = 100000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const double value = std::atof(argv[i + 1]);
        if (name == "--seconds" && value > 0)
            seconds = value;
        else if (name == "--frame-size" && value >= 28 && value <= 65536)
            frameSize = static_cast<unsigned int>(value);
        else if (name == "--rate" && value > 0)
            rate = value;
        else {
            std::fprintf(
                stderr, "usage: bench_service_process [--seconds S] [--frame-size N] [--rate N]\n");
            return 2;
        }
    }
    if (argc % 2 == 0) {
        std::fprintf(stderr,
                     "usage: bench_service_process [--seconds S] [--frame-size N] [--rate N]\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ATL::CAtlModule module;
    host::Plugin plugin;
    std::string error;
    if (!plugin.load(host::Plugin::defaultPath(), module, error)) {
        std::fprintf(stderr, "bench_service_process: %s\n", error.c_str());
        return 1;
    }
    host::MobileMsgServer::registerForComponent();
    int code = 0;

    // In process: the service's classes registered by this process, found first.
    Figures inProcess;
    {
        sim::SimPhoneOptions options;
        options.probeRate = rate;
        options.printRate = 0;
        options.frameSize = frameSize;
        options.blockBytes = frameSize;
        auto simulated = sim::SimPhone::create(sim::SimService::instance(), 5, 1001, options);
        if (!measure(seconds, inProcess, error)) {
            std::fprintf(stderr, "bench_service_process: in process: %s\n", error.c_str());
            code = 1;
        }
        simulated.reset();
        sim::SimService::instance().reset();
        sim::SimService::instance().setRegistered(false);
    }

    // Out of process: vela-mux-sim.exe registered with the same phone, started by COM.
    Figures outOfProcess;
    char arguments[160];
    std::snprintf(arguments, sizeof arguments,
                  "/RegServer --rate %.0f --print-rate 0 --frame-size %u --block-bytes %u", rate,
                  frameSize, frameSize);
    if (runServer(arguments) != 0) {
        std::fprintf(stderr, "bench_service_process: vela-mux-sim.exe %s failed\n", arguments);
        code = 1;
    } else {
        if (!measure(seconds, outOfProcess, error)) {
            std::fprintf(stderr, "bench_service_process: out of process: %s\n", error.c_str());
            code = 1;
        }
        runServer("/UnregServer");
    }

    host::MobileMsgServer::unregister();
    plugin.unload();
    std::printf("received blocks through the component, %u-byte frames one to a block, %.0f s:\n",
                frameSize, seconds);
    print("in process", inProcess, frameSize);
    print("out of process", outOfProcess, frameSize);
    if (inProcess.lost || outOfProcess.lost)
        code = 1;
    CoUninitialize();
    return code;
}
