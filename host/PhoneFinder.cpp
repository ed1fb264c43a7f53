#include "host/PhoneFinder.h"

#include <stdexcept>

#include "host/ComponentEquipment.h"
#include "host/SimFaults.h"
#include "host/UsbDevices.h"
#include "sim/SimPhone.h"
#include "sim/SimService.h"

namespace host {

namespace {

// A port as --phone names it: its whole name, or its last part ("ttyACM0" for /dev/ttyACM0).
bool samePort(const std::string& port, const std::string& asked) {
    if (port == asked)
        return true;
    const auto slash = port.find_last_of("/\\");
    return slash != std::string::npos && port.substr(slash + 1) == asked;
}

void addSimulatedPhone(const Options& options, int index,
                       std::vector<std::unique_ptr<PhoneSession>>& phones, std::ostream& notes,
                       bool& noAtPortReported) {
    const int port = 5 + 2 * index;
    const int atPortNumber = port + 1;
    if (options.simServer) {
        // The phone runs in the service's process, which the component reaches through COM;
        // it has no AT port here.
        if (!noAtPortReported)
            notes << "The simulated phones run in the simulated service's own process "
                     "(vela-mux-sim): their sessions run without the AT channel.\n";
        noAtPortReported = true;
        core::RCPtr<equip::DeviceInfoData> device(new equip::DeviceInfoData());
        device->vendorId = "F1E0";
        device->productId = "D001";
        device->vendor = "Vela";
        device->product = "Vela phone (simulated) " + std::to_string(index + 1);
        device->serialNumber = "SIM" + std::to_string(1001 + index);
        device->ports.push_back({"COM" + std::to_string(port), "Modem", ""});
        auto session = std::make_unique<PhoneSession>(static_cast<int>(phones.size()), device);
        session->setSimulatedElsewhere();
        phones.push_back(std::move(session));
        return;
    }
    // The AT port, reached as COM<atPortNumber>. Without one the phone has no AT channel; its
    // TVP and print-server channels, and so the recording, do not need it.
    auto atPort = std::make_unique<SimAtPort>();
    std::string noAtPort;
    if (!atPort->open(atPortNumber, noAtPort)) {
        atPort.reset();
        if (!noAtPortReported)
            notes << "The simulated phone has no AT port (" << noAtPort
                  << "): its session runs without the AT channel.\n";
        noAtPortReported = true;
    }
    sim::SimPhoneOptions phoneOptions;
    phoneOptions.name = "Vela phone (simulated) " + std::to_string(index + 1);
    phoneOptions.probeRate = options.probeRate;
    phoneOptions.printRate = options.printRate;
    phoneOptions.frameSize = options.frameSize;
    phoneOptions.blockBytes = options.blockBytes;
    // The faults the first phone takes before its session starts.
    std::vector<const SimFault*> faults;
    if (index == 0)
        for (const auto& name : options.faults)
            if (const SimFault* fault = findSimFault(name); fault && fault->beforeStart)
                faults.push_back(fault);
    auto start = [port, index, phoneOptions, faults](std::string& why) {
        std::unique_ptr<sim::SimPhone> phone;
        try {
            phone = sim::SimPhone::create(sim::SimService::instance(), port, 1001 + index,
                                          phoneOptions);
        } catch (const std::exception& e) {
            why = std::string("cannot start a simulated phone: ") + e.what();
            return phone;
        }
        for (const SimFault* fault : faults)
            fault->beforeStart(*phone);
        return phone;
    };
    core::RCPtr<equip::DeviceInfoData> device(new equip::DeviceInfoData());
    device->vendorId = "F1E0";
    device->productId = "D001";
    device->vendor = "Vela";
    device->product = phoneOptions.name;
    device->serialNumber = "SIM" + std::to_string(1001 + index);
    device->ports.push_back({"COM" + std::to_string(port), "Modem", ""});
    if (atPort)
        device->ports.push_back(
            {"COM" + std::to_string(atPortNumber), "Device Management", atPort->path()});
    auto session = std::make_unique<PhoneSession>(static_cast<int>(phones.size()), device);
    session->setSimulated(PhoneSession::SimulatedStart(start), std::move(atPort));
    phones.push_back(std::move(session));
}

}  // namespace

bool findPhones(const Options& options, std::vector<std::unique_ptr<PhoneSession>>& phones,
                std::ostream& notes, std::string& error) {
    if (options.simPhones > 0) {
        // The service is there (registered) before the component asks for it; its phones join
        // it once the component listens (PhoneSession::create).
        if (!options.simServer)
            sim::SimService::instance();
        bool noAtPortReported = false;
        for (int i = 0; i < options.simPhones; ++i)
            addSimulatedPhone(options, i, phones, notes, noAtPortReported);
        return true;
    }
    const UsbScan scan = scanUsbSerialDevices();
    if (!scan.error.empty()) {
        error =
            "cannot look for phones on USB: " + scan.error + " (use --sim for a simulated phone)";
        return false;
    }
    // A device is a phone when the detector that knows it describes it with a TVP channel.
    for (auto& device : scan.devices) {
        auto info = ComponentEquipment::describe(*device);
        auto tvp = info ? core::rcCast<equip::EquipmentChannelInfo>(
                              info->getChannelInfo(dsrc::CHANNEL_TYPE_TVP))
                        : nullptr;
        if (!tvp)
            continue;
        if (!options.phonePort.empty() && !samePort(tvp->getPortName(), options.phonePort))
            continue;
        phones.push_back(std::make_unique<PhoneSession>(static_cast<int>(phones.size()), device));
    }
    if (phones.empty() && !options.phonePort.empty()) {
        error = "no Vela phone on " + options.phonePort +
                " (vela-host devices lists the phones on USB)";
        return false;
    }
    if (phones.empty()) {
        error = "no Vela phone found on USB (use --sim for a simulated phone)";
        if (!scan.devices.empty())
            error += "\nvela-host: " + std::to_string(scan.devices.size()) +
                     " USB serial device(s) found, none of them a Vela phone (vela-host devices "
                     "lists them)";
        return false;
    }
    return true;
}

}  // namespace host
