// kinwait: the narrated fork, the exit value typed at the prompt, the exec of
// date and the parent's report, on a terminal and on a pipe.
#include "runner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <random>
#include <regex>

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using runner::Output;
using runner::Result;
using runner::Step;
using Clock = std::chrono::steady_clock;

const std::string prompt = "CHILD: Enter an exit value (0 to 255): ";
const std::string farewell = "CHILD: Goodbye! ... but I shouldn't write this";

std::string kinwait() { return runner::program_path("kinwait"); }

// How often `part` occurs in `text`. The prompt has no newline, so whatever
// follows it on the output shares its line.
long occurrences(const std::string &text, const std::string &part)
{
    long found = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++found;
    }
    return found;
}

std::vector<std::string> lines_starting(const std::vector<std::string> &lines,
                                        const std::string &prefix)
{
    std::vector<std::string> result;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(result),
                 [&](const std::string &line) { return line.starts_with(prefix); });
    return result;
}

std::vector<std::string> parent_lines(pid_t parent, long child, const std::string &report)
{
    return {"PARENT: I am the parent process!",
            "PARENT: Here's my PID: " + std::to_string(parent),
            "PARENT: The value of my copy of childpid is " + std::to_string(child),
            "PARENT: I will now wait for my child to exit.",
            "PARENT: The value of a is : 42",
            report,
            "PARENT: Goodbye!",
            "PARENT: The value of a is : 42"};
}

// date's own line, as it prints it in the C locale.
const std::regex date_line(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d UTC \d{4})");
const std::map<std::string, std::optional<std::string>> c_locale{{"LC_ALL", "C"}, {"TZ", "UTC"}};

// The one run with the real 5-second pause: every line on a terminal, in the
// order each process prints them, with the date between prompt and report.
TEST(KinwaitOnTerminal, NarratesBothProcessesAndRunsDate)
{
    Clock::time_point asleep, prompted;
    const Result run = runner::run_on_terminal(
        kinwait(),
        {.env = c_locale,
         .script = {
             {.await = "CHILD: Sleeping for 5 second...",
              .then = [&](const auto &) { asleep = Clock::now(); }},
             {.await = prompt, .send = "3\n", .then = [&](const std::string &output) {
                  prompted = Clock::now();
                  // The parent narrates before it waits.
                  EXPECT_EQ(lines_starting(runner::split_lines(output), "PARENT: ").size(), 5U)
                      << output;
              }}}});
    ASSERT_EQ(run.exit_code(), 0) << run;
    EXPECT_GE(prompted - asleep, std::chrono::milliseconds(4900)) << "the child did not sleep";
    EXPECT_LT(prompted - asleep, std::chrono::milliseconds(6000)) << "the child slept too long";

    const std::vector<std::string> lines = run.lines();
    const long child = runner::number_after(run.out, "CHILD: Here's my PID: ");
    EXPECT_GT(child, 0) << run;
    EXPECT_NE(child, run.pid) << run;
    EXPECT_EQ(
        lines_starting(lines, "CHILD: "),
        (std::vector<std::string>{
            "CHILD: I am the child process!", "CHILD: Here's my PID: " + std::to_string(child),
            "CHILD: My parent's PID is: " + std::to_string(run.pid),
            "CHILD: The value of my copy of childpid is: 0", "CHILD: The value of a is : 43",
            "CHILD: Sleeping for 5 second...", prompt + "3"}))
        << run;
    EXPECT_EQ(lines_starting(lines, "PARENT: "),
              parent_lines(run.pid, child, "PARENT: Child's exit code is: 0"))
        << run;

    // date's line, the one other line, comes after the prompt and before the report.
    ASSERT_EQ(lines.size(), 16U) << run;
    const auto at = [&](const std::string &line) {
        return std::find(lines.begin(), lines.end(), line) - lines.begin();
    };
    const auto date =
        std::find_if(lines.begin(), lines.end(),
                     [](const std::string &line) { return std::regex_match(line, date_line); }) -
        lines.begin();
    EXPECT_LT(at(prompt + "3"), date) << run;
    EXPECT_LT(date, at("PARENT: Child's exit code is: 0")) << run;
    EXPECT_EQ(run.err, "");
}

