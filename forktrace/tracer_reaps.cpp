// The waits of a run: which child each wait for any child collected, and,
// steered, the children held at their exit so that a wait collects the one
// the plan gives it, as it would had that child ended first.
#include "tracer.hpp"

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>

namespace forktrace {
namespace {

// The calls a task can sleep in until another process acts: a read or a
// write of a pipe, a wait, a lock, a signal awaited.
bool waits_for_another(long call)
{
    switch (call) {
        case SYS_read:
        case SYS_readv:
        case SYS_write:
        case SYS_writev:
        case SYS_pause:
        case SYS_recvfrom:
        case SYS_recvmsg:
        case SYS_wait4:
        case SYS_waitid:
        case SYS_semop:
        case SYS_msgrcv:
        case SYS_flock:
        case SYS_rt_sigsuspend:
        case SYS_futex:
            return true;
        default:
            return false;
    }
}

}  // namespace

void Tracer::on_wait_entry(Task &task)
{
    pid_t target = 0;
    if (task.number == SYS_wait4) {
        const auto pid = static_cast<pid_t>(task.args[0]);
        task.any_child = pid <= 0;
        target = pid > 0 ? pid : 0;
    } else {
        const auto type = static_cast<idtype_t>(task.args[0]);
        task.any_child = type == P_ALL || type == P_PGID;
        target = type == P_PID ? static_cast<pid_t>(task.args[1]) : 0;
    }
    if (target == 0) {
        return;
    }
    // A wait for one child by its ID gets it, held or not.
    for (auto held = held_exits_.begin(); held != held_exits_.end();) {
        if (tasks_[*held].tgid == target) {
            tasks_[*held].held_exit = false;
            resume(*held);
            held = held_exits_.erase(held);
        } else {
            ++held;
        }
    }
}

// A wait for any child with WNOHANG: one that found `found`, which had it
// ended later the wait would not have found; or one that found none ended
// while a child lives, which had it ended sooner the wait would have found.
void Tracer::on_poll(const Task &task, pid_t found)
{
    const bool nohang =
        task.number == SYS_wait4 ? (task.args[2] & WNOHANG) != 0 : (task.args[3] & WNOHANG) != 0;
    if (!nohang || !task.any_child) {
        return;
    }
    if (found != 0) {
        Event poll = event(Event::Kind::poll, task.tgid);
        poll.child = found;
        poll.site = task.site;
        setup_.emit(poll);
        return;
    }
    const auto waiter = processes_.find(task.tgid);
    if (waiter == processes_.end() || waiter->second.polled) {
        return;
    }
    const bool child_lives = std::any_of(processes_.begin(), processes_.end(), [&](const auto &p) {
        return p.second.parent == task.tgid;
    });
    if (child_lives) {
        waiter->second.polled = true;
        Event poll = event(Event::Kind::poll, task.tgid);
        poll.site = task.site;
        setup_.emit(poll);
    }
}

// A signal on its way to a process, but the one that tells of a child's end:
// where it lands among the process's steps is a matter of timing. Told once
// a process.
void Tracer::on_signal(const Task &task, int signal)
{
    const auto process = processes_.find(task.tgid);
    if (signal == SIGCHLD || process == processes_.end() || process->second.signalled) {
        return;
    }
    process->second.signalled = true;
    Event talk = event(Event::Kind::talk, task.tgid);
    talk.signal = signal;
    setup_.emit(talk);
}

// Whether process `group`, ending, is to be held at its exit: its parent's
// next wait for any child is to collect another.
bool Tracer::must_hold(pid_t group) const
{
    const auto process = processes_.find(group);
    if (process == processes_.end()) {
        return false;
    }
    const auto parent = processes_.find(process->second.parent);
    if (parent == processes_.end()) {
        return false;
    }
    const auto next = std::find_if(setup_.reaps.begin(), setup_.reaps.end(), [&](const auto &reap) {
        return reap.waiter == parent->second.path && reap.number == parent->second.any_reaps;
    });
    return next != setup_.reaps.end() && next->child != process->second.path;
}

bool Tracer::hold_exit(pid_t tid)
{
    Task &task = tasks_[tid];
    if (setup_.reaps.empty() || !must_hold(task.tgid)) {
        return false;
    }
    task.held_exit = true;
    held_exits_.push_back(tid);
    return true;
}

// The exits held that no wait needs held any more (or all of them) go on.
void Tracer::release_exits(bool all)
{
    for (auto held = held_exits_.begin(); held != held_exits_.end();) {
        Task &task = tasks_[*held];
        if (all || !must_hold(task.tgid)) {
            task.held_exit = false;
            resume(*held);
            held = held_exits_.erase(held);
        } else {
            ++held;
        }
    }
}

// A wait of `task` collected `child`: steered, the one the plan gives it.
void Tracer::reaped(const Task &task, pid_t child)
{
    const auto waiter = processes_.find(task.tgid);
    if (waiter == processes_.end()) {
        return;
    }
    waiter->second.polled = false;
    if (!task.any_child) {
        return;
    }
    const auto planned = std::find_if(setup_.reaps.begin(), setup_.reaps.end(), [&](const auto &r) {
        return r.waiter == waiter->second.path && r.number == waiter->second.any_reaps;
    });
    const auto path = ended_paths_.find(child);
    ++waiter->second.any_reaps;
    if (planned != setup_.reaps.end() && path != ended_paths_.end() &&
        planned->child != path->second) {
        leave_plan("the wait of process " + std::to_string(task.tgid) + " collected " +
                   std::to_string(child) + ", not the child the plan gives it");
        return;
    }
    release_exits();
}

// Whether thread `tid` sleeps in a call that only another process can end
// (not a sleep with a time, nor a read of the input forktrace gives).
bool Tracer::blocked(pid_t tid, const Task &task) const
{
    if (task.pending != Pending::none && task.pending != Pending::wait4 &&
        task.pending != Pending::waitid) {
        return false;  // between its stops: it may be running
    }
    const std::string proc = "/proc/" + std::to_string(tid);
    std::ifstream stat(proc + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t name_end = line.rfind(')');
    if (name_end == std::string::npos || name_end + 2 >= line.size()) {
        return false;
    }
    const char state = line[name_end + 2];
    if (state != 'S' && state != 'D') {
        return false;
    }
    std::ifstream syscall(proc + "/syscall");
    long call = -1;
    std::string first;
    if (!(syscall >> call >> first)) {
        return false;
    }
    const bool reads_input = call == SYS_read && std::stoul(first, nullptr, 16) == 0;
    return waits_for_another(call) && !reads_input;
}

}  // namespace forktrace
