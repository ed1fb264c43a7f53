// vela-extcap, the capture program that Wireshark runs from its extcap folder (Wireshark's
// extcap interface): it lists one interface per Vela phone found on USB and a simulated phone,
// the link type of their captures, and their settings (the catalogue's probes as a tree of
// check boxes, a settings file, and for the simulated phone the rate of its reports); asked to
// capture, it runs a session with that phone and writes the pcapng capture into the fifo that
// Wireshark reads, block by block as the frames come, until Wireshark stops it (SIGTERM, or its
// end of the fifo closed) or the session fails.
#pragma once

#include <string>
#include <vector>

#include "host/Options.h"

namespace host::extcap {

// The interface of the simulated phone.
constexpr const char* kSimulatedInterface = "vela-sim";

struct Request {
    enum class Mode {
        Interfaces,
        Dlts,
        Config,
        FilterCheck,
        Capture,
        Version,
        Help
    } mode = Mode::Help;
    std::string ifname;  // --extcap-interface
    std::string filter;  // --extcap-capture-filter
    Options run;         // for a capture: the session (fifo, probes, rate, settings file)
};

// A phone found on USB: its TVP port and how Wireshark shows it.
struct Phone {
    std::string port;     // "/dev/ttyACM0", "COM7"
    std::string display;  // "Vela V330 on /dev/ttyACM0 (model family 3)"
};

// Reads the arguments Wireshark gives (after the program name). False with a message.
bool parse(const std::vector<std::string>& args, Request& request, std::string& error);

// The interface name of a phone on a port: "vela-" and the port's last part ("vela-ttyACM0").
std::string interfaceName(const std::string& port);

// What the program prints for each question, each line ending in a line feed.
std::string interfacesText(const std::vector<Phone>& phones);
std::string dltsText(const std::string& ifname);
std::string configText(const std::string& ifname);
// An empty answer for an empty filter; else why it is refused.
std::string filterCheckText(const std::string& filter);
std::string usage();

// The Vela phones on USB, as the loaded plug-in's detector finds them.
std::vector<Phone> phonesOnUsb();

}  // namespace host::extcap
