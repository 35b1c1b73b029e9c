// text: the command's output as a transcript, one row per line, each beside
// the process that wrote it and the write call it came in, written as the
// writes come; then a summary per process. Only counts are kept, so memory
// does not grow with the output.
#include "history.hpp"
#include "possible.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <map>
#include <set>

namespace forktrace {
namespace {

// A failed write stays in the stream's error indicator, for the caller to
// see once the report is finished.
void put(std::FILE *out, std::string_view text)
{
    static_cast<void>(std::fwrite(text.data(), 1, text.size(), out));
}

// `text` padded with spaces to `width`, on the left for numbers.
std::string right(const std::string &text, std::size_t width)
{
    return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}
std::string left(std::string text, std::size_t width)
{
    text.resize(std::max(text.size(), width), ' ');
    return text;
}

// Seconds with three decimals.
std::string seconds(double time)
{
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), time,
                                      std::chars_format::fixed, 3);
    return {buffer.data(), result.ptr};
}

// A partial line is the trailing part of a write that has no newline.
constexpr const char *no_newline = "[no newline]";

std::string lines(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " line" : " lines");
}

class TextReport final : public Report {
public:
    explicit TextReport(std::FILE *out) : out_(out), history_(0) {}

    void add(const Event &event) override
    {
        if (event.lost && !event.lost->empty()) {
            remember_lost(event);  // by the program that lost them, before an exec renames it
        }
        const Process *before = history_.find(event.pid);
        const std::string program_before = before != nullptr ? printable(before->program) : "";
        history_.add(event);
        kept_.add(event);
        if (event.kind == Event::Kind::write && event.stream != Stream::elsewhere) {
            add_write(event);
        } else if (event.kind != Event::Kind::start && event.kind != Event::Kind::write) {
            add_step(event, program_before);
        }
    }

private:
    void header()
    {
        if (!header_written_) {
            put(out_,
                "   time  write  written by         printed by     printed at         line\n"
                "  written by: whose write() sent the line out; printed by, printed at: whose\n"
                "  printf() made it, and where. P (copy): P's line, copied pending by a fork.\n"
                "  child 2.1: the 1st child of the command's 2nd child (fork() returns its ID\n"
                "  to its parent, 0 to it). The end adds up the lines printed and copied.\n");
            header_written_ = true;
        }
    }

    // A row for a fork, an exec, an exit or a reap, in time order between the
    // writes. The attempts an execvp makes along PATH are held until the
    // last, and shown as one row.
    void add_step(const Event &event, const std::string &program)
    {
        const auto held = held_exec_.find(event.pid);
        if (event.kind == Event::Kind::exec && held != held_exec_.end() &&
            base_name(held->second.event.path) == base_name(event.path) &&
            held->second.event.argv == event.argv) {
            const int attempts = held->second.attempts + 1;
            held_exec_.erase(held);
            if (!event.ok) {
                hold(event, program, attempts);
                return;
            }
            step_row(event, program, attempts);
            return;
        }
        release(event.pid);
        if (event.kind == Event::Kind::exec && !event.ok) {
            hold(event, program, 1);
            return;
        }
        step_row(event, program, 1);
    }

    void hold(const Event &event, const std::string &program, int attempts)
    {
        held_exec_[event.pid] = Held{event, program, attempts};
    }

    // The held attempts of `pid`, once another event of its shows they ended.
    void release(pid_t pid)
    {
        const auto held = held_exec_.find(pid);
        if (held != held_exec_.end()) {
            const Held exec = held->second;
            held_exec_.erase(held);
            step_row(exec.event, exec.program, exec.attempts);
        }
    }

