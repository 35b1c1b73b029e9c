#include "possible.hpp"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <map>
#include <utility>
#include <numeric>
#include <set>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

namespace forktrace {
namespace {

constexpr std::size_t none = static_cast<std::size_t>(-1);
// Beyond these the order is not worked out, or not counted: the memory and
// the time they would take grow too fast.
constexpr std::size_t most_writes = 8192;

// The work a count or a search over the down-sets may do before it gives
// up: each step to a down-set costs the words copied and hashed, a word for
// each process that writes, and for a search the writes it has taken. This
// is about a second's work, and bounds the memory held to a few hundred megabytes.
class Budget {
public:
    // False once the work is over budget.
    bool spend(std::size_t words)
    {
        left_ -= std::min(left_, words);
        return left_ > 0;
    }
    bool spent() const { return left_ == 0; }

private:
    std::size_t left_ = 30000000;
};

// A set of writes as bits.
class Bits {
public:
    explicit Bits(std::size_t size = 0) : words_((size + 63) / 64, 0) {}
    void set(std::size_t i) { words_[i / 64] |= std::uint64_t{1} << (i % 64); }
    bool test(std::size_t i) const { return ((words_[i / 64] >> (i % 64)) & 1U) != 0; }
    Bits &operator|=(const Bits &other)
    {
        for (std::size_t i = 0; i < words_.size(); ++i) {
            words_[i] |= other.words_[i];
        }
        return *this;
    }

private:
    std::vector<std::uint64_t> words_;
};

// One event of a process that orders writes.
struct Node {
    // release: a child that shares its parent's memory (a vfork's) lets the
    // parent go on, at its exec or its end.
    // orphaned: a getppid() that got another's ID than its parent's, whose
    // exit (`other`) it follows.
    // message: a write into a pipe of the command's own or a read from one
    // (what a read got orders it after the write that put it there), a
    // signal sent or caught (a caught one follows its sending).
    // told_end: a SIGCHLD caught that tells of the end of `other`.
    enum class Kind {
        write,
        fork,
        exit,
        reap,
        release,
        orphaned,
        message,
        told_end
    } kind = Kind::write;
    std::size_t process = 0;
    std::size_t write = none;  // write: in Order::writes
    std::size_t other = none;  // fork: the child; reap: the child reaped
};

// What a process's talk to others leaves untried (a file another may read
// differently in another run), or (`unfollowed`) what it may order that
// forktrace does not follow: a signal handled where it landed, waits on a
// socket, on memory they share, on a semaphore, queue or lock.
std::string talk_not_tried(const Event &talk, bool &unfollowed)
{
    const std::string process = "process " + std::to_string(talk.pid);
    unfollowed = true;
    if (talk.shares_memory) {
        return process +
               " mapped memory to share (MAP_SHARED, or shmat()): a process that waits there "
               "for another's write follows it, and forktrace does not see that";
    }
    if (talk.path.ends_with("()")) {
        return process + " called " + talk.path +
               ", which can make it wait for another process: forktrace does not follow that";
    }
    if (talk.path.starts_with("fifo:")) {
        return process + " wrote into a FIFO (" + printable(talk.path.substr(5)) +
               "): a process that reads it waits for the write, and forktrace does not follow "
               "FIFOs by a path";
    }
    if (talk.path.starts_with("anon_inode:")) {
        return process + " wrote to " + printable(talk.path) + " (descriptor " +
               std::to_string(talk.fd) +
               "): a process that reads it waits for the write, and forktrace does not follow "
               "that";
    }
    if (talk.path.starts_with("socket:")) {
        return process + " wrote to a socket (descriptor " + std::to_string(talk.fd) +
               "): a process that reads it waits for the write, and forktrace does not follow "
               "sockets";
    }
    unfollowed = false;
    return process + " wrote to a file of its own (descriptor " + std::to_string(talk.fd) +
           (talk.path.empty() ? "" : ", " + printable(talk.path)) +
           "): what another process reads of it could differ in another run, and that is not "
           "tried";
}

// The signals the command's processes sent, and the catches that follow
// them: each catch follows the first send of that signal from its sender
// to it (or to a group) that no catch of it followed yet.
class Signals {
public:
    void sent(std::size_t node, const Event &send)
    {
        sends_[{send.pid, send.signal.value_or(0)}].push_back({node, send.child, {}});
    }

    // The send that ended `victim`, killed by `signal`: the first of that
    // signal to it (or a group) from any process.
    std::optional<std::size_t> killed(pid_t victim, int signal)
    {
        for (auto &[from, sends] : sends_) {
            for (Send &send : sends) {
                if (from.second == signal && (send.target == victim || send.target <= 0) &&
                    send.caught_by.insert(victim).second) {
                    return send.node;
                }
            }
        }
        return std::nullopt;
    }

