// dot and mermaid: the process tree as a diagram, for Graphviz and for
// Markdown that renders Mermaid. Each process is a row of steps from left to
// right: how it began (its PID and the program it was forked as), each exec
// (or failed exec, or failed fork); its last box says how it ended. A fork is
// a bold arrow from the step the parent was at to the child's first, labelled
// with the lines it copied from the parent's buffer; a step that threw lines
// away says how many.
//
// The command's bytes are untrusted: every text that came from it goes
// through printable() and then the diagram language's own escapes.
#include "history.hpp"

#include <algorithm>
#include <map>
#include <variant>

namespace forktrace {
namespace {

// A failed write stays in the stream's error indicator, for the caller to
// see once the report is finished.
void put(std::FILE *out, std::string_view text)
{
    static_cast<void>(std::fwrite(text.data(), 1, text.size(), out));
}

// A box of the diagram.
struct Node {
    std::string id;
    std::vector<std::string> lines;  // its text, printable, not yet escaped
    enum class Kind { begin, exec, failed } kind = Kind::begin;
    bool bad_end = false;  // the process's last box, and it ended badly
};

// A fork: from the parent's step at the time to the child's first box.
struct Fork {
    std::size_t parent = 0, step = 0, child = 0;
    std::size_t copied = 0;  // lines pending in the parent's buffer, copied
    bool shared = false;     // a vfork's: memory shared, nothing copied
};

std::string count_of(std::size_t lines)
{
    return std::to_string(lines) + (lines == 1 ? " line" : " lines");
}

// "fork", "fork: 3 lines copied", "vfork: memory shared".
std::string fork_label(const Fork &fork)
{
    if (fork.shared) {
        return "vfork: memory shared";
    }
    return fork.copied == 0 ? "fork" : "fork: " + count_of(fork.copied) + " copied";
}

std::string end_text(const Process &process)
{
    if (!process.exit) {
        return "still running";
    }
    if (process.exit->signal) {
        return "killed by " + signal_text(*process.exit->signal);
    }
    return "exit " + std::to_string(process.exit->code.value_or(0));
}

// The diagram of a whole trace, in neither language yet.
class Diagram {
public:
    void add(const Event &event)
    {
        history_.add(event);
        count_by_box(event);
        const std::vector<Process> &processes = history_.processes();
        while (born_as_.size() < processes.size()) {
            born_as_.push_back(processes[born_as_.size()].program);
        }
        if (event.kind == Event::Kind::start) {
            born_as_[index_of(event.pid)] = history_.find(event.pid)->program;
            argv_ = event.argv;
            on_ = event.on;
        }
        if (event.kind == Event::Kind::fork && event.ok) {
            const std::size_t parent = index_of(event.pid);
            const std::size_t child = index_of(event.child);
            born_as_[child] = processes[child].program;
            forks_.push_back({parent, steps_of(parent), child,
                              event.pending ? split_lines(*event.pending).size() : 0,
                              event.shares_memory});
        }
        // Lines thrown away: at the step just made, or at the end.
        if (event.lost && !event.lost->empty()) {
            const std::size_t lines = split_lines(*event.lost).size();
            const std::size_t process = index_of(event.pid);
            if (event.kind == Event::Kind::exec) {
                lost_at_step_[{process, steps_of(process)}] = lines;
            } else {
                lost_at_end_[process] = lines;
            }
        }
    }

    // Every process's boxes, in order of appearance; box 0 is its beginning.
    std::vector<std::vector<Node>> rows() const
    {
        std::vector<std::vector<Node>> rows;
        const std::vector<Process> &processes = history_.processes();
        for (std::size_t i = 0; i < processes.size(); ++i) {
            const Process &process = processes[i];
            const std::string id = "p" + std::to_string(i);
            std::vector<Node> row;
            row.push_back({id,
                           {std::to_string(process.pid) + " " + printable(born_as_[i])},
                           Node::Kind::begin});
            for (const auto &item : process.timeline) {
                const auto *step = std::get_if<Step>(&item);
                if (step == nullptr) {
                    continue;
                }
                Node node{id + "s" + std::to_string(row.size()), {}, Node::Kind::exec};
                if (step->failed_fork) {
                    node.lines = {"fork failed", step->error};
                } else {
                    node.lines = {"exec " + printable(step->path)};
                    if (step->argv.size() > 1) {
                        node.lines.push_back(command_line(step->argv, step->argv_cut));
                    }
                    if (!step->ok) {
                        node.lines.push_back("failed: " + step->error);
                    }
                    if (step->attempts > 1) {
                        node.lines.push_back(std::to_string(step->attempts) + " tries along PATH");
                    }
                }
                if (!step->ok) {
                    node.kind = Node::Kind::failed;
                }
                if (const auto lost = lost_at_step_.find({i, row.size()});
                    lost != lost_at_step_.end()) {
                    node.lines.push_back(count_of(lost->second) + " lost at this exec");
                }
                row.push_back(std::move(node));
            }
            // How it ended, in its last box: no box of its own.
            Node &last = row.back();
            std::string ended = end_text(process);
            if (process.exit) {
                ended += ", " + collected_text(process);
            }
            if (process.orphan) {
                ended += ", orphan";
            }
            last.lines.push_back(ended);
            if (const std::vector<std::size_t> wrote = lines_by_box(i); wrote.empty()) {
                if (process.lines != 0) {
                    last.lines.push_back("wrote " + count_of(process.lines));
                }
            } else {
                for (std::size_t box = 0; box < row.size() && box < wrote.size(); ++box) {
                    if (wrote[box] != 0) {
                        row[box].lines.push_back("wrote " + count_of(wrote[box]));
                    }
                }
            }
            if (const auto lost = lost_at_end_.find(i); lost != lost_at_end_.end()) {
                last.lines.push_back(count_of(lost->second) + " lost at its end");
            }
            if (process.exit && (process.exit->signal || process.exit->code.value_or(0) != 0)) {
                last.bad_end = true;
            }
            rows.push_back(std::move(row));
        }
        return rows;
    }

