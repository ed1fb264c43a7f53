#include "host/Session.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <functional>
#include <iomanip>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <system_error>

#include "framework/combase/EEInterfaces.h"
#include "framework/core/Trace.h"
#include "framework/core/XML.h"
#include "framework/eqbase/Equipment.h"
#include "host/CaptureFile.h"
#include "host/ComponentEquipment.h"
#include "host/HostPlatform.h"
#include "host/MobileMsgServer.h"
#include "host/Plugin.h"
#include "host/Recorder.h"
#include "host/UsbDevices.h"
#include "session/ProbeCatalogue.h"
#include "sim/SimPhone.h"
#include "sim/SimService.h"

namespace host {

namespace {

using core::RCPtr;
using Clock = std::chrono::steady_clock;

// The stop flag: a signal handler or another thread may raise it, the run's waits watch it.
// It stays raised, so that every later wait of the run ends at once. It is made by the first
// session while another thread may already ask for a stop, and never freed: a signal may
// come at any time.
std::atomic<WakeFlag*> g_stop{nullptr};

WakeFlag& stopFlag() {
    if (!g_stop.load()) {
        auto* flag = new WakeFlag;
        WakeFlag* expected = nullptr;
        if (!g_stop.compare_exchange_strong(expected, flag))
            delete flag;
    }
    return *g_stop.load();
}

// What the host shows of a channel: its states and the results of applied settings. Every
// change raises the wake flag.
class HostObserver : public eqbase::ChannelObserver {
  public:
    explicit HostObserver(WakeFlag& wake) : m_wake(wake) {}
    void onChannelActiveState(eqbase::Channel& channel, int state) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_states[channel.getChannelName()] = state;
            if (state == dsrc::CHANNEL_STATE_ACTIVE)
                ++m_activations[channel.getChannelName()];
        }
        m_wake.raise();
    }
    void onApplyResult(eqbase::Channel&, core::PropertyNode::Identity identity,
                       const core::Status& status) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_results[identity] = status.getCode();
        }
        m_wake.raise();
    }
    int state(const std::string& channel) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_states.find(channel);
        return it == m_states.end() ? 0 : it->second;
    }
    // How many times the channel became active.
    int activations(const std::string& channel) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_activations[channel];
    }
    // The results that came of the identities; missing ones are absent from the answer.
    std::map<unsigned long, long> results(const std::vector<unsigned long>& ids) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::map<unsigned long, long> answer;
        for (auto id : ids)
            if (m_results.count(id))
                answer[id] = m_results[id];
        return answer;
    }
    void forgetResults() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_results.clear();
    }

  private:
    WakeFlag& m_wake;
    std::mutex m_mutex;
    std::map<std::string, int> m_states;
    std::map<std::string, int> m_activations;
    std::map<unsigned long, long> m_results;
};

struct Phone : ComponentEquipment {
    int number = 0;
    RCPtr<equip::DeviceInfoData> device;
    std::unique_ptr<sim::SimPhone> sim;
    std::unique_ptr<SimAtPort> atPort;
    RCPtr<Recorder> recorder;
    RCPtr<HostObserver> observer;
    bool up = false;
    int sessions = 0;  // how many times the session came up
    std::string failure;
    std::vector<std::string> applied;  // "name: result" lines for the summary
    // When the first session was up and its settings applied (or their wait over): the
    // simulated faults are timed from here, so that a slow start-up does not move them into
    // it.
    std::optional<Clock::time_point> readyAt;
};

const char* stateName(int state) {
    switch (state) {
        case 1:
            return "inactive";
        case 2:
            return "activating";
        case 3:
            return "active";
        case 4:
            return "failed";
        case 6:
            return "deactivating";
        case 7:
            return "deactivated";
        default:
            return "-";
    }
}

std::string tvpPortOf(const equip::EquipmentInfo& info) {
    auto channel =
        core::rcCast<equip::EquipmentChannelInfo>(info.getChannelInfo(dsrc::CHANNEL_TYPE_TVP));
    return channel ? channel->getPortName() : std::string();
}

