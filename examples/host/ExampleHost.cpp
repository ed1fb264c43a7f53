// A host of the Vela component in one page, built against the installed package:
//
//   vela_example_host [PLUGIN] [SECONDS]
//
// It starts a simulated phone on COM5, loads the plug-in (by default the installed one) with
// platform::loadLibrary (dlopen on Linux, LoadLibrary on Windows), calls both entry points, lists
// the detectors the plug-in registered and what they make of the phone, creates the component's
// data source and equipment, brings up the TVP and print-server channels, switches on the probes of
// "GSM Mode Reports", counts the frames that arrive for SECONDS (default 2), then takes it all down
// and unloads the plug-in. Exit code 0 when the session came up and frames of both channels
// arrived.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "equipment/Component.h"
#include "equipment/VelaGuids.h"
#include "framework/combase/EEInterfaces.h"
#include "framework/eqbase/Equipment.h"
#include "framework/eqbase/EquipmentDetector.h"
#include "framework/equip/EquipmentInfo.h"
#include "platform/com/AtlBase.h"
#include "platform/com/ClassRegistry.h"
#include "platform/win32/Library.h"
#include "sim/SimPhone.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string guidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

// The host's end of the data source: counts the frames of each channel type. Called on the
// channels' workers.
class FrameCounter : public dsrc::DataSourceSink {
  public:
    bool onDataSourceFrame(const dsrc::DataSourceChannelInfo* channel,
                           const core::RCPtr<dsrc::DataSourceFrame>&) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_frames[channel ? channel->getChannelType() : 0];
        return true;
    }
    std::uint64_t frames(int channelType) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames[channelType];
    }

  private:
    std::mutex m_mutex;
    std::map<int, std::uint64_t> m_frames;
};

// Channel states and apply results as the equipment reports them, with waits for them.
class StateWatch : public eqbase::ChannelObserver {
  public:
    void onChannelActiveState(eqbase::Channel& channel, int state) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_states[channel.getChannelName()] = state;
        m_changed.notify_all();
    }
    void onApplyResult(eqbase::Channel&, core::PropertyNode::Identity identity,
                       const core::Status& status) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_results[identity] = status.getCode();
        m_changed.notify_all();
    }
    // The channel's state once it is active or has failed, or its state at the deadline.
    int waitSettled(const std::string& channel, Clock::duration timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, timeout, [&] {
            return m_states[channel] == dsrc::CHANNEL_STATE_ACTIVE ||
                   m_states[channel] == dsrc::CHANNEL_STATE_FAILED;
        });
        return m_states[channel];
    }
    // The apply result's code (1 succeeded, -1 failed), or 0 when none came in time.
    long waitResult(core::PropertyNode::Identity identity, Clock::duration timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, timeout, [&] { return m_results.count(identity) > 0; });
        return m_results.count(identity) ? m_results[identity] : 0;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, int> m_states;
    std::map<core::PropertyNode::Identity, long> m_results;
};

// The setting of a channel's tree with that description, or null.
core::PropertyItem* findSetting(const core::PropertyNode& node, const std::string& description) {
    if (auto* item = dynamic_cast<const core::PropertyItem*>(&node))
        return item->getDescription() == description ? const_cast<core::PropertyItem*>(item)
                                                     : nullptr;
    if (auto* category = dynamic_cast<const core::PropertyCategory*>(&node))
        for (auto& child : category->getChildren())
            if (auto* item = findSetting(*child, description))
                return item;
    return nullptr;
}

// The component's objects for the phone, made through the registries the plug-in filled.
struct Equipment {
    CComPtr<IEEDataSource> dataSource;
    CComPtr<IEEEquipment> equipment;
    core::RCPtr<eqbase::Equipment> framework;

    bool create(const core::RCPtr<equip::EquipmentInfo>& info, FrameCounter& sink,
                StateWatch& watch) {
        std::string className;
        if (!dsrc::CLSIDToDataSource::instance().find(vela::CLSID_VelaComponent, className))
            return false;
        std::unique_ptr<core::Object> made(core::Object::createObject(className));
        auto* creator = dynamic_cast<core::CreatorClass*>(made.get());
        IUnknown* unknown = nullptr;
        if (!creator || !creator->create(&unknown) || !unknown)
            return false;
        dataSource = CComQIPtr<IEEDataSource>(unknown);
        unknown->Release();
        if (!dataSource)
            return false;
        dataSource->SetDataSourceSink(&sink);
        dataSource->SetDataSourceInfo(info.get());
        if (FAILED(dataSource->CreateEquipments(info.get())) ||
            FAILED(dataSource->GetEquipment(0, &equipment)) || !equipment)
            return false;
        equipment->SetChannelObserver(&watch);
        core::RCObject* object = nullptr;
        if (SUCCEEDED(equipment->GetEquipment(&object)) && object) {
            framework = core::rcCast<eqbase::Equipment>(object);
            object->release();
        }
        return framework != nullptr;
    }
    core::RCPtr<eqbase::Channel> channel(int type) {
        for (auto& [channelInfo, channel] : framework->listChannels())
            if (channelInfo->getChannelType() == type)
                return channel;
        return {};
    }
    void release() {
        framework.reset();
        equipment.Release();
        if (dataSource)
            dataSource->ReleaseEquipments();
        dataSource.Release();
    }
};

