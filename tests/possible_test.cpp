// The possible orders and outputs of a run, on traces made by hand: the
// counts against an independent count of every permutation of the writes,
// the hook-length formula against the count over down-sets on every forest and every forest
// reversed, and the answers checked, listed and drawn at random against the same.
#include "possible.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>

namespace {

using forktrace::Event;
using Kind = Event::Kind;

// A random trace: processes that write, fork and, when `waits`, wait for a
// child; each step is one of a live process's, so the events are in an order
// a run could have had.
std::vector<Event> random_trace(unsigned seed, bool waits, std::size_t most_writes)
{
    std::mt19937 random(seed);
    // Process IDs from 100, so that no text ("w0" to "w2") holds one.
    std::vector<Event> events{{.kind = Kind::start, .pid = 100, .argv = {"p"}}};
    std::vector<pid_t> live{100};
    std::map<pid_t, std::vector<pid_t>> children;  // not yet reaped
    std::set<pid_t> ended;
    pid_t next = 101;
    std::size_t writes = 0;
    while (!live.empty()) {
        const pid_t pid = live[random() % live.size()];
        const auto roll = random() % 10;
        if (roll < 4 && writes < most_writes) {
            ++writes;
            events.push_back({.kind = Kind::write,
                              .pid = pid,
                              .data = "w" + std::to_string(random() % 3) + "\n"});
        } else if (roll < 6 && next < 106) {
            events.push_back({.kind = Kind::fork, .pid = pid, .child = next});
            live.push_back(next);
            children[pid].push_back(next++);
        } else if (roll < 8 && waits && !children[pid].empty() &&
                   ended.contains(children[pid].front())) {
            events.push_back({.kind = Kind::reap, .pid = pid, .child = children[pid].front()});
            children[pid].erase(children[pid].begin());
        } else {
            events.push_back({.kind = Kind::exit, .pid = pid, .code = 0});
            ended.insert(pid);
            std::erase(live, pid);
        }
    }
    return events;
}

// Every order of the writes that the events allow, found without the
// library: the happens-before relation by a closure over the events'
// edges, then every permutation of the writes tried against it.
std::vector<std::vector<std::size_t>> every_order(const std::vector<Event> &events)
{
    // The nodes are the events; edges: program order, fork to the child's
    // next event, exit to the reap.
    const std::size_t n = events.size();
    std::vector<std::vector<bool>> before(n, std::vector<bool>(n, false));
    std::map<pid_t, std::size_t> last;
    std::map<pid_t, std::size_t> exit_of;
    for (std::size_t i = 0; i < n; ++i) {
        const Event &event = events[i];
        if (last.contains(event.pid)) {
            before[last[event.pid]][i] = true;
        }
        if (event.kind == Kind::reap) {
            before[exit_of.at(event.child)][i] = true;
        }
        if (event.kind == Kind::exit) {
            exit_of[event.pid] = i;
        }
        last[event.pid] = i;
        if (event.kind == Kind::fork) {
            last[event.child] = i;
        }
    }
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                before[i][j] = before[i][j] || (before[i][k] && before[k][j]);
            }
        }
    }
    std::vector<std::size_t> writes;
    for (std::size_t i = 0; i < n; ++i) {
        if (events[i].kind == Kind::write) {
            writes.push_back(i);
        }
    }
    std::vector<std::vector<std::size_t>> orders;
    std::vector<std::size_t> order(writes.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    do {
        bool fits = true;
        for (std::size_t a = 0; a < order.size() && fits; ++a) {
            for (std::size_t b = a + 1; b < order.size() && fits; ++b) {
                fits = !before[writes[order[b]]][writes[order[a]]];
            }
        }
        if (fits) {
            orders.push_back(order);
        }
    } while (std::next_permutation(order.begin(), order.end()));
    return orders;
}

