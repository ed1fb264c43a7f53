// The command line read through the option table: every option of the table is taken by the
// commands it names and refused by the others; bad input gets its message; --help lists every
// option.
#include <gtest/gtest.h>

#include "host/HostPlatform.h"
#include "host/OptionTable.h"

namespace {

bool parse(std::vector<std::string> args, host::Options& options, std::string& error) {
    options = host::Options();
    error.clear();
    return host::parseOptions(args, options, error);
}

std::string errorOf(std::vector<std::string> args) {
    host::Options options;
    std::string error;
    EXPECT_FALSE(parse(args, options, error)) << args[0];
    return error;
}

// A value each option takes.
std::string sampleValue(const host::OptionSpec& option, const host::CommandSpec& command) {
    const std::string name = option.name;
    if (name == "--fault")
        return "split";
    if (name == "--probes")
        return "RR State";
    if (name == "--format")
        return command.command == host::Options::Command::Run ? "pcap" : "text";
    if (name == "-b")
        return "filesize:10";
    if (name == "--frame-size")
        return "64";
    if (option.needs && std::string(option.needs).find("number") != std::string::npos)
        return "2";
    if (option.needs && std::string(option.needs) == "a rate")
        return "10";
    return "x";
}

TEST(OptionTable, EveryOptionIsTakenByItsCommandsOnly) {
    const std::string usage = host::usage();
    for (const auto& option : host::optionTable()) {
        SCOPED_TRACE(option.name);
        EXPECT_NE(usage.find(std::string("  ") + option.name), std::string::npos);
        for (const auto& command : host::commandTable()) {
            if (!command.bit)
                continue;
            std::vector<std::string> args = {command.name, option.name};
            if (option.argument)
                args.push_back(sampleValue(option, command));
            if (command.command == host::Options::Command::Replay)
                args.push_back("capture.pcapng");
            if (command.command == host::Options::Command::Run &&
                std::string(option.name) == "--no-usb")
                args.push_back("--sim");
            // The service's own process is Windows's; the kill is of that process.
            const std::string name = option.name;
            if ((name == "--sim-server" || name == "--kill-service-after") &&
                !host::simulatedServiceProcessSupported())
                continue;
            if (command.command == host::Options::Command::Run && name == "--kill-service-after")
                args.push_back("--sim-server");
            // -b splits a recording.
            if (command.command == host::Options::Command::Run && std::string(option.name) == "-b")
                args.insert(args.end(), {"--record", "x.pcapng"});
            host::Options options;
            std::string error;
            EXPECT_EQ(parse(args, options, error), (option.commands & command.bit) != 0)
                << command.name << ": " << error;
            if (option.commands & command.bit) {
                EXPECT_EQ(options.command, command.command);
            }
        }
    }
}

TEST(OptionTable, BadInputIsRefusedWithTheReason) {
    EXPECT_EQ(errorOf({"run", "--no-such-option"}), "unknown option '--no-such-option'");
    EXPECT_EQ(errorOf({"run", "--duration"}), "--duration needs a number of seconds");
    EXPECT_EQ(errorOf({"run", "--duration", "soon"}),
              "--duration: 'soon' is not a number of seconds");
    EXPECT_EQ(errorOf({"run", "--duration", "-1"}), "--duration: '-1' is not a number of seconds");
    EXPECT_EQ(errorOf({"run", "--sim", "65"}),
              "--sim: '65' is not a number of phones from 1 to 64");
    EXPECT_EQ(errorOf({"run", "--sim", "1.5"}),
              "--sim: '1.5' is not a number of phones from 1 to 64");
    EXPECT_EQ(errorOf({"run", "--rate", "2e7"}), "--rate: '2e7' is not a rate");
    EXPECT_EQ(errorOf({"run", "--fault", "fire"}), "--fault: unknown fault 'fire'");
    EXPECT_EQ(errorOf({"run", "--probes", " , "}), "--probes: no setting named");
    EXPECT_EQ(errorOf({"fly"}), "unknown command 'fly'");
    EXPECT_EQ(errorOf({}), "no command given");
    EXPECT_EQ(errorOf({"replay"}), "replay needs a capture file");
    EXPECT_EQ(errorOf({"replay", "a.pcap", "b.pcap"}), "unexpected argument 'b.pcap'");
    EXPECT_EQ(errorOf({"probes", "--sim"}), "unexpected argument '--sim'");
}

TEST(OptionTable, OptionalArgumentsFlagsAndWhatOptionsImply) {
    host::Options o;
    std::string error;
    ASSERT_TRUE(parse({"run", "--sim", "--trace"}, o, error)) << error;
    EXPECT_EQ(o.simPhones, 1);
    EXPECT_TRUE(o.trace);
    ASSERT_TRUE(parse({"run", "--sim", "3", "--probes", "A, B", "--probes", "C"}, o, error));
    EXPECT_EQ(o.simPhones, 3);
    EXPECT_EQ(o.probes, (std::vector<std::string>{"A", "B", "C"}));
    // A fault of the simulated phone asks for one.
    ASSERT_TRUE(parse({"run", "--fault", "split"}, o, error));
    EXPECT_EQ(o.simPhones, 1);
    for (const char* help : {"help", "--help", "-h"}) {
        ASSERT_TRUE(parse({help}, o, error)) << help;
        EXPECT_EQ(o.command, host::Options::Command::Help);
    }
}

}  // namespace