// The items of the settings tree, by identity.
void collectItems(const core::PropertyNode& node, std::vector<core::PropertyItem*>& items) {
    if (auto* item = dynamic_cast<const core::PropertyItem*>(&node)) {
        items.push_back(const_cast<core::PropertyItem*>(item));
        return;
    }
    if (auto* category = dynamic_cast<const core::PropertyCategory*>(&node))
        for (auto& child : category->getChildren())
            collectItems(*child, items);
}

// Which values of which items the names select: a whole item by its label, or one value by
// its name (in the first item that has it).
std::map<unsigned long, std::set<std::string>> selectionsFor(
    const std::vector<std::string>& names) {
    std::map<unsigned long, std::set<std::string>> chosen;
    for (const auto& name : names) {
        bool found = false;
        for (const auto& item : vela::catalogue::items()) {
            if (vela::catalogue::itemLabel(item) == name) {
                for (std::size_t i = 0; i < item.count; ++i)
                    chosen[item.identity].insert(item.values[i].name);
                found = true;
                break;
            }
        }
        for (const auto& item : vela::catalogue::items()) {
            if (found)
                break;
            for (std::size_t i = 0; i < item.count && !found; ++i) {
                if (name == item.values[i].name) {
                    chosen[item.identity].insert(name);
                    found = true;
                }
            }
        }
    }
    return chosen;
}

class Run {
  public:
    Run(const Options& options, std::ostream& out, std::ostream& status, bool terminal)
        : m_options(options), m_out(out), m_status(status), m_terminal(terminal) {}

    int run();

  private:
    enum class Wake { Ready, Timeout, Stopped };
    // Waits until ready() holds (never, when empty), the time passes, or the run is stopped
    // (a signal, or a failure of the recording); flushes the capture file when it is due
    // meanwhile.
    Wake waitFor(const std::function<bool()>& ready, Clock::time_point until);
    bool stopped();
    // Why a phone that was stopped on its way up did not come up.
    std::string stopReason() const;
    void reportCaptureFailure();
    bool findPhones(std::string& error);
    bool addSimulatedPhone(int index, std::string& error);
    bool createEquipment(Phone& phone, std::string& error);
    void bringUp(Phone& phone);
    void applySettings(Phone& phone, bool again = false);
    void loop();
    void showStatus(double elapsed, bool final);
    void saveSettings();
    void tearDown();
    void summary(double elapsed);

    const Options& m_options;
    std::ostream& m_out;
    std::ostream& m_status;
    const bool m_terminal;
    WakeFlag m_wake;              // raised when something the run's waits wait for changed
    core::XMLElement m_settings;  // the --settings file
    bool m_interrupted = false;
    bool m_captureFailureReported = false;
    bool m_noAtPortReported = false;
    ATL::CAtlModule m_module;
    Plugin m_plugin;
    CaptureWriter m_capture;
    std::vector<std::unique_ptr<Phone>> m_phones;
    bool m_applyFailed = false;
    int m_serviceKills = 0;  // --kill-service-after
    // --report-memory: the private memory and the frames received so far, after the warm-up
    // and at the end.
    struct MemorySample {
        std::uint64_t bytes = 0;
        std::uint64_t frames = 0;
    };
    std::optional<MemorySample> m_memoryBefore, m_memoryAfter;
    MemorySample sampleMemory();
    // Frames of every phone's TVP and print-server channels so far.
    std::uint64_t receivedFrames();
    std::uint64_t m_lastFrames = 0, m_lastBytes = 0;
    double m_lastElapsed = 0;
};

