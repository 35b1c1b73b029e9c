// forktrace on the three programs and in hostile cases. The main oracle is
// the trace's own promise: the bytes of its output writes, in order, are the
// bytes the reader of the command's output received.
#include "runner.hpp"

#include "launch.hpp"
#include "possible.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using runner::Result;

// One event of forktrace's JSON Lines: every value as text, strings decoded
// to their exact bytes (\udcXX is the byte XX).
using Event = std::map<std::string, std::string>;

std::vector<Event> events_in(const std::filesystem::path &file)
{
    std::vector<Event> events;
    std::ifstream lines(file);
    for (std::string line; std::getline(lines, line);) {
        events.push_back(runner::flat_json(line));
    }
    return events;
}

struct Traced {
    Result run;
    std::vector<Event> events;
    std::string received;  // the command's output as its reader got it, "\r\n" made "\n"
    std::string written;   // the data of the output writes, in order

    long count(const std::string &kind, const std::string &ok = "") const
    {
        return std::count_if(events.begin(), events.end(), [&](const Event &event) {
            const std::string worked = event.contains("ok") ? event.at("ok") : "true";
            return event.at("event") == kind && (ok.empty() || worked == ok);
        });
    }
};

// Runs `forktrace -f json ARGS PROGRAM [options.args]` on a pipe, the trace
// into a file.
Traced trace(const std::vector<std::string> &args, const std::string &program,
             runner::Options options = {})
{
    const runner::ScratchFolder folder("forktrace");
    const std::filesystem::path file = folder.path() / "trace.json";
    const std::vector<std::string> program_args = options.args;  // the program's own
    options.args = {"-f", "json", "-o", file.string()};
    options.args.insert(options.args.end(), args.begin(), args.end());
    options.args.push_back(program);
    options.args.insert(options.args.end(), program_args.begin(), program_args.end());
    Traced traced{.run = runner::run_on_pipe(runner::program_path("forktrace"), options),
                  .events = events_in(file)};
    traced.received = std::regex_replace(traced.run.out, std::regex("\r\n"), "\n");
    for (const Event &event : traced.events) {
        if (event.at("event") == "write" && event.at("stream") == "output") {
            traced.written += event.at("data");
        }
    }
    traced.written = std::regex_replace(traced.written, std::regex("\r\n"), "\n");
    return traced;
}

std::ostream &operator<<(std::ostream &os, const Traced &traced)
{
    os << traced.run << "--- trace ---\n";
    for (const Event &event : traced.events) {
        for (const auto &[key, value] : event) {
            os << key << "=" << runner::split_lines(value).size() << ":" << value.substr(0, 60)
               << " ";
        }
        os << "\n";
    }
    return os;
}

// A demo's source, line by line from 1.
std::vector<std::string> source_lines(const std::string &program)
{
    std::vector<std::string> lines{""};
    std::ifstream file(std::string(TESTS_DIR) + "/../" + program + "/" + program + ".cpp");
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}

// date is looked for in one place.
std::map<std::string, std::optional<std::string>> with_path(
    std::map<std::string, std::optional<std::string>> env)
{
    env["PATH"] = "/usr/bin";
    return env;
}

// A row of the programs' tables, traced: the counts the README gives.
struct Demo {
    std::string name;
    std::string program;
    std::vector<std::string> args;  // forktrace's, before the program
    long forks, failed_forks, execs, failed_execs, exits, reaps;
    long lines;       // newlines received
    long own_lines;   // lines that carry their writer's ID
    long lost_lines;  // lines thrown away in a buffer, at an exec or an exit
    int status;
};

void PrintTo(const Demo &row, std::ostream *os) { *os << row.name; }

class ForktraceSees : public testing::TestWithParam<Demo> {};

TEST_P(ForktraceSees, EveryProcessAndTheBytesReceived)
{
    const Demo &row = GetParam();
    const runner::ScratchFolder folder("forktrace-cwd");  // what ls lists: nothing
    const Traced traced =
        trace(row.args, runner::program_path(row.program),
              {.env = with_path(runner::traced_environment()),
               .faults = {{"FAULT_SLEEP", "0"}, {"FAULT_PROGRAM", runner::program_path("kinwait")}},
               .cwd = folder.path().string()});
    ASSERT_EQ(traced.run.exit_code(), row.status) << traced;
    ASSERT_FALSE(traced.events.empty()) << traced;
    EXPECT_EQ(traced.events.front().at("event"), "start") << traced;
    EXPECT_EQ(traced.written, traced.received) << traced;

    EXPECT_EQ(traced.count("fork", "true"), row.forks) << traced;
    EXPECT_EQ(traced.count("fork", "false"), row.failed_forks) << traced;
    EXPECT_EQ(traced.count("exec", "true"), row.execs) << traced;
    EXPECT_EQ(traced.count("exec", "false"), row.failed_execs) << traced;
    EXPECT_EQ(traced.count("exit"), row.exits) << traced;
    EXPECT_EQ(traced.count("reap"), row.reaps) << traced;
    EXPECT_EQ(std::count(traced.received.begin(), traced.received.end(), '\n'), row.lines)
        << traced;

    // Lines that name a process: how many carry the ID of the process that wrote them.
    long own = 0;
    const std::regex id(R"(^\[ *(\d+)\])");
    for (const Event &event : traced.events) {
        if (event.at("event") == "write") {
            for (const std::string &line : runner::split_lines(event.at("data"))) {
                std::smatch match;
                own += std::regex_search(line, match, id) && match[1] == event.at("pid") ? 1 : 0;
            }
        }
    }
    EXPECT_EQ(own, row.own_lines) << traced;

    // The origin of every line that names a process is that process, as the
    // trace works it out from the buffers alone; and the lines lost are
    // those the buffering rules say.
    long lost = 0, named = 0, origin_agrees = 0;
    const std::regex origin(R"(\{"pid":(\d+),"bytes":(\d+)(,"site":"[^:"]*:(\d+):\d+")?\})");
    const std::vector<std::string> source = source_lines(row.program);
    std::map<std::string, std::string> programs;  // by pid, as its last exec left it
    for (const Event &event : traced.events) {
        if (event.at("event") == "exec" && event.at("ok") == "true") {
            programs[event.at("pid")] = event.at("path").substr(event.at("path").rfind('/') + 1);
        }
        if (event.at("event") == "fork" && event.contains("child")) {
            programs[event.at("child")] = programs[event.at("pid")];
        }
        if (event.contains("lost")) {
            lost += std::count(event.at("lost").begin(), event.at("lost").end(), '\n');
        }
        if (event.at("event") != "write" || event.at("fd") != "1") {
            continue;
        }
        std::vector<std::string> origin_of_byte;
        const std::string origins = event.contains("origins") ? event.at("origins") : "";
        for (std::sregex_iterator at(origins.begin(), origins.end(), origin), end; at != end;
             ++at) {
            origin_of_byte.insert(origin_of_byte.end(), std::stoul((*at)[2]), (*at)[1]);
            // The demo's own bytes each name the line of the call that printed
            // them, and that line prints. (clang gives some calls line 0, no
            // line: their bytes have no place.)
            if (programs[(*at)[1]] == row.program) {
#if !defined(__clang__)
                ASSERT_TRUE((*at)[4].matched) << (*at).str() << "\n" << traced;
#endif
                if (!(*at)[4].matched) {
                    continue;
                }
                const std::size_t line = std::stoul((*at)[4]);
                ASSERT_LT(line, source.size()) << (*at).str();
                EXPECT_TRUE(source[line].find("printf") != std::string::npos ||
                            source[line].find("puts") != std::string::npos)
                    << (*at).str() << ": " << source[line];
            }
        }
        EXPECT_EQ(origin_of_byte.size(), event.at("data").size()) << traced;
        std::size_t start = 0;
        for (const std::string &line : runner::split_lines(event.at("data"))) {
            std::smatch match;
            if (std::regex_search(line, match, id)) {
                ++named;
                origin_agrees += start < origin_of_byte.size() && origin_of_byte[start] == match[1];
            }
            start += line.size() + 1;
        }
    }
    EXPECT_EQ(origin_agrees, named) << traced;
    EXPECT_EQ(lost, row.lost_lines) << traced;
}

