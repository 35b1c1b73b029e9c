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
#include <utility>

#include <sys/types.h>

namespace forktrace {

// One exec. The attempts that one execvp makes along PATH for the same file
// name, each failing but perhaps the last, are one step.
struct Step {
    double time = 0;                  // of the last attempt
    std::string path;                 // the file of the last attempt
    std::vector<std::string> argv;    // as the program was given it
    bool argv_cut = false;            // longer than forktrace reads: the rest is not there
    bool ok = true;                   // whether it replaced the image
    std::string error;                // the errno name when it failed
    int attempts = 1;                 // how many exec calls this step took
    bool failed_fork = false;         // not an exec: a fork that failed (error says why)
    std::optional<std::string> site;  // the call's place in the program's source
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
    std::optional<int> code;          // when it exited
    std::optional<int> signal;        // when a signal killed it
    std::optional<std::string> site;  // of the exit call, in the program's source
};

struct Process {
    pid_t pid = 0;
    pid_t parent = 0;  // 0 for the command itself
    // The process that made it, when not its parent (a clone with
    // CLONE_PARENT makes the maker a sibling).
    std::optional<pid_t> maker;
    std::string program;  // argv[0]'s base name of its last successful exec, else its parent's
    std::vector<std::size_t> children;  // positions in History::processes(), in fork order
    std::vector<std::variant<Step, Line>> timeline;  // execs and output rows, in order
    std::optional<Exit> exit;                        // none when the trace ended first
    std::optional<pid_t> reaper;                     // the process that collected its status
    // A wait that saw it end and left it (WNOWAIT), or let the system collect
    // it (SIGCHLD ignored, SA_NOCLDWAIT): the waiter.
    std::optional<pid_t> seen_by;
    bool collected_by_system = false;
    std::optional<std::string> reap_site;  // where in the reaper's source
    std::optional<std::string> fork_site;  // where in its parent's source it was made
    // Its place among the command's descendants: for each fork from the
    // command down, which of its maker's forks made it, from 0. None for a
    // process the trace did not see made.
    std::optional<std::vector<std::size_t>> place;
    std::size_t forks_made = 0;  // the forks it made that succeeded
    bool shares_memory = false;  // made by vfork or alike: it shared its parent's memory
    bool orphan = false;         // its parent ended before it did
    // Lines it wrote (to the output and standard error): the newlines, and a
    // line it left open that no later write ended.
    std::size_t lines = 0;
    std::size_t newlines = 0;
    bool output_open = false, error_open = false;
    std::size_t writes = 0;     // write calls to the output and standard error
    std::size_t elsewhere = 0;  // write calls to descriptors it redirected
    std::size_t not_kept = 0;   // rows of its output counted but not kept
};

// The pieces of one write's data, as rows: each line without its newline,
// and the trailing part when the data does not end in one.
struct Piece {
    std::string_view text;
    bool newline = true;
};
std::vector<Piece> split_lines(std::string_view data);
// Bytes as text safe on a terminal or a page, line by line: each line
// printable(), its newline kept as a newline.
std::string printable_lines(std::string_view bytes);
// The lines of a text as its reader sees them: each newline ends one, and
// bytes after the last newline are one more. Every account counts so.
std::size_t count_lines(std::string_view text);

// The line a stream has open, for the accounts that credit each line: a
// line counts once, where its newline is written (or as the stream's last,
// left open), credited as its first part is.
template <class Credit>
class OpenLine {
public:
    // A piece of a line, whose first part `credit` describes: the credit of
    // the line it ends, if it ends one.
    std::optional<Credit> take(Credit credit, bool newline)
    {
        if (!open_) {
            open_ = std::move(credit);
        }
        return newline ? std::exchange(open_, std::nullopt) : std::nullopt;
    }
    // The line left open at the end, if any.
    std::optional<Credit> end() { return std::exchange(open_, std::nullopt); }

private:
    std::optional<Credit> open_;
};

// The trace as processes. It keeps the rows of output up to `keep_rows` (and
// their text up to 4 MiB), and beyond that counts them only, so that memory
// does not grow with the output; 0 keeps counts alone.
class History {
public:
    static constexpr std::size_t default_rows = 20000, kept_text = 4U << 20U;

