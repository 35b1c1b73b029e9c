// What the tracer saw, as values: one event per fork, exec, write to the
// standard streams, exit, reap and fruitless poll for a child, in the order
// the tracer saw them. The
// tracer makes them; everything after it (the reports) reads them and never
// touches a process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace forktrace {

// Where the command's standard output went.
enum class On { inherit, pipe, terminal };
std::string_view to_string(On on);

// Where a write's descriptor led: the command's output (what its reader
// receives), the command's standard error when that is apart, or elsewhere
// (a descriptor the process redirected or closed).
enum class Stream { output, error, elsewhere };
std::string_view to_string(Stream stream);

struct Event {
    // saw_end: a wait that returned once its child `child` had ended and
    // left it uncollected: with WNOWAIT, or by the system (`by_system`:
    // SIGCHLD ignored or SA_NOCLDWAIT, the wait returned at none left)
    // poll: a wait with WNOHANG, which found a child ended (`child`, after
    // its reap) or found none while one lived (told the first and second
    // time a process, until its next reap; once for a wait for one child):
    // how it went depends on timing
    // talk: a process's first write to a file or socket of its own
    // (`fd`), which another process may read: what it reads can differ; or
    // a signal on its way to it (`signal`) that it catches, or SIGCONT:
    // sent by `from` (0: by none of the command's processes), or telling
    // of the end of its child `from` (SIGCHLD; `ok` false: of a stop or a
    // continue), where it lands can differ; or its first map of memory to
    // share, writable (`shares_memory`): what its processes read there can
    // differ; or its first call that may wait for another (`path`: "semop()")
    // getppid: a process's first call of getppid(), and its second, whose
    // answer (`child`) is another process's ID once its parent has ended
    // thread: a process made its second thread (told once a process): its
    // threads' steps, puts into its stdio buffer among them, can come in
    // another order
    // pipe: a write into a pipe of the command's own, or a read from one
    // (`read`), as it returned: the pipe (`pipe`, its inode), the bytes
    // asked for and those it moved (`bytes`), or the error; or the
    // process's last hold of its writing end let go (`released`)
    // send: a signal (`signal`) sent to `target` (a process; 0 or less: a
    // group, as kill() takes it), as the call began
    // notice: what forktrace said of the run on standard error (`data`,
    // without "forktrace: "), for the report to say too
    enum class Kind {
        start,
        fork,
        exec,
        write,
        exit,
        reap,
        poll,
        saw_end,
        talk,
        getppid,
        thread,
        pipe,
        send,
        notice
    };

    Kind kind = Kind::start;
    pid_t pid = 0;    // the process (thread group) the event belongs to
    double time = 0;  // seconds since the trace began
    // write: the thread of its process that made it, by creation, from 0;
    // the threads' writes are ordered only as they came
    std::size_t thread = 0;
    std::uint64_t pipe = 0;  // pipe: the pipe's inode, which names it among the run's pipes
    std::size_t asked = 0;   // pipe: the bytes asked for
    std::size_t bytes = 0;   // pipe: the bytes written or read (0 with an error, or at its end)

    std::vector<std::string> argv;  // start, exec
    bool argv_cut = false;          // exec: argv goes on past what forktrace reads (4 MiB)
    On on = On::inherit;            // start
    pid_t child = 0;                // fork: the new process (0 when it failed); reap, poll: the one
                                    // collected; getppid: the ID it got
    pid_t target = 0;               // send: the process or group the signal is for
    pid_t from = 0;                 // talk of a signal: its sender, or the child it tells of
    std::string path;               // exec: the file asked for; talk: what the descriptor leads to
                                    // ("socket:[…]", a file's path) or the call made ("semop")
    bool ok = true;     // fork, exec: whether it worked; poll for one child: whether it had ended
    std::string error;  // fork, exec, write: the errno name when it failed
    int fd = 0;         // write: the descriptor, 1 or 2; talk, pipe: the descriptor
    Stream stream = Stream::output;  // write
    std::string data;                // write: the bytes written, exactly
    std::optional<int> code;         // exit: the exit status, when it exited
    std::optional<int> signal;  // exit: the signal, when one killed it; talk: the one that came