const std::vector<std::string> terminal{"--on", "terminal"}, pipe{"--on", "pipe"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string> &more)
{
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Demos, ForktraceSees,
    testing::Values(
        // name, program, forktrace's args:
        //   forks, failed forks, execs, failed execs, exits, reaps; lines, own lines, lost lines; status
        Demo{"fanout_terminal", "fanout", terminal, 15, 0, 1, 0, 16, 0, 30, 30, 0, 0},
        Demo{"fanout_pipe", "fanout", pipe, 15, 0, 1, 0, 16, 0, 64, 30, 0, 0},
        Demo{"lsbranch_terminal", "lsbranch", terminal, 1, 0, 2, 0, 2, 0, 2, 2, 0, 0},
        Demo{"lsbranch_pipe", "lsbranch", pipe, 1, 0, 2, 0, 2, 0, 1, 1, 1, 0},
        Demo{"lsbranch_terminal_exec_fails", "lsbranch", with(terminal, {"--fail", "exec"}),
             2, 0, 1, 1, 3, 0, 6, 6, 0, 0},
        Demo{"lsbranch_pipe_exec_fails", "lsbranch", with(pipe, {"--fail", "exec"}),
             2, 0, 1, 1, 3, 0, 7, 6, 0, 0},
        Demo{"lsbranch_pipe_exec_and_second_fork_fail", "lsbranch",
             with(pipe, {"--fail", "exec", "--fail", "fork:2"}), 1, 1, 1, 1, 2, 0, 4, 4, 0, 0},
        Demo{"lsbranch_terminal_first_fork_fails", "lsbranch", with(terminal, {"--fail", "fork:1"}),
             0, 1, 1, 0, 1, 0, 1, 1, 0, 0},
        Demo{"kinwait_terminal", "kinwait", with(terminal, {"--input", "3\\n"}),
             1, 0, 2, 0, 2, 1, 15, 0, 0, 0},
        Demo{"kinwait_pipe", "kinwait", {"--input", "3\\n"}, 1, 0, 2, 0, 2, 1, 9, 0, 6, 0},
        Demo{"kinwait_pipe_exec_fails", "kinwait", {"--input", "7\\n", "--fail", "exec"},
             1, 0, 1, 1, 2, 1, 15, 0, 0, 0},
        Demo{"kinwait_pipe_fork_fails", "kinwait", {"--input", "3\\n", "--fail", "fork:1"},
             0, 1, 1, 0, 1, 0, 0, 0, 0, 1}),
    [](const auto &row) { return row.param.name; });
// clang-format on

// Each cause of a write and each kind of loss, once, from a program that
// sets its buffering itself.
struct Buffered {
    std::string how;
    std::string cause;  // of the first write to descriptor 1, if any
    std::string lost;   // on an exec or exit event, if any
};

void PrintTo(const Buffered &row, std::ostream *os) { *os << row.how; }

class ForktraceBuffers : public testing::TestWithParam<Buffered> {};

TEST_P(ForktraceBuffers, SaysWhyBytesWentOutOrWereLost)
{
    const Buffered &row = GetParam();
    const Traced traced = trace({"--on", "pipe"}, runner::program_path("bufferlab"),
                                {.args = {row.how}, .env = runner::traced_environment()});
    EXPECT_EQ(traced.written, traced.received) << traced;
    std::string cause, lost;
    for (const Event &event : traced.events) {
        if (cause.empty() && event.at("event") == "write" && event.at("fd") == "1") {
            cause = event.contains("cause") ? event.at("cause") : "(none)";
        }
        if (event.contains("lost") && !event.at("lost").empty()) {
            lost = event.at("lost");
        }
    }
    EXPECT_EQ(cause, row.cause) << traced;
    EXPECT_EQ(lost, row.lost) << traced;
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ForktraceBuffers,
    testing::Values(Buffered{"newline", "newline", ""}, Buffered{"full", "full", ""},
                    Buffered{"flush", "flush", ""}, Buffered{"flush_all", "flush", ""},
                    Buffered{"exit", "exit", ""}, Buffered{"close", "close", ""},
                    Buffered{"unbuffered", "unbuffered", ""},
                    Buffered{"lost_at_exit", "", "lost at _exit\n"},
                    Buffered{"lost_at_signal", "", "lost to a signal\n"},
                    Buffered{"lost_at_exec", "", "lost at exec\n"}),
    [](const auto &row) { return row.param.how; });

// The homework programs that are easy to explain wrongly, each on a terminal
// and a pipe: the account the trace gives of each, in JSON and in text. Every
// row also holds the trace to its invariants: the bytes of the output writes
// are the bytes received, and the report's count of lines is the count of
// the lines received.
struct Account {
    std::string name;
    std::string how;                // homework's argument
    std::vector<std::string> args;  // forktrace's own, before the program
    // "event field value": some event of that kind has the field with a value
    // that contains the text ("-" for a field that must be absent).
    std::vector<std::string> some;
    std::vector<std::string> none;  // the same, for what no event may have
    std::vector<std::string> text;  // in the text report
    long reaps = -1;                // reap events, where the row counts them
};

void PrintTo(const Account &row, std::ostream *os) { *os << row.name; }

