// How the command's processes talk to one another: each write into a pipe
// of the command's own and each read from one, as it returned, so that a
// read is ordered after the writes whose bytes it got; and the other ways
// (a file or socket of its own, memory mapped to be shared, semaphores,
// message queues, locks), which forktrace does not follow: told once a
// process.
#include "tracer.hpp"

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
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
        default:
            return "";
    }
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
    if (!moved.read && moved.fd > 2) {
        ++processes_[task.tgid].pipe_writes;
        release_pipe_writes();
    }
    if (failed) {
        moved.error = ::strerrorname_np(static_cast<int>(-result)) != nullptr
                          ? ::strerrorname_np(static_cast<int>(-result))
                          : "E" + std::to_string(-result);
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
        std::ifstream info(std::string(proc).append("/fdinfo/").append(name));
        for (std::string field; info >> field;) {
            if (field == "flags:") {
                unsigned long flags = 0;
                info >> std::oct >> flags;
                if ((flags & O_ACCMODE) != O_RDONLY) {
                    ends.insert(pipe);
                }
                break;
            }
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
            Event released = event(Event::Kind::pipe, task.tgid);
            released.pipe = pipe;
            released.released = true;
            setup_.emit(released);
        }
    }
    process.write_ends = std::move(now);
}

// The process ends: it lets go of every pipe it could write into.
void Tracer::release_write_ends(pid_t group)
{
    Process &process = processes_[group];
    for (const std::uint64_t pipe : process.write_ends) {
        Event released = event(Event::Kind::pipe, group);
        released.pipe = pipe;
        released.released = true;
        setup_.emit(released);
    }
    process.write_ends.clear();
}

void Tracer::on_share(pid_t tid, const Task &task)
{
    Process &process = processes_[task.tgid];
    const bool maps = task.number == SYS_mmap || task.number == SYS_shmat;
    const bool writable = task.number == SYS_shmat || (task.args[2] & PROT_WRITE) != 0;
    if (maps && writable && !process.shared) {
        process.shared = true;
        Event talk = event(Event::Kind::talk, task.tgid);
        talk.shares_memory = true;
        setup_.emit(talk);
    } else if (!maps && !process.talked) {
        process.talked = true;
        Event talk = event(Event::Kind::talk, task.tgid);
        talk.path = call_name(task.number);
        setup_.emit(talk);
    }
    resume(tid);
}

}  // namespace forktrace