std::string text_of(const std::vector<Event> &events, const std::vector<std::size_t> &order)
{
    std::vector<const Event *> writes;
    for (const Event &event : events) {
        if (event.kind == Kind::write) {
            writes.push_back(&event);
        }
    }
    std::string text;
    for (const std::size_t w : order) {
        text += writes[w]->data;
    }
    return text;
}

class RandomTraces : public testing::TestWithParam<bool> {};

// The counts, the outputs, the checks and the random orders of 150 random
// traces of up to 7 writes, against every permutation of their writes.
TEST_P(RandomTraces, AgreeWithEveryPermutation)
{
    const bool waits = GetParam();
    for (unsigned seed = 0; seed < 150; ++seed) {
        const std::vector<Event> events = random_trace(seed, waits, 7);
        const forktrace::Order order = forktrace::order_of(events);
        const auto orders = every_order(events);
        std::set<std::string> outputs;
        for (const auto &each : orders) {
            outputs.insert(text_of(events, each));
        }
        SCOPED_TRACE("seed " + std::to_string(seed));
        const std::optional<mpz_class> by_downsets = forktrace::orders_by_downsets(order);
        ASSERT_TRUE(by_downsets);
        EXPECT_EQ(*by_downsets, orders.size());
        if (const auto by_hooks = forktrace::orders_by_hooks(order)) {
            EXPECT_EQ(*by_hooks, orders.size());
        }
        const forktrace::Outputs counted = forktrace::count_outputs(order, by_downsets);
        ASSERT_TRUE(counted.count) << counted.unknown_why;
        EXPECT_EQ(*counted.count, outputs.size());

        const auto listed = forktrace::list_outputs(order, outputs.size() + 1);
        std::set<std::string> listed_texts;
        for (const auto &each : listed) {
            std::string text;
            for (const std::size_t w : each) {
                text += order.writes[w].text;
            }
            listed_texts.insert(text);
        }
        EXPECT_EQ(listed.size(), outputs.size());
        EXPECT_EQ(listed_texts, outputs);

        for (const std::string &output : outputs) {
            EXPECT_TRUE(forktrace::check(order, output).possible) << output;
        }
        // A text that no order gives: the writes in an order they cannot have.
        std::vector<std::string> texts(order.writes.size());
        std::transform(order.writes.begin(), order.writes.end(), texts.begin(),
                       [](const forktrace::Write &write) { return write.text; });
        std::sort(texts.begin(), texts.end());
        do {
            std::string text;
            for (const std::string &each : texts) {
                text += each;
            }
            if (!outputs.contains(text)) {
                const forktrace::Checked checked = forktrace::check(order, text);
                EXPECT_FALSE(checked.possible) << text;
                EXPECT_GT(checked.line, 0U) << text;
                EXPECT_FALSE(checked.why.empty()) << text;
                break;
            }
        } while (std::next_permutation(texts.begin(), texts.end()));

        const auto drawn = forktrace::random_order(order, seed);
        ASSERT_TRUE(drawn);
        std::string text;
        for (const std::size_t w : *drawn) {
            text += order.writes[w].text;
        }
        EXPECT_TRUE(outputs.contains(text)) << text;
        EXPECT_EQ(forktrace::random_order(order, seed), drawn) << "the same seed, the same order";
    }
}

INSTANTIATE_TEST_SUITE_P(Traces, RandomTraces, testing::Values(false, true),
                         [](const auto &row) { return row.param ? "with_waits" : "forks_only"; });