    explicit History(std::size_t keep_rows = default_rows) : keep_rows_(keep_rows) {}

    void add(const Event &event);

    // In order of appearance; the first is the command itself.
    const std::vector<Process> &processes() const { return processes_; }
    // The latest process with that ID (IDs can be reused), or nullptr.
    const Process *find(pid_t pid) const;

    // The write calls to the output and standard error so far: the number of
    // the last one.
    std::size_t writes() const { return writes_; }
    // The lines of the output and standard error, as their reader sees them:
    // a line that came in several writes is one line, and a last line
    // without a newline counts too.
    std::size_t lines() const
    {
        return newlines_ + (output_open_ ? 1U : 0U) + (error_open_ ? 1U : 0U);
    }
    std::size_t elsewhere() const { return elsewhere_; }
    // What forktrace said of the run, in order.
    const std::vector<std::string> &notices() const { return notices_; }
    // Rows of output counted but not kept, past the budget, and the budget.
    std::size_t not_kept() const { return not_kept_; }
    std::size_t keep_rows() const { return keep_rows_; }

private:
    Process &process(pid_t pid);
    void add_fork(const Event &event);
    void add_exec(Process &process, const Event &event);
    void add_write(Process &process, const Event &event);

    bool keep(Process &process, std::size_t bytes);

    std::size_t keep_rows_;
    std::size_t kept_rows_ = 0, kept_bytes_ = 0, not_kept_ = 0;
    std::vector<Process> processes_;
    std::unordered_map<pid_t, std::size_t> index_;  // the latest position of each pid
    std::unordered_set<pid_t> attempting_;          // processes whose last event was a failed exec
    std::size_t writes_ = 0;
    std::size_t newlines_ = 0;
    // A line begun and not ended: the process whose write left it so.
    std::optional<std::size_t> output_open_, error_open_;
    std::size_t elsewhere_ = 0;
    std::vector<std::string> notices_;
};

// Text for the reports, shared by them.
std::string base_name(std::string_view path);

// Why a write went out, in words, the writer called `who` ("it", say).
std::string why_written(const std::string &cause, const std::string &who);

// A step in words: the exec and its file, arguments and outcome, or a failed
// fork, and where in the source it was called.
std::string step_text(const Step &step);

// The process that printed the byte at `offset` of a write, from its origins;
// 0 when they are unknown.
pid_t origin_at(const std::vector<Event::Origin> &origins, std::size_t offset);
// The origin of the byte at `offset` of a write; nullptr when unknown.
const Event::Origin *origin_of(const std::vector<Event::Origin> &origins, std::size_t offset);
// The processes that printed the `length` bytes at `offset`, in order, each
// once for each run of its bytes; empty when the origins do not say.
std::vector<pid_t> origins_in(const std::vector<Event::Origin> &origins, std::size_t offset,
                              std::size_t length);
// "code 3", "signal 9"; "none" when the trace ended first.
std::string exit_summary(const std::optional<Exit> &exit);
// Who collected its status once it ended: "reaped by 12", "collected by the
// system", "not waited for"; empty while it runs.
std::string collected_text(const Process &process);
// Its place, short ("child 2.1", "the command"); empty when unknown.
std::string short_place(const Process &process);
// "16 processes, 64 lines in 16 writes", and the writes elsewhere if any.
std::string totals(const History &history);
// One notice as forktrace said it, "forktrace: …", printable.
std::string notice_line(const std::string &notice);
// What forktrace said of the run, one "forktrace: …" line each after a
// heading; empty when it said nothing.
std::string notices_text(const History &history);
// The argument vector as one line, printable, each argument that a shell
// would not take as it stands in single quotes (a quote inside as '\''), and
// "…" at the end when it was cut.
std::string command_line(const std::vector<std::string> &argv, bool cut = false);

}  // namespace forktrace
