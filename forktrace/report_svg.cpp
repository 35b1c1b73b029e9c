// svg and html: the trace as a timeline, one lane per process in the order
// the processes appeared, time running left to right. A fork is an arrow from
// the parent's lane to the child's, each line written is a tick on its
// writer's lane, an exec is a diamond with the new program's name, and a lane
// ends where its process exited, linked to the process that reaped it. The
// html page holds the same picture, the transcript and the tree.
//
// The command's bytes are untrusted: every text that came from it goes
// through printable() and then XML's escapes, so it shows as text and can
// never make markup.
#include "history.hpp"

#include <string.h>  // sigabbrev_np, a GNU extension

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <variant>

namespace forktrace {
namespace {

// A failed write stays in the stream's error indicator, for the caller to
// see once the report is finished.
void put(std::FILE *out, std::string_view text)
{
    static_cast<void>(std::fwrite(text.data(), 1, text.size(), out));
}

// Printable text (see printable()) as XML text, for element content and for
// attributes in either quotes. Printable text holds no control character;
// the two noncharacters that XML refuses become escapes like the rest.
std::string escape(std::string_view shown)
{
    std::string out;
    out.reserve(shown.size());
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const char c = shown[i];
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c == '"') {
            out += "&quot;";
        } else if (c == '\'') {
            out += "&#39;";
        } else if (shown.compare(i, 2, "\xEF\xBF") == 0 && i + 2 < shown.size() &&
                   (shown[i + 2] == '\xBE' || shown[i + 2] == '\xBF')) {
            out += shown[i + 2] == '\xBE' ? "\\ufffe" : "\\uffff";
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

// The command's bytes as XML text.
std::string xml(std::string_view bytes) { return escape(printable(bytes)); }

// A number for a coordinate: one decimal.
std::string num(double value)
{
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::fixed, 1);
    std::string out(buffer.data(), result.ptr);
    if (out.size() > 2 && out.ends_with(".0")) {
        out.resize(out.size() - 2);
    }
    return out == "-0" ? "0" : out;
}

// A duration or a moment for people: "850 µs", "1.25 ms", "5.00 s".
std::string duration(double seconds)
{
    if (seconds == 0) {
        return "0";
    }
    std::array<char, 32> buffer{};
    const double magnitude = std::fabs(seconds);
    const char *unit = "s";
    double value = seconds;
    int decimals = 2;
    if (magnitude < 1e-3) {
        unit = "µs";
        value = seconds * 1e6;
        decimals = 0;
    } else if (magnitude < 1) {
        unit = "ms";
        value = seconds * 1e3;
        decimals = magnitude < 0.01 ? 2 : magnitude < 0.1 ? 1 : 0;
    }
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::fixed, decimals);
    return std::string(buffer.data(), result.ptr) + " " + unit;
}

// A tick's moment, precise enough to tell it from the next, `step` later.
std::string moment(double seconds, double step)
{
    if (seconds < 1) {
        return duration(seconds);
    }
    std::array<char, 32> buffer{};
    const int decimals = std::clamp(static_cast<int>(std::ceil(-std::log10(step))), 2, 6);
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), seconds,
                                      std::chars_format::fixed, decimals);
    return std::string(buffer.data(), result.ptr) + " s";
}

// `text` cut to `length` characters (UTF-8 aware), with an ellipsis.
std::string cut(const std::string &text, std::size_t length)
{
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0U) != 0x80U && ++characters > length) {
            return text.substr(0, i) + "…";
        }
    }
    return text;
}

// A fork or a reap: a link between two lanes at a moment.
struct Link {
    double time = 0;
    std::size_t from = 0;  // fork: the parent; reap: the child
    std::size_t to = 0;    // fork: the child; reap: the reaper
};

// The history with what the pictures need besides: when each process
// appeared and as which program, and the forks and reaps as links. Built as
// the events come, so that no event is kept: the history keeps the output's
// rows up to its budget.
struct Trace {
    History history;
    std::vector<double> born;
    std::vector<std::string> born_as;
    std::vector<Link> forks, reaps;
    std::vector<double> times;  // of every event
    std::vector<std::string> argv;
    On on = On::inherit;
    std::size_t first_unnamed = 0;  // of born_as: those before it have a name