    std::optional<std::size_t> caught(const Event &talk)
    {
        for (Send &send : sends_[{talk.child, talk.signal.value_or(0)}]) {
            if ((send.target == talk.pid || send.target <= 0) &&
                send.caught_by.insert(talk.pid).second) {
                return send.node;
            }
        }
        return std::nullopt;
    }

private:
    struct Send {
        std::size_t node = 0;
        pid_t target = 0;
        std::set<pid_t> caught_by;  // cppcheck-suppress unusedStructMember
    };
    std::map<std::pair<pid_t, int>, std::vector<Send>> sends_;
};

// A write into a pipe of the command's own, or a read from one.
struct PipeStep {
    std::size_t node = 0, process = 0;
    pid_t pid = 0;
    int fd = 0;
    bool read = false, failed = false;
    std::size_t asked = 0, bytes = 0;
    bool released = false;  // its process let go of the writing end
    bool nonblocking = false;
    std::string error;
};

// What is said of a pipe's steps, and the orders they make.
struct PipeOrders {
    std::vector<std::pair<std::size_t, std::size_t>> edges;  // node before node
    std::set<std::string> unexplored, unfollowed;
};

// Pipe writes of this many bytes or fewer go in whole; and bytes up to
// half the 16 pages a pipe holds can never fill it, however the writes
// fall into its pages.
constexpr std::size_t whole_write = 4096, never_full = std::size_t{8} * whole_write;

// Why a pipe's steps cannot be followed, if they cannot: each write must
// go in whole, and the pipe never be full. The tracer lets one write into a
// pipe go at a time, and one read, so the order of their events is that of
// the bytes; but not a write through descriptor 0, 1 or 2, which goes the
// way of the output's: a pipe with several writers, one of them such, is
// not followed.
std::optional<std::string> pipe_unfollowed(const std::vector<PipeStep> &steps)
{
    std::set<pid_t> writers, readers;
    bool standard = false;  // a write through descriptor 0, 1 or 2
    std::size_t total = 0;
    for (const PipeStep &step : steps) {
        const std::string process = "process " + std::to_string(step.pid);
        if (step.released) {
            continue;
        }
        if (step.nonblocking) {
            return process +
                   " read or wrote a pipe without waiting (O_NONBLOCK): what it found "
                   "there depends on timing, and forktrace does not follow that";
        }
        if (step.failed) {
            continue;  // nothing went in, or came out
        }
        (step.read ? readers : writers).insert(step.pid);
        standard = standard || (!step.read && step.fd <= 2);
        if (!step.read && (step.asked > whole_write || step.bytes != step.asked)) {
            return process + " wrote " + std::to_string(step.asked) +
                   " bytes into a pipe at once: more than " + std::to_string(whole_write) +
                   " may go in in parts, and forktrace does not follow that";
        }
        total += step.read ? 0 : step.bytes;
    }
    if (total > never_full) {
        return "more than " + with_commas(never_full) +
               " bytes went into a pipe, which may have filled it: its writer then waited for "
               "a read, and forktrace does not follow that";
    }
    if (writers.size() > 1 && standard) {
        return std::to_string(writers.size()) +
               " processes wrote into a pipe, one through its standard output: in which order "
               "their bytes went in, forktrace does not follow";
    }
    return std::nullopt;
}

// The steps of a pipe in one direction, as they went (the tracer lets one
// go at a time): each of another process than the one before it follows
// it, as this run's choice; another process could have gone first. Which
// write went in first is explored; which read, where `what` says so, not.
void in_turn(const std::vector<const PipeStep *> &turns, const std::string &what,
             PipeOrders &orders)
{
    std::set<pid_t> processes;
    for (std::size_t i = 0; i < turns.size(); ++i) {
        processes.insert(turns[i]->pid);
        if (i > 0 && turns[i]->process != turns[i - 1]->process) {
            orders.edges.emplace_back(turns[i - 1]->node, turns[i]->node);
        }
    }
    if (processes.size() > 1 && !what.empty()) {
        orders.unexplored.insert(std::to_string(processes.size()) + " processes " + what +
                                 " one pipe: which went first is a matter of timing, and the "
                                 "runs where another did are not tried");
    }
}

// Each read after the write whose bytes it got last; a read that got fewer
// bytes than it asked for before the write that came next (that was not
// in the pipe yet). Another run's read could get other amounts: not tried.
PipeOrders pipe_orders(const std::vector<PipeStep> &steps)
{
    PipeOrders orders;
    if (auto why = pipe_unfollowed(steps)) {
        orders.unfollowed.insert(std::move(*why));
        return orders;
    }
    std::vector<const PipeStep *> writes, reads;
    std::vector<std::size_t> ends;  // of each write, in the pipe's bytes
    std::vector<std::size_t> releases;
    for (const PipeStep &step : steps) {
        if (step.released) {
            releases.push_back(step.node);
        } else if (!step.read && !step.failed) {
            writes.push_back(&step);
            ends.push_back((ends.empty() ? 0 : ends.back()) + step.bytes);
        } else if (step.read && !step.failed && step.bytes > 0) {
            reads.push_back(&step);
        }
    }
    in_turn(writes, "", orders);  // which went first is a choice explored
    in_turn(reads, "read from", orders);
    std::size_t at = 0;
    for (const PipeStep &step : steps) {
        if (!step.read || step.failed) {
            continue;
        }
        const std::string read = "a read of process " + std::to_string(step.pid) + " from a pipe";
        if (step.bytes == 0 && step.asked == 0) {
            continue;  // asked for nothing
        }
        if (step.bytes == 0) {
            // Its end: every process that could write into it had let go.
            if (releases.empty()) {
                orders.unfollowed.insert(read +
                                         " found its end, and forktrace saw no process let "
                                         "go of its writing end");
                return orders;
            }
            for (const std::size_t release : releases) {
                orders.edges.emplace_back(release, step.node);
            }
            continue;
        }
        const std::size_t to = at + step.bytes;
        const auto last = std::lower_bound(ends.begin(), ends.end(), to);
        if (last == ends.end()) {
            orders.unfollowed.insert(read + " got bytes that no write forktrace saw put there");
            return orders;
        }
        const auto k = static_cast<std::size_t>(last - ends.begin());
        orders.edges.emplace_back(writes[k]->node, step.node);
        if (std::any_of(ends.begin(), last, [&](std::size_t end) { return end > at; })) {
            orders.unexplored.insert(read +
                                     " got the bytes of several writes: had it come "
                                     "sooner it would have got fewer, and that is not tried");
        }
        if (step.bytes < step.asked && k + 1 < writes.size()) {
            orders.edges.emplace_back(step.node, writes[k + 1]->node);
            orders.unexplored.insert(read +
                                     " got fewer bytes than it asked for: had it come "
                                     "later it would have got more, and that is not tried");
        }
        at = to;
    }
    // A write that no read took could have found every reader gone.
    const auto unread = std::find_if(steps.begin(), steps.end(), [&](const PipeStep &step) {
        return !step.read && !step.released && step.error == "EPIPE";
    });
    if (unread != steps.end() || (!ends.empty() && ends.back() > at)) {
        orders.unexplored.insert(
            "what was written into a pipe last was not all read: had every process that could "
            "read it let go of it sooner, the write would have failed (EPIPE, or ended by "
            "SIGPIPE), and had it let go later, one that failed would have gone in; that is not "
            "tried");
    }
    return orders;
}

// A process's polls for any child: those that found none since its last
// reap for any child, and those before that reap, which its poll's event (if
// a poll made it) follows.
struct Polls {
    std::size_t fruitless = 0, before_reap = 0;
    std::set<pid_t> of_one;  // the children polled for by their ID
};

// What a poll's run leaves untried, if anything: each way a first poll for
// any child since its waiter's last reap, or a first for one child by its
// ID, could go is explored; one made again after one found none is not.
std::optional<std::string> poll_not_tried(const Event &poll, Polls &polls)
{
    const std::string which = "a wait with WNOHANG" +
                              (poll.site ? " at " + printable(*poll.site) : "") + " of process " +
                              std::to_string(poll.pid);
    if (!poll.any_child) {
        if (polls.of_one.insert(poll.child).second) {
            return std::nullopt;  // its first for that child: tried both ways
        }
        return which + " for child " + std::to_string(poll.child) +
               " was made again after it found the child not yet ended: how many times it "
               "finds it so is a matter of timing, and the runs with more or fewer are not tried";
    }
    if (poll.child == 0 ? ++polls.fruitless > 1 : polls.before_reap > 0) {
        return which +
               " was made again after it found no child ended: how many times it finds none "
               "is a matter of timing, and the runs with more or fewer are not tried";
    }
    return std::nullopt;
}

}  // namespace

bool Order::forest() const
{
    return std::all_of(writes.begin(), writes.end(),
                       [](const Write &write) { return write.after.size() <= 1; });
}

Order order_of(const std::vector<Event> &events)
{
    Order order;
    std::vector<Node> nodes;
    std::vector<std::vector<std::size_t>> chains;  // nodes of each process, in order
    std::vector<std::size_t> made_at;              // the fork node that made each process
    std::unordered_map<pid_t, std::size_t> latest;
    std::set<std::string> notes;
    const auto process_of = [&](pid_t pid) {
        const auto found = latest.find(pid);
        if (found != latest.end()) {
            return found->second;
        }
        // A process the trace did not see being made: a root of its own.
        const std::size_t index = order.processes.size();
        order.processes.push_back({pid, index, 0, {}, {}});
        chains.emplace_back();
        made_at.push_back(none);
        latest[pid] = index;
        if (index != 0) {
            notes.insert(
                "a process was not seen being made, so nothing orders it after "
                "its maker");
        }
        return index;
    };
    const auto add = [&](Node node) {
        chains[node.process].push_back(nodes.size());
        nodes.push_back(node);
    };
    std::set<std::string> unexplored, unfollowed;
    std::map<std::uint64_t, std::vector<PipeStep>> pipes;
    std::vector<std::pair<std::size_t, std::size_t>> piped;  // node before node
    Signals signals;
    // A signal caught: after its sending, or after the end it tells of.
    const auto caught = [&](const Event &talk) {
        const std::size_t catcher = process_of(talk.pid);
        const std::string which = "process " + std::to_string(talk.pid) + " caught signal " +
                                  std::to_string(*talk.signal);
        const auto ended = latest.find(talk.child);
        if (*talk.signal == SIGCHLD && talk.child != 0 && ended != latest.end()) {
            if (!talk.ok) {
                unfollowed.insert(which + ", which told of a stop or a continue of " +
                                  std::to_string(talk.child) + ": forktrace does not follow that");
            }
            add({Node::Kind::told_end, catcher, none, ended->second});
        } else if (talk.child != 0) {
            const std::optional<std::size_t> send = signals.caught(talk);
            if (send) {
                piped.emplace_back(*send, nodes.size());
            } else {
                unfollowed.insert(which + " from " + std::to_string(talk.child) +
                                  ", and forktrace did not see it sent");
            }
            add({Node::Kind::message, catcher, none, none});
        }
        if (*talk.signal != SIGCONT) {
            unexplored.insert(which +
                              ": its handler ran where the signal landed, and the runs "
                              "where it landed elsewhere are not tried");
        }
    };
    std::set<std::size_t> reaped_by_parent;           // processes, by index
    std::map<std::size_t, std::size_t> asked_parent;  // getppid() calls told, by process
    std::map<std::size_t, std::size_t> real_parent;   // of each process made, by index
    std::unordered_map<pid_t, Polls> polls;
    // A vfork's parent waits, suspended, for the child's exec or end.
    std::unordered_map<std::size_t, std::size_t> suspended_at;  // child: its parent's fork node
    std::vector<std::pair<std::size_t, std::size_t>> released;  // release node, parent's fork node
    for (const Event &event : events) {
        switch (event.kind) {
            case Event::Kind::start:
                process_of(event.pid);
                break;
            case Event::Kind::fork: {
                if (!event.ok) {
                    break;
                }
                const std::size_t parent = process_of(event.pid);
                const std::size_t child = order.processes.size();
                OrderProcess made{event.child, parent, 0, order.processes[parent].path, {}};
                made.path.push_back(order.processes[parent].forks++);
                made.made_after = order.processes[parent].writes.size();
                order.processes.push_back(std::move(made));
                chains.emplace_back();
                made_at.push_back(nodes.size());
                latest[event.child] = child;
                if (event.shares_memory) {
                    suspended_at[child] = nodes.size();
                }
                if (!event.parent) {
                    real_parent[child] = parent;
                } else if (const auto its = latest.find(*event.parent); its != latest.end()) {
                    real_parent[child] = its->second;  // a clone with CLONE_PARENT
                }
                add({Node::Kind::fork, parent, none, child});
                break;
            }
            case Event::Kind::write: {
                if (event.stream != Stream::output || event.data.empty()) {
                    break;
                }
                const std::size_t process = process_of(event.pid);
                OrderProcess &writer = order.processes[process];
                order.writes.push_back({process, writer.writes.size(), event.pid, event.data, {}});
                writer.writes.push_back(order.writes.size() - 1);
                add({Node::Kind::write, process, order.writes.size() - 1, none});
                break;
            }
            case Event::Kind::exit: {
                const std::size_t process = process_of(event.pid);
                if (event.signal) {
                    unexplored.insert("process " + std::to_string(event.pid) +
                                      " was killed by a signal, which could have come at "
                                      "another point of it; that is not tried");
                    // Sent by one of the command's processes: its end follows the sending.
                    if (const auto send = signals.killed(event.pid, *event.signal)) {
                        piped.emplace_back(*send, nodes.size());
                    }
                }
                if (const auto parent = suspended_at.find(process); parent != suspended_at.end()) {
                    released.emplace_back(nodes.size(), parent->second);
                    suspended_at.erase(parent);
                }
                add({Node::Kind::exit, process, none, none});
                break;
            }
            case Event::Kind::reap: {
                const auto child = latest.find(event.child);
                if (child == latest.end()) {
                    break;
                }
                const std::size_t reaper = process_of(event.pid);
                if (event.any_child) {
                    Polls &its = polls[event.pid];
                    its.before_reap = std::exchange(its.fruitless, 0);
                }
                if (order.processes[child->second].parent == reaper) {
                    reaped_by_parent.insert(child->second);
                }
                if (order.processes[child->second].parent != reaper && event.any_child) {
                    unexplored.insert(
                        "a wait of process " + std::to_string(event.pid) + " collected " +
                        std::to_string(event.child) +
                        ", an orphan given to it when its parent ended; which other orphan it "
                        "could have collected is not tried");
                }
                add({Node::Kind::reap, reaper, none, child->second});
                break;
            }
            case Event::Kind::getppid: {
                const std::size_t asker = process_of(event.pid);
                ++asked_parent[asker];
                const auto parent = real_parent.find(asker);
                if (parent != real_parent.end() &&
                    event.child != order.processes[parent->second].pid) {
                    add({Node::Kind::orphaned, asker, none, parent->second});
                }
                break;
            }
            case Event::Kind::thread:
                unexplored.insert("process " + std::to_string(event.pid) +
                                  " ran threads: their steps, each printf() among them, came in "
                                  "the order they ran, and another order of them is not tried");
                break;
            case Event::Kind::send:
                signals.sent(nodes.size(), event);
                add({Node::Kind::message, process_of(event.pid), none, none});
                break;
            case Event::Kind::talk: {
                if (event.signal) {
                    caught(event);
                    break;
                }
                bool not_followed = false;
                std::string why = talk_not_tried(event, not_followed);
                (not_followed ? unfollowed : unexplored).insert(std::move(why));
                break;
            }
            case Event::Kind::pipe: {
                const std::size_t process = process_of(event.pid);
                pipes[event.pipe].push_back({nodes.size(), process, event.pid, event.fd, event.read,
                                             !event.error.empty(), event.asked, event.bytes,
                                             event.released, event.nonblocking, event.error});
                add({Node::Kind::message, process, none, none});
                break;
            }
            case Event::Kind::poll:
                if (auto why = poll_not_tried(event, polls[event.pid])) {
                    unexplored.insert(std::move(*why));
                }
                break;
            case Event::Kind::exec: {
                const auto parent =
                    event.ok ? suspended_at.find(process_of(event.pid)) : suspended_at.end();
                if (parent != suspended_at.end()) {
                    released.emplace_back(nodes.size(), parent->second);
                    add({Node::Kind::release, parent->first, none, none});
                    suspended_at.erase(parent);
                }
                break;
            }
        }
    }
    // A parent that collects its child lives while the child does: the
    // child's getppid() is its ID in every run. Otherwise the first call is
    // tried both ways, not the calls after it.
    for (const auto &[p, calls] : asked_parent) {
        if (p != 0 && calls > 1 && !reaped_by_parent.contains(p)) {
            unexplored.insert("process " + std::to_string(order.processes[p].pid) +
                              " asked for its parent's ID again, which is another's once its "
                              "parent has ended: when that came among its calls is not tried");
        }
    }
    for (const auto &[pipe, steps] : pipes) {
        PipeOrders orders = pipe_orders(steps);
        piped.insert(piped.end(), orders.edges.begin(), orders.edges.end());
        unexplored.merge(orders.unexplored);
        unfollowed.merge(orders.unfollowed);
    }
    order.assumptions.assign(notes.begin(), notes.end());
    order.unexplored.assign(unexplored.begin(), unexplored.end());
    order.unfollowed.assign(unfollowed.begin(), unfollowed.end());
    order.piped = !piped.empty();
    if (order.writes.size() > most_writes) {
        order.too_large = true;
        return order;
    }

    // The writes before each node, in an order of the nodes that respects
    // every edge (the run's own order may put a reap before the exit it
    // reaps, as the tracer hears of them): Kahn's, over the edges of
    // program order, fork to the child's first node, and exit to reap (or
    // to an orphan's getppid() that got another's ID: its parent had ended).
    const std::size_t count = nodes.size();
    std::vector<std::vector<std::size_t>> next(count);
    std::vector<std::size_t> waiting(count, 0);
    const auto edge = [&](std::size_t from, std::size_t to) {
        next[from].push_back(to);
        ++waiting[to];
    };
    std::vector<std::size_t> exit_of(order.processes.size(), none);
    for (std::size_t p = 0; p < chains.size(); ++p) {
        for (std::size_t i = 0; i + 1 < chains[p].size(); ++i) {
            edge(chains[p][i], chains[p][i + 1]);
        }
        if (!chains[p].empty() && made_at[p] != none) {
            edge(made_at[p], chains[p].front());
        }
        for (const std::size_t n : chains[p]) {
            if (nodes[n].kind == Node::Kind::exit) {
                exit_of[p] = n;
            }
        }
    }
    for (std::size_t n = 0; n < count; ++n) {
        const bool after_exit = nodes[n].kind == Node::Kind::reap ||
                                nodes[n].kind == Node::Kind::orphaned ||
                                nodes[n].kind == Node::Kind::told_end;
        if (after_exit && exit_of[nodes[n].other] != none) {
            edge(exit_of[nodes[n].other], n);
        }
    }
    // A read takes in what came before the write whose bytes it got, and a
    // write what came before a read that found it not yet there.
    std::vector<std::vector<std::size_t>> joins(count);
    std::vector<bool> joined(count, false);
    for (const auto &[from, to] : piped) {
        edge(from, to);
        joins[to].push_back(from);
        joined[from] = true;
    }
    std::map<std::size_t, Bits> at_node;  // what came before each node that another joins
    // The parent's node after the fork takes in what came before the release.
    std::vector<std::vector<std::size_t>> merges(count);
    for (const auto &[release, fork] : released) {
        const std::vector<std::size_t> &chain = chains[nodes[fork].process];
        const auto at = std::find(chain.begin(), chain.end(), fork);
        if (at + 1 < chain.end()) {
            edge(release, *(at + 1));
            merges[*(at + 1)].push_back(nodes[release].process);
        }
    }
    const std::size_t writes = order.writes.size();
    std::vector<Bits> now(order.processes.size(), Bits(writes));  // before each process's next node
    std::vector<Bits> before(writes, Bits(writes));
    std::vector<std::size_t> ready;
    for (std::size_t n = count; n-- > 0;) {
        if (waiting[n] == 0) {
            ready.push_back(n);
        }
    }
    std::size_t visited = 0;
    while (!ready.empty()) {
        const std::size_t n = ready.back();
        ready.pop_back();
        ++visited;
        const Node &node = nodes[n];
        Bits &mine = now[node.process];
        std::for_each(merges[n].begin(), merges[n].end(),
                      [&](std::size_t child) { mine |= now[child]; });
        std::for_each(joins[n].begin(), joins[n].end(),
                      [&](std::size_t from) { mine |= at_node.at(from); });
        switch (node.kind) {
            case Node::Kind::write:
                before[node.write] = mine;
                mine.set(node.write);
                break;
            case Node::Kind::fork:
                now[node.other] = mine;
                break;
            case Node::Kind::reap:
            case Node::Kind::orphaned:
            case Node::Kind::told_end:
                mine |= now[node.other];
                break;
            case Node::Kind::exit:
            case Node::Kind::release:
            case Node::Kind::message:
                break;
        }
        if (joined[n]) {
            at_node.emplace(n, mine);
        }
        std::for_each(next[n].begin(), next[n].end(), [&](std::size_t to) {
            if (--waiting[to] == 0) {
                ready.push_back(to);
            }
        });
    }
    if (visited < count) {
        // The orders contradict one another: what was taken of the run is wrong.
        order.unfollowed.emplace_back(
            "what forktrace saw of this run orders some of its steps both ways, so it cannot "
            "say which orders are possible");
    }
    // The writes each one follows directly: the latest of those before it
    // that no other write before it comes after. The run's order respects the
    // order, so a write's predecessors all come earlier in it.
    for (std::size_t w = 0; w < writes; ++w) {
        Bits covered(writes);
        for (std::size_t c = w; c-- > 0;) {
            if (before[w].test(c) && !covered.test(c)) {
                order.writes[w].after.push_back(c);
                covered |= before[c];
            }
        }
    }
    return order;
}

std::optional<mpz_class> orders_by_hooks(const Order &order)
{
    // n! over the product of the sizes of the subtrees, in a forest whose
    // edges go from each write to those it follows directly, or the other way.
    const std::size_t n = order.writes.size();
    std::vector<std::size_t> followers(n, 0);
    for (const Write &write : order.writes) {
        for (const std::size_t parent : write.after) {
            ++followers[parent];
        }
    }
    std::vector<unsigned long> size(n, 1);
    if (order.forest()) {
        for (std::size_t w = n; w-- > 0;) {
            for (const std::size_t parent : order.writes[w].after) {
                size[parent] += size[w];
            }
        }
    } else if (std::all_of(followers.begin(), followers.end(),
                           [](std::size_t f) { return f <= 1; })) {
        // Each write's subtree: itself and every write before it.
        for (std::size_t w = 0; w < n; ++w) {
            for (const std::size_t earlier : order.writes[w].after) {
                size[w] += size[earlier];
            }
        }
    } else {
        return std::nullopt;
    }
    mpz_class orders;
    mpz_fac_ui(orders.get_mpz_t(), n);
    const mpz_class product =
        std::accumulate(size.begin(), size.end(), mpz_class(1),
                        [](const mpz_class &so_far, unsigned long s) { return so_far * s; });
    return mpz_class(orders / product);
}

namespace {

// A down-set: how many of each process's writes have come.
using State = std::basic_string<std::uint32_t>;

struct Space {
    const Order &order;
    std::vector<std::size_t> writers;  // processes with writes
    std::vector<std::size_t> slot_of;  // each write's process, in `writers`

