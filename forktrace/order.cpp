// The order a run's writes to the output must respect, from its events:
// program order, forks, waits, and the pipes and signals between the
// command's processes; with what it leaves untried or cannot follow.
#include "possible.hpp"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>

namespace forktrace {
namespace {

constexpr std::size_t none = static_cast<std::size_t>(-1);
// Beyond this the order is not worked out: the memory and the time it
// would take grow too fast.
constexpr std::size_t most_writes = 8192;

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
        sends_[{send.pid, send.signal.value_or(0)}].push_back({node, send.target, {}});
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
        for (Send &send : sends_[{talk.from, talk.signal.value_or(0)}]) {
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
// write went in first is explored; which read, not.
void in_turn(const std::vector<const PipeStep *> &turns, bool explored, PipeOrders &orders)
{
    std::set<pid_t> processes;
    for (std::size_t i = 0; i < turns.size(); ++i) {
        processes.insert(turns[i]->pid);
        if (i > 0 && turns[i]->process != turns[i - 1]->process) {
            orders.edges.emplace_back(turns[i - 1]->node, turns[i]->node);
        }
    }
    if (processes.size() > 1 && !explored) {
        orders.unexplored.insert(std::to_string(processes.size()) +
                                 " processes read from one pipe: which went first is a matter of "
                                 "timing, and the runs where another did are not tried");
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
    in_turn(writes, true, orders);  // which went first is a choice explored
    in_turn(reads, false, orders);
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

// The nodes of a run that order its writes, and the edges between nodes of
// different processes that are not forks or reaps: a read after the write
// whose bytes it got, a caught signal after its sending; and the releases
// of vfork parents.
struct Graph {
    std::vector<Node> nodes;
    std::vector<std::vector<std::size_t>> chains;            // nodes of each process, in order
    std::vector<std::size_t> made_at;                        // the fork node that made each process
    std::vector<std::pair<std::size_t, std::size_t>> piped;  // node before node
    std::vector<std::pair<std::size_t, std::size_t>> released;  // release node, parent's fork node
};

// A run's events, taken one at a time into the graph of its writes, with
// what they leave untried (`unexplored`) or cannot follow (`unfollowed`).
class OrderBuilder {
public:
    void take(const Event &event);
    // The order's processes, writes and words; the graph to walk for the
    // writes' order.
    Order finish();
    const Graph &graph() const { return graph_; }

private:
    std::size_t process_of(pid_t pid);
    void add(Node node);
    void forked(const Event &fork);
    void wrote(const Event &write);
    void exited(const Event &exit);
    void reaped(const Event &reap);
    void saw_end(const Event &wait);
    void waited_for(std::size_t child, std::size_t parent, const std::optional<std::string> &site);
    void asked_parent(const Event &getppid);
    void caught(const Event &talk);
    void talked(const Event &talk);
    void piped(const Event &step);
    void execed(const Event &exec);

    Order order_;
    Graph graph_;
    std::unordered_map<pid_t, std::size_t> latest_;
    std::set<std::string> notes_, unexplored_, unfollowed_;
    std::map<std::uint64_t, std::vector<PipeStep>> pipes_;
    Signals signals_;
    std::set<std::size_t> reaped_by_parent_;           // processes, by index
    std::map<std::size_t, std::size_t> asked_parent_;  // getppid() calls told, by process
    std::map<std::size_t, std::size_t> real_parent_;   // of each process made, by index
    std::unordered_map<pid_t, Polls> polls_;
    // A vfork's parent waits, suspended, for the child's exec or end.
    std::unordered_map<std::size_t, std::size_t> suspended_at_;  // child: its parent's fork node
};

std::size_t OrderBuilder::process_of(pid_t pid)
{
    const auto found = latest_.find(pid);
    if (found != latest_.end()) {
        return found->second;
    }
    // A process the trace did not see being made: a root of its own.
    const std::size_t index = order_.processes.size();
    OrderProcess root;
    root.pid = pid;
    root.parent = index;
    order_.processes.push_back(std::move(root));
    graph_.chains.emplace_back();
    graph_.made_at.push_back(none);
    latest_[pid] = index;
    if (index != 0) {
        notes_.insert("a process was not seen being made, so nothing orders it after its maker");
    }
    return index;
}

void OrderBuilder::add(Node node)
{
    graph_.chains[node.process].push_back(graph_.nodes.size());
    graph_.nodes.push_back(node);
}

void OrderBuilder::take(const Event &event)
{
    switch (event.kind) {
        case Event::Kind::start:
            process_of(event.pid);
            break;
        case Event::Kind::fork:
            forked(event);
            break;
        case Event::Kind::write:
            wrote(event);
            break;
        case Event::Kind::exit:
            exited(event);
            break;
        case Event::Kind::reap:
            reaped(event);
            break;
        case Event::Kind::saw_end:
            saw_end(event);
            break;
        case Event::Kind::getppid:
            asked_parent(event);
            break;
        case Event::Kind::thread:
            unexplored_.insert("process " + std::to_string(event.pid) +
                               " ran threads: their steps, each printf() among them, came in "
                               "the order they ran, and another order of them is not tried");
            break;
        case Event::Kind::send:
            signals_.sent(graph_.nodes.size(), event);
            add({Node::Kind::message, process_of(event.pid), none, none});
            break;
        case Event::Kind::talk:
            talked(event);
            break;
        case Event::Kind::pipe:
            piped(event);
            break;
        case Event::Kind::poll:
            if (auto why = poll_not_tried(event, polls_[event.pid])) {
                unexplored_.insert(std::move(*why));
            }
            break;
        case Event::Kind::exec:
            execed(event);
            break;
        case Event::Kind::notice:
            break;
    }
}

void OrderBuilder::forked(const Event &fork)
{
    if (!fork.ok) {
        return;
    }
    const std::size_t parent = process_of(fork.pid);
    const std::size_t child = order_.processes.size();
    OrderProcess made;
    made.pid = fork.child;
    made.parent = parent;
    made.path = order_.processes[parent].path;
    made.path.push_back(order_.processes[parent].forks++);
    made.made_after = order_.processes[parent].writes.size();
    made.made_after_reaps = order_.processes[parent].reaps;
    made.fork_site = fork.site;
    order_.processes.push_back(std::move(made));
    graph_.chains.emplace_back();
    graph_.made_at.push_back(graph_.nodes.size());
    latest_[fork.child] = child;
    if (fork.shares_memory) {
        suspended_at_[child] = graph_.nodes.size();
    }
    if (!fork.parent) {
        real_parent_[child] = parent;
    } else if (const auto its = latest_.find(*fork.parent); its != latest_.end()) {
        real_parent_[child] = its->second;  // a clone with CLONE_PARENT
    }
    add({Node::Kind::fork, parent, none, child});
}

void OrderBuilder::wrote(const Event &write)
{
    if (write.stream != Stream::output || write.data.empty()) {
        return;
    }
    const std::size_t process = process_of(write.pid);
    OrderProcess &writer = order_.processes[process];
    // Where it was printed, where every byte of it was printed at one place.
    std::optional<std::string> site;
    if (!write.unknown_origin && !write.origins.empty() &&
        std::all_of(write.origins.begin(), write.origins.end(), [&](const Event::Origin &origin) {
            return origin.site == write.origins.front().site;
        })) {
        site = write.origins.front().site;
    }
    order_.writes.push_back({process, writer.writes.size(), write.pid, write.data, {}, site});
    writer.writes.push_back(order_.writes.size() - 1);
    add({Node::Kind::write, process, order_.writes.size() - 1, none});
}

void OrderBuilder::exited(const Event &exit)
{
    const std::size_t process = process_of(exit.pid);
    if (exit.signal) {
        unexplored_.insert("process " + std::to_string(exit.pid) +
                           " was killed by a signal, which could have come at another point of "
                           "it; that is not tried");
        // Sent by one of the command's processes: its end follows the sending.
        if (const auto send = signals_.killed(exit.pid, *exit.signal)) {
            graph_.piped.emplace_back(*send, graph_.nodes.size());
        }
    }
    if (const auto parent = suspended_at_.find(process); parent != suspended_at_.end()) {
        graph_.released.emplace_back(graph_.nodes.size(), parent->second);
        suspended_at_.erase(parent);
    }
    add({Node::Kind::exit, process, none, none});
}

void OrderBuilder::reaped(const Event &reap)
{
    const auto child = latest_.find(reap.child);
    if (child == latest_.end()) {
        return;
    }
    const std::size_t reaper = process_of(reap.pid);
    if (reap.any_child) {
        Polls &its = polls_[reap.pid];
        its.before_reap = std::exchange(its.fruitless, 0);
    }
    if (order_.processes[child->second].parent == reaper) {
        reaped_by_parent_.insert(child->second);
        waited_for(child->second, reaper, reap.site);
    } else if (reap.any_child) {
        unexplored_.insert("a wait of process " + std::to_string(reap.pid) + " collected " +
                           std::to_string(reap.child) +
                           ", an orphan given to it when its parent ended; which other orphan "
                           "it could have collected is not tried");
    }
    add({Node::Kind::reap, reaper, none, child->second});
}

// Where among its parent's writes and reaps the wait for `child` returned.
void OrderBuilder::waited_for(std::size_t child, std::size_t parent,
                              const std::optional<std::string> &site)
{
    OrderProcess &ended = order_.processes[child];
    ended.reap_site = site;
    ended.reaped_after = order_.processes[parent].writes.size();
    ended.reaped_as = order_.processes[parent].reaps++;
}

// A wait that returned after its child's end and left it uncollected: it
// orders what follows as a reap does.
void OrderBuilder::saw_end(const Event &wait)
{
    const auto child = latest_.find(wait.child);
    if (child == latest_.end()) {
        return;
    }
    const std::size_t waiter = process_of(wait.pid);
    if (order_.processes[child->second].parent == waiter &&
        !order_.processes[child->second].reaped_after) {
        waited_for(child->second, waiter, wait.site);
    }
    if (wait.any_child && !wait.by_system) {
        unexplored_.insert("a wait of process " + std::to_string(wait.pid) + " saw " +
                           std::to_string(wait.child) +
                           " end and left it to collect (WNOWAIT); which other child it could "
                           "have seen is not tried");
    }
    add({Node::Kind::told_end, waiter, none, child->second});
}

void OrderBuilder::asked_parent(const Event &getppid)
{
    const std::size_t asker = process_of(getppid.pid);
    ++asked_parent_[asker];
    const auto parent = real_parent_.find(asker);
    if (parent != real_parent_.end() && getppid.child != order_.processes[parent->second].pid) {
        add({Node::Kind::orphaned, asker, none, parent->second});
    }
}

// A signal caught: after its sending, or after the end it tells of.
void OrderBuilder::caught(const Event &talk)
{
    const std::size_t catcher = process_of(talk.pid);
    const std::string which =
        "process " + std::to_string(talk.pid) + " caught signal " + std::to_string(*talk.signal);
    const auto ended = latest_.find(talk.from);
    if (*talk.signal == SIGCHLD && talk.from != 0 && ended != latest_.end()) {
        if (!talk.ok) {
            unfollowed_.insert(which + ", which told of a stop or a continue of " +
                               std::to_string(talk.from) + ": forktrace does not follow that");
        }
        add({Node::Kind::told_end, catcher, none, ended->second});
    } else if (talk.from != 0) {
        if (const std::optional<std::size_t> send = signals_.caught(talk)) {
            graph_.piped.emplace_back(*send, graph_.nodes.size());
        } else {
            unfollowed_.insert(which + " from " + std::to_string(talk.from) +
                               ", and forktrace did not see it sent");
        }
        add({Node::Kind::message, catcher, none, none});
    }
    if (*talk.signal != SIGCONT) {
        unexplored_.insert(which +
                           ": its handler ran where the signal landed, and the runs where it "
                           "landed elsewhere are not tried");
    }
}

void OrderBuilder::talked(const Event &talk)
{
    if (talk.signal) {
        caught(talk);
        return;
    }
    bool not_followed = false;
    std::string why = talk_not_tried(talk, not_followed);
    (not_followed ? unfollowed_ : unexplored_).insert(std::move(why));
}

void OrderBuilder::piped(const Event &step)
{
    const std::size_t process = process_of(step.pid);
    pipes_[step.pipe].push_back({graph_.nodes.size(), process, step.pid, step.fd, step.read,
                                 !step.error.empty(), step.asked, step.bytes, step.released,
                                 step.nonblocking, step.error});
    add({Node::Kind::message, process, none, none});
}

void OrderBuilder::execed(const Event &exec)
{
    const auto parent = exec.ok ? suspended_at_.find(process_of(exec.pid)) : suspended_at_.end();
    if (parent != suspended_at_.end()) {
        graph_.released.emplace_back(graph_.nodes.size(), parent->second);
        add({Node::Kind::release, parent->first, none, none});
        suspended_at_.erase(parent);
    }
}

Order OrderBuilder::finish()
{
    // A parent that collects its child lives while the child does: the
    // child's getppid() is its ID in every run. Otherwise the first call is
    // tried both ways, not the calls after it.
    for (const auto &[p, calls] : asked_parent_) {
        if (p != 0 && calls > 1 && !reaped_by_parent_.contains(p)) {
            unexplored_.insert("process " + std::to_string(order_.processes[p].pid) +
                               " asked for its parent's ID again, which is another's once its "
                               "parent has ended: when that came among its calls is not tried");
        }
    }
    for (const auto &[from, to] : graph_.piped) {  // so far, signals' only
        order_.processes[graph_.nodes[to].process].got_signal = true;
    }
    for (const auto &[pipe, steps] : pipes_) {
        PipeOrders orders = pipe_orders(steps);
        graph_.piped.insert(graph_.piped.end(), orders.edges.begin(), orders.edges.end());
        for (const auto &[from, to] : orders.edges) {
            order_.processes[graph_.nodes[to].process].read_pipe = true;
        }
        unexplored_.merge(orders.unexplored);
        unfollowed_.merge(orders.unfollowed);
    }
    order_.assumptions.assign(notes_.begin(), notes_.end());
    order_.unexplored.assign(unexplored_.begin(), unexplored_.end());
    order_.unfollowed.assign(unfollowed_.begin(), unfollowed_.end());
    return std::move(order_);
}

// The edges of a graph, for Kahn's walk over its nodes: program order,
// fork to the child's first node, exit to reap (or to an orphan's getppid()
// that got another's ID: its parent had ended, or to a SIGCHLD handler),
// and the piped ones; a read takes in what came before the write whose
// bytes it got (`joins`), and a vfork parent's node after the fork what
// came before the release (`merges`).
struct Edges {
    std::vector<std::vector<std::size_t>> next;
    std::vector<std::size_t> waiting;
    std::vector<std::vector<std::size_t>> joins;
    std::vector<bool> joined;
    std::vector<std::vector<std::size_t>> merges;  // processes whose writes a node takes in

    explicit Edges(std::size_t count)
        : next(count), waiting(count, 0), joins(count), joined(count, false), merges(count)
    {
    }
    void add(std::size_t from, std::size_t to)
    {
        next[from].push_back(to);
        ++waiting[to];
    }
};

Edges edges_of(const Graph &graph, std::size_t processes)
{
    const std::vector<Node> &nodes = graph.nodes;
    Edges edges(nodes.size());
    std::vector<std::size_t> exit_of(processes, none);
    for (std::size_t p = 0; p < graph.chains.size(); ++p) {
        const std::vector<std::size_t> &chain = graph.chains[p];
        for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
            edges.add(chain[i], chain[i + 1]);
        }
        if (!chain.empty() && graph.made_at[p] != none) {
            edges.add(graph.made_at[p], chain.front());
        }
        for (const std::size_t n : chain) {
            if (nodes[n].kind == Node::Kind::exit) {
                exit_of[p] = n;
            }
        }
    }
    for (std::size_t n = 0; n < nodes.size(); ++n) {
        const bool after_exit = nodes[n].kind == Node::Kind::reap ||
                                nodes[n].kind == Node::Kind::orphaned ||
                                nodes[n].kind == Node::Kind::told_end;
        if (after_exit && exit_of[nodes[n].other] != none) {
            edges.add(exit_of[nodes[n].other], n);
        }
    }
    for (const auto &[from, to] : graph.piped) {
        edges.add(from, to);
        edges.joins[to].push_back(from);
        edges.joined[from] = true;
    }
    for (const auto &[release, fork] : graph.released) {
        const std::vector<std::size_t> &chain = graph.chains[nodes[fork].process];
        const auto at = std::find(chain.begin(), chain.end(), fork);
        if (at + 1 < chain.end()) {
            edges.add(release, *(at + 1));
            edges.merges[*(at + 1)].push_back(nodes[release].process);
        }
    }
    return edges;
}

// The writes before each write, in an order of the nodes that respects
// every edge (the run's own order may put a reap before the exit it reaps,
// as the tracer hears of them). `complete` false: the edges make a cycle,
// and the nodes on it and after it were never reached.
std::vector<Bits> writes_before(const Graph &graph, Edges edges, std::size_t processes,
                                std::size_t writes, bool &complete)
{
    const std::size_t count = graph.nodes.size();
    std::map<std::size_t, Bits> at_node;  // what came before each node that another joins
    std::vector<Bits> now(processes, Bits(writes));  // before each process's next node
    std::vector<Bits> before(writes, Bits(writes));
    std::vector<std::size_t> ready;
    for (std::size_t n = count; n-- > 0;) {
        if (edges.waiting[n] == 0) {
            ready.push_back(n);
        }
    }
    std::size_t visited = 0;
    while (!ready.empty()) {
        const std::size_t n = ready.back();
        ready.pop_back();
        ++visited;
        const Node &node = graph.nodes[n];
        Bits &mine = now[node.process];
        std::for_each(edges.merges[n].begin(), edges.merges[n].end(),
                      [&](std::size_t child) { mine |= now[child]; });
        std::for_each(edges.joins[n].begin(), edges.joins[n].end(),
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
        if (edges.joined[n]) {
            at_node.emplace(n, mine);
        }
        std::for_each(edges.next[n].begin(), edges.next[n].end(), [&](std::size_t to) {
            if (--edges.waiting[to] == 0) {
                ready.push_back(to);
            }
        });
    }
    complete = visited == count;
    return before;
}

}  // namespace

bool Order::chain() const
{
    for (std::size_t w = 1; w < writes.size(); ++w) {
        if (writes[w].after.size() != 1 || writes[w].after.front() != w - 1) {
            return false;
        }
    }
    return true;
}

bool Order::forest() const
{
    return std::all_of(writes.begin(), writes.end(),
                       [](const Write &write) { return write.after.size() <= 1; });
}

Order order_of(const std::vector<Event> &events)
{
    OrderBuilder builder;
    for (const Event &event : events) {
        builder.take(event);
    }
    Order order = builder.finish();
    if (order.writes.size() > most_writes) {
        // Too many to work the order out, but for one process's writes:
        // program order is all their order.
        const bool one = std::all_of(
            order.writes.begin(), order.writes.end(),
            [&](const Write &write) { return write.process == order.writes.front().process; });
        order.too_large = !one;
        for (std::size_t w = 1; one && w < order.writes.size(); ++w) {
            order.writes[w].after = {w - 1};
        }
        return order;
    }
    const Graph &graph = builder.graph();
    const std::size_t writes = order.writes.size();
    bool complete = true;
    const std::vector<Bits> before = writes_before(graph, edges_of(graph, order.processes.size()),
                                                   order.processes.size(), writes, complete);
    if (!complete) {
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

}  // namespace forktrace
