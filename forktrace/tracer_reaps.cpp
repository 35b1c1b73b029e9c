// The choices of a run: which child each wait for any child collected,
// whether a poll found one, whether getppid() found the parent still there;
// and, steered, the children held at their exit so that a wait collects the
// one the plan gives it, as it would had that child ended first (a parent
// held at its exit, or a getppid() at its start, likewise).
#include "tracer.hpp"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

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
        case SYS_vfork:  // the parent of a vfork, until its child execs or ends
        case SYS_clone:
        case SYS_clone3:
            return true;
        default:
            return false;
    }
}

// The one child the pending wait is for by its ID, or 0.
pid_t target_of(const auto &task)
{
    if (task.number == SYS_wait4) {
        const auto pid = static_cast<pid_t>(task.args[0]);
        return pid > 0 ? pid : 0;
    }
    return static_cast<idtype_t>(task.args[0]) == P_PID ? static_cast<pid_t>(task.args[1]) : 0;
}

// Whether the pending wait is a poll: WNOHANG, it returns at once.
bool no_hang(const auto &task)
{
    return (task.number == SYS_wait4 ? task.args[2] & WNOHANG : task.args[3] & WNOHANG) != 0;
}

}  // namespace

// At a wait's start: a wait for one child by its ID gets it, held or not;
// steered, a wait for any child that is to collect one that has not ended
// is held until it has (the others may end meanwhile: a wait looks its
// children over oldest first, and those older than it are held at their
// exit). Whether the wait is held.
bool Tracer::on_wait_entry(pid_t tid, Task &task)
{
    const pid_t target = target_of(task);
    if (task.number == SYS_wait4) {
        task.any_child = static_cast<pid_t>(task.args[0]) <= 0;
    } else {
        const auto type = static_cast<idtype_t>(task.args[0]);
        task.any_child = type == P_ALL || type == P_PGID;
    }
    if (target != 0 && no_hang(task)) {
        return on_poll_entry(tid, task, target);
    }
    if (target != 0) {
        release(held_exits_, &Task::held_exit, false,
                [&](const Task &held) { return held.tgid == target; });
    }
    const auto waiter = processes_.find(task.tgid);
    if (!task.any_child || waiter == processes_.end()) {
        return false;
    }
    if (poll_to_find_none(waiter->second)) {
        // Its children are held at their exit until it has looked.
        if (!no_hang(task)) {
            leave_plan("the wait of process " + std::to_string(task.tgid) +
                       " does not poll, where the plan gives it a poll that finds none");
        }
        return false;
    }
    const PlannedReap *planned = next_reap(task.tgid);
    if (planned == nullptr) {
        return false;
    }
    const std::optional<Child> child = child_at(task.tgid, planned->child);
    if (!child) {
        leave_plan("the wait of process " + std::to_string(task.tgid) +
                   " began before the child the plan gives it was made");
        return false;
    }
    if (target_cannot_come(task.tgid, task, *child) || child->ended) {
        return false;
    }
    task.held_wait = true;
    held_waits_.push_back(tid);
    return true;
}

// Whether the child a wait is to collect cannot be the one it collects: an
// older child has ended already and would be found first, or the child is
// not of the group the wait is for. The plan is then left.
bool Tracer::target_cannot_come(pid_t waiter, const Task &task, const Child &target)
{
    for (const auto &[pid, parent] : ended_) {
        const auto born = ended_born_.find(pid);
        if (parent == waiter && pid != target.pid && born != ended_born_.end() &&
            born->second < target.born) {
            leave_plan("an older child of process " + std::to_string(waiter) + " had ended " +
                       "before its wait began, and is found first");
            return true;
        }
    }
    const auto pid = static_cast<pid_t>(task.args[0]);
    pid_t group = 0;
    if (task.number == SYS_wait4 && pid <= 0) {
        group = pid == 0 ? ::getpgid(waiter) : (pid == -1 ? 0 : -pid);
    } else if (task.number != SYS_wait4 && static_cast<idtype_t>(task.args[0]) == P_PGID) {
        group = task.args[1] == 0 ? ::getpgid(waiter) : static_cast<pid_t>(task.args[1]);
    }
    const pid_t its_group = ::getpgid(target.pid);
    if (group > 0 && its_group > 0 && its_group != group) {
        leave_plan("the child the plan gives the wait of process " + std::to_string(waiter) +
                   " is not of the group it waits for");
        return true;
    }
    return false;
}

