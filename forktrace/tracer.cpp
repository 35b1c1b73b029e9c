#include "tracer.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <sstream>
#include <system_error>
#include <utility>

#include <linux/audit.h>
#include <linux/sched.h>
#include <pthread.h>
#include <poll.h>
#include <string.h>  // sigabbrev_np, a GNU extension
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

namespace forktrace {
namespace {

std::atomic<pid_t> root_to_kill{0};
std::atomic<int> interruptions{0};  // signals to end the command, so far
// The thread that waits for the traced processes, while it can take SIGALRM
// to wake up.
std::atomic<bool> waiting_thread_set{false};
pthread_t waiting_thread;
volatile std::sig_atomic_t alarmed = 0;

void on_alarm(int) { alarmed = 1; }

// What process `pid` runs, for a notice.
std::string command_of(pid_t pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

[[noreturn]] void fail(const char *what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

long trace(__ptrace_request request, pid_t tid, std::uint64_t address = 0, std::uint64_t data = 0)
{
    return ::ptrace(request, tid, address, data);
}

template <typename Pointer>
std::uint64_t address_of(Pointer *pointer)
{
    return reinterpret_cast<std::uintptr_t>(pointer);
}

// What an exec's argument vector reads at most: every string the kernel
// takes (128 KiB each, with its NUL), up to 4 MiB in all.
constexpr std::size_t longest_argument = 131072, most_arguments = 4U << 20U;

// A NUL-terminated string of the tracee's, read a page at most at a time, to
// `most` bytes; `cut` is set when it goes on past them.
std::string read_string(pid_t tid, std::uint64_t address, std::size_t most, bool &cut)
{
    constexpr std::size_t page = 4096;
    std::string text;
    while (address != 0) {
        const std::size_t to_page_end = page - (address % page);
        const std::string piece = read_memory(tid, address, to_page_end);
        const std::size_t nul = piece.find('\0');
        text += piece.substr(0, nul);
        if (text.size() > most) {
            text.resize(most);
            cut = true;
            break;
        }
        if (nul != std::string::npos || piece.size() < to_page_end) {
            break;
        }
        address += to_page_end;
    }
    return text;
}

std::string read_string(pid_t tid, std::uint64_t address)
{
    bool cut = false;
    return read_string(tid, address, longest_argument, cut);
}

// An exec's argument vector; `cut` is set when it is longer than is read.
std::vector<std::string> read_argv(pid_t tid, std::uint64_t address, bool &cut)
{
    std::vector<std::string> argv;
    std::size_t read = 0;               // bytes of the strings so far
    constexpr std::size_t chunk = 512;  // pointers read at a time
    for (std::size_t i = 0; address != 0;) {
        const std::string table = read_memory(tid, address + 8 * i, 8 * chunk);
        for (std::size_t at = 0; at + 8 <= table.size(); at += 8, ++i) {
            std::uint64_t pointer = 0;
            std::memcpy(&pointer, table.data() + at, 8);
            if (pointer == 0) {
                return argv;
            }
            if (read >= most_arguments) {
                cut = true;
                return argv;
            }
            argv.push_back(
                read_string(tid, pointer, std::min(longest_argument, most_arguments - read), cut));
            read += argv.back().size() + 1;
        }
        if (table.size() < 8 * chunk) {
            break;  // the table runs into memory that cannot be read
        }
    }
    return argv;
}

std::string file_name(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// The thread group a task belongs to, from /proc.
pid_t thread_group_of(pid_t tid)
{
    std::ifstream status("/proc/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("Tgid:")) {
            return static_cast<pid_t>(std::stol(line.substr(5)));
        }
    }
    return tid;
}

std::size_t total(const std::vector<Event::Origin> &origins)
{
    return std::accumulate(
        origins.begin(), origins.end(), std::size_t{0},
        [](std::size_t bytes, const Event::Origin &origin) { return bytes + origin.bytes; });
}

// Takes `bytes` from the front of `origins`.
std::vector<Event::Origin> take(std::vector<Event::Origin> &origins, std::size_t bytes)
{
    std::vector<Event::Origin> taken;
    while (bytes > 0 && !origins.empty()) {
        Event::Origin &front = origins.front();
        const std::size_t part = std::min(front.bytes, bytes);
        taken.push_back({front.pid, part, front.site});
        front.bytes -= part;
        bytes -= part;
        if (front.bytes == 0) {
            origins.erase(origins.begin());
        }
    }
    return taken;
}

// The C library's functions a flush can come from, in order of precedence: a
// flush that the end of a process makes (from an exit handler, say) goes out
// as the process exits.
const std::vector<std::pair<std::vector<std::string>, const char *>> &flush_causes()
{
    static const std::vector<std::pair<std::vector<std::string>, const char *>> causes{
        {{"exit", "quick_exit"}, "exit"},
        {{"fclose", "_IO_fclose"}, "close"},
        {{"fflush", "_IO_fflush", "fflush_unlocked", "_IO_flush_all"}, "flush"},
        // Reading a terminal first writes out line-buffered output.
        {{"_IO_file_underflow", "__uflow", "__underflow"}, "input"},
    };
    return causes;
}

// The C library's wrappers of the write system calls: a program that calls
// one writes bytes of its own, not its stdio's.
const std::vector<std::string> &write_wrappers()
{
    static const std::vector<std::string> wrappers{
        "write",   "__write",   "writev",   "pwrite",      "pwrite64", "__pwrite64",
        "pwritev", "pwritev64", "pwritev2", "pwritev64v2", "syscall"};
    return wrappers;
}

// The functions that frames are named by: those a flush comes from, and the
// write wrappers.
std::vector<std::string> named_functions()
{
    std::vector<std::string> all = write_wrappers();
    for (const auto &[functions, cause] : flush_causes()) {
        all.insert(all.end(), functions.begin(), functions.end());
    }
    return all;
}

// Whether this kernel runs calls of the x32 ABI (most leave it off): asked
// once, by a harmless one of forktrace's own.
bool x32_calls_run()
{
    static const bool runs = [] {
        constexpr long x32_getpid = 0x40000000 | SYS_getpid;
        return ::syscall(x32_getpid) != -1 || errno != ENOSYS;
    }();
    return runs;
}

}  // namespace

pid_t parent_of(pid_t tid)
{
    std::ifstream status("/proc/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("PPid:")) {
            return static_cast<pid_t>(std::stol(line.substr(5)));
        }
    }
    return 0;
}

std::string error_name(int error)
{
    const char *name = ::strerrorname_np(error);
    return name != nullptr ? name : "E" + std::to_string(error);
}

// What is pending now beyond the carried bytes is the process's own; when
// less is pending than was carried, the oldest went out unseen.
void Tracer::carry_own(Process &process, pid_t self, std::size_t pending)
{
    const std::size_t carried = total(process.carried);
    if (pending > carried) {
        if (!process.carried.empty() && process.carried.back().pid == self &&
            process.carried.back().site == process.print_site) {
            process.carried.back().bytes += pending - carried;
        } else {
            process.carried.push_back({self, pending - carried, process.print_site});
        }
    } else if (pending < carried) {
        take(process.carried, carried - pending);
    }
}

std::optional<BufferState> Tracer::buffer_of(pid_t pid, bool say_when_unknown)
{
    // Read through a thread still alive: the main one may have ended first.
    pid_t through = pid;
    if (const auto main = tasks_.find(pid); main == tasks_.end() || main->second.exited) {
        const auto live = std::find_if(tasks_.begin(), tasks_.end(), [&](const auto &task) {
            return task.second.tgid == pid && !task.second.exited;
        });
        through = live != tasks_.end() ? live->first : pid;
    }
    std::optional<BufferState> buffer = buffers_.read(pid, through);
    if (!buffer && say_when_unknown && !said_unknown_ && setup_.say) {
        said_unknown_ = true;
        tell("the standard output buffer of process " + std::to_string(pid) +
             " cannot be read (a static program, or another C library): where its bytes were "
             "printed is unknown");
    }
    return buffer;
}

// Where `process`'s standard output buffer lives: its own memory, or that of
// the parent it shares memory with.
Tracer::Process &Tracer::buffer_owner(Process &process)
{
    const auto owner = processes_.find(process.shares_with);
    return process.shares_with != 0 && owner != processes_.end() ? owner->second : process;
}

// The place in the program's source of the call that thread `tid` of `pid` is
// in, where the program has line information.
std::optional<std::string> Tracer::site_of(pid_t pid, pid_t tid)
{
    if (pid == root_ && !root_started_) {
        return std::nullopt;  // forktrace's own code, starting the command
    }
    return stacks_.has_lines(pid, tid) ? stacks_.call_site(pid, tid) : std::nullopt;
}

// Why the C library wrote out a buffer that was neither full nor ended at a
// newline on a line-buffered stream, from the functions on the writer's stack,
// innermost first: the first that flushes decides.
std::string Tracer::cause_from_stack(pid_t pid, pid_t tid)
{
    const std::vector<Frame> frames = stacks_.frames(pid, tid, 64);
    for (const auto &[functions, cause] : flush_causes()) {
        for (const Frame &frame : frames) {
            if (frame.in_libc &&
                std::find(functions.begin(), functions.end(), frame.function) != functions.end()) {
                return cause;
            }
        }
    }
    return "unknown";
}

// Whether the write that thread `tid` makes was asked for by the C library
// itself (its stdio, say) rather than by the program calling write().
bool Tracer::called_by_libc(pid_t pid, pid_t tid)
{
    // The C library function that the program (or a library of its own)
    // called is the last of the library's frames before the first frame
    // outside it. Between the system call and a wrapper such as write()
    // there may be frames of the library's own (its cancellation points).
    const std::vector<Frame> frames = stacks_.frames(pid, tid, 16);
    const auto outside = std::find_if(frames.begin(), frames.end(),
                                      [](const Frame &frame) { return !frame.in_libc; });
    if (outside == frames.begin()) {
        return false;  // a system call made by the program's own code
    }
    if (outside == frames.end()) {
        return frames.size() >= 2;  // deep in the library: its stdio, at an exit say
    }
    const std::string &called = std::prev(outside)->function;
    return std::find(write_wrappers().begin(), write_wrappers().end(), called) ==
           write_wrappers().end();
}

// How a write to descriptor 1 left: the buffering at that moment, why the
// bytes went out, and who put each of them in a buffer.
void Tracer::describe_write(pid_t tid, const Task &task, Event &wrote)
{
    if (!task.buffer) {
        return;
    }
    const BufferState &buffer = *task.buffer;
    Process &process = processes_[task.tgid];
    Process &owner = buffer_owner(process);
    wrote.buffering = buffer.size == 0                            ? ""
                      : buffer.buffering == Buffering::unbuffered ? "unbuffered"
                      : buffer.buffering == Buffering::line       ? "line"
                                                                  : "full";
    std::uint64_t from = task.args[1];
    if (task.number == SYS_writev || task.number == SYS_pwritev || task.number == SYS_pwritev2) {
        const std::string first = read_memory(tid, task.args[1], sizeof from);
        from = 0;
        std::memcpy(&from, first.data(), std::min(first.size(), sizeof from));
    }
    const bool from_buffer = buffer.size > 0 && from == buffer.put_start && !buffer.pending.empty();
    if (!from_buffer) {
        // The C library sends a write too big for its buffer past it, and an
        // unbuffered stream's bytes straight from the program's; anything
        // else comes from the program's own memory: a write() of its own, or
        // the buffer of another library or language runtime, which a fork
        // copies as it copies this one.
        if (buffer.size > 0 && called_by_libc(task.tgid, tid)) {
            wrote.cause = buffer.buffering != Buffering::unbuffered ? "full" : "unbuffered";
        } else {
            wrote.cause = "direct";
            if (process.copy_unknown || (!process.own_image && task.tgid != root_)) {
                wrote.unknown_origin = true;  // a fork child: its memory came from its parent
                return;
            }
        }
        wrote.origins = {{task.tgid, wrote.data.size(),
                          wrote.cause == "direct" ? std::nullopt : owner.print_site}};
        return;
    }
    if (buffer.buffering == Buffering::unbuffered) {
        wrote.cause = "unbuffered";
    } else if (buffer.buffering == Buffering::line && wrote.data.ends_with('\n')) {
        wrote.cause = "newline";
    } else if (buffer.pending.size() >= buffer.size) {
        wrote.cause = "full";
    } else {
        wrote.cause = cause_from_stack(task.tgid, tid);
    }
    wrote.buffered = buffer.pending.size();
    if (process.copy_unknown) {
        wrote.unknown_origin = true;  // what the fork copied into it is not known
        return;
    }
    carry_own(owner, task.tgid, buffer.pending.size());
    wrote.origins = take(owner.carried, wrote.data.size());
}

void Tracer::on_exit_stop(pid_t tid)
{
    const auto found = tasks_.find(tid);
    if (found == tasks_.end() || !processes_.contains(found->second.tgid)) {
        resume(tid);
        return;
    }
    found->second.exited = true;
    if (found->second.pending == Pending::pipe) {
        pipe_call_done(tid);  // its call will not return
    }
    const pid_t group = found->second.tgid;
    if (found->second.pending == Pending::write && found->second.stream == Stream::output &&
        tid == writing_) {
        // Ended inside its write (another thread's exec, or a signal, ends
        // it): what of the write went out, no call returns to say.
        tell("a write of process " + std::to_string(group) +
             " to the output was cut short as its thread ended: how much of it went out is not "
             "known");
    }
    Process &process = processes_[group];
    // The process ends with this thread when the thread called exit_group(),
    // is the last of its threads, or was ended with them all (by a signal, or
    // another thread's exit) and is the first of them here. A thread that
    // ends alone (the main one, too, by pthread_exit()) leaves the process,
    // buffer and all, to the others.
    user_regs_struct regs{};
    const bool called_exit_group = trace(PTRACE_GETREGS, tid, 0, address_of(&regs)) == 0 &&
                                   static_cast<long>(regs.orig_rax) == SYS_exit_group;
    const bool last = std::none_of(tasks_.begin(), tasks_.end(), [&](const auto &other) {
        return other.second.tgid == group && !other.second.exited;
    });
    const bool ended_alone = !called_exit_group && static_cast<long>(regs.orig_rax) == SYS_exit;
    const bool ends = called_exit_group || last || (!ended_alone && !process.ending_read);
    if (ends) {
        release_write_ends(group);
        process.ending_read = true;
        process.exit_site = site_of(group, tid);
        if (const auto buffer = buffers_.read(group, tid)) {
            if (process.shares_with != 0) {
                // The buffer is its parent's, and stays with it.
                carry_own(buffer_owner(process), group, buffer->pending.size());
            } else {
                process.lost_at_exit = buffer->pending;
            }
        }
    }
    if (ends && hold_exit(tid)) {
        return;  // steered: it ends once its parent's wait has collected another
    }
    resume(tid);
}

// The first `length` bytes that a write call of `task` took from its buffer or
// buffers, read at the call's exit, before the process runs on.
std::string Tracer::written(pid_t tid, const Task &task, std::size_t length)
{
    const bool vector =
        task.number == SYS_writev || task.number == SYS_pwritev || task.number == SYS_pwritev2;
    if (!vector) {
        return read_memory(tid, task.args[1], length);
    }
    const std::size_t count = std::min<std::uint64_t>(task.args[2], 1024);
    const std::string table = read_memory(tid, task.args[1], count * sizeof(iovec));
    std::string data;
    for (std::size_t i = 0; i + 1 <= table.size() / sizeof(iovec) && data.size() < length; ++i) {
        iovec piece{};
        std::memcpy(&piece, table.data() + i * sizeof piece, sizeof piece);
        data += read_memory(tid, address_of(piece.iov_base),
                            std::min(piece.iov_len, length - data.size()));
    }
    return data;
}

std::optional<FileId> file_at(const std::string &path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return FileId{info.st_dev, info.st_ino};
}

// The file that descriptor `fd` of thread `tid` leads to. /dev/tty leads to
// the thread's controlling terminal, one of /dev/pts when it is forktrace's.
std::optional<FileId> file_of_task(pid_t tid, int fd)
{
    const std::string path = "/proc/" + std::to_string(tid) + "/fd/" + std::to_string(fd);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    if (S_ISCHR(info.st_mode) && info.st_rdev == makedev(5, 0)) {
        std::ifstream stat("/proc/" + std::to_string(tid) + "/stat");
        std::string line;
        std::getline(stat, line);
        // After the name: state, parent, group, session, then the terminal.
        std::istringstream fields(line.substr(std::min(line.size(), line.rfind(')') + 1)));
        std::string state;
        long parent = 0, group = 0, session = 0;
        dev_t device = 0;
        if (fields >> state >> parent >> group >> session >> device) {
            constexpr unsigned pts_first = 136, pts_last = 143;  // the pseudo-terminals' majors
            if (major(device) >= pts_first && major(device) <= pts_last) {
                return file_at("/dev/pts/" +
                               std::to_string((major(device) - pts_first) * 256 + minor(device)));
            }
        }
    }
    return FileId{info.st_dev, info.st_ino};
}

std::optional<FileId> file_of(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return std::nullopt;
    }
    return FileId{info.st_dev, info.st_ino};
}

Tracer::Tracer(Setup setup)
    : setup_(std::move(setup)),
      calls_(traced_calls(setup_.stops)),
      start_(std::chrono::steady_clock::now()),
      stacks_(named_functions())
{
}

void Tracer::interrupt(int)
{
    interruptions = interruptions + 1;
    const pid_t root = root_to_kill;
    if (root > 0) {
        ::kill(root, SIGKILL);
    }
}

Event Tracer::event(Event::Kind kind, pid_t pid) const
{
    Event made;
    made.kind = kind;
    made.pid = pid;
    made.time = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    return made;
}

void Tracer::end_run()
{
    interrupt(SIGKILL);
    // What is left once the command itself has ended may make no call that
    // would wake the wait.
    if (waiting_thread_set) {
        static_cast<void>(::pthread_kill(waiting_thread, SIGALRM));
    }
}

void Tracer::seize(pid_t root)
{
    constexpr long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
                             PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC | PTRACE_O_TRACESECCOMP |
                             PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL;
    if (trace(PTRACE_SEIZE, root, 0, options) != 0) {
        fail("ptrace");
    }
    root_ = root;
    root_to_kill = root;
    Task &first = tasks_[root];
    first.tgid = root;
    first.known = first.stopped_once = true;
    processes_[root] = Process{};
    note_outside_pipes(root);
}

Tracer::Task &Tracer::task_of(pid_t tid)
{
    const auto [at, made] = tasks_.try_emplace(tid);
    if (made) {
        at->second.tgid = tid;
    }
    return at->second;
}

void Tracer::resume(pid_t tid, int signal)
{
    trace(PTRACE_CONT, tid, 0, static_cast<std::uint64_t>(signal));
}

void Tracer::fail_call(pid_t tid, int error)
{
    user_regs_struct regs{};
    trace(PTRACE_GETREGS, tid, 0, address_of(&regs));
    regs.orig_rax = ~0ULL;  // the call is skipped, and rax is its result
    regs.rax = static_cast<unsigned long long>(-static_cast<long long>(error));
    trace(PTRACE_SETREGS, tid, 0, address_of(&regs));
}

bool Tracer::should_fail_exec(Process &process, const std::string &path)
{
    const std::string name = file_name(path);
    if (process.last_exec_failed && name == process.last_exec) {
        return process.last_exec_made_to_fail;  // the same exec, further along PATH
    }
    ++process.execs;
    process.last_exec = name;
    process.last_exec_made_to_fail =
        setup_.fail.every_exec || (setup_.fail.exec > 0 && process.execs == setup_.fail.exec);
    return process.last_exec_made_to_fail;
}

// A call of another ABI (32-bit, or x32), which is not followed: told, and
// in a confined run made to fail, since unseen it could reach past the run.
void Tracer::on_foreign(pid_t tid, const Task &task, bool bits_32)
{
    if ((bits_32 || x32_calls_run()) && foreign_.insert(task.tgid).second) {
        tell("process " + std::to_string(task.tgid) +
             " made system calls of another ABI (32-bit, or x32): forktrace follows x86-64 "
             "calls only, and does not see the writes, forks and execs made that way" +
             (setup_.confined ? "; in a confined run each of them fails with ENOSYS" : ""));
    }
    if (setup_.confined) {
        fail_call(tid, ENOSYS);
    }
    resume(tid);  // where the kernel runs no x32 calls, this one fails with ENOSYS
}

void Tracer::on_seccomp(pid_t tid, Task &task)
{
    __ptrace_syscall_info info{};
    if (trace(PTRACE_GET_SYSCALL_INFO, tid, sizeof info, address_of(&info)) <= 0 ||
        info.op != PTRACE_SYSCALL_INFO_SECCOMP) {
        resume(tid);
        return;
    }
    constexpr std::uint64_t x32 = 0x40000000;
    if (info.arch != AUDIT_ARCH_X86_64 || (info.seccomp.nr & x32) != 0) {
        on_foreign(tid, task, info.arch != AUDIT_ARCH_X86_64);
        return;
    }
    const Traced *call = find_call(calls_, static_cast<long>(info.seccomp.nr));
    if (call == nullptr) {
        resume(tid);
        return;
    }
    std::copy(std::begin(info.seccomp.args), std::end(info.seccomp.args), std::begin(task.args));
    task.number = static_cast<long>(info.seccomp.nr);
    static_cast<void>(processes_[task.tgid]);  // known from its first call on
    switch (call->call) {
        case Call::write:
            on_write_call(tid, task);
            return;
        case Call::exec:
            on_exec_call(tid, task, info.seccomp.nr == SYS_execveat);
            return;
        case Call::fork:
            on_fork_call(tid, task);
            return;
        case Call::wait4:
        case Call::waitid:
            task.pending = call->call == Call::wait4 ? Pending::wait4 : Pending::waitid;
            task.site = site_of(task.tgid, tid);
            if (!on_wait_entry(tid, task)) {
                trace(PTRACE_SYSCALL, tid);
            }
            return;
        case Call::copy:
            on_copy(tid, task);
            return;
        case Call::parent:
            on_ask_parent(tid, task);
            return;
        case Call::share:
            on_share(tid, task);
            return;
        case Call::read:
            on_read(tid, task);
            return;
        case Call::descriptors:
            on_descriptors(tid, task);
            return;
        case Call::send:
            on_send(tid, task);
            return;
        case Call::ptrace:
            on_ptrace(tid, task);
            return;
        case Call::namespaces:
            // setns() may enter one of process IDs; unshare() may make one.
            pid_namespaces_ =
                pid_namespaces_ || task.number == SYS_setns || (task.args[0] & CLONE_NEWPID) != 0;
            resume(tid);
            return;
        case Call::async:
            on_async(tid, task);
            return;
        case Call::reach:
            on_reach(tid, task);
            return;
        case Call::trap_action:
            // A breakpoint met while SIGTRAP is caught or ignored would set
            // it back to its default, as the kernel does for a trap.
            if (task.args[1] != 0) {
                stop_breaking(tid, task.tgid, "it set an action for SIGTRAP");
            }
            resume(tid);
            return;
    }
}

// A write begins: to the output, followed and steered; into a pipe of the
// command's own, in its turn; elsewhere, told.
void Tracer::on_write_call(pid_t tid, Task &task)
{
    // Whatever the descriptor, the file it leads to decides: a dup of the
    // output, /dev/stdout or /proc/self/fd/1 are the output.
    const auto fd = static_cast<int>(task.args[0]);
    const auto file = file_of_task(tid, fd);
    task.stream = file && file == setup_.output  ? Stream::output
                  : file && file == setup_.error ? Stream::error
                                                 : Stream::elsewhere;
    if (task.stream == Stream::elsewhere && refused_own_file(tid, task, file, true)) {
        return;  // opened as /proc/<forktrace>/fd/1, say: past the command's output
    }
    task.pipe = task.stream == Stream::elsewhere ? pipe_of(tid, fd) : 0;
    if (fd <= 2 && task.stream == Stream::elsewhere && task.pipe == 0) {
        talk_through(tid, task, fd);  // a socket or FIFO made its standard output
    }
    if (fd > 2 && task.stream == Stream::elsewhere) {
        // A pipe of the program's own is followed; a file or socket is said
        // once a process.
        if (task.pipe != 0) {
            follow_pipe(tid, task, task.pipe);
            return;
        }
        talk_through(tid, task, fd);
        resume(tid);
        return;
    }
    task.pending = Pending::write;
    task.buffer.reset();
    if (fd == 1) {
        task.buffer = buffer_of(task.tgid, true);
    }
    if (task.stream != Stream::output) {
        start_write(tid);
    } else if (!setup_.plan.empty()) {
        steer_write(tid, task);
    } else {
        admit_write(tid);
    }
}

// An exec begins (`at`: execveat): what it asks for is read now, and the
// buffer it may throw away; or it is made to fail, as asked.
void Tracer::on_exec_call(pid_t tid, Task &task, bool at)
{
    Process &process = processes_[task.tgid];
    task.path = read_string(tid, task.args[at ? 1 : 0]);
    task.argv_cut = false;
    task.argv = read_argv(tid, task.args[at ? 2 : 1], task.argv_cut);
    task.buffer.reset();
    task.site = site_of(task.tgid, tid);
    // The command's own start, whatever attempts it takes, is not made to fail.
    if ((task.tgid != root_ || root_started_) && should_fail_exec(process, task.path)) {
        fail_call(tid, ENOENT);
        exec_failed(task, ENOENT);
        resume(tid);
        return;
    }
    task.pending = Pending::exec;
    if (root_started_ || task.tgid != root_) {
        task.buffer = buffer_of(task.tgid, false);
    }
    // Another thread of the process in the middle of a write to the output
    // would be ended part way through, its bytes sent but the write never
    // seen to return: the exec waits till the write is done.
    if (writing_ != 0 && writing_ != tid && tasks_[writing_].tgid == task.tgid) {
        held_execs_.push_back(tid);
        return;
    }
    trace(PTRACE_SYSCALL, tid);
}

// A fork or clone begins: one that would escape the trace is kept in it,
// and the fork asked to fail fails.
void Tracer::on_fork_call(pid_t tid, Task &task)
{
    Process &process = processes_[task.tgid];
    std::uint64_t flags = task.args[0];
    if (task.number == SYS_clone3) {
        const std::string read = read_memory(tid, task.args[0], sizeof flags);
        std::memcpy(&flags, read.data(), std::min(read.size(), sizeof flags));
    } else if (task.number != SYS_clone) {
        flags = 0;
    }
    pid_namespaces_ = pid_namespaces_ || (flags & CLONE_NEWPID) != 0;
    if ((flags & CLONE_UNTRACED) != 0) {
        // It would escape the trace, and its inherited filter would then
        // make its calls fail: it is traced like the others.
        untrace_not(tid, task.number == SYS_clone3, flags & ~std::uint64_t{CLONE_UNTRACED});
    }
    if (setup_.stops.fork_entries && (flags & CLONE_THREAD) == 0 &&
        ++process.forks == setup_.fail.fork) {
        fail_call(tid, EAGAIN);
        Event failed = event(Event::Kind::fork, task.tgid);
        failed.ok = false;
        failed.error = error_name(EAGAIN);
        failed.site = site_of(task.tgid, tid);
        setup_.emit(failed);
    }
    resume(tid);
}

void Tracer::tell(const std::string &notice)
{
    if (setup_.say) {
        setup_.say(notice);
        setup_.emit(told(notice));
    }
}

Event Tracer::told(const std::string &notice) const
{
    Event said = event(Event::Kind::notice, root_);
    said.data = notice;
    return said;
}

// A clone that asked not to be traced is made without CLONE_UNTRACED.
void Tracer::untrace_not(pid_t tid, bool clone3, std::uint64_t flags)
{
    if (clone3) {
        const iovec local{&flags, sizeof flags};
        // NOLINTNEXTLINE(performance-no-int-to-ptr): an address in the tracee
        const iovec remote{reinterpret_cast<void *>(tasks_[tid].args[0]), sizeof flags};
        ::process_vm_writev(tid, &local, 1, &remote, 1, 0);
    } else {
        user_regs_struct regs{};
        trace(PTRACE_GETREGS, tid, 0, address_of(&regs));
        regs.rdi = flags;
        trace(PTRACE_SETREGS, tid, 0, address_of(&regs));
    }
    if (!said_untraced_) {
        said_untraced_ = true;
        tell("process " + std::to_string(tasks_[tid].tgid) +
             " asked for a child that would not be traced (CLONE_UNTRACED): it is traced like "
             "the others, since untraced its calls would fail");
    }
}

// sendfile, splice, tee, vmsplice and copy_file_range copy in the kernel:
// to the output, forktrace could not see what went. The call fails there,
// as where the kernel cannot do it, and the program writes it instead; it is
// said, since untraced the call would have worked.
void Tracer::on_copy(pid_t tid, Task &task)
{
    const std::size_t argument = task.number == SYS_splice || task.number == SYS_copy_file_range ? 2
                                 : task.number == SYS_tee                                        ? 1
                                                          : 0;
    const auto fd = static_cast<int>(task.args[argument]);
    const auto from = static_cast<int>(task.args[task.number == SYS_sendfile ? 1 : 0]);
    if (pipe_of(tid, fd) != 0 || pipe_of(tid, from) != 0) {
        // Bytes into or out of a pipe of its own that forktrace cannot count.
        tell_talk(task.tgid, task.number == SYS_sendfile ? "sendfile()" : "splice()");
    }
    const auto file = file_of_task(tid, fd);
    if (file && (file == setup_.output || file == setup_.error)) {
        fail_call(tid, ENOSYS);
        if (!said_copy_) {
            said_copy_ = true;
            tell("process " + std::to_string(task.tgid) +
                 " copied to the output in the kernel (sendfile, splice or the like), which "
                 "forktrace cannot see: the call was made to fail with ENOSYS, so that the "
                 "program writes the bytes itself");
        }
    }
    resume(tid);
}

// The command reads, or waits for, its input: forktrace reads as much of its
// own for it, and no more.
void Tracer::on_input(pid_t tid, const Task &task, bool read)
{
    if (!setup_.wants_input || file_of_task(tid, 0) != setup_.input) {
        resume(tid);
        return;
    }
    if (read) {
        const std::uint64_t asked = task.number == SYS_read ? task.args[2] : 65536;
        setup_.wants_input(asked);
    } else if (waits_for_input(tid, task)) {
        setup_.wants_input(4096);
    }
    resume(tid);
}

// Whether a poll or select of `task` waits for descriptor 0 to be readable.
bool Tracer::waits_for_input(pid_t tid, const Task &task) const
{
    if (task.number == SYS_poll || task.number == SYS_ppoll) {
        const auto fds = polled(tid, task);
        return std::any_of(fds.begin(), fds.end(), [](const auto &one) {
            return one.first == 0 && (one.second & POLLIN) != 0;
        });
    }
    // select and pselect6: descriptor 0 is the first bit of the read set.
    if (task.args[0] == 0 || task.args[1] == 0) {
        return false;
    }
    const std::string set = read_memory(tid, task.args[1], 1);
    return !set.empty() && (static_cast<unsigned char>(set[0]) & 1U) != 0;
}

void Tracer::write_returned(pid_t tid, const Task &task, std::int64_t result, bool failed)
{
    Event wrote = event(Event::Kind::write, task.tgid);
    wrote.fd = static_cast<int>(task.args[0]);
    wrote.stream = task.stream;
    wrote.thread = task.thread;
    if (failed) {
        wrote.error = error_name(static_cast<int>(-result));
    } else if (result > 0) {
        wrote.data = written(tid, task, static_cast<std::size_t>(result));
        describe_write(tid, task, wrote);
    }
    setup_.emit(wrote);
    if (task.pipe != 0) {
        piped(tid, task, result, failed);
    }
}

// An exec returned: it failed with `error` (one that works does not return).
void Tracer::exec_failed(const Task &task, int error)
{
    Process &process = processes_[task.tgid];
    process.last_exec_failed = true;
    if (task.tgid == root_ && !root_started_) {
        start_error_ = error;
    }
    Event failed = event(Event::Kind::exec, task.tgid);
    failed.path = task.path;
    failed.argv = task.argv;
    failed.argv_cut = task.argv_cut;
    failed.ok = false;
    failed.error = error_name(error);
    failed.site = task.site;
    setup_.emit(failed);
}

void Tracer::on_syscall_exit(pid_t tid, Task &task)
{
    __ptrace_syscall_info info{};
    const Pending pending = std::exchange(task.pending, Pending::none);
    const bool got = trace(PTRACE_GET_SYSCALL_INFO, tid, sizeof info, address_of(&info)) > 0 &&
                     info.op == PTRACE_SYSCALL_INFO_EXIT;
    const std::int64_t result = got ? info.exit.rval : 0;
    // ERESTART*: a signal came (under ptrace, any signal), and the call will
    // be made again, and seen again.
    const bool restarted = got && info.exit.is_error != 0 && -result >= 512;
    if (pending == Pending::write) {
        // The next write may start: this one's bytes are out, or it is to be
        // made again and wait its turn anew.
        write_done(tid, !restarted);
    } else if (pending == Pending::pipe) {
        pipe_call_done(tid);
    }
    if (!got || restarted) {
        task.restarting = restarted && pending == Pending::write;
        resume(tid);
        return;
    }
    switch (pending) {
        case Pending::write:
            write_returned(tid, task, result, info.exit.is_error != 0);
            break;
        case Pending::pipe:
            piped(tid, task, result, info.exit.is_error != 0);
            break;
        case Pending::descriptors:
            refresh_write_ends(tid, task);
            break;
        case Pending::exec:
            exec_failed(task, static_cast<int>(-result));
            break;
        case Pending::wait4:
        case Pending::waitid:
            if (result == -ECHILD) {
                none_left(task);
            } else if (pending == Pending::wait4) {
                wait4_returned(tid, task, result);
            } else if (result == 0) {
                waitid_returned(tid, task);
            }
            break;
        case Pending::parent:
            asked_parent(task, own_id(task.tgid, static_cast<pid_t>(result)));
            break;
        case Pending::none:
            break;
    }
    resume(tid);
}

// The flags of the call with which thread `tid` has just made a task: a
// vfork's, or a clone's (with CLONE_VM, as posix_spawn, system() and popen()
// make them; with CLONE_PARENT), or none for a fork.
std::uint64_t Tracer::clone_flags(pid_t tid, int stop)
{
    const std::uint64_t vfork = stop == PTRACE_EVENT_VFORK ? CLONE_VM | CLONE_VFORK : 0;
    user_regs_struct regs{};
    if (trace(PTRACE_GETREGS, tid, 0, address_of(&regs)) != 0) {
        return vfork;
    }
    std::uint64_t flags = regs.rdi;
    if (regs.orig_rax == SYS_clone3) {
        const std::string read = read_memory(tid, regs.rdi, sizeof flags);
        flags = 0;
        std::memcpy(&flags, read.data(), std::min(read.size(), sizeof flags));
    } else if (regs.orig_rax != SYS_clone) {
        return vfork;
    }
    return flags | vfork;
}

void Tracer::on_new_task(pid_t tid, Task &creator, int stop)
{
    unsigned long made = 0;
    if (trace(PTRACE_GETEVENTMSG, tid, 0, address_of(&made)) != 0 || made == 0) {
        // Killed at its fork's event: the child, parked at its first stop,
        // runs once the creator's end is in.
        return;
    }
    const auto child = static_cast<pid_t>(made);
    const pid_t group = thread_group_of(child);
    Task &task = task_of(child);
    task.tgid = group;
    task.known = true;
    if (group == child) {
        made_by(creator.tgid, child, tid, stop);
    } else {
        task.thread = processes_[group].threads++;
        // Another thread could pass a breakpoint while it is lifted for a
        // step, and what it prints be credited to another call.
        stop_breaking(tid, group, "it made a thread");
        Event thread = event(Event::Kind::thread, group);
        thread.thread = task.thread;
        setup_.emit(thread);
    }
    if (task.parked) {
        task.parked = false;
        resume(child);
    }
    resume(tid);
}

// The new process `child` of `parent`: its place in its line of descent, its
// buffer's copy, and the fork's event. `creator_tid` is the thread that made
// it, stopped at the fork's event, or 0 when the parent ended first.
void Tracer::made_by(pid_t parent_pid, pid_t child, pid_t creator_tid, int stop)
{
    Process &parent = processes_[parent_pid];
    Process &process = processes_[child];
    ended_.erase(child);  // an ID used again
    if (pid_namespaces_) {
        // Read while it is stopped at its birth: once it has ended, its
        // parent may collect it before forktrace looks.
        ids_in_namespaces_[child] = ids_in_namespaces(child);
    }
    process.path = parent.path;
    process.path.push_back(parent.children++);
    process.parent = parent_pid;
    process.born = ++births_;
    process.forks = parent.forks;
    process.execs = parent.execs;
    process.write_ends = parent.write_ends;  // its descriptors are copies of its parent's
    Event forked = event(Event::Kind::fork, parent_pid);
    forked.child = child;
    if (creator_tid == 0) {
        process.copy_unknown = true;
    } else {
        forked.site = site_of(parent_pid, creator_tid);
        const std::uint64_t flags = clone_flags(creator_tid, stop);
        const bool shared = (flags & CLONE_VM) != 0;
        if ((flags & CLONE_PARENT) != 0 && parent.parent != 0) {
            // Made by this process, but its parent is this one's own.
            process.parent = parent.parent;
            forked.parent = parent.parent;
        }
        if (const auto buffer = buffer_of(parent_pid, false)) {
            Process &parent_now = processes_[parent_pid];
            carry_own(parent_now, parent_pid, buffer->pending.size());
            if (!shared) {
                forked.pending = buffer->pending;
                processes_[child].carried = parent_now.carried;
            }
        }
        if (shared) {
            // Nothing is copied: the child writes in its parent's buffer.
            process.shares_with = parent_pid;
            forked.shares_memory = true;
        }
    }
    stacks_.forked(parent_pid, child);
    if (const auto points = breakpoints_.find(parent_pid); points != breakpoints_.end()) {
        breakpoints_[child] = points->second;  // in the memory the fork copied, or shares
    } else {
        breakpoints_.erase(child);
    }
    setup_.emit(forked);
}

// `parent` has ended: a child it made whose fork's event never came (the
// parent was killed in the fork) is still parked. It runs now, with the
// fork told from what /proc said of it.
void Tracer::orphaned_at_birth(pid_t parent)
{
    for (auto &[tid, task] : tasks_) {
        if (task.parked && task.parent == parent && task.tgid == tid) {
            task.parked = false;
            task.known = true;
            made_by(parent, tid, 0, 0);
            resume(tid);
        }
    }
}

void Tracer::on_exec(pid_t tid)
{
    unsigned long former = 0;
    trace(PTRACE_GETEVENTMSG, tid, 0, address_of(&former));
    if (static_cast<pid_t>(former) != tid && tasks_.contains(static_cast<pid_t>(former))) {
        // A thread other than the leader made the exec: it takes the leader's
        // ID, and the old leader is gone without a word of its end. Should it
        // have been writing, or waiting to, its turn is over.
        write_done(tid);
        Task moved = tasks_[static_cast<pid_t>(former)];
        tasks_.erase(static_cast<pid_t>(former));
        tasks_[tid] = moved;
    }
    Task &task = task_of(tid);
    task.pending = Pending::none;
    processes_[task.tgid].last_exec_failed = false;
    if (task.tgid == root_ && !root_started_) {
        root_started_ = true;
        start_error_ = 0;  // an attempt before failed: a script, run by sh
    }
    if (!processes_[task.tgid].write_ends.empty()) {
        refresh_write_ends(tid, task);  // those to close on exec are closed
    }
    Event done = event(Event::Kind::exec, task.tgid);
    done.path = task.path;
    done.argv = task.argv;
    done.argv_cut = task.argv_cut;
    done.site = task.site;
    Process &process = processes_[task.tgid];
    if (task.buffer && process.shares_with != 0) {
        // The buffer was its parent's, and stays with it: nothing is lost.
        carry_own(buffer_owner(process), task.tgid, task.buffer->pending.size());
    } else if (task.buffer) {
        done.lost = task.buffer->pending;  // the new image starts with an empty buffer
    }
    process.shares_with = 0;
    process.lost_at_exit.reset();  // read as the other threads ended with the exec
    process.ending_read = false;
    process.own_image = true;
    process.copy_unknown = false;
    task.buffer.reset();
    process.carried.clear();
    process.print_site.reset();
    buffers_.forget(task.tgid);
    stacks_.forget(task.tgid);
    task.stepping = 0;
    break_at_entry(tid, task);
    setup_.emit(done);
    resume(tid);
}

void Tracer::start_write(pid_t tid)
{
    if (tasks_[tid].stream == Stream::output) {
        writing_ = tid;
    }
    trace(PTRACE_SYSCALL, tid);
}

// A write to the output goes when the write before it is done.
void Tracer::admit_write(pid_t tid)
{
    if (writing_ != 0) {
        waiting_to_write_.push_back(tid);
    } else {
        start_write(tid);
    }
}

// Steered: a write goes when its turn in the plan has come, and is held till
// then; one the plan does not have takes the run off it.
void Tracer::steer_write(pid_t tid, Task &task)
{
    if (std::exchange(task.restarting, false) && task.planned != 0) {
        // The same write again, after a signal: it keeps its place.
        if (task.planned == next_planned_ + 1) {
            admit_write(tid);
        } else {
            held_.push_back(tid);
        }
        return;
    }
    Process &process = processes_[task.tgid];
    const PlannedWrite id{process.path, process.output_writes++};
    const auto &plan = setup_.plan;
    const auto found =
        std::find(plan.begin() + static_cast<std::ptrdiff_t>(next_planned_), plan.end(), id);
    if (found == plan.end()) {
        leave_plan("process " + std::to_string(task.tgid) + " made a write to the output that " +
                   "the traced run did not make (its write " + std::to_string(id.number + 1) + ")");
        admit_write(tid);
        return;
    }
    task.planned = static_cast<std::size_t>(found - plan.begin()) + 1;
    if (task.planned == next_planned_ + 1) {
        admit_write(tid);
    } else {
        held_.push_back(tid);
    }
}

// Whether no task of the run can go on: each held at its write or its exit,
// in a wait, or blocked in a call that only another process can end.
bool Tracer::stuck() const
{
    return std::all_of(tasks_.begin(), tasks_.end(), [this](const auto &entry) {
        const auto &[tid, task] = entry;
        return std::find(held_.begin(), held_.end(), tid) != held_.end() || task.held_exit ||
               task.held_wait || task.held_ask || task.held_pipe ||
               task.pending == Pending::wait4 || task.pending == Pending::waitid ||
               blocked(tid, task);
    });
}

// The run does not go as the plan says: every write held goes, in the order
// they came, and the rest of the run goes as it comes.
void Tracer::leave_plan(const std::string &why)
{
    if (off_plan_.empty()) {
        off_plan_ = why;
    }
    // A choice not taken is not shown impossible: what was held may be
    // what kept it from being taken, where nothing would hold it for real
    // (a child held at its exit keeps its pipes open).
    steer_gave_up_ = steer_gave_up_ || !setup_.reaps.empty();
    setup_.plan.clear();
    for (const pid_t held : held_) {
        admit_write(held);
    }
    held_.clear();
    setup_.reaps.clear();
    release_exits(true);
    release_waits(true);
    release_asks(true);
    release_pipe_writes(true);
}

void Tracer::write_done(pid_t tid, bool made)
{
    std::erase(waiting_to_write_, tid);
    std::erase(held_, tid);
    if (tid != writing_) {
        return;
    }
    writing_ = 0;
    const pid_t group = tasks_[tid].tgid;
    std::erase_if(held_execs_, [this, group](pid_t held) {
        if (tasks_[held].tgid != group) {
            return false;
        }
        trace(PTRACE_SYSCALL, held);
        return true;
    });
    if (!setup_.plan.empty() && made) {
        // The plan's next write goes, if it has come.
        if (tasks_[tid].planned == next_planned_ + 1) {
            ++next_planned_;
        }
        tasks_[tid].planned = 0;
        const auto next = std::find_if(held_.begin(), held_.end(), [this](pid_t held) {
            return tasks_[held].planned == next_planned_ + 1;
        });
        if (next != held_.end()) {
            const pid_t going = *next;
            held_.erase(next);
            admit_write(going);
        }
    }
    if (!waiting_to_write_.empty()) {
        const pid_t next = waiting_to_write_.front();
        waiting_to_write_.pop_front();
        start_write(next);
    }
}

// A process seen to end is collected once it is gone: until then its
// parent can wait for it, and it stays a zombie.
bool Tracer::collected(pid_t child) const
{
    return ended_.contains(child) && ::kill(child, 0) != 0 && errno == ESRCH;
}

void Tracer::emit_reap(const Task &task, pid_t child)
{
    ended_.erase(child);
    Event reap = event(Event::Kind::reap, task.tgid);
    reap.child = child;
    reap.site = task.site;
    reap.any_child = task.any_child;
    setup_.emit(reap);
    reaped(task, child);
    ended_paths_.erase(child);
    ended_born_.erase(child);
    ids_in_namespaces_.erase(child);
}

std::vector<pid_t> Tracer::ids_in_namespaces(pid_t pid)
{
    // "NSpid:\t4301\t2": forktrace's ID of it, then its ID in each
    // namespace it is in below forktrace's.
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::vector<pid_t> ids;
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("NSpid:")) {
            std::istringstream fields(line.substr(6));
            pid_t own = 0;
            fields >> own;
            for (pid_t id = 0; fields >> id;) {
                ids.push_back(id);
            }
            break;
        }
    }
    return ids;
}

