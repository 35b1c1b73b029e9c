#include "possible.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <utility>
#include <numeric>
#include <random>
#include <set>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

namespace forktrace {
namespace {

constexpr std::size_t none = static_cast<std::size_t>(-1);

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

}  // namespace

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
    if (order.chain()) {
        return mpz_class(1);
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

std::vector<std::vector<std::size_t>> distinct_outputs(const Order &order, std::size_t most,
                                                       bool &complete);

}  // namespace

Outputs count_outputs(const Order &order, const std::optional<mpz_class> &orders)
{
    if (order.too_large) {
        return {std::nullopt, "too many writes to work out"};
    }
    if (orders == 1) {
        return {mpz_class(1), ""};  // one order prints one output
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
            // Some texts begin with others': the outputs, told apart byte by
            // byte, are counted one by one, as far as the work allows.
            bool complete = false;
            const std::size_t most = std::max<std::size_t>(1000, 4000000 / order.writes.size());
            const std::size_t listed = distinct_outputs(order, most, complete).size();
            if (complete) {
                return {mpz_class(listed), ""};
            }
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

namespace {

// Up to `most` outputs, each by one order of the writes that gives it, in
// order of their writes' texts; `complete` once every output is among them.
// The writes of one order along `path`, a group of states for each text
// `chosen`, found back from the end: a state of each group that leads on
// to the next.
std::vector<std::size_t> writes_along(const Order &order, const Space &space,
                                      const std::vector<Group> &path,
                                      const std::vector<std::string> &chosen)
{
    std::vector<std::size_t> writes(chosen.size());
    State state = path.back().front();
    for (std::size_t step = chosen.size(); step-- > 0;) {
        bool stepped = false;
        for (const State &from : path[step]) {
            space.each_next(from, [&](std::size_t slot, std::size_t write) {
                State after = from;
                ++after[slot];
                if (!stepped && after == state && order.writes[write].text == chosen[step]) {
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
    return writes;
}

std::vector<std::vector<std::size_t>> distinct_outputs(const Order &order, std::size_t most,
                                                       bool &complete)
{
    complete = false;
    std::vector<std::vector<std::size_t>> found;
    if (order.too_large || most == 0) {
        return found;
    }
    const Space space(order);
    const std::size_t total = order.writes.size();
    const bool alike = std::all_of(order.writes.begin(), order.writes.end(), [&](const Write &w) {
        return w.text == order.writes.front().text;
    });
    if (order.chain() || alike) {
        // One output, which the run's own order gives.
        found.emplace_back(total);
        std::iota(found.back().begin(), found.back().end(), 0);
        complete = true;
        return found;
    }
    if (total == 0) {
        found.emplace_back();  // the one output, empty
        complete = true;
        return found;
    }
    // Writes whose texts begin with others' can give one output in two ways.
    std::set<std::string> texts;
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
            std::vector<std::size_t> writes = writes_along(order, space, path, chosen);
            std::string text;
            for (const std::string &piece : chosen) {
                text += piece;
            }
            if (texts.insert(std::move(text)).second) {
                found.push_back(std::move(writes));
            }
            path.pop_back();
            chosen.pop_back();
            ++here;
            continue;
        }
        choices.push_back(steps_from(space, path.back(), exact, budget));
        at.push_back(choices.back().begin());
    }
    complete = at.empty() && !budget.spent();
    return found;
}

}  // namespace

std::vector<std::vector<std::size_t>> list_outputs(const Order &order, std::size_t most)
{
    bool complete = false;
    return distinct_outputs(order, most, complete);
}

namespace {

// `text` with each number in it that `swap` gives a text for (a process
// ID, say) replaced by that text, the rest as it is.
std::string with_numbers_swapped(const std::string &text,
                                 const std::function<std::optional<std::string>(long)> &swap)
{
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = at;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])) != 0) {
            ++end;
        }
        if (end == at) {
            out += text[at++];
            continue;
        }
        const std::string digits = text.substr(at, end - at);
        const std::optional<std::string> swapped =
            digits.size() < 10 ? swap(std::stol(digits)) : std::nullopt;
        out += swapped.value_or(digits);
        at = end;
    }
    return out;
}

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

// What an answer's process IDs keep of the run's. IDs grow in the order
// processes are made: a process made before another in every run (an
// ancestor, or one made by an ancestor before the fork on the way to the
// other) has the smaller ID. With an exam's convention (`first`), the
// command is `first` and each process made takes the next number.
class IdRule {
public:
    IdRule(const Order &order, std::optional<long> first) : first_(first)
    {
        for (std::size_t p = 0; p < order.processes.size(); ++p) {
            const OrderProcess &process = order.processes[p];
            const bool made = p == 0 || process.parent != p;  // else a root of its own
            if (made && !paths_.contains(process.pid)) {
                paths_.emplace(process.pid, process.path);
            }
        }
        for (const auto &[pid, path] : paths_) {
            for (const auto &[other, its] : paths_) {
                before_[pid] += made_before(its, path) ? 1U : 0U;
                after_[pid] += made_before(path, its) ? 1U : 0U;
            }
        }
    }

    // The rule, in words.
    std::string said() const
    {
        if (first_) {
            return "the command is " + std::to_string(*first_) +
                   " and each process made takes the next number";
        }
        return "each process's ID is smaller than its children's, and than those of the "
               "processes its parent makes after it";
    }

    // Whether `pid` may be `number` in the answer, with the IDs renamed so far.
    bool allows(const Renaming &renaming, pid_t pid, long number) const
    {
        const auto path = paths_.find(pid);
        if (path == paths_.end()) {
            return !first_;
        }
        if (first_ && (number - *first_ < static_cast<long>(before_.at(pid)) ||
                       *first_ + static_cast<long>(paths_.size()) - 1 - number <
                           static_cast<long>(after_.at(pid)))) {
            return false;  // too few numbers left below it, or above it
        }
        return std::all_of(
            renaming.to_answer.begin(), renaming.to_answer.end(), [&](const auto &named) {
                const auto other = paths_.find(named.first);
                if (other == paths_.end()) {
                    return true;
                }
                return (!made_before(other->second, path->second) || named.second < number) &&
                       (!made_before(path->second, other->second) || number < named.second);
            });
    }

private:
    // Whether the process at `earlier` is made before the one at `later` in
    // every run, by program order and forks alone.
    static bool made_before(const std::vector<std::size_t> &earlier,
                            const std::vector<std::size_t> &later)
    {
        if (earlier == later) {
            return false;
        }
        if (earlier.empty()) {
            return true;  // the command itself
        }
        const std::size_t maker = earlier.size() - 1;
        return earlier.size() <= later.size() &&
               std::equal(earlier.begin(), earlier.begin() + static_cast<std::ptrdiff_t>(maker),
                          later.begin()) &&
               earlier[maker] <= later[maker];
    }

    std::optional<long> first_;
    std::map<pid_t, std::vector<std::size_t>> paths_;  // of the processes seen made
    std::map<pid_t, std::size_t> before_, after_;      // processes made before, after it
};

// Whether the write whose pieces these are matches `answer` at `offset`;
// where it does, the offset past it. `renaming` grows with the IDs it meets,
// as `rule` allows.
std::optional<std::size_t> match(const std::vector<Piece> &pieces, const std::string &answer,
                                 std::size_t offset, Renaming &renaming,
                                 const IdRule *rule = nullptr)
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
            if (rule != nullptr && !rule->allows(renaming, piece.pid, number)) {
                return std::nullopt;
            }
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
Because why_after(const Order &order, std::size_t earlier, std::size_t later, std::string &who)
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
    if (std::none_of(order.processes.begin(), order.processes.end(),
                     [](const OrderProcess &p) { return p.read_pipe || p.got_signal; })) {
        return Because::wait;
    }
    // A wait: a process on the way up from the earlier write's was reaped
    // by its parent, which writes the later one after that, or made the
    // process that does after that.
    for (std::size_t q = a.process; order.processes[q].reaped_after;
         q = order.processes[q].parent) {
        const OrderProcess &reaped = order.processes[q];
        if (b.process == reaped.parent && b.number >= *reaped.reaped_after) {
            return Because::wait;
        }
        for (std::size_t r = b.process; order.processes[r].parent != r;
             r = order.processes[r].parent) {
            if (order.processes[r].parent == reaped.parent) {
                if (order.processes[r].made_after_reaps > reaped.reaped_as) {
                    return Because::wait;
                }
                break;
            }
        }
    }
    // A pipe or a signal, as the later write's process heard of it, or a
    // child it collected before the write (and theirs, on down); else as one
    // it descends from did.
    bool read_pipe = false;
    bool got_signal = false;
    who = "it";
    std::vector<std::size_t> heard{b.process};
    for (std::size_t i = 0; i < heard.size(); ++i) {
        const bool now =
            order.processes[heard[i]].read_pipe || order.processes[heard[i]].got_signal;
        if (now && !read_pipe && !got_signal && i > 0) {
            who = "a process it waited for";
        }
        read_pipe = read_pipe || order.processes[heard[i]].read_pipe;
        got_signal = got_signal || order.processes[heard[i]].got_signal;
        for (std::size_t c = 1; c < order.processes.size(); ++c) {
            const OrderProcess &child = order.processes[c];
            if (child.parent == heard[i] && child.reaped_after &&
                (heard[i] != b.process || *child.reaped_after <= b.number)) {
                heard.push_back(c);
            }
        }
    }
    for (std::size_t p = b.process; !read_pipe && !got_signal; p = order.processes[p].parent) {
        read_pipe = order.processes[p].read_pipe;
        got_signal = order.processes[p].got_signal;
        who = "a process it descends from";
        if (order.processes[p].parent == p) {
            break;
        }
    }
    if (read_pipe == got_signal) {
        return Because::message;
    }
    return read_pipe ? Because::pipe : Because::signal;
}

}  // namespace