// Each reap collects a child of the reaper's that had ended and was not
// collected before; a process made with CLONE_PARENT has for its parent its
// maker's parent.
void expect_reaps_and_parents_hold(const std::vector<Event> &events)
{
    std::set<std::string> ended, reaped;
    std::map<std::string, std::string> parent_of;
    for (const Event &event : events) {
        const std::string &kind = event.at("event");
        const std::string &pid = event.at("pid");
        if (kind == "fork" && event.contains("child") && event.at("child") != "0") {
            const std::string &child = event.at("child");
            parent_of[child] = pid;
            if (event.contains("parent")) {
                EXPECT_TRUE(parent_of.contains(pid)) << "made by " << pid << ", not a child";
                EXPECT_EQ(event.at("parent"), parent_of[pid]) << "the parent of " << child;
                parent_of[child] = event.at("parent");
            }
            ended.erase(child);
            reaped.erase(child);
        } else if (kind == "exit") {
            ended.insert(pid);
        } else if (kind == "reap") {
            const std::string &child = event.at("child");
            EXPECT_TRUE(ended.contains(child)) << pid << " reaped " << child << " before its end";
            EXPECT_TRUE(reaped.insert(child).second) << child << " reaped twice";
            EXPECT_EQ(parent_of[child], pid) << pid << " reaped " << child << ", not its child";
        }
    }
}

class ForktraceAccounts : public testing::TestWithParam<std::tuple<Account, runner::Output>> {};

// Whether `event` matches `pattern`, "KIND FIELD VALUE": it is of KIND and
// has FIELD with a value containing VALUE ("-": has no such field).
bool matches(const Event &event, const std::string &pattern)
{
    std::istringstream words(pattern);
    std::string kind, field, value;
    words >> kind >> field;
    std::getline(words >> std::ws, value);
    if (event.at("event") != kind) {
        return false;
    }
    if (value == "-") {
        return !event.contains(field);
    }
    return event.contains(field) && event.at(field).find(value) != std::string::npos;
}

// Each call site a trace names is a line of homework.cpp that makes the call
// of its event (an independent look at the source).
void expect_sites_in_source(const std::vector<Event> &events)
{
    std::vector<std::string> source{""};
    std::ifstream file(std::string(TESTS_DIR) + "/homework.cpp");
    for (std::string line; std::getline(file, line);) {
        source.push_back(line);
    }
    // system() and posix_spawn() fork, exec and wait inside the C library:
    // the program's call is theirs.
    const std::map<std::string, std::vector<std::string>> calls{
        {"fork", {"fork()", "system(", "posix_spawn(", "SYS_clone"}},
        {"exec", {"exec", "system(", "posix_spawn("}},
        {"reap", {"wait", "system("}},
        {"saw_end", {"wait"}},
        {"exit", {"exit"}}};
    const std::regex site(R"(^homework\.cpp:(\d+):(\d+)$)");
    for (const Event &event : events) {
        if (!event.contains("site")) {
            continue;
        }
        std::smatch match;
        ASSERT_TRUE(std::regex_match(event.at("site"), match, site)) << event.at("site");
        const std::size_t number = std::stoul(match[1]);
        ASSERT_LT(number, source.size()) << event.at("site");
        const std::string &line = source[number];
        const auto &names = calls.at(event.at("event"));
        EXPECT_TRUE(std::any_of(
            names.begin(), names.end(),
            [&](const std::string &name) { return line.find(name) != std::string::npos; }))
            << event.at("event") << " at " << event.at("site") << ": " << line;
    }
}

TEST_P(ForktraceAccounts, RightOrSaysItCannotKnow)
{
    const Account &row = std::get<0>(GetParam());
    std::vector<std::string> args{"--on", runner::to_string(std::get<1>(GetParam()))};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const Traced traced = trace(args, runner::program_path("homework"),
                                {.args = {row.how}, .env = runner::traced_environment()});
    ASSERT_EQ(traced.run.exit_code(), 0) << traced;
    EXPECT_EQ(traced.written, traced.received) << traced;
    for (const std::string &pattern : row.some) {
        EXPECT_TRUE(std::any_of(traced.events.begin(), traced.events.end(),
                                [&](const Event &event) { return matches(event, pattern); }))
            << "no event: " << pattern << "\n"
            << traced;
    }
    for (const std::string &pattern : row.none) {
        EXPECT_FALSE(std::any_of(traced.events.begin(), traced.events.end(),
                                 [&](const Event &event) { return matches(event, pattern); }))
            << "an event: " << pattern << "\n"
            << traced;
    }
    expect_sites_in_source(traced.events);
    expect_reaps_and_parents_hold(traced.events);
    if (row.reaps >= 0) {
        EXPECT_EQ(traced.count("reap"), row.reaps) << traced;
    }

    const runner::ScratchFolder folder("forktrace-text");
    const std::filesystem::path report = folder.path() / "report";
    args.insert(args.begin(), {"-o", report.string()});
    args.push_back(runner::program_path("homework"));
    args.push_back(row.how);
    const Result text = runner::run_on_pipe(runner::program_path("forktrace"),
                                            {.args = args, .env = runner::traced_environment()});
    std::ifstream file(report);
    const std::string said((std::istreambuf_iterator<char>(file)), {});
    for (const std::string &part : row.text) {
        EXPECT_NE(said.find(part), std::string::npos) << "expected: " << part << "\n" << said;
    }
    const std::string received = std::regex_replace(text.out, std::regex("\r\n"), "\n");
    const auto lines = std::count(received.begin(), received.end(), '\n') +
                       (received.empty() || received.ends_with('\n') ? 0 : 1);
    const std::string counted = std::to_string(lines) + (lines == 1 ? " line in " : " lines in ");
    EXPECT_NE(said.find(counted), std::string::npos) << "expected " << counted << "\n" << said;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Homework, ForktraceAccounts,
    testing::Combine(
        testing::Values(
            Account{"vfork", "vfork", {},
                    {"fork memory shared", "fork pending -", "exec site homework.cpp:"},
                    {"exec lost hello", "exit lost hello"},
                    {"· vfork", " (child 1)", "shares this process's memory, buffer and all"}},
            Account{"system", "system", {},
                    {"fork memory shared", "fork pending -"},
                    {"exec lost hello", "exit lost hello"},
                    {"vfork: made"}},
            Account{"posix_spawn", "spawn", {},
                    {"fork memory shared"},
                    {"exec lost spawned", "exit lost spawned"},
                    {"vfork: made"}},
            Account{"direct_write", "direct", {},
                    {"write cause direct"},
                    {"write cause full", "write origin unknown"},
                    {"straight from the program's memory"}},
            Account{"reap_in_a_pid_namespace", "pidns", {}, {"reap child"}, {}, {}, 2},
            Account{"asynchronous_io_said_in_the_report", "async", {},
                    {"notice text process"},
                    {},
                    {"What forktrace said of the run, on standard error too:\n  forktrace: process"}},
            Account{"foreign_buffer", "foreign", {},
                    {"write origin unknown", "write cause direct"},
                    {},
                    {"who printed them is unknown", "unknown                           in the C++ buffer"}},
            Account{"mid_line_flush", "midline", {},
                    {"fork site homework.cpp:", "reap site homework.cpp:"},
                    {},
                    {}},
            Account{"pieces_of_a_line", "pieces", {},
                    {"write data a"},
                    {},
                    {"1 process, 1 line in "}},  // 3 writes, or 4 where puts("c") is two
            Account{"explicit_fflush", "fflush", {},
                    {"write cause flush"},
                    {},
                    {}},
            Account{"failed_fork", "wait", {"--fail", "fork:1"},
                    {"fork ok false", "fork site homework.cpp:"},
                    {},
                    {"fork failed: EAGAIN at homework.cpp:"}},
            Account{"threads", "threads", {},
                    {"write data first", "write data second"},
                    {"write origin unknown", "write buffering full"},
                    {"2 lines in 2 writes"}},
            Account{"fork_logic", "logic", {},
                    {"fork site homework.cpp:", "reap site homework.cpp:"},
                    {},
                    {"fork at homework.cpp:", ": made ", " (child 2)"}},
            Account{"wait_then_print", "wait", {},
                    {"reap site homework.cpp:", "exit site homework.cpp:"},
                    {},
                    {"by the wait at homework.cpp:"}, 1},
            Account{"line_of_two_printers", "mixed", {},
                    {"fork pending a"},
                    {},
                    {"+itself ", "begun in one process and ended in another"}, 1},
            Account{"reaps_without_status", "nullwait", {},
                    {"reap site homework.cpp:"},
                    {},
                    {"by the wait at homework.cpp:"}, 3},
            Account{"clone_parent", "cloneparent", {},
                    {"fork parent "},
                    {},
                    {"with CLONE_PARENT: a sibling, a child of "}, 2},
            Account{"wait_that_leaves_its_child", "nowait", {}, {"saw_end site homework.cpp:"}, {},
                    {"seen to end by "}, 0},
            Account{"child_the_system_collects", "ignored", {}, {"saw_end by_system true"}, {},
                    {"collected by the system"}, 0},
            Account{"trap_ignored", "trapignored", {}, {"write data after"}, {},
                    {"it set an action for SIGTRAP"}, 0},
            Account{"main_thread_ends_first", "mainexit", {},
                    {"write data from the last thread"},
                    {"write cause unknown", "exit lost from"},
                    {}}),
        testing::Values(runner::Output::terminal, runner::Output::pipe)),
    [](const auto &row) {
        return std::get<0>(row.param).name + "_" + runner::to_string(std::get<1>(row.param));
    });
