// vela-host devices: the scan's devices as the loaded plug-in's detector describes them.
#include <gtest/gtest.h>

#include <sstream>

#include "equipment/VelaGuids.h"
#include "host/DeviceList.h"
#include "host/Plugin.h"
#include "host/SetupApiPorts.h"

namespace {

class DeviceList : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(m_plugin.load(VELA_PLUGIN_PATH, m_module, error)) << error;
    }
    ATL::CAtlModule m_module;
    host::Plugin m_plugin;
};

host::SetupApiNode usbFunction(const std::string& product, const std::string& mi,
                               const std::string& name) {
    return {"USB\\VID_F1E0&PID_" + product + "&MI_" + mi + "\\6&1&0&" + mi,
            {"USB\\VID_F1E0&PID_" + product + "&MI_" + mi},
            name};
}

// A phone recorded from SetupAPI, a prototype and a converter: the phones get their family and
// channels from the detector, the converter is no phone.
TEST_F(DeviceList, PhonesWithTheirFamilyAndChannelsAndOtherDevices) {
    const host::SetupApiNode v300{
        "USB\\VID_F1E0&PID_D012\\V3000001", {"USB\\VID_F1E0&PID_D012"}, "Vela V330"};
    const host::SetupApiNode prototype{
        "USB\\VID_F1E0&PID_D001\\P0000001", {"USB\\VID_F1E0&PID_D001"}, "Prototype"};
    std::vector<host::SetupApiPort> ports = {
        {"COM7", {usbFunction("D012", "00", "Modem"), v300}},
        {"COM8", {usbFunction("D012", "02", "Device Management"), v300}},
        {"COM12", {usbFunction("D001", "00", "Modem"), prototype}},
        {"COM3",
         {{"FTDIBUS\\VID_0403+PID_6001+A1\\0000", {}, ""},
          {"USB\\VID_0403&PID_6001\\A1", {"USB\\VID_0403&PID_6001"}, "FT232R USB UART"}}},
    };
    host::UsbScan scan;
    scan.devices = host::devicesFromSetupApi(ports);
    scan.looked = "looked at 4 ports of the ports and modem classes with SetupAPI";
    std::ostringstream out;
    host::printDevices(scan, out);
    EXPECT_EQ(
        out.str(),
        "3 USB serial devices (looked at 4 ports of the ports and modem classes with SetupAPI):\n"
        "  0403:6001 \"FT232R USB UART\", serial A1\n"
        "    COM3  (interface without a name)\n"
        "    not a Vela phone (no detector gives it a TVP channel)\n"
        "  F1E0:D001 \"Prototype\", serial P0000001\n"
        "    COM12  Modem\n"
        "    a Vela phone of the prototype family (6); channels: TVP on COM12, print "
        "server\n"
        "  F1E0:D012 \"Vela V330\", serial V3000001\n"
        "    COM7  Modem\n"
        "    COM8  Device Management\n"
        "    a Vela phone of model family 3; channels: TVP on COM7, AT on COM8, print "
        "server\n");
}

TEST_F(DeviceList, NoDeviceSaysHowTheScanLooked) {
    host::UsbScan scan;
    scan.looked = "looked at 2 USB devices in /sys/bus/usb/devices";
    std::ostringstream out;
    host::printDevices(scan, out);
    EXPECT_EQ(out.str(),
              "No USB serial device found (looked at 2 USB devices in /sys/bus/usb/devices).\n");
    EXPECT_EQ(host::familyName(vela::ModelIdentity7), "model family 7");
    EXPECT_EQ(host::familyName(vela::CLSID_VelaComponent),
              "no listed model family (the component's own class identity "
              "{6B1E2A40-3C5D-4F10-9A21-5E7C0B31D401})");
}

}  // namespace