    const std::vector<Fork> &forks() const { return forks_; }
    const History &history() const { return history_; }
    // What forktrace said of the run, each after `comment` ("//", "%%").
    std::string notices(const std::string &comment) const
    {
        std::string text;
        for (const std::string &notice : history_.notices()) {
            text += comment + " " + notice_line(notice) + "\n";
        }
        return text;
    }

    std::string title() const
    {
        std::vector<std::string> argv = argv_;
        if (!argv.empty()) {
            argv.front() = base_name(argv.front());
        }
        const std::string where = on_ == On::pipe       ? " on a pipe"
                                  : on_ == On::terminal ? " on a terminal"
                                                        : "";
        return "forktrace: " + command_line(argv) + where + " (" + totals(history_) + ")";
    }

private:
    // The lines a write ended, in the box its process is in: the first
    // before its first exec or failed fork, then one after each (the steps
    // of its timeline, which keeps no rows here).
    void count_by_box(const Event &event)
    {
        if (event.kind != Event::Kind::write || event.stream == Stream::elsewhere ||
            event.data.empty()) {
            return;
        }
        const std::size_t process = index_of(event.pid);
        Boxes &boxes = wrote_[process];
        boxes.last = history_.processes()[process].timeline.size();
        boxes.lines.resize(std::max(boxes.lines.size(), boxes.last + 1), 0);
        boxes.lines[boxes.last] +=
            static_cast<std::size_t>(std::count(event.data.begin(), event.data.end(), '\n'));
    }

    // The lines process `i` wrote in each of its boxes, as History counts
    // them: the newlines, and a line it left open at the end in the box of
    // its last write.
    std::vector<std::size_t> lines_by_box(std::size_t i) const
    {
        const auto found = wrote_.find(i);
        if (found == wrote_.end()) {
            return {};
        }
        const Process &process = history_.processes()[i];
        std::vector<std::size_t> lines = found->second.lines;
        lines[found->second.last] += process.lines - std::min(process.lines, process.newlines);
        return lines;
    }

    std::size_t index_of(pid_t pid) const
    {
        return static_cast<std::size_t>(history_.find(pid) - history_.processes().data());
    }

    // The steps of a process so far: the place of its next box, counting
    // its beginning.
    std::size_t steps_of(std::size_t process) const
    {
        const auto &timeline = history_.processes()[process].timeline;
        return static_cast<std::size_t>(
            std::count_if(timeline.begin(), timeline.end(),
                          [](const auto &item) { return std::holds_alternative<Step>(item); }));
    }

