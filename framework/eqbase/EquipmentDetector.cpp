#include "framework/eqbase/EquipmentDetector.h"

#include <map>
#include <mutex>

namespace eqbase {

using core::RCPtr;

namespace {
struct Registry {
    std::mutex mutex;
    std::map<std::pair<int, std::string>, EquipmentDetector::Creator> creators;
};
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}
}  // namespace

bool EquipmentDetector::setProperty(const std::string&, const std::string&) {
    return false;
}
bool EquipmentDetector::getProperty(const std::string&, std::string&) {
    return false;
}

RCPtr<equip::EquipmentInfo> EquipmentDetector::createInfo(const equip::DeviceInfoData& device) {
    RCPtr<equip::EquipmentInfo> info(new equip::EquipmentInfo);
    info->vendor = device.vendor;
    info->product = device.product;
    info->serialNumber = device.serialNumber;
    info->family = getFamily(device);
    return info;
}

RCPtr<equip::EquipmentInfo> EquipmentDetector::createEquipmentInfo(
    const equip::DeviceInfoData& device, void*) {
    auto info = createInfo(device);
    for (auto& port : device.ports) {
        auto channel = createChannelInfo(port.role);
        if (!channel)
            continue;
        updateChannelInfo(*channel, port);
        info->addChannelInfo(channel);
    }
    return info->getChannelInfos().empty() ? nullptr : info;
}

bool EquipmentDetector::updateInfo(equip::EquipmentInfo& info, const equip::DeviceInfoData& device,
                                   void*) {
    info.vendor = device.vendor;
    info.product = device.product;
    info.serialNumber = device.serialNumber;
    return true;
}

bool EquipmentDetector::updateChannelInfo(dsrc::DataSourceChannelInfo& info,
                                          const equip::DevicePort& port) {
    auto* e = dynamic_cast<equip::EquipmentChannelInfo*>(&info);
    if (!e)
        return false;
    e->setPortName(port.portName);
    e->setDescription(port.role);
    e->setDevicePath(port.devicePath);
    return true;
}

RCPtr<equip::EquipmentInfo> EquipmentDetector::detect(const equip::DeviceInfoData& device,
                                                      void* context) {
    auto info = createEquipmentInfo(device, context);
    if (!info || !updateInfo(*info, device, context))
        return {};
    return info;
}

bool EquipmentDetector::registerClass(const std::string& key, Creator creator, int factoryType) {
    if (!creator)
        return false;
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.creators.emplace(std::make_pair(factoryType, key), creator).second;
}

bool EquipmentDetector::unRegisterClass(const std::string& key, int factoryType) {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.creators.erase(std::make_pair(factoryType, key)) != 0;
}

std::vector<std::string> EquipmentDetector::getKeys(int factoryType) {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::vector<std::string> keys;
    for (auto& [k, c] : r.creators)
        if (k.first == factoryType)
            keys.push_back(k.second);
    return keys;
}

RCPtr<EquipmentDetector> EquipmentDetector::create(const std::string& key, int factoryType) {
    Creator creator = nullptr;
    {
        auto& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.creators.find(std::make_pair(factoryType, key));
        if (it != r.creators.end())
            creator = it->second;
    }
    if (!creator)
        return {};
    core::Object* made = creator();
    auto* detector = dynamic_cast<EquipmentDetector*>(made);
    if (!detector) {
        delete made;
        return {};
    }
    return RCPtr<EquipmentDetector>(detector);
}

}  // namespace eqbase
