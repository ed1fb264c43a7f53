// vela-extcap's answers to Wireshark: its interfaces, the link type, the settings of an
// interface, the check of a capture filter, and the session a capture request asks for; bad
// requests are refused with the reason.
#include <gtest/gtest.h>

#include "host/Extcap.h"

namespace {

using host::extcap::Request;

Request parse(std::vector<std::string> args) {
    Request request;
    std::string error;
    EXPECT_TRUE(host::extcap::parse(args, request, error)) << error;
    return request;
}

std::string errorOf(std::vector<std::string> args) {
    Request request;
    std::string error;
    EXPECT_FALSE(host::extcap::parse(args, request, error));
    return error;
}

TEST(Extcap, InterfacesLinkTypeAndSettings) {
    EXPECT_EQ(parse({"--extcap-interfaces", "--extcap-version=4.0"}).mode,
              Request::Mode::Interfaces);
    EXPECT_EQ(host::extcap::interfacesText({{"/dev/ttyACM0", "Vela V330 on /dev/ttyACM0 {x}"}}),
              "extcap {version=" VELA_VERSION
              "}{display=Vela phones}\n"
              "interface {value=vela-ttyACM0}{display=Vela V330 on /dev/ttyACM0 (x)}\n"
              "interface {value=vela-sim}{display=Vela phone (simulated)}\n");
    EXPECT_EQ(host::extcap::interfaceName("COM7"), "vela-COM7");
    const Request dlts = parse({"--extcap-interface", "vela-sim", "--extcap-dlts"});
    EXPECT_EQ(dlts.mode, Request::Mode::Dlts);
    EXPECT_EQ(host::extcap::dltsText(dlts.ifname),
              "dlt {number=147}{name=USER0}{display=Vela phone records}\n");

    EXPECT_EQ(parse({"--extcap-config", "--extcap-interface=vela-COM7"}).ifname, "vela-COM7");
    const std::string sim = host::extcap::configText("vela-sim");
    EXPECT_EQ(sim.rfind("arg {number=0}{call=--probes}{display=Probes}{type=multicheck}", 0), 0u);
    // Every catalogue item, its values beneath it.
    EXPECT_NE(sim.find("value {arg=0}{value=GSM Mode Reports}{display=GSM Mode Reports}"
                       "{enabled=true}\n"),
              std::string::npos);
    EXPECT_NE(sim.find("value {arg=0}{value=RR State}{display=RR State}{parent=GSM Mode "
                       "Reports}{enabled=true}\n"),
              std::string::npos);
    EXPECT_NE(sim.find("{call=--settings}{display=Settings file}{type=fileselect}{mustexist=true}"),
              std::string::npos);
    EXPECT_NE(sim.find("{call=--rate}"), std::string::npos);
    EXPECT_EQ(host::extcap::configText("vela-COM7").find("{call=--rate}"), std::string::npos)
        << "a phone on USB has no rate";

    EXPECT_EQ(parse({"--extcap-interface", "vela-sim", "--extcap-capture-filter", ""}).mode,
              Request::Mode::FilterCheck);
    EXPECT_EQ(host::extcap::filterCheckText(""), "");
    EXPECT_NE(host::extcap::filterCheckText("tcp"), "");
}

TEST(Extcap, CaptureRequestIsASessionIntoTheFifo) {
    Request sim = parse({"--capture", "--extcap-interface", "vela-sim", "--fifo", "/tmp/f",
                         "--probes", "RR State,MPH State", "--rate", "50"});
    EXPECT_EQ(sim.mode, Request::Mode::Capture);
    EXPECT_EQ(sim.run.command, host::Options::Command::Run);
    EXPECT_EQ(sim.run.simPhones, 1);
    EXPECT_EQ(sim.run.recordFile, "/tmp/f");
    EXPECT_TRUE(sim.run.recordIsFifo);
    EXPECT_TRUE(sim.run.quiet);
    EXPECT_EQ(sim.run.captureFormat, host::CaptureFormat::Pcapng);
    EXPECT_EQ(sim.run.probes, (std::vector<std::string>{"RR State", "MPH State"}));
    EXPECT_EQ(sim.run.probeRate, 50);
    EXPECT_EQ(sim.run.durationSeconds, 0) << "until Wireshark stops it";

    Request usb = parse({"--capture", "--extcap-interface", "vela-ttyACM0", "--fifo", "f"});
    EXPECT_EQ(usb.run.simPhones, 0);
    EXPECT_EQ(usb.run.phonePort, "ttyACM0");
    EXPECT_EQ(usb.run.probes, std::vector<std::string>{"GSM Mode Reports"}) << "the default";
}

TEST(Extcap, BadRequestsAreRefused) {
    EXPECT_EQ(errorOf({"--capture", "--extcap-interface", "vela-sim"}),
              "--capture needs --fifo PATH");
    EXPECT_EQ(errorOf({"--capture", "--fifo", "f"}), "--extcap-interface is needed");
    EXPECT_EQ(errorOf({"--extcap-dlts", "--extcap-interface", "eth0"}), "unknown interface 'eth0'");
    EXPECT_EQ(
        errorOf({"--capture", "--extcap-interface", "vela-sim", "--fifo", "f", "--rate", "x"}),
        "--rate: 'x' is not a rate");
    EXPECT_EQ(errorOf({"--extcap-interface", "vela-sim", "--fifo"}), "--fifo needs a fifo");
    EXPECT_EQ(errorOf({"--bogus"}), "unknown option '--bogus'");
    EXPECT_EQ(errorOf({}),
              "nothing asked (--extcap-interfaces, --extcap-dlts, --extcap-config or --capture)");
    EXPECT_NE(errorOf({"--capture", "--extcap-interface", "vela-sim", "--fifo", "f",
                       "--extcap-capture-filter", "udp"})
                  .find("take no capture filter"),
              std::string::npos);
    EXPECT_EQ(parse({"--version"}).mode, Request::Mode::Version);
}

}  // namespace