    double end() const { return times.empty() ? 0 : times.back(); }
    void add(const Event &event);
    // After the last event: the times in order.
    void done() { std::sort(times.begin(), times.end()); }
};

std::size_t index_of(const History &history, pid_t pid)
{
    return static_cast<std::size_t>(history.find(pid) - history.processes().data());
}

void Trace::add(const Event &event)
{
    history.add(event);
    times.push_back(event.time);
    const std::vector<Process> &processes = history.processes();
    while (born.size() < processes.size()) {
        born.push_back(event.time);
        born_as.emplace_back();
    }
    // A child's program is its parent's until it execs; the fork that tells
    // which parent may come after the child's first event.
    for (std::size_t i = first_unnamed; i < born_as.size(); ++i) {
        if (born_as[i].empty()) {
            born_as[i] = processes[i].program;
        }
    }
    while (first_unnamed < born_as.size() && !born_as[first_unnamed].empty()) {
        ++first_unnamed;
    }
    if (event.kind == Event::Kind::start) {
        argv = event.argv;
        on = event.on;
        const std::size_t index = index_of(history, event.pid);
        born_as[index] = processes[index].program;
    } else if (event.kind == Event::Kind::fork && event.ok) {
        forks.push_back({event.time, index_of(history, event.pid), index_of(history, event.child)});
    } else if (event.kind == Event::Kind::reap && history.find(event.child) != nullptr) {
        reaps.push_back({event.time, index_of(history, event.child), index_of(history, event.pid)});
    }
}

// Time to x. Linear, except that a long stretch in which nothing happened
// (a sleep, a wait for input) is cut down to a narrow striped band, so that it
// does not squash everything else to a line.
class Scale {
public:
    struct Segment {
        double from = 0, to = 0;  // seconds
        double x = 0;             // where it starts
    };
    static constexpr double gap_width = 36;

    Scale(const std::vector<double> &times, double left, double width)
    {
        const double first = times.empty() ? 0 : std::min(0.0, times.front());
        const double last = times.empty() ? 0 : times.back();
        // The stretches between events, longest first: cut while the longest
        // is at least 0.1 s and a quarter of what is left.
        std::vector<std::pair<double, std::size_t>> gaps;
        for (std::size_t i = 1; i < times.size(); ++i) {
            gaps.emplace_back(times[i] - times[i - 1], i);
        }
        std::sort(gaps.begin(), gaps.end(), [](const auto &a, const auto &b) { return a > b; });
        double kept = last - first;
        std::vector<std::size_t> cuts;
        for (const auto &[length, at] : gaps) {
            if (length < 0.1 || length < kept / 4 || cuts.size() == 8) {
                break;
            }
            cuts.push_back(at);
            kept -= length;
            cut_time_ += length;
        }
        std::sort(cuts.begin(), cuts.end());
        per_second_ = (width - gap_width * static_cast<double>(cuts.size())) / std::max(kept, 1e-6);
        double start = left;
        double from = first;
        for (const std::size_t at : cuts) {
            segments_.push_back({from, times[at - 1], start});
            start += (times[at - 1] - from) * per_second_ + gap_width;
            from = times[at];
        }
        segments_.push_back({from, last, start});
    }

    double x(double time) const
    {
        const auto after =
            std::upper_bound(segments_.begin(), segments_.end(), time,
                             [](double t, const Segment &segment) { return t < segment.from; });
        const Segment &segment = after == segments_.begin() ? segments_.front() : *(after - 1);
        return segment.x +
               (std::clamp(time, segment.from, segment.to) - segment.from) * per_second_;
    }

    const std::vector<Segment> &segments() const { return segments_; }
    double per_second() const { return per_second_; }
    double cut_time() const { return cut_time_; }

private:
    std::vector<Segment> segments_;
    double per_second_ = 1;
    double cut_time_ = 0;
};

// A step of 1, 2 or 5 times a power of ten, at least `minimum`.
double nice_step(double minimum)
{
    const double power = std::pow(10.0, std::floor(std::log10(minimum)));
    static constexpr std::array<double, 3> factors{1, 2, 5};
    const auto *found = std::find_if(factors.begin(), factors.end(),
                                     [&](double factor) { return factor * power >= minimum; });
    return (found != factors.end() ? *found : 10) * power;
}