int Run::run() {
    std::string error;
    if (!m_options.probes.empty() && !checkSettingNames(m_options.probes, error)) {
        m_status << "vela-host: " << error << '\n';
        return 2;
    }
    // A settings file that cannot be read fails the run before it starts.
    if (!m_options.settingsFile.empty() &&
        !core::XMLElement::load(m_options.settingsFile, m_settings, &error)) {
        m_status << "vela-host: cannot read the settings: " << error << '\n';
        return 1;
    }
    if (m_options.trace)
        core::ToggleTrace::setActive(true);
    const std::string path =
        m_options.pluginPath.empty() ? Plugin::defaultPath() : m_options.pluginPath;
    if (!m_plugin.load(path, m_module, error)) {
        m_status << "vela-host: " << error << '\n';
        return 1;
    }
    MobileMsgServer::registerForComponent();
    // The phones first: without one there is nothing to record, and no file is made.
    if (!findPhones(error)) {
        m_status << "vela-host: " << error << '\n';
        tearDown();
        return 1;
    }
    if (!m_options.recordFile.empty()) {
        if (!m_capture.open(m_options.recordFile, &error)) {
            m_status << "vela-host: cannot record: " << error << '\n';
            tearDown();
            return 1;
        }
        m_capture.setFailureHandler([this] { m_wake.raise(); });
    }
    for (auto& phone : m_phones) {
        if (!createEquipment(*phone, error)) {
            phone->failure = error;
            continue;
        }
        bringUp(*phone);
    }
    for (auto& phone : m_phones) {
        if (!phone->up)
            continue;
        applySettings(*phone);
        phone->readyAt = Clock::now();
    }
    const auto start = Clock::now();
    bool anyUp = false;
    for (auto& phone : m_phones)
        anyUp |= phone->up;
    if (anyUp)
        loop();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    saveSettings();
    // Figures are taken once the channels are down, so that they include every frame.
    for (auto& phone : m_phones)
        phone->deactivate();
    // No frame comes any more: the file is complete, or its failure known, before the summary.
    m_capture.close();
    if (m_capture.failed())
        reportCaptureFailure();
    if (m_terminal)
        m_status << '\n';
    summary(elapsed);
    tearDown();
    int code = m_capture.failed() ? 1 : 0;
    for (auto& phone : m_phones)
        if (!phone->up)
            code = 1;
    if (m_applyFailed)
        code = 1;
    return code;
}

Run::Wake Run::waitFor(const std::function<bool()>& ready, Clock::time_point until) {
    for (;;) {
        m_capture.flushIfDue();
        if (stopped())
            return Wake::Stopped;
        if (ready && ready())
            return Wake::Ready;
        const auto now = Clock::now();
        if (now >= until)
            return Wake::Timeout;
        const auto next = std::min(until, m_capture.nextFlushDue());
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
        waitForFlags(stopFlag(), m_wake, ms + 1);
        m_wake.clear();
    }
}

bool Run::stopped() {
    if (m_capture.failed()) {
        reportCaptureFailure();
        return true;
    }
    if (!m_interrupted && stopFlag().isRaised())
        m_interrupted = true;
    return m_interrupted;
}

std::string Run::stopReason() const {
    return m_interrupted ? "was interrupted before it came up"
                         : "was stopped before it came up: the recording failed";
}

void Run::reportCaptureFailure() {
    if (m_captureFailureReported)
        return;
    m_captureFailureReported = true;
    m_status << (m_terminal ? "\r\033[K" : "") << "vela-host: recording to " << m_options.recordFile
             << " failed after " << m_capture.getFailedAfterCount()
             << " frames: " << m_capture.failure() << '\n'
             << std::flush;
}

bool Run::findPhones(std::string& error) {
    if (m_options.simPhones > 0) {
        for (int i = 0; i < m_options.simPhones; ++i)
            if (!addSimulatedPhone(i, error))
                return false;
        return true;
    }
    // Only the phones that are there: a measurement records made-up data only when asked to.
    const UsbScan scan = scanUsbSerialDevices();
    if (!scan.error.empty()) {
        error =
            "cannot look for phones on USB: " + scan.error + " (use --sim for a simulated phone)";
        return false;
    }
    // A device is a phone when the detector that knows it describes it with a TVP channel.
    for (auto& device : scan.devices) {
        auto info = ComponentEquipment::describe(*device);
        if (!info || !info->getChannelInfo(dsrc::CHANNEL_TYPE_TVP))
            continue;
        auto phone = std::make_unique<Phone>();
        phone->number = static_cast<int>(m_phones.size());
        phone->device = device;
        m_phones.push_back(std::move(phone));
    }
    if (m_phones.empty()) {
        error = "no Vela phone found on USB (use --sim for a simulated phone)";
        if (!scan.devices.empty())
            error += "\nvela-host: " + std::to_string(scan.devices.size()) +
                     " USB serial device(s) found, none of them a Vela phone (vela-host devices "
                     "lists them)";
        return false;
    }
    return true;
}