pid_t Tracer::traced_id(pid_t waiter, pid_t seen) const
{
    if (!pid_namespaces_) {
        return seen;
    }
    if (const auto ended = ended_.find(seen); ended != ended_.end() && ended->second == waiter) {
        return seen;
    }
    for (const auto &[child, parent] : ended_) {
        const auto ids = ids_in_namespaces_.find(child);
        if (parent == waiter && ids != ids_in_namespaces_.end() &&
            std::find(ids->second.begin(), ids->second.end(), seen) != ids->second.end()) {
            return child;
        }
    }
    return seen;
}

// forktrace's ID of the process that `asker` knows as `seen` (a getppid()
// answer, a kill() target): the same but inside a namespace of process IDs,
// where it is the process whose ID at the asker's depth is `seen`, of the
// asker's own namespace where two have it. 0, from getppid(), is a parent
// outside the namespace: the asker's parent as /proc tells it.
pid_t Tracer::own_id(pid_t asker, pid_t seen) const
{
    const auto of_asker = ids_in_namespaces_.find(asker);
    if (!pid_namespaces_ || seen < 0 || of_asker == ids_in_namespaces_.end() ||
        of_asker->second.empty()) {
        return seen;
    }
    if (seen == 0) {
        return parent_of(asker);
    }
    const std::size_t depth = of_asker->second.size();
    const auto namespace_of = [](pid_t pid) {
        std::array<char, 64> link{};
        const std::string path = "/proc/" + std::to_string(pid) + "/ns/pid";
        const ssize_t length = ::readlink(path.c_str(), link.data(), link.size() - 1);
        return std::string(link.data(), static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    };
    pid_t found = seen;
    std::size_t candidates = 0;
    for (const auto &[pid, ids] : ids_in_namespaces_) {
        if (ids.size() >= depth && ids[depth - 1] == seen) {
            ++candidates;
            if (candidates == 1 || namespace_of(pid) == namespace_of(asker)) {
                found = pid;
            }
        }
    }
    return found;
}

void Tracer::on_death(pid_t tid, int status)
{
    const auto found = tasks_.find(tid);
    if (found == tasks_.end()) {
        return;  // not a traced process: the terminal's session leader, say
    }
    write_done(tid);
    std::erase(held_exits_, tid);
    std::erase(held_waits_, tid);
    std::erase(held_asks_, tid);
    const pid_t group = found->second.tgid;
    tasks_.erase(found);
    pipe_call_done(tid);
    if (group != tid || !processes_.contains(tid)) {
        return;  // a thread
    }
    orphaned_at_birth(tid);
    const std::optional<std::string> lost = processes_[tid].lost_at_exit;
    const std::optional<std::string> site = processes_[tid].exit_site;
    const std::vector<std::size_t> ended_path = processes_[tid].path;
    std::erase_if(ended_, [&](const auto &entry) { return entry.second == tid; });
    ended_[tid] = processes_[tid].parent;
    ended_paths_[tid] = ended_path;
    ended_born_[tid] = processes_[tid].born;
    ended_pipe_writes_[ended_path] = processes_[tid].pipe_writes;
    processes_.erase(tid);
    release_pipe_writes();  // a write it was to make first, it never will
    release_exits();        // its children wait for no wait of its
    buffers_.forget(tid);
    stacks_.forget(tid);
    Event ended = event(Event::Kind::exit, tid);
    ended.lost = lost;
    ended.site = site;
    if (WIFSIGNALED(status)) {
        ended.signal = WTERMSIG(status);
        killed_one_ = true;
    } else {
        ended.code = WEXITSTATUS(status);
    }
    setup_.emit(ended);
    release_waits();  // a wait held for it goes on
    release_asks();   // and its children's getppid(), held till it had ended
    if (tid == root_) {
        root_status_ = status;
        root_status_set_ = true;
        root_to_kill = 0;
        if (!processes_.empty() && !steering()) {
            ::alarm(1);
        }
    }
    // Steered: a process that ends with writes of the plan still to make
    // takes the run off it.
    for (std::size_t i = next_planned_; i < setup_.plan.size() && !setup_.plan.empty(); ++i) {
        if (setup_.plan[i].path == ended_path) {
            leave_plan("process " + std::to_string(tid) + " ended before its write " +
                       std::to_string(setup_.plan[i].number + 1) + ", which the order needs");
            break;
        }
    }
}

void Tracer::tell_still_running()
{
    if (!setup_.say) {
        return;
    }
    std::string which;
    std::size_t shown = 0;
    for (const auto &[pid, process] : processes_) {
        if (++shown <= 5) {
            which += (which.empty() ? "" : ", ") + std::to_string(pid) + " " + command_of(pid);
        }
    }
    if (shown > 5) {
        which += ", ...";
    }
    const std::size_t count = processes_.size();
    setup_.say("the command has ended, but " + std::to_string(count) +
               (count == 1 ? " process it started is" : " processes it started are") +
               " still running (" + which +
               "): forktrace waits for every one, since it traces them all; Ctrl-C ends "
               "them and the trace");
}

// Processes traced by forktrace that it has not heard of: the children of
// a process killed in the middle of its fork, whose event never came and
// whose first stop has not come yet. Each joins the trace, and is killed if
// the trace is being ended. Whether any was found.
bool Tracer::find_stragglers()
{
    killed_one_ = false;  // looked for once per round of deaths
    const std::string self = std::to_string(::getpid());
    bool found = false;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream status(entry.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("TracerPid:")) {
                if (line.substr(line.find_first_not_of(" \t", 10)) == self) {
                    const auto pid = static_cast<pid_t>(std::stol(name));
                    task_of(pid);
                    if (interruptions != 0) {
                        ::kill(pid, SIGKILL);
                    }
                    found = true;
                }
                break;
            }
        }
    }
    return found;
}