// Redirected, the child's lines are in its buffer when the exec discards it:
// date's line comes first, then the parent's eight lines, written at its exit.
TEST(KinwaitOnPipe, ShowsOnlyDateAndTheParent)
{
    const Result run = runner::run_on_pipe(
        kinwait(),
        {.env = c_locale, .faults = {{"FAULT_SLEEP", "0"}}, .script = {{.send = "5\n"}}});
    ASSERT_EQ(run.exit_code(), 0) << run;
    std::vector<std::string> lines = run.lines();
    ASSERT_EQ(lines.size(), 9U) << run;
    EXPECT_TRUE(std::regex_match(lines[0], date_line)) << run;
    const long child =
        runner::number_after(run.out, "PARENT: The value of my copy of childpid is ");
    EXPECT_GT(child, 0) << run;
    EXPECT_NE(child, run.pid) << run;
    lines.erase(lines.begin());
    EXPECT_EQ(lines, parent_lines(run.pid, child, "PARENT: Child's exit code is: 0")) << run;
}

// With date not on PATH the exec fails: the child says goodbye and exits with
// the value it read, which the parent reports reduced to its low 8 bits.
struct ExitValue {
    std::string name;
    std::string typed;  // then the end of input
    int reported;
};

void PrintTo(const ExitValue &value, std::ostream *os) { *os << value.name; }

class KinwaitExitValue : public testing::TestWithParam<std::tuple<Output, ExitValue>> {};

std::string exit_value_name(const testing::TestParamInfo<KinwaitExitValue::ParamType> &row)
{
    return runner::to_string(std::get<0>(row.param)) + "_" + std::get<1>(row.param).name;
}

TEST_P(KinwaitExitValue, IsTheNumberReadModulo256)
{
    const auto &[output, value] = GetParam();
    const Result run = runner::run(
        output, kinwait(),
        {.env = {{"PATH", "/nonexistent"}},
         .faults = {{"FAULT_SLEEP", "0"}},
         .script = {{.await = output == Output::terminal ? prompt : "", .send = value.typed}}});
    ASSERT_EQ(run.exit_code(), 0) << run;
    EXPECT_EQ(occurrences(run.out, farewell + "\n"), 1) << run;
    EXPECT_TRUE(
        run.out.ends_with("PARENT: Child's exit code is: " + std::to_string(value.reported) +
                          "\nPARENT: Goodbye!\nPARENT: The value of a is : 42\n"))
        << run;
}

INSTANTIATE_TEST_SUITE_P(
    DateMissing, KinwaitExitValue,
    testing::Combine(testing::Values(Output::terminal, Output::pipe),
                     testing::Values(ExitValue{"seven", "7\n", 7},
                                     ExitValue{"three_hundred", "300\n", 44},
                                     ExitValue{"minus_one", "-1\n", 255},
                                     ExitValue{"end_of_input", "", 0},
                                     ExitValue{"eleven_digits", "99999999999\n", 0},
                                     ExitValue{"digits_then_letters", "7abc\n", 7},
                                     ExitValue{"after_blank_lines", "\n \t\n+12\n", 12},
                                     ExitValue{"not_a_number", "abc\n", 0},
                                     ExitValue{"int_max", "2147483647\n", 255},
                                     ExitValue{"past_int_max", "2147483648\n", 0},
                                     ExitValue{"int_min_plus_one", "-2147483647\n", 1},
                                     ExitValue{"past_int_min", "-2147483649\n", 0},
                                     ExitValue{"leading_zeros", "-000000000000000000005\n", 251})),
    exit_value_name);

// Bytes a terminal would not pass on as typed: random noise after a byte that
// cannot start a number, and after a number.
std::string noise(const std::string &before)
{
    std::mt19937 random(20261208);  // NOLINT(cert-msc32-c,cert-msc51-cpp): the same noise every run
    std::string bytes(65536, '\0');
    std::generate(bytes.begin(), bytes.end(), [&random] { return static_cast<char>(random()); });
    return before + '\xff' + bytes;
}

