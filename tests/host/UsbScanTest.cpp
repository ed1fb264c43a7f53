// The scan for phones on USB: records of the ports and modem classes in the form SetupAPI gives
// them (instance ids, hardware ids and names as Windows reports them for phones, converters,
// built-in and Bluetooth ports) turned into device data, and the scan of the machine the tests
// run on.
#include <gtest/gtest.h>

#include "host/SetupApiPorts.h"
#include "host/UsbDevices.h"

namespace {

using host::SetupApiNode;
using host::SetupApiPort;

// A phone of the first family: a composite device whose three serial functions sit on the
// interfaces "Modem" (0), "Device Management" (2) and "Data Modem" (4), recorded in the order
// SetupAPI listed them.
std::vector<SetupApiPort> phonePorts(const std::string& serial, const std::string& product) {
    const SetupApiNode device{"USB\\VID_F1E0&PID_D001\\" + serial,
                              {"USB\\VID_F1E0&PID_D001&REV_0100", "USB\\VID_F1E0&PID_D001"},
                              product};
    auto function = [&](const std::string& mi, const std::string& name) {
        return SetupApiNode{
            "USB\\VID_F1E0&PID_D001&MI_" + mi + "\\6&2C3F1A&0&00" + mi,
            {"USB\\VID_F1E0&PID_D001&REV_0100&MI_" + mi, "USB\\VID_F1E0&PID_D001&MI_" + mi},
            name};
    };
    return {{"COM10", {function("04", "Data Modem"), device}},
            {"COM7", {function("00", "Modem"), device}},
            {"COM8", {function("02", "Device Management"), device}}};
}

TEST(SetupApiPorts, CompositePhoneBecomesOneDeviceWithItsInterfacesAsRoles) {
    auto devices = host::devicesFromSetupApi(phonePorts("V1000123", "Vela V100"));
    ASSERT_EQ(devices.size(), 1u);
    const auto& phone = *devices[0];
    EXPECT_EQ(phone.vendorId, "F1E0");
    EXPECT_EQ(phone.productId, "D001");
    EXPECT_EQ(phone.product, "Vela V100");
    EXPECT_EQ(phone.serialNumber, "V1000123");
    ASSERT_EQ(phone.ports.size(), 3u);
    // By interface, whatever order the system listed them in.
    EXPECT_EQ(phone.ports[0].portName, "COM7");
    EXPECT_EQ(phone.ports[0].role, "Modem");
    EXPECT_EQ(phone.ports[0].devicePath, "\\\\.\\COM7");
    EXPECT_EQ(phone.ports[1].portName, "COM8");
    EXPECT_EQ(phone.ports[1].role, "Device Management");
    EXPECT_EQ(phone.ports[2].portName, "COM10");
    EXPECT_EQ(phone.ports[2].role, "Data Modem");
}

// Two phones of one model are told apart by their serial numbers; a converter's port (its
// driver's own bus below the USB device) and a device of one interface have no role; a
// device without a serial number gets none from the id Windows made up for it.
TEST(SetupApiPorts, DevicesOfEveryKindOnUsb) {
    auto ports = phonePorts("V1000123", "Vela V100");
    auto second = phonePorts("V1000999", "Vela V100");
    ports.insert(ports.begin(), second.begin(), second.end());
    // Its modem interface listed once more, as a modem of the modem class attached to COM7.
    ports.push_back(second[1]);
    ports.push_back({"COM3",
                     {{"FTDIBUS\\VID_0403+PID_6001+A6008ISPA\\0000",
                       {"FTDIBUS\\COMPORT&VID_0403&PID_6001"},
                       "FT232R USB UART"},
                      {"USB\\VID_0403&PID_6001\\A6008isP",
                       {"USB\\VID_0403&PID_6001&REV_0600", "USB\\VID_0403&PID_6001"},
                       "FT232R USB UART"}}});
    ports.push_back({"COM4",
                     {{"usb\\vid_2341&pid_0043\\5&1A2B3C&0&2",
                       {"usb\\vid_2341&pid_0043&rev_0001"},
                       "Arduino Uno"},
                      {"USB\\ROOT_HUB30\\4&3A1B2C&0&0", {"USB\\ROOT_HUB30"}, ""}}});

    auto devices = host::devicesFromSetupApi(ports);
    ASSERT_EQ(devices.size(), 4u);
    // In the order of the devices' instance ids.
    EXPECT_EQ(devices[0]->vendorId, "0403");
    EXPECT_EQ(devices[0]->serialNumber, "A6008isP");
    ASSERT_EQ(devices[0]->ports.size(), 1u);
    EXPECT_EQ(devices[0]->ports[0].portName, "COM3");
    EXPECT_EQ(devices[0]->ports[0].role, "");
    EXPECT_EQ(devices[1]->vendorId, "2341");
    EXPECT_EQ(devices[1]->productId, "0043");
    EXPECT_EQ(devices[1]->serialNumber, "");
    EXPECT_EQ(devices[1]->product, "Arduino Uno");
    ASSERT_EQ(devices[1]->ports.size(), 1u);
    EXPECT_EQ(devices[1]->ports[0].role, "");
    EXPECT_EQ(devices[2]->serialNumber, "V1000123");
    EXPECT_EQ(devices[3]->serialNumber, "V1000999");
    EXPECT_EQ(devices[3]->ports.size(), 3u);
}

// Ports that are no USB device's: a built-in port, a Bluetooth port whose radio sits on USB,
// a port without a name, and one whose nodes stop before a USB device.
TEST(SetupApiPorts, PortsNotOnUsbAreLeftOut) {
    std::vector<SetupApiPort> ports = {
        {"COM1",
         {{"ACPI\\PNP0501\\0", {"ACPI\\PNP0501", "*PNP0501"}, ""},
          {"ACPI\\PNP0A08\\0", {"ACPI\\PNP0A08"}, ""}}},
        {"COM5",
         {{"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1F2E3D&0&000000000000_"
           "00000000",
           {"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002"},
           ""},
          {"BTH\\MS_BTHBRB\\6&1A2B&0&1", {"BTH\\MS_BTHBRB"}, ""},
          {"USB\\VID_8087&PID_0A2B\\5&2B3C&0&14", {"USB\\VID_8087&PID_0A2B"}, ""}}},
        {"", phonePorts("V1", "Vela V100")[0].nodes},
        {"COM9", {phonePorts("V1", "Vela V100")[0].nodes[0]}},
    };
    EXPECT_TRUE(host::devicesFromSetupApi(ports).empty());
    EXPECT_TRUE(host::devicesFromSetupApi({}).empty());
}

// Ids that do not hold four hexadecimal digits give no id rather than a wrong one.
TEST(SetupApiPorts, MalformedIdsGiveEmptyFields) {
    std::vector<SetupApiPort> ports = {
        {"COM6", {{"USB\\VID_F1E&PID_D00G1\\X", {}, "Odd"}}},
    };
    auto devices = host::devicesFromSetupApi(ports);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]->vendorId, "");
    EXPECT_EQ(devices[0]->productId, "");
    EXPECT_EQ(devices[0]->serialNumber, "X");
}

// The scan of this machine (sysfs on Linux, SetupAPI on Windows, also under Wine) runs
// without failing and says how it looked, whatever it finds.
TEST(UsbScan, ThisMachineIsScannedWithoutFailure) {
    const host::UsbScan scan = host::scanUsbSerialDevices();
    EXPECT_EQ(scan.error, "");
    EXPECT_FALSE(scan.looked.empty());
    for (const auto& device : scan.devices)
        EXPECT_FALSE(device->ports.empty());
}

}  // namespace
