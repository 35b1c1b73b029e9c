// The possible outputs of a program, not of one run: for each homework
// program, a model of it (its processes' steps, written here by hand), and
// every output the model can print under every interleaving, found by a
// search of our own over the model. forktrace's counts must be the model's,
// exactly; every untraced output must be the model's and accepted by
// --check; every output of the model is accepted, and one it cannot print
// is proven impossible. The runs forktrace explores are never more than
// twice the different runs it finds.
#include "runner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

using runner::Result;

// One step of a process of the model.
struct Step {
    enum class Kind {
        print,       // printf of `text`, through a buffer as stdio keeps it
        fork,        // a child that runs `child`; the parent goes on
        wait,        // wait(NULL): any child that has ended, or -1 when none is left
        wait_print,  // the same, then printf("code %d\n") of the child's exit code, if one
        exit,        // exit(code), which writes the buffer
        after,       // waits until process `code` (by the order made, from 0) has ended
        poll,        // waitpid(-1, NULL, WNOHANG): collects any child that has ended and
                     // prints `child`'s one print, or else prints `text`
        poll_for,    // the same for the one child that is process `code`
        wait_for,    // waitpid(pid, NULL, 0) of the child that is process `code`
        ask_parent,  // printf of `text` where getppid() gets its parent's ID, else of
                     // `child`'s one print: its parent has ended
        flush,       // fflush(stdout)
        send,        // write of `text` into the one pipe
        receive,     // read of up to `code` bytes of the pipe, waiting for one, then
                     // printf of `text` and the bytes and a newline (nothing: no text)
    } kind;
    std::string text;
    int code = 0;
    std::vector<Step> child;
};
using Program = std::vector<Step>;

Step print(std::string text) { return {Step::Kind::print, std::move(text), 0, {}}; }
Step fork(Program child) { return {Step::Kind::fork, "", 0, std::move(child)}; }
Step wait_any() { return {Step::Kind::wait, "", 0, {}}; }
Step wait_print() { return {Step::Kind::wait_print, "", 0, {}}; }
Step exit_with(int code) { return {Step::Kind::exit, "", code, {}}; }
Step after_end_of(int process) { return {Step::Kind::after, "", process, {}}; }
Step poll(std::string none, std::string found)
{
    return {Step::Kind::poll, std::move(none), 0, {print(std::move(found))}};
}
Step wait_for(int process) { return {Step::Kind::wait_for, "", process, {}}; }
Step ask_parent(std::string alive, std::string gone)
{
    return {Step::Kind::ask_parent, std::move(alive), 0, {print(std::move(gone))}};
}
Step flush() { return {Step::Kind::flush, "", 0, {}}; }
Step send(std::string bytes) { return {Step::Kind::send, std::move(bytes), 0, {}}; }
Step receive(int most, std::string text)
{
    return {Step::Kind::receive, std::move(text), most, {}};
}
Step poll_for(int process, std::string none, std::string found)
{
    return {Step::Kind::poll_for, std::move(none), process, {print(std::move(found))}};
}

// The model's state: each process's place in its steps, its buffer and
// whether it lives, has ended or has been collected; and the output.
struct Process {
    const Program *program = nullptr;
    std::size_t at = 0;
    std::string buffer;
    int parent = -1;
    enum class Life { runs, ended, collected } life = Life::runs;
    int code = 0;
};
struct State {
    std::vector<Process> processes;
    std::string output;
    std::string pipe;  // the bytes written into it and not yet read
};

std::string key_of(const State &state)
{
    std::string key = state.output + '\0' + state.pipe + '\0';
    for (const Process &p : state.processes) {
        key += std::to_string(p.at) + "," + p.buffer + "," +
               std::to_string(static_cast<int>(p.life)) + ";";
    }
    return key;
}

