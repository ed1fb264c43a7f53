#include "host/Options.h"

#include "host/OptionTable.h"

namespace host {

namespace {

// What holds only for options together.
bool checkTogether(Options& o, std::string& error) {
    if (o.command == Options::Command::Replay && o.replayFile.empty()) {
        error = "replay needs a capture file";
        return false;
    }
    if (o.command != Options::Command::Run)
        return true;
    if ((o.rotation.active() || o.rotation.files) && o.recordFile.empty()) {
        error = "-b needs --record FILE: it splits the recording into files";
        return false;
    }
    if ((o.rotation.active() || o.rotation.files) && o.recordFile == "-") {
        error = "-b cannot split standard output into files (give --record FILE)";
        return false;
    }
    if (o.rotation.files && !o.rotation.active()) {
        error = "-b files:N needs -b filesize:KB or -b duration:S to begin the next file";
        return false;
    }
    if (o.jsonStatus && o.recordFile == "-") {
        error = "--jsonl and --record - both write to standard output";
        return false;
    }
    if (o.simServer && !o.firstPhoneOption.empty()) {
        error = o.firstPhoneOption +
                ": with --sim-server the phones are vela-mux-sim's (give it to "
                "vela-mux-sim /RegServer)";
        return false;
    }
    if (o.killServiceAfter > 0 && !o.simServer) {
        error = "--kill-service-after needs --sim-server";
        return false;
    }
    if (o.simServer && o.simPhones == 0)
        o.simPhones = 1;
    if (!o.phonePort.empty() && o.simPhones > 0) {
        error = "--phone picks a phone on USB, --sim runs simulated ones: not both";
        return false;
    }
    if (o.noUsb && o.simPhones == 0 && o.faults.empty() && o.disconnectAfter <= 0) {
        error = "--no-usb leaves no phone to run with (add --sim for a simulated phone)";
        return false;
    }
    // A fault is the simulated phone's: asking for one asks for the phone.
    if ((!o.faults.empty() || o.disconnectAfter > 0) && o.simPhones == 0)
        o.simPhones = 1;
    return true;
}

}  // namespace

std::string usage() {
    return renderUsage();
}

bool parseOptions(const std::vector<std::string>& args, Options& o, std::string& error) {
    if (args.empty()) {
        error = "no command given";
        return false;
    }
    const std::string& name = args[0];
    if (name == "--help" || name == "-h") {
        o.command = Options::Command::Help;
        return true;
    }
    if (name == "--version" || name == "version") {
        o.command = Options::Command::Version;
        if (args.size() > 1) {
            error = "unexpected argument '" + args[1] + "'";
            return false;
        }
        return true;
    }
    const CommandSpec* command = nullptr;
    for (const auto& c : commandTable())
        if (name == c.name)
            command = &c;
    if (!command) {
        error = "unknown command '" + name + "'";
        return false;
    }
    o.command = command->command;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const OptionSpec* option = nullptr;
        for (const auto& spec : optionTable())
            if ((spec.commands & command->bit) && arg == spec.name)
                option = &spec;
        if (!option) {
            // The one operand of replay; anything else is not for this command.
            if (command->command == Options::Command::Replay && o.replayFile.empty() &&
                arg.rfind("--", 0) != 0) {
                o.replayFile = arg;
                continue;
            }
            error = (command->command == Options::Command::Run ? "unknown option '"
                                                               : "unexpected argument '") +
                    arg + "'";
            return false;
        }
        const std::string* value = nullptr;
        if (option->argument) {
            const bool present = i + 1 < args.size();
            if (option->optionalArgument) {
                if (present && args[i + 1].rfind("-", 0) != 0)
                    value = &args[++i];
            } else if (!present) {
                error = arg + " needs " + option->needs;
                return false;
            } else {
                value = &args[++i];
            }
        }
        if (!option->apply(o, value, error))
            return false;
        if (option->phoneSetting && o.firstPhoneOption.empty())
            o.firstPhoneOption = arg;
    }
    return checkTogether(o, error);
}

}  // namespace host