std::string process_name(const Order &order, std::size_t process)
{
    const OrderProcess &named = order.processes[process];
    if (process == 0) {
        return "the command";
    }
    if (named.parent == process) {
        return "process " + std::to_string(named.pid);  // not seen being made
    }
    return place_name(named.path);
}

namespace {

// A write's lines, quoted: "'A'", "'A' and 'B'", "'A', 'B' and 3 more lines".
std::string written(const std::string &text)
{
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size() && lines.size() < 4;) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    const auto total = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) +
                       (text.ends_with('\n') ? 0 : 1);
    const auto quote = [](const std::string &line) { return "'" + printable(line) + "'"; };
    if (total <= 1) {
        return quote(lines.empty() ? "" : lines[0]);
    }
    if (total == 2) {
        return quote(lines[0]) + " and " + quote(lines[1]);
    }
    return quote(lines[0]) + ", " + quote(lines[1]) + " and " + std::to_string(total - 2) +
           " more lines";
}

// How a reason shows a write's text: the run's process IDs in it as the
// answer names them, and the others by the process they stand for, since
// the run's own IDs are not the learner's.
using Shown = std::function<std::string(const std::string &)>;

std::string rule(const Order &order, std::size_t earlier, std::size_t later, const Shown &shown)
{
    const Write &a = order.writes[earlier];
    const Write &b = order.writes[later];
    const std::string a_quoted = written(shown(a.text));
    const std::string b_quoted = written(shown(b.text));
    const std::string first = b_quoted + " cannot come before " + a_quoted + ": ";
    // Where each was printed, as the reason names them the second time.
    const auto printed = [](const std::string &quoted, const Write &write) {
        return write.print_site ? quoted + " (printed at " + printable(*write.print_site) + ")"
                                : quoted;
    };
    const std::string a_text = printed(a_quoted, a);
    const std::string b_text = printed(b_quoted, b);
    const std::string writer = process_name(order, b.process);
    const std::string other = process_name(order, a.process);
    std::string who;
    switch (why_after(order, earlier, later, who)) {
        case Because::program_order:
            return first + writer + " writes them in that order" +
                   (a.print_site && b.print_site ? " (printed at " + printable(*a.print_site) +
                                                       ", then at " + printable(*b.print_site) + ")"
                                                 : "");
        case Because::fork: {
            std::size_t made = b.process;  // the child of a.process on the way to b.process
            while (order.processes[made].parent != a.process &&
                   order.processes[made].parent != made) {
                made = order.processes[made].parent;
            }
            return first + writer + ", which writes " + b_text + ", is made by a fork" +
                   at_site(order.processes[made].fork_site) + " after " + other + " wrote " +
                   a_text;
        }
        case Because::pipe:
            return first + writer + " writes " + b_text + " only after " + who +
                   " read from a pipe what was written there after " + other + " wrote " + a_text;
        case Because::signal:
            return first + writer + " writes " + b_text + " only after a signal reached " + who +
                   " that was sent after " + other + " wrote " + a_text;
        case Because::message:
            return first + writer + " writes " + b_text +
                   " only after a pipe or a signal brought it word sent after " + other +
                   " wrote " + a_text;
        case Because::wait:
            break;
    }
    const OrderProcess &child = order.processes[a.process];
    if (child.parent == b.process && !child.path.empty()) {
        return first + writer + " writes " + b_text + " only after its wait" +
               at_site(child.reap_site) + " for its " + ordinal(child.path.back() + 1) +
               " child, which writes " + a_text;
    }
    return first + writer + " writes " + b_text +
           " only after its wait for a child that ended after " + other + " wrote " + a_text;
}

