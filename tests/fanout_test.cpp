// fanout: the lines of the 16 processes, on a terminal and on a pipe, with
// every fork working and with the first one failing.
#include "runner.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace {

using runner::Output;
using runner::Result;

struct Line {
    long id;
    int iteration;
};

// Every line as "[%4d] %d" prints it: the ID right-aligned in at least 4 places.
std::vector<Line> parse(const Result &run)
{
    std::vector<Line> lines;
    const std::regex format(R"(\[( *)(\d+)\] (\d))");
    for (const std::string &text : run.lines()) {
        std::smatch match;
        EXPECT_TRUE(std::regex_match(text, match, format)) << "line \"" << text << "\"\n" << run;
        if (!match.empty()) {
            EXPECT_EQ(match[1].length() + match[2].length(), std::max<long>(4, match[2].length()))
                << "padding of \"" << text << "\"";
            lines.push_back({std::stol(match[2]), std::stoi(match[3])});
        }
    }
    return lines;
}

struct Case {
    std::string name;
    Output output;
    std::map<std::string, std::string> faults;
    std::vector<int> per_iteration;  // lines for iterations 0 to 3
    std::size_t processes;
};

void PrintTo(const Case &row, std::ostream *os) { *os << row.name; }

class FanoutLines : public testing::TestWithParam<Case> {};

TEST_P(FanoutLines, CountsAndOrder)
{
    const Case &row = GetParam();
    const Result run = runner::run(row.output, runner::program_path("fanout"),
                                   {.faults = runner::parent_must_not_wait(row.faults)});
    ASSERT_EQ(run.exit_code(), 0) << run;
    const std::vector<Line> lines = parse(run);

    std::vector<int> per_iteration(4);
    std::set<long> ids;
    for (const Line &line : lines) {
        ASSERT_LT(line.iteration, 4) << run;
        ++per_iteration[static_cast<std::size_t>(line.iteration)];
        ids.insert(line.id);
    }
    EXPECT_EQ(per_iteration, row.per_iteration) << run;
    EXPECT_EQ(ids.size(), row.processes) << run;

    if (row.output == Output::terminal) {
        // Each line is written at its newline: the first process's own four.
        std::vector<int> first;
        for (const Line &line : lines) {
            if (line.id == run.pid) {
                first.push_back(line.iteration);
            }
        }
        EXPECT_EQ(first, (std::vector<int>{0, 1, 2, 3})) << run;
    } else {
        // Each process writes its buffer in one piece when it ends: blocks of
        // four lines in iteration order, the last line of each its own.
        ASSERT_EQ(lines.size(), 4 * row.processes) << run;
        std::set<long> writers;
        for (std::size_t block = 0; block < lines.size(); block += 4) {
            for (std::size_t i = 0; i < 4; ++i) {
                EXPECT_EQ(lines[block + i].iteration, static_cast<int>(i)) << run;
            }
            writers.insert(lines[block + 3].id);
        }
        EXPECT_EQ(writers.size(), row.processes) << run;
    }
}

const std::map<std::string, std::string> first_fork_fails{{"FAULT_FORK", "1"}};

INSTANTIATE_TEST_SUITE_P(
    Cases, FanoutLines,
    testing::Values(
        Case{"terminal", Output::terminal, {}, {2, 4, 8, 16}, 16},
        Case{"pipe", Output::pipe, {}, {16, 16, 16, 16}, 16},
        Case{"terminal_first_fork_fails", Output::terminal, first_fork_fails, {1, 2, 4, 8}, 8},
        Case{"pipe_first_fork_fails", Output::pipe, first_fork_fails, {8, 8, 8, 8}, 8}),
    [](const auto &row) { return row.param.name; });

// The ID's field is 4 wide at least, and a longer ID prints in full.
class FanoutPadding : public testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(FanoutPadding, OfTheId)
{
    const auto &[id, field] = GetParam();
    const Result run =
        runner::run_on_terminal(runner::program_path("fanout"), {.faults = {{"FAULT_GETPID", id}}});
    ASSERT_EQ(run.exit_code(), 0) << run;
    std::multiset<std::string> expected;
    for (int i = 0; i <= 3; ++i) {
        for (int n = 0; n < 2 << i; ++n) {
            expected.insert(field + " " + std::to_string(i));
        }
    }
    const std::vector<std::string> lines = run.lines();
    EXPECT_EQ(std::multiset<std::string>(lines.begin(), lines.end()), expected) << run;
}

INSTANTIATE_TEST_SUITE_P(Ids, FanoutPadding,
                         testing::Values(std::pair{"7", "[   7]"},
                                         std::pair{"1234567", "[1234567]"}),
                         [](const auto &row) { return "id_" + row.param.first; });

}  // namespace
