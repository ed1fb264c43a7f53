// The command line of vela-host as data: its commands and every option, each written once with
// the commands that take it, its argument, its help text and what it sets. The parser, the
// text of --help, the man page's option list and README's option list are all made from it
// (the docs' lists are checked against it by a test, which also rewrites them on request).
#pragma once

#include <string>
#include <vector>

#include "host/Options.h"

namespace host {

// The commands, as bits, so that an option names all the commands that take it.
enum CommandBit : unsigned {
    kRunCommand = 1,
    kReplayCommand = 2,
    kProbesCommand = 4,
    kDevicesCommand = 8,
};

struct CommandSpec {
    const char* name;  // "run"
    unsigned bit;      // its CommandBit; 0 for help
    Options::Command command;
    const char* operands;  // after the name and its options: "FILE", or ""
    const char* summary;   // one sentence
};

struct OptionSpec {
    const char* name;      // "--duration"
    const char* argument;  // "SECONDS"; null for a flag
    bool optionalArgument = false;
    const char* needs = nullptr;  // what the argument is: "a number of seconds"
    unsigned commands = kRunCommand;
    std::string help;  // sentences, plain text
    // Sets the option; `value` is null for a flag, or for an optional argument not given.
    bool (*apply)(Options& options, const std::string* value, std::string& error) = nullptr;
    // An option of the simulated phones (which are vela-mux-sim's with --sim-server).
    bool phoneSetting = false;
};

const std::vector<CommandSpec>& commandTable();
const std::vector<OptionSpec>& optionTable();

// The three forms of the lists: --help's text, the man page's OPTIONS section (roff) and the
// README's list (Markdown).
std::string renderUsage();
std::string renderManOptions();
std::string renderMarkdownOptions();

}  // namespace host