bool Run::addSimulatedPhone(int index, std::string& error) {
    auto phone = std::make_unique<Phone>();
    phone->number = static_cast<int>(m_phones.size());
    const int port = 5 + 2 * index;
    const int atPort = port + 1;
    if (m_options.simServer) {
        // The phone runs in the service's process, which the component reaches through COM;
        // it has no AT port here.
        if (!m_noAtPortReported)
            m_out << "The simulated phones run in the simulated service's own process "
                     "(vela-mux-sim): their sessions run without the AT channel.\n";
        m_noAtPortReported = true;
        RCPtr<equip::DeviceInfoData> device(new equip::DeviceInfoData());
        device->vendorId = "F1E0";
        device->productId = "D001";
        device->vendor = "Vela";
        device->product = "Vela phone (simulated) " + std::to_string(index + 1);
        device->serialNumber = "SIM" + std::to_string(1001 + index);
        device->ports.push_back({"COM" + std::to_string(port), "Modem", ""});
        phone->device = device;
        m_phones.push_back(std::move(phone));
        return true;
    }
    // The AT port, reached as COM<atPort>. Without one the phone has no AT channel; its TVP
    // and print-server channels, and so the recording, do not need it.
    phone->atPort = std::make_unique<SimAtPort>();
    std::string noAtPort;
    if (!phone->atPort->open(atPort, noAtPort)) {
        phone->atPort.reset();
        if (!m_noAtPortReported)
            m_out << "The simulated phone has no AT port (" << noAtPort
                  << "): its session runs without the AT channel.\n";
        m_noAtPortReported = true;
    }
    sim::SimPhoneOptions options;
    options.name = "Vela phone (simulated) " + std::to_string(index + 1);
    options.probeRate = m_options.probeRate;
    options.printRate = m_options.printRate;
    options.frameSize = m_options.frameSize;
    options.blockBytes = m_options.blockBytes;
    try {
        phone->sim =
            sim::SimPhone::create(sim::SimService::instance(), port, 1001 + index, options);
    } catch (const std::exception& e) {
        error = std::string("cannot start a simulated phone: ") + e.what();
        return false;
    }
    if (index == 0) {
        for (const auto& fault : m_options.faults) {
            if (fault == "nack-start")
                phone->sim->failCommand(7);
            if (fault == "no-ack-start")
                phone->sim->dropNextAcks(1);
            if (fault == "nack-probes")
                phone->sim->failCommand(1);
            if (fault == "split")
                phone->sim->setRandomSplit(1, 64);
        }
    }
    RCPtr<equip::DeviceInfoData> device(new equip::DeviceInfoData());
    device->vendorId = "F1E0";
    device->productId = "D001";
    device->vendor = "Vela";
    device->product = options.name;
    device->serialNumber = "SIM" + std::to_string(1001 + index);
    device->ports.push_back({"COM" + std::to_string(port), "Modem", ""});
    if (phone->atPort)
        device->ports.push_back(
            {"COM" + std::to_string(atPort), "Device Management", phone->atPort->path()});
    phone->device = device;
    m_phones.push_back(std::move(phone));
    return true;
}

bool Run::createEquipment(Phone& phone, std::string& error) {
    // The running numbers of the simulated phones' reports are checked, wherever they run.
    const bool simulated = phone.sim != nullptr || m_options.simServer;
    phone.recorder = new Recorder(static_cast<std::uint8_t>(phone.number),
                                  m_capture.isOpen() ? &m_capture : nullptr, simulated);
    phone.observer = new HostObserver(m_wake);
    return phone.create(*phone.device, *phone.recorder, *phone.observer, error);
}

