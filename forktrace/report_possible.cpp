// --possible, --list and --check: which outputs the command could have
// printed, from the order of this run's writes: how many orders and distinct
// outputs, some of them, and whether an answer is one of them, as text or as
// one JSON object.
#include "history.hpp"
#include "possible.hpp"

#include <map>
#include <numeric>
#include <set>

namespace forktrace {
namespace {

void put(std::FILE *out, const std::string &text)
{
    static_cast<void>(std::fwrite(text.data(), 1, text.size(), out));
}

std::size_t lines_of(const std::string &text) { return count_lines(text); }

std::size_t lines_of(const Order &order)
{
    std::string all;
    for (const Write &write : order.writes) {
        all += write.text;
    }
    return lines_of(all);
}

// "these 30 lines" where each write is a line, else "these 16 writes (64 lines)".
std::string these(const Order &order)
{
    const std::size_t lines = lines_of(order);
    const std::size_t writes = order.writes.size();
    const bool one_line_each =
        std::all_of(order.writes.begin(), order.writes.end(),
                    [](const Write &w) { return w.text.ends_with('\n') && lines_of(w.text) == 1; });
    if (one_line_each) {
        return "these " + std::to_string(writes) + (writes == 1 ? " line" : " lines");
    }
    return "these " + std::to_string(writes) + (writes == 1 ? " write" : " writes") + " (" +
           std::to_string(lines) + (lines == 1 ? " line)" : " lines)");
}

std::string text_of(const Order &order, const std::vector<std::size_t> &writes)
{
    std::string text;
    for (const std::size_t w : writes) {
        text += order.writes[w].text;
    }
    return text;
}

// The writes of an order as the trace numbers them: "#3 (4570)".
// The writes by number, and where they are many, the first and last few.
std::string writes_text(const Order &order, const std::vector<std::size_t> &writes)
{
    constexpr std::size_t first = 12, last = 3;
    std::string out;
    for (std::size_t i = 0; i < writes.size(); ++i) {
        if (i == first && writes.size() > first + last + 1) {
            out += ", … " + std::to_string(writes.size() - first - last) + " more …";
            i = writes.size() - last - 1;
            continue;
        }
        const Write &write = order.writes[writes[i]];
        out += (out.empty() ? "" : ", ") + std::string("#") + std::to_string(writes[i] + 1) + " (" +
               short_place_name(order.processes[write.process].path) + ")";
    }
    return out;
}

std::string json_strings(const std::vector<std::string> &texts)
{
    std::string out = "[";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        out += (i == 0 ? "" : ",") + json_string(texts[i]);
    }
    return out + "]";
}

std::string json_numbers(const std::vector<std::size_t> &writes)
{
    std::string out = "[";
    for (std::size_t i = 0; i < writes.size(); ++i) {
        out += (i == 0 ? "" : ",") + std::to_string(writes[i] + 1);
    }
    return out + "]";
}

}  // namespace

std::string orders_sentence(const Order &order, bool brief)
{
    const std::optional<mpz_class> orders = count_orders(order);
    if (!orders || *orders <= 1) {
        return "";
    }
    return "This run is one of " + count_text(*orders, brief) + " possible orders of " +
           these(order) + ".";
}

namespace {

// What the runs explored come to, for both formats.
struct Summary {
    std::vector<Order> orders;  // of each run; the first is the run shown
    std::vector<std::string> assumptions, unexplored, unfollowed;
    std::optional<mpz_class> orders_count, outputs_count;
    bool orders_at_least = false, outputs_at_least = false;
    std::string outputs_unknown;
    // Listed: each output as its run and its writes, by text.
    std::vector<std::pair<std::size_t, std::vector<std::size_t>>> listed;
    bool own = false;  // nothing could be listed: the run's own order stands for them
    std::optional<CheckedRuns> checked;
    bool proven = true;             // every choice was taken each way: "not possible" is proven
    std::optional<long> first_pid;  // listed with an exam's process IDs

