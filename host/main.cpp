// vela-host: runs a session with Vela phones through the plug-in, replays a recorded one, or
// lists the probes and the USB serial devices and what the plug-in makes of them.
#include <iostream>
#include <string>
#include <vector>

#include "host/DeviceList.h"
#include "host/HostPlatform.h"
#include "host/Options.h"
#include "host/ProbeSelection.h"
#include "host/Replay.h"
#include "host/Session.h"
#include "platform/com/ClassRegistry.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    host::Options options;
    std::string error;
    if (!host::parseOptions(args, options, error)) {
        std::cerr << "vela-host: " << error
                  << "\n(vela-host help lists the commands and options)\n";
        return 2;
    }
    switch (options.command) {
        case host::Options::Command::Help:
            std::cout << host::usage();
            return 0;
        case host::Options::Command::Version:
            std::cout << "vela-host " << VELA_VERSION << '\n';
            return 0;
        case host::Options::Command::ListProbes:
            if (options.json)
                host::listSettingsJson(std::cout);
            else
                host::listSettings(std::cout);
            return 0;
        case host::Options::Command::ListDevices:
            return host::listDevices(options, std::cout, std::cerr);
        case host::Options::Command::Replay:
            if (!host::replayCapture(options.replayFile, std::cout, error, options.jsonLines)) {
                std::cerr << "vela-host: " << error << '\n';
                return 1;
            }
            return 0;
        case host::Options::Command::Run:
            break;
    }
    // A capture is binary: it goes to a pipe or a file, never to a terminal.
    if (options.recordFile == "-" && host::standardOutputIsTerminal()) {
        std::cerr << "vela-host: --record - writes a capture to standard output, which is a "
                     "terminal (pipe it into a program: --record - | tshark -r -)\n";
        return 2;
    }
    host::installStopHandlers();
    // The component expects its host's thread in the multithreaded apartment: there it reaches
    // the phone service's objects directly, as its own workers do.
    const HRESULT apartment = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(apartment)) {
        std::cerr << "vela-host: cannot enter the multithreaded apartment (0x" << std::hex
                  << static_cast<unsigned long>(apartment) << std::dec << ")\n";
        return 1;
    }
    // When standard output carries a capture or JSON lines, every line for people goes to
    // standard error.
    const bool dataOnStdout = options.recordFile == "-" || options.jsonStatus;
    const int code = host::runSession(options, dataOnStdout ? std::cerr : std::cout, std::cerr,
                                      host::statusIsTerminal(), &std::cout);
    host::sessionEnded();
    CoUninitialize();
    return code;
}