void Run::bringUp(Phone& phone) {
    if (!phone.activate(phone.failure))
        return;
    core::ToggleTrace(40, "Run::bringUp phone %d (%s) activating\n", phone.number + 1,
                      tvpPortOf(*phone.info).c_str());
    const auto until = Clock::now() + std::chrono::milliseconds(
                                          static_cast<long>(m_options.activateTimeout * 1000));
    // The channel's own timer ends an activation that gets no answer (state 4).
    const std::string channel = phone.tvp->getChannelName();
    const Wake wake = waitFor(
        [&] {
            const int state = phone.observer->state(channel);
            return state == dsrc::CHANNEL_STATE_ACTIVE || state == dsrc::CHANNEL_STATE_FAILED;
        },
        until);
    const int state = phone.observer->state(channel);
    if (state == dsrc::CHANNEL_STATE_ACTIVE) {
        phone.up = true;
        phone.sessions = 1;
        return;
    }
    std::ostringstream why;
    why << "the session with phone " << phone.number + 1 << " (" << tvpPortOf(*phone.info) << ") ";
    if (wake == Wake::Stopped) {
        why << stopReason();
        phone.failure = why.str();
        return;
    }
    why << "could not come up: TVP channel " << stateName(state);
    if (state == dsrc::CHANNEL_STATE_FAILED)
        why << " (the phone refused or did not answer the session start)";
    else
        why << " after " << m_options.activateTimeout << " s";
    phone.failure = why.str();
}

void Run::applySettings(Phone& phone, bool again) {
    auto store = phone.tvp->getPropertyStore();
    if (!store)
        return;
    std::vector<core::PropertyItem*> items;
    collectItems(*store, items);
    std::vector<unsigned long> toApply;
    if (!m_options.settingsFile.empty()) {
        // A file of something else matches no item of the tree.
        if (store->loadSelections(m_settings) == 0) {
            phone.applied.push_back("settings file " + m_options.settingsFile +
                                    ": holds no setting of the TVP channel");
            m_applyFailed = true;
        } else {
            for (auto* item : items) {
                bool any = false;
                for (auto& value : item->getValues())
                    any |= value.isSelected();
                if (any)
                    toApply.push_back(item->getIdentity());
            }
        }
    }
    for (auto& [identity, labels] : selectionsFor(m_options.probes)) {
        for (auto* item : items) {
            if (item->getIdentity() != identity)
                continue;
            // Values chosen before (from a settings file) stay chosen.
            std::vector<std::string> selected(labels.begin(), labels.end());
            for (auto& value : item->getValues())
                if (value.isSelected())
                    selected.push_back(value.getLabel());
            item->selectByLabel(selected);
            if (std::find(toApply.begin(), toApply.end(), identity) == toApply.end())
                toApply.push_back(identity);
        }
    }
    if (toApply.empty())
        return;
    unsigned long longest = 0;
    for (auto* item : items)
        if (std::find(toApply.begin(), toApply.end(), item->getIdentity()) != toApply.end())
            longest += std::max(item->getApplyTimeout(), 1000ul);
    phone.observer->forgetResults();
    for (auto identity : toApply)
        phone.tvp->applyPropertyItem(identity);
    const Wake wake =
        waitFor([&] { return phone.observer->results(toApply).size() == toApply.size(); },
                Clock::now() + std::chrono::milliseconds(longest + 2000));
    auto results = phone.observer->results(toApply);
    for (auto identity : toApply) {
        const auto* item = vela::catalogue::findItem(identity);
        std::string label =
            (again ? "(again, session " + std::to_string(phone.sessions) + ") " : std::string()) +
            (item ? vela::catalogue::itemLabel(*item) : std::to_string(identity));
        auto it = results.find(identity);
        if (it == results.end()) {
            phone.applied.push_back(label + (wake == Wake::Stopped
                                                 ? ": no result (the run was stopped)"
                                                 : ": no result"));
            m_applyFailed = true;
        } else if (it->second == 1) {
            phone.applied.push_back(label + ": applied");
        } else {
            phone.applied.push_back(label + ": failed (code " + std::to_string(it->second) + ")");
            m_applyFailed = true;
        }
    }
}

