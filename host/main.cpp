// vela-host: runs a session with Vela phones through the plug-in, or replays a recorded one.
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "host/Options.h"
#include "host/Replay.h"
#include "host/Session.h"

namespace {

void onSignal(int) {
    host::requestStop();
}

}  // namespace

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
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader of our output that goes away must not kill the session half-way.
    signal(SIGPIPE, SIG_IGN);
    // A capture file over the process's size limit fails its write (and is reported as a failed
    // recording) instead of killing the session.
    signal(SIGXFSZ, SIG_IGN);
    return host::runSession(options, std::cout, std::cerr, ::isatty(STDERR_FILENO) != 0);
}