// A random order is drawn evenly from them all: each of the 3 orders of a
// forest (a child's write free of its parent's two) about a third of the
// time, and a fanout of 30 writes on a terminal, 2.1e13 orders, drawn at once.
TEST(PossibleRandom, DrawsEveryOrderAlike)
{
    const std::vector<Event> forest{{.kind = Kind::start, .pid = 10, .argv = {"f"}},
                                    {.kind = Kind::fork, .pid = 10, .child = 11},
                                    {.kind = Kind::write, .pid = 10, .data = "a"},
                                    {.kind = Kind::write, .pid = 10, .data = "b"},
                                    {.kind = Kind::write, .pid = 11, .data = "c"}};
    const forktrace::Order order = forktrace::order_of(forest);
    std::map<std::string, int> drawn;
    for (unsigned long seed = 0; seed < 3000; ++seed) {
        const auto writes = forktrace::random_order(order, seed);
        ASSERT_TRUE(writes);
        ++drawn[text_of(forest, *writes)];
    }
    ASSERT_EQ(drawn.size(), 3U);
    for (const auto &[text, times] : drawn) {
        EXPECT_TRUE(times > 850 && times < 1150) << text << ": " << times;
    }
    // fanout: each of 16 processes prints a line at each turn of the loop.
    std::vector<Event> fanout{{.kind = Kind::start, .pid = 1, .argv = {"fanout"}}};
    std::vector<pid_t> alive{1};
    for (int turn = 0; turn < 4; ++turn) {
        const std::vector<pid_t> before = alive;
        for (const pid_t pid : before) {
            const auto child = static_cast<pid_t>(alive.size() + 1);
            fanout.push_back({.kind = Kind::fork, .pid = pid, .child = child});
            alive.push_back(child);
            fanout.push_back({.kind = Kind::write, .pid = pid, .data = "line\n"});
            fanout.push_back({.kind = Kind::write, .pid = child, .data = "line\n"});
        }
    }
    const forktrace::Order tree = forktrace::order_of(fanout);
    const auto writes = forktrace::random_order(tree, 7);
    ASSERT_TRUE(writes);
    EXPECT_EQ(writes->size(), tree.writes.size());
}