void Run::loop() {
    const auto start = Clock::now();
    const bool timed = m_options.durationSeconds > 0;
    const bool sendError = std::find(m_options.faults.begin(), m_options.faults.end(),
                                     "error-frame") != m_options.faults.end();
    // The first simulated phone's faults, timed from the moment its session was up and its
    // settings applied; its coming back from the moment it left.
    using Seconds = std::chrono::duration<double>;
    auto after = [](Clock::time_point from, double seconds) {
        return from + std::chrono::duration_cast<Clock::duration>(Seconds(seconds));
    };
    Phone* first = m_phones.empty() ? nullptr : m_phones[0].get();
    const bool simulated = first && first->sim && first->readyAt;
    std::optional<Clock::time_point> disconnectAt, reconnectAt, errorAt, killAt, memoryAt;
    const bool killing = m_options.simServer && m_options.killServiceAfter > 0;
    if (killing && first && first->readyAt)
        killAt = after(*first->readyAt, m_options.killServiceAfter);
    // The memory after two seconds of traffic: what the session keeps for good is allocated
    // by then.
    if (m_options.reportMemory)
        memoryAt = after(first && first->readyAt ? *first->readyAt : start, 2.0);
    if (simulated && m_options.disconnectAfter > 0)
        disconnectAt = after(*first->readyAt, m_options.disconnectAfter);
    if (simulated && sendError)
        errorAt = after(*first->readyAt, 0.5);
    for (;;) {
        const auto now = Clock::now();
        const double elapsed = Seconds(now - start).count();
        if (timed && elapsed >= m_options.durationSeconds)
            break;
        if (m_options.untilFrames > 0 && receivedFrames() >= m_options.untilFrames)
            break;
        if (disconnectAt && now >= *disconnectAt) {
            first->sim->disconnect();
            disconnectAt.reset();
            if (m_options.reconnectAfter > 0)
                reconnectAt = after(Clock::now(), m_options.reconnectAfter);
        }
        if (reconnectAt && now >= *reconnectAt) {
            first->sim->reconnect();
            reconnectAt.reset();
        }
        if (errorAt && now >= *errorAt) {
            first->sim->sendErrorFrame({0xDE, 0xAD, 0xBE, 0xEF});
            errorAt.reset();
        }
        if (killAt && now >= *killAt) {
            const int ended = killProcesses("vela-mux-sim.exe");
            core::ToggleTrace(40, "Run::loop killed %d vela-mux-sim processes\n", ended);
            if (ended > 0)
                ++m_serviceKills;
            killAt.reset();
        }
        if (memoryAt && now >= *memoryAt) {
            m_memoryBefore = sampleMemory();
            memoryAt.reset();
        }
        // A phone whose session went away and came back (a phone that restarted has forgotten
        // its probes) gets the settings again.
        for (auto& phone : m_phones) {
            if (!phone->up || !phone->tvp)
                continue;
            const int activations = phone->observer->activations(phone->tvp->getChannelName());
            if (activations > phone->sessions &&
                phone->tvp->getActiveStateSnapshot() == dsrc::CHANNEL_STATE_ACTIVE) {
                phone->sessions = activations;
                applySettings(*phone, true);
                // The service's process is killed again once the session is back.
                if (killing && phone.get() == first && !killAt)
                    killAt = after(Clock::now(), m_options.killServiceAfter);
            }
        }
        showStatus(elapsed, false);
        // Up to the next thing due: the status line, the end of the run or a fault.
        auto wake = after(Clock::now(), 0.5);
        if (timed)
            wake = std::min(wake, after(start, m_options.durationSeconds));
        for (const auto& due : {disconnectAt, reconnectAt, errorAt, killAt, memoryAt})
            if (due)
                wake = std::min(wake, *due);
        if (waitFor({}, wake + std::chrono::milliseconds(1)) == Wake::Stopped)
            break;
    }
    if (m_memoryBefore)
        m_memoryAfter = sampleMemory();
}

std::uint64_t Run::receivedFrames() {
    std::uint64_t frames = 0;
    for (auto& phone : m_phones) {
        if (!phone->recorder)
            continue;
        auto f = phone->recorder->figures();
        frames += f.tvpFrames + f.printFrames;
    }
    return frames;
}

Run::MemorySample Run::sampleMemory() {
    MemorySample sample;
    sample.bytes = privateMemoryBytes();
    sample.frames = receivedFrames();
    return sample;
}