    // What the standard output buffer showed, where it could be read.
    std::optional<std::string> pending;  // fork: the bytes the child got a copy of
    std::optional<std::string> lost;     // exec that worked, exit: the bytes thrown away
    // write to fd 1: "unbuffered", "line" or "full"; empty when the program
    // never used its standard output stream
    std::string buffering;
    // write to fd 1: why it went out: "newline", "full", "flush", "close",
    // "exit", "input", "unbuffered", "direct" or "unknown"
    std::string cause;
    struct Origin {
        pid_t pid = 0;          // the process that put the bytes in a buffer
        std::size_t bytes = 0;  // how many, in order
        // The place in the program's source of the output call (printf,
        // puts, …) that put them there, where it is known.
        std::optional<std::string> site;
    };
    std::vector<Origin> origins;  // write to fd 1: covering data, in order; empty: unknown
    // write to fd 1: the bytes came from a buffer forktrace cannot read (the
    // program's own, or another runtime's) in a fork child that has not
    // exec'd since: a fork may have copied them, so who printed them is unknown.
    bool unknown_origin = false;
    // write to fd 1 from the C library's buffer: the bytes pending in it as
    // the write began (those written among them)
    std::optional<std::size_t> buffered;

    // fork: the child shares its parent's memory (vfork); talk: see above
    bool shares_memory = false;
    // reap, poll: the wait was for any child (or any of a group), not for
    // this one by its ID: another child that ended first could have been collected
    bool any_child = false;
    bool by_system = false;  // saw_end: collected by the system, not by the wait
    bool read = false;       // pipe: a read (else a write)
    // pipe: the process can no longer write into it (it closed its last
    // descriptor of the writing end, exec'd with it to close, or ended)
    bool released = false;
    bool nonblocking = false;  // pipe: its descriptor does not wait (O_NONBLOCK)
    // fork: the new process's parent, when it is not the process that made it
    // (a clone with CLONE_PARENT makes a sibling)
    std::optional<pid_t> parent;
    std::optional<std::string>
        site;  // fork, exec, reap, poll, exit: the call's place in the source
};

std::string_view to_string(Event::Kind kind);

// The event as one line of JSON (no newline): the trace's stable format.
std::string to_json(const Event &event);
// The same, handed to `put` a piece at a time, so that a long write's data
// is never held twice.
void write_json(const Event &event, const std::function<void(std::string_view)> &put);

// Bytes as a JSON string: valid UTF-8 as it is (with the escapes JSON
// requires), each byte that is not part of valid UTF-8 as \udcXX, XX the
// byte's value, the convention known as surrogateescape.
std::string json_string(std::string_view bytes);
// `bytes` in pieces of 64 KiB or so, each cut between two UTF-8 characters.
void for_each_piece(std::string_view bytes, const std::function<void(std::string_view)> &use);

// Bytes as text that is safe on a terminal: valid UTF-8 printable characters
// as they are; tab, newline and other control characters, and bytes that are
// not valid UTF-8, as C-style escapes (\t, \n, \e, \x7f, \xff).
std::string printable(std::string_view bytes);

// "1st", "2nd", "3rd", "4th".
std::string ordinal(std::size_t n);
// A process by its place in the tree, which names it in every run:
// "the command", "the 2nd child of the 1st child of the command". `path`
// holds the number of each fork, from 0, along the line from the command.
std::string place_name(const std::vector<std::size_t> &path);
// The same, short: "child 2.1" for the 1st child of the command's 2nd child.
std::string short_place_name(const std::vector<std::size_t> &path);
// "signal 14 (SIGALRM)", or "signal 77" for one without a name.
std::string signal_text(int signal);
// " at file.c:12:5", or nothing where the place in the source is not known.
std::string at_site(const std::optional<std::string> &site);

// A report reads the events as they come and writes itself at the end, or as
// it goes where it can.
class Report {
public:
    virtual ~Report() = default;
    virtual void add(const Event &event) = 0;
    virtual void finish() = 0;
};

struct ReportOptions {
    bool ascii = false;  // tree lines drawn with ASCII instead of Unicode
};

// The formats; each writes to `out`, which it does not own.
std::unique_ptr<Report> json_report(std::FILE *out);
std::unique_ptr<Report> text_report(std::FILE *out, const ReportOptions &options);
std::unique_ptr<Report> tree_report(std::FILE *out, const ReportOptions &options);
// Pictures of the trace: an SVG timeline; a self-contained HTML page with the
// timeline, the transcript and the tree; Graphviz and Mermaid diagrams of the
// tree; the Trace Event Format JSON that Perfetto and chrome://tracing open.
std::unique_ptr<Report> svg_report(std::FILE *out, const ReportOptions &options);
std::unique_ptr<Report> html_report(std::FILE *out, const ReportOptions &options);
std::unique_ptr<Report> dot_report(std::FILE *out, const ReportOptions &options);
std::unique_ptr<Report> mermaid_report(std::FILE *out, const ReportOptions &options);
std::unique_ptr<Report> perfetto_report(std::FILE *out, const ReportOptions &options);

// The traces of one command on a terminal and through a pipe, side by side
// (one after the other when `width` is too narrow), and an account of what
// made them differ, built from the two traces alone.
void write_comparison(std::FILE *out, const std::vector<Event> &terminal,
                      const std::vector<Event> &pipe, unsigned width);

}  // namespace forktrace
