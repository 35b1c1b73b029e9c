// How the command's processes talk to one another: each write into a pipe
// of the command's own and each read from one, as it returned, so that a
// read is ordered after the writes whose bytes it got; and the other ways
// (a file or socket of its own, memory mapped to be shared, semaphores,
// message queues, locks), which forktrace does not follow: told once a
// process.
#include "tracer.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <csignal>
#include <poll.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace forktrace {
namespace {

std::string fd_path(pid_t tid, int fd)
{
    return "/proc/" + std::to_string(tid) + "/fd/" + std::to_string(fd);
}

// The bytes a readv() or writev() asks to move: the sum of its vector's
// lengths, as far as it can be read.
std::size_t vector_bytes(pid_t tid, std::uint64_t address, std::uint64_t count)
{
    const std::string table = read_memory(tid, address, std::min<std::uint64_t>(count, 1024) * 16);
    std::size_t total = 0;
    for (std::size_t at = 0; at + sizeof(iovec) <= table.size(); at += sizeof(iovec)) {
        iovec one{};
        std::memcpy(&one, table.data() + at, sizeof one);
        total += one.iov_len;
    }
    return total;
}

const char *call_name(long number)
{
    switch (number) {
        case SYS_semop:
        case SYS_semtimedop:
            return "semop()";
        case SYS_msgsnd:
            return "msgsnd()";
        case SYS_msgrcv:
            return "msgrcv()";
        case SYS_mq_timedsend:
            return "mq_send()";
        case SYS_mq_timedreceive:
            return "mq_receive()";
        case SYS_flock:
            return "flock()";
        case SYS_sendto:
        case SYS_sendmsg:
            return "send()";
        case SYS_recvfrom:
        case SYS_recvmsg:
            return "recv()";
        case SYS_rt_sigtimedwait:
        case SYS_signalfd4:
            return "sigwait()";
        default:
            return "";
    }
}

// The flags of descriptor `fd` of thread `tid` (O_NONBLOCK, the access
// mode), as /proc tells them.
unsigned long flags_of(pid_t tid, int fd)
{
    std::ifstream info("/proc/" + std::to_string(tid) + "/fdinfo/" + std::to_string(fd));
    for (std::string field; info >> field;) {
        if (field == "flags:") {
            unsigned long flags = 0;
            info >> std::oct >> flags;
            return flags;
        }
    }
    return 0;
}

// Whether process `pid` catches `signal`: a handler of its own runs.
bool catches(pid_t pid, int signal)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("SigCgt:")) {
            const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            return ((mask >> (signal - 1)) & 1U) != 0;
        }
    }
    return false;
}

}  // namespace

void Tracer::note_outside_pipes(pid_t root)
{
    std::error_code error;
    for (const auto &entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(root) + "/fd", error)) {
        struct stat info {};
        if (::stat(entry.path().c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) {
            outside_pipes_.insert(info.st_ino);
        }
    }
}

std::uint64_t Tracer::pipe_of(pid_t tid, int fd) const
{
    // A pipe made by pipe(), not a FIFO by a path, which any process may open.
    std::array<char, 64> target{};
    const ssize_t length = ::readlink(fd_path(tid, fd).c_str(), target.data(), target.size() - 1);
    struct stat info {};
    if (length <= 0 || std::strncmp(target.data(), "pipe:", 5) != 0 ||
        ::stat(fd_path(tid, fd).c_str(), &info) != 0 || outside_pipes_.contains(info.st_ino)) {
        return 0;
    }
    const FileId file{info.st_dev, info.st_ino};
    if (file == setup_.output || file == setup_.error || file == setup_.input) {
        return 0;
    }
    return info.st_ino;
}

void Tracer::follow_pipe(pid_t tid, Task &task, std::uint64_t pipe)
{
    task.pending = Pending::pipe;
    task.pipe = pipe;
    const bool reads = task.number == SYS_read || task.number == SYS_readv;
    if (!reads && pipe_write_waits(task)) {
        task.held_pipe = true;
        held_pipe_writes_.push_back(tid);  // till the write the plan puts first has gone in
        return;
    }
    const auto [busy, free] = pipe_busy_.try_emplace({pipe, reads}, tid);
    if (!free && busy->second != tid) {
        task.held_pipe = true;
        pipe_queue_[{pipe, reads}].push_back(tid);  // held at its start till its turn
        return;
    }
    ::ptrace(PTRACE_SYSCALL, tid, 0, 0);
}

