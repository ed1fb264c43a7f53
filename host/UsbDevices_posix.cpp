#include "host/UsbDevices.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace host {

namespace fs = std::filesystem;

namespace {

std::string readLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (in)
        std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    return line;
}

std::string upper(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The tty device names under one USB interface: "tty/ttyACM0" (CDC ACM) or "ttyUSB0"
// (USB serial converters).
std::vector<std::string> ttysOf(const fs::path& usbInterface) {
    std::vector<std::string> names;
    std::error_code ec;
    if (fs::is_directory(usbInterface / "tty", ec)) {
        for (auto& e : fs::directory_iterator(usbInterface / "tty", ec))
            names.push_back(e.path().filename().string());
    }
    for (auto& e : fs::directory_iterator(usbInterface, ec)) {
        std::string name = e.path().filename().string();
        if (name.rfind("ttyUSB", 0) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::vector<core::RCPtr<equip::DeviceInfoData>> enumerateUsbSerialDevices(
    const std::string& sysRoot, std::size_t* examined) {
    std::vector<core::RCPtr<equip::DeviceInfoData>> devices;
    fs::path root = fs::path(sysRoot) / "bus/usb/devices";
    std::error_code ec;
    std::vector<fs::path> entries;
    for (auto& e : fs::directory_iterator(root, ec))
        entries.push_back(e.path());
    std::sort(entries.begin(), entries.end());
    if (examined)
        *examined = 0;
    for (auto& device : entries) {
        std::string name = device.filename().string();
        if (name.find(':') != std::string::npos || !fs::exists(device / "idVendor", ec))
            continue;
        if (examined)
            ++*examined;
        core::RCPtr<equip::DeviceInfoData> data(new equip::DeviceInfoData);
        data->vendorId = upper(readLine(device / "idVendor"));
        data->productId = upper(readLine(device / "idProduct"));
        data->vendor = readLine(device / "manufacturer");
        data->product = readLine(device / "product");
        data->serialNumber = readLine(device / "serial");
        std::vector<fs::path> interfaces;
        for (auto& e : fs::directory_iterator(device, ec)) {
            std::string n = e.path().filename().string();
            if (n.rfind(name + ":", 0) == 0)
                interfaces.push_back(e.path());
        }
        std::sort(interfaces.begin(), interfaces.end());
        for (auto& usbInterface : interfaces) {
            std::string role = readLine(usbInterface / "interface");
            for (auto& tty : ttysOf(usbInterface)) {
                equip::DevicePort port;
                port.portName = "/dev/" + tty;
                port.devicePath = port.portName;
                port.role = role;
                data->ports.push_back(port);
            }
        }
        if (!data->ports.empty())
            devices.push_back(data);
    }
    return devices;
}

UsbScan scanUsbSerialDevices() {
    UsbScan scan;
    // A machine without a USB bus (a container, say) has no such folder: nothing to find.
    std::error_code ec;
    fs::directory_iterator probe("/sys/bus/usb/devices", ec);
    if (ec == std::errc::no_such_file_or_directory) {
        scan.looked = "this machine has no /sys/bus/usb/devices";
        return scan;
    }
    if (ec) {
        scan.error = "cannot read /sys/bus/usb/devices: " + ec.message();
        return scan;
    }
    scan.devices = enumerateUsbSerialDevices("/sys", &scan.examined);
    scan.looked = "looked at " + std::to_string(scan.examined) + " USB device" +
                  (scan.examined == 1 ? "" : "s") + " in /sys/bus/usb/devices";
    return scan;
}

}  // namespace host
