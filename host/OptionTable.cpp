#include "host/OptionTable.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "framework/core/NumberText.h"
#include "host/HostPlatform.h"
#include "host/SimFaults.h"

namespace host {

namespace {

constexpr auto& number = core::parseNonNegativeNumber;

bool seconds(const char* option, const std::string& text, double& out, std::string& error) {
    if (number(text, out))
        return true;
    error = std::string(option) + ": '" + text + "' is not a number of seconds";
    return false;
}

bool rate(const char* option, const std::string& text, double& out, std::string& error) {
    double r;
    if (!number(text, r) || r > 1e6) {
        error = std::string(option) + ": '" + text + "' is not a rate";
        return false;
    }
    out = r;
    return true;
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, ',')) {
        while (!item.empty() && item.front() == ' ')
            item.erase(item.begin());
        while (!item.empty() && item.back() == ' ')
            item.pop_back();
        if (!item.empty())
            items.push_back(item);
    }
    return items;
}

// One -b: filesize:KB, duration:S or files:N.
bool parseRotation(const std::string& text, Rotation& rotation, std::string& error) {
    const auto colon = text.find(':');
    const std::string key = text.substr(0, colon);
    const std::string value = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    double n = 0;
    const bool isNumber = number(value, n);
    if (key == "filesize") {
        if (!isNumber || n < 1 || n > 2147483 || n != std::floor(n)) {
            error = "-b filesize: '" + value + "' is not a size from 1 to 2147483 kB";
            return false;
        }
        rotation.fileSizeKB = static_cast<std::uint64_t>(n);
    } else if (key == "duration") {
        if (!isNumber || n <= 0) {
            error = "-b duration: '" + value + "' is not a number of seconds above 0";
            return false;
        }
        rotation.durationSeconds = n;
    } else if (key == "files") {
        if (!isNumber || n < 1 || n > 99999 || n != std::floor(n)) {
            error = "-b files: '" + value + "' is not a number of files from 1 to 99999";
            return false;
        }
        rotation.files = static_cast<std::size_t>(n);
    } else {
        error =
            "-b: unknown key '" + key + "' (filesize, duration or files, as in -b filesize:1000)";
        return false;
    }
    return true;
}

std::string faultHelp() {
    std::string text = "a fault of the first simulated phone:";
    const char* separator = " ";
    for (const auto& fault : simFaults()) {
        text += separator + std::string(fault.name) + " (" + fault.what + ")";
        separator = ", ";
    }
    return text;
}