class Enumerator {
public:
    Enumerator(const Program &program, bool terminal) : terminal_(terminal)
    {
        State start;
        start.processes.push_back({&program, 0, "", -1, Process::Life::runs, 0});
        search(start);
    }
    const std::set<std::string> &outputs() const { return outputs_; }

private:
    void put(Process &process, State &state, const std::string &text) const
    {
        process.buffer += text;
        // Line buffered on a terminal: a newline writes the whole buffer.
        if (terminal_ && text.find('\n') != std::string::npos) {
            state.output += process.buffer;
            process.buffer.clear();
        }
    }

    void end(State &state, std::size_t p, int code) const
    {
        state.output += state.processes[p].buffer;
        state.processes[p].buffer.clear();
        state.processes[p].life = Process::Life::ended;
        state.processes[p].code = code;
    }

    // The next states after process `p` takes its step (none: it is blocked).
    std::vector<State> steps(const State &state, std::size_t p) const
    {
        const Process &process = state.processes[p];
        if (process.life != Process::Life::runs) {
            return {};
        }
        if (process.at == process.program->size()) {
            State next = state;
            end(next, p, 0);
            return {next};
        }
        const Step &step = (*process.program)[process.at];
        State next = state;
        ++next.processes[p].at;
        switch (step.kind) {
            case Step::Kind::print:
                put(next.processes[p], next, step.text);
                return {next};
            case Step::Kind::fork:
                next.processes.push_back(
                    {&step.child, 0, process.buffer, static_cast<int>(p), Process::Life::runs, 0});
                return {next};
            case Step::Kind::exit:
                end(next, p, step.code);
                return {next};
            case Step::Kind::flush:
                next.output += next.processes[p].buffer;
                next.processes[p].buffer.clear();
                return {next};
            case Step::Kind::send:
                next.pipe += step.text;
                return {next};
            case Step::Kind::receive: {
                if (state.pipe.empty()) {
                    return {};
                }
                const std::string got = next.pipe.substr(0, static_cast<std::size_t>(step.code));
                next.pipe.erase(0, got.size());
                if (!step.text.empty()) {
                    put(next.processes[p], next, step.text + got + "\n");
                }
                return {next};
            }
            case Step::Kind::ask_parent: {
                const bool alive = process.parent >= 0 &&
                                   state.processes[static_cast<std::size_t>(process.parent)].life ==
                                       Process::Life::runs;
                put(next.processes[p], next, alive ? step.text : step.child.front().text);
                return {next};
            }
            case Step::Kind::wait_for: {
                Process &child = next.processes[static_cast<std::size_t>(step.code)];
                if (child.life != Process::Life::ended) {
                    return {};
                }
                child.life = Process::Life::collected;
                return {next};
            }
            case Step::Kind::after: {
                const auto other = static_cast<std::size_t>(step.code);
                if (other >= state.processes.size() ||
                    state.processes[other].life == Process::Life::runs) {
                    return {};
                }
                return {next};
            }
            case Step::Kind::wait:
            case Step::Kind::wait_print:
            case Step::Kind::poll:
            case Step::Kind::poll_for:
                break;
        }
        std::vector<State> after = collect(next, p, step);
        if (step.kind == Step::Kind::poll || step.kind == Step::Kind::poll_for) {
            for (State &found : after) {
                put(found.processes[p], found, step.child.front().text);
            }
            // None ended yet: it may be so even where one has, had it ended later.
            State none = next;
            put(none.processes[p], none, step.text);
            after.push_back(std::move(none));
        }
        return after;
    }

    // A wait's step: each child that has ended collected, or -1 at once where
    // none is left (a poll finds none then).
    std::vector<State> collect(const State &next, std::size_t p, const Step &step) const
    {
        std::vector<State> after;
        bool children_left = false;
        for (std::size_t c = 0; c < next.processes.size(); ++c) {
            const Process &child = next.processes[c];
            if (child.parent != static_cast<int>(p) || child.life == Process::Life::collected ||
                (step.kind == Step::Kind::poll_for && c != static_cast<std::size_t>(step.code))) {
                continue;
            }
            children_left = true;
            if (child.life == Process::Life::ended) {
                State collected = next;
                collected.processes[c].life = Process::Life::collected;
                if (step.kind == Step::Kind::wait_print) {
                    put(collected.processes[p], collected,
                        "code " + std::to_string(child.code) + "\n");
                }
                after.push_back(std::move(collected));
            }
        }
        const bool is_poll = step.kind == Step::Kind::poll || step.kind == Step::Kind::poll_for;
        if (!children_left && !is_poll) {
            after.push_back(next);  // -1 at once
        }
        return after;
    }