// Hostile input, on a pipe: each run ends with the value the rule gives.
INSTANTIATE_TEST_SUITE_P(
    HostileInput, KinwaitExitValue,
    testing::Combine(
        testing::Values(Output::pipe),
        testing::Values(
            ExitValue{"empty_line", "\n", 0}, ExitValue{"only_white_space", " \t\n\v\f\r \n", 0},
            ExitValue{"minus", "-\n", 0}, ExitValue{"plus", "+\n", 0},
            ExitValue{"two_signs", "+-5\n", 0}, ExitValue{"hexadecimal", "0x10\n", 0},
            ExitValue{"exponent", "1e5\n", 1},
            ExitValue{"ten_thousand_digits", std::string(10000, '9') + "\n", 0},
            ExitValue{"nul_before_digit", std::string{'\0', '7', '\n'}, 0},
            ExitValue{"binary_noise", noise(""), 0},
            ExitValue{"number_then_noise", noise("42"), 42},
            ExitValue{"mebibyte_line_of_zeros_then_7", std::string(1 << 20, '0') + "7", 7})),
    exit_value_name);

// A fork that fails is reported on standard error and is not a success.
class KinwaitForkFails : public testing::TestWithParam<Output> {};

TEST_P(KinwaitForkFails, ReportsOnStandardErrorWithStatusOne)
{
    const Result run = runner::run(GetParam(), kinwait(), {.faults = {{"FAULT_FORK", "1"}}});
    EXPECT_EQ(run.exit_code(), 1) << run;
    EXPECT_EQ(run.out, "") << run;
    EXPECT_EQ(run.err, "fork: Resource temporarily unavailable\n") << run;
}

INSTANTIATE_TEST_SUITE_P(Outputs, KinwaitForkFails, testing::Values(Output::terminal, Output::pipe),
                         [](const auto &row) { return runner::to_string(row.param); });

// Without the copy of "date" the child runs nothing and goes on as after a
// failed exec, although date is on PATH.
TEST(KinwaitStrdupFails, ChildSaysGoodbyeWithTheValueRead)
{
    const Result run =
        runner::run_on_terminal(kinwait(), {.faults = {{"FAULT_SLEEP", "0"}, {"FAULT_STRDUP", "1"}},
                                            .script = {{.await = prompt, .send = "7\n"}}});
    ASSERT_EQ(run.exit_code(), 0) << run;
    EXPECT_EQ(occurrences(run.out, farewell + "\n"), 1) << run;
    EXPECT_EQ(occurrences(run.out, "PARENT: Child's exit code is: 7\n"), 1) << run;
    EXPECT_EQ(run.lines().size(), 16U) << "fourteen lines, the prompt's and the farewell\n" << run;
}

// A child killed by a signal is reported as such, never as exit code 0.
// A signal that dumps core sets a bit of the status word besides the signal's
// number, so the row with core dumps allowed tells the two apart.
struct Kill {
    std::string name;
    std::string await;  // the moment of the kill
    int signal;
    std::map<std::string, std::string> faults;
    bool core_dumps = false;  // allowed, in a scratch folder
};

void PrintTo(const Kill &kill, std::ostream *os) { *os << kill.name; }

class KinwaitChildKilled : public testing::TestWithParam<Kill> {};

TEST_P(KinwaitChildKilled, ParentReportsTheSignal)
{
    const Kill &kill = GetParam();
    const runner::ScratchFolder folder("kinwait-core");
    std::map<std::string, std::string> faults = kill.faults;
    faults["FAULT_PROGRAM"] = kinwait();
    const auto script = {runner::kill_when(kill.await, "CHILD: Here's my PID: ", kill.signal)};
    const Result run =
        kill.core_dumps
            ? runner::run_on_terminal(
                  "/bin/sh", {.args = {"-c", "ulimit -c unlimited; exec \"$0\"", kinwait()},
                              .faults = faults,
                              .script = script,
                              .cwd = folder.path().string()})
            : runner::run_on_terminal(kinwait(), {.faults = faults, .script = script});
    ASSERT_EQ(run.exit_code(), 0) << run;
    EXPECT_TRUE(run.out.ends_with("PARENT: Child was terminated by signal " +
                                  std::to_string(kill.signal) +
                                  "\nPARENT: Goodbye!\nPARENT: The value of a is : 42\n"))
        << run;
    EXPECT_EQ(occurrences(run.out, "exit code"), 0) << run;
}