void Tracer::kill_all()
{
    // Never 0 or less: kill() would take those for forktrace's own group.
    for (const auto &[pid, process] : processes_) {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
        }
    }
    // A new process whose fork's event has not come is not among them yet.
    for (const auto &[tid, task] : tasks_) {
        if (task.tgid > 0) {
            ::kill(task.tgid, SIGKILL);
        }
    }
}

void Tracer::abandon() noexcept
{
    kill_all();
    // Each is let go on to its end, at whatever stop it was: killed at a
    // fork, a new child is traced and stops once more before it dies.
    for (;;) {
        int status = 0;
        const pid_t tid = ::waitpid(-1, &status, __WALL);
        if (tid < 0 && errno != EINTR) {
            return;
        }
        if (tid > 0 && WIFSTOPPED(status)) {
            ::kill(tid, SIGKILL);
            resume(tid);
        }
    }
}

// A second after the command ended (a tick, steered), the user hears what
// still runs; steered, a run that cannot move for three ticks as planned, or
// whose held processes wait ten seconds, leaves the plan.
void Tracer::on_tick(bool steered)
{
    ++quiet_ticks_;
    if (!told_running_ && root_status_set_ && !processes_.empty() &&
        (!steered || quiet_ticks_ >= ticks_a_second)) {
        told_running_ = true;
        tell_still_running();
    }
    const bool holding = !held_.empty() || !held_exits_.empty() || !held_waits_.empty() ||
                         !held_asks_.empty() || !held_pipe_writes_.empty();
    if (holding && ((quiet_ticks_ >= 3 && stuck()) || quiet_ticks_ >= 10 * ticks_a_second)) {
        leave_plan(
            "the run could not go on as planned: every process was held at a write, a wait, "
            "an exit or getppid(), or waiting for one that was");
    }
}