    void step_row(const Event &event, const std::string &program, int attempts)
    {
        std::string what, note;
        switch (event.kind) {
            case Event::Kind::fork:
                if (!event.ok) {
                    what = "fork failed: " + event.error + at_site(event.site);
                    break;
                }
                what = fork_text(event);
                if (event.shares_memory) {
                    note =
                        "the child shares this process's memory, buffer and all, until it "
                        "execs or ends: nothing is copied";
                }
                break;
            case Event::Kind::exec: {
                const Step step{event.time,  event.path, event.argv, event.argv_cut, event.ok,
                                event.error, attempts,   false,      event.site};
                what = step_text(step);
                break;
            }
            case Event::Kind::exit: {
                what = event.signal ? "killed by signal " + std::to_string(*event.signal)
                                    : "exit code " + std::to_string(event.code.value_or(0));
                if (event.lost && !event.lost->empty()) {
                    what += "; " + lines(split_lines(*event.lost).size()) +
                            " in its buffer never came out";
                }
                what += at_site(event.site);
                break;
            }
            case Event::Kind::reap: {
                const Process *child = history_.find(event.child);
                what = "reaped " + std::to_string(event.child);
                if (child != nullptr && child->exit) {
                    what += " (" + exit_summary(child->exit) + ")";
                }
                if (event.site) {
                    what += ", by the wait at " + printable(*event.site);
                }
                break;
            }
            case Event::Kind::saw_end:
                what = event.by_system
                           ? "waited till no child was left: the system collected " +
                                 std::to_string(event.child) + " (SIGCHLD ignored, or SA_NOCLDWAIT)"
                           : "saw " + std::to_string(event.child) +
                                 " end, and left it to collect (WNOWAIT)";
                what += at_site(event.site);
                break;
            case Event::Kind::start:
            case Event::Kind::write:
            case Event::Kind::poll:
            case Event::Kind::talk:
            case Event::Kind::getppid:
            case Event::Kind::thread:
            case Event::Kind::pipe:
            case Event::Kind::send:
            case Event::Kind::notice:
                return;
        }
        header();
        put(out_, right(seconds(event.time), 7) + std::string(9, ' ') +
                      writer_column(event.pid, program) + "· " + what + "\n");
        if (!note.empty()) {
            put(out_, std::string(16, ' ') + "^ " + note + "\n");
        }
    }

    // A fork in words: where it was called, the process it made and that
    // process's place, and the lines it copied that can come out once more.
    std::string fork_text(const Event &fork)
    {
        std::string what = (fork.shares_memory ? "vfork" : "fork") + at_site(fork.site) +
                           ": made " + std::to_string(fork.child);
        if (const Process *child = history_.find(fork.child); child != nullptr && child->place) {
            what += " (" + short_place(*child) + ")";
        }
        if (fork.parent) {
            what += ", with CLONE_PARENT: a sibling, a child of " + std::to_string(*fork.parent);
        }
        if (!fork.shares_memory && fork.pending && !fork.pending->empty()) {
            const std::size_t pending = split_lines(*fork.pending).size();
            what += "; copied " + std::to_string(pending) +
                    (pending == 1 ? " pending line" : " pending lines") +
                    " into the child's buffer";
        }
        return what;
    }

    // "written by": the pid in a column of its own (up to the largest pid
    // Linux gives, 4194304) and the program, in the 19 columns the header
    // gives it.
    static std::string writer_column(pid_t pid, const std::string &program)
    {
        return left(left(std::to_string(pid), 7) + " " + program, 18) + " ";
    }

    // Who printed a line that was written: the writer, another (a fork's
    // copy), nobody known, or no buffer was read.
    enum class Printer { own, copied, unknown, none };

    // Who printed one line of a write: the column's text and its kind.
    struct LinePrinter {
        std::string text;
        Printer kind = Printer::none;
        pid_t first = 0;     // the printer of its first part
        bool mixed = false;  // begun by one process, ended by another
        std::string site;    // where its first part was printed, when known
    };
    static LinePrinter line_printer(const Event &event, std::size_t offset, std::size_t length)
    {
        LinePrinter printer = printer_of(event, offset, length);
        if (const Event::Origin *origin = origin_of(event.origins, offset);
            origin != nullptr && origin->site && !event.unknown_origin) {
            printer.site = printable(*origin->site);
        }
        return printer;
    }
    static LinePrinter printer_of(const Event &event, std::size_t offset, std::size_t length)
    {
        if (event.unknown_origin) {
            return {"unknown", Printer::unknown, 0, false, ""};
        }
        const std::vector<pid_t> printers = origins_in(event.origins, offset, length);
        if (printers.empty()) {
            return {"", event.origins.empty() ? Printer::none : Printer::own, 0, false, ""};
        }
        if (printers.size() > 1) {
            // Begun by one process, ended by another: each part's printer.
            std::string text;
            for (const pid_t part : printers) {
                text += (text.empty() ? "" : "+") +
                        (part == event.pid ? "itself" : std::to_string(part));
            }
            return {text, Printer::copied, printers.front(), true, ""};
        }
        if (printers.front() == event.pid) {
            return {"itself", Printer::own, event.pid, false, ""};
        }
        return {std::to_string(printers.front()) + " (copy)", Printer::copied, printers.front(),
                false, ""};
    }

    // A process by its place and ID, "child 2 (5412)", or its ID alone.
    std::string named(pid_t pid) const
    {
        const Process *process = history_.find(pid);
        const std::string place = process != nullptr ? short_place(*process) : "";
        return place.empty() ? std::to_string(pid) : place + " (" + std::to_string(pid) + ")";
    }