std::vector<OptionSpec> makeOptionTable() {
    std::vector<OptionSpec> t;
    t.push_back({"--sim", "N", true, "a number of phones", kRunCommand,
                 "run N simulated phones (default 1) on COM5, COM7, ... instead of the phones on "
                 "USB; without it only phones found on USB run, and a run that finds none fails",
                 [](Options& o, const std::string* v, std::string& e) {
                     o.simPhones = 1;
                     if (!v)
                         return true;
                     double n;
                     if (!number(*v, n) || n < 1 || n > 64 || n != std::floor(n)) {
                         e = "--sim: '" + *v + "' is not a number of phones from 1 to 64";
                         return false;
                     }
                     o.simPhones = static_cast<int>(n);
                     return true;
                 }});
    t.push_back({"--no-usb", nullptr, false, nullptr, kRunCommand,
                 "do not look for USB phones (only with --sim, which does not look for them "
                 "either)",
                 [](Options& o, const std::string*, std::string&) {
                     o.noUsb = true;
                     return true;
                 }});
    t.push_back({"--duration", "SECONDS", false, "a number of seconds", kRunCommand,
                 "stop after this long (default: at Ctrl-C)",
                 [](Options& o, const std::string* v, std::string& e) {
                     return seconds("--duration", *v, o.durationSeconds, e);
                 }});
    t.push_back({"--until-frames", "N", false, "a number of frames", kRunCommand,
                 "stop once N frames were received (or at --duration)",
                 [](Options& o, const std::string* v, std::string& e) {
                     double n;
                     if (!number(*v, n) || n < 1 || n > 1e15 || n != std::floor(n)) {
                         e = "--until-frames: '" + *v + "' is not a number of frames";
                         return false;
                     }
                     o.untilFrames = static_cast<std::uint64_t>(n);
                     return true;
                 }});
    t.push_back({"--probes", "\"A,B\"", false, "a list of setting names", kRunCommand,
                 "switch on these settings by name: a setting's full name switches on all its "
                 "probes, a probe's name just that probe, e.g. \"GSM Mode Reports,RR State\" "
                 "(vela-host probes lists them)",
                 [](Options& o, const std::string* v, std::string& e) {
                     for (auto& p : splitList(*v))
                         o.probes.push_back(p);
                     if (o.probes.empty()) {
                         e = "--probes: no setting named";
                         return false;
                     }
                     return true;
                 }});
    t.push_back({"--settings", "FILE", false, "a file", kRunCommand,
                 "load the TVP channel's settings from an XML file",
                 [](Options& o, const std::string* v, std::string&) {
                     o.settingsFile = *v;
                     return true;
                 }});
    t.push_back({"--save-settings", "FILE", false, "a file", kRunCommand,
                 "write the TVP channel's settings as XML at the end",
                 [](Options& o, const std::string* v, std::string&) {
                     o.saveSettingsFile = *v;
                     return true;
                 }});
    t.push_back({"--record", "FILE", false, "a file", kRunCommand,
                 "record every frame into a capture file (pcapng, or pcap with --format pcap; "
                 "link type 147); - writes it to standard output, block by block as the frames "
                 "come, with every line for people on standard error",
                 [](Options& o, const std::string* v, std::string&) {
                     o.recordFile = *v;
                     return true;
                 }});
    t.push_back({"--rate", "N", false, "a rate", kRunCommand,
                 "simulated probe frames per second per probe (default 200)",
                 [](Options& o, const std::string* v, std::string& e) {
                     return rate("--rate", *v, o.probeRate, e);
                 },
                 true});
    t.push_back({"--print-rate", "N", false, "a rate", kRunCommand,
                 "simulated print-server lines per second (default 2)",
                 [](Options& o, const std::string* v, std::string& e) {
                     return rate("--print-rate", *v, o.printRate, e);
                 },
                 true});
    t.push_back({"--frame-size", "N", false, "a number of bytes", kRunCommand,
                 "bytes of a simulated probe frame (28 to 65536, default 64)",
                 [](Options& o, const std::string* v, std::string& e) {
                     double n;
                     if (!number(*v, n) || n != std::floor(n) || n < 28 || n > 65536) {
                         e = "--frame-size: '" + *v +
                             "' is not a frame size from 28 to 65536 bytes";
                         return false;
                     }
                     o.frameSize = static_cast<unsigned int>(n);
                     return true;
                 },
                 true});
    t.push_back({"--block-bytes", "N", false, "a number of bytes", kRunCommand,
                 "most bytes of whole frames in one block of a simulated phone (default 4096)",
                 [](Options& o, const std::string* v, std::string& e) {
                     double n;
                     if (!number(*v, n) || n != std::floor(n) || n < 1 || n > 1048576) {
                         e = "--block-bytes: '" + *v +
                             "' is not a block size from 1 to 1048576 bytes";
                         return false;
                     }
                     o.blockBytes = static_cast<std::size_t>(n);
                     return true;
                 },
                 true});
    t.push_back({"--fault", "NAME", false, "a fault name", kRunCommand, faultHelp(),
                 [](Options& o, const std::string* v, std::string& e) {
                     if (!findSimFault(*v)) {
                         e = "--fault: unknown fault '" + *v + "'";
                         return false;
                     }
                     o.faults.push_back(*v);
                     return true;
                 },
                 true});
    t.push_back({"--disconnect-after", "S", false, "a number of seconds", kRunCommand,
                 "the first simulated phone goes away S seconds after its session is up and its "
                 "settings applied",
                 [](Options& o, const std::string* v, std::string& e) {
                     return seconds("--disconnect-after", *v, o.disconnectAfter, e);
                 },
                 true});
    t.push_back({"--reconnect-after", "S", false, "a number of seconds", kRunCommand,
                 "the first simulated phone comes back S seconds after it went away (with "
                 "--disconnect-after)",
                 [](Options& o, const std::string* v, std::string& e) {
                     return seconds("--reconnect-after", *v, o.reconnectAfter, e);
                 },
                 true});
    t.push_back({"--activate-timeout", "S", false, "a number of seconds", kRunCommand,
                 "seconds to wait for the channels to come up (default 15)",
                 [](Options& o, const std::string* v, std::string& e) {
                     return seconds("--activate-timeout", *v, o.activateTimeout, e);
                 }});
    t.push_back({"--sim-server", nullptr, false, nullptr, kRunCommand,
                 "the simulated phones run in the simulated service's own process "
                 "(vela-mux-sim.exe, registered as the multiplexer's COM server; Windows); their "
                 "options are vela-mux-sim's",
                 [](Options& o, const std::string*, std::string& e) {
                     if (!simulatedServiceProcessSupported()) {
                         e = "--sim-server: the service runs in a process of its own only on "
                             "Windows";
                         return false;
                     }
                     o.simServer = true;
                     return true;
                 }});
    t.push_back({"--kill-service-after", "S", false, "a number of seconds", kRunCommand,
                 "with --sim-server: kill the service's process S seconds after the session is "
                 "up, and again after it came back",
                 [](Options& o, const std::string* v, std::string& e) {
                     if (!seconds("--kill-service-after", *v, o.killServiceAfter, e))
                         return false;
                     if (o.killServiceAfter <= 0) {
                         e = "--kill-service-after: the time must be above 0";
                         return false;
                     }
                     return true;
                 }});
    t.push_back({"--report-memory", nullptr, false, nullptr, kRunCommand,
                 "the summary gives the process's private memory two seconds after the settings "
                 "were applied and at the end, and the frames received in between",
                 [](Options& o, const std::string*, std::string&) {
                     o.reportMemory = true;
                     return true;
                 }});
    t.push_back({"--phone", "PORT", false, "a port name", kRunCommand,
                 "run only the phone on USB whose TVP port is PORT, as vela-host devices lists "
                 "it (COM7, /dev/ttyACM0)",
                 [](Options& o, const std::string* v, std::string&) {
                     o.phonePort = *v;
                     return true;
                 }});
    t.push_back({"--format", "FORMAT", false, "a format", kRunCommand | kReplayCommand,
                 "run: the capture file's format, pcapng (the default) or pcap; replay: text "
                 "(the default) or jsonl, one JSON object per record (time, phone, channel, "
                 "kind, probe id and name, sequence number, length, data in hex)",
                 [](Options& o, const std::string* v, std::string& e) {
                     const bool run = o.command == Options::Command::Run;
                     if (run && (*v == "pcapng" || *v == "pcap")) {
                         o.captureFormat =
                             *v == "pcap" ? CaptureFormat::Pcap : CaptureFormat::Pcapng;
                         return true;
                     }
                     if (!run && (*v == "text" || *v == "jsonl")) {
                         o.jsonLines = *v == "jsonl";
                         return true;
                     }
                     e = "--format: unknown format '" + *v + "' (" +
                         (run ? "pcapng or pcap" : "text or jsonl") + ")";
                     return false;
                 }});
    t.push_back({"-b", "KEY:VALUE", false, "a key and a value", kRunCommand,
                 "split the recording into files as dumpcap does, one -b per key: filesize:KB "
                 "(a new file before one would grow past KB kilobytes of 1000 bytes), "
                 "duration:S (a new file every S seconds), files:N (keep only the last N files, "
                 "a ring); FILE of --record is named with the file's number and the time it "
                 "began before its extension, out_00001_20260509142501.pcapng; a frame is never "
                 "split between files",
                 [](Options& o, const std::string* v, std::string& e) {
                     return parseRotation(*v, o.rotation, e);
                 }});
    t.push_back({"-c", "N", false, "a number of frames", kRunCommand,
                 "stop after N frames (of every phone together; the frames that come after them "
                 "are neither counted nor recorded)",
                 [](Options& o, const std::string* v, std::string& e) {
                     double n;
                     if (!number(*v, n) || n < 1 || n > 1e15 || n != std::floor(n)) {
                         e = "-c: '" + *v + "' is not a number of frames";
                         return false;
                     }
                     o.frameLimit = static_cast<std::uint64_t>(n);
                     return true;
                 }});
    t.push_back({"--jsonl", nullptr, false, nullptr, kRunCommand,
                 "write a JSON object per second per phone on standard output (time, phone, "
                 "port, the channels' states, frames, frames per probe, print-server lines, "
                 "lost reports, error frames), and the summary on standard error",
                 [](Options& o, const std::string*, std::string&) {
                     o.jsonStatus = true;
                     return true;
                 }});
    t.push_back({"--json", nullptr, false, nullptr, kProbesCommand | kDevicesCommand,
                 "write the list as one JSON document",
                 [](Options& o, const std::string*, std::string&) {
                     o.json = true;
                     return true;
                 }});
    t.push_back({"--plugin", "PATH", false, "a path",
                 kRunCommand | kReplayCommand | kProbesCommand | kDevicesCommand,
                 "the plug-in library (default: ../lib/vela/libvela.so from vela-host's folder, "
                 "or the build tree's lib/; vela.dll in vela-host.exe's folder on Windows)",
                 [](Options& o, const std::string* v, std::string&) {
                     o.pluginPath = *v;
                     return true;
                 }});
    t.push_back({"--trace", nullptr, false, nullptr, kRunCommand,
                 "write the component's trace lines to standard error",
                 [](Options& o, const std::string*, std::string&) {
                     o.trace = true;
                     return true;
                 }});
    return t;
}

