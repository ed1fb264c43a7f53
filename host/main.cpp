// vela-host: runs a session with Vela phones through the plug-in, or replays a recorded one.
#include <iostream>
#include <string>
#include <vector>

#include "host/HostPlatform.h"
#include "host/Options.h"
#include "host/Replay.h"
#include "host/Session.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    host::Options options;
    std::string error;
    if (!host::parseOptions(args, options, error)) {
        std::cerr << "vela-host: " << error << "\n\n" << host::usage();
        return 2;
    }
    switch (options.command) {
        case host::Options::Command::Help:
            std::cout << host::usage();
            return 0;
        case host::Options::Command::ListProbes:
            host::listSettings(std::cout);
            return 0;
        case host::Options::Command::Replay:
            if (!host::replayCapture(options.replayFile, std::cout, error)) {
                std::cerr << "vela-host: " << error << '\n';
                return 1;
            }
            return 0;
        case host::Options::Command::Run:
            break;
    }
    host::installStopHandlers();
    const int code = host::runSession(options, std::cout, std::cerr, host::statusIsTerminal());
    host::sessionEnded();
    return code;
}