    explicit Space(const Order &of) : order(of), slot_of(of.writes.size())
    {
        for (std::size_t p = 0; p < order.processes.size(); ++p) {
            if (!order.processes[p].writes.empty()) {
                for (const std::size_t write : order.processes[p].writes) {
                    slot_of[write] = writers.size();
                }
                writers.push_back(p);
            }
        }
    }

    State start() const { return State(writers.size(), 0); }

    // The writes that can come next after `state`, by slot in `writers`.
    template <typename Visit>
    void each_next(const State &state, Visit visit) const
    {
        for (std::size_t slot = 0; slot < writers.size(); ++slot) {
            const OrderProcess &process = order.processes[writers[slot]];
            if (state[slot] >= process.writes.size()) {
                continue;
            }
            const std::size_t write = process.writes[state[slot]];
            if (std::all_of(order.writes[write].after.begin(), order.writes[write].after.end(),
                            [&](std::size_t q) { return done(state, q); })) {
                visit(slot, write);
            }
        }
    }

    bool done(const State &state, std::size_t write) const
    {
        return state[slot_of[write]] > order.writes[write].number;
    }
};

struct StateHash {
    std::size_t operator()(const State &state) const
    {
        return std::hash<std::u32string_view>{}(
            std::u32string_view(reinterpret_cast<const char32_t *>(state.data()), state.size()));
    }
};

}  // namespace

std::optional<mpz_class> orders_by_downsets(const Order &order)
{
    const Space space(order);
    std::unordered_map<State, mpz_class, StateHash> layer{{space.start(), 1}};
    Budget budget;
    for (std::size_t step = 0; step < order.writes.size(); ++step) {
        std::unordered_map<State, mpz_class, StateHash> next;
        for (const auto &entry : layer) {
            const State &state = entry.first;
            const mpz_class &ways = entry.second;
            bool within = true;
            space.each_next(state, [&](std::size_t slot, std::size_t /*write*/) {
                State after = state;
                ++after[slot];
                next[after] += ways;
                within = budget.spend(after.size()) && within;
            });
            if (!within) {
                return std::nullopt;
            }
        }
        layer = std::move(next);
    }
    if (layer.size() != 1) {
        return layer.empty() ? std::optional<mpz_class>(0) : std::nullopt;
    }
    return layer.begin()->second;
}

std::optional<mpz_class> count_orders(const Order &order)
{
    if (order.too_large) {
        return std::nullopt;
    }
    if (auto by_hooks = orders_by_hooks(order)) {
        return by_hooks;
    }
    return orders_by_downsets(order);
}

namespace {

bool prefix_free(const std::vector<const std::string *> &texts)
{
    for (std::size_t i = 0; i < texts.size(); ++i) {
        for (std::size_t j = 0; j < texts.size(); ++j) {
            if (i != j && *texts[i] != *texts[j] && texts[j]->starts_with(*texts[i])) {
                return false;
            }
        }
    }
    return true;
}

// The down-sets that the same text so far can have reached: one state of
// the deterministic automaton over the writes' texts.
using Group = std::vector<State>;

std::map<std::string, Group> steps_from(const Space &space, const Group &group, bool &exact,
                                        Budget &budget)
{
    std::map<std::string, std::set<State>> by_text;
    std::vector<const std::string *> texts;
    bool within = true;
    for (const State &state : group) {
        if (!within) {
            break;
        }
        space.each_next(state, [&](std::size_t slot, std::size_t write) {
            State after = state;
            ++after[slot];
            within = budget.spend(after.size()) && within;
            const std::string &text = space.order.writes[write].text;
            auto [at, fresh] = by_text.try_emplace(text);
            if (fresh) {
                texts.push_back(&at->first);
            }
            at->second.insert(after);
        });
    }
    exact = exact && prefix_free(texts);
    std::map<std::string, Group> steps;
    if (!within) {
        return steps;
    }
    for (auto &[text, states] : by_text) {
        steps[text] = Group(states.begin(), states.end());
    }
    return steps;
}

}  // namespace

Outputs count_outputs(const Order &order, const std::optional<mpz_class> &orders)
{
    if (order.too_large) {
        return {std::nullopt, "too many writes to work out"};
    }
    // Texts all different, none the start of another: each order gives an
    // output of its own.
    std::vector<const std::string *> texts;
    std::set<std::string> distinct;
    for (const Write &write : order.writes) {
        texts.push_back(&write.text);
        distinct.insert(write.text);
    }
    if (orders && distinct.size() == texts.size() && prefix_free(texts)) {
        return {orders, ""};
    }
    if (distinct.size() <= 1) {
        return {mpz_class(1), ""};  // every order prints the same
    }
    const Space space(order);
    std::map<Group, mpz_class> layer{{Group{space.start()}, 1}};
    bool exact = true;
    Budget budget;
    for (std::size_t step = 0; step < order.writes.size(); ++step) {
        std::map<Group, mpz_class> next;
        for (const auto &[group, ways] : layer) {
            std::map<std::string, Group> steps = steps_from(space, group, exact, budget);
            if (budget.spent()) {
                return {std::nullopt, "too many to count exactly"};
            }
            for (auto &[text, to] : steps) {
                next[std::move(to)] += ways;
            }
        }
        if (!exact) {
            return {std::nullopt,
                    "some writes' texts begin with other writes' texts, and outputs are told "
                    "apart write by write, not byte by byte"};
        }
        layer = std::move(next);
    }
    mpz_class outputs = 0;
    for (const auto &[group, ways] : layer) {
        outputs += ways;
    }
    return {outputs, ""};
}

std::vector<std::vector<std::size_t>> list_outputs(const Order &order, std::size_t most)
{
    std::vector<std::vector<std::size_t>> found;
    if (order.too_large || most == 0) {
        return found;
    }
    const Space space(order);
    const std::size_t total = order.writes.size();
    if (total == 0) {
        found.emplace_back();  // the one output, empty
        return found;
    }
    // Depth first over the groups, the texts in order; at the end, one run of
    // writes that gives the text, found back through the groups.
    std::vector<Group> path{Group{space.start()}};
    std::vector<std::string> chosen;
    std::vector<std::map<std::string, Group>> choices;
    bool exact = true;
    Budget budget;
    choices.push_back(steps_from(space, path.back(), exact, budget));
    std::vector<std::map<std::string, Group>::iterator> at{choices.back().begin()};
    while (!at.empty() && found.size() < most && !budget.spent()) {
        auto &here = at.back();
        if (here == choices.back().end()) {
            at.pop_back();
            choices.pop_back();
            path.pop_back();
            if (!chosen.empty()) {
                chosen.pop_back();
            }
            if (!at.empty()) {
                ++at.back();
            }
            continue;
        }
        chosen.push_back(here->first);
        path.push_back(here->second);
        if (chosen.size() == total) {
            // Back from the end: a state of each group that leads on to the next.
            std::vector<std::size_t> writes(total);
            State state = path.back().front();
            for (std::size_t step = total; step-- > 0;) {
                bool stepped = false;
                for (const State &from : path[step]) {
                    space.each_next(from, [&](std::size_t slot, std::size_t write) {
                        State after = from;
                        ++after[slot];
                        if (!stepped && after == state &&
                            order.writes[write].text == chosen[step]) {
                            writes[step] = write;
                            state = from;
                            stepped = true;
                        }
                    });
                    if (stepped) {
                        break;
                    }
                }
            }
            found.push_back(std::move(writes));
            path.pop_back();
            chosen.pop_back();
            ++here;
            continue;
        }
        choices.push_back(steps_from(space, path.back(), exact, budget));
        at.push_back(choices.back().begin());
    }
    return found;
}

namespace {

// A piece of a write's text: literal bytes, or a process ID of the run,
// which an answer may rename.
struct Piece {
    std::string literal;
    pid_t pid = 0;  // when not 0, the piece is this ID (and the spaces before it)
};

std::vector<Piece> pieces_of(const std::string &text, const std::set<pid_t> &pids)
{
    std::vector<Piece> pieces{{}};
    for (std::size_t i = 0; i < text.size();) {
        if (std::isdigit(static_cast<unsigned char>(text[i])) == 0) {
            pieces.back().literal += text[i++];
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])) != 0) {
            ++end;
        }
        const std::string digits = text.substr(i, end - i);
        const long value = digits.size() < 10 ? std::stol(digits) : 0;
        if (value > 0 && pids.contains(static_cast<pid_t>(value))) {
            // The padding before an ID goes with it: another ID may be wider.
            std::string &literal = pieces.back().literal;
            while (!literal.empty() && literal.back() == ' ') {
                literal.pop_back();
            }
            pieces.push_back({"", static_cast<pid_t>(value)});
            pieces.push_back({});
        } else {
            pieces.back().literal += digits;
        }
        i = end;
    }
    return pieces;
}

