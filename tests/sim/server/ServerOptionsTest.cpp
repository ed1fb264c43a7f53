// The command line of vela-mux-sim: the switches COM servers take, the phone options that
// /RegServer writes into the registered command line, and the quoting of that line.
#include <gtest/gtest.h>

#include "sim/server/ServerOptions.h"

namespace {

using muxsim::ServerOptions;

ServerOptions parse(const std::vector<std::string>& args) {
    ServerOptions options;
    std::string error;
    EXPECT_TRUE(muxsim::parseServerOptions(args, options, error)) << error;
    return options;
}

std::string failure(const std::vector<std::string>& args) {
    ServerOptions options;
    std::string error;
    EXPECT_FALSE(muxsim::parseServerOptions(args, options, error));
    return error;
}

TEST(ServerOptions, SwitchesInEveryFormAndThePhoneOptionsKeptForTheRegistration) {
    EXPECT_EQ(parse({}).action, ServerOptions::Action::Serve);
    EXPECT_TRUE(parse({"-Embedding"}).embedding);
    EXPECT_TRUE(parse({"/embedding"}).embedding);
    EXPECT_EQ(parse({"/UnregServer"}).action, ServerOptions::Action::Unregister);
    EXPECT_EQ(parse({"-unregserver"}).action, ServerOptions::Action::Unregister);
    EXPECT_EQ(parse({"/?"}).action, ServerOptions::Action::Help);

    ServerOptions o = parse({"/RegServer", "--sim", "2", "--rate", "100", "--fault", "split",
                             "--frame-size", "4096", "--block-bytes", "4096", "--disconnect-after",
                             "1.5", "--reconnect-after", "2"});
    EXPECT_EQ(o.action, ServerOptions::Action::Register);
    EXPECT_EQ(o.phones, 2);
    EXPECT_EQ(o.probeRate, 100);
    EXPECT_EQ(o.frameSize, 4096u);
    EXPECT_EQ(o.blockBytes, 4096u);
    EXPECT_EQ(o.faults, (std::vector<std::string>{"split"}));
    EXPECT_EQ(o.disconnectAfter, 1.5);
    EXPECT_EQ(o.reconnectAfter, 2);
    EXPECT_EQ(o.phoneArguments,
              (std::vector<std::string>{"--sim", "2", "--rate", "100", "--fault", "split",
                                        "--frame-size", "4096", "--block-bytes", "4096",
                                        "--disconnect-after", "1.5", "--reconnect-after", "2"}));
    // COM appends -Embedding to the registered line: the same options come back with it.
    ServerOptions started = parse({"--rate", "100", "-Embedding"});
    EXPECT_TRUE(started.embedding);
    EXPECT_EQ(started.action, ServerOptions::Action::Serve);
    EXPECT_EQ(started.probeRate, 100);
}

TEST(ServerOptions, BadInputIsRefusedWithTheReason) {
    EXPECT_EQ(failure({"--sim", "0"}), "--sim: '0' is not a number of phones from 1 to 64");
    EXPECT_EQ(failure({"--sim", "1.5"}), "--sim: '1.5' is not a number of phones from 1 to 64");
    EXPECT_EQ(failure({"--frame-size", "27"}),
              "--frame-size: '27' is not a frame size from 28 to 65536 bytes");
    EXPECT_EQ(failure({"--rate", "fast"}), "--rate: 'fast' is not a rate");
    EXPECT_EQ(failure({"--rate"}), "--rate needs a rate");
    EXPECT_EQ(failure({"--fault", "melt"}), "--fault: unknown fault 'melt'");
    EXPECT_EQ(failure({"--color"}), "unknown option '--color'");
    EXPECT_EQ(failure({"/RegServer", "/UnregServer"}),
              "'/UnregServer' cannot go with the switch before it");
    EXPECT_EQ(failure({"/UnregServer", "--rate", "5"}), "/UnregServer takes no phone options");
}

TEST(ServerOptions, CommandLineQuotesWhatWindowsWouldSplit) {
    EXPECT_EQ(muxsim::commandLine("C:\\vela\\bin\\vela-mux-sim.exe", {"--rate", "100"}),
              "C:\\vela\\bin\\vela-mux-sim.exe --rate 100");
    EXPECT_EQ(muxsim::commandLine("C:\\Program Files\\Vela\\vela-mux-sim.exe", {}),
              "\"C:\\Program Files\\Vela\\vela-mux-sim.exe\"");
    // Backslashes before a quote and at the end of a quoted word are doubled; others stay.
    EXPECT_EQ(muxsim::commandLine("p", {"a \"b\"", "c\\ d\\", "", "e\\\\f"}),
              "p \"a \\\"b\\\"\" \"c\\ d\\\\\" \"\" e\\\\f");
}

}  // namespace