std::size_t line_at(const std::string &answer, std::size_t offset)
{
    return static_cast<std::size_t>(std::count(
               answer.begin(),
               answer.begin() + static_cast<std::ptrdiff_t>(std::min(offset, answer.size())),
               '\n')) +
           1;
}

// A point of the search for an answer: the writes taken, the answer's bytes
// they match, and the IDs renamed on the way.
// The writes taken, each point's way back to the start: a write and the
// trail before it (`none`: the start), so that a point carries one number,
// not every write before it.
struct Point {
    State state;
    std::size_t offset;
    Renaming renaming;
    std::size_t trail = none;
    std::size_t taken = 0;
};

// Why an answer followed no further than the line at `furthest` is not
// possible, from the visits that got there.
class WhyNot {
public:
    WhyNot(const Order &order, const std::string &answer, std::size_t furthest,
           const std::set<pid_t> &pids, const IdRule &rule, const std::vector<Point> &at_furthest)
        : order_(order),
          space_(order),
          pids_(pids),
          rule_(rule),
          at_furthest_(at_furthest),
          answer_(answer),
          furthest_(furthest)
    {
        const std::size_t end = answer.find('\n', furthest);
        line_ =
            answer.substr(furthest, end == std::string::npos ? std::string::npos : end - furthest);
    }

