// vela-extcap: the Vela phones as capture interfaces of Wireshark (Extcap.h).
#include <iostream>
#include <string>
#include <vector>

#include "host/Extcap.h"
#include "host/HostPlatform.h"
#include "host/Plugin.h"
#include "host/Session.h"
#include "platform/com/ClassRegistry.h"

int main(int argc, char** argv) {
    using Mode = host::extcap::Request::Mode;
    std::vector<std::string> args(argv + 1, argv + argc);
    host::extcap::Request request;
    std::string error;
    if (!host::extcap::parse(args, request, error)) {
        std::cerr << "vela-extcap: " << error << '\n';
        return 2;
    }
    switch (request.mode) {
        case Mode::Help:
            std::cout << host::extcap::usage();
            return 0;
        case Mode::Version:
            std::cout << "vela-extcap " << VELA_VERSION << '\n';
            return 0;
        case Mode::Interfaces: {
            // The phones on USB as the plug-in's detector sees them; without the plug-in only
            // the simulated phone is listed, and its capture says what is missing.
            ATL::CAtlModule module;
            host::Plugin plugin;
            std::vector<host::extcap::Phone> phones;
            if (plugin.load(host::Plugin::defaultPath(), module, error))
                phones = host::extcap::phonesOnUsb();
            std::cout << host::extcap::interfacesText(phones);
            return 0;
        }
        case Mode::Dlts:
            std::cout << host::extcap::dltsText(request.ifname);
            return 0;
        case Mode::Config:
            std::cout << host::extcap::configText(request.ifname);
            return 0;
        case Mode::FilterCheck:
            std::cout << host::extcap::filterCheckText(request.filter);
            return 0;
        case Mode::Capture:
            break;
    }
    host::installStopHandlers();
    const HRESULT apartment = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(apartment)) {
        std::cerr << "vela-extcap: cannot enter the multithreaded apartment\n";
        return 1;
    }
    // Wireshark shows whatever comes on standard error as an error: a session that went well
    // says nothing.
    const int code = host::runSession(request.run, std::cerr, std::cerr, false);
    host::sessionEnded();
    CoUninitialize();
    return code;
}
