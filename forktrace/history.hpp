// The whole trace as processes: who made whom, what each one ran, what it
// wrote, how it ended and who collected it. Built from the events alone, for
// the reports that need more than the event at hand.
#pragma once

#include "events.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include <sys/types.h>

namespace forktrace {

// One exec. The attempts that one execvp makes along PATH for the same file
// name, each failing but perhaps the last, are one step.
struct Step {
    double time = 0;                // of the last attempt
    std::string path;               // the file of the last attempt
    std::vector<std::string> argv;  // as the program was given it
    bool ok = true;                 // whether it replaced the image
    std::string error;              // the errno name when it failed
    int attempts = 1;               // how many exec calls this step took
    bool failed_fork = false;       // not an exec: a fork that failed (error says why)
};

// One row of output: a line of a write, or its trailing part with no newline.
struct Line {
    double time = 0;        // of the write
    std::size_t write = 0;  // the write's number in the trace, from 1
    Stream stream = Stream::output;
    std::string text;     // the bytes, without the newline
    bool newline = true;  // false for a write's trailing partial line
    std::string error;    // a failed write: the errno name, and no text
};

// How a process ended.
struct Exit {
    double time = 0;
    std::optional<int> code;    // when it exited
    std::optional<int> signal;  // when a signal killed it
};

struct Process {
    pid_t pid = 0;
    pid_t parent = 0;     // 0 for the command itself
    std::string program;  // argv[0]'s base name of its last successful exec, else its parent's
    std::vector<std::size_t> children;  // positions in History::processes(), in fork order
    std::vector<std::variant<Step, Line>> timeline;  // execs and output rows, in order
    std::optional<Exit> exit;                        // none when the trace ended first
    std::optional<pid_t> reaper;                     // the process that collected its status
    bool orphan = false;                             // its parent ended before it did
    std::size_t lines = 0;      // output rows it wrote (to the output and standard error)
    std::size_t writes = 0;     // write calls to the output and standard error
    std::size_t elsewhere = 0;  // write calls to descriptors it redirected
};

// The pieces of one write's data, as rows: each line without its newline,
// and the trailing part when the data does not end in one.
struct Piece {
    std::string_view text;
    bool newline = true;
};
std::vector<Piece> split_lines(std::string_view data);

// The trace as processes. `keep_output` false keeps counts but no output
// rows, so that memory does not grow with the output.
class History {
public:
    explicit History(bool keep_output = true) : keep_output_(keep_output) {}

    void add(const Event &event);

    // In order of appearance; the first is the command itself.
    const std::vector<Process> &processes() const { return processes_; }
    // The latest process with that ID (IDs can be reused), or nullptr.
    const Process *find(pid_t pid) const;

    // The write calls to the output and standard error so far: the number of
    // the last one.
    std::size_t writes() const { return writes_; }
    std::size_t lines() const { return lines_; }
    std::size_t elsewhere() const { return elsewhere_; }

private:
    Process &process(pid_t pid);
    void add_exec(Process &process, const Event &event);
    void add_write(Process &process, const Event &event);

    bool keep_output_;
    std::vector<Process> processes_;
    std::unordered_map<pid_t, std::size_t> index_;  // the latest position of each pid
    std::unordered_set<pid_t> attempting_;          // processes whose last event was a failed exec
    std::size_t writes_ = 0;
    std::size_t lines_ = 0;
    std::size_t elsewhere_ = 0;
};

// Text for the reports, shared by them.
std::string base_name(std::string_view path);

// Why a write went out, in words, the writer called `who` ("it", say).
std::string why_written(const std::string &cause, const std::string &who);

// A step in words: the exec and its file, arguments and outcome, or a failed fork.
std::string step_text(const Step &step);

// The process that printed the byte at `offset` of a write, from its origins;
// 0 when they are unknown.
pid_t origin_at(const std::vector<Event::Origin> &origins, std::size_t offset);
// "code 3", "signal 9"; "none" when the trace ended first.
std::string exit_summary(const std::optional<Exit> &exit);
// "16 processes, 64 lines in 16 writes", and the writes elsewhere if any.
std::string totals(const History &history);
// The argument vector as one line: printable, each argument that is empty or
// holds a space in single quotes.
std::string command_line(const std::vector<std::string> &argv);

}  // namespace forktrace