// IDs of the run against the answer's numbers, both ways.
struct Renaming {
    std::map<pid_t, long> to_answer;
    std::map<long, pid_t> from_answer;
    bool operator<(const Renaming &other) const { return to_answer < other.to_answer; }
};

// Whether the write whose pieces these are matches `answer` at `offset`;
// where it does, the offset past it. `renaming` grows with the IDs it meets.
std::optional<std::size_t> match(const std::vector<Piece> &pieces, const std::string &answer,
                                 std::size_t offset, Renaming &renaming)
{
    for (const Piece &piece : pieces) {
        if (piece.pid == 0) {
            if (answer.compare(offset, piece.literal.size(), piece.literal) != 0) {
                return std::nullopt;
            }
            offset += piece.literal.size();
            continue;
        }
        while (offset < answer.size() && answer[offset] == ' ') {
            ++offset;
        }
        std::size_t end = offset;
        while (end < answer.size() && std::isdigit(static_cast<unsigned char>(answer[end])) != 0) {
            ++end;
        }
        if (end == offset || end - offset > 9) {
            return std::nullopt;
        }
        const long number = std::stol(answer.substr(offset, end - offset));
        const auto mine = renaming.to_answer.find(piece.pid);
        const auto theirs = renaming.from_answer.find(number);
        if (mine != renaming.to_answer.end() || theirs != renaming.from_answer.end()) {
            if (mine == renaming.to_answer.end() || mine->second != number) {
                return std::nullopt;
            }
        } else {
            renaming.to_answer[piece.pid] = number;
            renaming.from_answer[number] = piece.pid;
        }
        offset = end;
    }
    return offset;
}

