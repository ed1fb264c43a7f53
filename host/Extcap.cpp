#include "host/Extcap.h"

#include <sstream>

#include "host/ComponentEquipment.h"
#include "host/DeviceList.h"
#include "host/UsbDevices.h"
#include "session/ProbeCatalogue.h"

namespace host::extcap {

namespace {

// The setting a capture starts with until the user chooses: the reports of the GSM mode.
constexpr const char* kDefaultProbes = "GSM Mode Reports";

// The value of an extcap sentence's field: braces would end it, and Wireshark reads no escape.
std::string field(const std::string& text) {
    std::string out;
    for (char c : text)
        out += c == '{' ? '(' : c == '}' ? ')' : c;
    return out;
}

std::string lastPart(const std::string& port) {
    const auto slash = port.find_last_of("/\\");
    return slash == std::string::npos ? port : port.substr(slash + 1);
}

}  // namespace

std::string interfaceName(const std::string& port) {
    return "vela-" + lastPart(port);
}

bool parse(const std::vector<std::string>& args, Request& r, std::string& error) {
    using Mode = Request::Mode;
    bool capture = false, interfaces = false, dlts = false, config = false, filterGiven = false;
    std::string fifo;
    Options& o = r.run;
    o.command = Options::Command::Run;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool hasValue = false;
        // Wireshark writes some as --name=value.
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        auto take = [&](const char* what) -> const std::string* {
            if (hasValue)
                return &value;
            if (i + 1 >= args.size()) {
                error = arg + " needs " + what;
                return nullptr;
            }
            value = args[++i];
            return &value;
        };
        if (arg == "--extcap-interfaces") {
            interfaces = true;
        } else if (arg == "--extcap-dlts") {
            dlts = true;
        } else if (arg == "--extcap-config") {
            config = true;
        } else if (arg == "--capture") {
            capture = true;
        } else if (arg == "--version") {
            r.mode = Mode::Version;
            return true;
        } else if (arg == "--help" || arg == "-h") {
            r.mode = Mode::Help;
            return true;
        } else if (arg == "--extcap-interface") {
            if (!take("an interface name"))
                return false;
            r.ifname = value;
        } else if (arg == "--fifo") {
            if (!take("a fifo"))
                return false;
            fifo = value;
        } else if (arg == "--extcap-capture-filter") {
            if (!take("a capture filter"))
                return false;
            r.filter = value;
            filterGiven = true;
        } else if (arg == "--probes" || arg == "--rate" || arg == "--settings") {
            if (!take("a value"))
                return false;
            // The interface's settings are those of vela-host run.
            Options parsed;
            std::vector<std::string> runArgs = {"run", arg, value};
            if (!parseOptions(runArgs, parsed, error))
                return false;
            if (arg == "--probes")
                o.probes = parsed.probes;
            else if (arg == "--rate")
                o.probeRate = parsed.probeRate;
            else
                o.settingsFile = parsed.settingsFile;
        } else if (arg.rfind("--extcap-", 0) == 0) {
            // Wireshark's own (--extcap-version=4.0, the control pipes): nothing of ours.
            if (!hasValue && i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0)
                ++i;
        } else {
            error = "unknown option '" + args[i] + "'";
            return false;
        }
    }
    if (interfaces) {
        r.mode = Mode::Interfaces;
        return true;
    }
    if (!dlts && !config && !capture && !filterGiven) {
        error = "nothing asked (--extcap-interfaces, --extcap-dlts, --extcap-config or --capture)";
        return false;
    }
    if (r.ifname.empty()) {
        error = "--extcap-interface is needed";
        return false;
    }
    if (r.ifname.rfind("vela-", 0) != 0 || r.ifname.size() == 5) {
        error = "unknown interface '" + r.ifname + "'";
        return false;
    }
    if (dlts) {
        r.mode = Mode::Dlts;
    } else if (config) {
        r.mode = Mode::Config;
    } else if (!capture) {
        r.mode = Mode::FilterCheck;
    } else {
        r.mode = Mode::Capture;
        if (fifo.empty()) {
            error = "--capture needs --fifo PATH";
            return false;
        }
        if (!r.filter.empty()) {
            error = filterCheckText(r.filter);
            error.pop_back();
            return false;
        }
        o.recordFile = fifo;
        o.recordIsFifo = true;
        o.captureFormat = CaptureFormat::Pcapng;
        o.quiet = true;
        o.program = "vela-extcap";
        if (r.ifname == kSimulatedInterface)
            o.simPhones = 1;
        else
            o.phonePort = r.ifname.substr(5);
        if (o.probes.empty())
            o.probes = {kDefaultProbes};
    }
    return true;
}

