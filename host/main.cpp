// vela-host: runs a session with Vela phones through the plug-in, replays a recorded one, or
// lists the USB serial devices and what the plug-in makes of them.
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
        case host::Options::Command::ListDevices:
            return host::listDevices(options, std::cout, std::cerr);
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
    // The component expects its host's thread in the multithreaded apartment: there it reaches
    // the phone service's objects directly, as its own workers do.
    const HRESULT apartment = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(apartment)) {
        std::cerr << "vela-host: cannot enter the multithreaded apartment (0x" << std::hex
                  << static_cast<unsigned long>(apartment) << std::dec << ")\n";
        return 1;
    }
    const int code = host::runSession(options, std::cout, std::cerr, host::statusIsTerminal());
    host::sessionEnded();
    CoUninitialize();
    return code;
}