// Steered: whether the write into a pipe `task` begins is to wait for
// another process's write to go in first; a write the plan puts first, of
// a process that has ended without making it, leaves the plan.
bool Tracer::pipe_write_waits(const Task &task) const
{
    const Process &writer = processes_.at(task.tgid);
    for (const PlannedReap &planned : setup_.reaps) {
        if (planned.what != PlannedReap::What::pipe_first || planned.child != writer.path ||
            planned.second != writer.pipe_writes) {
            continue;
        }
        const auto first = std::find_if(processes_.begin(), processes_.end(), [&](const auto &p) {
            return p.second.path == planned.waiter;
        });
        if (first != processes_.end() && first->second.pipe_writes <= planned.number) {
            return true;  // its write not yet in
        }
        const auto ended = ended_pipe_writes_.find(planned.waiter);
        if (first == processes_.end() && ended == ended_pipe_writes_.end()) {
            return true;  // not yet made
        }
    }
    return false;
}

// Steered: whether a write the plan puts before the one `task` begins will
// never be made, its process having ended.
bool Tracer::ended_without_its_write(const Task &task) const
{
    const Process &writer = processes_.at(task.tgid);
    return std::any_of(setup_.reaps.begin(), setup_.reaps.end(), [&](const PlannedReap &planned) {
        const auto ended = ended_pipe_writes_.find(planned.waiter);
        return planned.what == PlannedReap::What::pipe_first && planned.child == writer.path &&
               planned.second == writer.pipe_writes && ended != ended_pipe_writes_.end() &&
               ended->second <= planned.number &&
               std::none_of(processes_.begin(), processes_.end(),
                            [&](const auto &p) { return p.second.path == planned.waiter; });
    });
}

// The writes held for another's that has gone in since (or all) go on.
void Tracer::release_pipe_writes(bool all)
{
    for (auto one = held_pipe_writes_.begin(); one != held_pipe_writes_.end();) {
        const auto task = tasks_.find(*one);
        if (task == tasks_.end()) {
            one = held_pipe_writes_.erase(one);
        } else if (!all && processes_.contains(task->second.tgid) &&
                   ended_without_its_write(task->second)) {
            leave_plan("a process ended without the write into a pipe the plan puts first");
            return;  // which lets every held write go
        } else if (all || !processes_.contains(task->second.tgid) ||
                   !pipe_write_waits(task->second)) {
            const pid_t tid = *one;
            one = held_pipe_writes_.erase(one);
            task->second.held_pipe = false;
            follow_pipe(tid, task->second, task->second.pipe);
        } else {
            ++one;
        }
    }
}

// The pipe call of `tid` has returned, or will never: the next held at the
// start of one in the same direction goes on.
void Tracer::pipe_call_done(pid_t tid)
{
    for (auto busy = pipe_busy_.begin(); busy != pipe_busy_.end(); ++busy) {
        if (busy->second != tid) {
            continue;
        }
        std::deque<pid_t> &queue = pipe_queue_[busy->first];
        std::erase_if(queue, [&](pid_t held) { return !tasks_.contains(held); });
        if (queue.empty()) {
            pipe_busy_.erase(busy);
        } else {
            busy->second = queue.front();
            queue.pop_front();
            tasks_[busy->second].held_pipe = false;
            ::ptrace(PTRACE_SYSCALL, busy->second, 0, 0);
        }
        return;
    }
    for (auto &[key, queue] : pipe_queue_) {
        std::erase(queue, tid);  // held, and gone
    }
    std::erase(held_pipe_writes_, tid);
}

void Tracer::piped(pid_t tid, const Task &task, std::int64_t result, bool failed)
{
    Event moved = event(Event::Kind::pipe, task.tgid);
    moved.fd = static_cast<int>(task.args[0]);
    moved.pipe = task.pipe;
    moved.read = task.number == SYS_read || task.number == SYS_readv;
    moved.asked = task.number == SYS_readv || task.number == SYS_writev
                      ? vector_bytes(tid, task.args[1], task.args[2])
                      : static_cast<std::size_t>(task.args[2]);
    moved.nonblocking = (flags_of(tid, moved.fd) & O_NONBLOCK) != 0;
    if (!moved.read && moved.fd > 2) {
        ++processes_[task.tgid].pipe_writes;
        release_pipe_writes();
    }
    if (failed) {
        moved.error = error_name(static_cast<int>(-result));
    } else {
        moved.bytes = static_cast<std::size_t>(result);
    }
    setup_.emit(moved);
}

void Tracer::on_read(pid_t tid, Task &task)
{
    const auto fd = static_cast<int>(task.args[0]);
    if (fd == 0 && setup_.wants_input && file_of_task(tid, 0) == setup_.input) {
        on_input(tid, task, true);
        return;
    }
    if (const std::uint64_t pipe = pipe_of(tid, fd); pipe != 0) {
        follow_pipe(tid, task, pipe);
        return;
    }
    if (!setup_.own_files.empty() && refused_own_file(tid, task, file_of_task(tid, fd), false)) {
        return;
    }
    resume(tid);
}

