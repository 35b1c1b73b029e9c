// What a traced process may not do to forktrace, or, when its run is
// confined, to any process outside its run: trace it, signal it, change its
// limits, priority or memory, reach it through a pidfd, or read and write
// forktrace's own files. Each such call fails, and is told once.
#include "tracer.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <linux/ioprio.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace forktrace {
namespace {

// The process a pidfd (or an open /proc/<pid> folder) of `tid`'s leads to;
// 0 when it is neither.
pid_t pid_of_pidfd(pid_t tid, int fd)
{
    const std::string at = "/proc/" + std::to_string(tid);
    std::ifstream info(at + "/fdinfo/" + std::to_string(fd));
    for (std::string line; std::getline(info, line);) {
        if (line.starts_with("Pid:")) {
            return static_cast<pid_t>(std::strtol(line.c_str() + 4, nullptr, 10));
        }
    }
    std::array<char, 64> target{};
    const ssize_t length =
        ::readlink((at + "/fd/" + std::to_string(fd)).c_str(), target.data(), target.size() - 1);
    const std::string path(target.data(), static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    if (path.starts_with("/proc/") &&
        path.find_first_not_of("0123456789", 6) == std::string::npos) {
        return static_cast<pid_t>(std::strtol(path.c_str() + 6, nullptr, 10));
    }
    return 0;
}

// The processes a call on other processes reaches, by their IDs (0: the
// caller); a group as its negative ID; every process of a user as -1.
std::vector<pid_t> reached_by(pid_t tid, long number, const std::uint64_t (&args)[6])
{
    const auto arg = [&args](std::size_t n) { return static_cast<pid_t>(args[n]); };
    switch (number) {
        case SYS_setpriority:
        case SYS_ioprio_set: {
            // Which kind of ID `who` is: a process, a group or a user.
            const bool nice = number == SYS_setpriority;
            const auto which = static_cast<int>(args[0]);
            if (which == (nice ? static_cast<int>(PRIO_PROCESS) : IOPRIO_WHO_PROCESS)) {
                return {arg(1)};
            }
            if (which == (nice ? static_cast<int>(PRIO_PGRP) : IOPRIO_WHO_PGRP)) {
                return {arg(1) == 0 ? 0 : -arg(1)};
            }
            return {-1};
        }
        case SYS_prlimit64:
            // Only a new limit reaches the process; reading one does not.
            return args[2] == 0 ? std::vector<pid_t>{} : std::vector<pid_t>{arg(0)};
        case SYS_kcmp:
            return {arg(0), arg(1)};
        case SYS_pidfd_send_signal:
        case SYS_pidfd_getfd:
        case SYS_process_madvise:
            return {pid_of_pidfd(tid, static_cast<int>(args[0]))};
        default:
            return {arg(0)};
    }
}

std::string call_name(long number)
{
    static const std::vector<std::pair<long, const char *>> names{
        {SYS_prlimit64, "prlimit"},
        {SYS_setpriority, "setpriority"},
        {SYS_ioprio_set, "ioprio_set"},
        {SYS_sched_setaffinity, "sched_setaffinity"},
        {SYS_sched_setscheduler, "sched_setscheduler"},
        {SYS_sched_setparam, "sched_setparam"},
        {SYS_sched_setattr, "sched_setattr"},
        {SYS_process_vm_readv, "process_vm_readv"},
        {SYS_process_vm_writev, "process_vm_writev"},
        {SYS_migrate_pages, "migrate_pages"},
        {SYS_move_pages, "move_pages"},
        {SYS_kcmp, "kcmp"},
        {SYS_pidfd_open, "pidfd_open"},
        {SYS_pidfd_send_signal, "pidfd_send_signal"},
        {SYS_pidfd_getfd, "pidfd_getfd"},
        {SYS_process_madvise, "process_madvise"},
    };
    const auto found = std::find_if(names.begin(), names.end(),
                                    [number](const auto &name) { return name.first == number; });
    return found == names.end() ? "a call" : found->second;
}

}  // namespace

bool Tracer::is_forktrace(pid_t target) const
{
    // forktrace's threads, and the untraced helper it starts the command
    // through on a terminal.
    return target > 0 &&
           (::access(("/proc/self/task/" + std::to_string(target)).c_str(), F_OK) == 0 ||
            (!processes_.contains(target) && parent_of(target) == ::getpid()));
}

// Whether a call on `target` (as reached_by gives it) from a traced
// process is refused: forktrace itself, every process (-1), or, in a
// confined run, a process or group not of the run.
bool Tracer::out_of_reach(pid_t target) const
{
    if (target == -1 || is_forktrace(target) || (target < -1 && -target == ::getpgrp())) {
        return true;
    }
    return setup_.confined && target != 0 && !processes_.contains(target < 0 ? -target : target);
}

void Tracer::on_ptrace(pid_t tid, const Task &task)
{
    const auto target = static_cast<pid_t>(task.args[1]);
    if (task.args[0] != PTRACE_TRACEME && is_forktrace(target)) {
        refuse(tid, said_ptrace_,
               "process " + std::to_string(task.tgid) +
                   " tried to trace forktrace itself (ptrace), which would stop them both");
        return;
    }
    resume(tid);
}

// A call on another process, or an ioctl that would type into a terminal.
void Tracer::on_reach(pid_t tid, const Task &task)
{
    if (task.number == SYS_ioctl) {
        const auto file = file_of_task(tid, static_cast<int>(task.args[0]));
        if (!refused_own_file(tid, task, file, true)) {
            resume(tid);
        }
        return;
    }
    const std::vector<pid_t> targets = reached_by(tid, task.number, task.args);
    if (std::none_of(targets.begin(), targets.end(),
                     [this](pid_t target) { return out_of_reach(target); })) {
        resume(tid);
        return;
    }
    refuse(
        tid, said_reach_,
        "process " + std::to_string(task.tgid) + " called " + call_name(task.number) + "() on " +
            (setup_.confined ? "a process outside its run (forktrace, say)" : "forktrace itself") +
            ", which a traced program may not do");
}

// A read or write of forktrace's own terminal, input or output, which the
// command was not given (through /proc/<forktrace>/fd, or the terminal's
// device by name): refused.
bool Tracer::refused_own_file(pid_t tid, const Task &task, const std::optional<FileId> &file,
                              bool write)
{
    if (!file || std::find(setup_.own_files.begin(), setup_.own_files.end(), *file) ==
                     setup_.own_files.end()) {
        return false;
    }
    const std::string who = "process " + std::to_string(task.tgid);
    if (write) {
        refuse(tid, said_own_file_,
               who +
                   " wrote into forktrace's own output or terminal, not the command's (through "
                   "/proc, say), which the trace would not see");
    } else {
        refuse(tid, said_own_input_,
               who +
                   " read from forktrace's own input or terminal, not the command's (through "
                   "/proc, say)");
    }
    return true;
}

// The kernel would write for it later, in no call of the process: as where
// the kernel is built without asynchronous I/O, the program writes the
// bytes itself.
void Tracer::on_async(pid_t tid, const Task &task)
{
    refuse(tid, said_async_,
           "process " + std::to_string(task.tgid) +
               " set up asynchronous I/O (io_uring or Linux AIO), whose writes forktrace cannot "
               "see",
           ENOSYS);
}

// A call aimed at forktrace itself fails; `what` it was is told once (`said`).
void Tracer::refuse(pid_t tid, bool &said, const std::string &what, int error)
{
    fail_call(tid, error);
    if (!said) {
        said = true;
        tell(what + ": the call was made to fail with " + strerrorname_np(error));
    }
    resume(tid);
}

}  // namespace forktrace
