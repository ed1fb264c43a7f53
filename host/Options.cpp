#include "host/Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace host {

namespace {

bool number(const std::string& text, double& out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(v) || v < 0)
        return false;
    out = v;
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

}  // namespace

std::string usage() {
    return "usage:\n"
           "  vela-host run [options]      run a session with the phones found on USB, or with\n"
           "                               simulated ones (--sim)\n"
           "  vela-host replay FILE        print a recorded session as text\n"
           "  vela-host probes             list the settings that --probes accepts\n"
           "  vela-host devices            list the USB serial devices and what the component\n"
           "                               makes of them (--plugin PATH as for run)\n"
           "\n"
           "run options:\n"
           "  --sim [N]                  run N simulated phones (default 1) instead of the\n"
           "                             phones on USB; without it, a run that finds no phone\n"
           "                             on USB fails\n"
           "  --no-usb                   do not look for USB phones (with --sim)\n"
           "  --duration SECONDS         stop after this long (default: at Ctrl-C)\n"
           "  --until-frames N           stop once N frames were received (or at --duration)\n"
           "  --probes \"A,B\"             switch on these settings by name, e.g.\n"
           "                             \"GSM Mode Reports,WCDMA Layer 3 Reports\"\n"
           "  --settings FILE            load the channel's settings from an XML file\n"
           "  --save-settings FILE       write the channel's settings as XML at the end\n"
           "  --record FILE              record every frame into a capture file (pcap)\n"
           "  --rate N                   simulated probe frames per second per probe (default "
           "200)\n"
           "  --print-rate N             simulated print-server lines per second (default 2)\n"
           "  --frame-size N             bytes of a simulated probe frame (28 to 65536, default\n"
           "                             64)\n"
           "  --block-bytes N            most bytes of whole frames in one block of a simulated\n"
           "                             phone (default 4096)\n"
           "  --fault NAME               simulated phone fault: nack-start, no-ack-start,\n"
           "                             nack-probes, error-frame (0.5 s after the first\n"
           "                             phone's session is up and its settings applied), split\n"
           "  --disconnect-after S       the first simulated phone goes away S seconds after\n"
           "                             its session is up and its settings applied\n"
           "  --reconnect-after S        and comes back S seconds after it left\n"
           "  --activate-timeout S       seconds to wait for the channels (default 15)\n"
           "  --sim-server               the simulated phones run in the simulated service's\n"
           "                             own process (vela-mux-sim.exe, registered as the\n"
           "                             multiplexer's COM server; Windows); their options\n"
           "                             are vela-mux-sim's\n"
           "  --kill-service-after S     with --sim-server: kill the service's process S\n"
           "                             seconds after the session is up, and again after it\n"
           "                             came back\n"
           "  --report-memory            print the process's private memory after a warm-up\n"
           "                             and at the end\n"
           "  --plugin PATH              the plug-in library (default: ../lib/vela/libvela.so\n"
           "                             from vela-host's folder, or the build tree's lib/;\n"
           "                             vela.dll in vela-host.exe's folder on Windows)\n"
           "  --trace                    write the component's trace lines to stderr\n";
}