// A task stopped with `status`, as waitpid() told it.
void Tracer::on_stop(pid_t tid, int status)
{
    Task &task = task_of(tid);
    const int signal = WSTOPSIG(status);
    const int stop = status >> 16;
    if (task.stepping != 0) {
        stepped_over(tid, task);
        if (stop == 0 && signal == SIGTRAP) {
            resume(tid);  // the step's own stop
            return;
        }
    }
    if (stop == 0 && signal == SIGTRAP && on_breakpoint(tid, task)) {
        return;
    }
    if (signal == (SIGTRAP | 0x80)) {
        on_syscall_exit(tid, task);
    } else if (stop == PTRACE_EVENT_SECCOMP) {
        on_seccomp(tid, task);
    } else if (stop == PTRACE_EVENT_FORK || stop == PTRACE_EVENT_VFORK ||
               stop == PTRACE_EVENT_CLONE) {
        on_new_task(tid, task, stop);
    } else if (stop == PTRACE_EVENT_EXEC) {
        on_exec(tid);
    } else if (stop == PTRACE_EVENT_EXIT) {
        on_exit_stop(tid);
    } else if (stop == PTRACE_EVENT_STOP) {
        on_group_stop(tid, task, signal);
    } else if (stop == 0) {
        on_signal(tid, task, signal);
        resume(tid, signal);  // a signal on its way: delivered as it was
    } else {
        resume(tid);
    }
}