std::string interfacesText(const std::vector<Phone>& phones) {
    std::ostringstream out;
    out << "extcap {version=" << VELA_VERSION << "}{display=Vela phones}\n";
    for (const auto& phone : phones)
        out << "interface {value=" << field(interfaceName(phone.port))
            << "}{display=" << field(phone.display) << "}\n";
    out << "interface {value=" << kSimulatedInterface << "}{display=Vela phone (simulated)}\n";
    return out.str();
}

std::string dltsText(const std::string&) {
    return "dlt {number=" + std::to_string(kCaptureLinkType) +
           "}{name=USER0}{display=Vela phone records}\n";
}

std::string configText(const std::string& ifname) {
    std::ostringstream out;
    out << "arg {number=0}{call=--probes}{display=Probes}{type=multicheck}"
        << "{tooltip=The settings to switch on: a whole group of probes or single probes}"
        << "{default=" << kDefaultProbes << "}{group=Phone}\n";
    for (const auto& item : vela::catalogue::items()) {
        const std::string label = field(vela::catalogue::itemLabel(item));
        out << "value {arg=0}{value=" << label << "}{display=" << label << "}{enabled=true}\n";
        for (std::size_t i = 0; i < item.count; ++i) {
            const std::string name = field(item.values[i].name);
            out << "value {arg=0}{value=" << name << "}{display=" << name << "}{parent=" << label
                << "}{enabled=true}\n";
        }
    }
    out << "arg {number=1}{call=--settings}{display=Settings file}{type=fileselect}"
        << "{mustexist=true}{tooltip=The TVP channel's settings as XML (vela-host run "
           "--save-settings writes one)}{group=Phone}\n";
    if (ifname == kSimulatedInterface)
        out << "arg {number=2}{call=--rate}{display=Reports per second}{type=double}"
            << "{range=0,1000000}{default=200}"
            << "{tooltip=Frames per second of each probe switched on}{group=Phone}\n";
    return out.str();
}

std::string filterCheckText(const std::string& filter) {
    if (filter.empty())
        return {};
    return "the Vela phones' interfaces take no capture filter (filter the display instead, "
           "e.g. vela.tvp.probe_name == \"RR State\")\n";
}

std::string usage() {
    return "usage: vela-extcap --extcap-interfaces\n"
           "       vela-extcap --extcap-interface IFACE --extcap-dlts\n"
           "       vela-extcap --extcap-interface IFACE --extcap-config\n"
           "       vela-extcap --extcap-interface IFACE --capture --fifo PATH\n"
           "                   [--probes \"A,B\"] [--settings FILE] [--rate N]\n"
           "       vela-extcap --version\n"
           "Wireshark runs it from its extcap folder: one interface per Vela phone on USB\n"
           "(vela-ttyACM0, vela-COM7) and vela-sim, a simulated phone.\n";
}

std::vector<Phone> phonesOnUsb() {
    std::vector<Phone> phones;
    const UsbScan scan = scanUsbSerialDevices();
    for (const auto& device : scan.devices) {
        const auto info = ComponentEquipment::describe(*device);
        if (!info)
            continue;
        auto channel =
            core::rcCast<equip::EquipmentChannelInfo>(info->getChannelInfo(dsrc::CHANNEL_TYPE_TVP));
        if (!channel || channel->getPortName().empty())
            continue;
        Phone phone;
        phone.port = channel->getPortName();
        phone.display = (device->product.empty() ? std::string("Vela phone") : device->product) +
                        " on " + phone.port + " (" + familyName(info->getClassIdentity()) + ")";
        phones.push_back(phone);
    }
    return phones;
}

}  // namespace host::extcap