// What a channel's stream lost because the component could not keep up with it (zero for a
// channel that does not count it).
eqbase::ByteChannel::Dropped droppedOf(const core::RCPtr<eqbase::Channel>& channel) {
    auto* bytes = dynamic_cast<eqbase::ByteChannel*>(channel.get());
    return bytes ? bytes->getDropped() : eqbase::ByteChannel::Dropped{};
}

void Run::showStatus(double elapsed, bool final) {
    if (!m_terminal && !final)
        return;
    std::uint64_t frames = 0, bytes = 0, lost = 0, errors = 0, lines = 0, dropped = 0;
    std::ostringstream states;
    for (auto& phone : m_phones) {
        if (!phone->recorder)
            continue;
        for (const auto* channel : {&phone->tvp, &phone->print}) {
            auto d = droppedOf(*channel);
            dropped += d.blocks + d.frames;
        }
        auto f = phone->recorder->figures();
        frames += f.tvpFrames + f.printFrames;
        bytes += f.tvpBytes + f.printBytes;
        lost += f.lostReports;
        errors += f.errorFrames;
        lines += f.printLines;
        if (m_phones.size() <= 2 && phone->tvp)
            states << " TVP " << stateName(phone->tvp->getActiveStateSnapshot()) << " PS "
                   << (phone->print ? stateName(phone->print->getActiveStateSnapshot()) : "-");
    }
    const double span = elapsed - m_lastElapsed;
    const double fps = span > 0 ? (frames - m_lastFrames) / span : 0;
    const double kbps = span > 0 ? (bytes - m_lastBytes) / span / 1024 : 0;
    m_lastFrames = frames;
    m_lastBytes = bytes;
    m_lastElapsed = elapsed;
    std::ostringstream line;
    line << std::fixed << std::setprecision(1) << '[' << elapsed << " s]" << states.str() << " | "
         << frames << " frames, " << std::setprecision(0) << fps << " frames/s, "
         << std::setprecision(1) << kbps << " KiB/s | " << lines << " print lines | lost " << lost
         << " errors " << errors;
    if (dropped)
        line << " dropped " << dropped;
    if (m_phones.size() == 1 && m_phones[0]->recorder) {
        auto f = m_phones[0]->recorder->figures();
        int shown = 0;
        for (auto& [id, count] : f.probeFrames) {
            if (shown++ == 3) {
                line << " ...";
                break;
            }
            line << " | 0x" << std::hex << std::uppercase << id << std::dec << ' ' << count;
        }
    }
    std::string text = line.str();
    if (text.size() > 160)
        text.resize(160);
    m_status << "\r\033[K" << text << std::flush;
}

void Run::saveSettings() {
    if (m_options.saveSettingsFile.empty())
        return;
    for (auto& phone : m_phones) {
        if (!phone->tvp)
            continue;
        auto store = phone->tvp->getPropertyStore();
        core::XMLElement element;
        errno = 0;
        if (!store || !store->toXMLElement(element) || !element.save(m_options.saveSettingsFile)) {
            const int why = errno;
            m_status << "vela-host: cannot save the settings to " << m_options.saveSettingsFile
                     << (why ? ": " + std::system_category().message(why) : std::string()) << '\n';
            m_applyFailed = true;
        }
        return;  // the settings of the first phone
    }
}