    // The text of `writes` of run `run`, as it is listed.
    std::string listed_text(std::size_t run, const std::vector<std::size_t> &writes) const
    {
        const std::string text = text_of(orders[run], writes);
        return first_pid ? with_exam_ids(orders[run], text, *first_pid) : text;
    }
};

std::vector<std::string> assumptions_of(const Runs &runs, const Order &order,
                                        std::optional<long> first_pid)
{
    const auto any = [&runs](Event::Kind kind) {
        return std::any_of(runs.events.begin(), runs.events.end(), [kind](const auto &run) {
            return std::any_of(run.begin(), run.end(),
                               [kind](const Event &event) { return event.kind == kind; });
        });
    };
    // What orders the writes, as far as this command uses it.
    std::vector<std::string> orderers{"program order", "forks",
                                      any(Event::Kind::saw_end)
                                          ? "the waits that reaped a child or saw it end"
                                          : "the waits that reaped a child"};
    if (any(Event::Kind::pipe)) {
        orderers.emplace_back("the reads from pipes");
    }
    if (any(Event::Kind::send)) {
        orderers.emplace_back("the signals sent and caught");
    }
    std::string ordered = "only " + orderers.front();
    for (std::size_t i = 1; i < orderers.size(); ++i) {
        ordered += (i + 1 == orderers.size() ? " and " : ", ") + orderers[i];
    }
    std::vector<std::string> assumptions{
        "each write to the output is one unit: its bytes come out together",
        ordered +
            " order the writes; sleeps, the scheduler and an orphan's new parent order nothing"};
    const bool elsewhere = std::any_of(runs.events.begin(), runs.events.end(), [](const auto &run) {
        return std::any_of(run.begin(), run.end(), [](const Event &event) {
            return event.kind == Event::Kind::write && event.stream != Stream::output;
        });
    });
    if (elsewhere) {
        assumptions.emplace_back(
            "this command's processes also write to pipes or files, through which they may "
            "talk: fewer orders may be possible");
    }
    if (first_pid) {
        assumptions.push_back("the answer's process IDs are an exam's: the command is " +
                              std::to_string(*first_pid) +
                              ", and each process made takes the next number");
    } else if (shows_ids(order)) {
        assumptions.emplace_back(
            "process IDs grow in the order processes are made: an answer may give other IDs than "
            "this run's, one for one, as long as each process's ID stays smaller than its "
            "children's, and than those of the processes its parent makes after it");
    }
    assumptions.insert(assumptions.end(), order.assumptions.begin(), order.assumptions.end());
    return assumptions;
}

// Up to `most` outputs of the runs together, each text once, by text.
void list_together(Summary &summary, std::size_t most)
{
    std::map<std::string, std::pair<std::size_t, std::vector<std::size_t>>> by_text;
    for (std::size_t r = 0; r < summary.orders.size(); ++r) {
        for (auto &writes : list_outputs(summary.orders[r], most)) {
            by_text.try_emplace(summary.listed_text(r, writes), r, std::move(writes));
        }
    }
    for (auto &[text, listed] : by_text) {
        if (summary.listed.size() < most) {
            summary.listed.push_back(std::move(listed));
        }
    }
    const Order &order = summary.orders.front();
    summary.own = most > 0 && summary.listed.empty() && !order.too_large;
    if (summary.own) {
        std::vector<std::size_t> writes(order.writes.size());
        std::iota(writes.begin(), writes.end(), std::size_t{0});
        summary.listed.emplace_back(0, std::move(writes));
    }
}

// Up to `most` outputs the runs gave, each text once, by text: where what
// orders the writes is not all followed, these alone are known possible.
void list_seen(Summary &summary, std::size_t most)
{
    std::map<std::string, std::pair<std::size_t, std::vector<std::size_t>>> by_text;
    for (std::size_t r = 0; r < summary.orders.size(); ++r) {
        std::vector<std::size_t> writes(summary.orders[r].writes.size());
        std::iota(writes.begin(), writes.end(), std::size_t{0});
        by_text.try_emplace(summary.listed_text(r, writes), r, std::move(writes));
    }
    for (auto &[text, listed] : by_text) {
        if (summary.listed.size() < most) {
            summary.listed.push_back(std::move(listed));
        }
    }
}

Summary summarize(const Runs &runs, const PossibleOptions &options)
{
    Summary summary;
    std::set<std::string> unexplored, unfollowed;
    for (const auto &events : runs.events) {
        summary.orders.push_back(order_of(events));
        unexplored.insert(summary.orders.back().unexplored.begin(),
                          summary.orders.back().unexplored.end());
        unfollowed.insert(summary.orders.back().unfollowed.begin(),
                          summary.orders.back().unfollowed.end());
    }
    summary.unfollowed.assign(unfollowed.begin(), unfollowed.end());
    const Order &order = summary.orders.front();
    summary.first_pid = options.first_pid;
    summary.assumptions = assumptions_of(runs, order, options.first_pid);
    summary.unexplored.assign(unexplored.begin(), unexplored.end());
    if (!runs.complete) {
        summary.unexplored.push_back(
            "only " + std::to_string(runs.tried) +
            " runs were made (--runs=" + std::to_string(runs.budget) +
            "): some choices were not steered each way they could have gone");
    }
    if (runs.gave_up) {
        summary.unexplored.emplace_back(
            "a run could not be steered to a choice (what it held stopped the others, a process "
            "slept or ran on, or the run went another way), so whether that choice can be taken "
            "is not known");
    }
    summary.proven = summary.unexplored.empty() && summary.unfollowed.empty();
    if (!summary.unfollowed.empty()) {
        summary.outputs_unknown = "what orders the writes is not all followed";
    } else if (summary.orders.size() == 1) {
        summary.orders_count = count_orders(order);
        const Outputs outputs = count_outputs(order, summary.orders_count);
        summary.outputs_count = outputs.count;
        summary.outputs_unknown = outputs.unknown_why;
    } else {
        const Union together = count_union(summary.orders);
        summary.orders_count = together.orders;
        summary.outputs_count = together.outputs;
        summary.orders_at_least = together.orders_at_least;
        summary.outputs_at_least = together.outputs_at_least;
    }
    summary.orders_at_least = summary.orders_at_least || !summary.proven;
    summary.outputs_at_least = summary.outputs_at_least || !summary.proven;
    if (options.list && summary.unfollowed.empty()) {
        list_together(summary, *options.list);
    } else if (options.list) {
        list_seen(summary, *options.list);
    }
    if (options.answer) {
        summary.checked = check_runs(summary.orders, *options.answer, options.first_pid);
    }
    return summary;
}

// 0 when the answer is possible or none was given; 1 when it is proven
// impossible; 2 when that cannot be told.
int status_of(const Summary &summary)
{
    if (!summary.checked || summary.checked->checked.possible) {
        return 0;
    }
    return summary.checked->checked.gave_up || !summary.proven ? 2 : 1;
}

std::string choice_kind(Choice::Kind kind)
{
    switch (kind) {
        case Choice::Kind::wait:
            return "\"wait\"";
        case Choice::Kind::poll:
            return "\"poll\"";
        case Choice::Kind::parent:
            return "\"getppid\"";
        case Choice::Kind::poll_one:
            return "\"poll_for_one\"";
        case Choice::Kind::pipe_first:
            return "\"pipe\"";
    }
    return "";
}

// A child's PID, or null for none: a poll that found, or could have found,
// no child ended.
std::string pid_json(pid_t pid) { return pid == 0 ? "null" : std::to_string(pid); }

std::string json_runs(const Runs &runs)
{
    std::string json = "[";
    for (std::size_t r = 0; r < runs.choices.size(); ++r) {
        json += (r == 0 ? "{" : ",{") + std::string("\"choices\":[");
        for (std::size_t c = 0; c < runs.choices[r].size(); ++c) {
            const Choice &choice = runs.choices[r][c];
            json += (c == 0 ? "{" : ",{") + std::string("\"waiter\":") +
                    std::to_string(choice.waiter_pid) +
                    ",\"collected\":" + pid_json(choice.reaped_pid) + ",\"could_have\":[";
            for (std::size_t o = 0; o < choice.other_pids.size(); ++o) {
                json += (o == 0 ? "" : ",") + pid_json(choice.other_pids[o]);
            }
            json += std::string("],\"kind\":") + choice_kind(choice.kind);
            if (choice.site) {
                json += ",\"site\":" + json_string(*choice.site);
            }
            json += "}";
        }
        json += "]}";
    }
    return json + "]";
}

std::string count_json(const char *name, const std::optional<mpz_class> &count, bool at_least)
{
    return ",\"" + std::string(name) + "\":" + (count ? "\"" + count->get_str() + "\"" : "null") +
           ",\"" + name + "_exact\":" + (count && !at_least ? "true" : "false");
}

void write_json(std::FILE *out, const Runs &runs, const Summary &summary,
                const PossibleOptions &options)
{
    const Order &order = summary.orders.front();
    std::string json = "{\"writes\":" + std::to_string(order.writes.size()) +
                       ",\"lines\":" + std::to_string(lines_of(order)) +
                       count_json("orders", summary.orders_count, summary.orders_at_least) +
                       count_json("outputs", summary.outputs_count, summary.outputs_at_least);
    if (!summary.outputs_count) {
        json += ",\"outputs_unknown\":" + json_string(summary.outputs_unknown);
    }
    json += ",\"assumptions\":" + json_strings(summary.assumptions) +
            ",\"unexplored\":" + json_strings(summary.unexplored) +
            ",\"unfollowed\":" + json_strings(summary.unfollowed) +
            ",\"runs_explored\":" + std::to_string(runs.tried) +
            ",\"complete\":" + (runs.complete ? "true" : "false") + ",\"runs\":" + json_runs(runs);
    if (options.list) {
        std::vector<std::string> texts;
        for (const auto &[run, writes] : summary.listed) {
            texts.push_back(summary.listed_text(run, writes));
        }
        json += ",\"list\":" + json_strings(texts);
    }
    if (summary.checked) {
        const Checked &checked = summary.checked->checked;
        const bool known = checked.possible || status_of(summary) == 1;
        json += ",\"check\":{\"possible\":" + std::string(checked.possible ? "true" : "false") +
                ",\"known\":" + (known ? "true" : "false") +
                ",\"run\":" + std::to_string(summary.checked->run + 1);
        if (checked.newline_added) {
            json += ",\"newline_added\":true";
        }
        if (checked.crlf_read) {
            json += ",\"crlf_read\":true";
        }
        if (checked.possible) {
            json += ",\"writes\":" + json_numbers(checked.writes);
        } else {
            json += ",\"line\":" + std::to_string(checked.line) +
                    ",\"why\":" + json_string(checked.why);
        }
        json += "}";
    }
    put(out, json + "}\n");
}

// The processes of a run by their places, "the 1st child of the command",
// as its order has them: the names a learner can find in the program, where the
// run's own IDs mean nothing to them.
class Names {
public:
    explicit Names(const Order &order)
    {
        for (const OrderProcess &process : order.processes) {
            places_.emplace(process.pid, process.path);
        }
    }
    std::string operator()(pid_t pid) const
    {
        const auto found = places_.find(pid);
        return found != places_.end() ? place_name(found->second)
                                      : "process " + std::to_string(pid);
    }
    std::string list(const std::vector<pid_t> &pids, const char *joint) const
    {
        std::string out;
        for (std::size_t i = 0; i < pids.size(); ++i) {
            out += (i == 0 ? "" : i + 1 == pids.size() ? joint : ", ") + (*this)(pids[i]);
        }
        return out;
    }

private:
    std::map<pid_t, Place> places_;
};

// "the wait at exam.c:9 of the command collected its 1st child", "the poll …
// found none"
std::string made_text(const Choice &choice, const Names &names)
{
    const std::string of = " of " + names(choice.waiter_pid);
    const std::string got = names(choice.reaped_pid);
    switch (choice.kind) {
        case Choice::Kind::wait:
            return "the wait" + at_site(choice.site) + of + " collected " + got;
        case Choice::Kind::poll:
            return "the poll" + at_site(choice.site) + of +
                   (choice.reaped_pid == 0 ? " found none ended" : " found " + got + " ended");
        case Choice::Kind::parent:
            return "getppid()" + of +
                   (choice.reaped.empty() ? " got another's ID, its parent having ended"
                                          : " got its parent's ID");
        case Choice::Kind::poll_one:
            return "the poll" + at_site(choice.site) + of + " for " + got +
                   (choice.number == 0 ? " found it ended" : " found it not yet ended");
        case Choice::Kind::pipe_first:
            return "a write into a pipe" + of + " went in before " + got + "'s";
    }
    return "";
}

// "…; it could have collected the 2nd child of the command had that ended first"
std::string choice_text(const Choice &choice, const Names &names)
{
    if (choice.kind == Choice::Kind::poll_one) {
        return made_text(choice, names) + (choice.number == 0
                                               ? "; had it ended later, not yet"
                                               : "; had it ended sooner, it would have");
    }
    if (choice.kind == Choice::Kind::pipe_first) {
        return made_text(choice, names) + "; " + names(choice.reaped_pid) +
               "'s could have gone in first";
    }
    if (choice.kind == Choice::Kind::parent) {
        return made_text(choice, names) + (choice.reaped.empty()
                                               ? "; asked sooner, it would have got its parent's"
                                               : "; had its parent ended first, it would have got "
                                                 "another's");
    }
    std::vector<pid_t> children = choice.other_pids;
    const bool or_none = std::erase(children, 0) != 0;
    const bool poll = choice.kind == Choice::Kind::poll;
    std::string text = made_text(choice, names) + "; it could have ";
    if (!children.empty()) {
        text += std::string(poll ? "found " : "collected ") + names.list(children, " or ") +
                (choice.reaped_pid == 0 ? " had it ended sooner" : " had that ended first");
    }
    if (or_none) {
        text += std::string(children.empty() ? "" : ", or ") + "found none had " +
                names(choice.reaped_pid) + " ended later";
    }
    return text;
}

std::string counts_text(const Summary &summary)
{
    const Order &order = summary.orders.front();
    std::string text = std::to_string(order.writes.size()) +
                       (order.writes.size() == 1 ? " write" : " writes") + " to the output, " +
                       std::to_string(lines_of(order)) +
                       (lines_of(order) == 1 ? " line: " : " lines: ");
    const char *bound = summary.orders_at_least ? "at least " : "";
    if (!summary.unfollowed.empty()) {
        return text +
               "how many orders and outputs are possible is not known: " + summary.outputs_unknown +
               ".\n";
    }
    if (summary.orders_count) {
        text += bound + count_text(*summary.orders_count) +
                (*summary.orders_count == 1 ? " possible order" : " possible orders");
    } else {
        text += "too many orders to count exactly";
    }
    if (summary.outputs_count) {
        text += ", " + std::string(summary.outputs_at_least ? "at least " : "") +
                count_text(*summary.outputs_count) +
                (*summary.outputs_count == 1 ? " distinct output.\n" : " distinct outputs.\n");
    } else {
        text += "; how many distinct outputs is not known: " + summary.outputs_unknown + ".\n";
    }
    return text;
}

std::string runs_text(const Runs &runs, const Summary &summary)
{
    const Order &order = summary.orders.front();
    std::string text;
    if (runs.events.size() == 1 && summary.orders_count && *summary.orders_count > 1) {
        text += orders_sentence(order) + "\n";
    } else if (runs.events.size() == 1 && summary.orders_count && summary.proven) {
        text += "Only this order is possible: every write waits for the one before it.\n";
    }
    if (!runs.choices.front().empty()) {
        text += "This run's choices, which timing made:\n";
        const Names names(summary.orders.front());
        for (const Choice &choice : runs.choices.front()) {
            text += "  - " + choice_text(choice, names) + "\n";
        }
        const std::size_t different = runs.events.size();
        text += std::to_string(different) +
                (different == 1 ? " different run" : " different runs") +
                " came of steering each choice each other way it could have gone (" +
                std::to_string(runs.tried) + (runs.tried == 1 ? " run" : " runs") +
                " made); the counts are of them all.\n";
    }
    text += "Assumed:\n";
    for (const std::string &assumption : summary.assumptions) {
        text += "  - " + assumption + "\n";
    }
    if (!summary.unfollowed.empty()) {
        text +=
            "Not followed, so no count is known, only an output a run gave is called "
            "possible, and none is called impossible:\n";
        for (const std::string &why : summary.unfollowed) {
            text += "  - " + why + "\n";
        }
    }
    if (!summary.unexplored.empty()) {
        text += "Not tried, so other outputs may be possible and none is called impossible:\n";
        for (const std::string &choice : summary.unexplored) {
            text += "  - " + choice + "\n";
        }
    }
    return text;
}

std::string list_text(const Summary &summary, std::size_t most)
{
    const std::size_t count = summary.listed.size();
    const bool every = summary.outputs_count && *summary.outputs_count == count;
    std::string text;
    if (!summary.unfollowed.empty()) {
        text += "\nThe " + std::to_string(count) + (count == 1 ? " output" : " outputs") +
                " the runs gave, by text (others may be possible):\n";
    } else if (every && summary.outputs_at_least) {
        text += "\nThe " + std::to_string(count) + (count == 1 ? " output" : " outputs") +
                " of the runs explored, by text:\n";
    } else if (summary.own) {
        text +=
            "\nThere are too many ways to work through to list outputs by text; this "
            "run's own is one:\n";
    } else if (summary.listed.empty()) {
        text += "\nNo possible output could be listed: this run has too many writes.\n";
    } else if (every && count == 1) {
        text += "\nThe one possible output:\n";
    } else {
        text += "\n" + std::string(every ? "The " : "The first ") + std::to_string(count) +
                " possible outputs, by text" +
                (count < most && !every
                     ? " (no more could be found: there are too many ways to work through)"
                     : "") +
                ":\n";
    }
    for (std::size_t i = 0; i < count; ++i) {
        const auto &[run, writes] = summary.listed[i];
        const Order &order = summary.orders[run];
        text += "--- output " + std::to_string(i + 1) + " (" +
                (run == 0 ? "" : "run " + std::to_string(run + 1) + ", ") + "writes " +
                writes_text(order, writes) + ")\n";
        const std::string all = summary.listed_text(run, writes);
        for (const Piece &line : split_lines(all)) {
            text += "  " + printable(line.text) + (line.newline ? "" : "[no newline]") + "\n";
        }
    }
    return text;
}

std::string check_text(const Runs &runs, const Summary &summary, const std::string &name)
{
    const auto &[checked, run] = *summary.checked;
    const std::string in_run = run == 0 ? "" : " of run " + std::to_string(run + 1);
    const std::string said = read_as(checked);
    const std::string lacks = said.empty() ? "" : " (" + said.substr(2) + ")";
    if (checked.possible) {
        std::string text =
            "\n" + name + " is a possible output" + lacks + ": the writes" + in_run +
            " in this order give it: " + writes_text(summary.orders[run], checked.writes) + ".\n";
        const Names names(summary.orders[run]);
        for (const Choice &choice : run == 0 ? std::vector<Choice>{} : runs.choices[run]) {
            text += "  in that run, " + choice_text(choice, names) + "\n";
        }
        return text;
    }
    if (checked.gave_up) {
        return "\nWhether " + name + " is a possible output cannot be told: " + checked.why + ".\n";
    }
    const std::string where =
        "line " + std::to_string(checked.line) + in_run + lacks + ": " + checked.why;
    if (!summary.proven) {
        return "\n" + name + " was not found in the " + std::to_string(runs.events.size()) +
               (runs.events.size() == 1 ? " run" : " different runs") + " explored (" + where +
               "); another run may give it: see what was not tried.\n";
    }
    if (runs.events.size() == 1) {
        return "\n" + name + " is not a possible output: " + where + ".\n";
    }
    // Which run the reason is of: a wait's reason holds for that run's choices.
    std::string which;
    const Names names(summary.orders[run]);
    for (const Choice &choice : runs.choices[run]) {
        which += std::string(which.empty() ? "" : ", ") + made_text(choice, names);
    }
    return "\n" + name + " is not a possible output: none of the " +
           std::to_string(runs.events.size()) +
           " different runs gives it. The one that follows it furthest" +
           (which.empty() ? "" : " (where " + which + ")") + " cannot go past line " +
           std::to_string(checked.line) + ": " + checked.why + ".\n";
}

}  // namespace

int write_possible(std::FILE *out, const Runs &runs, const PossibleOptions &options)
{
    const Summary summary = summarize(runs, options);
    if (options.json) {
        write_json(out, runs, summary, options);
    } else {
        std::string text = counts_text(summary) + runs_text(runs, summary);
        if (options.list) {
            text += list_text(summary, *options.list);
        }
        if (summary.checked) {
            text += check_text(runs, summary, printable(options.answer_name));
        }
        put(out, text);
    }
    static_cast<void>(std::fflush(out));
    return status_of(summary);
}

}  // namespace forktrace