std::string first_line(const std::string &text) { return text.substr(0, text.find('\n')); }

std::string quoted(const std::string &text) { return "'" + printable(first_line(text)) + "'"; }

// Why `later` must come after `earlier`, from the events between them: the
// strongest relation on the way, wait over fork over program order.
Because why_after(const Order &order, std::size_t earlier, std::size_t later)
{
    const Write &a = order.writes[earlier];
    const Write &b = order.writes[later];
    if (a.process == b.process) {
        return Because::program_order;
    }
    // A fork: the later write's process descends from the earlier one's,
    // made after it.
    for (std::size_t p = b.process; order.processes[p].parent != p; p = order.processes[p].parent) {
        if (order.processes[p].parent == a.process) {
            if (a.number < order.processes[p].made_after) {
                return Because::fork;
            }
            break;
        }
    }
    if (!order.piped) {
        return Because::wait;
    }
    // A wait: the later write's process, or one it descends from, is the
    // earlier one's ancestor.
    for (std::size_t p = a.process; order.processes[p].parent != p;) {
        p = order.processes[p].parent;
        for (std::size_t q = b.process;; q = order.processes[q].parent) {
            if (q == p) {
                return Because::wait;
            }
            if (order.processes[q].parent == q) {
                break;
            }
        }
    }
    return Because::pipe;
}

