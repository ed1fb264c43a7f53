#include "host/DeviceList.h"

#include <cstdio>

#include "equipment/VelaGuids.h"
#include "framework/dsrc/DataSourceInfo.h"
#include "framework/equip/EquipmentInfo.h"
#include "host/ComponentEquipment.h"
#include "host/JsonWriter.h"
#include "host/Plugin.h"

namespace host {

namespace {

std::string guidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

const char* channelName(int type) {
    switch (type) {
        case dsrc::CHANNEL_TYPE_TVP:
            return "TVP";
        case dsrc::CHANNEL_TYPE_DATA_MODEM:
            return "data modem";
        case dsrc::CHANNEL_TYPE_PRINT_SERVER:
            return "print server";
        case dsrc::CHANNEL_TYPE_AT:
            return "AT";
        default:
            return "channel";
    }
}

void printDevice(const equip::DeviceInfoData& device, std::ostream& out) {
    out << "  " << (device.vendorId.empty() ? "????" : device.vendorId) << ':'
        << (device.productId.empty() ? "????" : device.productId);
    if (!device.vendor.empty())
        out << ' ' << device.vendor;
    if (!device.product.empty())
        out << " \"" << device.product << '"';
    out << ", serial " << (device.serialNumber.empty() ? "(none)" : device.serialNumber) << '\n';
    for (const auto& port : device.ports)
        out << "    " << port.portName << "  "
            << (port.role.empty() ? "(interface without a name)" : port.role) << '\n';
    const auto info = ComponentEquipment::describe(device);
    if (!info || !info->getChannelInfo(dsrc::CHANNEL_TYPE_TVP)) {
        out << "    not a Vela phone (no detector gives it a TVP channel)\n";
        return;
    }
    out << "    a Vela phone of " << familyName(info->getClassIdentity()) << "; channels:";
    const char* separator = " ";
    for (const auto& channel : info->getChannelInfos()) {
        out << separator << channelName(channel->getChannelType());
        auto* port = dynamic_cast<equip::EquipmentChannelInfo*>(channel.get());
        if (port && !port->getPortName().empty())
            out << " on " << port->getPortName();
        separator = ", ";
    }
    out << '\n';
}

}  // namespace

std::string familyName(const GUID& identity) {
    const GUID* families[] = {&vela::ModelIdentity1, &vela::ModelIdentity2,
                              &vela::ModelIdentity3, &vela::ModelIdentity4,
                              &vela::ModelIdentity5, &vela::ModelIdentityPrototype,
                              &vela::ModelIdentity7};
    for (int row = 1; row <= 7; ++row)
        if (identity == *families[row - 1])
            return row == 6 ? "the prototype family (6)" : "model family " + std::to_string(row);
    if (identity == vela::CLSID_VelaComponent)
        return "no listed model family (the component's own class identity " + guidText(identity) +
               ")";
    return "the class identity " + guidText(identity);
}

void printDevices(const UsbScan& scan, std::ostream& out) {
    if (scan.devices.empty()) {
        out << "No USB serial device found (" << scan.looked << ").\n";
        return;
    }
    out << scan.devices.size() << " USB serial device" << (scan.devices.size() == 1 ? "" : "s")
        << " (" << scan.looked << "):\n";
    for (const auto& device : scan.devices)
        printDevice(*device, out);
}

void printDevicesJson(const UsbScan& scan, std::ostream& out) {
    JsonWriter json;
    json.beginObject();
    json.key("looked").value(scan.looked);
    json.key("devices").beginArray();
    for (const auto& device : scan.devices) {
        json.beginObject();
        json.key("vendor_id").value(device->vendorId);
        json.key("product_id").value(device->productId);
        json.key("vendor").value(device->vendor);
        json.key("product").value(device->product);
        json.key("serial").value(device->serialNumber);
        json.key("ports").beginArray();
        for (const auto& port : device->ports)
            json.beginObject()
                .key("port")
                .value(port.portName)
                .key("role")
                .value(port.role)
                .endObject();
        json.endArray();
        json.key("phone");
        const auto info = ComponentEquipment::describe(*device);
        if (!info || !info->getChannelInfo(dsrc::CHANNEL_TYPE_TVP)) {
            json.null();
        } else {
            json.beginObject();
            json.key("family").value(familyName(info->getClassIdentity()));
            json.key("channels").beginArray();
            for (const auto& channel : info->getChannelInfos()) {
                json.beginObject().key("type").value(channelName(channel->getChannelType()));
                auto* port = dynamic_cast<equip::EquipmentChannelInfo*>(channel.get());
                if (port && !port->getPortName().empty())
                    json.key("port").value(port->getPortName());
                json.endObject();
            }
            json.endArray();
            json.endObject();
        }
        json.endObject();
    }
    json.endArray();
    json.endObject();
    out << json.text() << '\n';
}

int listDevices(const Options& options, std::ostream& out, std::ostream& error) {
    ATL::CAtlModule module;
    Plugin plugin;
    std::string why;
    const std::string path =
        options.pluginPath.empty() ? Plugin::defaultPath() : options.pluginPath;
    if (!plugin.load(path, module, why)) {
        error << "vela-host: " << why << '\n';
        return 1;
    }
    const UsbScan scan = scanUsbSerialDevices();
    if (!scan.error.empty()) {
        error << "vela-host: cannot look for USB serial devices: " << scan.error << '\n';
        return 1;
    }
    if (options.json)
        printDevicesJson(scan, out);
    else
        printDevices(scan, out);
    return 0;
}

}  // namespace host