    // A write of several lines, of lines other processes printed, or of lines
    // whose printer is unknown, in one sentence before its lines: who wrote
    // what, why it went out then, and whose printf() lines it carries.
    std::string opening(const Event &event, std::size_t count, std::size_t copied,
                        const std::vector<pid_t> &copied_from) const
    {
        const Process *writer = history_.find(event.pid);
        const std::string place = writer != nullptr ? short_place(*writer) : "";
        std::string text = (place.empty() ? std::to_string(event.pid) : place) + " wrote " +
                           lines(count) + (event.cause == "direct" ? "" : " from its buffer");
        if (!event.cause.empty()) {
            text += " " + why_written(event.cause, "it");
        }
        if (event.unknown_origin) {
            return text +
                   ", from a buffer forktrace cannot read (the program's own, or another "
                   "runtime's), which a fork may have copied: who printed them is unknown";
        }
        if (copied == 0) {
            return text + (event.origins.empty() ? "" : ", all its own");
        }
        std::string from;
        for (std::size_t i = 0; i < copied_from.size(); ++i) {
            from += (i == 0                        ? ""
                     : i + 1 == copied_from.size() ? " and "
                                                   : ", ") +
                    named(copied_from[i]);
        }
        return text + ": " + std::to_string(copied) + (copied == 1 ? " copy" : " copies") +
               " of lines printed by " + from +
               (copied < count ? " + " + std::to_string(count - copied) + " of its own" : "");
    }

    void add_write(const Event &event)
    {
        release(event.pid);
        writers_.insert(event.pid);
        const Process *writer = history_.find(event.pid);
        const std::string program = writer != nullptr ? printable(writer->program) : "";
        const std::size_t write = history_.writes();
        // One row per line: the write's time, number and writer on its first
        // row only, so that the lines of one write read as one.
        // The line's text goes out a piece at a time: a write can be a gigabyte.
        bool first = true;
        const auto row = [&](const LinePrinter &printer, std::string_view line,
                             const std::string &after) {
            header();
            put(out_, right(first ? seconds(event.time) : "", 7) + " " +
                          right(first ? "#" + std::to_string(write) : "", 6) + "  " +
                          (first ? writer_column(event.pid, program) : std::string(19, ' ')) +
                          left(printer.text, 14) + " " + left(printer.site, 18) + " " +
                          (event.stream == Stream::error ? "2> " : ""));
            for_each_piece(line, [&](std::string_view piece) { put(out_, printable(piece)); });
            put(out_, after + "\n");
            first = false;
        };
        if (!event.error.empty() && event.data.empty()) {
            row({}, "", "[write failed: " + event.error + "]");
            return;
        }
        const std::vector<Piece> pieces = split_lines(event.data);
        std::size_t copied = 0, offset = 0;
        std::vector<pid_t> copied_from;
        for (const Piece &piece : pieces) {
            const std::size_t length = piece.text.size() + (piece.newline ? 1 : 0);
            if (const LinePrinter printer = line_printer(event, offset, length);
                printer.kind == Printer::copied) {
                ++copied;
                if (std::find(copied_from.begin(), copied_from.end(), printer.first) ==
                    copied_from.end()) {
                    copied_from.push_back(printer.first);
                }
            }
            offset += length;
        }
        if (pieces.size() > 1 || copied > 0 || event.unknown_origin) {
            header();
            put(out_, right(seconds(event.time), 7) + " " + right("#" + std::to_string(write), 6) +
                          "  " + writer_column(event.pid, program) +
                          opening(event, pieces.size(), copied, copied_from) + "\n");
            first = false;
        }
        OpenLine<Printer> &open = open_[event.stream == Stream::error ? 1 : 0];
        offset = 0;
        for (const Piece &piece : pieces) {
            const std::size_t length = piece.text.size() + (piece.newline ? 1 : 0);
            const LinePrinter printer = line_printer(event, offset, length);
            mixed_lines_ += printer.mixed ? 1 : 0;
            row(printer, piece.text, piece.newline ? "" : no_newline);
            offset += length;
            if (const auto ended = open.take(printer.kind, piece.newline)) {
                tally(*ended);
            }
        }
        if (!event.cause.empty()) {
            ++causes_[why_written(event.cause, "the writer")];
        }
    }

public:
    void finish() override
    {
        while (!held_exec_.empty()) {
            release(held_exec_.begin()->first);
        }
        if (history_.writes() == 0) {
            put(out_, "no output\n");
        }
        if (!lost_.empty()) {
            put(out_,
                "\nLines that never came out, pending in a buffer that was thrown away:\n" + lost_);
        }
        for (OpenLine<Printer> &open : open_) {
            if (const auto ended = open.end()) {
                tally(*ended);
            }
        }
        put(out_, "\n" + totals(history_) + "\n");
        if (copied_lines_ > 0) {
            // The sum, where every line's printer is known: why there are so many.
            put(out_,
                "  " + (unknown_lines_ == 0 ? lines(own_lines_ + copied_lines_) + " = " : "") +
                    std::to_string(own_lines_) + " printed + " + std::to_string(copied_lines_) +
                    (copied_lines_ == 1 ? " copy" : " copies") + ": " + lines(own_lines_) +
                    " written by the process that printed them, " + lines(copied_lines_) +
                    " printed by another and copied into the writer's buffer by a fork "
                    "(\"(copy)\" above), each coming out once more.\n");
        }
        if (mixed_lines_ > 0) {
            put(out_, "  " + lines(mixed_lines_) +
                          " of them begun in one process and ended in another (\"A+B\" above: "
                          "the first part is what the fork copied).\n");
        }
        for (const auto &[reason, writes] : causes_) {
            put(out_, "  " + std::to_string(writes) + (writes == 1 ? " write" : " writes") +
                          " went out " + reason + ".\n");
        }
        if (writers_.size() > 1) {
            const std::string sentence =
                kept_.all() ? orders_sentence(order_of(kept_.events())) : "";
            put(out_, "  " +
                          (sentence.empty() ? std::string("The writes came in this run's order")
                                            : sentence.substr(0, sentence.size() - 1)) +
                          ": processes that nothing orders (no wait between them) may write in "
                          "another order in another run.\n");
        }
        process_table();
        if (std::any_of(history_.processes().begin(), history_.processes().end(),
                        [](const Process &process) { return process.orphan; })) {
            put(out_, "orphan: its parent had ended before it did.\n");
        }
        if (std::any_of(history_.processes().begin(), history_.processes().end(),
                        [](const Process &process) { return !process.exit; })) {
            put(out_, "none: the trace ended before the process did.\n");
        }
        put(out_, notices_text(history_));
        static_cast<void>(std::fflush(out_));
    }

private:
    // A row per process: its ID, place, parent, program, what it wrote and
    // how it ended.
    void process_table()
    {
        std::size_t width = 5;
        for (const Process &process : history_.processes()) {
            width = std::max(width, short_place(process).size());
        }
        put(out_, "    pid  " + left("place", width) +
                      "  parent program    lines writes exit      collected\n");
        for (const Process &process : history_.processes()) {
            const std::string place = short_place(process);
            const std::string parent = process.parent == 0 ? "-" : std::to_string(process.parent);
            const std::string collected = collected_text(process);
            put(out_, right(std::to_string(process.pid), 7) + "  " +
                          left(place.empty() ? "-" : place, width) + " " + right(parent, 7) + " " +
                          left(printable(process.program), 10) + " " +
                          right(std::to_string(process.lines), 5) + " " +
                          right(std::to_string(process.writes), 6) + " " +
                          left(exit_summary(process.exit), 9) + " " +
                          (collected.empty() ? "-" : collected) +
                          (process.orphan ? ", orphan" : "") + "\n");
        }
    }

