#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>

#include "host/UsbDevices.h"

namespace fs = std::filesystem;

namespace {

void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
}

// A sysfs tree with one phone (three tty interfaces), one USB serial adapter and one device
// without ttys.
TEST(UsbDevices, PortsAndRolesFromSysfs) {
    fs::path root = fs::temp_directory_path() / ("sysfs-" + std::to_string(::getpid()));
    fs::path usb = root / "bus/usb/devices";
    write(usb / "1-2/idVendor", "0fce");
    write(usb / "1-2/idProduct", "d0a1");
    write(usb / "1-2/manufacturer", "Maker");
    write(usb / "1-2/product", "Prototype");
    write(usb / "1-2/1-2:1.0/interface", "Modem");
    write(usb / "1-2/1-2:1.0/tty/ttyACM0/dev", "166:0");
    write(usb / "1-2/1-2:1.2/interface", "Device Management");
    write(usb / "1-2/1-2:1.2/tty/ttyACM1/dev", "166:1");
    write(usb / "1-2/1-2:1.4/interface", "Data Modem");
    write(usb / "1-2/1-2:1.4/tty/ttyACM2/dev", "166:2");
    write(usb / "1-3/idVendor", "0403");
    write(usb / "1-3/idProduct", "6001");
    write(usb / "1-3/1-3:1.0/ttyUSB0/dev", "188:0");
    write(usb / "1-4/idVendor", "046d");
    write(usb / "1-4/idProduct", "c52b");
    write(usb / "1-4/1-4:1.0/interface", "Keyboard");

    auto devices = host::enumerateUsbSerialDevices(root.string());
    ASSERT_EQ(devices.size(), 2u);
    auto& phone = *devices[0];
    EXPECT_EQ(phone.vendorId, "0FCE");
    EXPECT_EQ(phone.productId, "D0A1");
    EXPECT_EQ(phone.product, "Prototype");
    ASSERT_EQ(phone.ports.size(), 3u);
    EXPECT_EQ(phone.ports[0].portName, "/dev/ttyACM0");
    EXPECT_EQ(phone.ports[0].role, "Modem");
    EXPECT_EQ(phone.ports[1].role, "Device Management");
    EXPECT_EQ(phone.ports[2].role, "Data Modem");
    EXPECT_EQ(devices[1]->ports.at(0).portName, "/dev/ttyUSB0");
    EXPECT_EQ(devices[1]->ports.at(0).role, "");
    fs::remove_all(root);
    EXPECT_TRUE(host::enumerateUsbSerialDevices(root.string()).empty());
}

// A device that goes away while it is read: its entry dangles, or some of its files and
// folders are gone already. What is left of it is read without a fault; a device without
// ports is no device.
TEST(UsbDevices, DeviceGoingAwayDuringTheScan) {
    fs::path root = fs::temp_directory_path() / ("sysfs-gone-" + std::to_string(::getpid()));
    fs::path usb = root / "bus/usb/devices";
    write(usb / "1-2/idVendor", "f1e0");  // no idProduct any more, its tty folder gone
    fs::create_directories(usb / "1-2/1-2:1.0");
    write(usb / "1-3/idVendor", "f1e0");  // the ports still there, the names gone
    write(usb / "1-3/1-3:1.0/tty/ttyACM4/dev", "166:4");
    fs::create_symlink(root / "devices/usb1/1-5", usb / "1-5");  // a dangling entry

    auto devices = host::enumerateUsbSerialDevices(root.string());
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]->productId, "");
    EXPECT_EQ(devices[0]->ports.at(0).portName, "/dev/ttyACM4");
    EXPECT_EQ(devices[0]->ports.at(0).role, "");
    fs::remove_all(root);
}

}  // namespace
