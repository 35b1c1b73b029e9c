#include "quiz.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "exercise.hpp"
#include "history.hpp"
#include "possible.hpp"
#include "run.hpp"

namespace forklab {
namespace {

// A process by its place in the tree: "0" is the program itself, "1" its
// first child, "1.2" the second child of its first child.
std::string place(const std::vector<std::size_t> &path)
{
    if (path.empty()) {
        return "0";
    }
    std::string text;
    for (const std::size_t fork : path) {
        text += (text.empty() ? "" : ".") + std::to_string(fork + 1);
    }
    return text;
}

std::string places(const std::set<std::string> &set)
{
    std::string text;
    for (const std::string &one : set) {
        text += (text.empty() ? "" : " ") + one;
    }
    return text;
}

// The places of a run's processes, by process ID.
std::map<pid_t, std::string> places_of(const Run &run)
{
    std::map<pid_t, std::string> where;
    for (const forktrace::OrderProcess &process : forktrace::order_of(run.events).processes) {
        where[process.pid] = place(process.path);
    }
    return where;
}

// "0 is 15089, 1 is 15091": the places as the accounts name them.
std::string legend(const Run &run)
{
    std::string text;
    for (const auto &[pid, where] : places_of(run)) {
        text += (text.empty() ? "" : ", ") + where + " is " + std::to_string(pid);
    }
    return "     Places: " + text + ".\n";
}

// Each line of a run's output that its writer printed itself, whole: the
// places of the processes that wrote it. A line a fork copied, or one begun
// by one process and ended by another, is left out: who "printed" it is a
// question of its own.
std::map<std::string, std::set<std::string>> printers(const Run &run)
{
    std::map<pid_t, std::string> where = places_of(run);
    std::map<std::string, std::set<std::string>> lines;
    std::set<std::string> mixed;
    for (const forktrace::Event &event : run.events) {
        if (event.kind != forktrace::Event::Kind::write ||
            event.stream != forktrace::Stream::output) {
            continue;
        }
        std::size_t offset = 0;
        for (const forktrace::Piece &piece : forktrace::split_lines(event.data)) {
            const std::string text(piece.text);
            const std::size_t length = piece.text.size() + (piece.newline ? 1 : 0);
            const std::vector<pid_t> by = forktrace::origins_in(event.origins, offset, length);
            offset += length;
            if (!piece.newline || text.empty() || event.unknown_origin || by.size() != 1 ||
                by.front() != event.pid || where.count(event.pid) == 0) {
                mixed.insert(text);
                continue;
            }
            lines[text].insert(where[event.pid]);
        }
    }
    for (const std::string &text : mixed) {
        lines.erase(text);
    }
    return lines;
}

// The output the order of writes `writes` gives.
std::string output_of(const forktrace::Order &order, const std::vector<std::size_t> &writes)
{
    std::string text;
    for (const std::size_t write : writes) {
        text += order.writes[write].text;
    }
    return text;
}

std::vector<std::string> lines_of(const std::string &text)
{
    const std::vector<forktrace::Piece> pieces = forktrace::split_lines(text);
    std::vector<std::string> lines(pieces.size());
    std::transform(pieces.begin(), pieces.end(), lines.begin(),
                   [](const forktrace::Piece &piece) { return std::string(piece.text); });
    return lines;
}

std::string joined(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines) {
        text += line + "\n";
    }
    return text;
}

// An output to ask about: possible or not as `possible` asks, when one can
// be found. A possible one is a random order of the run's writes; one that
// is not is such an order with two of its lines swapped, so that it looks
// alike. Which it is, is always told by the check, not by how it was made.
std::optional<std::string> candidate(const Run &run, bool possible, std::uint64_t seed)
{
    const forktrace::Order order = forktrace::order_of(run.events);
    for (std::uint64_t attempt = 0; attempt < 40; ++attempt) {
        const auto writes = forktrace::random_order(order, seed * 64 + attempt);
        if (!writes) {
            return std::nullopt;
        }
        std::vector<std::string> lines = lines_of(output_of(order, *writes));
        if (lines.size() < 2 || output_of(order, *writes).back() != '\n') {
            return std::nullopt;
        }
        if (!possible) {
            const std::size_t a = (seed + attempt) % lines.size(),
                              b = (seed / 7 + attempt * 3 + 1) % lines.size();
            if (lines[a] == lines[b]) {
                continue;
            }
            std::swap(lines[a], lines[b]);
        }
        const std::string text = joined(lines);
        if (forktrace::check(order, text).possible == possible) {
            return text;
        }
    }
    return std::nullopt;
}

// The student's answer to a question, a line of standard input; nothing at
// its end.
std::optional<std::string> line_of_input(const std::string &question)
{
    static_cast<void>(std::printf("%s ", question.c_str()));
    static_cast<void>(std::fflush(stdout));
    char line[1024];
    // A signal that comes meanwhile (a process of the runs ending, say) must
    // not answer for the student.
    const char *got = nullptr;
    while ((got = std::fgets(line, sizeof line, stdin)) == nullptr && std::ferror(stdin) != 0 &&
           errno == EINTR) {
        std::clearerr(stdin);
    }
    if (got == nullptr) {
        static_cast<void>(std::puts(""));
        return std::nullopt;
    }
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

// The answer to a question, asked again until it is one that `valid`
// takes, or empty (a skip); nothing at the end of the input.
std::optional<std::string> reply(const std::string &question,
                                 const std::function<bool(const std::string &)> &valid,
                                 const char *hint)
{
    for (;;) {
        std::optional<std::string> text = line_of_input(question);
        if (!text || text->empty() || valid(*text)) {
            return text;
        }
        static_cast<void>(std::printf("   (%s, or Enter alone to skip)\n", hint));
    }
}

std::optional<std::size_t> as_number(const std::optional<std::string> &text)
{
    if (!text || text->empty() || text->find_first_not_of("0123456789") != std::string::npos ||
        text->size() > 9) {
        return std::nullopt;
    }
    return std::stoul(*text);
}

bool is_number(const std::string &text) { return as_number(text).has_value(); }

bool is_yes_or_no(const std::string &text)
{
    return std::string(" y n yes no Y N Yes No YES NO ").find(" " + text + " ") !=
           std::string::npos;
}

// "0 1.2": places, apart.
bool are_places(const std::string &text)
{
    std::istringstream words(text);
    bool any = false;
    for (std::string word; words >> word; any = true) {
        if (word.front() == '.' || word.back() == '.' || word.find("..") != std::string::npos ||
            word.find_first_not_of("0123456789.") != std::string::npos) {
            return false;
        }
    }
    return any;
}

std::string indented(const std::string &text)
{
    std::string out;
    for (const std::string &line : lines_of(text)) {
        out += "    " + forktrace::printable(line) + "\n";
    }
    return out;
}

void show(const std::string &text) { static_cast<void>(std::fputs(text.c_str(), stdout)); }

// "right" or "wrong", with the truth.
bool verdict(const std::string &what, const std::optional<std::size_t> &given, std::size_t truth)
{
    if (!given) {
        show("  " + what + ": " + std::to_string(truth) + ".\n");
        return false;
    }
    const bool right = *given == truth;
    show("  " + what + ": you said " + std::to_string(*given) +
         (right ? ": right.\n" : ", it is ") + (right ? "" : std::to_string(truth) + ".\n"));
    return right;
}

}  // namespace

std::string account(const Run &run, bool tree)
{
    return report_of(run, [tree](std::FILE *out) {
        return tree ? forktrace::tree_report(out, {}) : forktrace::text_report(out, {});
    });
}

bool check(const Exercise &exercise, const Prediction &prediction)
{
    bool right = true;
    const Answers &a = exercise.answers;
    for (const auto &[given, run, way] :
         {std::tuple{prediction.terminal_lines, &a.terminal, "on a terminal"},
          std::tuple{prediction.pipe_lines, &a.pipe, "through a pipe"}}) {
        if (!given) {
            continue;
        }
        const std::string either =
            run->fewest_lines == run->most_lines
                ? ""
                : " (" + std::to_string(run->fewest_lines) + " or " +
                      std::to_string(run->most_lines) +
                      ", by whether its last write ends a line: that depends on the order)";
        if (*given >= run->fewest_lines && *given <= run->most_lines) {
            show("Lines " + std::string(way) + ": " + std::to_string(*given) + ", right" + either +
                 ".\n");
            continue;
        }
        right = false;
        show("Lines " + std::string(way) + ": you said " + std::to_string(*given) +
             "; it printed " + std::to_string(run->lines) + either + ". Its run, traced:\n\n" +
             account(*run, false) + "\n");
    }
    if (prediction.output) {
        const forktrace::Order order = forktrace::order_of(a.terminal.events);
        const forktrace::Checked checked = forktrace::check(order, *prediction.output);
        if (checked.possible) {
            show("That output is possible on a terminal: its writes can come in that order.\n");
        } else {
            right = false;
            show("That output is not possible on a terminal: line " + std::to_string(checked.line) +
                 ": " + checked.why + "\n");
        }
        const std::string sentence = forktrace::orders_sentence(order);
        if (!sentence.empty()) {
            show(sentence + "\n");
        }
    }
    return right;
}

int ask(const Exercise &exercise)
{
    const Answers &a = exercise.answers;
    show("The program (exercise " + std::to_string(exercise.seed) + ", level " +
         std::to_string(exercise.level) + "):\n\n" + exercise.program + "\n" +
         "Predict, then see. Type a number and Enter (Enter alone: skip).\n"
         "Processes are named by their place in the tree: 0 is the program itself, 1 its\n"
         "first child, 2 its second, 1.1 the first child of its first child.\n\n");

    const char *a_number = "a number";
    const auto processes = as_number(
        reply("1. How many processes does it make, itself included?", is_number, a_number));
    const auto terminal =
        as_number(reply("2. How many lines does it print on a terminal?", is_number, a_number));
    const auto pipe = as_number(
        reply("3. How many lines through a pipe (./exercise | cat)?", is_number, a_number));

    // The questions that can be asked of this exercise are numbered on.
    int number = 3;
    const bool feasible = (exercise.seed & 1U) == 0;
    const std::optional<std::string> output = candidate(a.terminal, feasible, exercise.seed);
    std::optional<std::string> possible;
    const std::string output_number = std::to_string(output ? ++number : 0) + ".";
    if (output) {
        show(output_number + " Is this output possible on a terminal?\n" + indented(*output));
        possible = reply("   y or n?", is_yes_or_no, "y or n");
    }

    const auto by = printers(a.terminal);
    std::optional<std::string> line;
    std::optional<std::string> named;
    const std::string line_number = std::to_string(by.empty() ? 0 : ++number) + ".";
    if (!by.empty()) {
        auto chosen = by.begin();
        std::advance(chosen, static_cast<long>(exercise.seed % by.size()));
        line = chosen->first;
        named =
            reply(line_number + " Which processes print the line '" + forktrace::printable(*line) +
                      "' on a terminal? (their places, e.g. 0 1.1)",
                  are_places, "places such as 0 1 1.2, apart");
    }

    show("\nIts run on a terminal printed:\n" + indented(a.terminal.output) +
         "and through a pipe:\n" + indented(a.pipe.output) + "\n");
    int right = 0, asked = 3;
    if (verdict("1. processes", processes, a.terminal.processes)) {
        ++right;
    } else {
        show("     The processes, as the trace saw them made:\n" + legend(a.terminal) +
             indented(account(a.terminal, true)));
    }
    if (verdict("2. lines on a terminal", terminal, a.terminal.lines)) {
        ++right;
    } else {
        show("     The run on a terminal, write by write:\n" + legend(a.terminal) +
             indented(account(a.terminal, false)));
    }
    if (verdict("3. lines through a pipe", pipe, a.pipe.lines)) {
        ++right;
    } else {
        show("     Through a pipe, write by write:\n" + legend(a.pipe) +
             indented(account(a.pipe, false)));
    }
    if (output) {
        ++asked;
        const forktrace::Checked checked =
            forktrace::check(forktrace::order_of(a.terminal.events), *output);
        const bool said = possible && !possible->empty();
        const bool said_yes = said && ((*possible)[0] == 'y' || (*possible)[0] == 'Y');
        const bool is_right = said && said_yes == checked.possible;
        right += is_right ? 1 : 0;
        show("  " + output_number + " that output " + (checked.possible ? "is" : "is not") +
             " possible" + (said ? (is_right ? ": right.\n" : ": you said otherwise.\n") : ".\n"));
        if (!checked.possible) {
            show("     Line " + std::to_string(checked.line) + ": " + checked.why + "\n" +
                 legend(a.terminal));
        } else if (!is_right) {
            show(
                "     Each process's writes keep their order, and nothing else orders\n"
                "     them but forks and waits: this order keeps every rule.\n");
        }
        const std::string sentence =
            forktrace::orders_sentence(forktrace::order_of(a.terminal.events));
        if (!sentence.empty()) {
            show("     " + sentence + "\n");
        }
    }
    if (line) {
        ++asked;
        std::set<std::string> given;
        std::istringstream words(named ? *named : "");
        for (std::string word; words >> word;) {
            given.insert(word);
        }
        const std::set<std::string> &truth = by.at(*line);
        const bool is_right = given == truth;
        right += is_right ? 1 : 0;
        show("  " + line_number + " '" + forktrace::printable(*line) + "' is printed by " +
             places(truth) +
             (given.empty() ? ".\n"
                            : (is_right ? ": right.\n" : "; you said " + places(given) + ".\n")));
        if (!is_right) {
            show("     The processes and what each printed:\n" + legend(a.terminal) +
                 indented(account(a.terminal, true)));
        }
    }
    show("\n" + std::to_string(right) + " of " + std::to_string(asked) + " right.");
    const std::optional<std::filesystem::path> pictures = make_scratch();
    if (pictures) {
        forktrace::before_a_signal_ends(nullptr);  // the pictures are to stay
        const std::filesystem::path terminal_svg = *pictures / "terminal.svg",
                                    pipe_svg = *pictures / "pipe.svg";
        std::ofstream(terminal_svg) << timeline(a.terminal);
        std::ofstream(pipe_svg) << timeline(a.pipe);
        show(" The two runs as timelines:\n  " + terminal_svg.string() + "\n  " +
             pipe_svg.string());
    }
    show("\n");
    return 0;
}

}  // namespace forklab
