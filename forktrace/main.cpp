// forktrace: run a command and show every process it makes, and which
// process wrote each line of its output.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <optional>
#include <variant>

#include <sys/ioctl.h>
#include <unistd.h>

#include "events.hpp"
#include "explore.hpp"
#include "options.hpp"
#include "possible.hpp"
#include "run.hpp"

namespace {

using namespace forktrace;

// --check, --make and --shuffle: the answer cannot be told either way.
constexpr int status_untold = 2;

std::unique_ptr<Report> report_for(const Options &options, std::FILE *out)
{
    const ReportOptions report{.ascii = options.ascii};
    switch (options.format) {
        case Format::json:
            return json_report(out);
        case Format::tree:
            return tree_report(out, report);
        case Format::svg:
            return svg_report(out, report);
        case Format::html:
            return html_report(out, report);
        case Format::dot:
            return dot_report(out, report);
        case Format::mermaid:
            return mermaid_report(out, report);
        case Format::perfetto:
            return perfetto_report(out, report);
        case Format::text:
            break;
    }
    return text_report(out, report);
}

// Where the report goes: standard error, or the file asked for.
std::FILE *report_file(const Options &options, std::FILE *otherwise)
{
    if (options.output.empty()) {
        return otherwise;
    }
    std::FILE *out = std::fopen(options.output.c_str(), "w");
    if (out == nullptr) {
        say("forktrace: %s: %s\n", printable(options.output).c_str(), std::strerror(errno));
    }
    return out;
}

bool close_report(const Options &options, std::FILE *out)
{
    if (std::ferror(out) != 0 || (out != stderr && out != stdout && std::fclose(out) != 0)) {
        say("forktrace: %s: %s\n",
            options.output.empty() ? "the report" : printable(options.output).c_str(),
            std::strerror(errno));
        return false;
    }
    return true;
}

// Traces the command in `file`, with the report of the format asked for. The
// report is opened only once the command can be traced, so that a refusal
// leaves no report behind.
int trace(const Options &options, const std::string &file, Run plan = {},
          std::vector<Event> *kept = nullptr)
{
    std::FILE *out = nullptr;
    std::unique_ptr<Report> report;
    plan.ready = [&] {
        out = report_file(options, stderr);
        if (out != nullptr) {
            report = report_for(options, out);
        }
        return out != nullptr;
    };
    plan.emit = [&report, kept](const Event &event) {
        report->add(event);
        if (kept != nullptr) {
            kept->push_back(event);
        }
    };
    const int status = run_command(options, file, plan);
    if (!report) {
        return status;
    }
    report->finish();
    return close_report(options, out) ? status : status_failed;
}

// Runs the command on a terminal and then through a pipe, its output kept to
// itself, and shows the two transcripts and what made them differ. Without
// --input, what is typed for the first run is typed again for the second;
// when a person types it, the first run shows its output, prompts included.
int compare(const Options &options, const std::string &file)
{
    std::vector<Event> runs[2];
    std::FILE *out = nullptr;
    std::string typed;
    Options way = options;
    const bool person = !options.input && isatty(STDIN_FILENO) != 0;
    for (const On on : {On::terminal, On::pipe}) {
        way.on = on;
        std::vector<Event> &events = runs[on == On::terminal ? 0 : 1];
        Run plan;
        plan.emit = [&events](const Event &event) { events.push_back(event); };
        plan.show_on = -1;
        if (on == On::terminal) {
            plan.ready = [&] {
                out = report_file(options, stdout);
                return out != nullptr;
            };
            if (!options.input) {
                plan.typed = &typed;
            }
            if (person) {
                plan.show_on = STDERR_FILENO;
                say("forktrace: the run on a terminal comes first; type what the command asks "
                    "for, and the run through a pipe gets the same.\n");
            }
        } else if (!options.input) {
            way.input = typed;
        }
        const int status = run_command(way, file, plan);
        if (status == status_failed || interrupted() != 0) {
            if (out != nullptr) {
                static_cast<void>(close_report(options, out));
            }
            return status;
        }
        if (person && on == On::terminal) {
            say("\n");
        }
    }
    // The terminal's width, or what COLUMNS says, as for ls.
    winsize size{};
    const char *columns = std::getenv("COLUMNS");
    const long asked = columns != nullptr ? std::strtol(columns, nullptr, 10) : 0;
    unsigned width = asked > 0 && asked < 1000 ? static_cast<unsigned>(asked) : 80;
    if (::ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        width = size.ws_col;
    }
    write_comparison(out, runs[0], runs[1], width);
    return close_report(options, out) ? 0 : status_failed;
}

// The whole of a file, or nothing after saying why.
std::optional<std::string> read_or_say(const std::string &name)
{
    std::string why;
    std::optional<std::string> text = read_file(name, why);
    if (!text) {
        say("forktrace: %s: %s\n", printable(name).c_str(), why.c_str());
    }
    return text;
}

// Traces the command, then tells which outputs were possible, and checks an
// answer. With --check, the status says whether the answer is possible.
int possible(const Options &options, const std::string &file)
{
    PossibleOptions how{.json = options.format == Format::json,
                        .list = options.list,
                        .answer = {},
                        .answer_name = {},
                        .first_pid = options.pids};
    if (!options.check.empty()) {
        how.answer = read_or_say(options.check);
        if (!how.answer) {
            return status_failed;
        }
        how.answer_name = options.check;
    }
    std::FILE *out = nullptr;
    Run plan;
    plan.ready = [&] {
        out = report_file(options, stderr);
        return out != nullptr;
    };
    Runs runs;
    const int status = explore(options, file, plan, runs);
    if (out == nullptr) {
        return status;
    }
    if (interrupted() != 0 || status == status_failed || runs.events.empty()) {
        static_cast<void>(close_report(options, out));
        return status;
    }
    const int checked = write_possible(out, runs, how);
    if (!close_report(options, out)) {
        return status_failed;
    }
    return how.answer ? checked : status;
}

// The order a steered run is to take: of which run's writes, in which order,
// and in words.
struct Goal {
    std::size_t run = 0;
    std::vector<std::size_t> writes;
    std::string what;
};

// --make's goal: the order of the writes that gives the answer, or the exit
// status when none is known to. An answer is read as it was checked: its
// last line given the newline it lacks, its Windows line ends made "\n".
std::variant<Goal, int> answer_goal(const Options &options, const Runs &runs,
                                    const std::vector<Order> &orders, std::string &answer,
                                    std::string &read)
{
    const CheckedRuns checked = check_runs(orders, answer, options.pids);
    if (!checked.checked.possible) {
        // Proven impossible only where every choice of the runs was tried.
        const bool proven = !checked.checked.gave_up && runs.complete && !runs.gave_up &&
                            std::all_of(orders.begin(), orders.end(), [](const Order &order) {
                                return order.unexplored.empty() && order.unfollowed.empty();
                            });
        say("forktrace: %s is not %s: line %zu: %s.\n", printable(options.make).c_str(),
            proven ? "a possible output"
                   : "an output of the runs explored (forktrace --possible --check says what "
                     "was not tried)",
            checked.checked.line, checked.checked.why.c_str());
        return proven ? 1 : status_untold;
    }
    read = read_as(checked.checked);
    if (checked.checked.crlf_read) {
        std::erase(answer, '\r');  // no write of the program has one
    }
    if (checked.checked.newline_added) {
        answer += '\n';
    }
    return Goal{checked.run, checked.checked.writes, "the order of " + printable(options.make)};
}

// --shuffle's goal: a run at random, then an order of its writes at random.
std::variant<Goal, int> random_goal(const Options &options, const std::vector<Order> &orders)
{
    const auto unfollowed = std::find_if(orders.begin(), orders.end(),
                                         [](const Order &o) { return !o.unfollowed.empty(); });
    if (unfollowed != orders.end()) {
        say("forktrace: what orders this command's writes is not all followed, so no order "
            "of them can be chosen at random: %s\n",
            unfollowed->unfollowed.front().c_str());
        return status_untold;
    }
    const std::size_t drawn = *options.shuffle % orders.size();
    const auto chosen = random_order(orders[drawn], *options.shuffle);
    const std::optional<mpz_class> count = count_orders(orders[drawn]);
    if (!chosen || !count) {
        say("forktrace: this command's writes have too many orders to choose one at random\n");
        return status_untold;
    }
    return Goal{drawn, *chosen,
                "a random order (seed " + std::to_string(*options.shuffle) + "), one of " +
                    count_text(*count) + " possible" +
                    (orders.size() == 1
                         ? ""
                         : " in one of " + std::to_string(orders.size()) + " different runs")};
}

// Whether the steered run printed the answer, process IDs aside: said, and
// the exit status.
int printed_answer(const std::vector<Event> &events, const std::string &answer, const Goal &goal,
                   const std::string &read)
{
    std::string output;
    std::vector<pid_t> pids;
    for (const Event &event : events) {
        if (event.kind == Event::Kind::write && event.stream == Stream::output) {
            output += event.data;
        }
        if (event.kind == Event::Kind::start || (event.kind == Event::Kind::fork && event.ok)) {
            pids.push_back(event.kind == Event::Kind::start ? event.pid : event.child);
        }
    }
    if (!same_but_ids(output, pids, answer)) {
        say("forktrace: the run followed %s, but its output is not that file's: its writes "
            "differ from the traced run's\n",
            goal.what.c_str());
        return status_untold;
    }
    say("forktrace: steered to %s: the output is that file's%s%s\n", goal.what.c_str(),
        output == answer ? "" : ", but for this run's process IDs", read.c_str());
    return 0;
}

// --make and --shuffle: a first run, traced with its output kept to itself,
// gives the order its writes must respect; a second run is steered to an
// order of them, that of the answer in the file or one chosen at random, and
// shown, with its report.
int steer(const Options &options, const std::string &file)
{
    std::optional<std::string> answer;
    if (!options.make.empty()) {
        answer = read_or_say(options.make);
        if (!answer) {
            return status_failed;
        }
    }
    std::string typed;
    Options first = options;
    first.output.clear();
    Run quiet;
    quiet.show_on = -1;
    quiet.quiet = true;
    if (!options.input) {
        quiet.typed = &typed;
    }
    Runs runs;
    const int rehearsed = explore(first, file, quiet, runs);
    if (rehearsed == status_failed || interrupted() != 0 || runs.events.empty()) {
        return rehearsed;
    }
    std::vector<Order> orders(runs.events.size());
    std::transform(runs.events.begin(), runs.events.end(), orders.begin(),
                   [](const std::vector<Event> &events) { return order_of(events); });
    std::string read;  // how the answer was read
    const std::variant<Goal, int> chosen =
        answer ? answer_goal(options, runs, orders, *answer, read) : random_goal(options, orders);
    if (const int *status = std::get_if<int>(&chosen)) {
        return *status;
    }
    const Goal &goal = std::get<Goal>(chosen);
    const Order &order = orders[goal.run];
    Run steered;
    steered.reaps = plan_of(runs.choices[goal.run]);
    for (const std::size_t w : goal.writes) {
        const Write &write = order.writes[w];
        steered.steer_to.push_back({order.processes[write.process].path, write.number});
    }
    std::string off_plan;
    steered.off_plan = &off_plan;
    Options second = options;
    if (!options.input) {
        second.input = typed;
    }
    std::vector<Event> events;
    const int status = trace(second, file, steered, &events);
    if (status == status_failed || interrupted() != 0) {
        return status;
    }
    // A run that could not follow is no proof that the answer cannot be.
    if (!off_plan.empty()) {
        say("forktrace: this run's writes differ from what %s needs: %s\n", goal.what.c_str(),
            off_plan.c_str());
        return status_untold;
    }
    if (const auto otherwise = ended_otherwise(runs.events[goal.run], events)) {
        say("forktrace: steered to %s, the run did not end as the first one did: %s; holding "
            "its writes changed how it went\n",
            goal.what.c_str(), otherwise->c_str());
        return status_untold;
    }
    if (answer) {
        return printed_answer(events, *answer, goal, read);
    }
    say("forktrace: steered to %s\n", goal.what.c_str());
    return status;
}

// The command line done: the command traced, compared, or run untraced.
int run(const Options &options)
{
    const auto file = resolve(options.command.front());
    if (const int *status = std::get_if<int>(&file)) {
        return *status;
    }
    const std::string &command = std::get<std::string>(file);
    if (options.compare) {
        return compare(options, command);
    }
    if (options.possible) {
        return possible(options, command);
    }
    if (!options.make.empty() || options.shuffle) {
        return steer(options, command);
    }
    if (options.untraced) {
        return run_command(options, command, Run{});
    }
    return trace(options, command);
}

}  // namespace

int main(int argc, char *argv[])
{
    try {
        const Parsed parsed = parse(argc, argv);
        if (parsed.exit_status) {
            return *parsed.exit_status;
        }
        prepare_to_run();
        return run(parsed.options);
    } catch (const std::exception &error) {
        say("forktrace: %s\n", error.what());
        return status_failed;
    }
}