std::string exit_text(const std::optional<Exit> &exit)
{
    if (!exit) {
        return "still running";
    }
    if (exit->signal) {
        const char *name = sigabbrev_np(*exit->signal);
        return "signal " + std::to_string(*exit->signal) +
               (name != nullptr ? " (SIG" + std::string(name) + ")" : std::string());
    }
    return "exit " + std::to_string(exit->code.value_or(0));
}

// The program a step started, by name.
std::string program_of(const Step &step)
{
    return base_name(step.argv.empty() || step.argv.front().empty() ? step.path
                                                                    : step.argv.front());
}

// The lines of one write on one lane.
struct Write {
    std::size_t number = 0;
    double time = 0;
    std::vector<const Line *> lines;
};

std::vector<Write> writes_of(const Process &process)
{
    std::vector<Write> writes;
    for (const auto &item : process.timeline) {
        if (const auto *line = std::get_if<Line>(&item)) {
            if (writes.empty() || writes.back().number != line->write) {
                writes.push_back({line->write, line->time, {}});
            }
            writes.back().lines.push_back(line);
        }
    }
    return writes;
}

// "fanout on a pipe": the command and where its output went.
std::string headline(const Trace &trace)
{
    std::vector<std::string> argv = trace.argv;
    if (!argv.empty()) {
        argv.front() = base_name(argv.front());
    }
    std::string out = argv.empty() ? "(no command)" : command_line(argv);
    if (trace.on == On::pipe) {
        out += " on a pipe";
    } else if (trace.on == On::terminal) {
        out += " on a terminal";
    }
    return out;
}

