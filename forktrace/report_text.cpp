// text: the command's output as a transcript, one row per line, each beside
// the process that wrote it and the write call it came in, written as the
// writes come; then a summary per process. Only counts are kept, so memory
// does not grow with the output.
#include "history.hpp"

#include <algorithm>
#include <array>
#include <charconv>

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

// Why a write went out, in words.
std::string why(const std::string &cause)
{
    return cause == "newline" ? "at its newline"
           : cause == "full"  ? "when the buffer was full"
           : cause == "exit"  ? "at exit"
           : cause == "flush" ? "at a flush"
                              : "at once, unbuffered";
}

// Where a line came from: who printed it, whether a fork copied it into the
// writer, and why it went out.
std::string origin_words(pid_t printer, const Event &write)
{
    std::string words = "  (printed by " + std::to_string(printer);
    if (printer != write.pid) {
        words += ", copied by fork into " + std::to_string(write.pid);
    }
    return words + ", written " + why(write.cause) + ")";
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
        const std::string write = "#" + std::to_string(history_.writes());
        const std::string to = event.stream == Stream::error ? "err" : "out";
        const auto row = [&](bool first, const std::string &line) {
            if (!header_written_) {
                put(out_, "   time     pid program     write to  line\n");
                header_written_ = true;
            }
            // The time is the write's: shown once, so that the rows of one
            // write read as one.
            put(out_, right(first ? seconds(event.time) : "", 7) + " " +
                          right(std::to_string(event.pid), 7) + " " + left(program, 10) + " " +
                          right(write, 6) + " " + to + " " + line + "\n");
        };
        if (!event.error.empty() && event.data.empty()) {
            row(true, "[write failed: " + event.error + "]");
            return;
        }
        bool first = true;
        std::size_t offset = 0;
        for (const Piece &piece : split_lines(event.data)) {
            const pid_t printer = origin_at(event.origins, offset);
            row(first, printable(piece.text) + (piece.newline ? "" : no_newline) +
                           (printer != 0 ? origin_words(printer, event) : ""));
            first = false;
            offset += piece.text.size() + (piece.newline ? 1 : 0);
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
    History history_;
    bool header_written_ = false;
};

}  // namespace

std::unique_ptr<Report> text_report(std::FILE *out, const ReportOptions & /*options*/)
{
    return std::make_unique<TextReport>(out);
}

}  // namespace forktrace