// clang-format on

// Every way of getting bytes to the output, on a terminal and a pipe: the
// trace has each byte the reader got, or forktrace says what it could not
// see; and where a program's call is changed, it says so.
struct WayOut {
    std::string name;
    std::vector<std::string> command;
    std::string notice;         // a part of what forktrace must say on standard error
    std::string not_said = "";  // and a part it must not
};

void PrintTo(const WayOut &row, std::ostream *os) { *os << row.name; }

class ForktraceSeesEveryWayOut : public testing::TestWithParam<std::tuple<WayOut, runner::Output>> {
};

TEST_P(ForktraceSeesEveryWayOut, OrSaysWhatItCannotSee)
{
    const WayOut &row = std::get<0>(GetParam());
    // A way this machine does not offer (a kernel built without 32-bit
    // system calls) leaves nothing to see: homework says so with status 77.
    const Result untraced =
        runner::run(std::get<1>(GetParam()), row.command.front(),
                    {.args = {std::next(row.command.begin()), row.command.end()}});
    if (untraced.exit_code() == 77) {
        GTEST_SKIP() << untraced.err;
    }
    const Traced traced =
        trace({"--on", runner::to_string(std::get<1>(GetParam()))}, row.command.front(),
              {.args = {std::next(row.command.begin()), row.command.end()},
               .env = runner::traced_environment()});
    EXPECT_EQ(traced.run.exit_code(), 0) << traced;
    EXPECT_NE(traced.run.err.find(row.notice), std::string::npos) << traced;
    EXPECT_TRUE(row.not_said.empty() || traced.run.err.find(row.not_said) == std::string::npos)
        << traced;
    if (traced.written != traced.received) {
        EXPECT_NE(traced.run.err.find("that no write forktrace saw made"), std::string::npos)
            << traced;
    } else {
        EXPECT_NE(traced.received, "") << traced;
    }
    // What it says of the run, the report says too.
    std::set<std::string> noticed;
    for (const Event &event : traced.events) {
        if (event.at("event") == "notice") {
            noticed.insert("forktrace: " + event.at("text"));
        }
    }
    for (const std::string &line : runner::split_lines(traced.run.err)) {
        EXPECT_TRUE(!line.starts_with("forktrace: ") || noticed.contains(line)) << line;
    }
}

const std::string homework = runner::program_path("homework");

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Ways, ForktraceSeesEveryWayOut,
    testing::Combine(
        testing::Values(
            WayOut{"dup_of_stdout", {"/bin/sh", "-c", "exec 3>&1; echo through three >&3"}, ""},
            WayOut{"proc_self_fd", {"/bin/sh", "-c", "echo through proc >/proc/self/fd/1"}, ""},
            WayOut{"proc_of_its_parent", {"/bin/sh", "-c", "echo past the trace >/proc/$PPID/fd/1; echo plain"},
                   "wrote into forktrace's own output or terminal, not the command's"},
            WayOut{"tee_dev_stdout", {"/bin/sh", "-c", "echo teed | tee /dev/stdout"}, ""},
            WayOut{"cp_to_dev_stdout", {"/bin/cp", std::string(TESTS_DIR) + "/bufferlab.cpp", "/dev/stdout"}, ""},
            WayOut{"dev_tty", {"/bin/sh", "-c", "echo to the terminal >/dev/tty 2>/dev/null; echo plain"}, ""},
            WayOut{"sendfile_and_splice", {homework, "kernelcopy"}, "copied to the output in the kernel"},
            WayOut{"asynchronous_io", {homework, "async"}, "set up asynchronous I/O (io_uring or Linux AIO)"},
            WayOut{"system_call_of_32_bits", {homework, "int80"}, "made system calls of another ABI"},
            // Where the kernel refuses it, it writes nothing, and nothing is missed.
            WayOut{"system_call_of_x32", {homework, "x32"}, "", "or x32"},
            WayOut{"clone_untraced", {homework, "untraced"}, "(CLONE_UNTRACED): it is traced like the others"},
            WayOut{"exec_by_a_thread_in_a_write", {homework, "threadexec"}, "", "that no write forktrace saw made"},
            WayOut{"tracee_seizes_its_tracer", {homework, "seize"}, "tried to trace forktrace itself (ptrace)"},
            WayOut{"tracee_kills_its_tracer", {homework, "seize"}, "to forktrace itself, which would end or stop the trace"},
            WayOut{"tracee_limits_its_tracer", {homework, "seize"}, "called prlimit() on forktrace itself"},
            WayOut{"tracee_reads_its_tracers_input", {homework, "seize"}, "read from forktrace's own input or terminal"}),
        testing::Values(runner::Output::terminal, runner::Output::pipe)),
    [](const auto &row) {
        return std::get<0>(row.param).name + "_" + runner::to_string(std::get<1>(row.param));
    });
// clang-format on