    void search(const State &state)
    {
        if (!seen_.insert(key_of(state)).second) {
            return;
        }
        bool moved = false;
        for (std::size_t p = 0; p < state.processes.size(); ++p) {
            for (const State &next : steps(state, p)) {
                moved = true;
                search(next);
            }
        }
        if (!moved) {
            outputs_.insert(state.output);
        }
    }

    bool terminal_;
    std::set<std::string> seen_;
    std::set<std::string> outputs_;
};

struct Explored {
    std::string name;  // homework's argument
    Program model;
    std::string impossible_on_terminal;  // an output the model cannot print there
};

void PrintTo(const Explored &row, std::ostream *os) { *os << row.name; }

class ForktraceExplores : public testing::TestWithParam<std::tuple<Explored, runner::Output>> {};

Result forktrace(const std::vector<std::string> &args)
{
    return runner::run_on_pipe(runner::program_path("forktrace"),
                               {.args = args, .env = runner::traced_environment()});
}

std::string count_in(const std::string &json, const std::string &name)
{
    std::smatch found;
    const std::regex pattern("\"" + name + "\":\"([0-9]+)\",\"" + name + "_exact\":true");
    return std::regex_search(json, found, pattern) ? found[1].str() : "not exact in " + json;
}

TEST_P(ForktraceExplores, AsEveryInterleavingOfTheModel)
{
    const auto &[row, output] = GetParam();
    const bool terminal = output == runner::Output::terminal;
    const std::set<std::string> model = Enumerator(row.model, terminal).outputs();
    const std::string way = runner::to_string(output);
    const std::string homework = runner::program_path("homework");
    const runner::ScratchFolder folder("explore");

    const Result counted = forktrace(
        {"--possible", "-f", "json", "-o", "/dev/stdout", "--on", way, homework, row.name});
    ASSERT_EQ(counted.exit_code(), 0) << counted;
    EXPECT_EQ(count_in(counted.out, "outputs"), std::to_string(model.size()));
    std::size_t different = 0;
    for (std::size_t at = 0; (at = counted.out.find("{\"choices\":", at)) != std::string::npos;
         ++at) {
        ++different;
    }
    const long explored = runner::number_after(counted.out, "\"runs_explored\":");
    EXPECT_LE(explored, static_cast<long>(2 * different)) << counted.out;

    // Untraced runs: each output is one of the model's, and forktrace accepts
    // it. Under a memory checker, each run takes seconds: a few then.
    std::set<std::string> seen;
    const int untraced_runs = std::getenv("FORKDEMOS_WRAPPER") != nullptr ? 3 : 150;
    for (int run = 0; run < untraced_runs; ++run) {
        const Result untraced = runner::run(output, homework, {.args = {row.name}});
        seen.insert(untraced.out);
    }
    // And about eight of the model's own, spread over them.
    std::vector<std::string> answers(seen.begin(), seen.end());
    const std::size_t every = std::max<std::size_t>(1, model.size() / 8);
    std::size_t index = 0;
    for (const std::string &text : model) {
        if (index++ % every == 0) {
            answers.push_back(text);
        }
    }
    for (const std::string &answer : answers) {
        EXPECT_TRUE(model.contains(answer)) << "not in the model:\n" << answer;
        const std::filesystem::path file = folder.path() / "answer";
        std::ofstream(file) << answer;
        const Result checked = forktrace(
            {"--check", file.string(), "-o", "/dev/null", "--on", way, homework, row.name});
        EXPECT_EQ(checked.exit_code(), 0) << answer << checked;
    }
    if (terminal && !row.impossible_on_terminal.empty()) {
        ASSERT_FALSE(model.contains(row.impossible_on_terminal));
        const std::filesystem::path file = folder.path() / "impossible";
        std::ofstream(file) << row.impossible_on_terminal;
        const Result checked = forktrace(
            {"--check", file.string(), "-o", "/dev/null", "--on", way, homework, row.name});
        EXPECT_EQ(checked.exit_code(), 1) << checked;
    }
}

