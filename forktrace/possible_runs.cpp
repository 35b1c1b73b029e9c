// The possible outputs over several runs of a program: the choices a run
// made (each wait for any child that could have collected another, each
// poll, each orphan's getppid()), and the
// counts and checks over the runs explored, each run's orders together.
#include "possible.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

namespace forktrace {

namespace {

// The choices of a run, found event by event.
class ChoiceFinder {
public:
    void add(const Event &event)
    {
        switch (event.kind) {
            case Event::Kind::start:
                known_[event.pid] = {};
                break;
            case Event::Kind::fork:
                if (event.ok) {
                    made(event);
                }
                break;
            case Event::Kind::reap:
                reaped(event);
                break;
            case Event::Kind::poll:
                if (event.any_child) {
                    polled(event);
                } else {
                    polled_one(event);
                }
                break;
            case Event::Kind::getppid:
                asked(event);
                break;
            case Event::Kind::pipe:
                if (!event.read && !event.released && event.fd > 2) {
                    wrote_into(event);
                }
                break;
            default:
                break;
        }
    }

    // A parent that collects its child lives while the child does: its
    // getppid() gets the parent's ID in every run, and is no choice.
    std::vector<Choice> choices() &&
    {
        std::erase_if(choices_, [&](const Choice &choice) {
            return choice.kind == Choice::Kind::parent &&
                   collected_by_parent_.contains(choice.waiter_pid);
        });
        return std::move(choices_);
    }

private:
    struct Known {
        Place place;
        std::size_t forks = 0;        // the forks it has made
        std::size_t any_reaps = 0;    // the children its waits for any child collected
        std::size_t polls = 0;        // its polls that found none since its last such reap
        std::size_t last_choice = 0;  // from 1, the choice its last such reap made
        std::size_t pipe_writes = 0;  // its writes into pipes of the command's own
    };

    // A write into a pipe after another process's: which went in first is
    // a choice.
    void wrote_into(const Event &write)
    {
        Known &writer = known_[write.pid];
        const std::size_t number = writer.pipe_writes++;
        if (!write.error.empty()) {
            return;  // nothing went in
        }
        const auto last = last_write_.find(write.pipe);
        if (last != last_write_.end() && last->second.first != write.pid &&
            known_.contains(last->second.first)) {
            const pid_t first = last->second.first;
            choices_.push_back({known_[first].place,
                                last->second.second,
                                writer.place,
                                {known_[first].place},
                                first,
                                write.pid,
                                {write.pid},
                                std::nullopt,
                                Choice::Kind::pipe_first,
                                number});
        }
        last_write_[write.pipe] = {write.pid, number};
    }

    void made(const Event &fork)
    {
        Known &maker = known_[fork.pid];
        Known child{maker.place};
        child.place.push_back(maker.forks++);
        known_[fork.child] = std::move(child);
        const pid_t parent = fork.parent.value_or(fork.pid);
        not_collected_[parent].push_back(fork.child);
        parent_of_[fork.child] = parent;
    }

    // A wait's choice: `child` (0: none) collected as its `number`th, where
    // the children not collected could have been.
    Choice choice_of(const Event &event, pid_t child, std::size_t number)
    {
        Choice choice{known_[event.pid].place,
                      number,
                      child != 0 ? known_[child].place : Place{},
                      {},
                      event.pid,
                      child,
                      {},
                      event.site,
                      event.kind == Event::Kind::poll ? Choice::Kind::poll : Choice::Kind::wait};
        for (const pid_t other : not_collected_[event.pid]) {
            choice.others.push_back(known_[other].place);
            choice.other_pids.push_back(other);
        }
        return choice;
    }

    void reaped(const Event &reap)
    {
        std::erase(not_collected_[reap.pid], reap.child);
        if (const auto parent = parent_of_.find(reap.child);
            parent != parent_of_.end() && parent->second == reap.pid) {
            collected_by_parent_.insert(reap.child);
        }
        if (!reap.any_child || !known_.contains(reap.child)) {
            return;
        }
        Known &waiter = known_[reap.pid];
        waiter.last_choice = 0;
        if (!not_collected_[reap.pid].empty()) {
            choices_.push_back(choice_of(reap, reap.child, waiter.any_reaps));
            waiter.last_choice = choices_.size();
        }
        ++waiter.any_reaps;
        waiter.polls = 0;
    }

