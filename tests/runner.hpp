// Runs a built program the way a person at a shell would: its standard output
// on a pseudo-terminal or on a pipe, standard error captured apart, standard
// input scripted. Every byte of output is collected until every process that
// holds the output has closed it, so the lines of orphans that outlive the
// started process are collected too. Each run has a hard timeout: when it
// passes, the run's whole process group is killed and the test fails.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <csignal>

#include <sys/types.h>

namespace runner {

// One step of the input script: once `await` has appeared in the output (after
// the place where the previous step's text appeared), `then` is called with
// the output so far, the process whose ID follows `kill_after` in the output
// gets `signal`, and `send` is written to standard input. After the last step,
// standard input ends: the pipe is closed, or the terminal gets its
// end-of-file character.
struct Step {
    std::string await;
    std::string send;
    std::function<void(const std::string &output)> then;
    std::string kill_after;  // a label in the output; only a process of the run is signalled
    int signal = SIGKILL;
};

// Where the program's standard output goes instead of the test, for runs in
// hostile surroundings.
enum class Sink {
    captured,  // the terminal or the pipe, read by the test
    closed,    // descriptor 1 is not open
    full,      // /dev/full: every write fails with ENOSPC
};

// Environment variables of the test-only fault library. Setting any of them
// in Options::faults preloads the library, with the faults for the program
// alone: a wrapper around it, and date or ls started by it, see none. A run
// whose program is itself a wrapper names the wrapped one in FAULT_PROGRAM.
//   FAULT_FORK=N    the N-th fork fails (EAGAIN); a child carries on its
//                   parent's count, so its first fork is number count+1
//   FAULT_EXEC=1    execvp and execlp fail (ENOENT)
//   FAULT_STRDUP=1  strdup returns a null pointer (ENOMEM)
//   FAULT_GETPID=N  getpid returns N
//   FAULT_SLEEP=0   sleep returns at once
struct Options {
    std::vector<std::string> args;                          // after the program's name
    std::map<std::string, std::optional<std::string>> env;  // nullopt unsets
    std::map<std::string, std::string> faults;
    std::vector<Step> script;
    std::string cwd;  // empty: the test's own
    std::chrono::milliseconds timeout = std::chrono::seconds(20);
    bool stdin_closed = false;  // descriptor 0 is not open
    Sink stdout_sink = Sink::captured;
    std::size_t reader_leaves_after = 0;  // on a pipe: lines read before the test closes it
    std::size_t memory_limit = 0;         // bytes of data the program may have (0: no limit)
};

struct Result {
    pid_t pid = -1;   // the started process
    std::string out;  // standard output, "\r\n" from the terminal made "\n"
    std::string err;
    int wait_status = 0;  // as waitpid filled it in
    bool timed_out = false;

    std::vector<std::string> lines() const;
    bool exited() const;
    int exit_code() const;  // -1 when the process did not exit by itself
};

std::ostream &operator<<(std::ostream &os, const Result &run);

// A program of this project is started under the command in the environment
// variable FORKDEMOS_WRAPPER when it is set (a memory checker, say). Whatever
// ran it, a report of a sanitizer or of valgrind on standard error fails the
// test.
Result run_on_terminal(const std::string &program, const Options &options = {});
Result run_on_pipe(const std::string &program, const Options &options = {});

// The two ways a test can run a program, for tables that cover both.
enum class Output { terminal, pipe };
std::string to_string(Output output);
inline void PrintTo(Output output, std::ostream *os) { *os << to_string(output); }
Result run(Output output, const std::string &program, const Options &options = {});

}  // namespace runner

namespace runner {

// The number that follows the first `label` in `text`, or -1.
long number_after(const std::string &text, const std::string &label);

// `text` cut at its newlines; a last line without one counts too.
std::vector<std::string> split_lines(const std::string &text);

// A step that, once `await` has appeared, sends `signal` to the process whose
// ID the output gives after `pid_label`.
Step kill_when(const std::string &await, const std::string &pid_label, int signal = SIGKILL);

// A fresh folder under the system's temporary one, removed with everything in
// it when the object goes.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string &name);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;

    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The faults with two more, for a program whose first process must end while
// its children still run: each child is held until the first process has
// ended, so that one that waits for them never ends, and nothing may sleep.
inline std::map<std::string, std::string> parent_must_not_wait(
    std::map<std::string, std::string> faults)
{
    faults.insert({{"FAULT_HOLD", "1"}, {"FAULT_NO_SLEEP", "1"}});
    return faults;
}

// The environment for programs that run under forktrace: LeakSanitizer stops
// the world with ptrace at exit, which a traced process cannot do.
std::map<std::string, std::optional<std::string>> traced_environment();

// The path of a built program, by name.
inline std::string program_path(const std::string &name)
{
    return std::string(PROGRAM_DIR) + "/" + name;
}

// One JSON object on a line of its own, flat: each value as text, strings
// decoded to their exact bytes (\udcXX is the byte XX), an array or null as
// its raw text. Text outside an object (a lone "[", say) gives no members.
std::map<std::string, std::string> flat_json(const std::string &line);

}  // namespace runner