// --possible: how many orders of its writes and distinct outputs a run of
// each demo had, against the counts worked out by hand: the hook lengths of
// fanout's forks on a terminal, 16! for its 16 unordered blocks through a
// pipe, C(13, 5) for kinwait's parent's five lines among the child's eight
// writes, and lsbranch's three processes with its exec failing. And the
// homework cases with waits, without, and with equal texts.
struct Possible {
    std::string name;
    std::string program;
    std::vector<std::string> args;  // forktrace's, before the program, and the program's
    std::string orders, outputs;
    std::string listed;  // what --list gives, as the JSON array, where short
};

void PrintTo(const Possible &row, std::ostream *os) { *os << row.name; }

class ForktracePossible : public testing::TestWithParam<Possible> {};

TEST_P(ForktracePossible, CountsTheOrdersAndOutputs)
{
    const Possible &row = GetParam();
    const runner::ScratchFolder folder("possible");
    const std::filesystem::path report = folder.path() / "report";
    for (const bool json : {true, false}) {
        std::vector<std::string> args{"--possible", "-o", report.string()};
        if (json) {
            args.insert(args.end(), {"-f", "json", "--list", "5"});
        }
        args.insert(args.end(), row.args.begin(), row.args.end());
        const std::string program = runner::program_path(row.program);
        args.insert(args.begin() + static_cast<std::ptrdiff_t>(args.size()) -
                        (row.program == "homework" ? 1 : 0),
                    program);
        const Result run = runner::run_on_pipe(
            runner::program_path("forktrace"),
            {.args = args,
             .env = with_path(runner::traced_environment()),
             .faults = {{"FAULT_SLEEP", "0"}, {"FAULT_PROGRAM", runner::program_path("kinwait")}},
             .cwd = folder.path().string()});
        ASSERT_EQ(run.exit_code(), 0) << run;
        std::ifstream file(report);
        const std::string said((std::istreambuf_iterator<char>(file)), {});
        if (json) {
            EXPECT_NE(said.find("\"orders\":\"" + row.orders + "\""), std::string::npos) << said;
            EXPECT_NE(said.find("\"outputs\":\"" + row.outputs + "\""), std::string::npos) << said;
            if (!row.listed.empty()) {
                EXPECT_NE(said.find("\"list\":" + row.listed), std::string::npos) << said;
            }
        } else {
            const mpz_class orders(row.orders);
            EXPECT_NE(said.find(forktrace::count_text(orders) +
                                (orders == 1 ? " possible order" : " possible orders")),
                      std::string::npos)
                << said;
        }
    }
}

const std::vector<std::string> on_terminal{"--on", "terminal"}, on_pipe{"--on", "pipe"};

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Demos, ForktracePossible,
    testing::Values(
        Possible{"fanout_terminal", "fanout", on_terminal, "74836825861835980800000", "74836825861835980800000"},
        Possible{"fanout_pipe", "fanout", on_pipe, "20922789888000", "20922789888000"},
        Possible{"kinwait_terminal", "kinwait", with(on_terminal, {"--input", "3\\n"}), "1287", "1287"},
        Possible{"lsbranch_terminal_exec_fails", "lsbranch", with(on_terminal, {"--fail", "exec"}), "36", "36"},
        Possible{"lsbranch_pipe_exec_fails", "lsbranch", with(on_pipe, {"--fail", "exec"}), "6", "6"},
        Possible{"race_terminal", "homework", with(on_terminal, {"race"}), "2", "2",
                 R"(["child\nparent\n","parent\nchild\n"])"},
        Possible{"equal_texts_pipe", "homework", with(on_pipe, {"same"}), "2", "1", R"(["same\nsame\n"])"},
        Possible{"wait_terminal", "homework", with(on_terminal, {"wait"}), "1", "1", R"(["A\nB\nC\n"])"},
        Possible{"wait_pipe", "homework", with(on_pipe, {"wait"}), "1", "1", R"(["A\nB\nA\nC\n"])"},
        // Waits that leave the child uncollected order the parent after it all the same.
        Possible{"wait_nowait_pipe", "homework", with(on_pipe, {"nowait"}), "1", "1", R"(["child\nparent\n"])"},
        Possible{"wait_sigchld_ignored_pipe", "homework", with(on_pipe, {"ignored"}), "1", "1", R"(["child\nparent\n"])"}),
    [](const auto &row) { return row.param.name; });
// clang-format on

// --check and --make on a terminal and a pipe: a parent-and-child race made
// to come out each way, every time, not by luck; the wait's order cannot be
// made otherwise, and the reason is told.
struct Steered {
    std::string name;
    std::string how;  // homework's argument
    std::string answer;
    bool possible;
    std::string why_terminal, why_pipe;  // a part of the reason, when not possible
};

void PrintTo(const Steered &row, std::ostream *os) { *os << row.name; }

class ForktraceSteers : public testing::TestWithParam<std::tuple<Steered, runner::Output>> {};