    // A poll that found a child came just after its reap: had the child
    // ended later, it would have found none. One that found none is a
    // choice the first time since the last reap.
    void polled(const Event &poll)
    {
        Known &waiter = known_[poll.pid];
        if (poll.child != 0 && known_.contains(poll.child)) {
            if (waiter.last_choice == 0) {
                choices_.push_back(choice_of(poll, poll.child, waiter.any_reaps - 1));
                waiter.last_choice = choices_.size();
            }
            Choice &choice = choices_[waiter.last_choice - 1];
            choice.kind = Choice::Kind::poll;
            choice.others.emplace_back();
            choice.other_pids.push_back(0);
        } else if (poll.child == 0 && waiter.polls++ == 0 && !not_collected_[poll.pid].empty()) {
            choices_.push_back(choice_of(poll, 0, waiter.any_reaps));
        }
    }

    // A first poll for one child by its ID: it found the child ended, or not.
    void polled_one(const Event &poll)
    {
        if (!known_.contains(poll.child) || !polled_ones_.insert({poll.pid, poll.child}).second) {
            return;
        }
        choices_.push_back({known_[poll.pid].place,
                            poll.ok ? 0U : 1U,
                            known_[poll.child].place,
                            {},
                            poll.pid,
                            poll.child,
                            {},
                            poll.site,
                            Choice::Kind::poll_one});
    }

    // A process's first getppid(): its parent's ID, or another's.
    void asked(const Event &ask)
    {
        const auto parent = parent_of_.find(ask.pid);
        if (parent == parent_of_.end() || !asked_.insert(ask.pid).second) {
            return;
        }
        const bool got_it = ask.child == parent->second;
        choices_.push_back({known_[ask.pid].place,
                            0,
                            got_it ? Choice::got_parent : Place{},
                            {got_it ? Place{} : Choice::got_parent},
                            ask.pid,
                            ask.child,
                            {got_it ? 0 : parent->second},
                            std::nullopt,
                            Choice::Kind::parent});
    }

