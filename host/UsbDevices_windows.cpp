// The scan for phones on USB on Windows: every present device of the ports class (and of the
// modem class, where a phone's modem interface may be installed), its port name, and its node
// with the nodes above it up to the USB device, each with its hardware ids and the name its bus
// reports (SetupAPI). SetupApiPorts.cpp turns the records into device data.
#include <windows.h>
// The declarations below come after <windows.h>.
#include <cfgmgr32.h>
#include <devpropdef.h>
#include <setupapi.h>

#include <memory>

#include "host/SetupApiPorts.h"
#include "host/UsbDevices.h"
#include "platform/win32/win32.h"

namespace host {

namespace {

// GUID_DEVCLASS_PORTS: serial and parallel ports.
constexpr GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
// GUID_DEVCLASS_MODEM: modems, whose serial port is named by their driver's "AttachedTo".
constexpr GUID kModemClass = {
    0x4D36E96D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
// DEVPKEY_Device_BusReportedDeviceDesc.
constexpr DEVPROPKEY kBusReportedDeviceDesc = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};
// How far up from a port the scan goes looking for its USB device: a converter's port sits
// below an interface of a composite device, below the device.
constexpr int kMaxDepth = 4;

std::string utf8(const wchar_t* text, std::size_t length) {
    if (length == 0)
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr,
                            nullptr);
    return out;
}

std::string utf8(const std::wstring& text) {
    return utf8(text.c_str(), text.size());
}

// The strings of a REG_MULTI_SZ or REG_SZ property, up to the first empty one.
std::vector<std::string> strings(const std::vector<BYTE>& bytes) {
    std::vector<std::string> out;
    const auto* p = reinterpret_cast<const wchar_t*>(bytes.data());
    const std::size_t count = bytes.size() / sizeof(wchar_t);
    std::size_t start = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (p[i] != L'\0')
            continue;
        if (i == start)
            break;
        out.push_back(utf8(p + start, i - start));
        start = i + 1;
    }
    if (start < count && p[count - 1] != L'\0')
        out.push_back(utf8(p + start, count - start));
    return out;
}

std::vector<std::string> registryStrings(HDEVINFO set, SP_DEVINFO_DATA& node, DWORD property) {
    DWORD type = 0, size = 0;
    SetupDiGetDeviceRegistryPropertyW(set, &node, property, &type, nullptr, 0, &size);
    if (size == 0 || (type != REG_SZ && type != REG_MULTI_SZ))
        return {};
    std::vector<BYTE> bytes(size);
    if (!SetupDiGetDeviceRegistryPropertyW(set, &node, property, &type, bytes.data(), size,
                                           nullptr))
        return {};
    return strings(bytes);
}

std::string stringProperty(HDEVINFO set, SP_DEVINFO_DATA& node, const DEVPROPKEY& key) {
    DEVPROPTYPE type = 0;
    DWORD size = 0;
    SetupDiGetDevicePropertyW(set, &node, &key, &type, nullptr, 0, &size, 0);
    if (size == 0)
        return {};
    std::vector<BYTE> bytes(size);
    if (!SetupDiGetDevicePropertyW(set, &node, &key, &type, bytes.data(), size, nullptr, 0) ||
        type != DEVPROP_TYPE_STRING)
        return {};
    auto all = strings(bytes);
    return all.empty() ? std::string() : all.front();
}

std::wstring instanceIdOf(DEVINST node) {
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
        return {};
    return id;
}

SetupApiNode describe(HDEVINFO set, SP_DEVINFO_DATA& data, const std::wstring& instanceId) {
    SetupApiNode node;
    node.instanceId = utf8(instanceId);
    node.hardwareIds = registryStrings(set, data, SPDRP_HARDWAREID);
    node.busReportedName = stringProperty(set, data, kBusReportedDeviceDesc);
    return node;
}

// A text value of the node's device key (DIREG_DEV) or driver key (DIREG_DRV).
std::string keyText(HDEVINFO set, SP_DEVINFO_DATA& node, DWORD which, const wchar_t* value) {
    HKEY key = SetupDiOpenDevRegKey(set, &node, DICS_FLAG_GLOBAL, 0, which, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE)
        return {};
    wchar_t text[64] = {};
    DWORD size = sizeof text - sizeof(wchar_t), type = 0;
    const LONG status =
        RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return {};
    return utf8(text, wcsnlen(text, size / sizeof(wchar_t)));
}

// "COM7": a port's "PortName", or the port a modem is attached to.
std::string portNameOf(HDEVINFO set, SP_DEVINFO_DATA& node) {
    std::string name = keyText(set, node, DIREG_DEV, L"PortName");
    return name.empty() ? keyText(set, node, DIREG_DRV, L"AttachedTo") : name;
}

struct InfoSet {
    HDEVINFO handle;
    explicit InfoSet(HDEVINFO h) : handle(h) {}
    ~InfoSet() {
        if (handle != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(handle);
    }
    InfoSet(const InfoSet&) = delete;
    InfoSet& operator=(const InfoSet&) = delete;
};

}  // namespace

UsbScan scanUsbSerialDevices() {
    UsbScan scan;
    // The nodes above the ports, opened in a set of their own.
    InfoSet ancestors(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    std::vector<SetupApiPort> records;
    for (const GUID* deviceClass : {&kPortsClass, &kModemClass}) {
        InfoSet ports(SetupDiGetClassDevsW(deviceClass, nullptr, nullptr, DIGCF_PRESENT));
        if (ports.handle == INVALID_HANDLE_VALUE) {
            scan.error =
                std::string("SetupDiGetClassDevs failed: ") + platform::errorText(GetLastError());
            return scan;
        }
        SP_DEVINFO_DATA node{};
        node.cbSize = sizeof node;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(ports.handle, i, &node); ++i) {
            ++scan.examined;
            SetupApiPort port;
            port.portName = portNameOf(ports.handle, node);
            port.nodes.push_back(describe(ports.handle, node, instanceIdOf(node.DevInst)));
            DEVINST current = node.DevInst;
            for (int depth = 1; depth < kMaxDepth && ancestors.handle != INVALID_HANDLE_VALUE;
                 ++depth) {
                DEVINST parent = 0;
                if (CM_Get_Parent(&parent, current, 0) != CR_SUCCESS)
                    break;
                const std::wstring id = instanceIdOf(parent);
                SP_DEVINFO_DATA data{};
                data.cbSize = sizeof data;
                if (id.empty() ||
                    !SetupDiOpenDeviceInfoW(ancestors.handle, id.c_str(), nullptr, 0, &data))
                    break;
                port.nodes.push_back(describe(ancestors.handle, data, id));
                current = parent;
                // The USB device is as far as the scan needs to go.
                if (isUsbDevice(port.nodes.back()))
                    break;
            }
            records.push_back(std::move(port));
        }
        const DWORD last = GetLastError();
        if (last != ERROR_NO_MORE_ITEMS && last != ERROR_SUCCESS) {
            scan.error = std::string("SetupDiEnumDeviceInfo failed: ") + platform::errorText(last);
            return scan;
        }
    }
    scan.devices = devicesFromSetupApi(records);
    scan.looked = "looked at " + std::to_string(scan.examined) + " port" +
                  (scan.examined == 1 ? "" : "s") + " of the ports and modem classes with SetupAPI";
    return scan;
}

}  // namespace host
