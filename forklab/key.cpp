#include "key.hpp"

#include <algorithm>
#include <array>
#include <sstream>
#include <utility>

#include <gmpxx.h>

#include "events.hpp"
#include "history.hpp"
#include "picture.hpp"
#include "possible.hpp"

namespace forklab {
namespace {

void put(std::FILE *out, const std::string &text)
{
    static_cast<void>(std::fwrite(text.data(), 1, text.size(), out));
}

// "20,922,789,888,000 (about 2.09e13)", "at least 12", or "too many to count".
std::string readable(const Count &count)
{
    if (count.decimal.empty()) {
        return "too many to count";
    }
    return (count.at_least ? "at least " : "") + forktrace::count_text(mpz_class(count.decimal));
}

std::string title(const Exercise &exercise)
{
    return "Exercise " + std::to_string(exercise.seed) + ", level " +
           std::to_string(exercise.level);
}

// "4"; "4 or 5" where the order decides whether the last line ends; "3 to
// 6" where which child a wait collects decides more.
std::string lines(const Run &run)
{
    if (run.fewest_lines == run.most_lines) {
        return std::to_string(run.lines);
    }
    return std::to_string(run.fewest_lines) +
           (run.most_lines - run.fewest_lines == 1 ? " or " : " to ") +
           std::to_string(run.most_lines);
}

// Words in lines of at most 78 columns, each indented by two.
std::string wrapped(const std::string &words)
{
    constexpr std::size_t width = 78;
    const std::string indent = "  ";
    std::string text, line;
    std::istringstream in(words);
    for (std::string word; in >> word;) {
        if (!line.empty() && indent.size() + line.size() + 1 + word.size() > width) {
            text += indent + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return line.empty() ? text : text + indent + line + "\n";
}

// What the counts are of, when more than the run shown: empty, or a
// sentence.
std::string runs_note(const Answers &answers)
{
    const Run &t = answers.terminal, &p = answers.pipe;
    std::string note;
    if (t.explored.size() > 1 || p.explored.size() > 1) {
        note =
            "Its waits can collect their children in more than one order: the counts are "
            "over the " +
            std::to_string(t.explored.size()) + " different runs on a terminal and the " +
            std::to_string(p.explored.size()) +
            " through a pipe that come of steering each wait to each child it could have "
            "collected.";
    }
    if (!t.proven || !p.proven) {
        note += std::string(note.empty() ? "" : " ") +
                "Not every run it can make was tried: a count \"at least\" is what the runs "
                "tried prove, and more may be possible.";
    }
    return note;
}

// The rows of the answers: what is asked, on a terminal, through a pipe.
std::vector<std::array<std::string, 3>> rows(const Answers &answers)
{
    const Run &t = answers.terminal, &p = answers.pipe;
    return {
        {"processes", std::to_string(t.processes), std::to_string(p.processes)},
        {"lines of output", lines(t), lines(p)},
        {"lines a fork copied", std::to_string(t.copied_lines), std::to_string(p.copied_lines)},
        {"lines lost in a buffer", std::to_string(t.lost_lines), std::to_string(p.lost_lines)},
        {"possible orders of the writes", readable(t.orders), readable(p.orders)},
        {"distinct possible outputs", readable(t.outputs), readable(p.outputs)},
    };
}

// The rows as a table's: each row's cells after `open`, between them
// `between`, and `close` after the last.
std::string table(const Answers &answers, const char *open, const char *between, const char *close)
{
    std::string text;
    for (const auto &[what, terminal, pipe] : rows(answers)) {
        text.append(open).append(what).append(between).append(terminal).append(between);
        text.append(pipe).append(close);
    }
    return text;
}

// One way's counts as JSON members: "orders_pipe":"4","orders_pipe_exact":true,
// the same of the outputs, and "runs_pipe": the different runs explored.
std::string json_counts(const Run &run, const std::string &way)
{
    std::string members;
    for (const auto &[what, count] : {std::pair<const char *, const Count *>{"orders", &run.orders},
                                      {"outputs", &run.outputs}}) {
        const std::string name = "\"" + std::string(what) + "_" + way;
        members += "," + name + "\":";
        members += count->decimal.empty() ? "null" : "\"" + count->decimal + "\"";
        members += "," + name + "_exact\":";
        members += !count->decimal.empty() && !count->at_least ? "true" : "false";
    }
    return members + ",\"runs_" + way + "\":" + std::to_string(run.explored.size());
}

void json(std::FILE *out, const std::vector<Exercise> &exercises)
{
    put(out, "[\n");
    for (std::size_t i = 0; i < exercises.size(); ++i) {
        const Exercise &e = exercises[i];
        const Run &t = e.answers.terminal, &p = e.answers.pipe;
        put(out, "{\"seed\":" + std::to_string(e.seed) + ",\"level\":" + std::to_string(e.level) +
                     ",\"program\":" + forktrace::json_string(e.program) +
                     ",\"processes\":" + std::to_string(t.processes) +
                     ",\"lines_terminal\":" + std::to_string(t.lines) +
                     ",\"lines_pipe\":" + std::to_string(p.lines) + ",\"lines_vary\":" +
                     (t.fewest_lines != t.most_lines || p.fewest_lines != p.most_lines ? "true"
                                                                                       : "false") +
                     json_counts(t, "terminal") + json_counts(p, "pipe") +
                     ",\"copied_lines_pipe\":" + std::to_string(p.copied_lines) +
                     ",\"lost_lines_terminal\":" + std::to_string(t.lost_lines) +
                     ",\"lost_lines_pipe\":" + std::to_string(p.lost_lines) +
                     ",\"output_terminal\":" + forktrace::json_string(t.output) +
                     ",\"output_pipe\":" + forktrace::json_string(p.output) + "}" +
                     (i + 1 < exercises.size() ? "," : "") + "\n");
    }
    put(out, "]\n");
}

// Text line by line, each made printable; a last line without a newline
// says so.
std::string shown(const std::string &text)
{
    std::string out;
    for (const forktrace::Piece &piece : forktrace::split_lines(text)) {
        out += forktrace::printable(piece.text) + (piece.newline ? "\n" : " [no newline]\n");
    }
    return out;
}

// Text in a Markdown code block: a fence longer than any run of backquotes in it.
// A program's source is shown as it stands; an output made printable.
std::string fenced(const std::string &text, const std::string &language = "")
{
    std::string fence = "```";
    while (text.find(fence) != std::string::npos) {
        fence += '`';
    }
    return fence + language + "\n" + (language.empty() ? shown(text) : text) + fence + "\n";
}

void markdown(std::FILE *out, const std::vector<Exercise> &exercises)
{
    put(out,
        "# Answer key\n\nEvery answer comes from running the program, traced, on a "
        "terminal and through a pipe, and again with each wait for any child steered to each "
        "child it could have collected.\n");
    for (const Exercise &e : exercises) {
        put(out, "\n## " + title(e) + "\n\n" + fenced(e.program, "c") + "\n");
        put(out, "| | on a terminal | through a pipe |\n|---|---|---|\n");
        put(out, table(e.answers, "| ", " | ", " |\n"));
        if (const std::string note = runs_note(e.answers); !note.empty()) {
            put(out, "\n" + note + "\n");
        }
        put(out, "\nThe output of one run on a terminal:\n\n" + fenced(e.answers.terminal.output) +
                     "\nand through a pipe:\n\n" + fenced(e.answers.pipe.output));
    }
}

// An SVG document as an element of a page: without its XML declaration.
std::string inline_svg(const std::string &svg)
{
    const std::size_t at = svg.find("<svg");
    return at == std::string::npos ? "" : svg.substr(at);
}

void html(std::FILE *out, const std::vector<Exercise> &exercises)
{
    put(out,
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>Answer key</title>\n<style>\n"
        "body{font-family:sans-serif;max-width:60em;margin:auto;padding:1em}\n"
        "pre{background:#f4f4f4;padding:.5em;overflow-x:auto}\n"
        "table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:.2em .6em}\n"
        "td+td{text-align:right}figure{margin:0}svg{width:100%;height:auto}\n"
        "section{break-inside:avoid-page}\n</style>\n</head>\n<body>\n<h1>Answer key</h1>\n"
        "<p>Every answer comes from running the program, traced, on a terminal and through a "
        "pipe, and again with each wait for any child steered to each child it could have "
        "collected.</p>\n");
    for (const Exercise &e : exercises) {
        put(out, "<section>\n<h2>" + forktrace::picture::escape(title(e)) + "</h2>\n<pre><code>" +
                     forktrace::picture::escape(e.program) +
                     "</code></pre>\n<table>\n<tr><th></th>"
                     "<th>on a terminal</th><th>through a pipe</th></tr>\n");
        put(out, table(e.answers, "<tr><td>", "</td><td>", "</td></tr>\n"));
        put(out, "</table>\n");
        if (const std::string note = runs_note(e.answers); !note.empty()) {
            put(out, "<p>" + forktrace::picture::escape(note) + "</p>\n");
        }
        for (const auto &[way, run] :
             {std::pair<const char *, const Run *>{"on a terminal", &e.answers.terminal},
              {"through a pipe", &e.answers.pipe}}) {
            put(out, std::string("<h3>One run ") + way + "</h3>\n<pre>" +
                         forktrace::picture::escape(shown(run->output)) + "</pre>\n<figure>" +
                         inline_svg(timeline(*run)) + "</figure>\n");
        }
        put(out, "</section>\n");
    }
    put(out, "</body>\n</html>\n");
}

}  // namespace

void write_key(std::FILE *out, const std::vector<Exercise> &exercises, KeyFormat format)
{
    switch (format) {
        case KeyFormat::json:
            json(out, exercises);
            break;
        case KeyFormat::html:
            html(out, exercises);
            break;
        case KeyFormat::md:
            markdown(out, exercises);
            break;
    }
}

std::string answers_text(const Exercise &exercise)
{
    const std::vector<std::array<std::string, 3>> all = rows(exercise.answers);
    std::size_t what_width = 0, terminal_width = std::string("on a terminal").size();
    for (const auto &[what, terminal, pipe] : all) {
        what_width = std::max(what_width, what.size());
        terminal_width = std::max(terminal_width, terminal.size());
    }
    const auto line = [&](const std::array<std::string, 3> &cells) {
        std::string row = "  " + cells[0];
        row.resize(2 + what_width + 2, ' ');
        row += cells[1];
        row.resize(2 + what_width + 2 + terminal_width + 3, ' ');
        return row + cells[2] + "\n";
    };
    std::string text = line({"", "on a terminal", "through a pipe"});
    for (const auto &cells : all) {
        text += line(cells);
    }
    const std::string note = runs_note(exercise.answers);
    return note.empty() ? text : text + "\n" + wrapped(note);
}

}  // namespace forklab
