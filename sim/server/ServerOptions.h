// The command line of vela-mux-sim, the simulated debug-multiplexer service as a COM local
// server in a process of its own (Windows):
//
//   vela-mux-sim /RegServer [phone options]   register the server (LocalServer32 with the phone
//                                             options) and the type library, and end
//   vela-mux-sim /UnregServer                 remove what /RegServer wrote, and end
//   vela-mux-sim [-Embedding] [phone options] serve the classes until the last object a client
//                                             made is released (COM starts it with -Embedding)
//
// The phone options are those of vela-host's simulated phones: --sim N, --rate N,
// --print-rate N, --fault NAME (repeated), --disconnect-after S, --reconnect-after S, and the
// block layout --frame-size N, --block-bytes N. Switches are taken with '/' or '-' and in any
// case, as COM servers take them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace muxsim {

struct ServerOptions {
    enum class Action { Serve, Register, Unregister, Help } action = Action::Serve;
    bool embedding = false;         // started by COM
    int phones = 1;                 // on COM5, COM7, ...
    double probeRate = 200;         // frames per second per probe that is on
    double printRate = 2;           // print-server lines per second
    unsigned int frameSize = 64;    // bytes of a probe frame
    std::size_t blockBytes = 4096;  // most bytes of whole frames in one block
    std::vector<std::string> faults;
    double disconnectAfter = 0;  // the first phone goes away this long after its probes came on
    double reconnectAfter = 0;   // and comes back this long after it went
    // The phone options as they were given, for the command line that /RegServer registers.
    std::vector<std::string> phoneArguments;
};

// Parses the arguments after the program name; false with a message for bad input.
bool parseServerOptions(const std::vector<std::string>& args, ServerOptions& options,
                        std::string& error);
std::string serverUsage();

// The command line of a program with its arguments, each quoted as the Windows command-line
// rules need (CommandLineToArgvW gives the same words back).
std::string commandLine(const std::string& program, const std::vector<std::string>& args);

}  // namespace muxsim
