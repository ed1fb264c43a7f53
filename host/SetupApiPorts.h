// What SetupAPI tells of the serial ports of the ports and modem classes, and how that becomes the
// device data the component's detector reads. The Windows scan (UsbDevices_windows.cpp) records the
// ports as below; the mapping itself is plain text handling, alike on both systems, so that
// records of real machines test it anywhere.
#pragma once

#include <string>
#include <vector>

#include "framework/equip/EquipmentInfo.h"

namespace host {

// One device node as SetupAPI describes it.
struct SetupApiNode {
    // "USB\VID_F1E0&PID_D001&MI_02\6&2C3F1A&0&0002" (a function of a composite USB device),
    // "USB\VID_F1E0&PID_D001\V1000123" (a USB device with a serial number), "FTDIBUS\...",
    // "ACPI\PNP0501\0", ...
    std::string instanceId;
    // SPDRP_HARDWAREID: "USB\VID_F1E0&PID_D001&REV_0100&MI_02", "USB\VID_F1E0&PID_D001&MI_02"
    std::vector<std::string> hardwareIds;
    // DEVPKEY_Device_BusReportedDeviceDesc: the string the USB device reports for the node,
    // its interface's name for a function of a composite device, its product name for a
    // device.
    std::string busReportedName;
};

// One port of the ports class (or a modem of the modem class): its name and its node with the
// nodes above it, the port's own first, up to the USB device it belongs to (or as far as the
// scan went).
struct SetupApiPort {
    std::string portName;  // "COM7": its "PortName", or the port a modem is "AttachedTo"
    std::vector<SetupApiNode> nodes;
};

// A USB device's own node (not a function of a composite device, not another bus's node).
bool isUsbDevice(const SetupApiNode& node);

// The USB devices the ports belong to, each with its ports: vendor and product ids from the
// device's hardware ids, its serial number from its instance id (Windows makes up an id with
// '&' for a device that has none), its product name from the bus, and each port's role from
// the name of the USB interface it sits on (empty for a device of one interface, whose
// interface Windows does not name). Ports that are not on USB, or have no name, are left out;
// a port named twice for one device counts once.
// Devices come in the order of their instance ids, ports by interface, then by COM number.
std::vector<core::RCPtr<equip::DeviceInfoData>> devicesFromSetupApi(
    const std::vector<SetupApiPort>& ports);

}  // namespace host