TEST_P(ForktraceSteers, ChecksAndMakesTheAnswer)
{
    const Steered &row = std::get<0>(GetParam());
    const std::string way = runner::to_string(std::get<1>(GetParam()));
    const runner::ScratchFolder folder("steer");
    const std::filesystem::path answer = folder.path() / "answer";
    std::ofstream(answer) << row.answer;
    const auto forktrace = [&](const std::string &mode) {
        return runner::run_on_pipe(runner::program_path("forktrace"),
                                   {.args = {"-o", "/dev/null", mode, answer.string(), "--on", way,
                                             runner::program_path("homework"), row.how},
                                    .env = runner::traced_environment()});
    };
    const Result checked = forktrace("--check");
    EXPECT_EQ(checked.exit_code(), row.possible ? 0 : 1) << checked;
    for (int run = 0; run < (row.possible ? 5 : 1); ++run) {
        const Result made = forktrace("--make");
        EXPECT_EQ(made.exit_code(), row.possible ? 0 : 1) << made;
        if (row.possible) {
            // The terminal's "\r\n" is turned back into "\n" for a pipe; an
            // answer typed without its last newline is made with it.
            const bool lacks = !row.answer.ends_with('\n');
            EXPECT_EQ(made.out, row.answer + (lacks ? "\n" : "")) << made;
            EXPECT_EQ(
                made.err.find("with the newline that its last line lacks") != std::string::npos,
                lacks)
                << made;
        } else {
            const std::string &why = std::get<1>(GetParam()) == runner::Output::terminal
                                         ? row.why_terminal
                                         : row.why_pipe;
            EXPECT_NE(made.err.find(why), std::string::npos) << made;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Homework, ForktraceSteers,
    testing::Combine(
        testing::Values(Steered{"child_first", "race", "child\nparent\n", true, "", ""},
                        Steered{"parent_first", "race", "parent\nchild\n", true, "", ""},
                        Steered{"equal_texts", "same", "same\nsame\n", true, "", ""},
                        Steered{"no_last_newline", "race", "child\nparent", true, "", ""},
                        // Through a pipe the child's copy of A comes out with B.
                        Steered{"c_before_b", "wait", "A\nC\nB\n", false,
                                "line 2: 'C' cannot come before 'B': the command writes 'C' "
                                "(printed at homework.cpp:",
                                // The command's whole write is next, but for its wait.
                                "line 1: 'A' and 'C' cannot come before 'A' and 'B': the command "
                                "writes 'A' and 'C' only after its wait at homework.cpp:"},
                        // Orders that pipes and signals make, named as such.
                        Steered{"piped_byte_first", "handoff", "child\np1\n", false,
                                "only after it read from a pipe what was written there after "
                                "the command wrote 'p1' (printed at homework.cpp:",
                                "only after it read from a pipe what was written there after "
                                "the command wrote 'p1' (printed at homework.cpp:"},
                        Steered{"continued_first", "stopped", "child\nparent\n", false,
                                "only after a signal reached it that was sent after the "
                                "command wrote 'parent' (printed at homework.cpp:",
                                "only after a signal reached it that was sent after the "
                                "command wrote 'parent' (printed at homework.cpp:"},
                        Steered{"reported_first", "reports", "got 0\ngot 1\n", true, "", ""}),
        testing::Values(runner::Output::terminal, runner::Output::pipe)),
    [](const auto &row) {
        return std::get<0>(row.param).name + "_" + runner::to_string(std::get<1>(row.param));
    });

// --compare: the account of each demo, from its two traces. What the first
// run is typed on standard input, the second run is typed too.
struct Comparison {
    std::string name;
    std::string program;
    std::vector<std::string> args;
    std::vector<std::string> says;
    std::string typed;  // on forktrace's standard input
    std::string twice;  // in both transcripts
    std::string mode;   // the program's argument (homework's)
};

void PrintTo(const Comparison &row, std::ostream *os) { *os << row.name; }

class ForktraceCompares : public testing::TestWithParam<Comparison> {};

TEST_P(ForktraceCompares, TheTwoWaysFromTheirTraces)
{
    const Comparison &row = GetParam();
    const runner::ScratchFolder listed("compare");  // what ls lists
    for (const char *name : {"alpha", "beta", "gamma"}) {
        std::ofstream(listed.path() / name).put('\n');
    }
    std::vector<std::string> args{"--compare"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    args.push_back(runner::program_path(row.program));
    if (!row.mode.empty()) {
        args.push_back(row.mode);
    }
    std::vector<runner::Step> script;
    if (!row.typed.empty()) {
        script.push_back({.send = row.typed});
    }
    const Result run = runner::run_on_pipe(
        runner::program_path("forktrace"),
        {.args = args,
         .env = runner::traced_environment(),
         .faults = {{"FAULT_SLEEP", "0"}, {"FAULT_PROGRAM", runner::program_path("kinwait")}},
         .script = script,
         .cwd = listed.path().string()});
    EXPECT_EQ(run.exit_code(), 0) << run;
    for (const std::string &said : row.says) {
        EXPECT_NE(run.out.find(said), std::string::npos) << "expected: " << said << "\n" << run;
    }
    if (!row.twice.empty()) {
        const std::size_t first = run.out.find(row.twice);
        EXPECT_NE(first, std::string::npos) << run;
        EXPECT_NE(run.out.find(row.twice, first + 1), std::string::npos) << run;
    }
}

const std::vector<std::string> kinwait_typed_3{
    "On a terminal: 15 lines", "Through a pipe: 9 lines",
    "7 lines never came out: pending in the buffer, lost by", "at its exec of date"};

INSTANTIATE_TEST_SUITE_P(
    Demos, ForktraceCompares,
    testing::Values(Comparison{"fanout",
                               "fanout",
                               {},
                               {"On a terminal: 30 lines from 16 processes",
                                "Through a pipe: 64 lines from 16 processes",
                                "34 lines copied into children by forks"}},
                    Comparison{"lsbranch",
                               "lsbranch",
                               {},
                               {"On a terminal: 3 lines from 2 processes",
                                "Through a pipe: 4 lines from 2 processes",
                                "1 line never came out: pending in the buffer, lost by",
                                "ls itself printed 1 line on a terminal and 3 lines through a "
                                "pipe: it writes names in columns on a terminal and one name per "
                                "line into a pipe."}},
                    Comparison{"kinwait_input", "kinwait", {"--input", "3\\n"}, kinwait_typed_3},
                    Comparison{"kinwait_typed_once",
                               "kinwait",
                               {"--fail", "exec"},
                               {"On a terminal: 15 lines", "Through a pipe: 15 lines"},
                               "3\n",
                               "PARENT: Child's exit code is: 3"},
                    // "x" flushed, then forked: "xy" and "y", two lines in three
                    // writes, each way; nothing printed otherwise.
                    Comparison{"flushed_then_forked",
                               "homework",
                               {},
                               {"On a terminal: 2 lines from 2 processes, in 3 writes",
                                "Through a pipe: 2 lines from 2 processes, in 3 writes",
                                "orders of these 3 writes (2 lines)"},
                               "",
                               "",
                               "flushfork"}),
    [](const auto &row) { return row.param.name; });

// forktrace's own statuses, and the command's passed on. A mistake on the
// command line, and a refusal to trace, leave no report behind; every message
// is plain text.
struct Ending {
    std::string name;
    std::vector<std::string> args;
    int status;
    std::string message;                        // a part of what forktrace says on standard error
    bool report = true;                         // whether the report file is written
    std::map<std::string, std::string> faults;  // for forktrace itself
    std::vector<runner::Step> script = {};      // typed on forktrace's standard input
    std::size_t reader_leaves_after = 0;        // lines the test reads before it goes
};

void PrintTo(const Ending &row, std::ostream *os) { *os << row.name; }

class ForktraceEnds : public testing::TestWithParam<Ending> {};

TEST_P(ForktraceEnds, WithTheStatusAShellUserKnows)
{
    const Ending &row = GetParam();
    const runner::ScratchFolder folder("forktrace-ends");
    const std::filesystem::path report = folder.path() / "report";
    std::vector<std::string> args{"-o", report.string()};
    args.insert(args.end(), row.args.begin(), row.args.end());
    // Files made here: answers that are no regular file, too big a file,
    // one to steer to; a program that is neither a program nor a script.
    for (std::string &arg : args) {
        const std::filesystem::path made = folder.path() / arg;
        if (arg == "FIFO") {
            ASSERT_EQ(::mkfifo(made.c_str(), 0600), 0);
        } else if (arg == "BINARY") {
            std::ofstream(made) << std::string("\x7f\0\x01no script\n", 13);
            std::filesystem::permissions(made, std::filesystem::perms::owner_all);
        } else if (arg == "ALARMED") {
            std::ofstream(made) << "parent\nchild\n";
        } else if (arg == "HUGE") {
            std::ofstream(made).put('\n');
            std::filesystem::resize_file(made, (16U << 20U) + 1);
        } else {
            continue;
        }
        arg = made.string();
    }
    const Result run = runner::run_on_pipe(runner::program_path("forktrace"),
                                           {.args = args,
                                            .env = runner::traced_environment(),
                                            .faults = row.faults,
                                            .script = row.script,
                                            .reader_leaves_after = row.reader_leaves_after});
    EXPECT_EQ(run.exit_code(), row.status) << run;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << run;
    EXPECT_EQ(std::filesystem::exists(report), row.report) << run;
    EXPECT_FALSE(std::any_of(run.err.begin(), run.err.end(), [](char c) {
        return c != '\n' && std::iscntrl(c) != 0;
    })) << run;
}

const std::map<std::string, std::string> refuse_ptrace{{"FAULT_PTRACE", "1"}};

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, ForktraceEnds,
    testing::Values(
        Ending{"command_exits_3", {"/bin/sh", "-c", "exit 3"}, 3, ""},
        Ending{"command_killed_by_sigterm", {"/bin/sh", "-c", "kill -TERM $$"}, 143, ""},
        Ending{"not_found", {"no-such-command-\x1b[31m"}, 127, "no-such-command-\\e[31m: command not found", false},
        Ending{"not_executable", {"/dev/null"}, 126, "Permission denied", false},
        Ending{"bad_option", {"--no-such-option", "true"}, 125, "unknown or ambiguous option '--no-such-option'", false},
        Ending{"bad_short_option", {"-z", "true"}, 125, "unknown option '-z'\nTry 'forktrace --help'", false},
        Ending{"unknown_format", {"-f", "xml", "true"}, 125, "unknown format 'xml'", false},
        Ending{"format_missing", {"-f"}, 125, "-f/--format needs an argument: a format: text,", false},
        Ending{"input_missing", {"--input"}, 125, "--input needs an argument: the text to type", false},
        Ending{"fail_missing", {"--fail"}, 125, "--fail needs an argument: the call to make fail", false},
        Ending{"on_missing", {"--on"}, 125, "--on needs an argument: where to run the command: terminal or pipe", false},
        Ending{"on_bad", {"--on=tty\x01", "true"}, 125, "--on takes terminal or pipe, not 'tty\\x01'", false},
        Ending{"fail_bad", {"--fail", "fork:0", "true"}, 125, "--fail takes fork:N, exec or exec:N", false},
        Ending{"input_bad", {"--input", "\\q", "true"}, 125, "--input takes text in which a backslash", false},
        Ending{"argument_not_taken", {"--ascii=yes", "true"}, 125, "--ascii takes no argument", false},
        Ending{"compare_picture", {"--compare", "-f", "svg", "true"}, 125, "--compare writes its own account as text", false},
        Ending{"compare_on", {"--compare", "--on", "pipe", "true"}, 125, "--on does not go with it", false},
        Ending{"no_command", {}, 125, "no command to run", false},
        Ending{"check_a_folder", {"--check", "/", "true"}, 125, "forktrace: /: Is a directory", false},
        Ending{"check_a_device", {"--check", "/dev/zero", "true"}, 125, "forktrace: /dev/zero: not a regular file", false},
        Ending{"check_a_fifo", {"--check", "FIFO", "true"}, 125, "/FIFO: not a regular file", false},
        Ending{"make_too_big", {"--make", "HUGE", "true"}, 125, "/HUGE: larger than 16 MiB, the most that is read", false},
        Ending{"list_none", {"--list=0", "true"}, 125, "--list lists from 1 to 10000 outputs, not 0", false},
        // Steered runs that cannot be had: told apart from an impossible answer.
        Ending{"shuffle_unfollowed", {"--shuffle", "--on", "pipe", runner::program_path("homework"), "sharedmemory"}, 2,
               "what orders this command's writes is not all followed, so no order of them can be chosen", false},
        Ending{"shuffle_drawn", {"--shuffle=2", "--on", "pipe", runner::program_path("homework"), "race"}, 0,
               "steered to a random order (seed 2), one of 2 possible"},
        Ending{"make_past_an_alarm", {"--make", "ALARMED", "--on", "pipe", runner::program_path("homework"), "alarm"}, 2,
               "the 1st child of the command was killed by signal 14 (SIGALRM), where in the first run it exited "
               "with code 0"},
        Ending{"pids_alone", {"--pids=100", "true"}, 125, "--pids numbers the processes of an answer", false},
        Ending{"pids_bad", {"--pids=0", "--list", "true"}, 125, "--pids takes a whole number from 1", false},
        Ending{"all_cpus", {"--all-cpus", "/bin/sh", "-c", "exit 3"}, 3, ""},
        Ending{"static_program_buffer_unknown", {"/sbin/ldconfig", "-p"}, 0, "cannot be read"},
        Ending{"already_traced", {runner::program_path("forktrace"), "true"}, 125,
               "forktrace is itself being traced, by process "},
        Ending{"ptrace_refused", {"-f", "svg", "true"}, 125,
               "cannot trace the command: ptrace: Operation not permitted\n  ", false, refuse_ptrace},
        Ending{"ptrace_refused_compare", {"--compare", "true"}, 125, "cannot trace the command", false,
               refuse_ptrace},
        Ending{"untraced_where_refused", {"--untraced", "--on", "pipe", "/bin/sh", "-c", "exit 4"}, 4, "",
               false, refuse_ptrace},
        Ending{"suspend_key", {"--on", "terminal", "--input", "\\x1a", "cat"}, 0,
               "was stopped by SIGTSTP from the terminal; no shell there can bring it back"},
        // On a terminal: a read of a byte waits for its line, which must come
        // whole; input that ends mid-line still ends; a reader that goes away
        // hangs the terminal up.
        Ending{"byte_reads_of_a_line_on_terminal", {"--on", "terminal", "/bin/sh", "-c", "read x; read y; echo $x $y"}, 0, "", true, {},
               {{.await = "", .send = "abc\ndef\n"}}},
        Ending{"input_ending_mid_line_on_terminal", {"--on", "terminal", "--input", "abc", "cat"}, 0, ""},
        Ending{"reader_gone_on_terminal", {"--on", "terminal", "yes"}, 1, "", true, {}, {}, 1},
        Ending{"script_without_first_line", {std::string(TESTS_DIR) + "/plain-script", "a"}, 0, ""},
        Ending{"binary_without_first_line", {"BINARY"}, 126, "/BINARY: Exec format error"}),
    [](const auto &row) { return row.param.name; });
// clang-format on

// 400 writes alike, each of its own process: checking the output searches
// among 400! orders, and keeps its memory small while it does (it once held
// a whole state for each write at each depth, gigabytes).
TEST(ForktraceBudget, ChecksManyWritesAlikeInLittleMemory)
{
#ifdef FORKDEMOS_SANITIZE
    GTEST_SKIP() << "a sanitized program maps far more than its data";
#endif
    const runner::ScratchFolder folder("forktrace-budget");
    const std::filesystem::path answer = folder.path() / "answer";
    std::ofstream(answer) << [] {
        std::string text;
        for (int line = 0; line < 400; ++line) {
            text += "same\n";
        }
        return text;
    }();
    const Result run =
        runner::run_on_pipe(runner::program_path("forktrace"),
                            {.args = {"--on", "pipe", "--runs=2", "--check", answer.string(),
                                      runner::program_path("homework"), "alike"},
                             .env = runner::traced_environment(),
                             .timeout = std::chrono::seconds(60),
                             .memory_limit = std::size_t{512} << 20U});
    EXPECT_EQ(run.exit_code(), 0) << run;
    EXPECT_NE(run.err.find(" is a possible output"), std::string::npos) << run;
}

// Input written the moment the program has started (the Ctrl-Z above) acts on
// the program: its group holds the terminal's foreground before start returns,
// not only once the program has got round to taking it. Each start is a fresh
// race between the session leader and the program.
TEST(LaunchOnATerminal, HandsTheForegroundToTheProgramBeforeReturning)
{
    for (int start = 0; start < 50; ++start) {
        launch::Launched launched =
            launch::start({.argv = {"cat"}, .mode = launch::Mode::terminal});
        EXPECT_EQ(::tcgetpgrp(launched.output().get()), launched.pid()) << "start " << start;
    }  // cat is killed, its leader reaped
}

// Ctrl-C ends the command, whatever it was doing, and leaves nothing behind.
TEST(ForktraceInterrupted, KillsTheCommandAndLeavesNoProcess)
{
    const Result run = runner::run_on_terminal(
        runner::program_path("forktrace"), {.args = {"-o", "/dev/null", "--on", "pipe", "/bin/sh",
                                                     "-c", "sleep 60 & echo asleep $!; wait"},
                                            .script = {{.await = "asleep ", .send = "\x03"}}});
    EXPECT_EQ(run.exit_code(), 130) << run;
    const long sleeper = runner::number_after(run.out, "asleep ");
    std::ifstream status("/proc/" + std::to_string(sleeper) + "/status");
    for (std::string line; std::getline(status, line);) {
        EXPECT_FALSE(line.starts_with("State:") && line.find('Z') == std::string::npos)
            << "the sleeper lives on: " << line;
    }
}

// The processes still in `session`, zombies aside.
std::vector<std::string> alive_in_session(long session)
{
    std::vector<std::string> alive;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) {
            continue;
        }
        // After the name: state, parent, group, session.
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string state;
        long parent = 0, group = 0, in_session = 0;
        fields >> state >> parent >> group >> in_session;
        if (in_session == session && state != "Z" && state != "X") {
            alive.push_back(entry.path().filename().string() + " " + line);
        }
    }
    return alive;
}

