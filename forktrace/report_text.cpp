// text: the command's output as a transcript, one row per line, each beside
// the process that wrote it and the write call it came in, written as the
// writes come; then a summary per process. Only counts are kept, so memory
// does not grow with the output.
#include "history.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <map>

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
    explicit TextReport(std::FILE *out) : out_(out), history_(false) {}

    void add(const Event &event) override
    {
        if (event.lost && !event.lost->empty()) {
            remember_lost(event);  // by the program that lost them, before an exec renames it
        }
        history_.add(event);
        if (event.kind != Event::Kind::write || event.stream == Stream::elsewhere) {
            return;
        }
        const Process *writer = history_.find(event.pid);
        const std::string program = writer != nullptr ? printable(writer->program) : "";
        const std::size_t write = history_.writes();
        // One row per line: the write's time, number and writer on its first
        // row only, so that the lines of one write read as one.
        const auto row = [&](bool first, const std::string &printed_by, const std::string &line) {
            if (!header_written_) {
                put(out_, "   time  write  written by         printed by     line\n");
                header_written_ = true;
            }
            put(out_, right(first ? seconds(event.time) : "", 7) + " " +
                          right(first ? "#" + std::to_string(write) : "", 6) + "  " +
                          left(first ? std::to_string(event.pid) + " " + program : "", 18) + " " +
                          left(printed_by, 14) + " " +
                          (event.stream == Stream::error ? "2> " : "") + line + "\n");
        };
        if (!event.error.empty() && event.data.empty()) {
            row(true, "", "[write failed: " + event.error + "]");
            return;
        }
        bool first = true;
        std::size_t offset = 0, count = 0, copied = 0;
        for (const Piece &piece : split_lines(event.data)) {
            const pid_t printer = origin_at(event.origins, offset);
            std::string printed_by;
            if (printer == event.pid) {
                printed_by = "itself";
            } else if (printer != 0) {
                printed_by = std::to_string(printer) + ", forked";
                ++copied;
            }
            row(first, printed_by, printable(piece.text) + (piece.newline ? "" : no_newline));
            first = false;
            ++count;
            offset += piece.text.size() + (piece.newline ? 1 : 0);
        }
        own_lines_ += event.origins.empty() ? 0 : count - copied;
        copied_lines_ += copied;
        if (!event.cause.empty()) {
            ++causes_[why_written(event.cause, "the writer")];
        }
        // A write of several lines, or of lines other processes printed: what
        // it was and why it went out.
        if (count > 1 || copied > 0) {
            std::string note = std::string(16, ' ') + "^ write #" + std::to_string(write) + ": " +
                               lines(count) + " from " + std::to_string(event.pid) + "'s buffer";
            if (copied > 0) {
                note += ", " + std::to_string(copied) + " of them copied into it by forks";
            }
            if (!event.cause.empty()) {
                note += "; out " + why_written(event.cause, "it");
            }
            put(out_, note + "\n");
        }
    }

    void finish() override
    {
        if (!header_written_) {
            put(out_, "no output\n");
        }
        if (!lost_.empty()) {
            put(out_,
                "\nLines that never came out, pending in a buffer that was thrown away:\n" + lost_);
        }
        put(out_, "\n" + totals(history_) + "\n");
        if (copied_lines_ > 0) {
            put(out_, "  " + lines(own_lines_) + " written by the process that printed them, " +
                          lines(copied_lines_) +
                          " printed by another and copied into the writer's buffer when it "
                          "forked (\"forked\" above): each such line comes out once more.\n");
        }
        for (const auto &[reason, writes] : causes_) {
            put(out_, "  " + std::to_string(writes) + (writes == 1 ? " write" : " writes") +
                          " went out " + reason + ".\n");
        }
        put(out_, "    pid  parent program    lines writes exit      reaped\n");
        bool orphans = false, running = false;
        for (const Process &process : history_.processes()) {
            std::string reaped = "-";
            if (process.reaper) {
                reaped = "by " + std::to_string(*process.reaper);
            } else if (process.exit) {
                reaped = "not waited for";
            }
            if (process.orphan) {
                reaped += ", orphan";
                orphans = true;
            }
            running = running || !process.exit;
            const std::string parent = process.parent == 0 ? "-" : std::to_string(process.parent);
            put(out_, right(std::to_string(process.pid), 7) + " " + right(parent, 7) + " " +
                          left(printable(process.program), 10) + " " +
                          right(std::to_string(process.lines), 5) + " " +
                          right(std::to_string(process.writes), 6) + " " +
                          left(exit_summary(process.exit), 9) + " " + reaped + "\n");
        }
        if (orphans) {
            put(out_, "orphan: its parent had ended before it did.\n");
        }
        if (running) {
            put(out_, "none: the trace ended before the process did.\n");
        }
        static_cast<void>(std::fflush(out_));
    }

private:
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

    std::FILE *out_;
    std::string lost_;
    std::size_t own_lines_ = 0, copied_lines_ = 0;
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