// A poll for the one child `target`: steered, held until the child has
// ended, where the plan says it finds it ended; or the child held at its
// exit until the poll has looked, where the plan says not yet. Whether the
// poll is held.
bool Tracer::on_poll_entry(pid_t tid, Task &task, pid_t target)
{
    const auto waiter = processes_.find(task.tgid);
    const PlannedReap *planned =
        waiter == processes_.end() ? nullptr : planned_poll(waiter->second, target);
    const bool ended = ended_.contains(target);
    if (planned != nullptr && planned->number == 1) {
        if (ended) {
            leave_plan("the child " + std::to_string(target) + " had ended before the poll of " +
                       "process " + std::to_string(task.tgid) +
                       ", where the plan gives it not yet");
        }
        return false;
    }
    release(held_exits_, &Task::held_exit, false,
            [&](const Task &held) { return held.tgid == target; });
    if (planned == nullptr || ended || !processes_.contains(target)) {
        return false;
    }
    task.held_wait = true;
    task.held_for = target;
    held_waits_.push_back(tid);
    return true;
}

// The plan for `waiter`'s first poll for its child `child`, if that is to come.
const PlannedReap *Tracer::planned_poll(const Process &waiter, pid_t child) const
{
    if (waiter.polls_of_one.contains(child)) {
        return nullptr;
    }
    const auto process = processes_.find(child);
    const auto ended = ended_paths_.find(child);
    const std::vector<std::size_t> *path = process != processes_.end()   ? &process->second.path
                                           : ended != ended_paths_.end() ? &ended->second
                                                                         : nullptr;
    const auto found = std::find_if(setup_.reaps.begin(), setup_.reaps.end(), [&](const auto &r) {
        return path != nullptr && r.what == PlannedReap::What::poll_one &&
               r.waiter == waiter.path && r.child == *path;
    });
    return found == setup_.reaps.end() ? nullptr : &*found;
}

// The waits held for a child that has ended since (or all of them) go on.
void Tracer::release_waits(bool all)
{
    release(held_waits_, &Task::held_wait, true, [&](const Task &task) {
        if (task.held_for != 0) {
            return all || !processes_.contains(task.held_for);
        }
        const PlannedReap *planned = next_reap(task.tgid);
        const std::optional<Child> child =
            planned != nullptr ? child_at(task.tgid, planned->child) : std::nullopt;
        return all || !child || child->ended;
    });
}

// The tasks of `held` that `goes` lets go on, `flag` cleared: held at a
// call's start (`at_call`), to be stopped again at its end, or at an exit.
void Tracer::release(std::vector<pid_t> &held, bool Task::*flag, bool at_call,
                     const std::function<bool(const Task &)> &goes)
{
    for (auto one = held.begin(); one != held.end();) {
        Task &task = tasks_[*one];
        if (goes(task)) {
            task.*flag = false;
            task.held_for = 0;
            if (at_call) {
                ::ptrace(PTRACE_SYSCALL, *one, 0, 0);
            } else {
                resume(*one);
            }
            one = held.erase(one);
        } else {
            ++one;
        }
    }
}

// The plan's entry for `waiter`'s wait for any child that collects its
// `number`th, or (`none`) for the poll before it that is to find none.
const PlannedReap *Tracer::planned_reap(const Process &waiter, std::size_t number, bool none) const
{
    const auto found = std::find_if(setup_.reaps.begin(), setup_.reaps.end(), [&](const auto &r) {
        return r.waiter == waiter.path && r.number == number && r.child.empty() == none &&
               r.what == PlannedReap::What::reap;
    });
    return found == setup_.reaps.end() ? nullptr : &*found;
}