    std::string why() const
    {
        // A write the answer goes on with in full explains the most of it.
        if (auto waits = waits_for(true)) {
            return *waits;
        }
        if (auto broken = broken_up()) {
            return *broken;
        }
        if (auto waits = waits_for(false)) {
            return *waits;
        }
        if (auto middle = from_the_middle()) {
            return *middle;
        }
        if (auto ids = ids_out_of_order()) {
            return *ids;
        }
        return unmatched();
    }

private:
    // Whether the line is the first line of `write`, the IDs renamed as far
    // as `renaming` allows.
    bool begins(std::size_t write, Renaming &renaming) const
    {
        const auto past = match(pieces_of(first_line(order_.writes[write].text), pids_), line_, 0,
                                renaming, &rule_);
        return past && *past == line_.size();
    }

    // A write that could come here and that the line begins, but not all of
    // whose lines come next: they come out together.
    std::optional<std::string> broken_up() const
    {
        for (const Point &visit : at_furthest_) {
            std::optional<std::string> told;
            space_.each_next(visit.state, [&](std::size_t /*slot*/, std::size_t write) {
                const Write &w = order_.writes[write];
                if (told || std::count(w.text.begin(), w.text.end(), '\n') <= 1) {
                    return;
                }
                if (Renaming renaming = visit.renaming; begins(write, renaming)) {
                    told = quoted(line_) + " and the lines after it in a write of " +
                           process_name(order_, w.process) +
                           " come out together, in one write of its buffer; the answer breaks "
                           "them up";
                }
            });
            if (told) {
                return told;
            }
        }
        return std::nullopt;
    }