std::string rule(const Order &order, std::size_t earlier, std::size_t later)
{
    const Write &a = order.writes[earlier];
    const Write &b = order.writes[later];
    const std::string first = quoted(b.text) + " cannot come before " + quoted(a.text) + ": ";
    switch (why_after(order, earlier, later)) {
        case Because::program_order:
            return first + "process " + std::to_string(a.pid) + " prints them in that order";
        case Because::fork:
            return first + "the process that prints " + quoted(b.text) +
                   " is made by a fork after " + std::to_string(a.pid) + " printed " +
                   quoted(a.text);
        case Because::pipe:
            return first + "process " + std::to_string(b.pid) + " prints " + quoted(b.text) +
                   " only after it read from a pipe what was written there after " +
                   std::to_string(a.pid) + " printed " + quoted(a.text);
        case Because::wait:
            break;
    }
    return first + "process " + std::to_string(b.pid) + " prints " + quoted(b.text) +
           " only after its wait for the child that prints " + quoted(a.text);
}

std::size_t line_at(const std::string &answer, std::size_t offset)
{
    return static_cast<std::size_t>(std::count(
               answer.begin(),
               answer.begin() + static_cast<std::ptrdiff_t>(std::min(offset, answer.size())),
               '\n')) +
           1;
}

}  // namespace