// Ctrl-C while forktrace explores a program's 720 runs: it ends at once, and
// no process of any run lives on.
TEST(ForktraceInterrupted, DuringAnExplorationEndsItAndLeavesNothing)
{
    const Result run =
        runner::run_on_terminal(runner::program_path("forktrace"),
                                {.args = {"--possible", "--runs=1000", "-o", "/dev/null", "--on",
                                          "pipe", runner::program_path("homework"), "many"},
                                 .env = runner::traced_environment(),
                                 .script = {{.await = "done", .send = "\x03"}},
                                 .timeout = std::chrono::seconds(8)});
    EXPECT_EQ(run.exit_code(), 130) << run;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        // Read by the stream, which fails quietly where the process has
        // gone meanwhile (an iterator over its buffer throws).
        std::ifstream cmdline(entry.path() / "cmdline");
        std::string words;
        std::getline(cmdline, words, '\n');
        std::ifstream stat(entry.path() / "stat");
        std::string state;
        std::getline(stat, state);
        const bool zombie = state.find(") Z") != std::string::npos;
        EXPECT_FALSE(words.ends_with(std::string("homework") + '\0' + "many" + '\0') && !zombie)
            << "a process of the exploration lives on: " << entry.path();
    }
}

// Ctrl-C while forks are on their way, in a loop of forks twenty times and
// in a storm of them five: each run ends at once with 130 and leaves no
// process of the command behind, the children whose fork's event had not
// come yet among them; a fork killed at its event is never told as one that
// made process 0.
TEST(ForktraceInterrupted, DuringForksEndsAndLeavesNothing)
{
    const runner::ScratchFolder folder("forktrace-storm");
    const std::string report = (folder.path() / "events.json").string();
    for (int run = 0; run < 25; ++run) {
        const bool storm = run >= 20;
        const Result result = runner::run_on_terminal(
            runner::program_path("forktrace"),
            {.args = {"-f", "json", "-o", report, "--on", "pipe", runner::program_path("homework"),
                      storm ? "storm" : "forkloop"},
             .script = {{.await = storm ? "storming" : "forking ", .send = "\x03"}},
             .timeout = std::chrono::seconds(10)});
        ASSERT_EQ(result.exit_code(), 130) << "run " << run << "\n" << result;
        const long session = runner::number_after(result.out, "forking ");
        ASSERT_GT(session, 0) << result;
        EXPECT_EQ(alive_in_session(session), std::vector<std::string>{}) << "run " << run;
        for (const Event &event : events_in(report)) {
            EXPECT_NE(event.at("pid"), "0") << "run " << run;
            EXPECT_TRUE(!event.contains("child") || event.at("child") != "0") << "run " << run;
        }
    }
}