// Why an answer cannot be, in a learner's words: a wait, a fork, the order
// within one process.
TEST(PossibleCheck, SaysWhichRuleALineBreaks)
{
    const std::vector<Event> waited{
        {.kind = Kind::start, .pid = 10, .argv = {"w"}},
        {.kind = Kind::write, .pid = 10, .data = "A\n"},
        {.kind = Kind::fork, .pid = 10, .child = 11, .site = "w.c:7:9"},
        {.kind = Kind::write, .pid = 11, .data = "B\n"},
        {.kind = Kind::exit, .pid = 11, .code = 0},
        {.kind = Kind::reap, .pid = 10, .child = 11, .site = "w.c:11:5"},
        {.kind = Kind::write, .pid = 10, .data = "C\n"}};
    const forktrace::Order order = forktrace::order_of(waited);
    const forktrace::Checked after_wait = forktrace::check(order, "A\nC\nB\n");
    EXPECT_FALSE(after_wait.possible);
    EXPECT_EQ(after_wait.line, 2U);
    EXPECT_EQ(after_wait.why,
              "'C' cannot come before 'B': the command writes 'C' only after its "
              "wait at w.c:11:5 for its 1st child, which writes 'B'");
    const forktrace::Checked after_fork = forktrace::check(order, "B\nA\nC\n");
    EXPECT_EQ(after_fork.line, 1U);
    EXPECT_NE(after_fork.why.find("the 1st child of the command, which writes 'B', is made by a "
                                  "fork at w.c:7:9 after the command wrote 'A'"),
              std::string::npos)
        << after_fork.why;
    EXPECT_TRUE(forktrace::check(order, "A\nB\nC\n").possible);
    // Through a pipe, before the wait: the pipe orders C, not the wait.
    std::vector<Event> piped = waited;
    piped.insert(piped.begin() + 4,
                 {{.kind = Kind::pipe, .pid = 11, .pipe = 7, .asked = 1, .bytes = 1},
                  {.kind = Kind::pipe, .pid = 10, .pipe = 7, .asked = 1, .bytes = 1, .read = true},
                  {.kind = Kind::write, .pid = 10, .data = "C\n"}});
    piped.pop_back();
    EXPECT_EQ(forktrace::check(forktrace::order_of(piped), "A\nC\nB\n").why,
              "'C' cannot come before 'B': the command writes 'C' only after it read from a "
              "pipe what was written there after the 1st child of the command wrote 'B'");
    // A signal that ended a grandchild its child waited for.
    const std::vector<Event> killed{
        {.kind = Kind::start, .pid = 10, .argv = {"k"}},
        {.kind = Kind::fork, .pid = 10, .child = 11},
        {.kind = Kind::fork, .pid = 11, .child = 12},
        {.kind = Kind::write, .pid = 10, .data = "p\n"},
        {.kind = Kind::send, .pid = 10, .target = 12, .signal = SIGKILL},
        {.kind = Kind::exit, .pid = 12, .signal = SIGKILL},
        {.kind = Kind::reap, .pid = 11, .child = 12},
        {.kind = Kind::write, .pid = 11, .data = "c\n"}};
    EXPECT_NE(forktrace::check(forktrace::order_of(killed), "c\np\n")
                  .why.find("writes 'c' only after a signal reached a process it waited for that "
                            "was sent after the command wrote 'p'"),
              std::string::npos);
    // An answer without its last newline is checked with it, and says so.
    const forktrace::CheckedRuns unended = forktrace::check_runs({order}, "A\nB\nC");
    EXPECT_TRUE(unended.checked.possible && unended.checked.newline_added);
    const forktrace::CheckedRuns wrong = forktrace::check_runs({order}, "A\nC\nB");
    EXPECT_EQ(wrong.checked.line, 2U);
    EXPECT_FALSE(wrong.checked.possible || wrong.checked.newline_added);
    // Lines no write gives there are told by what they are; an answer typed
    // on Windows is read with its line ends as the program's.
    const std::vector<std::pair<std::string, std::string>> misread{
        {"A\r\nB\r\nC\r\n", ""},
        {"A\nB\nCC\n", "'CC' is no line of this run's output"},
        {"A\nB\nC\nC\n", "'C' comes out once in this run, and the answer has it once more"},
        {"A\n\nB\nC\n", "an empty line is no line of this run's output"},
        {"A\nB\nC\r", "'C\\r' ends in a carriage return (\\r), which no line this run writes has"}};
    for (const auto &[answer, why] : misread) {
        const forktrace::CheckedRuns read = forktrace::check_runs({order}, answer);
        EXPECT_EQ(read.checked.possible, why.empty()) << forktrace::printable(answer);
        EXPECT_EQ(read.checked.crlf_read, answer.find("\r\n") != std::string::npos);
        EXPECT_EQ(read.checked.why, why) << forktrace::printable(answer);
    }
    // The same answer is told the same reason whichever order the runs came
    // in, and however a run numbered its writes.
    const auto classic = [](bool first_ends_first) {
        std::vector<Event> events{{.kind = Kind::start, .pid = 10, .argv = {"e"}},
                                  {.kind = Kind::fork, .pid = 10, .child = 11},
                                  {.kind = Kind::fork, .pid = 10, .child = 12}};
        for (const pid_t child : first_ends_first ? std::vector{11, 12} : std::vector{12, 11}) {
            events.push_back(
                {.kind = Kind::write, .pid = child, .data = child == 11 ? "c0\n" : "c1\n"});
            events.push_back({.kind = Kind::exit, .pid = child, .code = 0});
            events.push_back({.kind = Kind::reap, .pid = 10, .child = child});
            events.push_back({.kind = Kind::write,
                              .pid = 10,
                              .data = child == (first_ends_first ? 11 : 12) ? "one\n" : "two\n"});
        }
        return forktrace::order_of(events);
    };
    const std::string one_way =
        forktrace::check_runs({classic(true), classic(false)}, "two\nc0\none\nc1\n").checked.why;
    EXPECT_EQ(
        forktrace::check_runs({classic(false), classic(true)}, "two\nc0\none\nc1\n").checked.why,
        one_way);
    EXPECT_EQ(one_way, "'two' cannot come before 'one': the command writes them in that order");
    // Other process IDs, one for one, are the same answer.
    const std::vector<Event> named{{.kind = Kind::start, .pid = 10, .argv = {"n"}},
                                   {.kind = Kind::fork, .pid = 10, .child = 11},
                                   {.kind = Kind::write, .pid = 10, .data = "[  10] a\n"},
                                   {.kind = Kind::write, .pid = 11, .data = "[  11] b\n"}};
    const forktrace::Order ids = forktrace::order_of(named);
    EXPECT_TRUE(forktrace::check(ids, "[4321] b\n[4320] a\n").possible);
    EXPECT_FALSE(forktrace::check(ids, "[4321] b\n[4321] a\n").possible);
    // IDs grow in the order processes are made: the child's is the larger;
    // as an exam numbers them, the command's is the first.
    EXPECT_FALSE(forktrace::check(ids, "[4320] b\n[4321] a\n").possible);
    EXPECT_TRUE(forktrace::check(ids, "[101] b\n[100] a\n", 100).possible);
    EXPECT_FALSE(forktrace::check(ids, "[102] b\n[100] a\n", 100).possible);
    EXPECT_EQ(forktrace::with_exam_ids(ids, ids.writes[1].text, 100), "[  101] b\n");
    // A reason quotes the writes with the answer's IDs, never the run's: one
    // it has not given yet is named by the process it stands for.
    std::vector<Event> waited_named = named;
    waited_named.insert(waited_named.end(),
                        {{.kind = Kind::exit, .pid = 11, .code = 0},
                         {.kind = Kind::reap, .pid = 10, .child = 11},
                         {.kind = Kind::write, .pid = 10, .data = "[  10] c\n"}});
    EXPECT_EQ(forktrace::check(forktrace::order_of(waited_named), "[7] a\n[7] c\n[8] b\n").why,
              "'[  7] c' cannot come before '[  <the ID of the 1st child of the command>] b': "
              "the command writes '[  7] c' only after its wait for its 1st child, which writes "
              "'[  <the ID of the 1st child of the command>] b'");
}