// A task's first stop, as it is made, or a stop of its process by a signal.
void Tracer::on_group_stop(pid_t tid, Task &task, int signal)
{
    if (!task.stopped_once) {
        // A new task's first stop: it runs once its creator's event is in.
        task.stopped_once = true;
        task.parked = !task.known;
        if (task.parked) {
            task.tgid = thread_group_of(tid);
            task.parent = parent_of(tid);
            if (task.tgid == tid && !processes_.contains(task.parent)) {
                // Its maker has ended, event and all, and it was given to
                // another parent: who made it is not known.
                task.parked = false;
                task.known = true;
                processes_[tid].copy_unknown = true;
            }
        }
        if (!task.parked) {
            resume(tid);
        }
        return;
    }
    if (signal != SIGSTOP && signal != SIGTSTP && signal != SIGTTIN && signal != SIGTTOU) {
        resume(tid);
        return;
    }
    if (signal != SIGSTOP && setup_.on == On::terminal) {
        // Stopped by the terminal forktrace made (a suspend key, or a
        // background read or write): no shell there will ever bring the job
        // back, so forktrace does.
        if (!said_suspended_) {
            said_suspended_ = true;
            tell("process " + std::to_string(task.tgid) + " was stopped by SIG" +
                 sigabbrev_np(signal) +
                 " from the terminal; no shell there can bring it back, so forktrace "
                 "continues it");
        }
        ::kill(task.tgid, SIGCONT);
    }
    trace(PTRACE_LISTEN, tid);  // stopped, as a job is, until SIGCONT
}