void Tracer::talk_through(pid_t tid, const Task &task, int fd)
{
    Process &process = processes_[task.tgid];
    if (process.talked) {
        return;
    }
    process.talked = true;
    Event talk = event(Event::Kind::talk, task.tgid);
    talk.fd = fd;
    std::array<char, 256> target{};
    const ssize_t length = ::readlink(fd_path(tid, fd).c_str(), target.data(), target.size() - 1);
    if (length > 0) {
        talk.path.assign(target.data(), static_cast<std::size_t>(length));
    }
    struct stat info {};
    if (::stat(fd_path(tid, fd).c_str(), &info) == 0 && S_ISFIFO(info.st_mode) &&
        !talk.path.starts_with("pipe:")) {
        talk.path = "fifo:" + talk.path;  // a FIFO by its path: a pipe any process may open
    }
    setup_.emit(talk);
}

std::set<std::uint64_t> Tracer::write_ends_of(pid_t tid) const
{
    std::set<std::uint64_t> ends;
    std::error_code error;
    const std::string proc = "/proc/" + std::to_string(tid);
    for (const auto &entry : std::filesystem::directory_iterator(proc + "/fd", error)) {
        const std::string name = entry.path().filename().string();
        const auto fd = static_cast<int>(std::strtol(name.c_str(), nullptr, 10));
        const std::uint64_t pipe = pipe_of(tid, fd);
        if (pipe == 0 || ends.contains(pipe)) {
            continue;
        }
        if ((flags_of(tid, fd) & O_ACCMODE) != O_RDONLY) {
            ends.insert(pipe);
        }
    }
    return ends;
}

// A pipe made, or descriptors closed (close, close_range, or dup2 and dup3
// over one): looked at again as the call returns, where it can change which
// pipes the process can write into.
void Tracer::on_descriptors(pid_t tid, Task &task)
{
    const bool makes = task.number == SYS_pipe || task.number == SYS_pipe2;
    if (makes || !processes_[task.tgid].write_ends.empty()) {
        task.pending = Pending::descriptors;
        ::ptrace(PTRACE_SYSCALL, tid, 0, 0);
        return;
    }
    resume(tid);
}

// The pipes a process can write into, looked at again: each it can no
// longer write into is told.
void Tracer::refresh_write_ends(pid_t tid, const Task &task)
{
    Process &process = processes_[task.tgid];
    std::set<std::uint64_t> now = write_ends_of(tid);
    for (const std::uint64_t pipe : process.write_ends) {
        if (!now.contains(pipe)) {
            tell_released(task.tgid, pipe);
        }
    }
    process.write_ends = std::move(now);
}

void Tracer::tell_talk(pid_t group, const std::string &how)
{
    Event talk = event(Event::Kind::talk, group);
    talk.path = how;
    setup_.emit(talk);
}

void Tracer::tell_released(pid_t group, std::uint64_t pipe)
{
    Event released = event(Event::Kind::pipe, group);
    released.pipe = pipe;
    released.released = true;
    setup_.emit(released);
}

// The process ends: it lets go of every pipe it could write into.
void Tracer::release_write_ends(pid_t group)
{
    Process &process = processes_[group];
    for (const std::uint64_t pipe : process.write_ends) {
        tell_released(group, pipe);
    }
    process.write_ends.clear();
}

std::vector<std::pair<int, short>> Tracer::polled(pid_t tid, const Task &task)
{
    std::vector<std::pair<int, short>> fds;
    const std::size_t count = std::min<std::uint64_t>(task.args[1], 256);
    const std::string table = read_memory(tid, task.args[0], count * sizeof(pollfd));
    for (std::size_t at = 0; at + sizeof(pollfd) <= table.size(); at += sizeof(pollfd)) {
        pollfd one{};
        std::memcpy(&one, table.data() + at, sizeof one);
        fds.emplace_back(one.fd, one.events);
    }
    return fds;
}

// Whether a poll, select or epoll_ctl() of `task` looks at a pipe of the
// command's own: what it finds there depends on timing.
bool Tracer::polls_a_pipe(pid_t tid, const Task &task) const
{
    std::vector<int> fds;
    if (task.number == SYS_poll || task.number == SYS_ppoll) {
        for (const auto &[fd, events] : polled(tid, task)) {
            fds.push_back(fd);
        }
    } else if (task.number == SYS_epoll_ctl) {
        fds.push_back(static_cast<int>(task.args[2]));
    } else {
        // select and pselect6: the descriptors below the first argument in
        // its read and write sets.
        const std::size_t most = std::min<std::uint64_t>(task.args[0], 1024);
        for (const std::uint64_t set : {task.args[1], task.args[2]}) {
            const std::string bits = set == 0 ? "" : read_memory(tid, set, (most + 7) / 8);
            for (std::size_t fd = 0; fd < most && fd / 8 < bits.size(); ++fd) {
                const auto byte = static_cast<unsigned>(static_cast<unsigned char>(bits[fd / 8]));
                if (((byte >> (fd % 8)) & 1U) != 0) {
                    fds.push_back(static_cast<int>(fd));
                }
            }
        }
    }
    return std::any_of(fds.begin(), fds.end(), [&](int fd) { return fd >= 0 && pipe_of(tid, fd); });
}