// ---- rendering -------------------------------------------------------------------------------

std::string wrap(const std::string& text, std::size_t indent, std::size_t first,
                 std::size_t width) {
    std::string out, line;
    std::size_t used = first;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        if (!line.empty() && used + 1 + word.size() > width) {
            out += line + "\n" + std::string(indent, ' ');
            line.clear();
            used = indent;
        }
        if (!line.empty()) {
            line += ' ';
            ++used;
        }
        line += word;
        used += word.size();
    }
    return out + line;
}

std::string synopsisOf(const OptionSpec& o) {
    std::string text = o.name;
    if (o.argument)
        text += o.optionalArgument ? std::string(" [") + o.argument + "]"
                                   : std::string(" ") + o.argument;
    return text;
}

// The first command (in table order) that takes the option: its help is written there, the
// later commands refer to it.
const CommandSpec* firstCommandOf(const OptionSpec& o) {
    for (const auto& c : commandTable())
        if (c.bit & o.commands)
            return &c;
    return nullptr;
}

std::string commandsOf(const OptionSpec& o) {
    std::string text;
    for (const auto& c : commandTable())
        if (c.bit & o.commands)
            text += (text.empty() ? "" : ", ") + std::string(c.name);
    return text;
}

std::string sentence(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
    if (!text.empty() && text.back() != '.')
        text += '.';
    return text;
}