    // Whether the answer goes on here with all of `write`.
    bool goes_on_with(std::size_t write, Renaming &renaming) const
    {
        return match(pieces_of(order_.writes[write].text, pids_), answer_, furthest_, renaming,
                     &rule_)
            .has_value();
    }

    // A write that the line begins (`whole`: that the answer goes on with in
    // full), which cannot come yet: what it waits for.
    std::optional<std::string> waits_for(bool whole) const
    {
        for (const Point &visit : at_furthest_) {
            for (std::size_t write = 0; write < order_.writes.size(); ++write) {
                Renaming renaming = visit.renaming;
                if (space_.done(visit.state, write) ||
                    !(whole ? goes_on_with(write, renaming) : begins(write, renaming))) {
                    continue;
                }
                // Of the writes it waits for, the same one every time, however
                // the run numbered them: the simplest reason (its own process's
                // order first), then the first by its words.
                std::optional<std::pair<Because, std::string>> simplest;
                for (const std::size_t earlier : order_.writes[write].after) {
                    if (space_.done(visit.state, earlier)) {
                        continue;
                    }
                    std::string who;
                    std::pair told{why_after(order_, earlier, write, who),
                                   rule(order_, earlier, write, [&](const std::string &text) {
                                       return shown(text, renaming);
                                   })};
                    if (!simplest || told < *simplest) {
                        simplest = std::move(told);
                    }
                }
                if (simplest) {
                    return simplest->second;
                }
            }
        }
        return std::nullopt;
    }

    // A write the line would be, but for the process IDs it gives.
    std::optional<std::string> ids_out_of_order() const
    {
        for (const Point &visit : at_furthest_) {
            for (std::size_t write = 0; write < order_.writes.size(); ++write) {
                Renaming renaming = visit.renaming;
                const std::vector<Piece> pieces =
                    pieces_of(first_line(order_.writes[write].text), pids_);
                const auto past = match(pieces, line_, 0, renaming);
                if (!space_.done(visit.state, write) && past && *past == line_.size()) {
                    return quoted(line_) +
                           " gives process IDs out of the order the processes are " +
                           "made in: " + rule_.said();
                }
            }
        }
        return std::nullopt;
    }

