#include "bench/session/BenchRig.h"

#include <dirent.h>
#include <malloc.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "framework/core/Bytes.h"
#include "framework/core/Property.h"
#include "host/MobileMsgServer.h"
#include "protocol/TvpLayout.h"
#include "session/ProbeCatalogue.h"
#include "sim/SimService.h"

namespace bench {

// ---- CountingRecorder ----

bool CountingRecorder::onDataSourceFrame(const dsrc::DataSourceChannelInfo* channel,
                                         const core::RCPtr<dsrc::DataSourceFrame>& frame) {
    const bool tvp = frame && channel && channel->getChannelType() == dsrc::CHANNEL_TYPE_TVP;
    bool taken = true;
    if (!m_bare)
        taken = host::Recorder::onDataSourceFrame(channel, frame);
    else if (tvp)
        countBare(*frame);
    if (taken && tvp) {
        const std::uint64_t bytes = m_tvpBytes.fetch_add(frame->getDataSourceFrameDataSize()) +
                                    frame->getDataSourceFrameDataSize();
        // Only the TVP channel's worker counts: the frame count needs no locked addition.
        m_tvpFrames.store(m_tvpFrames.load(std::memory_order_relaxed) + 1,
                          std::memory_order_release);
        if (bytes >= m_waitTarget.load()) {
            {
                std::lock_guard<std::mutex> lock(m_waitMutex);
                m_waitTarget.store(kNoTarget);
            }
            // Outside the lock, so that the woken waiter does not at once wait for this thread
            // to let go of it. A waiter not done yet sets its target again.
            m_arrived.notify_all();
        }
    }
    return taken;
}

void CountingRecorder::countBare(dsrc::DataSourceFrame& frame) {
    if (!m_decoder)
        m_decoder = tvpDecoder();
    if (m_decoder)
        m_decoder->data(&frame);
    const std::size_t length = frame.getDataSourceFrameDataSize();
    const unsigned char* bytes = frame.getDataSourceFrameData();
    if (length < vela::TvpLayout::kProbeFixedSize + 8 ||
        !vela::TvpLayout::isProbe(bytes, static_cast<std::uint32_t>(length)))
        return;
    const std::uint64_t number = core::readU8(bytes + vela::TvpLayout::kProbeFixedSize);
    if (m_seenNumber && number != m_lastNumber + 1) {
        if (number <= m_lastNumber) {
            m_repeated.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        m_lost.fetch_add(number - m_lastNumber - 1, std::memory_order_relaxed);
    }
    m_seenNumber = true;
    m_lastNumber = number;
}

std::uint64_t CountingRecorder::lostReports() const {
    return m_bare ? m_lost.load() : figures().lostReports;
}

std::uint64_t CountingRecorder::repeatedReports() const {
    return m_bare ? m_repeated.load() : figures().repeatedReports;
}

bool CountingRecorder::waitForBytes(std::uint64_t bytes, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock<std::mutex> lock(m_waitMutex);
    for (;;) {
        // The target is set before the count is read, and the recorder adds to the count
        // before it reads the target: one of the two sees the other, so no wake-up is lost.
        std::uint64_t target = m_waitTarget.load();
        while (bytes < target && !m_waitTarget.compare_exchange_weak(target, bytes)) {
        }
        if (tvpBytes() >= bytes)
            return true;
        if (m_arrived.wait_until(lock, deadline) == std::cv_status::timeout)
            return tvpBytes() >= bytes;
    }
}

// ---- RigObserver ----

void RigObserver::onChannelActiveState(eqbase::Channel& channel, int state) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_states[channel.getChannelName()] = state;
    ++m_entries[{channel.getChannelName(), state}];
    m_changed.notify_all();
}

int RigObserver::entries(const std::string& channel, int state) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries[{channel, state}];
}

bool RigObserver::waitEntries(const std::string& channel, int state, int than,
                              Clock::time_point until) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_until(lock, until, [&] { return m_entries[{channel, state}] > than; });
}

void RigObserver::onApplyResult(eqbase::Channel&, core::PropertyNode::Identity identity,
                                const core::Status& status) {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_results[identity] = status.getCode();
    m_resultTimes[identity] = now;
    m_changed.notify_all();
}

int RigObserver::waitState(const std::string& channel, int a, int b, Clock::time_point until) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_until(lock, until, [&] {
        int s = m_states[channel];
        return s == a || s == b;
    });
    return m_states[channel];
}

void RigObserver::forget(unsigned long identity) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_results.erase(identity);
}

long RigObserver::waitResult(unsigned long identity, Clock::time_point until) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_changed.wait_until(lock, until, [&] { return m_results.count(identity) > 0; }))
        return kNoResult;
    return m_results[identity];
}

