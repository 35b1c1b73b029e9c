// The tracer: follows a command's whole tree of processes under ptrace and
// turns what it stops at into events. Nothing downstream touches ptrace.
#pragma once

#include <cerrno>
#include <chrono>
#include <functional>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <sys/types.h>
#include <sys/user.h>

#include "buffer.hpp"
#include "events.hpp"
#include "options.hpp"
#include "seccomp.hpp"
#include "stacks.hpp"

namespace forktrace {

// A file, as the descriptors that lead to it are compared.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileId &) const = default;
};

// The file descriptor `fd` of this process leads to, if open.
std::optional<FileId> file_of(int fd);
// The file at `path`, if there is one.
std::optional<FileId> file_at(const std::string &path);
// The file descriptor `fd` of thread `tid` leads to, if open.
std::optional<FileId> file_of_task(pid_t tid, int fd);
// The process that /proc names as the parent of `tid`.
pid_t parent_of(pid_t tid);
// An error number by its name ("EPIPE"), or "E" and the number when it has none.
std::string error_name(int error);

// A write of a run, named so that another run of the same command names it
// alike: its process's place in the tree (the number of each fork along the
// line from the command) and its number among that process's writes to the
// output.
struct PlannedWrite {
    std::vector<std::size_t> path;
    std::size_t number = 0;
    bool operator==(const PlannedWrite &) const = default;
};

// A wait for any child, by its waiter's place in the tree and its number
// among that process's waits for any child that collected one, and the
// child it is to collect, by its place: a run steered to another choice.
// With no child (the root's place, never a child's), the poll (a wait with
// WNOHANG) made before that wait, the first since the waiter's last reap,
// is to find none ended. Or (`what`) the waiter's first getppid(), which is
// to get its parent's ID (`child` not empty) or, with no child, another's,
// its parent having ended; or its first poll for the one child at `child`,
// which is to find it ended (`number` 0) or not yet (1). Or (`pipe_first`)
// the waiter's `number`th write into a pipe of the command's own (from 0,
// counting its writes into any) is to go in before the `second`th of the
// process at `child`, into the same pipe.
struct PlannedReap {
    enum class What { reap, parent, poll_one, pipe_first };
    std::vector<std::size_t> waiter;
    std::size_t number = 0;
    std::vector<std::size_t> child;
    What what = What::reap;
    std::size_t second = 0;
    bool operator==(const PlannedReap &) const = default;
};

struct Setup {
    std::vector<std::string> argv;  // the command, for the start event
    // Writes to the output go out in this order, each held at its start until
    // its turn: a run steered to an order. Empty: as they come.
    std::vector<PlannedWrite> plan;
    // The children these waits collect: the others are held at their exit
    // until the wait has collected its own. Empty: as they come.
    std::vector<PlannedReap> reaps;
    On on = On::inherit;
    Failures fail;
    Stops stops;                          // the calls to stop at besides those always followed
    std::optional<FileId> output, error;  // where the command's streams lead
    // forktrace's own standard streams where they are not the command's (its
    // terminal, say, or where it relays the command's output from a pipe or
    // terminal of its own): not the command's to read or write.
    std::vector<FileId> own_files;
    std::optional<FileId> input;  // the command's standard input, when forktrace feeds it
    // The command may not reach a process outside its run (by a signal,
    // a limit, a priority, its memory), as forktrace itself never.
    bool confined = false;
    // The command wants this many bytes of input, or a poll's worth: to be
    // read from forktrace's own and given to it.
    std::function<void(std::size_t)> wants_input;
    std::function<void(const Event &)> emit;
    std::function<void(const std::string &)> say;  // a notice for the user, once
};

class Tracer {
public:
    explicit Tracer(Setup setup);

    // Takes `root` under trace. It must be waiting, before its exec, for the
    // go-ahead. Throws std::system_error when ptrace is refused.
    void seize(pid_t root);

    // Emits the start event, then follows every process until the last has
    // ended; returns the root's wait status.
    int run();
    // After run() failed: every traced process is killed and let go on to
    // its end, none left stopped for a tracer that no longer looks.
    void abandon() noexcept;