    // A line no write can give here: one the run writes fewer times than
    // the answer has it, the start of a line, or none of its lines at all.
    std::string unmatched() const
    {
        std::size_t times = 0;
        std::optional<std::string> longer;
        for (const Write &write : order_.writes) {
            for (std::size_t at = 0; at < write.text.size();) {
                const std::size_t stop = std::min(write.text.find('\n', at), write.text.size());
                const std::string row = write.text.substr(at, stop - at);
                at = stop + 1;
                Renaming renaming =
                    at_furthest_.empty() ? Renaming{} : at_furthest_.front().renaming;
                const auto past = match(pieces_of(row, pids_), line_, 0, renaming, &rule_);
                if (past && *past == line_.size()) {
                    ++times;
                } else if (!longer && !line_.empty() && row.size() > line_.size() &&
                           row.starts_with(line_)) {
                    longer = row;
                }
            }
        }
        if (line_.empty() && times == 0) {
            return "an empty line is no line of this run's output";
        }
        if (times > 0) {
            return quoted(line_) + " comes out " +
                   (times == 1 ? std::string("once") : std::to_string(times) + " times") +
                   " in this run, and the answer has it once more";
        }
        if (longer) {
            return quoted(line_) + " is the start of a line this run writes, " + quoted(*longer) +
                   ", not a whole line";
        }
        if (line_.ends_with('\r')) {
            return quoted(line_) +
                   " ends in a carriage return (\\r), which no line this run "
                   "writes has";
        }
        return quoted(line_) + " is no line of this run's output";
    }

    // A line from the middle of a write: the write's lines come together.
    std::optional<std::string> from_the_middle() const
    {
        for (const Point &visit : at_furthest_) {
            for (std::size_t write = 0; write < order_.writes.size(); ++write) {
                if (space_.done(visit.state, write)) {
                    continue;
                }
                const std::string &text = order_.writes[write].text;
                std::size_t number = 0;
                for (std::size_t at = 0; at < text.size(); ++number) {
                    const std::size_t stop = text.find('\n', at);
                    const std::string row =
                        text.substr(at, stop == std::string::npos ? std::string::npos : stop - at);
                    at = stop == std::string::npos ? text.size() : stop + 1;
                    Renaming renaming = visit.renaming;
                    const auto past = match(pieces_of(row, pids_), line_, 0, renaming, &rule_);
                    if (number > 0 && past && *past == line_.size()) {
                        return quoted(line_) + " is line " + std::to_string(number + 1) +
                               " of a write of " +
                               process_name(order_, order_.writes[write].process) +
                               " that begins with " + quoted(shown(text, renaming)) +
                               ": the lines of one write come out together, in their order";
                    }
                }
            }
        }
        return std::nullopt;
    }

    // `text` with the run's process IDs as `renaming` gives them to the
    // answer, and the others as the process they stand for.
    std::string shown(const std::string &text, const Renaming &renaming) const
    {
        return with_numbers_swapped(text, [&](long number) -> std::optional<std::string> {
            const auto pid = static_cast<pid_t>(number);
            if (pid <= 0 || !pids_.contains(pid)) {
                return std::nullopt;
            }
            const auto named = renaming.to_answer.find(pid);
            return named != renaming.to_answer.end() ? std::to_string(named->second)
                                                     : "<the ID of " + name_of(pid) + ">";
        });
    }

    // The process whose ID `pid` is, by its place.
    std::string name_of(pid_t pid) const
    {
        const auto process = std::find_if(order_.processes.begin(), order_.processes.end(),
                                          [pid](const OrderProcess &p) { return p.pid == pid; });
        return process == order_.processes.end()
                   ? "process " + std::to_string(pid)
                   : process_name(order_,
                                  static_cast<std::size_t>(process - order_.processes.begin()));
    }

    const Order &order_;
    const Space space_;
    const std::set<pid_t> &pids_;
    const IdRule &rule_;
    const std::vector<Point> &at_furthest_;
    const std::string &answer_;
    std::size_t furthest_;
    std::string line_;
};

// The search for an order of the writes that gives the answer, depth
// first; a point's next steps are kept as the writes that match, not as the
// points they lead to: many writes alike would otherwise keep a whole state
// for each, at each depth.
class AnswerSearch {
public:
    AnswerSearch(const Order &order, const std::string &answer,
                 const std::vector<std::vector<Piece>> &pieces, const IdRule &rule)
        : order_(order), answer_(answer), pieces_(pieces), space_(order), rule_(rule)
    {
    }

