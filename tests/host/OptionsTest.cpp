// vela-host's options for a service in a process of its own: they go together or not at all,
// and the simulated phones' options stay with the program that runs the phones.
#include <gtest/gtest.h>

#include "host/Options.h"

namespace {

std::string failure(const std::vector<std::string>& args) {
    host::Options options;
    std::string error;
    EXPECT_FALSE(host::parseOptions(args, options, error));
    return error;
}

TEST(Options, ServiceInItsOwnProcess) {
    host::Options options;
    std::string error;
    ASSERT_TRUE(host::parseOptions(
        {"run", "--sim", "--report-memory", "--frame-size", "4096", "--block-bytes", "4096"},
        options, error))
        << error;
    EXPECT_TRUE(options.reportMemory);
    EXPECT_EQ(options.frameSize, 4096u);
    EXPECT_EQ(options.blockBytes, 4096u);
    EXPECT_EQ(failure({"run", "--frame-size", "27"}),
              "--frame-size: '27' is not a frame size from 28 to 65536 bytes");
    EXPECT_EQ(failure({"run", "--kill-service-after", "3"}),
              "--kill-service-after needs --sim-server");
#if defined(_WIN32)
    host::Options server;
    ASSERT_TRUE(
        host::parseOptions({"run", "--sim-server", "--kill-service-after", "2.5"}, server, error))
        << error;
    EXPECT_TRUE(server.simServer);
    EXPECT_EQ(server.simPhones, 1);
    EXPECT_EQ(server.killServiceAfter, 2.5);
    EXPECT_EQ(failure({"run", "--sim-server", "--rate", "50"}),
              "--rate: with --sim-server the phones are vela-mux-sim's (give it to vela-mux-sim "
              "/RegServer)");
    EXPECT_EQ(failure({"run", "--sim-server", "--kill-service-after", "0"}),
              "--kill-service-after: the time must be above 0");
#else
    EXPECT_EQ(failure({"run", "--sim-server"}),
              "--sim-server: the service runs in a process of its own only on Windows");
#endif
}

}  // namespace
