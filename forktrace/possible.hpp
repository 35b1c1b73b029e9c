// Which outputs a command could have printed, from one run's trace: the
// order its writes to the output must respect, how many orders of them there
// are and how many distinct outputs they give, a list of some, whether a given
// text is one of them and why not, and a random one. A pure function of the
// events, as the reports are; the steering of a run to an order is the
// tracer's.
//
// The order is happens-before over the writes to the command's output, each
// write an atomic unit: within a process, its events in program order; a
// child's events after the fork that made it; a parent's events after a wait
// that reaped a child after that child's exit. Nothing else orders them.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <gmpxx.h>
#include <sys/types.h>

#include "events.hpp"

namespace forktrace {

// Why one write must come after another, for explanations.
enum class Because {
    program_order,  // the same process wrote them in this order
    fork,           // the later one's process was made after the earlier write
    wait,           // a process waited for the child that wrote the earlier one
    pipe,           // the later one's process read from a pipe what came after the earlier
    signal,         // the later one's process got a signal sent after the earlier
    message,        // a pipe or a signal: which of the two is not told apart
};

struct Write {
    std::size_t process = 0;  // in Order::processes
    std::size_t number = 0;   // among its process's writes to the output, from 0
    pid_t pid = 0;
    std::string text;
    std::vector<std::size_t> after;  // the writes it must follow directly
    // Where in the source its first byte was printed, where it is known.
    std::optional<std::string> print_site = {};
};

struct OrderProcess {
    pid_t pid = 0;
    std::size_t parent = 0;  // in Order::processes; the command itself is its own
    std::size_t forks = 0;   // forks it made
    // Its place in the tree: the number of each fork along the line from the
    // command (the command: empty), which names it in another run too.
    std::vector<std::size_t> path;
    std::vector<std::size_t> writes;   // in Order::writes, in order
    std::size_t made_after = 0;        // its maker's writes before the fork that made it
    std::size_t reaps = 0;             // children it reaped
    std::size_t made_after_reaps = 0;  // its maker's reaps before the fork that made it
    // Reaped by its parent: the parent's writes, and reaps, before that.
    std::optional<std::size_t> reaped_after;
    std::size_t reaped_as = 0;
    bool read_pipe = false;   // a read of its from a pipe orders writes
    bool got_signal = false;  // a signal it got, or that ended it, orders writes
    // Where in the source the fork that made it, and the wait that reaped
    // it, were called, where the program has line information.
    std::optional<std::string> fork_site;
    std::optional<std::string> reap_site;
};

struct Order {
    std::vector<OrderProcess> processes;
    std::vector<Write> writes;  // in the run's order
    // What the order leaves out that may matter for this run, in words.
    std::vector<std::string> assumptions;
    // Choices this run made that no other run is steered to take, in words:
    // another output may then be possible, so none is called impossible.
    std::vector<std::string> unexplored;
    // What forktrace did not follow that may order the writes (a signal, a
    // socket, memory they share, a pipe's end), in words: the orders may be
    // fewer than those counted, so no count is known, and only an output a
    // run gave is called possible.
    std::vector<std::string> unfollowed;
    bool too_large = false;  // too many writes to work the order out

    bool forest() const;  // no write follows more than one directly
    bool chain() const;   // each write follows the one before it: one order
};

// The order of the run whose events these are.
Order order_of(const std::vector<Event> &events);

// A run's events, kept for the count of its orders at the end while they
// are few enough to count (20,000 events, 4 MiB of text in all), and let go
// past that, so that a report's memory stays flat however long the run.
class EventsForOrders {
public:
    static constexpr std::size_t most_events = 20000, most_bytes = 4U << 20U;