// ---- Rig ----

Rig::~Rig() {
    stop();
}

bool Rig::start(const RigOptions& options, std::string& error) {
    if (!m_plugin.load(host::Plugin::defaultPath(), m_module, error))
        return false;
    m_started = true;
    host::MobileMsgServer::registerForComponent();
    for (int i = 0; i < options.phones; ++i)
        if (!addPhone(i, options, error))
            return false;
    for (auto& phone : m_phones) {
        if (!createEquipment(*phone, options.bareRecorder, error))
            return false;
        if (!bringUp(*phone, options.activateSeconds, error))
            return false;
    }
    return true;
}

bool Rig::addPhone(int index, const RigOptions& options, std::string& error) {
    auto phone = std::make_unique<RigPhone>();
    phone->number = index;
    const int port = 5 + 2 * index;
    const int atPort = port + 1;
    char name[128] = {};
    std::string atPath;
    if (::openpty(&phone->atMaster, &phone->atSlave, name, nullptr, nullptr) == 0) {
        atPath = name;
        ::setenv(("VELA_COM" + std::to_string(atPort)).c_str(), name, 1);
    }
    sim::SimPhoneOptions simOptions = options.phone;
    simOptions.name = "Vela phone (simulated) " + std::to_string(index + 1);
    simOptions.servePort = true;
    try {
        phone->sim =
            sim::SimPhone::create(sim::SimService::instance(), port, 1001 + index, simOptions);
    } catch (const std::exception& e) {
        error = std::string("cannot start a simulated phone: ") + e.what();
        return false;
    }
    RCPtr<equip::DeviceInfoData> device(new equip::DeviceInfoData());
    device->vendorId = "F1E0";
    device->productId = "D001";
    device->vendor = "Vela";
    device->product = simOptions.name;
    device->serialNumber = "SIM" + std::to_string(1001 + index);
    device->ports.push_back({"COM" + std::to_string(port), "Modem", ""});
    device->ports.push_back({"COM" + std::to_string(atPort), "Device Management", atPath});
    phone->device = device;
    m_phones.push_back(std::move(phone));
    return true;
}

bool Rig::createEquipment(RigPhone& phone, bool bareRecorder, std::string& error) {
    phone.recorder =
        new CountingRecorder(static_cast<std::uint8_t>(phone.number), true, bareRecorder);
    phone.observer = new RigObserver();
    return phone.create(*phone.device, *phone.recorder, *phone.observer, error);
}

bool Rig::bringUp(RigPhone& phone, double seconds, std::string& error) {
    if (!phone.activate(error))
        return false;
    const auto until = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    int state = phone.observer->waitState(phone.tvp->getChannelName(), dsrc::CHANNEL_STATE_ACTIVE,
                                          dsrc::CHANNEL_STATE_FAILED, until);
    if (state != dsrc::CHANNEL_STATE_ACTIVE) {
        error = "the session with phone " + std::to_string(phone.number + 1) +
                " did not come up (TVP channel state " + std::to_string(state) + ")";
        return false;
    }
    return true;
}

Clock::time_point RigObserver::resultTime(unsigned long identity) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_resultTimes[identity];
}

long Rig::apply(RigPhone& phone, unsigned long identity, bool on, ApplyTiming* timing) {
    auto store = phone.tvp->getPropertyStore();
    if (!store)
        return RigObserver::kNoResult;
    core::PropertyItem* item = nullptr;
    std::vector<const core::PropertyNode*> stack{store.get()};
    while (!stack.empty() && !item) {
        const core::PropertyNode* node = stack.back();
        stack.pop_back();
        if (auto* it = dynamic_cast<const core::PropertyItem*>(node)) {
            if (it->getIdentity() == identity)
                item = const_cast<core::PropertyItem*>(it);
        } else if (auto* category = dynamic_cast<const core::PropertyCategory*>(node)) {
            for (auto& child : category->getChildren())
                stack.push_back(child.get());
        }
    }
    if (!item)
        return RigObserver::kNoResult;
    std::vector<std::string> labels;
    if (on)
        for (auto& value : item->getValues())
            labels.push_back(value.getLabel());
    item->selectByLabel(labels);
    phone.observer->forget(identity);
    const unsigned long timeout = std::max(item->getApplyTimeout(), 1000ul) + 2000;
    const auto applied = Clock::now();
    if (!phone.tvp->applyPropertyItem(identity))
        return RigObserver::kNoResult;
    const long code =
        phone.observer->waitResult(identity, Clock::now() + std::chrono::milliseconds(timeout));
    if (timing) {
        timing->applied = applied;
        timing->answered = phone.observer->resultTime(identity);
    }
    return code;
}

