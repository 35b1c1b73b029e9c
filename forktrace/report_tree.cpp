// tree: the processes as a tree, each with what it ran, what it wrote, how it
// ended and who collected it. Written at the end, from the whole history.
#include "history.hpp"

#include <variant>

namespace forktrace {
namespace {

// A failed write stays in the stream's error indicator, for the caller to
// see once the report is finished.
void put(std::FILE *out, std::string_view text)
{
    static_cast<void>(std::fwrite(text.data(), 1, text.size(), out));
}

struct Glyphs {
    const char *branch;  // a child with more children after it
    const char *last;    // the last child
    const char *down;    // the line past a child to the children after it
    const char *bar;     // the line past a process's details to its children
};

constexpr Glyphs unicode{"├── ", "└── ", "│   ", "│ "};
constexpr Glyphs ascii{"|-- ", "`-- ", "|   ", "| "};

std::string line_text(const Line &line)
{
    std::string out = line.stream == Stream::error ? "2> " : "> ";
    if (!line.error.empty()) {
        return out + "[write failed: " + line.error + "]";
    }
    return out + printable(line.text) + (line.newline ? "" : "[no newline]");
}

std::string end_text(const Process &process)
{
    std::string out;
    if (!process.exit) {
        out = "no exit: the trace ended first";
    } else if (process.exit->signal) {
        out = "killed by " + signal_text(*process.exit->signal);
    } else {
        out = "exit code " + std::to_string(process.exit->code.value_or(0)) +
              at_site(process.exit->site);
    }
    if (process.reaper) {
        out += ", reaped by " + std::to_string(*process.reaper);
        if (process.reap_site) {
            out += " (the wait at " + printable(*process.reap_site) + ")";
        }
    } else if (process.exit) {
        out += ", " + collected_text(process);
    }
    if (process.orphan) {
        out += " (its parent " + std::to_string(process.parent) + " had ended first)";
    }
    return out;
}

class TreeReport final : public Report {
public:
    TreeReport(std::FILE *out, const ReportOptions &options)
        : out_(out), glyphs_(options.ascii ? ascii : unicode)
    {
    }

    void add(const Event &event) override { history_.add(event); }

    void finish() override
    {
        const std::vector<Process> &processes = history_.processes();
        std::vector<bool> is_child(processes.size(), false);
        for (const Process &process : processes) {
            for (const std::size_t child : process.children) {
                is_child[child] = true;
            }
        }
        for (std::size_t i = 0; i < processes.size(); ++i) {
            if (!is_child[i]) {
                draw(processes[i], "", "", "");
            }
        }
        put(out_, "\n" + totals(history_) + "\n" + notices_text(history_));
        static_cast<void>(std::fflush(out_));
    }

private:
    // The process's line after `prefix` and `connector`; under it, after
    // `indent`, its details, then its children.
    void draw(const Process &process, const std::string &prefix, const char *connector,
              const std::string &indent)
    {
        put(out_, prefix + connector + std::to_string(process.pid) + " " +
                      printable(process.program) + "\n");
        // Details sit on the line down to the children, if there are any.
        const std::string details = indent + (process.children.empty() ? "  " : glyphs_.bar);
        if (process.shares_memory) {
            put(out_, details + "made by vfork" + at_site(process.fork_site) + ": it shared " +
                          std::to_string(process.parent) +
                          "'s memory, buffer and all, until its exec or its end\n");
        } else if (process.fork_site) {
            put(out_, details + "made by fork() at " + printable(*process.fork_site) +
                          ", which returned " + std::to_string(process.pid) + " in " +
                          std::to_string(process.maker.value_or(process.parent)) + " and 0 here\n");
        }
        if (process.maker) {
            put(out_, details + "made by " + std::to_string(*process.maker) +
                          " with CLONE_PARENT: its sibling, a child of " +
                          std::to_string(process.parent) + "\n");
        }
        for (const auto &item : process.timeline) {
            const std::string text = std::holds_alternative<Step>(item)
                                         ? step_text(std::get<Step>(item))
                                         : line_text(std::get<Line>(item));
            put(out_, details + text + "\n");
        }
        if (process.not_kept != 0) {
            put(out_, details + "... " + std::to_string(process.not_kept) +
                          " more rows of output, counted but not kept\n");
        }
        put(out_, details + end_text(process) + "\n");
        const std::vector<Process> &processes = history_.processes();
        for (std::size_t i = 0; i < process.children.size(); ++i) {
            const bool last = i + 1 == process.children.size();
            draw(processes[process.children[i]], indent, last ? glyphs_.last : glyphs_.branch,
                 indent + (last ? "    " : glyphs_.down));
        }
    }

    std::FILE *out_;
    Glyphs glyphs_;
    History history_;
};

}  // namespace

std::unique_ptr<Report> tree_report(std::FILE *out, const ReportOptions &options)
{
    return std::make_unique<TreeReport>(out, options);
}

}  // namespace forktrace