    History history_{0};
    std::vector<std::string> born_as_;
    std::vector<Fork> forks_;
    std::vector<std::string> argv_;
    On on_ = On::inherit;
    struct Boxes {
        std::vector<std::size_t> lines;  // ended in each box
        std::size_t last = 0;            // the box of its last write
    };
    std::map<std::size_t, Boxes> wrote_;  // by process, in order of appearance
    std::map<std::pair<std::size_t, std::size_t>, std::size_t> lost_at_step_;
    std::map<std::size_t, std::size_t> lost_at_end_;
};

// Printable text as the inside of a dot string: only the quote and the
// backslash are special there.
std::string dot_quoted(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

class DotReport final : public Report {
public:
    explicit DotReport(std::FILE *out) : out_(out) {}

    void add(const Event &event) override { diagram_.add(event); }

    void finish() override
    {
        std::string out =
            diagram_.notices("//") +
            "digraph forktrace {\n"
            "  graph [rankdir=LR, fontname=\"Helvetica\", fontsize=12, labelloc=t, label=\"" +
            dot_quoted(diagram_.title()) +
            "\"];\n"
            "  node [shape=box, style=\"rounded,filled\", fontname=\"Helvetica\", fontsize=10, "
            "fillcolor=\"#f1f5f9\", color=\"#64748b\"];\n"
            "  edge [color=\"#94a3b8\", arrowsize=0.6];\n";
        const std::vector<std::vector<Node>> rows = diagram_.rows();
        for (const std::vector<Node> &row : rows) {
            for (std::size_t i = 0; i < row.size(); ++i) {
                const Node &node = row[i];
                std::string label;
                for (const std::string &line : node.lines) {
                    label += (label.empty() ? "" : "\\n") + dot_quoted(line);
                }
                out += "  " + node.id + " [label=\"" + label + "\"" + attributes(node) + "];\n";
                if (i != 0) {
                    out += "  " + row[i - 1].id + " -> " + node.id + ";\n";
                }
            }
        }
        for (const Fork &fork : diagram_.forks()) {
            out += "  " + rows[fork.parent][fork.step].id + " -> " + rows[fork.child].front().id +
                   " [label=\"" + fork_label(fork) +
                   "\", fontsize=9, penwidth=2, color=\"#0f766e\"];\n";
        }
        put(out_, out + "}\n");
        static_cast<void>(std::fflush(out_));
    }

private:
    static std::string attributes(const Node &node)
    {
        if (node.bad_end || node.kind == Node::Kind::failed) {
            return ", fillcolor=\"#fee2e2\", color=\"#dc2626\"";
        }
        return node.kind == Node::Kind::begin ? ", fillcolor=\"#dbeafe\", color=\"#2563eb\""
                                              : ", fillcolor=\"#ede9fe\", color=\"#7c3aed\"";
    }

    std::FILE *out_;
    Diagram diagram_;
};

// Printable text as a Mermaid label: letters, digits and the signs that are
// plain text in a quoted label as they are, every other character as
// Mermaid's entity code (#60; for <), so that nothing in it is syntax,
// Markdown or HTML.
std::string mermaid_text(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        // Inside a quoted label these are text: only the quote, the
        // entity sign, the signs of HTML and Markdown, and the rest need codes.
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') ||
                           std::string_view(" .,:-/+=()'!?@%_").find(static_cast<char>(byte)) !=
                               std::string_view::npos;
        if (plain) {
            out += static_cast<char>(byte);
            ++i;
            continue;
        }
        // printable() leaves only valid UTF-8: decode the character.
        std::size_t length = 1;
        unsigned code = byte;
        if (byte >= 0xF0) {
            length = 4;
            code = byte & 0x07U;
        } else if (byte >= 0xE0) {
            length = 3;
            code = byte & 0x0FU;
        } else if (byte >= 0xC0) {
            length = 2;
            code = byte & 0x1FU;
        }
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
            code = (code << 6U) | (static_cast<unsigned char>(text[i + k]) & 0x3FU);
        }
        out += "#" + std::to_string(code) + ";";
        i += length;
    }
    return out;
}

class MermaidReport final : public Report {
public:
    explicit MermaidReport(std::FILE *out) : out_(out) {}

    void add(const Event &event) override { diagram_.add(event); }

    void finish() override
    {
        std::string out = "%% " + mermaid_text(diagram_.title()) + "\n" + diagram_.notices("%%") +
                          "flowchart LR\n"
                          "  classDef begin fill:#dbeafe,stroke:#2563eb\n"
                          "  classDef exec fill:#ede9fe,stroke:#7c3aed\n"
                          "  classDef failed fill:#fee2e2,stroke:#dc2626\n";
        const std::vector<std::vector<Node>> rows = diagram_.rows();
        for (const std::vector<Node> &row : rows) {
            for (std::size_t i = 0; i < row.size(); ++i) {
                const Node &node = row[i];
                std::string label;
                for (const std::string &line : node.lines) {
                    label += (label.empty() ? "" : "<br>") + mermaid_text(line);
                }
                out += "  " + node.id + "[\"" + label + "\"]" + style(node) + "\n";
                if (i != 0) {
                    out += "  " + row[i - 1].id + " --> " + node.id + "\n";
                }
            }
        }
        for (const Fork &fork : diagram_.forks()) {
            out += "  " + rows[fork.parent][fork.step].id + " ==>|" +
                   mermaid_text(fork_label(fork)) + "| " + rows[fork.child].front().id + "\n";
        }
        put(out_, out);
        static_cast<void>(std::fflush(out_));
    }

private:
    static const char *style(const Node &node)
    {
        if (node.bad_end || node.kind == Node::Kind::failed) {
            return ":::failed";
        }
        return node.kind == Node::Kind::begin ? ":::begin" : ":::exec";
    }

    std::FILE *out_;
    Diagram diagram_;
};

}  // namespace

std::unique_ptr<Report> dot_report(std::FILE *out, const ReportOptions & /*options*/)
{
    return std::make_unique<DotReport>(out);
}

std::unique_ptr<Report> mermaid_report(std::FILE *out, const ReportOptions & /*options*/)
{
    return std::make_unique<MermaidReport>(out);
}

}  // namespace forktrace
