// Detectors: given the data of a device the host found (ids, names, ports with their roles),
// a detector makes the equipment info of the equipment it recognises. Detectors are
// registered process-wide under a key and a factory type.
#pragma once

#include <string>
#include <vector>

#include "framework/core/RCObject.h"
#include "framework/equip/EquipmentInfo.h"

namespace eqbase {

class EquipmentDetector : public core::RCObject {
  public:
    explicit EquipmentDetector(const std::string& name) : m_name(name) {}
    const std::string& getName() const { return m_name; }

    virtual bool setProperty(const std::string& key, const std::string& value);
    virtual bool getProperty(const std::string& key, std::string& value);
    virtual bool isAutoDetected() const { return true; }
    virtual bool isManualDetected() const { return false; }
    virtual bool isPeriodicDetected() const { return false; }
    // The base: an info from createInfo with one channel info per port whose role
    // createChannelInfo knows; empty when no port gave a channel info.
    virtual core::RCPtr<equip::EquipmentInfo> createEquipmentInfo(
        const equip::DeviceInfoData& device, void* context);
    virtual std::string getFamily(const equip::DeviceInfoData& device) const {
        return device.family;
    }
    // An info carrying the device's identification strings.
    virtual core::RCPtr<equip::EquipmentInfo> createInfo(const equip::DeviceInfoData& device);
    // The base refreshes the identification strings and answers true.
    virtual bool updateInfo(equip::EquipmentInfo& info, const equip::DeviceInfoData& device,
                            void* context);
    virtual core::RCPtr<dsrc::DataSourceChannelInfo> createChannelInfo(const std::string& role) = 0;
    // The base gives an equipment channel info the port's name and path.
    virtual bool updateChannelInfo(dsrc::DataSourceChannelInfo& info,
                                   const equip::DevicePort& port);

    // What the host does with a device: createEquipmentInfo, then updateInfo. Empty when the
    // device is not this detector's or updateInfo failed.
    core::RCPtr<equip::EquipmentInfo> detect(const equip::DeviceInfoData& device,
                                             void* context = nullptr);

    using Creator = core::Object::Creator;
    static bool registerClass(const std::string& key, Creator creator, int factoryType);
    static bool unRegisterClass(const std::string& key, int factoryType);
    static std::vector<std::string> getKeys(int factoryType);
    static core::RCPtr<EquipmentDetector> create(const std::string& key, int factoryType);

  private:
    std::string m_name;
};

}  // namespace eqbase