// The plan for the next wait for any child of `waiter` to collect one, if any.
const PlannedReap *Tracer::next_reap(pid_t waiter) const
{
    const auto process = processes_.find(waiter);
    return process == processes_.end()
               ? nullptr
               : planned_reap(process->second, process->second.any_reaps, false);
}

// Whether the next poll of `waiter` is to find no child ended.
bool Tracer::poll_to_find_none(const Process &waiter) const
{
    return waiter.polls == 0 && planned_reap(waiter, waiter.any_reaps, true) != nullptr;
}

// The child of `parent` at `path`, living or ended and not yet collected.
std::optional<Tracer::Child> Tracer::child_at(pid_t parent,
                                              const std::vector<std::size_t> &path) const
{
    for (const auto &[pid, process] : processes_) {
        if (process.parent == parent && process.path == path) {
            return Child{pid, process.born, false};
        }
    }
    for (const auto &[pid, its_parent] : ended_) {
        const auto at = ended_paths_.find(pid);
        const auto born = ended_born_.find(pid);
        if (its_parent == parent && at != ended_paths_.end() && at->second == path &&
            born != ended_born_.end()) {
            return Child{pid, born->second, true};
        }
    }
    return std::nullopt;
}

// A wait with WNOHANG, a poll: one that found `found`, which had it ended
// later the poll would not have found; or one that found none ended while a
// child lives, which had it ended sooner the poll would have found.
void Tracer::on_poll(const Task &task, pid_t found)
{
    if (!no_hang(task)) {
        return;
    }
    Event poll = event(Event::Kind::poll, task.tgid);
    poll.site = task.site;
    poll.any_child = task.any_child;
    if (!task.any_child) {
        polled_one(task, poll, found);
        return;
    }
    if (found != 0) {
        poll.child = found;
        setup_.emit(poll);
        return;
    }
    const auto waiter = processes_.find(task.tgid);
    if (waiter == processes_.end()) {
        return;
    }
    if (++waiter->second.polls > 2) {
        // Told the first time since its last reap, and the second: the poll
        // is made again, and how many times it finds none is timing.
        return;
    }
    release_exits();  // held till it had looked, where the plan says so
    // A child counts until it is collected: one that ended after the poll
    // looked may be told to the tracer before the poll's return is.
    const bool child_lives = std::any_of(processes_.begin(), processes_.end(), [&](const auto &p) {
        return p.second.parent == task.tgid;
    });
    const bool child_uncollected = std::any_of(
        ended_.begin(), ended_.end(), [&](const auto &e) { return e.second == task.tgid; });
    if (child_lives || child_uncollected) {
        setup_.emit(poll);
    }
}

// A poll for one child by its ID, which found it ended or not: told the
// first time and the second for that child.
void Tracer::polled_one(const Task &task, Event &poll, pid_t found)
{
    const auto waiter = processes_.find(task.tgid);
    const pid_t target = target_of(task);
    if (waiter == processes_.end() || ++waiter->second.polls_of_one[target] > 2) {
        return;
    }
    poll.child = target;
    poll.ok = found != 0;
    setup_.emit(poll);
    release_exits();  // held till it had looked, where the plan says so
}

// getppid() at its start: told the first time and the second; steered, the
// first held until the process's parent has ended, where the plan says it
// gets another's ID.
void Tracer::on_ask_parent(pid_t tid, Task &task)
{
    const Process &process = processes_[task.tgid];
    if (process.asked_parent >= 2) {
        resume(tid);
        return;
    }
    task.pending = Pending::parent;
    const std::optional<bool> alive = planned_ask(process);
    const bool parent_lives = processes_.contains(process.parent);
    if (alive && *alive && !parent_lives) {
        leave_plan("process " + std::to_string(task.tgid) +
                   " asked for its parent's ID after its parent had ended, where the plan "
                   "gives it its parent's");
    } else if (alive && !*alive && parent_lives) {
        task.held_ask = true;
        held_asks_.push_back(tid);
        return;
    }
    ::ptrace(PTRACE_SYSCALL, tid, 0, 0);
}