// Texts that begin with others' ("a" and "ab") give outputs that are told
// apart by their bytes: counted and listed once each, however many orders
// give them.
TEST(PossibleOutputs, AreToldApartByTheirBytes)
{
    const std::vector<Event> two{{.kind = Kind::start, .pid = 10, .argv = {"t"}},
                                 {.kind = Kind::fork, .pid = 10, .child = 11},
                                 {.kind = Kind::write, .pid = 11, .data = "a"},
                                 {.kind = Kind::write, .pid = 10, .data = "ab"}};
    std::vector<Event> three = two;
    three.push_back({.kind = Kind::write, .pid = 11, .data = "b"});
    // Orders a·ab·b and ab·a·b print the same "aabb"... and "abab".
    for (const auto &[events, orders, outputs] :
         std::vector<std::tuple<std::vector<Event>, int, std::set<std::string>>>{
             {two, 2, {"aab", "aba"}}, {three, 3, {"aabb", "abab"}}}) {
        const forktrace::Order order = forktrace::order_of(events);
        EXPECT_EQ(forktrace::count_orders(order), orders);
        EXPECT_EQ(forktrace::count_outputs(order, forktrace::count_orders(order)).count,
                  outputs.size());
        std::set<std::string> listed;
        for (const std::vector<std::size_t> &writes : forktrace::list_outputs(order, 10)) {
            std::string text;
            for (const std::size_t w : writes) {
                text += order.writes[w].text;
            }
            EXPECT_TRUE(listed.insert(text).second) << "listed twice: " << text;
        }
        EXPECT_EQ(listed, outputs);
    }
}