    // The error of the command's own exec, when it failed; 0 otherwise.
    int start_error() const { return start_error_; }
    // The event of a notice about the run, at this moment: for the report,
    // as forktrace says it on standard error.
    Event told(const std::string &notice) const;

    // Steered: why the run could not follow the plan; empty when it did.
    const std::string &off_plan() const { return off_plan_; }
    // Steered: the plan was left after ten seconds of its processes held,
    // without knowing whether it could have been followed.
    bool steer_gave_up() const { return steer_gave_up_; }

    // From a signal handler: end the command. Async-signal-safe.
    static void interrupt(int signal);
    // From any thread: end the command being traced, as a signal would.
    static void end_run();

private:
    struct Process {
        pid_t parent = 0;
        int forks = 0;          // forks along its line of descent
        int execs = 0;          // execs along its line, its own start not counted
        std::string last_exec;  // the file name of its last failed exec attempt
        bool last_exec_failed = false, last_exec_made_to_fail = false;
        // The pending bytes of its standard output buffer that forks carried
        // in, by origin, oldest first; the rest of what is pending is its own.
        std::vector<Event::Origin> carried;
        // The place in the source of the output call (printf, puts, …) it
        // last entered, which puts the bytes its buffer gains; and how many
        // such calls were seen, to stop looking after the most.
        std::optional<std::string> print_site;
        std::size_t prints = 0;
        std::optional<std::string> lost_at_exit;
        bool ending_read = false;  // lost_at_exit and exit_site read, as it ended
        std::optional<std::string> exit_site;
        // The parent whose memory it shares, standard output buffer and all
        // (a vfork, or a clone with CLONE_VM), until it execs or ends.
        pid_t shares_with = 0;
        bool own_image = false;  // it has exec'd: what its memory holds is its own
        // Its parent ended before the fork's event came, so what the fork
        // copied into it is not known, until it execs.
        bool copy_unknown = false;
        std::vector<std::size_t> path;       // its place in the tree, as PlannedWrite names it
        std::size_t children = 0;            // the forks it has made
        std::size_t output_writes = 0;       // its writes to the output begun so far
        std::size_t any_reaps = 0;           // children its waits for any child collected
        std::size_t threads = 1;             // threads it has made, the first included
        std::size_t polls = 0;               // its fruitless polls since its last reap
        std::map<pid_t, int> polls_of_one;   // its polls for one child by its ID, by child
        bool talked = false;                 // a write to a descriptor of its own told
        bool shared = false;                 // memory mapped to be shared told
        std::size_t asked_parent = 0;        // its getppid() calls told: the first two
        std::size_t born = 0;                // its place among the processes made, as a parent's
                                             // children are looked over by a wait, oldest first
        std::set<std::uint64_t> write_ends;  // pipes of the command's own it can write into
        std::size_t pipe_writes = 0;         // its writes into them, followed, that returned
    };
    enum class Pending { none, exec, write, wait4, waitid, parent, pipe, descriptors };
    struct Task {
        pid_t tgid = 0;
        bool stopped_once = false;  // its first stop, as a new task, has come
        bool known = false;         // its creator's event has come
        bool parked = false;        // stopped, waiting for its creator's event
        bool exited = false;        // at or past its exit: its memory may be gone
        pid_t parent = 0;           // parked: its parent, as /proc tells it
        Pending pending = Pending::none;
        long number = 0;  // of the pending call
        std::uint64_t args[6] = {};
        Stream stream = Stream::output;
        std::string path;
        std::vector<std::string> argv;
        bool argv_cut = false;              // longer than is read
        std::optional<BufferState> buffer;  // at the pending call's entry
        std::optional<std::string> site;    // of the pending call, in the program's source
        std::size_t planned = 0;            // steered: its write's place in the plan, from 1
        bool restarting = false;            // its write was cut short by a signal, to be made again
        bool any_child = false;             // its pending wait is for any child
        bool held_exit = false;             // steered: held at its exit for another's reap
        bool held_wait = false;             // steered: held at a wait's start till its child ends
        bool held_ask = false;              // steered: held at getppid() till its parent ends
        pid_t held_for = 0;                 // steered: held at a poll till this child ends
        std::size_t thread = 0;             // its place among its process's threads
        std::uint64_t pipe = 0;             // the pipe of its own its pending call moves bytes of
        bool held_pipe = false;             // held at a pipe call's start: its turn, or the plan's
        std::uint64_t stepping = 0;         // stepping over the breakpoint at this address
    };