int session(const core::RCPtr<equip::EquipmentInfo>& info, double seconds) {
    core::RCPtr<FrameCounter> sink(new FrameCounter());
    core::RCPtr<StateWatch> watch(new StateWatch());
    Equipment component;
    if (!component.create(info, *sink, *watch)) {
        std::cout << "the component's data source or equipment could not be made\n";
        component.release();
        return 1;
    }
    auto tvp = component.channel(dsrc::CHANNEL_TYPE_TVP);
    auto print = component.channel(dsrc::CHANNEL_TYPE_PRINT_SERVER);
    const GUID tvpGuid = info->getChannelInfo(dsrc::CHANNEL_TYPE_TVP)->getChannelGuid();
    const GUID printGuid = info->getChannelInfo(dsrc::CHANNEL_TYPE_PRINT_SERVER)->getChannelGuid();
    VARIANT_BOOL accepted = VARIANT_FALSE;
    component.equipment->ActivateChannel(tvpGuid, &accepted);
    component.equipment->ActivateChannel(printGuid, &accepted);
    const int state = watch->waitSettled(tvp->getChannelName(), std::chrono::seconds(15));
    std::cout << "TVP channel: " << dsrc::channelActiveStateName(state) << '\n';
    int code = state == dsrc::CHANNEL_STATE_ACTIVE ? 0 : 1;
    if (code == 0) {
        if (auto* item = findSetting(*tvp->getPropertyStore(), "GSM Mode Reports")) {
            std::vector<std::string> labels;
            for (auto& value : item->getValues())
                labels.push_back(value.getLabel());
            item->selectByLabel(labels);
            tvp->applyPropertyItem(item->getIdentity());
            const long result = watch->waitResult(item->getIdentity(), std::chrono::seconds(15));
            std::cout << "setting \"" << item->getDescription() << "\" (" << labels.size()
                      << " probes): " << (result == 1 ? "applied" : "not applied") << '\n';
            if (result != 1)
                code = 1;
        }
        // The session runs: report frames stream in on the channels' workers.
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    component.equipment->DeactivateChannel(tvpGuid);
    component.equipment->DeactivateChannel(printGuid);
    const auto tvpFrames = sink->frames(dsrc::CHANNEL_TYPE_TVP);
    const auto printFrames = sink->frames(dsrc::CHANNEL_TYPE_PRINT_SERVER);
    std::cout << "frames: " << tvpFrames << " TVP, " << printFrames << " print server\n";
    if (code == 0 && (tvpFrames == 0 || printFrames == 0))
        code = 1;
    tvp.reset();
    print.reset();
    component.release();
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : VELA_EXAMPLE_PLUGIN;
    const double seconds = argc > 2 ? std::stod(argv[2]) : 2.0;

    // The component's objects belong to the multithreaded apartment.
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        std::cout << "cannot enter the multithreaded apartment\n";
        return 1;
    }
    auto phone = sim::SimPhone::create(sim::SimService::instance(), 5, 1001);

    ATL::CAtlModule module;
    std::string why;
    platform::LibraryHandle plugin = platform::loadLibrary(path, why);
    if (!plugin) {
        std::cout << "cannot load " << path << ": " << why << '\n';
        return 1;
    }
    std::cout << "loaded " << path << '\n';
    for (const char* name : {"Norda_Equipment", "Norda_DataSource"}) {
        auto entry =
            reinterpret_cast<decltype(&Norda_Equipment)>(platform::librarySymbol(plugin, name));
        const bool answer = entry && entry(&module);
        std::cout << name << ": " << (entry ? (answer ? "true" : "false") : "missing") << '\n';
        if (!answer)
            return 1;
    }

    // The phone as the host's device enumeration would describe it: a USB device of the
    // first model family whose "Modem" port is COM5.
    core::RCPtr<equip::DeviceInfoData> device(new equip::DeviceInfoData());
    device->vendorId = "F1E0";
    device->productId = "D001";
    device->vendor = "Vela";
    device->product = "Vela phone (simulated)";
    device->serialNumber = "SIM1001";
    device->ports.push_back({"COM5", "Modem", ""});
    core::RCPtr<equip::EquipmentInfo> info;
    for (const auto& key : eqbase::EquipmentDetector::getKeys(0)) {
        auto detector = eqbase::EquipmentDetector::create(key, 0);
        auto found = detector ? detector->detect(*device) : nullptr;
        std::cout << "detector " << key << ": " << (found ? "knows the phone" : "not its device")
                  << '\n';
        if (found && !info)
            info = found;
    }
    int code = 1;
    if (info) {
        std::cout << "detected: " << info->product << ", class identity "
                  << guidText(info->getClassIdentity()) << '\n';
        for (auto& channel : info->getChannelInfos()) {
            auto* port = dynamic_cast<equip::EquipmentChannelInfo*>(channel.get());
            std::cout << "  channel type " << channel->getChannelType() << " on "
                      << (port && !port->getPortName().empty() ? port->getPortName() : "-") << '\n';
        }
        if (info->getChannelInfo(dsrc::CHANNEL_TYPE_TVP) &&
            info->getChannelInfo(dsrc::CHANNEL_TYPE_PRINT_SERVER))
            code = session(info, seconds);
        info.reset();
    }
    // Everything the plug-in made is gone: unloading undoes its registrations.
    platform::freeLibrary(plugin);
    phone.reset();
    CoUninitialize();
    std::cout << (code == 0 ? "session done\n" : "session failed\n");
    return code;
}
