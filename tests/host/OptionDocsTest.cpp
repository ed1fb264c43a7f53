// The option lists of README.md and of the man page are made from the option table: this test
// fails when they differ from it, and rewrites them with VELA_REGENERATE_DOCS=1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "host/OptionTable.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Checks (or rewrites) what lies between the line that starts with `begin` and the line that
// starts with `end`.
void checkBlock(const std::string& path, const std::string& begin, const std::string& end,
                const std::string& expected) {
    SCOPED_TRACE(path);
    std::string text = readFile(path);
    const auto start = text.find("\n" + begin);
    ASSERT_NE(start, std::string::npos) << "no line starting with " << begin;
    const auto blockStart = text.find('\n', start + 1) + 1;
    const auto blockEnd = text.find("\n" + end, blockStart - 1);
    ASSERT_NE(blockEnd, std::string::npos) << "no line starting with " << end;
    const std::string block = text.substr(blockStart, blockEnd + 1 - blockStart);
    if (std::getenv("VELA_REGENERATE_DOCS")) {
        text.replace(blockStart, blockEnd + 1 - blockStart, expected);
        std::ofstream(path, std::ios::binary) << text;
        return;
    }
    EXPECT_EQ(block, expected) << "the option list differs from host/OptionTable.cpp: run "
                                  "VELA_REGENERATE_DOCS=1 host_support_tests "
                                  "--gtest_filter='OptionDocs.*'";
}

TEST(OptionDocs, ReadmeAndManPageListTheOptionsOfTheTable) {
    checkBlock(VELA_SOURCE_DIR "/README.md", "<!-- BEGIN OPTIONS", "<!-- END OPTIONS",
               host::renderMarkdownOptions());
    checkBlock(VELA_SOURCE_DIR "/docs/vela-host.1", ".\\\" BEGIN OPTIONS", ".\\\" END OPTIONS",
               host::renderManOptions());
}

}  // namespace