bool parseOptions(const std::vector<std::string>& args, Options& o, std::string& error) {
    if (args.empty()) {
        error = "no command given";
        return false;
    }
    const std::string& command = args[0];
    if (command == "help" || command == "--help" || command == "-h") {
        o.command = Options::Command::Help;
        return true;
    }
    if (command == "probes") {
        o.command = Options::Command::ListProbes;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--plugin" && i + 1 < args.size()) {
                o.pluginPath = args[++i];
            } else {
                error = "unexpected argument '" + args[i] + "'";
                return false;
            }
        }
        return true;
    }
    if (command == "devices") {
        o.command = Options::Command::ListDevices;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--plugin" && i + 1 < args.size()) {
                o.pluginPath = args[++i];
            } else {
                error = "unexpected argument '" + args[i] + "'";
                return false;
            }
        }
        return true;
    }
    if (command == "replay") {
        o.command = Options::Command::Replay;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--plugin" && i + 1 < args.size()) {
                o.pluginPath = args[++i];
            } else if (o.replayFile.empty() && args[i].rfind("--", 0) != 0) {
                o.replayFile = args[i];
            } else {
                error = "unexpected argument '" + args[i] + "'";
                return false;
            }
        }
        if (o.replayFile.empty()) {
            error = "replay needs a capture file";
            return false;
        }
        return true;
    }
    if (command != "run") {
        error = "unknown command '" + command + "'";
        return false;
    }
    o.command = Options::Command::Run;
    std::string phoneOption;  // the first option of the simulated phones given
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](const char* what) -> const std::string* {
            if (i + 1 >= args.size()) {
                error = a + " needs " + what;
                return nullptr;
            }
            return &args[++i];
        };
        auto seconds = [&](double& out) {
            const std::string* v = value("a number of seconds");
            if (!v)
                return false;
            if (!number(*v, out)) {
                error = a + ": '" + *v + "' is not a number of seconds";
                return false;
            }
            return true;
        };
        if (a == "--sim") {
            o.simPhones = 1;
            if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) {
                double n;
                if (!number(args[i + 1], n) || n < 1 || n > 64 || n != std::floor(n)) {
                    error = "--sim: '" + args[i + 1] + "' is not a number of phones from 1 to 64";
                    return false;
                }
                o.simPhones = static_cast<int>(n);
                ++i;
            }
        } else if (a == "--no-usb") {
            o.noUsb = true;
        } else if (a == "--duration") {
            if (!seconds(o.durationSeconds))
                return false;
        } else if (a == "--until-frames") {
            const std::string* v = value("a number of frames");
            if (!v)
                return false;
            double n;
            if (!number(*v, n) || n < 1 || n > 1e15 || n != std::floor(n)) {
                error = "--until-frames: '" + *v + "' is not a number of frames";
                return false;
            }
            o.untilFrames = static_cast<std::uint64_t>(n);
        } else if (a == "--probes") {
            const std::string* v = value("a list of setting names");
            if (!v)
                return false;
            for (auto& p : splitList(*v))
                o.probes.push_back(p);
            if (o.probes.empty()) {
                error = "--probes: no setting named";
                return false;
            }
        } else if (a == "--settings") {
            const std::string* v = value("a file");
            if (!v)
                return false;
            o.settingsFile = *v;
        } else if (a == "--save-settings") {
            const std::string* v = value("a file");
            if (!v)
                return false;
            o.saveSettingsFile = *v;
        } else if (a == "--record") {
            const std::string* v = value("a file");
            if (!v)
                return false;
            o.recordFile = *v;
        } else if (a == "--plugin") {
            const std::string* v = value("a path");
            if (!v)
                return false;
            o.pluginPath = *v;
        } else if (a == "--rate" || a == "--print-rate") {
            phoneOption = phoneOption.empty() ? a : phoneOption;
            const std::string* v = value("a rate");
            if (!v)
                return false;
            double r;
            if (!number(*v, r) || r > 1e6) {
                error = a + ": '" + *v + "' is not a rate";
                return false;
            }
            (a == "--rate" ? o.probeRate : o.printRate) = r;
        } else if (a == "--frame-size" || a == "--block-bytes") {
            phoneOption = phoneOption.empty() ? a : phoneOption;
            const std::string* v = value("a number of bytes");
            if (!v)
                return false;
            const bool frame = a == "--frame-size";
            double n;
            if (!number(*v, n) || n != std::floor(n) || n < (frame ? 28 : 1) ||
                n > (frame ? 65536 : 1048576)) {
                error = a + ": '" + *v + "' is not " +
                        (frame ? "a frame size from 28 to 65536 bytes"
                               : "a block size from 1 to 1048576 bytes");
                return false;
            }
            if (frame)
                o.frameSize = static_cast<unsigned int>(n);
            else
                o.blockBytes = static_cast<std::size_t>(n);
        } else if (a == "--fault") {
            phoneOption = phoneOption.empty() ? a : phoneOption;
            const std::string* v = value("a fault name");
            if (!v)
                return false;
            static const char* known[] = {"nack-start", "no-ack-start", "nack-probes",
                                          "error-frame", "split"};
            bool ok = false;
            for (auto* k : known)
                ok = ok || *v == k;
            if (!ok) {
                error = "--fault: unknown fault '" + *v + "'";
                return false;
            }
            o.faults.push_back(*v);
        } else if (a == "--disconnect-after" || a == "--reconnect-after") {
            phoneOption = phoneOption.empty() ? a : phoneOption;
            if (!seconds(a == "--disconnect-after" ? o.disconnectAfter : o.reconnectAfter))
                return false;
        } else if (a == "--sim-server") {
#if defined(_WIN32)
            o.simServer = true;
#else
            error = "--sim-server: the service runs in a process of its own only on Windows";
            return false;
#endif
        } else if (a == "--kill-service-after") {
            if (!seconds(o.killServiceAfter))
                return false;
            if (o.killServiceAfter <= 0) {
                error = "--kill-service-after: the time must be above 0";
                return false;
            }
        } else if (a == "--report-memory") {
            o.reportMemory = true;
        } else if (a == "--activate-timeout") {
            if (!seconds(o.activateTimeout))
                return false;
        } else if (a == "--trace") {
            o.trace = true;
        } else {
            error = "unknown option '" + a + "'";
            return false;
        }
    }
    if (o.simServer && !phoneOption.empty()) {
        error = phoneOption +
                ": with --sim-server the phones are vela-mux-sim's (give it to "
                "vela-mux-sim /RegServer)";
        return false;
    }
    if (o.killServiceAfter > 0 && !o.simServer) {
        error = "--kill-service-after needs --sim-server";
        return false;
    }
    if (o.simServer && o.simPhones == 0)
        o.simPhones = 1;
    if (o.noUsb && o.simPhones == 0 && o.faults.empty() && o.disconnectAfter <= 0) {
        error = "--no-usb leaves no phone to run with (add --sim for a simulated phone)";
        return false;
    }
    if (!o.faults.empty() && o.simPhones == 0)
        o.simPhones = 1;
    if (o.disconnectAfter > 0 && o.simPhones == 0)
        o.simPhones = 1;
    return true;
}

}  // namespace host