void Run::summary(double elapsed) {
    m_out << "Session summary (" << std::fixed << std::setprecision(1) << elapsed << " s)\n";
    for (auto& phone : m_phones) {
        m_out << "phone " << phone->number + 1 << ": "
              << (phone->device ? phone->device->product : std::string("?"));
        if (phone->info)
            m_out << " on " << tvpPortOf(*phone->info);
        m_out << '\n';
        if (!phone->failure.empty())
            m_out << "  FAILED: " << phone->failure << '\n';
        if (phone->sessions > 1)
            m_out << "  the session came up " << phone->sessions << " times\n";
        for (auto& line : phone->applied)
            m_out << "  setting " << line << '\n';
        if (!phone->recorder)
            continue;
        auto f = phone->recorder->figures();
        m_out << "  TVP frames " << f.tvpFrames << " (" << f.tvpBytes << " bytes), error frames "
              << f.errorFrames << ", other " << f.otherFrames << '\n';
        for (auto& [id, count] : f.probeFrames) {
            const char* name = vela::catalogue::probeName(id);
            m_out << "    probe 0x" << std::hex << std::uppercase << std::setw(4)
                  << std::setfill('0') << id << std::dec << std::setfill(' ') << ' '
                  << (name ? name : "(not in the catalogue)") << ": " << count << '\n';
        }
        m_out << "  print-server frames " << f.printFrames << " (" << f.printBytes
              << " bytes), lines " << f.printLines;
        if (!f.lastPrintLine.empty())
            m_out << ", last \"" << f.lastPrintLine << '"';
        m_out << '\n';
        // Counted by the component where the phone sent more than it could take.
        const auto tvpDropped = droppedOf(phone->tvp);
        const auto printDropped = droppedOf(phone->print);
        m_out << "  dropped while the component was behind: TVP " << tvpDropped.blocks
              << " blocks (" << tvpDropped.bytes << " bytes) and " << tvpDropped.frames
              << " reports, print server " << printDropped.blocks << " blocks ("
              << printDropped.bytes << " bytes)\n";
        if (phone->sim) {
            auto s = phone->sim->counters();
            m_out << "  the simulated phone sent " << s.probeFrames << " probe frames, "
                  << s.printLines << " print lines, " << s.acks << " acknowledgements\n";
        }
        if (phone->sim || m_options.simServer)
            m_out << "  reports lost " << f.lostReports << ", repeated " << f.repeatedReports
                  << ", phone restarts " << f.restarts << '\n';
    }
    if (m_options.killServiceAfter > 0)
        m_out << "the simulated service's process was killed " << m_serviceKills << " times\n";
    if (m_memoryBefore && m_memoryAfter) {
        const auto kib = [](std::uint64_t bytes) { return static_cast<long long>(bytes / 1024); };
        m_out << "memory: " << kib(m_memoryBefore->bytes) << " KiB private after the warm-up, "
              << kib(m_memoryAfter->bytes) << " KiB at the end: growth "
              << kib(m_memoryAfter->bytes) - kib(m_memoryBefore->bytes) << " KiB over "
              << m_memoryAfter->frames - m_memoryBefore->frames << " frames\n";
    }
    if (!m_options.recordFile.empty()) {
        m_out << "recorded " << m_capture.getRecordCount() << " frames to " << m_options.recordFile;
        if (m_capture.failed())
            m_out << " (of " << m_capture.getOfferedCount()
                  << " frames; the recording failed: " << m_capture.failure() << ')';
        m_out << '\n';
    }
    for (auto& phone : m_phones)
        if (!phone->failure.empty())
            m_out << "vela-host: " << phone->failure << '\n';
}

void Run::tearDown() {
    for (auto& phone : m_phones) {
        // The component's objects go before the library.
        phone->release(phone->recorder.get());
        phone->observer.reset();
    }
    for (auto& phone : m_phones)
        phone->sim.reset();
    m_capture.close();
    MobileMsgServer::unregister();
    m_plugin.unload();
}

}  // namespace

void requestStop() {
    if (WakeFlag* flag = g_stop.load())
        flag->raise();
}

int runSession(const Options& options, std::ostream& out, std::ostream& status,
               bool statusIsTerminal) {
    stopFlag().clear();
    Run run(options, out, status, statusIsTerminal);
    return run.run();
}

void listSettings(std::ostream& out) {
    for (const auto& item : vela::catalogue::items()) {
        out << vela::catalogue::itemLabel(item) << '\n';
        for (std::size_t i = 0; i < item.count; ++i)
            out << "    " << item.values[i].name << '\n';
    }
}

bool checkSettingNames(const std::vector<std::string>& names, std::string& error) {
    auto chosen = selectionsFor(names);
    for (const auto& name : names) {
        bool found = false;
        for (auto& [identity, labels] : chosen) {
            const auto* item = vela::catalogue::findItem(identity);
            found |= labels.count(name) > 0 || (item && vela::catalogue::itemLabel(*item) == name);
        }
        if (!found) {
            error = "unknown setting '" + name + "' (vela-host probes lists the settings)";
            return false;
        }
    }
    return true;
}

}  // namespace host