std::string roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '-')
            out += "\\-";
        else if (c == '\\')
            out += "\\e";
        else if (c == '"')
            out += "\\(dq";
        else
            out += c;
    }
    return out;
}

std::string roffOptionLine(const OptionSpec& o) {
    if (!o.argument)
        return ".B " + roff(o.name) + "\n";
    if (o.optionalArgument)
        return ".BR " + roff(o.name) + " \" [\\fI" + roff(o.argument) + "\\fR]\"\n";
    return ".BI " + roff(o.name) + " \" " + roff(o.argument) + "\"\n";
}

}  // namespace

const std::vector<CommandSpec>& commandTable() {
    static const std::vector<CommandSpec> commands = {
        {"run", kRunCommand, Options::Command::Run, "",
         "a session with the phones found on USB, or with simulated ones (--sim)"},
        {"replay", kReplayCommand, Options::Command::Replay, "FILE", "a capture as text"},
        {"probes", kProbesCommand, Options::Command::ListProbes, "",
         "the setting names that --probes takes"},
        {"devices", kDevicesCommand, Options::Command::ListDevices, "",
         "the USB serial devices and what the component makes of them"},
        {"help", 0, Options::Command::Help, "", "this text"},
        {"--version", 0, Options::Command::Version, "", "the version"},
    };
    return commands;
}

const std::vector<OptionSpec>& optionTable() {
    static const std::vector<OptionSpec> options = makeOptionTable();
    return options;
}

std::string renderUsage() {
    std::ostringstream out;
    out << "usage:\n";
    for (const auto& c : commandTable()) {
        std::string left = std::string("vela-host ") + c.name;
        bool hasOptions = false;
        for (const auto& o : optionTable())
            hasOptions |= (o.commands & c.bit) != 0;
        if (hasOptions)
            left += " [options]";
        if (*c.operands)
            left += std::string(" ") + c.operands;
        out << "  " << left;
        const std::size_t used = 2 + left.size();
        const std::size_t column = used < 36 ? 36 : used + 2;
        out << std::string(column - used, ' ') << wrap(c.summary, 36, column, 92) << '\n';
    }
    for (const auto& c : commandTable()) {
        bool header = false;
        for (const auto& o : optionTable()) {
            if (!(o.commands & c.bit))
                continue;
            if (!header)
                out << "\n" << c.name << " options:\n";
            header = true;
            const std::string left = "  " + synopsisOf(o);
            const std::size_t column = left.size() < 29 ? 29 : left.size() + 2;
            const CommandSpec* first = firstCommandOf(o);
            const std::string help = first == &c ? o.help : std::string("as for ") + first->name;
            out << left << std::string(column - left.size(), ' ') << wrap(help, 29, column, 92)
                << '\n';
        }
    }
    return out.str();
}

std::string renderManOptions() {
    std::ostringstream out;
    for (const auto& c : commandTable()) {
        bool header = false;
        for (const auto& o : optionTable()) {
            if (!(o.commands & c.bit))
                continue;
            if (!header)
                out << ".SS \"" << c.name << " options\"\n";
            header = true;
            const CommandSpec* first = firstCommandOf(o);
            out << ".TP\n" << roffOptionLine(o);
            if (first == &c)
                out << roff(sentence(o.help)) << '\n';
            else
                out << "As for\n.BR " << first->name << " .\n";
        }
    }
    return out.str();
}

std::string renderMarkdownOptions() {
    std::ostringstream out;
    out << "| Option | Commands | What it does |\n|---|---|---|\n";
    for (const auto& o : optionTable()) {
        std::string help = sentence(o.help);
        std::string escaped;
        for (char c : help)
            escaped += c == '|' ? std::string("\\|") : std::string(1, c);
        out << "| `" << synopsisOf(o) << "` | " << commandsOf(o) << " | " << escaped << " |\n";
    }
    return out.str();
}

}  // namespace host
