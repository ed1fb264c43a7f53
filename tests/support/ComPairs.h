// Linked pairs of serial ports for tests that run the same way on Linux and on Windows: what is
// written to one port of a pair is read from the other. Both ports are opened through
// CreateFileA by their COM names, so a test drives both sides with the comm calls alone.
//
// The pairs come from the environment variable VELA_TEST_COM_PAIRS ("COM41:COM42,COM43:COM44"),
// which scripts/with-com-pairs sets after making the pairs from pseudo-terminals (under Wine:
// links in the prefix's dosdevices folder, which Wine maps to the ttys). On Linux, when the
// variable is not set, the pairs are made here the same way: socat links two pseudo-terminals
// and the COM names find them through VELA_COM_DIR.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct ComPair {
    std::string a;  // port names as CreateFileA takes them ("\\.\COM41")
    std::string b;
};

// At least `count` pairs, made once per process; empty (and `why` says why) when there are none.
const std::vector<ComPair>& comPairs(std::size_t count, std::string* why = nullptr);

// Wine fails EscapeCommFunction(SETDTR) on a pseudo-terminal, and SerialPort's connect needs it
// (a port whose DTR cannot be raised is not connected): true when the port cannot open there.
// Always false elsewhere.
bool dtrUnusableUnderWine(const std::string& name);

}  // namespace testsupport

// Skips the test when fewer than `count` pairs exist.
#define VELA_REQUIRE_COM_PAIRS(count)                               \
    do {                                                            \
        std::string whyNot;                                         \
        if (testsupport::comPairs(count, &whyNot).size() < (count)) \
            GTEST_SKIP() << "no linked serial ports: " << whyNot;   \
    } while (0)