// getppid() returned `answer`; a parent held till then may end.
void Tracer::asked_parent(const Task &task, pid_t answer)
{
    Process &process = processes_[task.tgid];
    ++process.asked_parent;
    Event asked = event(Event::Kind::getppid, task.tgid);
    asked.child = answer;
    setup_.emit(asked);
    release_exits();
}

// Steered: whether the first getppid() of `asker` is to get its parent's ID
// (true) or another's (false); nothing when the plan does not say, or it
// has asked.
std::optional<bool> Tracer::planned_ask(const Process &asker) const
{
    if (asker.asked_parent != 0) {
        return std::nullopt;
    }
    const auto found = std::find_if(setup_.reaps.begin(), setup_.reaps.end(), [&](const auto &r) {
        return r.waiter == asker.path && r.what == PlannedReap::What::parent;
    });
    return found == setup_.reaps.end() ? std::nullopt : std::optional<bool>(!found->child.empty());
}

// Whether a child of `parent` still to ask for its parent's ID is to get it:
// the parent is held at its exit till then.
bool Tracer::an_ask_needs(pid_t parent) const
{
    return std::any_of(processes_.begin(), processes_.end(), [&](const auto &p) {
        const std::optional<bool> alive = planned_ask(p.second);
        return p.second.parent == parent && alive && *alive;
    });
}

// The getppid() calls held whose process's parent has ended (or all) go on.
void Tracer::release_asks(bool all)
{
    release(held_asks_, &Task::held_ask, true, [&](const Task &task) {
        const auto process = processes_.find(task.tgid);
        return all || process == processes_.end() || !processes_.contains(process->second.parent);
    });
}

// Whether process `group`, ending, is to be held at its exit: one of its
// parent's next waits for any child is to collect a younger child (or one
// not yet made) before the one that collects it, and a wait looks at the
// older children first.
bool Tracer::must_hold(pid_t group) const
{
    const auto process = processes_.find(group);
    if (process == processes_.end() || process->second.shares_with != 0) {
        return false;  // a vfork's parent waits for it: held, it would hold them both
    }
    const bool awaited = std::any_of(tasks_.begin(), tasks_.end(), [&](const auto &entry) {
        const Task &waiter = entry.second;
        return waiter.tgid == process->second.parent && target_of(waiter) == group &&
               (waiter.pending == Pending::wait4 || waiter.pending == Pending::waitid);
    });
    if (awaited) {
        return false;  // its parent waits for it by its ID: held, it would hold them both
    }
    if (an_ask_needs(group)) {
        return true;
    }
    if (const auto parent = processes_.find(process->second.parent); parent != processes_.end()) {
        const PlannedReap *poll = planned_poll(parent->second, group);
        if (poll != nullptr && poll->number == 1) {
            return true;  // its parent's poll for it is to find it not yet ended
        }
    }
    const auto parent = processes_.find(process->second.parent);
    if (parent == processes_.end()) {
        return false;
    }
    for (std::size_t number = parent->second.any_reaps;; ++number) {
        const bool looked = number == parent->second.any_reaps && parent->second.polls != 0;
        if (!looked && planned_reap(parent->second, number, true) != nullptr) {
            return true;  // a poll to come is to find none ended
        }
        const PlannedReap *reap = planned_reap(parent->second, number, false);
        if (reap == nullptr || reap->child == process->second.path) {
            return false;
        }
        const std::optional<Child> target = child_at(parent->first, reap->child);
        if (!target || process->second.born < target->born) {
            return true;
        }
    }
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
    release(held_exits_, &Task::held_exit, false,
            [&](const Task &task) { return all || !must_hold(task.tgid); });
}