    void add(const Event &event)
    {
        if (!keeping_) {
            return;
        }
        bytes_ += event.data.size();
        if (events_.size() >= most_events || bytes_ > most_bytes) {
            keeping_ = false;
            std::vector<Event>().swap(events_);
            return;
        }
        events_.push_back(event);
    }
    // Whether every event was kept.
    bool all() const { return keeping_; }
    const std::vector<Event> &events() const { return events_; }

private:
    std::vector<Event> events_;
    std::size_t bytes_ = 0;
    bool keeping_ = true;
};

// The number of orders of the writes that respect `order` (linear
// extensions): by the hook-length formula when no write follows more than
// one directly, or none is followed directly by more than one (nothing
// otherwise); else by counting over the sets of writes that can have come
// first (down-sets); nothing when there are too many of those to count.
std::optional<mpz_class> orders_by_hooks(const Order &order);
std::optional<mpz_class> orders_by_downsets(const Order &order);
std::optional<mpz_class> count_orders(const Order &order);

// The number of distinct outputs (concatenations of the writes' texts) those
// orders give, or why it is not known.
struct Outputs {
    std::optional<mpz_class> count;
    std::string unknown_why;
};
Outputs count_outputs(const Order &order, const std::optional<mpz_class> &orders);

// Up to `most` distinct possible outputs, each as the writes in order, in a
// stable order (by text); fewer when there are too many ways to work through.
std::vector<std::vector<std::size_t>> list_outputs(const Order &order, std::size_t most);

// Whether `answer` is a possible output. Process IDs in it may be those of
// the run, or any one-to-one renaming of them.
struct Checked {
    bool possible = false;
    std::vector<std::size_t> writes;  // possible: one order of writes that gives it
    std::string why;                  // not possible: in a learner's words
    std::size_t line = 0;  // not possible: the answer's first line that cannot stand, from 1
    bool gave_up = false;  // not known: too much work to tell (why says so)
    // Checked with the newline that the answer's last line lacks, as a
    // student typing it means it
    bool newline_added = false;
    // Its Windows line ends, "\r\n", read as the "\n" the program writes.
    bool crlf_read = false;
};
// How an answer was read, in words: ", with the newline that its last line
// lacks", ", its Windows line ends (\r\n) read as \n"; empty as it stands.
std::string read_as(const Checked &checked);
// Process IDs in the answer may differ from the run's, one for one, as long
// as they grow in the order the processes are made; with `first_pid` (an
// exam's convention) the command is that number and each process made takes
// the next.
Checked check(const Order &order, const std::string &answer,
              std::optional<long> first_pid = std::nullopt);

// An order of the writes chosen at random, every order alike likely, from
// `seed`; nothing when the orders cannot be counted.
std::optional<std::vector<std::size_t>> random_order(const Order &order, unsigned long seed);

// `text` with each process ID of the run as an exam numbers the processes:
// the command `first`, each process made the next number, in the order the
// run made them.
std::string with_exam_ids(const Order &order, const std::string &text, long first);

// A process of the run by its place, the same in every run: "the command",
// "the 2nd child of the 1st child of the command".
std::string process_name(const Order &order, std::size_t process);

// Whether a write's text holds one of the run's process IDs.
bool shows_ids(const Order &order);

// Whether `output` is `answer` but for process IDs: each of `pids` in the
// output may stand for another number in the answer, one to one.
bool same_but_ids(const std::string &output, const std::vector<pid_t> &pids,
                  const std::string &answer);

// A number with thousands separated by commas: "74,836,825,861,835,980,800,000".
std::string with_commas(const mpz_class &number);
// A count as a reader takes it in: with commas, and beside one of ten digits
// or more its size in short, "20,922,789,888,000 (about 2.09e13)".
// `brief`: of ten digits or more, the size alone, "about 2.09e13", for a
// picture's line that must not run wide.
std::string count_text(const mpz_class &number, bool brief = false);

// What --possible, --list and --check show, after the run.
struct PossibleOptions {
    bool json = false;
    std::optional<std::size_t> list;    // --list N: up to N outputs
    std::optional<std::string> answer;  // --check: the answer's text
    std::string answer_name;            // and the file it came from
    std::optional<long> first_pid;      // --pids: the IDs an exam gives the processes
};

// "This run is one of 1,287 possible orders of these 16 lines.", or empty
// when there is one order only, or they are not counted; `brief`: the
// count as count_text gives it brief.
std::string orders_sentence(const Order &order, bool brief = false);

// The program's possible outputs are those of every run it can have: the
// runs below are explored by steering each wait for any child to collect
// each child it could have (possible_runs.cpp).

// A place in the tree of processes: the number of each fork along the line
// from the command.
using Place = std::vector<std::size_t>;

// A wait for any child that collected one while others it could have
// collected lived: a choice of the run.
// A poll (a wait with WNOHANG) may find none: its `reaped` is then the empty
// place (the first process's, never a child's) and its PID 0; so is an
// other of a poll that could have found none. A getppid() (`parent`) is
// made by `waiter`; its `reaped`, and its other, are not places but
// got_parent where it got its parent's ID and empty where it got another's,
// its parent having ended; `reaped_pid` is the ID it got. A poll for one
// child (`poll_one`) by `waiter`: for `reaped`, found ended (`number` 0) or
// not yet (1), and could have found it the other way.
// A write into a pipe (`pipe_first`) went in before another process's
// write into it, the next: `waiter`'s `number`th write into a pipe before
// the `second`th of the process at `reaped`; that one could have gone first.
struct Choice {
    enum class Kind { wait, poll, parent, poll_one, pipe_first };
    static inline const Place got_parent{1};
    Place waiter;
    std::size_t number = 0;  // among the waiter's waits for any child that collected one
    Place reaped;
    // The children it could have collected instead (kept until the runs
    // to take them are planned; their IDs stay).
    std::vector<Place> others;
    pid_t waiter_pid = 0, reaped_pid = 0;
    std::vector<pid_t> other_pids;
    std::optional<std::string> site;
    Kind kind = Kind::wait;
    std::size_t second = 0;
};

// The choices of the run whose events these are, in the order they were made.
std::vector<Choice> choices_of(const std::vector<Event> &events);

// The runs of a program explored, each with the choices it made.
struct Runs {
    std::vector<std::vector<Event>> events;  // distinct runs; the first is the one shown
    std::vector<std::vector<Choice>> choices;
    bool complete = true;  // every choice was taken each way it could be
    // A run that could not be steered to its choices: whether they can be
    // taken is not known (what it held may have been what stopped it).
    bool gave_up = false;
    std::size_t tried = 0;   // runs made, those that came out alike included
    std::size_t budget = 0;  // the most runs it could make
};

// The counts over several runs: of the orders of their writes (a write
// named by its process's place, its number and its text) and of the
// outputs, each run's orders together. Where not known exactly, the largest
// of one run's, and `at_least`.
struct Union {
    std::optional<mpz_class> orders, outputs;
    bool orders_at_least = false, outputs_at_least = false;
    std::string unknown_why;  // when a count is a bound
};
Union count_union(const std::vector<Order> &orders);

// An answer checked against every run: the run that gives it, or the
// check of the run where it went furthest. Where a run's order is not all
// followed, only what a run gave is possible, and nothing else is told. An
// answer whose last line lacks its newline is checked with it, where that
// takes it further.
struct CheckedRuns {
    Checked checked;
    std::size_t run = 0;
};
CheckedRuns check_runs(const std::vector<Order> &orders, const std::string &answer,
                       std::optional<long> first_pid = std::nullopt);

// How a process of the steered run ended otherwise than in the first run,
// which it follows (with another code, or by a signal: a held write let an alarm
// come first), in words; nothing when each ended alike.
std::optional<std::string> ended_otherwise(const std::vector<Event> &followed,
                                           const std::vector<Event> &steered);

// The account of which outputs are possible, from the runs explored; the
// exit status: 1 when an answer was checked and is proven not possible, 2
// when that cannot be told, else 0.
int write_possible(std::FILE *out, const Runs &runs, const PossibleOptions &options);

}  // namespace forktrace
