#include "sim/server/ServerOptions.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

#include "framework/core/NumberText.h"

namespace muxsim {

namespace {

constexpr auto& number = core::parseNonNegativeNumber;

// "/RegServer", "-regserver" and "--RegServer" all name the switch "regserver".
std::string switchName(const std::string& arg) {
    std::size_t at = 0;
    while (at < arg.size() && at < 2 && (arg[at] == '/' || arg[at] == '-'))
        ++at;
    if (at == 0)
        return {};
    std::string name;
    for (char c : arg.substr(at))
        name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

}  // namespace

std::string serverUsage() {
    return "usage:\n"
           "  vela-mux-sim /RegServer [phone options]   register the simulated service as the\n"
           "                                            debug multiplexer's COM local server\n"
           "                                            (its phones run with these options)\n"
           "  vela-mux-sim /UnregServer                 remove that registration\n"
           "  vela-mux-sim [-Embedding] [phone options] serve until the last client object is\n"
           "                                            released (COM starts it so)\n"
           "\n"
           "phone options:\n"
           "  --sim N                  N simulated phones on COM5, COM7, ... (default 1)\n"
           "  --rate N                 probe frames per second per probe (default 200)\n"
           "  --print-rate N           print-server lines per second (default 2)\n"
           "  --frame-size N           bytes of a probe frame (28 to 65536, default 64)\n"
           "  --block-bytes N          most bytes of whole frames in one block (default 4096)\n"
           "  --fault NAME             nack-start, no-ack-start, nack-probes, error-frame (0.5 s\n"
           "                           after the first phone's probes came on), split\n"
           "  --disconnect-after S     the first phone goes away S seconds after its probes\n"
           "                           came on\n"
           "  --reconnect-after S      and comes back S seconds after it went\n";
}

bool parseServerOptions(const std::vector<std::string>& args, ServerOptions& o,
                        std::string& error) {
    bool actionGiven = false;
    auto setAction = [&](ServerOptions::Action action, const std::string& arg) {
        if (actionGiven && o.action != action) {
            error = "'" + arg + "' cannot go with the switch before it";
            return false;
        }
        actionGiven = true;
        o.action = action;
        return true;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const std::string name = switchName(a);
        if (name == "regserver") {
            if (!setAction(ServerOptions::Action::Register, a))
                return false;
            continue;
        }
        if (name == "unregserver") {
            if (!setAction(ServerOptions::Action::Unregister, a))
                return false;
            continue;
        }
        if (name == "embedding") {
            o.embedding = true;
            continue;
        }
        if (name == "help" || name == "h" || name == "?") {
            o.action = ServerOptions::Action::Help;
            return true;
        }
        auto value = [&](const char* what) -> const std::string* {
            if (i + 1 >= args.size()) {
                error = a + " needs " + what;
                return nullptr;
            }
            return &args[++i];
        };
        auto positive = [&](const char* what, double low, double high, bool whole,
                            double& out) -> bool {
            const std::string* v = value(what);
            if (!v)
                return false;
            double n;
            if (!number(*v, n) || n < low || n > high || (whole && n != std::floor(n))) {
                error = a + ": '" + *v + "' is not " + what;
                return false;
            }
            out = n;
            o.phoneArguments.push_back(a);
            o.phoneArguments.push_back(*v);
            return true;
        };
        double n = 0;
        if (a == "--sim") {
            if (!positive("a number of phones from 1 to 64", 1, 64, true, n))
                return false;
            o.phones = static_cast<int>(n);
        } else if (a == "--rate") {
            if (!positive("a rate", 0, 1e6, false, o.probeRate))
                return false;
        } else if (a == "--print-rate") {
            if (!positive("a rate", 0, 1e6, false, o.printRate))
                return false;
        } else if (a == "--frame-size") {
            if (!positive("a frame size from 28 to 65536 bytes", 28, 65536, true, n))
                return false;
            o.frameSize = static_cast<unsigned int>(n);
        } else if (a == "--block-bytes") {
            if (!positive("a block size from 1 to 1048576 bytes", 1, 1048576, true, n))
                return false;
            o.blockBytes = static_cast<std::size_t>(n);
        } else if (a == "--disconnect-after") {
            if (!positive("a number of seconds", 0, 1e6, false, o.disconnectAfter))
                return false;
        } else if (a == "--reconnect-after") {
            if (!positive("a number of seconds", 0, 1e6, false, o.reconnectAfter))
                return false;
        } else if (a == "--fault") {
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
            o.phoneArguments.push_back(a);
            o.phoneArguments.push_back(*v);
        } else {
            error = "unknown option '" + a + "'";
            return false;
        }
    }
    if (o.action == ServerOptions::Action::Unregister && !o.phoneArguments.empty()) {
        error = "/UnregServer takes no phone options";
        return false;
    }
    return true;
}

std::string commandLine(const std::string& program, const std::vector<std::string>& args) {
    // Each word in double quotes when it has a space, a tab or a quote (or is empty); inside,
    // a quote is escaped with a backslash and the backslashes before it (and before the
    // closing quote) are doubled.
    auto quote = [](const std::string& word) {
        if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos)
            return word;
        std::string out = "\"";
        std::size_t backslashes = 0;
        for (char c : word) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            if (c == '"')
                out.append(backslashes * 2 + 1, '\\');
            else
                out.append(backslashes, '\\');
            backslashes = 0;
            out += c;
        }
        out.append(backslashes * 2, '\\');
        return out + "\"";
    };
    std::string line = quote(program);
    for (const auto& a : args)
        line += " " + quote(a);
    return line;
}

}  // namespace muxsim