// An answer that no run gives: proven impossible where every choice of the
// program was tried (status 1), not where one was not (status 2).
TEST(ForktraceExplores, CallsImpossibleOnlyWhatItProved)
{
    const std::vector<std::pair<std::string, int>> rows{
        {"waitany", 1},   {"status", 1},       {"poll", 1},         {"polls", 1},
        {"threads", 2},   {"threadprints", 2}, {"sharedmemory", 2}, {"parentid", 1},
        {"parentids", 2}, {"pollagain", 2},    {"pollone", 2},      {"pollfor", 1},
        {"handoff", 1},   {"relay", 1},        {"chunks", 2},       {"pipeend", 2},
        {"noreader", 2},  {"signal", 2}};
    const runner::ScratchFolder folder("unproven");
    const std::filesystem::path file = folder.path() / "answer";
    std::ofstream(file) << "no run prints this\n";
    for (const auto &[name, expected] : rows) {
        for (const char *way : {"terminal", "pipe"}) {
            const Result checked = forktrace({"--check", file.string(), "-o", "/dev/null", "--on",
                                              way, runner::program_path("homework"), name});
            EXPECT_EQ(checked.exit_code(), expected) << name << " " << way << checked;
        }
    }
}

// An output that a pipe or a signal forbids, or whose process IDs do not
// grow in the order the processes are made, is never called possible:
// proven impossible (1) where every choice was tried, else not known (2);
// the same IDs in the order allowed are possible (0).
TEST(ForktraceExplores, NeverCallsPossibleWhatAPipeOrSignalForbids)
{
    const std::vector<std::tuple<std::string, std::string, int, std::string>> rows{
        {"handoff", "child\np1\n", 1, ""},
        {"relay", "p1\ngot a\ngot b\np2\n", 1, ""},
        {"reports", "got 0\ngot 0\n", 1, ""},
        {"signal", "child: caught\nparent: sending\nparent: done\n", 2, ""},
        {"pidchain", "1\n2\n3\n4\n", 1, ""},
        {"pidchain", "4\n3\n2\n1\n", 0, ""},
        {"pidchain", "103\n102\n101\n100\n", 0, "--pids=100"},
        {"pidchain", "4\n3\n2\n1\n", 1, "--pids=100"}};
    const runner::ScratchFolder folder("forbidden");
    const std::filesystem::path file = folder.path() / "answer";
    for (const auto &[name, answer, expected, pids] : rows) {
        std::ofstream(file) << answer;
        for (const char *way : {"terminal", "pipe"}) {
            std::vector<std::string> args{"--check",
                                          file.string(),
                                          "-o",
                                          "/dev/null",
                                          "--on",
                                          way,
                                          runner::program_path("homework"),
                                          name};
            if (!pids.empty()) {
                args.insert(args.begin(), pids);
            }
            const Result checked = forktrace(args);
            EXPECT_EQ(checked.exit_code(), expected) << name << " " << way << checked;
        }
    }
}

// An orphan's getppid(): one run where the parent was still there, one
// where it had ended, both counted exactly.
TEST(ForktraceExplores, AsksForTheParentBeforeAndAfterItEnded)
{
    for (const char *way : {"terminal", "pipe"}) {
        const Result counted = forktrace({"--possible", "-f", "json", "-o", "/dev/stdout", "--on",
                                          way, runner::program_path("homework"), "parentid"});
        ASSERT_EQ(counted.exit_code(), 0) << counted;
        EXPECT_EQ(count_in(counted.out, "outputs"), "2") << way;
        EXPECT_EQ(runner::number_after(counted.out, "\"runs_explored\":"), 2) << counted.out;
        EXPECT_NE(counted.out.find("\"could_have\":[null],\"kind\":\"getppid\""), std::string::npos)
            << counted.out;
        EXPECT_TRUE(std::regex_search(
            counted.out, std::regex("\"could_have\":\\[[0-9]+\\],\"kind\":\"getppid\"")))
            << counted.out;
    }
}