// A run of many processes: counted exactly where a formula or the texts
// allow, and otherwise given up on, after bounded work, saying so.
TEST(PossibleCounts, LargeRunsAreCountedOrGivenUp)
{
    constexpr pid_t children = 40;
    std::vector<Event> alike{{.kind = Kind::start, .pid = 100, .argv = {"a"}}};
    std::vector<Event> waited = alike;
    waited.push_back({.kind = Kind::write, .pid = 100, .data = "start\n"});
    for (pid_t child = 101; child <= 100 + children; ++child) {
        alike.push_back({.kind = Kind::fork, .pid = 100, .child = child});
        alike.push_back({.kind = Kind::write, .pid = child, .data = "x\n"});
        waited.push_back({.kind = Kind::fork, .pid = 100, .child = child});
    }
    for (pid_t child = 101; child <= 100 + children; ++child) {
        waited.push_back({.kind = Kind::write, .pid = child, .data = "a\n"});
        waited.push_back({.kind = Kind::write, .pid = child, .data = "b\n"});
        waited.push_back({.kind = Kind::exit, .pid = child, .code = 0});
    }
    for (pid_t child = 101; child <= 100 + children; ++child) {
        waited.push_back({.kind = Kind::reap, .pid = 100, .child = child});
    }
    waited.push_back({.kind = Kind::write, .pid = 100, .data = "done\n"});

    // Forty writes that nothing orders, all "x": 40! orders, one output.
    const forktrace::Order same = forktrace::order_of(alike);
    mpz_class factorial;
    mpz_fac_ui(factorial.get_mpz_t(), children);
    EXPECT_EQ(forktrace::count_orders(same), factorial);
    EXPECT_EQ(forktrace::count_outputs(same, forktrace::count_orders(same)).count, 1);
    // Told with commas, and a long count also in short, rounded.
    for (const auto &[count, text] : std::vector<std::pair<mpz_class, std::string>>{
             {factorial, forktrace::with_commas(factorial) + " (about 8.16e47)"},
             {mpz_class(999999999), "999,999,999"},
             {mpz_class("9995000000000"), "9,995,000,000,000 (about 1.00e13)"},
             {mpz_class("20922789888000"), "20,922,789,888,000 (about 2.09e13)"}}) {
        EXPECT_EQ(forktrace::count_text(count), text);
    }

    // Each child's two writes between the parent's first and last: 3^40
    // sets of writes that can come first, too many to work through.
    const forktrace::Order many = forktrace::order_of(waited);
    EXPECT_FALSE(forktrace::orders_by_hooks(many));
    EXPECT_FALSE(forktrace::count_orders(many));
    const forktrace::Outputs outputs = forktrace::count_outputs(many, std::nullopt);
    EXPECT_FALSE(outputs.count);
    EXPECT_EQ(outputs.unknown_why, "too many to count exactly");
    EXPECT_FALSE(forktrace::random_order(many, 1));
    EXPECT_LE(forktrace::list_outputs(many, 3).size(), 3U);
    // One process's writes, past what is worked out for many processes:
    // one order, which a check follows.
    std::vector<Event> one{{.kind = Kind::start, .pid = 100, .argv = {"o"}}};
    std::string printed;
    for (int line = 0; line < 10000; ++line) {
        one.push_back({.kind = Kind::write, .pid = 100, .data = std::to_string(line) + "\n"});
        printed += one.back().data;
    }
    const forktrace::Order chain = forktrace::order_of(one);
    EXPECT_EQ(forktrace::count_orders(chain), 1);
    EXPECT_EQ(forktrace::count_outputs(chain, 1).count, 1);
    EXPECT_EQ(forktrace::list_outputs(chain, 2).size(), 1U);
    EXPECT_TRUE(forktrace::check(chain, printed).possible);
    EXPECT_EQ(forktrace::check(chain, "1\n0\n" + printed.substr(4)).line, 1U);

    // A check follows the answer's text, and so still answers.
    std::string answer = "start\n";
    for (pid_t child = 0; child < children; ++child) {
        answer += "a\nb\n";
    }
    EXPECT_TRUE(forktrace::check(many, answer + "done\n").possible);
    EXPECT_FALSE(
        forktrace::check(many, answer.substr(0, answer.size() - 2) + "done\nb\n").possible);
}

}  // namespace
