// Finds USB serial devices through sysfs: each USB device with at least one tty interface
// becomes the device data a detector reads (vendor and product ids, names, and one port per
// tty interface whose role is the interface's name).
#pragma once

#include <string>
#include <vector>

#include "framework/equip/EquipmentInfo.h"

namespace host {

// sysRoot is "/sys" on a live system; tests give a folder laid out the same way.
std::vector<core::RCPtr<equip::DeviceInfoData>> enumerateUsbSerialDevices(
    const std::string& sysRoot = "/sys");

}  // namespace host