    // The lines pending in a buffer that an exec or the end of a process
    // threw away, as rows for the end of the report.
    void remember_lost(const Event &event)
    {
        const Process *process = history_.find(event.pid);
        std::string when = "at its end";
        if (event.kind == Event::Kind::exec) {
            when = "at its exec of " + printable(base_name(event.path));
        } else if (event.signal) {
            when = "when signal " + std::to_string(*event.signal) + " killed it";
        }
        for (const Piece &piece : split_lines(*event.lost)) {
            lost_ += right(std::to_string(event.pid), 7) + " " +
                     left(process != nullptr ? printable(process->program) : "", 10) + " " +
                     printable(piece.text) + (piece.newline ? "" : no_newline) + "  (lost " + when +
                     ")\n";
        }
    }

    // A failed exec attempt, held until it is known to be the last.
    struct Held {
        Event event;
        std::string program;
        int attempts = 1;
    };

    void tally(Printer printer)
    {
        own_lines_ += printer == Printer::own ? 1 : 0;
        copied_lines_ += printer == Printer::copied ? 1 : 0;
        unknown_lines_ += printer == Printer::unknown || printer == Printer::none ? 1 : 0;
    }

    std::FILE *out_;
    std::string lost_;
    // Lines by printer; unknown_lines_ holds those with none known.
    std::size_t own_lines_ = 0, copied_lines_ = 0, unknown_lines_ = 0, mixed_lines_ = 0;
    std::array<OpenLine<Printer>, 2> open_;  // the output's and error's
    std::map<pid_t, Held> held_exec_;
    std::set<pid_t> writers_;
    EventsForOrders kept_;
    std::map<std::string, std::size_t> causes_;  // writes, by why they went out
    History history_;
    bool header_written_ = false;
};

}  // namespace

std::unique_ptr<Report> text_report(std::FILE *out, const ReportOptions & /*options*/)
{
    return std::make_unique<TextReport>(out);
}

}  // namespace forktrace