constexpr const char *svg_style = R"(
.lane-bg{fill:#fff}.lane.odd .lane-bg{fill:#f4f6f9}.lane.hl .lane-bg{fill:#fde68a}
.life{fill:#94a3b8}.life.open{fill:#cbd5e1}.lane.hl .life{fill:#475569}
.label{font:12px ui-monospace,Menlo,Consolas,monospace;fill:#0f172a}
.small{font:10px system-ui,sans-serif;fill:#334155}
.head{font:bold 16px system-ui,sans-serif;fill:#0f172a}.note{font:12px system-ui,sans-serif;fill:#334155}
.tick{stroke:#e2e8f0}.exec{fill:#7c3aed}.failed{fill:#dc2626}.cross{stroke:#dc2626;stroke-width:2;fill:none}
.line-mark,.key-line{fill:#2563eb}.line-mark.err,.key-line.err{fill:#ea580c}.line-mark.partial{fill-opacity:.45}
.write:hover .line-mark,.write.hl .line-mark{fill:#f59e0b}
.fork{stroke:#0f766e;stroke-width:1.2;fill:none}.reap{stroke:#64748b;stroke-dasharray:3 2;fill:none}
.thin .fork{stroke-width:.5;opacity:.3}.thin .reap-link{opacity:.15}
.exit{fill:#0f172a}.exit.bad{fill:#dc2626}.gap{fill:url(#stripes);opacity:.85}
)";

// The timeline as one <svg> element.
std::string timeline(const Trace &trace)
{
    const std::vector<Process> &processes = trace.history.processes();
    const std::size_t count = std::max<std::size_t>(processes.size(), 1);
    // Lanes get thinner as processes get more; labels go before they overlap.
    const double pitch =
        count <= 30
            ? 30
            : std::max(3.0, std::floor(std::min(30.0, 2400.0 / static_cast<double>(count))));
    const bool labels = pitch >= 14, step_labels = pitch >= 22;
    const double bar = std::max(1.0, std::round(pitch * 0.34));
    const double label_width = labels ? 170 : 20, plot_width = 900, right = 120;
    const double left = label_width + 10, width = left + plot_width + right;
    const double axis = 100, top = axis + 8;
    const double bottom = top + pitch * static_cast<double>(count);
    const double height = bottom + 70;
    const Scale scale(trace.times, left, plot_width);
    const auto mid = [&](std::size_t lane) {
        return top + pitch * static_cast<double>(lane) + pitch / 2;
    };

    std::string out =
        "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"forktrace-timeline\" width=\"" +
        num(width) + "\" height=\"" + num(height) + "\" viewBox=\"0 0 " + num(width) + " " +
        num(height) + "\" role=\"img\" aria-label=\"forktrace timeline of " +
        escape(headline(trace)) + "\">\n";
    out += "<title>forktrace: " + escape(headline(trace)) + "</title>\n<style>" +
           std::string(svg_style) + "</style>\n";
    out +=
        "<defs><marker id=\"arrow\" viewBox=\"0 0 8 8\" refX=\"8\" refY=\"4\" markerWidth=\"7\" "
        "markerHeight=\"7\" orient=\"auto-start-reverse\"><path d=\"M0 0L8 4L0 8z\" "
        "fill=\"#0f766e\"/></marker><pattern id=\"stripes\" width=\"6\" height=\"6\" "
        "patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\"><rect width=\"6\" "
        "height=\"6\" fill=\"#f8fafc\"/><rect width=\"2\" height=\"6\" fill=\"#cbd5e1\"/>"
        "</pattern></defs>\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";

    // What the picture shows, and how time is drawn.
    out += "<text class=\"head\" x=\"10\" y=\"24\">forktrace: " + escape(cut(headline(trace), 90)) +
           "</text>\n";
    out += "<text class=\"note\" x=\"10\" y=\"44\">" + escape(totals(trace.history)) + ", " +
           duration(trace.end()) + " in all</text>\n";
    std::string note =
        "Time runs left to right, linear: 100 px = " + duration(100 / scale.per_second());
    const std::size_t cuts = scale.segments().size() - 1;
    if (cuts != 0) {
        note += "; " +
                (cuts == 1 ? std::string("a stretch") : std::to_string(cuts) + " stretches") +
                " with no event (" + duration(scale.cut_time()) +
                ") cut short, striped, its length written on it";
    }
    if (!labels) {
        note += "; lanes too thin for labels: point at a lane for its process";
    }
    out += "<text class=\"note\" x=\"10\" y=\"62\">" + escape(note) + ".</text>\n";

    // The time axis: ticks per segment, and the cut stretches.
    out += "<g class=\"axis\">\n";
    const double tick = nice_step(90 / scale.per_second());
    for (const Scale::Segment &segment : scale.segments()) {
        const auto first = static_cast<long long>(std::ceil(segment.from / tick));
        for (long long k = first; static_cast<double>(k) * tick <= segment.to + tick * 1e-9; ++k) {
            const double t = static_cast<double>(k) * tick;
            const double x = scale.x(t);
            out += "<line class=\"tick\" x1=\"" + num(x) + "\" y1=\"" + num(axis - 4) + "\" x2=\"" +
                   num(x) + "\" y2=\"" + num(bottom) + "\"/><text class=\"small\" x=\"" + num(x) +
                   "\" y=\"" + num(axis - 8) + "\" text-anchor=\"middle\">" + moment(t, tick) +
                   "</text>\n";
        }
    }
    out += "</g>\n";

    // The lanes.
    for (std::size_t i = 0; i < processes.size(); ++i) {
        const Process &process = processes[i];
        const double y = mid(i);
        const double start = scale.x(trace.born[i]);
        const double stop = scale.x(process.exit ? process.exit->time : trace.end());
        out += "<g class=\"lane" + std::string(i % 2 == 1 ? " odd" : "") + "\" data-lane=\"" +
               std::to_string(i) + "\" data-pid=\"" + std::to_string(process.pid) + "\">";
        std::string about = std::to_string(process.pid) + " " + printable(process.program);
        if (process.parent != 0) {
            about += ", child of " + std::to_string(process.parent);
        }
        about += ": " + std::to_string(process.lines) + " lines in " +
                 std::to_string(process.writes) + " writes, " + exit_text(process.exit);
        if (process.reaper) {
            about += ", reaped by " + std::to_string(*process.reaper);
        } else if (process.exit) {
            about += ", not waited for";
        }
        if (process.orphan) {
            about += ", an orphan: its parent ended first";
        }
        out += "<title>" + escape(about) + "</title>";
        out += "<rect class=\"lane-bg\" x=\"0\" y=\"" + num(y - pitch / 2) + "\" width=\"" +
               num(width) + "\" height=\"" + num(pitch) + "\"/>";
        if (labels) {
            out += "<text class=\"label\" x=\"10\" y=\"" + num(y + 4) + "\">" +
                   std::to_string(process.pid) + " " + xml(cut(trace.born_as[i], 14)) + "</text>";
        }
        out += "<rect class=\"life" + std::string(process.exit ? "" : " open") + "\" x=\"" +
               num(start) + "\" y=\"" + num(y - bar / 2) + "\" width=\"" +
               num(std::max(stop - start, 1.0)) + "\" height=\"" + num(bar) + "\"/>";

        // Execs and failed forks, named above the lane where there is room.
        double free_from = start;
        for (const auto &item : process.timeline) {
            const auto *step = std::get_if<Step>(&item);
            if (step == nullptr) {
                continue;
            }
            const double x = scale.x(step->time);
            const double r = std::min(5.0, pitch / 3);
            out += "<g class=\"" + std::string(step->failed_fork ? "fork-failed" : "exec") +
                   (step->ok ? "" : " failed") + "\"><title>" + escape(step_text(*step)) +
                   "</title>";
            if (step->ok) {
                out += "<path class=\"exec\" d=\"M" + num(x) + " " + num(y - r) + "l" + num(r) +
                       " " + num(r) + "l" + num(-r) + " " + num(r) + "l" + num(-r) + " " + num(-r) +
                       "z\"/>";
            } else {
                out += "<path class=\"cross\" d=\"M" + num(x - r) + " " + num(y - r) + "l" +
                       num(2 * r) + " " + num(2 * r) + "m0 " + num(-2 * r) + "l" + num(-2 * r) +
                       " " + num(2 * r) + "\"/>";
            }
            const std::string text = step->failed_fork ? "fork failed: " + step->error
                                     : step->ok        ? program_of(*step)
                                                : program_of(*step) + " failed: " + step->error;
            const std::string shown = cut(printable(text), 24);
            const double text_width = 6.2 * static_cast<double>(shown.size());
            if (step_labels && x + 1 >= free_from) {
                out += "<text class=\"small" + std::string(step->ok ? "" : " failed") + "\" x=\"" +
                       num(x + 2) + "\" y=\"" + num(y - bar / 2 - 3) + "\">" + escape(shown) +
                       "</text>";
                free_from = x + text_width + 4;
            }
            out += "</g>";
        }

        // Writes: one tick per line, side by side, the lines in the tooltip.
        for (const Write &write : writes_of(process)) {
            const double x = scale.x(write.time);
            const std::size_t lines = write.lines.size();
            const double spacing = lines <= 5 ? 3.5 : 18 / static_cast<double>(lines);
            std::string tip = "write #" + std::to_string(write.number) + " by " +
                              std::to_string(process.pid) + " at " + duration(write.time);
            const Line &first = *write.lines.front();
            if (!first.error.empty()) {
                tip += ": failed, " + first.error;
            } else {
                tip += ", " + std::to_string(lines) + (lines == 1 ? " line" : " lines") +
                       (first.stream == Stream::error ? " to standard error" : "") + ":";
                for (std::size_t l = 0; l < lines && l < 40; ++l) {
                    tip += "\n" + printable(write.lines[l]->text) +
                           (write.lines[l]->newline ? "" : " [no newline]");
                }
                if (lines > 40) {
                    tip += "\n… and " + std::to_string(lines - 40) + " more";
                }
            }
            out += "<g class=\"write\" data-write=\"" + std::to_string(write.number) +
                   "\"><title>" + escape(tip) + "</title>";
            for (std::size_t l = 0; l < lines; ++l) {
                const Line &line = *write.lines[l];
                const double h = bar + std::min(8.0, pitch * 0.3);
                std::string kind = line.error.empty() ? "line-mark" : "write-failed failed";
                if (line.stream == Stream::error) {
                    kind += " err";
                }
                if (!line.newline && line.error.empty()) {
                    kind += " partial";
                }
                out += "<rect class=\"" + kind + "\" x=\"" +
                       num(x + spacing * static_cast<double>(l)) + "\" y=\"" + num(y - h / 2) +
                       "\" width=\"" + num(std::max(0.6, spacing * 0.7)) + "\" height=\"" + num(h) +
                       "\"/>";
            }
            out += "</g>";
        }

        // The end: the status beside it.
        if (process.exit) {
            const bool bad = process.exit->signal || process.exit->code.value_or(0) != 0;
            out += "<rect class=\"exit" + std::string(bad ? " bad" : "") + "\" x=\"" + num(stop) +
                   "\" y=\"" + num(y - bar / 2 - 2) + "\" width=\"2.5\" height=\"" + num(bar + 4) +
                   "\"><title>" + escape(exit_text(process.exit)) + "</title></rect>";
        }
        if (labels) {
            out += "<text class=\"small" + std::string(process.exit ? "" : " open") + "\" x=\"" +
                   num(std::max(stop, free_from) + 6) + "\" y=\"" + num(y + 4) + "\">" +
                   escape(exit_text(process.exit)) + "</text>";
        }
        out += "</g>\n";
    }

    // The stretches cut short, striped across the lanes.
    for (std::size_t s = 0; s + 1 < scale.segments().size(); ++s) {
        const Scale::Segment &before = scale.segments()[s];
        const double x = scale.x(before.to) + 6;
        const double length = scale.segments()[s + 1].from - before.to;
        out += "<rect class=\"gap\" x=\"" + num(x) + "\" y=\"" + num(axis - 4) + "\" width=\"" +
               num(Scale::gap_width - 12) + "\" height=\"" + num(bottom - axis + 4) + "\"><title>" +
               duration(length) +
               " with no event, cut short</title></rect><text class=\"small\" x=\"" +
               num(x + (Scale::gap_width - 12) / 2) + "\" y=\"" + num(axis - 20) +
               "\" text-anchor=\"middle\">≈" + duration(length) + "</text>\n";
    }

    // Forks and reaps over the lanes.
    // Thin lanes: the links are a light wash, so that the lanes still show.
    out += labels ? "<g class=\"links\">\n" : "<g class=\"links thin\">\n";
    for (const Link &fork : trace.forks) {
        const double x = scale.x(fork.time);
        out += "<path class=\"fork\"" + std::string(labels ? " marker-end=\"url(#arrow)\"" : "") +
               " d=\"M" + num(x) + " " + num(mid(fork.from)) + "V" +
               num(mid(fork.to) - (fork.to > fork.from ? 1 : -1) * bar / 2) + "\"><title>" +
               std::to_string(processes[fork.from].pid) + " forked " +
               std::to_string(processes[fork.to].pid) + " at " + duration(fork.time) +
               "</title></path>\n";
    }
    for (const Link &reap : trace.reaps) {
        const Process &child = processes[reap.from];
        const double from = scale.x(child.exit ? child.exit->time : reap.time);
        const double to = scale.x(reap.time);
        out += "<g class=\"reap-link\"><title>" + std::to_string(processes[reap.to].pid) +
               " reaped " + std::to_string(child.pid) + " (" + escape(exit_text(child.exit)) +
               ") at " + duration(reap.time) + "</title><path class=\"reap\" d=\"M" + num(from) +
               " " + num(mid(reap.from)) + "L" + num(to) + " " + num(mid(reap.to)) +
               "\"/><circle cx=\"" + num(to) + "\" cy=\"" + num(mid(reap.to)) +
               "\" r=\"3\" fill=\"#64748b\"/></g>\n";
    }
    out += "</g>\n";

    // The legend.
    const double ly = bottom + 30;
    double lx = 10;
    const auto item = [&](const std::string &mark, const std::string &text) {
        out += "<g class=\"legend\" transform=\"translate(" + num(lx) + " " + num(ly) + ")\">" +
               mark + "<text class=\"small\" x=\"22\" y=\"4\">" + text + "</text></g>\n";
        lx += 34 + 5.4 * static_cast<double>(text.size());
    };
    item("<rect class=\"life\" x=\"0\" y=\"-4\" width=\"18\" height=\"8\"/>", "a process's life");
    item("<path class=\"fork\" marker-end=\"url(#arrow)\" d=\"M2 -8V7\"/>", "fork");
    item("<path class=\"exec\" d=\"M9 -5l5 5l-5 5l-5 -5z\"/>", "exec");
    item("<path class=\"cross\" d=\"M5 -5l10 10m0 -10l-10 10\"/>", "failed exec or fork");
    item(
        "<rect class=\"key-line\" x=\"4\" y=\"-7\" width=\"2.5\" height=\"14\"/><rect "
        "class=\"key-line\" x=\"8\" y=\"-7\" width=\"2.5\" height=\"14\"/>",
        "a line written (one write: ticks side by side)");
    item("<rect class=\"key-line err\" x=\"6\" y=\"-7\" width=\"2.5\" height=\"14\"/>",
         "to stderr");
    item("<rect class=\"exit\" x=\"8\" y=\"-7\" width=\"2.5\" height=\"14\"/>", "exit");
    item(
        "<path class=\"reap\" d=\"M0 -6L16 4\"/><circle cx=\"16\" cy=\"4\" r=\"3\" "
        "fill=\"#64748b\"/>",
        "reaped by");
    out += "<text class=\"small\" x=\"10\" y=\"" + num(ly + 24) +
           "\">Point at a mark for details: the lines of a write, the program of an exec, the "
           "status of an exit.</text>\n";
    out += "</svg>\n";
    return out;
}

class SvgReport final : public Report {
public:
    explicit SvgReport(std::FILE *out) : out_(out) {}

    void add(const Event &event) override { trace_.add(event); }

    void finish() override
    {
        trace_.done();
        put(out_, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + timeline(trace_));
        static_cast<void>(std::fflush(out_));
    }

private:
    std::FILE *out_;
    Trace trace_;
};

constexpr const char *page_style = R"(
body{margin:0;font:15px/1.45 system-ui,sans-serif;color:#0f172a;background:#fff}
header,section{padding:0 16px}h1{font-size:1.3em;margin:16px 0 4px}h2{font-size:1.1em;margin:20px 0 6px}
code,pre,.line{font-family:ui-monospace,Menlo,Consolas,monospace}
.scroll{overflow-x:auto;border:1px solid #e2e8f0;border-radius:6px}
.scroll svg{display:block}
table{border-collapse:collapse;width:100%;font-size:14px}
th,td{text-align:left;padding:2px 8px;border-bottom:1px solid #eef2f7;vertical-align:top}
th{background:#f4f6f9;position:sticky;top:0}
td.num{text-align:right;white-space:nowrap}td.line{white-space:pre-wrap;word-break:break-all}
tr[data-lane]:hover,tr[data-lane]:focus{background:#fde68a;outline:none}
.note{color:#475569}.err{color:#c2410c}.failed{color:#dc2626}.partial{color:#64748b}
pre{overflow-x:auto;background:#f8fafc;padding:8px;border-radius:6px;font-size:13px}
@media (max-width:640px){.wide{display:none}body{font-size:14px}header,section{padding:0 8px}}
)";

constexpr const char *page_script = R"(
(function () {
  var lit = [];
  function light(row) {
    lit.forEach(function (e) { e.classList.remove('hl'); });
    lit = [];
    if (!row) return;
    var sel = '.lane[data-lane="' + row.dataset.lane + '"], .write[data-write="' + row.dataset.write + '"]';
    document.querySelectorAll(sel).forEach(function (e) { e.classList.add('hl'); lit.push(e); });
  }
  document.querySelectorAll('tr[data-lane]').forEach(function (row) {
    row.addEventListener('mouseenter', function () { light(row); });
    row.addEventListener('focus', function () { light(row); });
  });
  var table = document.getElementById('lines');
  if (table) table.addEventListener('mouseleave', function () { light(null); });
})();
)";

// The tree report, drawn into memory as the events come.
class TreeText {
public:
    explicit TreeText(const ReportOptions &options)
        : memory_(open_memstream(&buffer_, &size_)),
          tree_(memory_ != nullptr ? tree_report(memory_, options) : nullptr)
    {
    }
    TreeText(const TreeText &) = delete;
    TreeText &operator=(const TreeText &) = delete;
    ~TreeText()
    {
        tree_.reset();
        if (memory_ != nullptr) {
            static_cast<void>(std::fclose(memory_));
        }
        std::free(buffer_);  // NOLINT(cppcoreguidelines-no-malloc): open_memstream's buffer
    }

    void add(const Event &event)
    {
        if (tree_) {
            tree_->add(event);
        }
    }

    // The text, once: the tree is finished.
    std::string finish()
    {
        if (!tree_) {
            return "(the tree could not be drawn)\n";
        }
        tree_->finish();
        tree_.reset();
        static_cast<void>(std::fflush(memory_));
        return {buffer_, size_};
    }

private:
    char *buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE *memory_;
    std::unique_ptr<Report> tree_;
};

// A row of the transcript.
struct Row {
    const Line *line = nullptr;
    std::size_t lane = 0;
    std::string program;  // the writer's at the time
};

class HtmlReport final : public Report {
public:
    HtmlReport(std::FILE *out, const ReportOptions &options) : out_(out), tree_(options) {}

    void add(const Event &event) override
    {
        trace_.add(event);
        tree_.add(event);
    }

    void finish() override
    {
        trace_.done();
        const Trace &trace = trace_;
        const std::string title = escape(headline(trace));
        put(out_,
            "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
            "style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:\">\n"
            "<title>forktrace: " +
                title + "</title>\n<style>" + page_style + "</style>\n</head>\n<body>\n");
        put(out_, "<header><h1>forktrace: <code>" + title + "</code></h1><p class=\"note\">" +
                      escape(totals(trace.history)) + ".</p></header>\n");
        put(out_, "<section id=\"timeline\"><h2>Timeline</h2><div class=\"scroll\">\n" +
                      timeline(trace) + "</div></section>\n");
        transcript(trace);
        put(out_, "<section id=\"tree\"><h2>Processes</h2><pre>" + escape(tree_.finish()) +
                      "</pre></section>\n");
        put(out_, "<script>" + std::string(page_script) + "</script>\n</body>\n</html>\n");
        static_cast<void>(std::fflush(out_));
    }

private:
    void transcript(const Trace &trace)
    {
        const std::vector<Process> &processes = trace.history.processes();
        std::vector<Row> rows;
        for (std::size_t i = 0; i < processes.size(); ++i) {
            std::string program = trace.born_as[i];
            for (const auto &item : processes[i].timeline) {
                if (const auto *step = std::get_if<Step>(&item); step != nullptr && step->ok) {
                    program = program_of(*step);
                } else if (const auto *line = std::get_if<Line>(&item)) {
                    rows.push_back({line, i, program});
                }
            }
        }
        std::stable_sort(rows.begin(), rows.end(),
                         [](const Row &a, const Row &b) { return a.line->write < b.line->write; });
        put(out_, "<section id=\"transcript\"><h2>Transcript</h2>\n");
        if (rows.empty()) {
            put(out_, "<p class=\"note\">No output.</p></section>\n");
            return;
        }
        put(out_,
            "<p class=\"note\">Every line of output, with the process that wrote it. Point at "
            "a "
            "line to light up its writer's lane in the timeline.</p>\n<table id=\"lines\">"
            "<thead><tr><th>time</th><th>pid</th><th class=\"wide\">program</th><th "
            "class=\"wide\">write</th><th>line</th></tr></thead>\n<tbody>\n");
        std::size_t previous = 0;
        for (const Row &row : rows) {
            const Line &line = *row.line;
            const bool first = line.write != previous;
            previous = line.write;
            std::string text;
            if (!line.error.empty()) {
                text = "<span class=\"failed\">[write failed: " + xml(line.error) + "]</span>";
            } else {
                text = (line.stream == Stream::error ? "<span class=\"err\">2&gt; </span>" : "") +
                       xml(line.text) +
                       (line.newline ? "" : "<span class=\"partial\">[no newline]</span>");
            }
            put(out_, "<tr tabindex=\"0\" data-lane=\"" + std::to_string(row.lane) +
                          "\" data-write=\"" + std::to_string(line.write) +
                          "\"><td class=\"num\">" + (first ? duration(line.time) : "") +
                          "</td><td class=\"num\">" + std::to_string(processes[row.lane].pid) +
                          "</td><td class=\"wide\">" + xml(row.program) +
                          "</td><td class=\"num wide\">#" + std::to_string(line.write) +
                          "</td><td class=\"line\">" + text + "</td></tr>\n");
        }
        put(out_, "</tbody></table></section>\n");
    }

    std::FILE *out_;
    Trace trace_;
    TreeText tree_;
};

}  // namespace

std::unique_ptr<Report> svg_report(std::FILE *out, const ReportOptions & /*options*/)
{
    return std::make_unique<SvgReport>(out);
}

std::unique_ptr<Report> html_report(std::FILE *out, const ReportOptions &options)
{
    return std::make_unique<HtmlReport>(out, options);
}

}  // namespace forktrace