Checked check(const Order &order, const std::string &answer)
{
    Checked checked;
    if (order.too_large) {
        checked.why = "this run has too many writes to check an answer against";
        checked.gave_up = true;
        return checked;
    }
    std::set<pid_t> pids;
    for (const OrderProcess &process : order.processes) {
        pids.insert(process.pid);
    }
    std::vector<std::vector<Piece>> pieces(order.writes.size());
    std::transform(order.writes.begin(), order.writes.end(), pieces.begin(),
                   [&pids](const Write &write) { return pieces_of(write.text, pids); });
    const Space space(order);
    struct Visit {
        State state;
        std::size_t offset;
        Renaming renaming;
        std::vector<std::size_t> writes;
    };
    std::set<std::tuple<State, std::size_t, Renaming>> seen;
    std::vector<Visit> stack{{space.start(), 0, {}, {}}};
    Budget budget;
    std::size_t furthest = 0;
    std::vector<Visit> at_furthest;
    while (!stack.empty()) {
        Visit visit = std::move(stack.back());
        stack.pop_back();
        if (!seen.insert({visit.state, visit.offset, visit.renaming}).second) {
            continue;
        }
        if (!budget.spend(visit.state.size() + visit.writes.size() +
                          2 * visit.renaming.to_answer.size())) {
            checked.why = "there are too many ways to try this answer against the run";
            checked.gave_up = true;
            return checked;
        }
        if (visit.offset > furthest) {
            furthest = visit.offset;
            at_furthest.clear();
        }
        if (visit.offset == furthest && at_furthest.size() < 64) {
            at_furthest.push_back(visit);
        }
        if (visit.writes.size() == order.writes.size()) {
            if (visit.offset == answer.size()) {
                checked.possible = true;
                checked.writes = std::move(visit.writes);
                return checked;
            }
            continue;
        }
        space.each_next(visit.state, [&](std::size_t slot, std::size_t write) {
            Renaming renaming = visit.renaming;
            const auto past = match(pieces[write], answer, visit.offset, renaming);
            if (!past) {
                return;
            }
            Visit next{visit.state, *past, std::move(renaming), visit.writes};
            ++next.state[slot];
            next.writes.push_back(write);
            stack.push_back(std::move(next));
        });
    }

    // Not possible: the first line past the furthest the answer could be
    // followed, and why it cannot stand there.
    checked.line = line_at(answer, furthest);
    const std::size_t end = answer.find('\n', furthest);
    const std::string line =
        answer.substr(furthest, end == std::string::npos ? std::string::npos : end - furthest);
    if (furthest >= answer.size()) {
        std::size_t lines = 0;
        for (const Write &write : order.writes) {
            lines +=
                static_cast<std::size_t>(std::count(write.text.begin(), write.text.end(), '\n'));
        }
        checked.why = "the answer ends after " + std::to_string(checked.line - 1) +
                      (checked.line - 1 == 1 ? " line" : " lines") + ", but the program prints " +
                      std::to_string(lines);
        return checked;
    }
    // Whether the line is the first line of `write`, the IDs renamed as far
    // as `renaming` allows.
    const auto begins = [&](std::size_t write, Renaming renaming) {
        const auto past =
            match(pieces_of(first_line(order.writes[write].text), pids), line, 0, renaming);
        return past && *past == line.size();
    };
    for (const Visit &visit : at_furthest) {
        // A write that could come here and that the line begins, but not all
        // of whose lines come next: they come out together.
        bool told = false;
        space.each_next(visit.state, [&](std::size_t /*slot*/, std::size_t write) {
            const Write &w = order.writes[write];
            if (!told && std::count(w.text.begin(), w.text.end(), '\n') > 1 &&
                begins(write, visit.renaming)) {
                checked.why = quoted(line) + " and the lines after it in " + std::to_string(w.pid) +
                              "'s write come out together, in one " +
                              "write of its buffer; the answer breaks them up";
                told = true;
            }
        });
        if (told) {
            return checked;
        }
    }
    // A write that the line begins, which cannot come yet: what it waits for.
    for (const Visit &visit : at_furthest) {
        for (std::size_t write = 0; write < order.writes.size(); ++write) {
            if (space.done(visit.state, write) || !begins(write, visit.renaming)) {
                continue;
            }
            const Write &w = order.writes[write];
            const auto missing = std::find_if(w.after.begin(), w.after.end(), [&](std::size_t q) {
                return !space.done(visit.state, q);
            });
            if (missing != w.after.end()) {
                checked.why = rule(order, *missing, write);
                return checked;
            }
        }
    }
    // A line from the middle of a write: the write's lines come together.
    for (const Visit &visit : at_furthest) {
        for (std::size_t write = 0; write < order.writes.size(); ++write) {
            if (space.done(visit.state, write)) {
                continue;
            }
            const std::string &text = order.writes[write].text;
            std::size_t number = 0;
            for (std::size_t at = 0; at < text.size(); ++number) {
                const std::size_t stop = text.find('\n', at);
                const std::string row =
                    text.substr(at, stop == std::string::npos ? std::string::npos : stop - at);
                at = stop == std::string::npos ? text.size() : stop + 1;
                Renaming renaming = visit.renaming;
                const auto past = match(pieces_of(row, pids), line, 0, renaming);
                if (number > 0 && past && *past == line.size()) {
                    checked.why = quoted(line) + " is line " + std::to_string(number + 1) +
                                  " of a write of " + std::to_string(order.writes[write].pid) +
                                  "'s that begins with " + quoted(text) +
                                  ": the lines of one write come out together, in their order";
                    return checked;
                }
            }
        }
    }
    checked.why = quoted(line) + " is not printed by this run's program, or not as many times";
    return checked;
}

