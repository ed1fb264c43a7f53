#include "host/PhoneSession.h"

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <system_error>

#include "framework/core/Trace.h"
#include "framework/dsrc/DataSourceInfo.h"
#include "host/CaptureWriter.h"
#include "host/DeviceList.h"
#include "host/ProbeSelection.h"
#include "session/ProbeCatalogue.h"
#include "sim/SimPhone.h"

namespace host {

namespace {

// The items of the settings tree.
void collectItems(const core::PropertyNode& node, std::vector<core::PropertyItem*>& items) {
    if (auto* item = dynamic_cast<const core::PropertyItem*>(&node)) {
        items.push_back(const_cast<core::PropertyItem*>(item));
        return;
    }
    if (auto* category = dynamic_cast<const core::PropertyCategory*>(&node))
        for (auto& child : category->getChildren())
            collectItems(*child, items);
}

bool contains(const std::vector<unsigned long>& ids, unsigned long id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

const char* channelStateText(int state) {
    return state == dsrc::CHANNEL_STATE_NONE ? "-" : dsrc::channelActiveStateName(state);
}

PhoneSession::PhoneSession(int number, core::RCPtr<equip::DeviceInfoData> device)
    : m_number(number), m_device(std::move(device)) {}

PhoneSession::~PhoneSession() {
    release();
    releaseSimulated();
}

void PhoneSession::setSimulated(std::unique_ptr<sim::SimPhone> phone,
                                std::unique_ptr<SimAtPort> atPort) {
    m_sim = std::move(phone);
    m_atPort = std::move(atPort);
}

std::string PhoneSession::port() const {
    if (!m_equipment.info)
        return {};
    auto channel = core::rcCast<equip::EquipmentChannelInfo>(
        m_equipment.info->getChannelInfo(dsrc::CHANNEL_TYPE_TVP));
    return channel ? channel->getPortName() : std::string();
}

namespace {

eqbase::ByteChannel::Dropped droppedOf(const core::RCPtr<eqbase::Channel>& channel) {
    auto* bytes = dynamic_cast<eqbase::ByteChannel*>(channel.get());
    return bytes ? bytes->getDropped() : eqbase::ByteChannel::Dropped{};
}

}  // namespace

eqbase::ByteChannel::Dropped PhoneSession::tvpDropped() const {
    return droppedOf(m_equipment.tvp);
}

eqbase::ByteChannel::Dropped PhoneSession::printDropped() const {
    return droppedOf(m_equipment.print);
}

int PhoneSession::tvpState() const {
    return m_equipment.tvp ? m_equipment.tvp->getActiveStateSnapshot() : 0;
}

int PhoneSession::printState() const {
    return m_equipment.print ? m_equipment.print->getActiveStateSnapshot() : 0;
}

void PhoneSession::setSimulated(SimulatedStart start, std::unique_ptr<SimAtPort> atPort) {
    m_simulatedStart = std::move(start);
    m_atPort = std::move(atPort);
}

CaptureInterface PhoneSession::captureInterface() const {
    CaptureInterface phone;
    const auto& d = *m_device;
    auto info = m_equipment.info ? m_equipment.info : ComponentEquipment::describe(d);
    if (info)
        if (auto channel = core::rcCast<equip::EquipmentChannelInfo>(
                info->getChannelInfo(dsrc::CHANNEL_TYPE_TVP)))
            phone.name = channel->getPortName();
    phone.description = d.product.empty() ? std::string("Vela phone") : d.product;
    if (info)
        phone.description += ", " + familyName(info->getClassIdentity());
    phone.hardware = "USB " + (d.vendorId.empty() ? std::string("????") : d.vendorId) + ':' +
                     (d.productId.empty() ? std::string("????") : d.productId);
    if (!d.vendor.empty())
        phone.hardware += ' ' + d.vendor;
    if (!d.product.empty())
        phone.hardware += " \"" + d.product + '"';
    if (!d.serialNumber.empty())
        phone.hardware += ", serial " + d.serialNumber;
    return phone;
}

bool PhoneSession::create(CaptureWriter* capture, WakeFlag& wake, FrameLimit* limit) {
    m_recorder =
        new Recorder(static_cast<std::uint8_t>(m_number), capture, numbersItsReports(), limit);
    m_observer = new HostObserver(wake);
    if (!m_equipment.create(*m_device, *m_recorder, *m_observer, m_failure))
        return false;
    if (m_simulatedStart) {
        m_sim = m_simulatedStart(m_failure);
        m_simulatedStart = nullptr;
        if (!m_sim)
            return false;
    }
    return true;
}

bool PhoneSession::bringUp(SessionWaits& waits, double timeoutSeconds) {
    if (!m_equipment.activate(m_failure))
        return false;
    core::ToggleTrace(40, "Run::bringUp phone %d (%s) activating\n", m_number + 1, port().c_str());
    const auto until = SessionWaits::Clock::now() +
                       std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
    // The channel's own timer ends an activation that gets no answer (state 4).
    const std::string channel = m_equipment.tvp->getChannelName();
    const auto wake = waits.waitFor(
        [&] {
            const int state = m_observer->state(channel);
            return state == dsrc::CHANNEL_STATE_ACTIVE || state == dsrc::CHANNEL_STATE_FAILED;
        },
        until);
    const int state = m_observer->state(channel);
    if (state == dsrc::CHANNEL_STATE_ACTIVE) {
        m_up = true;
        m_sessions = 1;
        return true;
    }
    std::ostringstream why;
    why << "the session with phone " << m_number + 1 << " (" << port() << ") ";
    if (wake == SessionWaits::Wake::Stopped) {
        m_stopped = true;
        why << waits.stopReason();
    } else {
        why << "could not come up: TVP channel " << channelStateText(state);
        if (state == dsrc::CHANNEL_STATE_FAILED)
            why << " (the phone refused or did not answer the session start)";
        else
            why << " after " << timeoutSeconds << " s";
    }
    m_failure = why.str();
    return false;
}

bool PhoneSession::applySettings(SessionWaits& waits, const SettingsRequest& request, bool again) {
    auto store = m_equipment.tvp ? m_equipment.tvp->getPropertyStore() : nullptr;
    if (!store)
        return true;
    bool allApplied = true;
    std::vector<core::PropertyItem*> items;
    collectItems(*store, items);
    std::vector<unsigned long> toApply;
    if (request.file) {
        // A file of something else matches no item of the tree.
        if (store->loadSelections(*request.file) == 0) {
            m_applied.push_back("settings file " + request.fileName +
                                ": holds no setting of the TVP channel");
            m_settingsFailed = true;
            allApplied = false;
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
    for (auto& [identity, labels] : selectionsFor(request.names)) {
        for (auto* item : items) {
            if (item->getIdentity() != identity)
                continue;
            // Values chosen before (from a settings file) stay chosen.
            std::vector<std::string> selected(labels.begin(), labels.end());
            for (auto& value : item->getValues())
                if (value.isSelected())
                    selected.push_back(value.getLabel());
            item->selectByLabel(selected);
            if (!contains(toApply, identity))
                toApply.push_back(identity);
        }
    }
    if (toApply.empty())
        return allApplied;
    unsigned long longest = 0;
    for (auto* item : items)
        if (contains(toApply, item->getIdentity()))
            longest += std::max(item->getApplyTimeout(), 1000ul);
    m_observer->forgetResults();
    for (auto identity : toApply)
        m_equipment.tvp->applyPropertyItem(identity);
    const auto wake =
        waits.waitFor([&] { return m_observer->results(toApply).size() == toApply.size(); },
                      SessionWaits::Clock::now() + std::chrono::milliseconds(longest + 2000));
    auto results = m_observer->results(toApply);
    for (auto identity : toApply) {
        const auto* item = vela::catalogue::findItem(identity);
        std::string label =
            (again ? "(again, session " + std::to_string(m_sessions) + ") " : std::string()) +
            (item ? vela::catalogue::itemLabel(*item) : std::to_string(identity));
        auto it = results.find(identity);
        if (it == results.end()) {
            const bool stopped = wake == SessionWaits::Wake::Stopped;
            m_applied.push_back(label +
                                (stopped ? ": no result (the run was stopped)" : ": no result"));
            m_stopped |= stopped;
            m_settingsFailed |= !stopped;
            allApplied = false;
        } else if (it->second == 1) {
            m_applied.push_back(label + ": applied");
        } else {
            m_applied.push_back(label + ": failed (code " + std::to_string(it->second) + ")");
            m_settingsFailed = true;
            allApplied = false;
        }
    }
    return allApplied;
}

bool PhoneSession::cameBackUp() {
    if (!m_up || !m_equipment.tvp)
        return false;
    const int activations = m_observer->activations(m_equipment.tvp->getChannelName());
    if (activations <= m_sessions ||
        m_equipment.tvp->getActiveStateSnapshot() != dsrc::CHANNEL_STATE_ACTIVE)
        return false;
    m_sessions = activations;
    return true;
}

bool PhoneSession::endedDown() {
    if (!m_up || !m_equipment.tvp)
        return false;
    const int state = m_equipment.tvp->getActiveStateSnapshot();
    if (state == dsrc::CHANNEL_STATE_ACTIVE)
        return false;
    if (m_failure.empty()) {
        std::ostringstream why;
        why << "the session with phone " << m_number + 1 << " (" << port()
            << ") went down and did not come back: TVP channel " << channelStateText(state);
        m_failure = why.str();
    }
    return true;
}

bool PhoneSession::saveSettings(const std::string& path, std::string& error) {
    auto store = m_equipment.tvp ? m_equipment.tvp->getPropertyStore() : nullptr;
    core::XMLElement element;
    errno = 0;
    if (store && store->toXMLElement(element) && element.save(path))
        return true;
    const int why = errno;
    error = why ? std::system_category().message(why) : std::string();
    return false;
}

void PhoneSession::deactivate() {
    m_equipment.deactivate();
}

void PhoneSession::release() {
    // The component's objects go before the library.
    m_equipment.release(m_recorder.get());
    m_observer.reset();
}

void PhoneSession::releaseSimulated() {
    m_sim.reset();
}

}  // namespace host