    Event event(Event::Kind kind, pid_t pid) const;
    Task &task_of(pid_t tid);
    void resume(pid_t tid, int signal = 0);
    static std::string written(pid_t tid, const Task &task, std::size_t length);
    void on_seccomp(pid_t tid, Task &task);
    void on_foreign(pid_t tid, const Task &task, bool bits_32);
    void on_write_call(pid_t tid, Task &task);
    void on_exec_call(pid_t tid, Task &task, bool at);
    void on_fork_call(pid_t tid, Task &task);
    void write_returned(pid_t tid, const Task &task, std::int64_t result, bool failed);
    void exec_failed(const Task &task, int error);
    void wait4_returned(pid_t tid, const Task &task, std::int64_t result);
    void waitid_returned(pid_t tid, const Task &task);
    void none_left(const Task &task);
    void emit_saw_end(const Task &task, pid_t child, bool by_system);
    void on_stop(pid_t tid, int status);
    void on_group_stop(pid_t tid, Task &task, int signal);
    void on_syscall_exit(pid_t tid, Task &task);
    void on_new_task(pid_t tid, Task &task, int stop);
    void made_by(pid_t parent, pid_t child, pid_t creator_tid, int stop);
    void orphaned_at_birth(pid_t parent);
    std::uint64_t clone_flags(pid_t tid, int stop);
    bool collected(pid_t child) const;
    void emit_reap(const Task &task, pid_t child);
    std::optional<std::string> site_of(pid_t pid, pid_t tid);
    Process &buffer_owner(Process &process);
    std::string cause_from_stack(pid_t pid, pid_t tid);
    bool called_by_libc(pid_t pid, pid_t tid);
    void on_exec(pid_t tid);
    // Where each line was printed (tracer_prints.cpp): breakpoints at the
    // C library's output functions, in the programs that have line
    // information.
    struct Breakpoints {
        std::map<std::uint64_t, int> at;  // the functions' addresses, and where their stream is
        std::map<std::uint64_t, std::uint8_t> replaced;  // the byte each breakpoint replaced
        std::uint64_t entry = 0;  // the program's entry point, till its breakpoint is met
        // Where the program's own executable is mapped, and the place in the
        // source of each return address there that an output call had.
        std::uint64_t program_start = 0, program_end = 0;
        std::map<std::uint64_t, std::optional<std::string>> sites;
    };
    void break_at_entry(pid_t tid, const Task &task);
    bool on_breakpoint(pid_t tid, Task &task);
    void break_at_output_functions(pid_t tid, const Task &task, Breakpoints &points);
    void on_print(pid_t tid, const Task &task, int stream, const user_regs_struct &regs);
    std::optional<std::string> print_site(pid_t tid, const Task &task, std::uint64_t stack);
    void stop_breaking(pid_t tid, pid_t group, const std::string &why);
    void stepped_over(pid_t tid, Task &task);
    void on_death(pid_t tid, int status);
    bool should_fail_exec(Process &process, const std::string &path);
    void fail_call(pid_t tid, int error);
    void kill_all();
    bool find_stragglers();
    // A process's IDs in the namespaces it is in below forktrace's, from
    // /proc, the innermost last; and the child of `waiter` that `seen`
    // stands for, as the waiter's namespace numbers it.
    static std::vector<pid_t> ids_in_namespaces(pid_t pid);
    pid_t traced_id(pid_t waiter, pid_t seen) const;
    pid_t own_id(pid_t asker, pid_t seen) const;
    void tell_still_running();
    void start_write(pid_t tid);
    void admit_write(pid_t tid);
    void steer_write(pid_t tid, Task &task);
    void refuse(pid_t tid, bool &said, const std::string &what, int error = EPERM);
    void leave_plan(const std::string &why);
    bool stuck() const;
    void on_tick(bool steered);
    void tell(const std::string &notice);
    void untrace_not(pid_t tid, bool clone3, std::uint64_t flags);
    void on_copy(pid_t tid, Task &task);
    void on_input(pid_t tid, const Task &task, bool read);
    bool waits_for_input(pid_t tid, const Task &task) const;
    void on_exit_stop(pid_t tid);
    static void carry_own(Process &process, pid_t self, std::size_t pending);
    std::optional<BufferState> buffer_of(pid_t pid, bool say_when_unknown);
    void describe_write(pid_t tid, const Task &task, Event &wrote);
    void write_done(pid_t tid, bool made = true);
    // Steering the waits (tracer_reaps.cpp).
    bool steering() const { return !setup_.plan.empty() || !setup_.reaps.empty(); }
    bool on_wait_entry(pid_t tid, Task &task);
    void on_poll(const Task &task, pid_t found);
    void polled_one(const Task &task, Event &poll, pid_t found);
    void on_signal(pid_t tid, const Task &task, int signal);
    void on_send(pid_t tid, const Task &task);
    // What a traced process may not do to forktrace (tracer_guard.cpp): a
    // call aimed at it by its ID or a pidfd, a trace of it, a read or write
    // of its own files, fails.
    bool is_forktrace(pid_t target) const;
    void on_ptrace(pid_t tid, const Task &task);
    void on_async(pid_t tid, const Task &task);
    void on_reach(pid_t tid, const Task &task);
    bool out_of_reach(pid_t target) const;
    bool refused_own_file(pid_t tid, const Task &task, const std::optional<FileId> &file,
                          bool write);
    void on_ask_parent(pid_t tid, Task &task);
    void asked_parent(const Task &task, pid_t answer);
    std::optional<bool> planned_ask(const Process &asker) const;
    bool an_ask_needs(pid_t parent) const;
    bool must_hold(pid_t group) const;
    struct Child {
        pid_t pid = 0;
        std::size_t born = 0;
        bool ended = false;
    };
    std::optional<Child> child_at(pid_t parent, const std::vector<std::size_t> &path) const;
    const PlannedReap *planned_reap(const Process &waiter, std::size_t number, bool none) const;
    const PlannedReap *next_reap(pid_t waiter) const;
    bool poll_to_find_none(const Process &waiter) const;
    const PlannedReap *planned_poll(const Process &waiter, pid_t child) const;
    bool on_poll_entry(pid_t tid, Task &task, pid_t target);
    bool target_cannot_come(pid_t waiter, const Task &task, const Child &target);
    void release_waits(bool all = false);
    void release(std::vector<pid_t> &held, bool Task::*flag, bool at_call,
                 const std::function<bool(const Task &)> &goes);
    bool hold_exit(pid_t tid);
    void release_exits(bool all = false);
    void release_asks(bool all = false);
    void reaped(const Task &task, pid_t child);
    bool blocked(pid_t tid, const Task &task) const;
    // The pipes and other ways of talking (tracer_pipes.cpp).
    void note_outside_pipes(pid_t root);
    std::uint64_t pipe_of(pid_t tid, int fd) const;
    void follow_pipe(pid_t tid, Task &task, std::uint64_t pipe);
    void pipe_call_done(pid_t tid);
    bool pipe_write_waits(const Task &task) const;
    bool ended_without_its_write(const Task &task) const;
    void release_pipe_writes(bool all = false);
    void piped(pid_t tid, const Task &task, std::int64_t result, bool failed);
    void on_read(pid_t tid, Task &task);
    void talk_through(pid_t tid, const Task &task, int fd);
    // Tells that process `group` talks to others by `how` (a call's name), or
    // lets go of the writing end of `pipe`.
    void tell_talk(pid_t group, const std::string &how);
    void tell_released(pid_t group, std::uint64_t pipe);
    void on_share(pid_t tid, const Task &task);
    bool polls_a_pipe(pid_t tid, const Task &task) const;
    // A poll's descriptors and the events it waits for, as far as they can be read.
    static std::vector<std::pair<int, short>> polled(pid_t tid, const Task &task);
    std::set<std::uint64_t> write_ends_of(pid_t tid) const;
    void on_descriptors(pid_t tid, Task &task);
    void refresh_write_ends(pid_t tid, const Task &task);
    void release_write_ends(pid_t group);