void Tracer::on_share(pid_t tid, const Task &task)
{
    Process &process = processes_[task.tgid];
    const long call = task.number;
    if (call == SYS_poll || call == SYS_ppoll || call == SYS_select || call == SYS_pselect6 ||
        call == SYS_epoll_ctl) {
        if (polls_a_pipe(tid, task)) {
            tell_talk(task.tgid, call == SYS_epoll_ctl ? "epoll_ctl()" : "poll()");
        }
        if (call != SYS_epoll_ctl) {
            on_input(tid, task, false);  // resumes it
            return;
        }
        resume(tid);
        return;
    }
    const bool maps = task.number == SYS_mmap || task.number == SYS_shmat;
    const bool writable = task.number == SYS_shmat || (task.args[2] & PROT_WRITE) != 0;
    if (maps && writable && !process.shared) {
        process.shared = true;
        Event talk = event(Event::Kind::talk, task.tgid);
        talk.shares_memory = true;
        setup_.emit(talk);
    } else if (!maps && !process.talked) {
        process.talked = true;
        tell_talk(task.tgid, call_name(task.number));
    }
    resume(tid);
}

// A signal on its way to a process, told where it catches it (its handler
// runs where the signal lands) or where it is SIGCONT (a stopped process
// goes on): with the process of the command's that sent it, or whose end it
// tells (SIGCHLD), which it follows.
void Tracer::on_signal(pid_t tid, const Task &task, int signal)
{
    if (!processes_.contains(task.tgid)) {
        return;
    }
    const bool caught = catches(task.tgid, signal);
    if (caught) {
        // Its handler may print in the middle of another call's printing:
        // which bytes each made could not be told apart.
        stop_breaking(tid, task.tgid, "a signal handler of its ran");
    }
    if (signal != SIGCONT && !caught) {
        return;
    }
    Event talk = event(Event::Kind::talk, task.tgid);
    talk.signal = signal;
    siginfo_t info{};
    if (::ptrace(PTRACE_GETSIGINFO, tid, 0, &info) == 0) {
        const bool ours = processes_.contains(info.si_pid) || ended_.contains(info.si_pid);
        const bool sent =
            info.si_code == SI_USER || info.si_code == SI_QUEUE || info.si_code == SI_TKILL;
        if (signal == SIGCHLD && info.si_code > 0 && ours) {
            talk.from = info.si_pid;
            talk.ok = info.si_code == CLD_EXITED || info.si_code == CLD_KILLED ||
                      info.si_code == CLD_DUMPED;
        } else if (sent && ours) {
            talk.from = info.si_pid;
        }
    }
    setup_.emit(talk);
}

// kill() and the like, as it begins: a signal (not 0, which only asks
// whether the process is there) on its way from this process.
void Tracer::on_send(pid_t tid, const Task &task)
{
    const bool group_and_thread = task.number == SYS_tgkill || task.number == SYS_rt_tgsigqueueinfo;
    const auto signal = static_cast<int>(task.args[group_and_thread ? 2 : 1]);
    auto target = static_cast<pid_t>(task.args[0]);
    if (target > 0) {
        target = own_id(task.tgid, target);  // inside a namespace, its own ID of it
    } else if (target < -1) {
        target = -own_id(task.tgid, -target);
    }
    if (task.number == SYS_tkill) {
        const auto thread = tasks_.find(target);
        target = thread == tasks_.end() ? target : thread->second.tgid;
    }
    // At forktrace (or at every process, forktrace among them), or at its
    // group where the command's is another: it would end or stop the trace.
    const bool at_forktrace =
        is_forktrace(target) || target == -1 ||
        (target < -1 && -target == ::getpgrp() && ::getpgid(task.tgid) != ::getpgrp());
    if (signal != 0 && (at_forktrace || (setup_.confined && out_of_reach(target)))) {
        refuse(tid, said_signal_,
               "process " + std::to_string(task.tgid) + " sent signal " + std::to_string(signal) +
                   (target == -1   ? " to every process it may"
                    : at_forktrace ? " to forktrace itself"
                                   : " to a process outside its run") +
                   (at_forktrace ? ", which would end or stop the trace"
                                 : ", which a confined run may not do"));
        return;
    }
    if (signal != 0) {
        Event sent = event(Event::Kind::send, task.tgid);
        sent.target = target;
        sent.signal = signal;
        setup_.emit(sent);
    }
    resume(tid);
}

}  // namespace forktrace