INSTANTIATE_TEST_SUITE_P(
    Moments, KinwaitChildKilled,
    testing::Values(Kill{"while_asleep", "CHILD: Sleeping for 5 second...", SIGKILL, {}},
                    Kill{"at_the_prompt", prompt, SIGTERM, {{"FAULT_SLEEP", "0"}}},
                    Kill{"dumping_core", prompt, SIGQUIT, {{"FAULT_SLEEP", "0"}}, true}),
    [](const auto &row) { return row.param.name; });

// The parent reports its own child's status and nothing else: not that of a
// child it inherited from whatever started it, not an invented one when the
// status is lost. `command` runs kinwait, whose path is its last word.
struct Surroundings {
    std::string name;
    std::vector<std::string> command;
    std::map<std::string, std::string> faults;
    std::string report;  // the parent's report line, or none
    int status;
    std::string err;
};

void PrintTo(const Surroundings &row, std::ostream *os) { *os << row.name; }

class KinwaitWaitsForItsChild : public testing::TestWithParam<Surroundings> {};

// Waits for the inherited process, whose ID follows "inherited ", to end.
void inherited_ended(const std::string &output)
{
    const long pid = runner::number_after(output, "inherited ");
    if (pid <= 0) {
        return;
    }
    const int process = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (process >= 0) {  // otherwise it has ended and been collected already
        pollfd ended{process, POLLIN, 0};
        ::poll(&ended, 1, 10000);
        ::close(process);
    }
}

TEST_P(KinwaitWaitsForItsChild, AndReportsOnlyItsStatus)
{
    const Surroundings &row = GetParam();
    std::map<std::string, std::string> faults = row.faults;
    faults.insert({{"FAULT_SLEEP", "0"}, {"FAULT_PROGRAM", kinwait()}});
    std::vector<std::string> args(row.command.begin() + 1, row.command.end());
    args.push_back(kinwait());
    // On a pipe the child's prompt stays in its buffer: the number goes as
    // soon as the inherited process, if any, has ended.
    const Result run = runner::run_on_pipe(
        row.command.front(),
        {.args = args,
         .env = {{"PATH", "/nonexistent"}},
         .faults = faults,
         .script = {{.await = row.command.front() == "/bin/sh" ? "inherited " : "",
                     .send = "7\n",
                     .then = inherited_ended}}});
    EXPECT_EQ(run.exit_code(), row.status) << run;
    EXPECT_EQ(run.err, row.err) << run;
    if (row.report.empty()) {
        EXPECT_EQ(occurrences(run.out, "PARENT: Child"), 0) << run;
    } else {
        EXPECT_TRUE(
            run.out.ends_with(row.report + "\nPARENT: Goodbye!\nPARENT: The value of a is : 42\n"))
            << run;
    }
}

const std::string seven = "PARENT: Child's exit code is: 7";

INSTANTIATE_TEST_SUITE_P(
    Surroundings, KinwaitWaitsForItsChild,
    testing::Values(
        Surroundings{"inherited_child_ends_first",
                     {"/bin/sh", "-c", "(exit 9) & echo inherited $!; exec \"$0\""},
                     {},
                     seven,
                     0,
                     ""},
        Surroundings{"sigchld_ignored", {"/usr/bin/env", "--ignore-signal=CHLD"}, {}, seven, 0, ""},
        Surroundings{"wait_fails",
                     {"/usr/bin/env"},
                     {{"FAULT_WAIT", "1"}},
                     "",
                     1,
                     "kinwait: waitpid: No child processes\n"}),
    [](const auto &row) { return row.param.name; });

// The terminal's interrupt character ends both processes, as at a shell: the
// parent dies with its child and reports nothing.
TEST(KinwaitInterrupted, EndsBothProcesses)
{
    const Result run = runner::run_on_terminal(
        kinwait(), {.script = {{.await = "CHILD: Sleeping for 5 second...", .send = "\x03"}}});
    ASSERT_TRUE(WIFSIGNALED(run.wait_status)) << run;
    EXPECT_EQ(WTERMSIG(run.wait_status), SIGINT) << run;
    EXPECT_EQ(occurrences(run.out, "PARENT: Child"), 0) << run;
    EXPECT_EQ(occurrences(run.out, prompt), 0) << run;
}

}  // namespace