// The text report shows the command's bytes escaped, never raw.
TEST(ForktraceText, EscapesControlBytesAndInvalidText)
{
    const Result run = runner::run_on_pipe(
        runner::program_path("forktrace"),
        {.args = {"--on", "pipe", "/bin/sh", "-c", R"(printf '\033[31mred\001\377\n')"}});
    EXPECT_EQ(run.exit_code(), 0) << run;
    EXPECT_EQ(run.out, "\x1b[31mred\x01\xff\n") << run;
    EXPECT_NE(run.err.find(R"(\e[31mred\x01\xff)"), std::string::npos) << run;
    EXPECT_EQ(run.err.find_first_of("\x1b\x01\xff"), std::string::npos) << run;

    // Characters that turn text around or break its lines show as escapes
    // too, and an argument shows as a shell would take it.
    const Result turned =
        runner::run_on_pipe(runner::program_path("forktrace"),
                            {.args = {"--on", "pipe", "/bin/echo", "abc\u202edef\u2028", "a' 'b"}});
    EXPECT_NE(turned.err.find(R"(abc\u202edef\u2028 a' 'b)"), std::string::npos) << turned;
    EXPECT_NE(turned.err.find(R"((/bin/echo 'abc\u202edef\u2028' 'a'\'' '\''b'))"),
              std::string::npos)
        << turned;

    // --compare cuts a long line between two characters, never inside one.
    std::string wide;
    for (int i = 0; i < 100; ++i) {
        wide += "\u00e9";
    }
    const Result compared =
        runner::run_on_pipe(runner::program_path("forktrace"),
                            {.args = {"--compare", "/bin/echo", wide}, .env = {{"COLUMNS", "80"}}});
    EXPECT_NE(compared.out.find("\u00e9\u00e9~\n"), std::string::npos) << compared;
}

}  // namespace
