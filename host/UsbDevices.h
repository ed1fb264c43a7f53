// The scan for phones on USB: the serial ports of this machine's USB devices, as the device
// data the component's detector reads (vendor and product ids, product name, serial number,
// and one port per serial interface whose role is the USB interface's name). One backend file
// per system: UsbDevices_posix.cpp reads sysfs, UsbDevices_windows.cpp asks SetupAPI.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "framework/equip/EquipmentInfo.h"

namespace host {

struct UsbScan {
    std::vector<core::RCPtr<equip::DeviceInfoData>> devices;  // USB devices with serial ports
    std::size_t examined = 0;  // how many entries the scan looked at (USB devices, or ports)
    // How it looked, for the user: "looked at 3 USB devices in /sys/bus/usb/devices".
    std::string looked;
    std::string error;  // why the scan could not be made; empty when it was
};

// Scans this machine.
UsbScan scanUsbSerialDevices();

// Linux (UsbDevices_posix.cpp): the USB serial devices of a sysfs tree. sysRoot is "/sys" on a live
// system; tests give a folder laid out the same way. `examined`, when given, counts the USB devices
// looked at.
std::vector<core::RCPtr<equip::DeviceInfoData>> enumerateUsbSerialDevices(
    const std::string& sysRoot = "/sys", std::size_t* examined = nullptr);

}  // namespace host