    std::unordered_map<pid_t, Known> known_;             // the latest process of each ID
    std::map<pid_t, std::vector<pid_t>> not_collected_;  // each one's children, as made
    std::unordered_map<pid_t, pid_t> parent_of_;
    std::set<pid_t> asked_;                          // those whose first getppid() is told
    std::set<std::pair<pid_t, pid_t>> polled_ones_;  // a waiter and the child it polled for
    std::set<pid_t> collected_by_parent_;
    std::vector<Choice> choices_;
    // Each pipe's last write: its process and its number among the process's.
    std::map<std::uint64_t, std::pair<pid_t, std::size_t>> last_write_;
};

}  // namespace

std::vector<Choice> choices_of(const std::vector<Event> &events)
{
    ChoiceFinder finder;
    for (const Event &event : events) {
        finder.add(event);
    }
    return std::move(finder).choices();
}

namespace {

// A write as another run names it too: its process's place, its number
// among that process's writes, and its text.
std::string key_of(const Order &order, const Write &write)
{
    std::string key;
    for (const std::size_t fork : order.processes[write.process].path) {
        key += std::to_string(fork) + ".";
    }
    return key + "#" + std::to_string(write.number) + ":" + write.text;
}

std::map<std::string, std::size_t> keyed(const Order &order)
{
    std::map<std::string, std::size_t> keys;
    for (std::size_t w = 0; w < order.writes.size(); ++w) {
        keys[key_of(order, order.writes[w])] = w;
    }
    return keys;
}

// The orders that each of `runs` allows, runs whose writes are the same:
// the orders of all their edges together (none, where they make a cycle).
std::optional<mpz_class> common_orders(const std::vector<const Order *> &runs)
{
    if (runs.size() == 1) {
        return count_orders(*runs.front());
    }
    Order merged = *runs.front();
    const std::map<std::string, std::size_t> keys = keyed(merged);
    for (std::size_t r = 1; r < runs.size(); ++r) {
        const Order &other = *runs[r];
        for (const Write &write : other.writes) {
            Write &mine = merged.writes[keys.at(key_of(other, write))];
            for (const std::size_t before : write.after) {
                mine.after.push_back(keys.at(key_of(other, other.writes[before])));
            }
        }
    }
    return orders_by_downsets(merged);
}

// The orders of runs whose writes are the same, together: by inclusion and
// exclusion over the sets of them; nothing past 10 runs, or a count not known.
constexpr std::size_t most_alike = 10;
std::optional<mpz_class> orders_together(const std::vector<const Order *> &alike)
{
    if (alike.size() > most_alike) {
        return std::nullopt;
    }
    mpz_class total = 0;
    for (std::size_t set = 1; set < (std::size_t{1} << alike.size()); ++set) {
        std::vector<const Order *> chosen;
        for (std::size_t r = 0; r < alike.size(); ++r) {
            if ((set >> r & 1U) != 0) {
                chosen.push_back(alike[r]);
            }
        }
        const std::optional<mpz_class> common = common_orders(chosen);
        if (!common) {
            return std::nullopt;
        }
        total += chosen.size() % 2 == 1 ? *common : mpz_class(-*common);
    }
    return total;
}

// Whether an output tells its writes: no two writes of the runs with the
// same text but another name, and no text the start of another.
bool outputs_tell_writes(const std::vector<Order> &orders)
{
    std::map<std::string, std::string> key_of_text;
    for (const Order &order : orders) {
        for (const Write &write : order.writes) {
            const auto [at, fresh] = key_of_text.try_emplace(write.text, key_of(order, write));
            if (!fresh && at->second != key_of(order, write)) {
                return false;
            }
        }
    }
    for (auto a = key_of_text.begin(); a != key_of_text.end(); ++a) {
        const auto b = std::next(a);
        if (b != key_of_text.end() && b->first.starts_with(a->first)) {
            return false;  // in sorted order, a text's extensions follow it
        }
    }
    return true;
}

// The distinct outputs of the runs together, listed, where each run's
// (`each` of them, counted) can be listed whole; nothing otherwise.
constexpr std::size_t most_listed = 20000;
std::optional<mpz_class> outputs_listed(const std::vector<Order> &orders,
                                        const std::vector<std::optional<mpz_class>> &each)
{
    std::set<std::string> texts;
    for (std::size_t r = 0; r < orders.size(); ++r) {
        const Order &order = orders[r];
        if (!each[r] || *each[r] > most_listed) {
            return std::nullopt;
        }
        const std::size_t count = each[r]->get_ui();
        const auto listed = list_outputs(order, count);
        if (listed.size() != count) {
            return std::nullopt;
        }
        for (const auto &writes : listed) {
            std::string text;
            for (const std::size_t w : writes) {
                text += order.writes[w].text;
            }
            texts.insert(std::move(text));
        }
    }
    return mpz_class(texts.size());
}

// An answer checked where what orders the writes is not all followed: the
// run whose own output it is, or not known.
CheckedRuns check_seen(const std::vector<Order> &orders, const std::string &answer,
                       std::optional<long> first_pid)
{
    for (std::size_t r = 0; r < orders.size(); ++r) {
        Order own = orders[r];
        for (std::size_t w = 1; w < own.writes.size(); ++w) {
            own.writes[w].after = {w - 1};  // the run's order, and no other
        }
        if (Checked checked = check(own, answer, first_pid); checked.possible) {
            return {std::move(checked), r};
        }
    }
    Checked unknown;
    unknown.gave_up = true;
    unknown.why =
        "what orders this command's writes is not all followed, and no run made "
        "gave it";
    return {std::move(unknown), 0};
}

}  // namespace

Union count_union(const std::vector<Order> &orders)
{
    Union together;
    mpz_class most_orders = 0, most_outputs = 0;
    std::vector<std::optional<mpz_class>> outputs_of;  // each run's
    for (const Order &order : orders) {
        const std::optional<mpz_class> each = count_orders(order);
        outputs_of.push_back(count_outputs(order, each).count);
        most_orders = std::max(most_orders, each.value_or(0));
        most_outputs = std::max(most_outputs, outputs_of.back().value_or(0));
    }
    // Runs whose writes are the same share orders; others share none.
    std::map<std::set<std::string>, std::vector<const Order *>> by_writes;
    for (const Order &order : orders) {
        std::set<std::string> keys;
        for (const Write &write : order.writes) {
            keys.insert(key_of(order, write));
        }
        by_writes[keys].push_back(&order);
    }
    mpz_class all = 0;
    bool known =
        std::none_of(orders.begin(), orders.end(), [](const Order &o) { return o.too_large; });
    for (const auto &[keys, alike] : by_writes) {
        const std::optional<mpz_class> these = known ? orders_together(alike) : std::nullopt;
        known = known && these.has_value();
        all += these.value_or(0);
    }
    if (known) {
        together.orders = all;
    } else {
        together.orders = most_orders > 0 ? std::optional<mpz_class>(most_orders) : std::nullopt;
        together.orders_at_least = true;
        together.unknown_why = "the runs' orders are too many to put together exactly";
    }
    if (known && outputs_tell_writes(orders)) {
        together.outputs = all;
    } else if (const auto listed = outputs_listed(orders, outputs_of)) {
        together.outputs = listed;
    } else {
        // No run's outputs counted: a lower bound of 0 tells nothing.
        together.outputs = most_outputs > 0 ? std::optional<mpz_class>(most_outputs) : std::nullopt;
        together.outputs_at_least = true;
        together.unknown_why = "the runs' outputs are too many to put together exactly";
    }
    return together;
}

namespace {

CheckedRuns check_as_given(const std::vector<Order> &orders, const std::string &answer,
                           std::optional<long> first_pid)
{
    if (std::any_of(orders.begin(), orders.end(),
                    [](const Order &order) { return !order.unfollowed.empty(); })) {
        return check_seen(orders, answer, first_pid);
    }
    CheckedRuns best, gave_up;
    for (std::size_t r = 0; r < orders.size(); ++r) {
        Checked checked = check(orders[r], answer, first_pid);
        if (checked.possible) {
            return {std::move(checked), r};
        }
        if (checked.gave_up) {
            gave_up = {std::move(checked), r};
        } else if (r == 0 || checked.line > best.checked.line ||
                   (checked.line == best.checked.line && checked.why < best.checked.why)) {
            // Of the runs that follow it as far, the same one's reason every
            // time, whichever run the timing made first.
            best = {std::move(checked), r};
        }
    }
    // One run that could not be worked through leaves the answer unknown.
    return gave_up.checked.gave_up ? gave_up : best;
}

// An answer as it stands, or with the newline its last line lacks.
CheckedRuns check_line_ends(const std::vector<Order> &orders, const std::string &answer,
                            std::optional<long> first_pid)
{
    CheckedRuns as_given = check_as_given(orders, answer, first_pid);
    if (as_given.checked.possible || answer.empty() || answer.back() == '\n') {
        return as_given;
    }
    CheckedRuns ended = check_as_given(orders, answer + "\n", first_pid);
    if (!ended.checked.possible && (ended.checked.gave_up || as_given.checked.gave_up ||
                                    ended.checked.line <= as_given.checked.line)) {
        return as_given;
    }
    ended.checked.newline_added = true;
    return ended;
}

}  // namespace

CheckedRuns check_runs(const std::vector<Order> &orders, const std::string &answer,
                       std::optional<long> first_pid)
{
    // Typed on Windows: its lines end in "\r\n", where the program's end in
    // "\n" alone.
    const bool writes_returns = std::any_of(orders.begin(), orders.end(), [](const Order &order) {
        return std::any_of(order.writes.begin(), order.writes.end(), [](const Write &write) {
            return write.text.find('\r') != std::string::npos;
        });
    });
    if (writes_returns || answer.find("\r\n") == std::string::npos) {
        return check_line_ends(orders, answer, first_pid);
    }
    std::string read;
    for (std::size_t at = 0; at < answer.size(); ++at) {
        if (answer.compare(at, 2, "\r\n") != 0) {
            read += answer[at];
        }
    }
    CheckedRuns checked = check_line_ends(orders, read, first_pid);
    checked.checked.crlf_read = true;
    return checked;
}

std::string read_as(const Checked &checked)
{
    std::string said;
    if (checked.crlf_read) {
        said += ", its Windows line ends (\\r\\n) read as \\n";
    }
    if (checked.newline_added) {
        said += ", with the newline that its last line lacks";
    }
    return said;
}

namespace {

// How each process of a run ended, by its place: "code 0", "signal 14".
std::map<Place, std::string> ends_by_place(const std::vector<Event> &events, const Order &order)
{
    std::unordered_map<pid_t, const Place *> places;
    for (const OrderProcess &process : order.processes) {
        places.emplace(process.pid, &process.path);
    }
    std::map<Place, std::string> ends;
    for (const Event &event : events) {
        const auto place = places.find(event.pid);
        if (event.kind == Event::Kind::exit && place != places.end()) {
            ends[*place->second] =
                event.signal ? "was killed by " + signal_text(*event.signal)
                             : "exited with code " + std::to_string(event.code.value_or(0));
        }
    }
    return ends;
}

}  // namespace

std::optional<std::string> ended_otherwise(const std::vector<Event> &followed,
                                           const std::vector<Event> &steered)
{
    const Order order = order_of(steered);
    const std::map<Place, std::string> before = ends_by_place(followed, order_of(followed));
    const std::map<Place, std::string> now = ends_by_place(steered, order);
    for (std::size_t p = 0; p < order.processes.size(); ++p) {
        const auto was = before.find(order.processes[p].path);
        const auto is = now.find(order.processes[p].path);
        if (was != before.end() && is != now.end() && was->second != is->second) {
            return process_name(order, p) + " " + is->second + ", where in the first run it " +
                   was->second;
        }
    }
    return std::nullopt;
}

}  // namespace forktrace