// A wait of `task` collected `child`: steered, the one the plan gives it.
void Tracer::reaped(const Task &task, pid_t child)
{
    const auto waiter = processes_.find(task.tgid);
    if (waiter == processes_.end()) {
        return;
    }
    if (!task.any_child) {
        return;
    }
    const bool to_find_none = poll_to_find_none(waiter->second);
    const PlannedReap *planned = next_reap(task.tgid);
    const auto path = ended_paths_.find(child);
    ++waiter->second.any_reaps;
    waiter->second.polls = 0;
    if (to_find_none) {
        leave_plan("the poll of process " + std::to_string(task.tgid) + " found " +
                   std::to_string(child) + " ended, where the plan gives it none");
        return;
    }
    if (planned != nullptr && path != ended_paths_.end() && planned->child != path->second) {
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
        task.pending != Pending::waitid && task.pending != Pending::pipe) {
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

// A wait4() returned `result`: the child it collected, or (0) none yet.
void Tracer::wait4_returned(pid_t tid, const Task &task, std::int64_t result)
{
    if (result == 0) {
        on_poll(task, 0);
        return;
    }
    if (result < 0) {
        return;
    }
    result = traced_id(task.tgid, static_cast<pid_t>(result));
    bool collected_one = false;
    if (task.args[1] != 0) {
        const std::string word = read_memory(tid, task.args[1], sizeof(int));
        int status = 0;
        std::memcpy(&status, word.data(), std::min(word.size(), sizeof status));
        collected_one = word.size() == sizeof status && (WIFEXITED(status) || WIFSIGNALED(status));
    } else {
        collected_one = collected(static_cast<pid_t>(result));
    }
    if (collected_one) {
        emit_reap(task, static_cast<pid_t>(result));
        on_poll(task, static_cast<pid_t>(result));
    }
}

// A wait found no child left to collect: the children it had that ended
// uncollected were collected by the system (SIGCHLD ignored, or
// SA_NOCLDWAIT), and such a wait returns only once they have all ended.
void Tracer::none_left(const Task &task)
{
    const std::map<pid_t, pid_t> ended = ended_;
    for (const auto &[child, parent] : ended) {
        if (parent == task.tgid && collected(child)) {
            emit_saw_end(task, child, true);
            ended_.erase(child);
            ended_paths_.erase(child);
            ended_born_.erase(child);
        }
    }
}

void Tracer::emit_saw_end(const Task &task, pid_t child, bool by_system)
{
    Event saw = event(Event::Kind::saw_end, task.tgid);
    saw.child = child;
    saw.site = task.site;
    saw.any_child = task.any_child;
    saw.by_system = by_system;
    setup_.emit(saw);
}

// A waitid() returned 0: the child it collected, from its siginfo, or none
// yet; with WNOWAIT, the child it saw ended and left to collect.
void Tracer::waitid_returned(pid_t tid, const Task &task)
{
    const bool kept = (task.args[3] & WNOWAIT) != 0;
    if (task.args[2] == 0 && kept) {
        return;  // which child it saw is not told
    }
    if (task.args[2] == 0) {
        // No siginfo to read: the child collected is the one of them that is gone.
        const std::map<pid_t, pid_t> ended = ended_;
        for (const auto &[child, parent] : ended) {
            if (parent == task.tgid &&
                (task.args[0] != P_PID || child == static_cast<pid_t>(task.args[1])) &&
                collected(child)) {
                emit_reap(task, child);
            }
        }
        return;
    }
    const std::string raw = read_memory(tid, task.args[2], sizeof(siginfo_t));
    siginfo_t child{};
    std::memcpy(&child, raw.data(), std::min(raw.size(), sizeof child));
    if (child.si_pid != 0) {
        child.si_pid = traced_id(task.tgid, child.si_pid);
    }
    const bool ended =
        child.si_code == CLD_EXITED || child.si_code == CLD_KILLED || child.si_code == CLD_DUMPED;
    if (child.si_pid != 0 && ended && kept) {
        emit_saw_end(task, child.si_pid, false);
    } else if (child.si_pid != 0 && ended) {
        emit_reap(task, child.si_pid);
        on_poll(task, child.si_pid);
    } else if (child.si_pid == 0) {
        on_poll(task, 0);
    }
}

}  // namespace forktrace
