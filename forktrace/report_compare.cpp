// --compare: one command's traces on a terminal and through a pipe, side by
// side, and an account of the difference drawn from the two traces alone:
// lines each way, lines a fork copied into another process's buffer, lines a
// buffer took with it at an exec or an exit.
#include "history.hpp"
#include "possible.hpp"

#include <algorithm>
#include <map>

namespace forktrace {
namespace {

struct Row {
    pid_t writer = 0;
    std::string text;
};

struct Summary {
    std::vector<Row> rows;  // a row for each piece of a write: a line or part of one
    long lines = 0;         // of the output, as its reader sees them
    long processes = 0, writes = 0;
    long copied = 0;                     // lines printed by one process and written by another
    std::map<std::string, long> lost;    // "by P at its exec of X": lines
    std::map<std::string, long> causes;  // why lines went out
    // Per program: the lines its processes printed themselves, whether they
    // came out or were lost.
    std::map<std::string, long> printed;
};

Summary summarize(const std::vector<Event> &events)
{
    Summary summary;
    std::map<pid_t, std::string> program;  // what each process runs now
    bool open_at_end = false;              // the output's last line has no newline
    // The line left open at the last write: whether a fork copied it, and
    // the writer's program.
    OpenLine<std::pair<bool, std::string>> open;
    const auto tally = [&summary](const std::pair<bool, std::string> &line) {
        ++(line.first ? summary.copied : summary.printed[line.second]);
    };
    for (const Event &event : events) {
        const bool new_process =
            event.kind == Event::Kind::start || (event.kind == Event::Kind::fork && event.ok);
        summary.processes += new_process ? 1 : 0;
        if (event.kind == Event::Kind::start && !event.argv.empty()) {
            program[event.pid] = base_name(event.argv.front());
        } else if (event.kind == Event::Kind::fork && event.ok) {
            program[event.child] = program[event.pid];
        }
        if (event.lost && !event.lost->empty()) {
            summary.printed[program[event.pid]] += static_cast<long>(count_lines(*event.lost));
            const std::string where = event.kind == Event::Kind::exec
                                          ? "at its exec of " + printable(base_name(event.path))
                                          : "when it ended";
            summary.lost["by " + std::to_string(event.pid) + " " + where] +=
                static_cast<long>(count_lines(*event.lost));
        }
        if (event.kind == Event::Kind::exec && event.ok) {
            program[event.pid] = base_name(event.argv.empty() ? event.path : event.argv.front());
        }
        if (event.kind != Event::Kind::write || event.stream != Stream::output) {
            continue;
        }
        ++summary.writes;
        summary.lines += std::count(event.data.begin(), event.data.end(), '\n');
        open_at_end = event.data.empty() ? open_at_end : !event.data.ends_with('\n');
        std::size_t offset = 0;
        for (const Piece &piece : split_lines(event.data)) {
            summary.rows.push_back({event.pid, printable(piece.text)});
            const pid_t printer = origin_at(event.origins, offset);
            if (const auto ended = open.take(
                    {printer != 0 && printer != event.pid, program[event.pid]}, piece.newline)) {
                tally(*ended);
            }
            if (!event.cause.empty()) {
                ++summary.causes[event.cause];
            }
            offset += piece.text.size() + (piece.newline ? 1 : 0);
        }
    }
    if (const auto ended = open.end()) {
        tally(*ended);
    }
    summary.lines += open_at_end ? 1 : 0;
    return summary;
}

void put(std::FILE *out, const std::string &text)
{
    static_cast<void>(std::fwrite(text.data(), 1, text.size(), out));
}

// A cell `width` columns wide: a character takes one, whatever its bytes
// (the text is printable and valid UTF-8), and a cut falls between two.
std::string cell(const Row *row, std::size_t width)
{
    const std::string text = row == nullptr ? "" : std::to_string(row->writer) + "  " + row->text;
    const auto starts = [](char byte) {
        return (static_cast<unsigned char>(byte) & 0xC0U) != 0x80U;
    };
    const auto columns = static_cast<std::size_t>(std::count_if(text.begin(), text.end(), starts));
    if (columns <= width) {
        return text + std::string(width - columns, ' ');
    }
    std::size_t end = 0;
    for (std::size_t taken = 0; end < text.size(); ++end) {
        if (starts(text[end]) && taken++ == width - 1) {
            break;
        }
    }
    return text.substr(0, end) + '~';
}

std::string lines(long count) { return std::to_string(count) + (count == 1 ? " line" : " lines"); }

std::string account(const std::string &way, const Summary &summary,
                    const std::vector<Event> &events)
{
    std::string text =
        way + ": " + lines(summary.lines) + " from " + std::to_string(summary.processes) +
        (summary.processes == 1 ? " process, in " : " processes, in ") +
        std::to_string(summary.writes) + (summary.writes == 1 ? " write" : " writes");
    if (summary.causes.size() == 1) {
        text += (summary.writes == 1 ? ", " : ", every one ") +
                why_written(summary.causes.begin()->first, "its writer");
    }
    text += ".\n";
    if (const std::string sentence = orders_sentence(order_of(events)); !sentence.empty()) {
        text += "  " + sentence + "\n";
    }
    if (summary.copied > 0) {
        text += "  " + lines(summary.copied) +
                " copied into children by forks (pending in a buffer at the fork) and written "
                "again by them.\n";
    }
    for (const auto &[where, count] : summary.lost) {
        text +=
            "  " + lines(count) + " never came out: pending in the buffer, lost " + where + ".\n";
    }
    return text;
}

}  // namespace

void write_comparison(std::FILE *out, const std::vector<Event> &terminal,
                      const std::vector<Event> &pipe, unsigned width)
{
    const Summary on_terminal = summarize(terminal);
    const Summary through_pipe = summarize(pipe);
    if (width >= 100) {
        const std::size_t column = (width - 3) / 2;
        put(out, cell(nullptr, 0) + std::string("On a terminal").append(column - 13, ' ') +
                     " | Through a pipe\n");
        const std::size_t rows = std::max(on_terminal.rows.size(), through_pipe.rows.size());
        for (std::size_t i = 0; i < rows; ++i) {
            const Row *left = i < on_terminal.rows.size() ? &on_terminal.rows[i] : nullptr;
            const Row *right = i < through_pipe.rows.size() ? &through_pipe.rows[i] : nullptr;
            std::string line = cell(left, column) + " | " + cell(right, column);
            line.erase(line.find_last_not_of(' ') + 1);
            put(out, line + "\n");
        }
    } else {
        for (const auto &[title, summary] : {std::pair{"On a terminal", &on_terminal},
                                             std::pair{"Through a pipe", &through_pipe}}) {
            put(out, std::string(title) + ":\n");
            for (const Row &row : summary->rows) {
                std::string line = "  " + cell(&row, width > 4 ? width - 3 : 76);
                line.erase(line.find_last_not_of(' ') + 1);
                put(out, line + "\n");
            }
        }
    }
    put(out, "\n" + account("On a terminal", on_terminal, terminal) +
                 account("Through a pipe", through_pipe, pipe));
    // Buffering accounts for every other difference: a program that printed
    // another number of lines itself chose to write otherwise.
    for (const auto &[program, printed] : on_terminal.printed) {
        const auto other = through_pipe.printed.find(program);
        const long piped = other == through_pipe.printed.end() ? 0 : other->second;
        if (piped != printed) {
            put(out, "  " + printable(program) + " itself printed " + lines(printed) +
                         " on a terminal and " + lines(piped) + " through a pipe: it writes " +
                         (program == "ls" ? "names in columns on a terminal and one name per "
                                            "line into a pipe"
                                          : "otherwise in the two runs: buffering alone does not "
                                            "change what a program prints, so it looked at what "
                                            "its output is, or its input or timing differed") +
                         ".\n");
        }
    }
    static_cast<void>(std::fflush(out));
}

}  // namespace forktrace