unsigned long Rig::smallestProbeItem(std::size_t* values) {
    unsigned long best = 0;
    std::size_t fewest = ~std::size_t(0);
    for (const auto& item : vela::catalogue::items()) {
        // The probe groups; Phy and the system capability take other commands.
        if (item.identity == vela::catalogue::kPhy ||
            item.identity == vela::catalogue::kSystemCapability || item.count == 0)
            continue;
        if (item.count < fewest) {
            fewest = item.count;
            best = item.identity;
        }
    }
    if (values)
        *values = fewest;
    return best;
}

void Rig::stop() {
    if (!m_started)
        return;
    m_started = false;
    for (auto& phone : m_phones)
        phone->deactivate();
    for (auto& phone : m_phones) {
        phone->release(phone->recorder.get());
        phone->recorder->forgetDecoder();
        phone->observer.reset();
    }
    for (auto& phone : m_phones) {
        phone->sim.reset();
        if (phone->atSlave >= 0)
            ::close(phone->atSlave);
        if (phone->atMaster >= 0)
            ::close(phone->atMaster);
    }
    host::MobileMsgServer::unregister();
    m_plugin.unload();
}

// ---- measuring helpers ----

double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::map<int, ThreadCpu> threadCpu() {
    std::map<int, ThreadCpu> threads;
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir)
        return threads;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream in(std::string("/proc/self/task/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(in, line))
            continue;
        // pid (comm) state ... field 14 utime, 15 stime; comm may hold spaces.
        auto open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        ThreadCpu t;
        t.name = line.substr(open + 1, close - open - 1);
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14)
                utime = std::stoull(field);
            if (i == 15)
                stime = std::stoull(field);
        }
        t.seconds = static_cast<double>(utime + stime) / tick;
        threads[std::atoi(entry->d_name)] = t;
    }
    ::closedir(dir);
    return threads;
}

std::vector<std::pair<std::string, double>> cpuByName(const std::map<int, ThreadCpu>& before,
                                                      const std::map<int, ThreadCpu>& after) {
    std::map<std::string, double> sums;
    for (auto& [tid, t] : after) {
        auto it = before.find(tid);
        sums[t.name] += t.seconds - (it == before.end() ? 0.0 : it->second.seconds);
    }
    std::vector<std::pair<std::string, double>> list(sums.begin(), sums.end());
    std::sort(list.begin(), list.end(), [](auto& a, auto& b) { return a.second > b.second; });
    return list;
}

std::uint64_t heapInUseBytes() {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

int threadCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        ::closedir(dir);
    }
    return count;
}

std::uint64_t residentBytes() {
    std::ifstream in("/proc/self/statm");
    unsigned long long size = 0, resident = 0;
    in >> size >> resident;
    return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

double percentile(std::vector<double>& values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    std::size_t index = static_cast<std::size_t>(std::ceil(p / 100.0 * values.size()));
    index = std::min(values.size() - 1, index == 0 ? 0 : index - 1);
    return values[index];
}

Args::Args(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--", 0) != 0) {
            m_error = "unexpected argument '" + a + "'";
            continue;
        }
        a = a.substr(2);
        if (i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0)
            m_values[a] = argv[++i];
        else
            m_values[a] = "";
        m_used[a] = false;
    }
}

bool Args::flag(const std::string& name) {
    auto it = m_values.find(name);
    if (it == m_values.end())
        return false;
    m_used[name] = true;
    return true;
}

std::string Args::text(const std::string& name, const std::string& fallback) {
    auto it = m_values.find(name);
    if (it == m_values.end())
        return fallback;
    m_used[name] = true;
    if (it->second.empty())
        m_error = "--" + name + " needs a value";
    return it->second;
}

double Args::number(const std::string& name, double fallback) {
    auto it = m_values.find(name);
    if (it == m_values.end())
        return fallback;
    m_used[name] = true;
    char* end = nullptr;
    double value = std::strtod(it->second.c_str(), &end);
    if (it->second.empty() || *end != '\0' || !std::isfinite(value) || value < 0) {
        m_error = "--" + name + " needs a number >= 0";
        return fallback;
    }
    return value;
}

bool Args::check(std::string& error) const {
    if (!m_error.empty()) {
        error = m_error;
        return false;
    }
    for (auto& [name, used] : m_used) {
        if (!used) {
            error = "unknown option --" + name;
            return false;
        }
    }
    return true;
}

std::string machineLine() {
    std::ifstream in("/proc/cpuinfo");
    std::string line, model = "?";
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    return "machine: " + std::to_string(std::thread::hardware_concurrency()) + " cores, " + model;
}

}  // namespace bench
