// lsbranch: star lines per process, on a terminal and on a pipe, when /bin/ls
// runs, when the exec fails, and when a fork fails as well.
#include "runner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

using runner::Output;
using runner::Result;

// What each process writes, row by row. `copied`: the second child's first
// line is the child's line, copied with the child's buffer at the second fork.
struct Case {
    std::string name;
    Output output;
    std::map<std::string, std::string> faults;
    int parent, child, second_child;
    bool copied = false;
    bool listing = false;
};

void PrintTo(const Case &row, std::ostream *os) { *os << row.name; }

class LsbranchStarLines : public testing::TestWithParam<Case> {};

TEST_P(LsbranchStarLines, PerProcess)
{
    const Case &row = GetParam();
    const runner::ScratchFolder folder("lsbranch-" + row.name);
    const std::vector<std::string> files{"alpha", "beta", "gamma"};
    for (const std::string &name : files) {
        std::ofstream(folder.path() / name);
    }
    const Result run = runner::run(
        row.output, runner::program_path("lsbranch"),
        {.faults = runner::parent_must_not_wait(row.faults), .cwd = folder.path().string()});
    ASSERT_EQ(run.exit_code(), 0) << run;
    EXPECT_EQ(run.err, "") << run;

    // Star lines by ID; anything else is the listing.
    const std::regex star(R"(\[(\d+)\] \*)");
    std::map<long, int> lines_of;
    std::vector<std::string> stars, listed;
    for (const std::string &line : run.lines()) {
        if (std::smatch match; std::regex_match(line, match, star)) {
            ++lines_of[std::stol(match[1])];
            stars.push_back(line);
        } else {
            std::istringstream words(line);
            listed.insert(listed.end(), std::istream_iterator<std::string>(words), {});
        }
    }
    EXPECT_EQ(listed, row.listing ? files : std::vector<std::string>()) << run;

    // The parent is the started process. The child and the second child are
    // told apart by their numbers of lines, which differ in every case.
    EXPECT_EQ(lines_of[run.pid], row.parent) << run;
    lines_of.erase(run.pid);
    const int copied = row.copied ? 1 : 0;
    std::vector<int> expected{row.child + copied, row.second_child - copied}, got;
    std::erase(expected, 0);
    std::transform(lines_of.begin(), lines_of.end(), std::back_inserter(got),
                   [](const auto &entry) { return entry.second; });
    std::sort(got.rbegin(), got.rend());
    EXPECT_EQ(got, expected) << run;

    if (row.copied) {
        // The second child writes its buffer in one piece: the child's line, then its own two.
        long child = 0, second = 0;
        for (const auto &[id, n] : lines_of) {
            (n > 2 ? child : second) = id;
        }
        const std::string block = "[" + std::to_string(child) + "] *\n[" + std::to_string(second) +
                                  "] *\n[" + std::to_string(second) + "] *\n";
        EXPECT_NE(run.out.find(block), std::string::npos) << "expected the block\n" << block << run;
    }
}

const std::map<std::string, std::string> exec_fails{{"FAULT_EXEC", "1"}};
const std::map<std::string, std::string> exec_and_second_fork_fail{{"FAULT_EXEC", "1"},
                                                                   {"FAULT_FORK", "2"}};
const std::map<std::string, std::string> first_fork_fails{{"FAULT_FORK", "1"}};

INSTANTIATE_TEST_SUITE_P(
    Cases, LsbranchStarLines,
    testing::Values(Case{"terminal_ls_runs", Output::terminal, {}, 1, 1, 0, false, true},
                    Case{"pipe_ls_runs", Output::pipe, {}, 1, 0, 0, false, true},
                    Case{"terminal_exec_fails", Output::terminal, exec_fails, 1, 3, 2},
                    Case{"pipe_exec_fails", Output::pipe, exec_fails, 1, 3, 3, true},
                    Case{"terminal_exec_and_second_fork_fail", Output::terminal,
                         exec_and_second_fork_fail, 1, 3, 0},
                    Case{"pipe_exec_and_second_fork_fail", Output::pipe, exec_and_second_fork_fail,
                         1, 3, 0},
                    Case{"terminal_first_fork_fails", Output::terminal, first_fork_fails, 1, 0, 0},
                    Case{"pipe_first_fork_fails", Output::pipe, first_fork_fails, 1, 0, 0}),
    [](const auto &row) { return row.param.name; });

}  // namespace