std::optional<std::vector<std::size_t>> random_order(const Order &order, unsigned long seed)
{
    if (order.too_large) {
        return std::nullopt;
    }
    // The orders that complete each down-set, counted back from the end.
    const Space space(order);
    std::vector<std::unordered_set<State, StateHash>> layers{{space.start()}};
    Budget budget;
    for (std::size_t step = 0; step < order.writes.size(); ++step) {
        std::unordered_set<State, StateHash> next;
        bool within = true;
        for (const State &state : layers.back()) {
            space.each_next(state, [&](std::size_t slot, std::size_t /*write*/) {
                State after = state;
                ++after[slot];
                next.insert(after);
                within = budget.spend(after.size()) && within;
            });
            if (!within) {
                return std::nullopt;
            }
        }
        layers.push_back(std::move(next));
    }
    std::unordered_map<State, mpz_class, StateHash> completions;
    for (const State &state : layers.back()) {
        completions[state] = 1;
    }
    for (std::size_t step = order.writes.size(); step-- > 0;) {
        for (const State &state : layers[step]) {
            mpz_class ways = 0;
            space.each_next(state, [&](std::size_t slot, std::size_t /*write*/) {
                State after = state;
                ++after[slot];
                ways += completions[after];
            });
            completions[state] = ways;
        }
    }
    gmp_randclass random(gmp_randinit_mt);
    random.seed(seed);
    std::vector<std::size_t> writes;
    State state = space.start();
    for (std::size_t step = 0; step < order.writes.size(); ++step) {
        mpz_class pick = random.get_z_range(completions[state]);
        std::size_t taken_slot = 0, taken = none;
        space.each_next(state, [&](std::size_t slot, std::size_t write) {
            if (taken != none) {
                return;
            }
            State after = state;
            ++after[slot];
            const mpz_class &ways = completions[after];
            if (pick < ways) {
                taken_slot = slot;
                taken = write;
            } else {
                pick -= ways;
            }
        });
        ++state[taken_slot];
        writes.push_back(taken);
    }
    return writes;
}

bool same_but_ids(const std::string &output, const std::vector<pid_t> &pids,
                  const std::string &answer)
{
    Renaming renaming;
    const auto past =
        match(pieces_of(output, std::set<pid_t>(pids.begin(), pids.end())), answer, 0, renaming);
    return past && *past == answer.size();
}

std::string with_commas(const mpz_class &number)
{
    const std::string digits = number.get_str();
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) {
            out += ',';
        }
        out += digits[i];
    }
    return out;
}

}  // namespace forktrace
