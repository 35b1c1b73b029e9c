// Running a command under the tracer, or untraced: on a fresh terminal, a
// pipe or forktrace's own streams, its output relayed and its input fed as it
// reads. forktrace and forklab run their commands with it.
#pragma once

#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <unistd.h>

#include "events.hpp"
#include "options.hpp"
#include "tracer.hpp"

namespace forktrace {

constexpr int status_failed = 125, status_cannot_run = 126, status_not_found = 127;

// One line on standard error: what went wrong.
__attribute__((format(printf, 1, 2))) void say(const char *format, ...);

// The most of a file that is read: an answer, a prediction or a program
// is far smaller, and a larger one would take memory in proportion.
constexpr std::size_t most_read = 16U << 20U;

// The whole of the regular file `name` (an answer to check, a student's
// program); nothing, with `why` saying why, when it cannot be read: the
// system's error, or a file that is not a regular one (a device or a FIFO
// may never end, nor open), or one past `most_read` bytes.
std::optional<std::string> read_file(const std::string &name, std::string &why);

// Once, before any run: the standard streams that are closed are held open
// on /dev/null meanwhile (closed again for the command), so that no file
// opened later takes their numbers; SIGINT, SIGTERM and SIGHUP end the
// command during a run, and the program itself at other times; SIGPIPE is
// ignored.
void prepare_to_run();

// Ends the run in progress, from any thread, as a signal to the program
// would but that interrupted() stays as it was: its processes are killed.
void stop_run();

// The signal that ended a run (or other work that held the signals) early, or 0.
int interrupted();

// While one lives, as during a run, SIGINT, SIGTERM and SIGHUP are held for
// the program to act on: they interrupt what it waits for (EINTR), and
// interrupted() tells which came.
class SignalsHeld {
public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;
};

// What to do, from the signal handler (so async-signal-safe calls only),
// before a signal that nothing holds ends the program; nullptr: nothing.
void before_a_signal_ends(void (*cleanup)());

// The files a shell tries, in order, to run `name`: `name` itself when it
// has a slash, else `name` in each folder of PATH.
std::vector<std::string> candidates(const std::string &name);

// The file that running `name` executes, as a shell finds it; or the status
// to end with, after saying why.
std::variant<std::string, int> resolve(const std::string &name);

// How one run of the command goes: where its output is shown, what it is
// fed, and what hears of its events.
struct Run {
    // Called once tracing has been granted, before the command runs: to open
    // the report. False stops the run, which ends with status_failed.
    std::function<bool()> ready;
    std::function<void(const Event &)> emit;
    int show_on = STDOUT_FILENO;         // where its output is relayed; -1: nowhere
    std::string *typed = nullptr;        // what it was given of forktrace's standard input
    std::vector<PlannedWrite> steer_to;  // the order its writes are to go out in
    std::vector<PlannedReap> reaps;      // the children its waits for any child collect
    bool quiet = false;                  // the tracer's notices are not told
    bool *steer_gave_up = nullptr;       // steered: the plan of its waits was given up
    std::string *off_plan = nullptr;     // steered: why the run could not follow it
    std::string *received = nullptr;     // the bytes of its output, kept
};

// Runs the command in `file` under the tracer, or untraced when asked, as
// `plan` says. Returns the exit status, as a shell gives it.
int run_command(const Options &options, const std::string &file, const Run &plan);

}  // namespace forktrace
