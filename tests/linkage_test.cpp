// Each program loads the C library and nothing else: no C++ runtime, no
// library of this project.
#include "runner.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

namespace {

std::vector<std::string> program_names()
{
    std::istringstream names(PROGRAM_NAMES);
    return {std::istream_iterator<std::string>(names), std::istream_iterator<std::string>()};
}

class Linkage : public testing::TestWithParam<std::string> {};

TEST_P(Linkage, NeedsOnlyTheCLibrary)
{
#ifdef FORKDEMOS_SANITIZE
    GTEST_SKIP() << "a sanitized program loads the sanitizer runtimes as well";
#endif
    const runner::Result readelf =
        runner::run_on_pipe("/usr/bin/readelf", {.args = {"-d", runner::program_path(GetParam())}});
    ASSERT_EQ(readelf.exit_code(), 0) << readelf;

    std::vector<std::string> needed;
    const std::regex entry(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])");
    for (const std::string &line : readelf.lines()) {
        if (std::smatch match; std::regex_search(line, match, entry)) {
            needed.push_back(match[1]);
        }
    }
    EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"}) << readelf;
}

INSTANTIATE_TEST_SUITE_P(Programs, Linkage, testing::ValuesIn(program_names()),
                         [](const auto &row) { return row.param; });

}  // namespace