    // Into `checked`: the order found, or the give-up. Otherwise the search
    // leaves how far it followed the answer, and the points that got there.
    void run(Checked &checked)
    {
        bool over = reached({space_.start(), 0, {}, none, 0}, checked);
        while (!over && !stack_.empty()) {
            Frame &top = stack_.back();
            if (top.steps.empty()) {
                stack_.pop_back();
                continue;
            }
            Step step = std::move(top.steps.back());
            top.steps.pop_back();
            trails_.emplace_back(step.write, top.point.trail);
            Point next{top.point.state, step.past, std::move(step.renaming), trails_.size() - 1,
                       top.point.taken + 1};
            ++next.state[step.slot];
            over = reached(std::move(next), checked);
        }
    }

    std::size_t furthest() const { return furthest_; }
    const std::vector<Point> &at_furthest() const { return at_furthest_; }

private:
    struct Step {
        std::size_t slot, write, past;
        Renaming renaming;
    };
    struct Frame {
        Point point;
        std::vector<Step> steps;  // taken from the back
    };

    // Visits `visit`: true once the search is over (the answer found, or
    // the work too much).
    bool reached(Point visit, Checked &checked)
    {
        if (!seen_.insert({visit.state, visit.offset, visit.renaming}).second) {
            return false;
        }
        if (!budget_.spend(visit.state.size() + 1 + 2 * visit.renaming.to_answer.size())) {
            checked.why = "there are too many ways to try this answer against the run";
            checked.gave_up = true;
            return true;
        }
        if (visit.offset > furthest_) {
            furthest_ = visit.offset;
            at_furthest_.clear();
        }
        if (visit.offset == furthest_ && at_furthest_.size() < 64) {
            at_furthest_.push_back(visit);
        }
        if (visit.taken == order_.writes.size()) {
            if (visit.offset != answer_.size()) {
                return false;
            }
            checked.possible = true;
            for (std::size_t at = visit.trail; at != none; at = trails_[at].second) {
                checked.writes.push_back(trails_[at].first);
            }
            std::reverse(checked.writes.begin(), checked.writes.end());
            return true;
        }
        Frame frame{std::move(visit), {}};
        space_.each_next(frame.point.state, [&](std::size_t slot, std::size_t write) {
            Renaming renaming = frame.point.renaming;
            if (const auto past =
                    match(pieces_[write], answer_, frame.point.offset, renaming, &rule_)) {
                frame.steps.push_back({slot, write, *past, std::move(renaming)});
            }
        });
        stack_.push_back(std::move(frame));
        return false;
    }

    const Order &order_;
    const std::string &answer_;
    const std::vector<std::vector<Piece>> &pieces_;
    const Space space_;
    const IdRule &rule_;
    std::set<std::tuple<State, std::size_t, Renaming>> seen_;
    std::vector<std::pair<std::size_t, std::size_t>> trails_;  // a write, and the trail before it
    std::vector<Frame> stack_;
    Budget budget_;
    std::size_t furthest_ = 0;
    std::vector<Point> at_furthest_;
};

}  // namespace

Checked check(const Order &order, const std::string &answer, std::optional<long> first_pid)
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
    const IdRule rule(order, first_pid);
    AnswerSearch search(order, answer, pieces, rule);
    search.run(checked);
    if (checked.possible || checked.gave_up) {
        return checked;
    }
    const std::size_t furthest = search.furthest();
    // Not possible: the first line past the furthest the answer could be
    // followed, and why it cannot stand there.
    checked.line = line_at(answer, furthest);
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
    checked.why = WhyNot(order, answer, furthest, pids, rule, search.at_furthest()).why();
    return checked;
}

