// Equipment infos: the data-source info of one piece of equipment with its identification
// strings, the channel info of one of its ports, and the device data a detector reads.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "framework/dsrc/DataSourceInfo.h"

namespace equip {

class EquipmentChannelInfo : public dsrc::DataSourceChannelInfo {
  public:
    explicit EquipmentChannelInfo(int channelType = 0, const std::string& portName = {},
                                  const std::string& description = {},
                                  const std::string& devicePath = {})
        : dsrc::DataSourceChannelInfo(channelType),
          m_portName(portName),
          m_description(description),
          m_devicePath(devicePath) {}

    // The port name ("COM5"), first of the three strings.
    const std::string& getPortName() const { return m_portName; }
    void setPortName(const std::string& name) { m_portName = name; }
    const std::string& getDescription() const { return m_description; }
    void setDescription(const std::string& d) { m_description = d; }
    const std::string& getDevicePath() const { return m_devicePath; }
    void setDevicePath(const std::string& p) { m_devicePath = p; }

    core::Object* copy() const override { return new EquipmentChannelInfo(*this); }

  private:
    std::string m_portName;
    std::string m_description;
    std::string m_devicePath;
};

class EquipmentInfo : public dsrc::DataSourceInfo {
  public:
    std::string vendor, product, model, revision, imei, serialNumber, family;
};

// One port of a device as the host enumerated it: its name and its role.
struct DevicePort {
    std::string portName;    // "COM5", or a device path
    std::string role;        // "Modem", "Device Management", ...
    std::string devicePath;  // where the port is reached, if known
};

class DeviceInfoData : public core::RCObject {
  public:
    std::string vendorId;   // four upper-case hexadecimal digits
    std::string productId;  // four upper-case hexadecimal digits
    std::string vendor;
    std::string product;
    std::string family;
    std::string serialNumber;
    std::vector<DevicePort> ports;
};

}  // namespace equip
