#include "host/SetupApiPorts.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <tuple>

namespace host {

namespace {

std::string upper(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The device-id part of an instance id, upper-case: "USB\VID_F1E0&PID_D001&MI_02" of
// "USB\VID_F1E0&PID_D001&MI_02\6&2C3F1A&0&0002".
std::string deviceIdOf(const std::string& instanceId) {
    const std::string id = upper(instanceId);
    const auto last = id.rfind('\\');
    return last == std::string::npos || last == 0 ? id : id.substr(0, last);
}

bool isUsb(const SetupApiNode& node) {
    return upper(node.instanceId).rfind("USB\\", 0) == 0;
}

// The four hexadecimal digits after `key` ("VID_", "PID_", "MI_" takes two) in `text`, or "".
std::string field(const std::string& text, const std::string& key, std::size_t digits) {
    const std::string t = upper(text);
    for (auto at = t.find(key); at != std::string::npos; at = t.find(key, at + 1)) {
        // The key starts the id's part: after the bus's '\' or a '&'.
        if (at > 0 && t[at - 1] != '\\' && t[at - 1] != '&')
            continue;
        const std::string value = t.substr(at + key.size(), digits);
        if (value.size() == digits &&
            std::all_of(value.begin(), value.end(),
                        [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }) &&
            (at + key.size() + digits == t.size() || t[at + key.size() + digits] == '&' ||
             t[at + key.size() + digits] == '\\'))
            return value;
    }
    return {};
}

// The node's field, from its hardware ids first, else from its instance id.
std::string nodeField(const SetupApiNode& node, const std::string& key, std::size_t digits) {
    for (const auto& id : node.hardwareIds)
        if (auto value = field(id, key, digits); !value.empty())
            return value;
    return field(deviceIdOf(node.instanceId), key, digits);
}

// A function of a composite USB device ("&MI_nn").
bool isUsbInterface(const SetupApiNode& node) {
    return isUsb(node) && !nodeField(node, "MI_", 2).empty();
}

// The serial number in a USB device's instance id: its last part, unless Windows made that
// part up (those hold '&': "5&1A2B3C&0&3").
std::string serialOf(const std::string& instanceId) {
    const auto last = instanceId.rfind('\\');
    if (last == std::string::npos)
        return {};
    const std::string tail = instanceId.substr(last + 1);
    return tail.find('&') == std::string::npos ? tail : std::string();
}

// "COM12" -> 12, for ordering; other names after every COM port.
long comNumber(const std::string& name) {
    const std::string n = upper(name);
    if (n.rfind("COM", 0) != 0 || n.size() == 3 || n.size() > 8 ||
        !std::all_of(n.begin() + 3, n.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        return 1L << 30;
    return std::stol(n.substr(3));
}

struct Found {
    const SetupApiNode* device = nullptr;
    std::vector<std::tuple<int, long, equip::DevicePort>> ports;  // interface, COM number, port
};

}  // namespace

bool isUsbDevice(const SetupApiNode& node) {
    return isUsb(node) && !isUsbInterface(node);
}

std::vector<core::RCPtr<equip::DeviceInfoData>> devicesFromSetupApi(
    const std::vector<SetupApiPort>& ports) {
    std::map<std::string, Found> byDevice;  // by upper-case instance id
    for (const auto& port : ports) {
        if (port.portName.empty())
            continue;
        // Up from the port's own node: the USB interface it sits on, if any, and the USB
        // device it belongs to. Only the port's own node may be another bus's (a converter's
        // driver that makes its ports, "FTDIBUS\..."): a port further below another bus is
        // that bus's (a Bluetooth port below a radio that sits on USB).
        const SetupApiNode* usbInterface = nullptr;
        const SetupApiNode* device = nullptr;
        for (std::size_t i = 0; i < port.nodes.size(); ++i) {
            const SetupApiNode& node = port.nodes[i];
            if (isUsbInterface(node)) {
                if (!usbInterface)
                    usbInterface = &node;
            } else if (isUsbDevice(node)) {
                device = &node;
                break;
            } else if (i > 0) {
                break;
            }
        }
        if (!device)
            continue;
        Found& found = byDevice[upper(device->instanceId)];
        found.device = device;
        // A port listed twice (as a port and as the modem attached to it) counts once.
        if (std::any_of(found.ports.begin(), found.ports.end(), [&](const auto& known) {
                return upper(std::get<2>(known).portName) == upper(port.portName);
            }))
            continue;
        equip::DevicePort entry;
        entry.portName = port.portName;
        entry.devicePath = "\\\\.\\" + port.portName;
        entry.role = usbInterface ? usbInterface->busReportedName : std::string();
        int number = -1;
        if (usbInterface)
            number = std::stoi(nodeField(*usbInterface, "MI_", 2), nullptr, 16);
        found.ports.emplace_back(number, comNumber(port.portName), entry);
    }
    std::vector<core::RCPtr<equip::DeviceInfoData>> devices;
    for (auto& [key, found] : byDevice) {
        core::RCPtr<equip::DeviceInfoData> data(new equip::DeviceInfoData);
        data->vendorId = nodeField(*found.device, "VID_", 4);
        data->productId = nodeField(*found.device, "PID_", 4);
        data->product = found.device->busReportedName;
        data->serialNumber = serialOf(found.device->instanceId);
        std::stable_sort(found.ports.begin(), found.ports.end(), [](const auto& a, const auto& b) {
            return std::tie(std::get<0>(a), std::get<1>(a), std::get<2>(a).portName) <
                   std::tie(std::get<0>(b), std::get<1>(b), std::get<2>(b).portName);
        });
        for (auto& port : found.ports)
            data->ports.push_back(std::get<2>(port));
        devices.push_back(data);
    }
    return devices;
}

}  // namespace host