namespace {

// `sequences` interleaved, each interleaving as likely as any other: a
// random arrangement of as many labels of each as it has writes.
std::vector<std::size_t> interleaved(std::vector<std::vector<std::size_t>> &sequences,
                                     std::mt19937_64 &random)
{
    std::vector<std::size_t> labels, out, next(sequences.size(), 0);
    for (std::size_t s = 0; s < sequences.size(); ++s) {
        labels.insert(labels.end(), sequences[s].size(), s);
    }
    std::shuffle(labels.begin(), labels.end(), random);
    out.reserve(labels.size());
    std::transform(labels.begin(), labels.end(), std::back_inserter(out),
                   [&](std::size_t s) { return sequences[s][next[s]++]; });
    return out;
}

// An order of a forest's writes, drawn evenly from them all: a write comes
// before those under it, and what lies under one write, or under none,
// interleaves as randomly as above. Each write's part is kept backwards,
// the write last, so that a long chain is built by appending.
std::vector<std::size_t> random_forest_order(const Order &order, unsigned long seed)
{
    std::mt19937_64 random(seed);
    const std::size_t count = order.writes.size();
    std::vector<std::vector<std::size_t>> under(count + 1);  // the last: the roots'
    std::vector<std::vector<std::size_t>> part(count);
    for (std::size_t w = 0; w < count; ++w) {
        under[order.writes[w].after.empty() ? count : order.writes[w].after.front()].push_back(w);
    }
    // The run's order puts each write after the one it follows.
    const auto backwards = [&](std::size_t at) {
        std::vector<std::vector<std::size_t>> parts;
        parts.reserve(under[at].size());
        std::transform(under[at].begin(), under[at].end(), std::back_inserter(parts),
                       [&](std::size_t w) { return std::move(part[w]); });
        return parts.size() == 1 ? std::move(parts.front()) : interleaved(parts, random);
    };
    for (std::size_t w = count; w-- > 0;) {
        part[w] = backwards(w);
        part[w].push_back(w);
    }
    std::vector<std::size_t> writes = backwards(count);
    std::reverse(writes.begin(), writes.end());
    return writes;
}

}  // namespace

std::optional<std::vector<std::size_t>> random_order(const Order &order, unsigned long seed)
{
    if (order.too_large) {
        return std::nullopt;
    }
    if (order.forest()) {
        return random_forest_order(order, seed);
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

std::string with_exam_ids(const Order &order, const std::string &text, long first)
{
    std::map<pid_t, long> exam;
    for (std::size_t p = 0; p < order.processes.size(); ++p) {
        const OrderProcess &process = order.processes[p];
        if ((p == 0 || process.parent != p) && !exam.contains(process.pid)) {
            exam.emplace(process.pid, first + static_cast<long>(exam.size()));
        }
    }
    return with_numbers_swapped(text, [&exam](long number) -> std::optional<std::string> {
        const auto id = exam.find(static_cast<pid_t>(number));
        return id == exam.end() ? std::nullopt : std::optional(std::to_string(id->second));
    });
}

bool shows_ids(const Order &order)
{
    std::set<pid_t> pids;
    for (const OrderProcess &process : order.processes) {
        pids.insert(process.pid);
    }
    return std::any_of(order.writes.begin(), order.writes.end(), [&](const Write &write) {
        const std::vector<Piece> pieces = pieces_of(write.text, pids);
        return std::any_of(pieces.begin(), pieces.end(),
                           [](const Piece &piece) { return piece.pid != 0; });
    });
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

std::string count_text(const mpz_class &number, bool brief)
{
    const std::string digits = number.get_str();
    if (digits.size() < 10 || digits.front() == '-') {
        return with_commas(number);
    }
    // Three figures, rounded: 9.995e12 is 1.00e13.
    unsigned figures = static_cast<unsigned>(std::stoul(digits.substr(0, 4)) + 5) / 10;
    std::size_t exponent = digits.size() - 1;
    if (figures == 1000) {
        figures = 100;
        ++exponent;
    }
    const std::string three = std::to_string(figures);
    const std::string about =
        "about " + three.substr(0, 1) + "." + three.substr(1) + "e" + std::to_string(exponent);
    return brief ? about : with_commas(number) + " (" + about + ")";
}

}  // namespace forktrace