const Program waitany{fork({print("c0\n"), exit_with(0)}),
                      fork({print("c1\n"), exit_with(0)}),
                      wait_any(),
                      print("one\n"),
                      wait_any(),
                      print("two\n")};
const Program nested{
    fork({fork({print("g0\n"), exit_with(0)}), fork({print("g1\n"), exit_with(0)}), wait_any(),
          print("c0 one\n"), wait_any(), print("c0 two\n"), exit_with(0)}),
    fork({print("c1\n"), exit_with(0)}),
    wait_any(),
    print("one\n"),
    wait_any(),
    print("two\n")};
const Program ends_after{fork({after_end_of(2), exit_with(1)}), fork({exit_with(2)}), wait_print(),
                         wait_print(), wait_any()};
const Program status{fork({exit_with(1)}),
                     fork({exit_with(2)}),
                     fork({exit_with(3)}),
                     wait_print(),
                     wait_print(),
                     wait_print(),
                     wait_any()};

const Program polls{fork({print("c0\n"), exit_with(0)}),
                    fork({print("c1\n"), exit_with(1)}),
                    poll("none\n", "found\n"),
                    wait_any(),
                    print("one\n"),
                    wait_any(),
                    print("done\n")};

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Homework, ForktraceExplores,
    testing::Combine(
        testing::Values(
            Explored{"race", {fork({print("child\n")}), print("parent\n")}, ""},
            Explored{"wait", {print("A\n"), fork({print("B\n"), exit_with(0)}), wait_any(), print("C\n")},
                     "A\nC\nB\n"},
            Explored{"waitany", waitany, "c0\nc1\ntwo\none\n"},
            Explored{"status", status, "code 1\ncode 1\ncode 3\n"},
            Explored{"after", ends_after, "code 1\ncode 1\n"},
            Explored{"nested", nested, "g0\ng1\nc0 two\nc0 one\nc1\none\ntwo\n"},
            Explored{"poll", {fork({exit_with(0)}), poll("not yet\n", "ended\n"), wait_any()}, ""},
            Explored{"polls", polls, "c0\nc1\nfound\nnone\n"},
            Explored{"waitthenpoll", {fork({print("a\n"), exit_with(0)}), fork({print("b\n"), exit_with(0)}),
                                      wait_for(1), poll("none\n", "b ended\n"), wait_any()}, ""},
            Explored{"orphan", {fork({ask_parent("child: parent alive\n", "child: adopted\n")}),
                                print("parent bye\n")}, "child: adopted\nparent bye\n"},
            Explored{"pollfor", {fork({print("c0\n"), exit_with(0)}), poll_for(1, "not yet\n", "ended\n"),
                                 wait_any(), print("done\n")}, "ended\nc0\ndone\n"},
            Explored{"handoff", {fork({receive(1, ""), print("child\n"), exit_with(0)}), print("p1\n"), flush(),
                                 send("a"), wait_any()}, "child\np1\n"},
            Explored{"relay", {fork({receive(1, "got "), receive(1, "got "), exit_with(0)}), print("p1\n"), flush(),
                               send("a"), print("p2\n"), flush(), send("b"), wait_any()}, "p1\ngot a\ngot b\np2\n"},
            Explored{"zeroread", {fork({print("child\n"), exit_with(0)}), print("p1\n"), flush(), wait_any()}, ""},
            Explored{"reports", {fork({send("0"), exit_with(0)}), fork({send("1"), exit_with(0)}),
                                 receive(1, "got "), receive(1, "got "), wait_any(), wait_any()}, "got 0\ngot 0\n"}),
        testing::Values(runner::Output::terminal, runner::Output::pipe)),
    [](const auto &row) {
        return std::get<0>(row.param).name + "_" + runner::to_string(std::get<1>(row.param));
    });
// clang-format on

}  // namespace