    Setup setup_;
    std::vector<Traced> calls_;
    std::chrono::steady_clock::time_point start_;
    pid_t root_ = 0;
    int root_status_ = 0;
    bool root_status_set_ = false;
    int start_error_ = 0;
    bool root_started_ = false;
    std::map<pid_t, Task> tasks_;
    std::map<pid_t, Process> processes_;
    // Writes to the command's output go one at a time, so that the order of
    // the events is the order of the bytes its reader receives.
    pid_t writing_ = 0;
    std::deque<pid_t> waiting_to_write_;
    // Execs held at their start while another thread of their process writes
    // to the output: the exec would end that write part way.
    std::vector<pid_t> held_execs_;
    // Steered: the next write of the plan to go out, the writes held for
    // their turn, and why the run left the plan, if it did.
    std::size_t next_planned_ = 0;
    std::deque<pid_t> held_;
    std::string off_plan_;
    BufferReader buffers_;
    Stacks stacks_;
    // Processes ended and not yet collected, with their parents and places.
    std::map<pid_t, pid_t> ended_;
    std::map<pid_t, std::vector<std::size_t>> ended_paths_;
    std::map<pid_t, Breakpoints> breakpoints_;  // by process
    std::set<std::string> said_unprinted_;      // why places of printing were left unknown
    std::map<pid_t, std::size_t> ended_born_;
    std::size_t births_ = 0;
    std::vector<pid_t> held_exits_;  // steered: tasks held at their exit
    std::vector<pid_t> held_waits_;  // steered: tasks held at a wait's start
    std::vector<pid_t> held_asks_;   // steered: tasks held at getppid()'s start
    bool steer_gave_up_ = false;
    static constexpr long tick_microseconds = 100000;
    static constexpr int ticks_a_second = 10;
    int quiet_ticks_ = 0;  // ticks since the last stop of a task
    bool told_running_ = false;
    bool said_unknown_ = false, said_untraced_ = false, said_copy_ = false, said_suspended_ = false,
         said_ptrace_ = false, said_own_file_ = false, said_own_input_ = false, said_async_ = false,
         said_signal_ = false, said_reach_ = false;
    // A process made or entered a namespace of process IDs: a wait there
    // gives a child's ID in it, looked up among the IDs of the children,
    // each read at its birth from then on.
    bool pid_namespaces_ = false;
    std::map<pid_t, std::vector<pid_t>> ids_in_namespaces_;
    std::set<pid_t> foreign_;  // processes of another architecture, said
    // The pipes the command was given, which lead outside: not its own.
    std::set<std::uint64_t> outside_pipes_;
    // Writes into each pipe of its own go one at a time, and reads from it
    // too, so that their events come in the order the bytes went in and
    // out: the task whose call is under way, by pipe and direction (a read:
    // true), and the tasks held at their call's start till their turn.
    std::map<std::pair<std::uint64_t, bool>, pid_t> pipe_busy_;
    std::map<std::pair<std::uint64_t, bool>, std::deque<pid_t>> pipe_queue_;
    std::vector<pid_t> held_pipe_writes_;  // steered: held till another's write has gone in
    // The writes into pipes that each process ended, by its place, made.
    std::map<std::vector<std::size_t>, std::size_t> ended_pipe_writes_;
    bool killed_one_ = false;  // a process died of a signal since the last look for stragglers
};

}  // namespace forktrace