int Tracer::run()
{
    Event start = event(Event::Kind::start, root_);
    start.argv = setup_.argv;
    start.on = setup_.on;
    setup_.emit(start);
    // Once the command itself has ended, what it left running is waited for
    // too; should that take more than a second, the user hears why.
    struct sigaction alarm_action {};
    alarm_action.sa_handler = on_alarm;  // no SA_RESTART: the wait returns
    ::sigaction(SIGALRM, &alarm_action, nullptr);
    waiting_thread = ::pthread_self();
    waiting_thread_set = true;
    struct Unset {
        ~Unset() { waiting_thread_set = false; }
    } const unset;
    // Steered, a run that cannot go on as planned (its writes or exits held,
    // nothing else able to move) is let go on as it will: looked at every
    // tenth of a second.
    const bool steered = steering();
    if (steered) {
        const itimerval every_tick{{0, tick_microseconds}, {0, tick_microseconds}};
        ::setitimer(ITIMER_REAL, &every_tick, nullptr);
    }
    int interruptions_seen = 0;
    while (!tasks_.empty() || (killed_one_ && find_stragglers())) {
        int status = 0;
        const pid_t tid = ::waitpid(-1, &status, __WALL);
        const int error = errno;  // what the wait said, before anything below reads /proc
        // Each signal kills again: a process a fork made since the last one
        // is killed too.
        if (const int now = interruptions; now != interruptions_seen) {
            interruptions_seen = now;
            kill_all();
        }
        if (alarmed != 0) {
            alarmed = 0;
            on_tick(steered);
        }
        if (tid < 0) {
            if (error == EINTR) {
                continue;
            }
            if (error == ECHILD) {
                break;
            }
            errno = error;
            fail("waitpid");
        }
        quiet_ticks_ = 0;
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            on_death(tid, status);
            continue;
        }
        if (!WIFSTOPPED(status)) {
            continue;
        }
        if (interruptions_seen != 0) {
            ::kill(tid, SIGKILL);  // one its fork made after the kill, too
        }
        on_stop(tid, status);
    }
    if (steered) {
        const itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
    }
    if (!setup_.plan.empty()) {
        if (next_planned_ < setup_.plan.size()) {
            leave_plan("the run ended before all the writes of the order were made");
        }
    }
    return root_status_;
}

}  // namespace forktrace
