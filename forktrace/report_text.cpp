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

class TextReport final : public Report {
public:
    explicit TextReport(std::FILE *out) : out_(out), history_(false) {}

    void add(const Event &event) override
    {
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
        for (const Piece &piece : split_lines(event.data)) {
            row(first, printable(piece.text) + (piece.newline ? "" : no_newline));
            first = false;
        }
    }

    void finish() override
    {
        if (!header_written_) {
            put(out_, "no output\n");
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
    std::FILE *out_;
    History history_;
    bool header_written_ = false;
};

}  // namespace

std::unique_ptr<Report> text_report(std::FILE *out, const ReportOptions & /*options*/)
{
    return std::make_unique<TextReport>(out);
}

}  // namespace forktrace
