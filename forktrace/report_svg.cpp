// svg: the trace as a timeline, one lane per process in the order the
// processes appeared, time running left to right. Each process has a colour,
// its lane label's and that of every line it printed, wherever the line is
// written: a line a fork copied into another process's buffer is drawn
// hollow in its printer's colour on the lane of the process that wrote it. A
// fork is an arrow, labelled with the lines it copied; an exec a diamond
// with the new program's name; lines a buffer lost, at an exec or an end, a
// red cross that says how many, listed under the lanes; each lane's buffer a
// strip that fills, and empties at a write, is copied at a fork and vanishes
// at an exec. The html page holds the same picture (report_html.cpp).
#include "report_svg.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace forktrace::picture {
namespace {

// A failed write stays in the stream's error indicator, for the caller to
// see once the report is finished.
void put(std::FILE *out, std::string_view text)
{
    static_cast<void>(std::fwrite(text.data(), 1, text.size(), out));
}

// The height of the line each thing forktrace said of the run takes under
// the head.
constexpr double notice_pitch = 20;

constexpr const char *svg_style = R"(
.lane-bg{fill:#fff}.lane.odd .lane-bg{fill:#f5f7fa}.lane.hl .lane-bg{fill:#fde68a}
.life{fill:#cbd5e1}.life.open{fill:#e2e8f0}.lane.hl .life{fill:#94a3b8}
.label{font:bold 14px ui-monospace,Menlo,Consolas,monospace}
.small{font:12px system-ui,sans-serif;fill:#334155}.tiny{font:11px system-ui,sans-serif;fill:#475569}
.head{font:bold 20px system-ui,sans-serif;fill:#0f172a}.note{font:14px system-ui,sans-serif;fill:#334155}
.tick{stroke:#e2e8f0}.exec{fill:#7c3aed}.failed{fill:#dc2626}.cross{stroke:#dc2626;stroke-width:2.5;fill:none}
.line-mark.copied,.key-line.copied{fill:#fff;stroke-width:1.6}.line-mark.partial{fill-opacity:.45}
.write:hover .line-mark,.write.hl .line-mark{filter:brightness(1.3)}
.fork{stroke:#0f766e;stroke-width:1.5;fill:none}.reap{stroke:#64748b;stroke-dasharray:3 2;fill:none}
.bundle{fill:#ccfbf1;stroke:#0f766e}.copies{font:bold 12px system-ui,sans-serif;fill:#0f766e}
.thin .fork{stroke-width:.5;opacity:.3}.thin .reap-link{opacity:.15}
.buffer{fill:#f59e0b;fill-opacity:.55;stroke:#b45309;stroke-width:.6}
.loss{stroke:#dc2626;stroke-width:3;fill:none}.lost{font:bold 12px system-ui,sans-serif;fill:#b91c1c}
.exit{fill:#0f172a}.exit.bad{fill:#dc2626}.gap{fill:url(#stripes);opacity:.85}
)";

// The style with every selector under the picture's own class: in a page
// that holds the picture (the html report's), .note or .label of the page
// are not restyled.
std::string scoped_style()
{
    std::string scoped;
    std::string_view rest = svg_style;
    for (std::size_t open = rest.find('{'); open != std::string_view::npos; open = rest.find('{')) {
        const std::size_t close = rest.find('}', open);
        std::string_view selectors = rest.substr(0, open);
        while (!selectors.empty()) {
            const std::size_t comma = selectors.find(',');
            std::string_view one = selectors.substr(0, comma);
            one.remove_prefix(std::min(one.find_first_not_of(" \n"), one.size()));
            scoped += (scoped.empty() || scoped.back() == '}' || scoped.back() == '\n' ? "" : ",");
            scoped += ".forktrace-timeline " + std::string(one);
            selectors = comma == std::string_view::npos ? "" : selectors.substr(comma + 1);
        }
        scoped += std::string(rest.substr(open, close - open + 1)) + "\n";
        rest.remove_prefix(close + 1);
    }
    return scoped;
}

// Where things go: the picture's width is fixed in its own units (the
// viewBox) and scales to whatever shows it.
struct Layout {
    double pitch = 46;  // lane height
    bool labels = true, step_labels = true;
    double bar = 12;   // a life's height
    double strip = 9;  // the buffer strip's most
    double left = 0, width = 0, right_column = 190;
    double axis = 140, top = 148, bottom = 0, height = 0;

    double mid(std::size_t lane) const
    {
        return top + pitch * static_cast<double>(lane) + pitch / 2;
    }
};

Layout layout_for(const Timeline &trace)
{
    Layout layout;
    const std::size_t count = std::max<std::size_t>(trace.lanes().size(), 1);
    // Lanes get thinner as processes get more; labels go before they overlap.
    if (count > 24) {
        layout.pitch =
            std::max(3.0, std::floor(std::min(46.0, 2600.0 / static_cast<double>(count))));
    }
    layout.labels = layout.pitch >= 18;
    layout.step_labels = layout.pitch >= 30;
    layout.bar = std::max(1.0, std::round(layout.pitch * 0.26));
    layout.strip = std::max(0.0, std::round(layout.pitch * 0.2));
    layout.left = layout.labels ? 200 : 24;
    layout.width = layout.left + 620 + (layout.labels ? layout.right_column : 20);
    // A line for each thing forktrace said of the run, under the head.
    const auto said = static_cast<double>(trace.history().notices().size());
    layout.axis += notice_pitch * said;
    layout.top += notice_pitch * said;
    layout.bottom = layout.top + layout.pitch * static_cast<double>(count);
    return layout;
}

// The unit of the axis, one for all its ticks: µs, ms or s.
struct Unit {
    const char *name;
    double per_second;
};

Unit unit_for(double step)
{
    if (step < 1e-3) {
        return {"µs", 1e6};
    }
    if (step < 1) {
        return {"ms", 1e3};
    }
    return {"s", 1};
}

// A step of 1, 2 or 5 times a power of ten, at least `minimum`.
double nice_step(double minimum)
{
    const double power = std::pow(10.0, std::floor(std::log10(minimum)));
    static constexpr std::array<double, 3> factors{1, 2, 5};
    const auto *found = std::find_if(factors.begin(), factors.end(),
                                     [&](double factor) { return factor * power >= minimum; });
    return (found != factors.end() ? *found : 10) * power;
}

std::string in_unit(double seconds, const Unit &unit, double step)
{
    const double value = seconds * unit.per_second;
    const int decimals =
        std::clamp(static_cast<int>(std::ceil(-std::log10(step * unit.per_second))), 0, 3);
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::fixed, decimals);
    return std::string(buffer.data(), result.ptr);
}

// The picture's head: what it shows and how time is drawn.
std::string head(const Timeline &trace, const Layout &layout, const Scale &scale)
{
    std::string out =
        "<text class=\"head\" x=\"12\" y=\"28\">forktrace: " + escape(cut(trace.headline(), 70)) +
        "</text>\n";
    std::string totals_text = totals(trace.history()) + ", " + duration(trace.end()) + " in all";
    out += "<text class=\"note\" x=\"12\" y=\"50\">" + escape(totals_text) + "</text>\n";
    if (!trace.orders().empty()) {
        // The exact count, which may run to hundreds of digits, in the tooltip.
        out += "<text class=\"note\" x=\"12\" y=\"70\"><title>" + escape(trace.orders()) +
               "</title>" + escape(trace.orders_brief()) + "</text>\n";
    }
    std::string note = "Time runs left to right";
    const std::size_t cuts = scale.segments().size() - 1;
    if (cuts != 0) {
        note += "; " +
                (cuts == 1 ? std::string("a stretch") : std::to_string(cuts) + " stretches") +
                " with no event (" + duration(scale.cut_time()) +
                ") cut short, striped, its length written on it";
    }
    if (!layout.labels) {
        note += "; lanes too thin for labels: point at a lane for its process";
    }
    if (trace.not_kept() != 0) {
        note += "; " + lines(trace.not_kept()) + " past the first 20000 counted, not drawn";
    }
    out += "<text class=\"small\" x=\"12\" y=\"90\">" + escape(note) + ".</text>\n";
    double y = 90;
    for (const std::string &notice : trace.history().notices()) {
        const std::string said = notice_line(notice);
        out += "<text class=\"small\" x=\"12\" y=\"" + num(y += notice_pitch) + "\"><title>" +
               escape(said) + "</title>" + escape(cut(said, 150)) + "</text>\n";
    }
    return out;
}

// The time axis, its ticks in one unit, named once.
std::string axis(const Layout &layout, const Scale &scale)
{
    const double step = nice_step(90 / scale.per_second());
    const Unit unit = unit_for(step);
    std::string out = "<g class=\"axis\">\n<text class=\"tiny\" x=\"" + num(layout.left - 8) +
                      "\" y=\"" + num(layout.axis - 8) + "\" text-anchor=\"end\">" + unit.name +
                      "</text>\n";
    for (const Scale::Segment &segment : scale.segments()) {
        const auto first = static_cast<long long>(std::ceil(segment.from / step));
        for (long long k = first; static_cast<double>(k) * step <= segment.to + step * 1e-9; ++k) {
            const double t = static_cast<double>(k) * step;
            const double x = scale.x(t);
            out += "<line class=\"tick\" x1=\"" + num(x) + "\" y1=\"" + num(layout.axis - 4) +
                   "\" x2=\"" + num(x) + "\" y2=\"" + num(layout.bottom) +
                   "\"/><text class=\"tiny\" x=\"" + num(x) + "\" y=\"" + num(layout.axis - 8) +
                   "\" text-anchor=\"middle\">" + in_unit(t, unit, step) + "</text>\n";
        }
    }
    return out + "</g>\n";
}

// What a lane's tooltip and label say of its process.
std::string about(const Timeline &trace, const Lane &lane)
{
    std::string out = std::to_string(lane.pid) + " " + printable(lane.program);
    if (lane.parent != no_lane) {
        out += ", child of " + std::to_string(trace.lanes()[lane.parent].pid);
    }
    out += ": " + lines(lane.lines) + " written, " + std::to_string(lane.copied) +
           " of them copied in by a fork, " + exit_text(lane.exit);
    if (lane.reaper) {
        out += ", reaped by " + std::to_string(*lane.reaper);
    } else if (lane.exit) {
        out += ", not waited for";
    }
    if (lane.orphan) {
        out += ", an orphan: its parent ended first";
    }
    return out;
}

std::string label_of(const Lane &lane)
{
    std::string name = printable(lane.first_program);
    if (lane.program != lane.first_program && !lane.first_program.empty()) {
        name = cut(name, 9) + "→" + cut(printable(lane.program), 9);
    }
    return std::to_string(lane.pid) + " " + cut(name, 18);
}

// The buffer over time: at each stop the bytes before and after it, and
// between stops a ramp, as they went in. Drawn under the life bar.
std::string buffer_strip(const Lane &lane, double y, const Layout &layout, const Scale &scale,
                         std::size_t most)
{
    if (lane.buffer.empty() || most == 0 || layout.strip < 2) {
        return "";
    }
    const double base = y + layout.bar / 2 + 1 + layout.strip;
    const auto height = [&](std::size_t bytes) {
        return layout.strip * std::min(1.0, static_cast<double>(bytes) / static_cast<double>(most));
    };
    std::string path = "M" + num(scale.x(lane.born)) + " " + num(base);
    std::string tip = "standard output buffer, bytes pending:";
    std::size_t previous = 0;
    for (const BufferPoint &point : lane.buffer) {
        const double x = scale.x(point.time);
        path += "L" + num(x) + " " + num(base - height(point.before)) + "L" + num(x) + " " +
                num(base - height(point.after));
        tip += "\n" + std::to_string(point.before) + " → " + std::to_string(point.after) + " " +
               point.what + " (" + duration(point.time) + ")";
        previous = point.after;
    }
    const double end = scale.x(lane.exit ? lane.exit->time : lane.buffer.back().time);
    path += "L" + num(end) + " " + num(base - height(previous)) + "L" + num(end) + " " + num(base) +
            "Z";
    return "<path class=\"buffer\" d=\"" + path + "\"><title>" + escape(tip) + "</title></path>";
}

// Execs and failed forks, named above the lane where there is room; returns
// where the lane's labels may go on.
double steps(std::string &out, const Lane &lane, double y, const Layout &layout, const Scale &scale,
             double free_from)
{
    for (const StepMark &step : lane.steps) {
        const double x = scale.x(step.time);
        const double r = std::min(6.0, layout.pitch / 4);
        out += "<g class=\"" + std::string(step.program.empty() ? "fork-failed" : "exec") +
               (step.ok ? "" : " failed") + "\"><title>" + escape(step.detail) + "</title>";
        if (step.ok) {
            out += "<path class=\"exec\" d=\"M" + num(x) + " " + num(y - r) + "l" + num(r) + " " +
                   num(r) + "l" + num(-r) + " " + num(r) + "l" + num(-r) + " " + num(-r) + "z\"/>";
        } else {
            out += "<path class=\"cross\" d=\"M" + num(x - r) + " " + num(y - r) + "l" +
                   num(2 * r) + " " + num(2 * r) + "m0 " + num(-2 * r) + "l" + num(-2 * r) + " " +
                   num(2 * r) + "\"/>";
        }
        const std::string shown = cut(step.label, 22);
        if (layout.step_labels && x + 1 >= free_from) {
            out += "<text class=\"small" + std::string(step.ok ? "" : " failed") + "\" x=\"" +
                   num(x + 3) + "\" y=\"" + num(y - layout.bar / 2 - 4) + "\">" + escape(shown) +
                   "</text>";
            free_from = x + 6.8 * static_cast<double>(shown.size()) + 6;
        }
        out += "</g>";
    }
    return free_from;
}

// How far apart a write's ticks are, and how wide they are together.
double tick_spacing(std::size_t count)
{
    return count <= 6 ? 4.2 : 25 / static_cast<double>(count);
}
double ticks_width(std::size_t count) { return tick_spacing(count) * static_cast<double>(count); }

// One write: a tick per line, side by side, each in its printer's colour:
// solid where the writer printed it itself, hollow where a fork copied it in.
std::string write_mark(const Timeline &trace, const WriteMark &write, double y,
                       const Layout &layout, const Scale &scale)
{
    const Lane &lane = trace.lanes()[write.lane];
    const double x = scale.x(write.time);
    const std::size_t count = write.lines.size();
    const double spacing = tick_spacing(count);
    std::string tip = "write #" + std::to_string(write.number) + " by " + std::to_string(lane.pid) +
                      " at " + duration(write.time);
    if (!write.error.empty()) {
        tip += ": failed, " + write.error;
    } else {
        tip += ", " + lines(count) + ":";
    }
    const ForkMark *fork =
        lane.made_by < trace.forks().size() ? &trace.forks()[lane.made_by] : nullptr;
    for (std::size_t l = 0; l < count && l < 40; ++l) {
        const LineMark &line = write.lines[l];
        tip += "\n" + printable(line.text) + (line.newline ? "" : " [no newline]");
        if (line.printer == no_lane) {
            tip += " (printed by: unknown)";
        } else if (line.copied) {
            tip += " (printed by " + std::to_string(trace.lanes()[line.printer].pid) +
                   (fork != nullptr ? ", copied by the fork at " + duration(fork->time) + " into " +
                                          std::to_string(lane.pid)
                                    : std::string()) +
                   ")";
        }
    }
    if (count > 40) {
        tip += "\n… and " + std::to_string(count - 40) + " more";
    }
    std::string out = "<g class=\"write\" data-write=\"" + std::to_string(write.number) +
                      "\"><title>" + escape(tip) + "</title>";
    const double h = layout.bar + std::min(10.0, layout.pitch * 0.28);
    for (std::size_t l = 0; l < count; ++l) {
        const LineMark &line = write.lines[l];
        const std::string painted = line.printer == no_lane ? "#64748b" : colour(line.printer);
        std::string kind = "line-mark";
        if (line.copied) {
            kind += " copied";
        }
        if (line.stream == Stream::error) {
            kind += " err";
        }
        if (!line.newline) {
            kind += " partial";
        }
        const std::string printer =
            line.printer == no_lane ? std::string("unknown") : std::to_string(line.printer);
        out.append("<rect class=\"")
            .append(kind)
            .append("\" data-printer=\"")
            .append(printer)
            .append(line.copied ? "\" stroke=\"" : "\" fill=\"")
            .append(painted)
            .append("\" x=\"")
            .append(num(x + spacing * static_cast<double>(l)))
            .append("\" y=\"")
            .append(num(y - h / 2))
            .append("\" width=\"")
            .append(num(std::max(0.8, spacing * 0.72)))
            .append("\" height=\"")
            .append(num(h))
            .append("\"/>");
    }
    if (!write.error.empty()) {
        out += "<rect class=\"write-failed failed\" x=\"" + num(x) + "\" y=\"" + num(y - h / 2) +
               "\" width=\"3\" height=\"" + num(h) + "\"/>";
    }
    return out + "</g>";
}

// Lines a buffer lost: a red cross where, and how many in words.
std::string loss_mark(const LossMark &loss, double y, const Layout &layout, const Scale &scale)
{
    const double x = scale.x(loss.time);
    const double r = std::min(6.0, layout.pitch / 5);
    // Under the life bar, where the buffer strip ends, clear of an exec's mark.
    y += layout.bar / 2 + r + 1;
    std::string tip = lines(loss.lines.size()) + " never came out, lost " + loss.when + ":";
    for (std::size_t i = 0; i < loss.lines.size() && i < 40; ++i) {
        tip += "\n" + loss.lines[i];
    }
    // The cross is the mark; where there is room, the words that go with it.
    std::string out = "<g class=\"loss-mark\"><title>" + escape(tip) + "</title>";
    if (layout.labels) {
        out += "<text class=\"lost\" x=\"" + num(x - 5) + "\" y=\"" + num(y + 5) + "\">✕ " +
               escape(lines(loss.lines.size())) + " never came out</text>";
    } else {
        out += "<path class=\"loss\" d=\"M" + num(x - r) + " " + num(y - r) + "l" + num(2 * r) +
               " " + num(2 * r) + "m0 " + num(-2 * r) + "l" + num(-2 * r) + " " + num(2 * r) +
               "\"/>";
    }
    return out + "</g>";
}

// The writes and losses of each lane, by index.
struct ByLane {
    std::vector<std::vector<std::size_t>> writes, losses;
};

// A lane: its process's life, buffer, steps, writes, losses and end.
std::string lane_marks(const Timeline &trace, std::size_t index, const Layout &layout,
                       const Scale &scale, std::size_t most_buffered, const ByLane &by_lane)
{
    const Lane &lane = trace.lanes()[index];
    const double y = layout.mid(index);
    const double start = scale.x(lane.born);
    const double stop = scale.x(lane.exit ? lane.exit->time : trace.end());
    std::string out = "<g class=\"lane" + std::string(index % 2 == 1 ? " odd" : "") +
                      "\" data-lane=\"" + std::to_string(index) + "\" data-pid=\"" +
                      std::to_string(lane.pid) + "\"><title>" + escape(about(trace, lane)) +
                      "</title>";
    out += "<rect class=\"lane-bg\" x=\"0\" y=\"" + num(y - layout.pitch / 2) + "\" width=\"" +
           num(layout.width) + "\" height=\"" + num(layout.pitch) + "\"/>";
    if (layout.labels) {
        out += "<text class=\"label\" fill=\"" + colour(index) + "\" x=\"12\" y=\"" + num(y + 5) +
               "\">" + escape(label_of(lane)) + "</text>";
    }
    out += "<rect class=\"life" + std::string(lane.exit ? "" : " open") + "\" x=\"" + num(start) +
           "\" y=\"" + num(y - layout.bar / 2) + "\" width=\"" + num(std::max(stop - start, 1.0)) +
           "\" height=\"" + num(layout.bar) + "\"/>";
    out += buffer_strip(lane, y, layout, scale, most_buffered);
    const double free_from = steps(out, lane, y, layout, scale, start);
    double marks_end = stop;  // the end label goes past the last write's ticks
    for (const std::size_t write : by_lane.writes[index]) {
        const WriteMark &mark = trace.writes()[write];
        out += write_mark(trace, mark, y, layout, scale);
        marks_end = std::max(marks_end, scale.x(mark.time) + ticks_width(mark.lines.size()));
    }
    for (const std::size_t loss : by_lane.losses[index]) {
        out += loss_mark(trace.losses()[loss], y, layout, scale);
    }
    if (lane.exit) {
        const bool bad = lane.exit->signal || lane.exit->code.value_or(0) != 0;
        out += "<rect class=\"exit" + std::string(bad ? " bad" : "") + "\" x=\"" + num(stop) +
               "\" y=\"" + num(y - layout.bar / 2 - 3) + "\" width=\"3\" height=\"" +
               num(layout.bar + 6) + "\"><title>" + escape(exit_text(lane.exit)) +
               "</title></rect>";
    }
    if (layout.labels) {
        // The facts that matter, written out: how it ended, what it wrote.
        std::string said = exit_text(lane.exit) + " · " + lines(lane.lines);
        if (lane.copied != 0) {
            said += ", " + std::to_string(lane.copied) + " copied";
        }
        out += "<text class=\"small" + std::string(lane.exit ? "" : " open") + "\" x=\"" +
               num(std::max({stop, free_from, marks_end}) + 8) + "\" y=\"" + num(y + 5) + "\">" +
               escape(said) + "</text>";
    }
    return out + "</g>\n";
}

// The stretches cut short, striped across the lanes, their labels apart.
std::string gaps(const Layout &layout, const Scale &scale)
{
    std::string out;
    double free_from = 0;
    for (std::size_t s = 0; s + 1 < scale.segments().size(); ++s) {
        const Scale::Segment &before = scale.segments()[s];
        const double x = scale.x(before.to) + 6;
        const double length = scale.segments()[s + 1].from - before.to;
        out += "<rect class=\"gap\" x=\"" + num(x) + "\" y=\"" + num(layout.axis - 4) +
               "\" width=\"" + num(Scale::gap_width - 12) + "\" height=\"" +
               num(layout.bottom - layout.axis + 4) + "\"><title>" + duration(length) +
               " with no event, cut short</title></rect>";
        const std::string text = "≈" + duration(length);
        const double middle = x + (Scale::gap_width - 12) / 2;
        const double half = 3.3 * static_cast<double>(text.size());
        // A second row when the label would touch the one before it.
        const double row = middle - half < free_from ? layout.axis - 36 : layout.axis - 24;
        out += "<text class=\"tiny\" x=\"" + num(middle) + "\" y=\"" + num(row) +
               "\" text-anchor=\"middle\">" + escape(text) + "</text>\n";
        free_from = row == layout.axis - 24 ? middle + half + 4 : free_from;
    }
    return out;
}

// Forks, with the lines each copied, and reaps over the lanes.
std::string links(const Timeline &trace, const Layout &layout, const Scale &scale)
{
    // Thin lanes: the links are a light wash, so that the lanes still show.
    std::string out = layout.labels ? "<g class=\"links\">\n" : "<g class=\"links thin\">\n";
    for (const ForkMark &fork : trace.forks()) {
        if (fork.child == no_lane) {
            continue;
        }
        const double x = scale.x(fork.time);
        const double from = layout.mid(fork.parent), to = layout.mid(fork.child);
        std::string tip = std::to_string(trace.lanes()[fork.parent].pid) + " forked " +
                          std::to_string(trace.lanes()[fork.child].pid) + " at " +
                          duration(fork.time);
        if (fork.shared) {
            tip +=
                ": a vfork, the child sharing its parent's memory until its exec; nothing "
                "copied";
        } else if (fork.copied != 0) {
            tip += ", copying " + lines(fork.copied) + " pending in the buffer:";
            for (const std::string &line : fork.copied_lines) {
                tip += "\n" + line;
            }
        }
        out += "<g class=\"fork-link\"><title>" + escape(tip) + "</title><path class=\"fork\"" +
               std::string(layout.labels ? " marker-end=\"url(#arrow)\"" : "") + " d=\"M" + num(x) +
               " " + num(from) + "V" + num(to - (to > from ? 1 : -1) * layout.bar / 2) + "\"/>";
        if (fork.copied != 0 && layout.labels) {
            // The bundle: the count of lines copied, by the arrow's head.
            const std::string text = std::to_string(fork.copied);
            const double w = 8 * static_cast<double>(text.size()) + 8;
            const double y = to - (to > from ? 1 : -1) * (layout.bar / 2 + 11);
            out += "<rect class=\"bundle\" x=\"" + num(x - w - 3) + "\" y=\"" + num(y - 8) +
                   "\" width=\"" + num(w) +
                   "\" height=\"16\" rx=\"4\"/><text class=\"copies\" x=\"" + num(x - w / 2 - 3) +
                   "\" y=\"" + num(y + 4) + "\" text-anchor=\"middle\">" + escape(text) + "</text>";
        }
        out += "</g>\n";
    }
    for (const Reap &reap : trace.reaps()) {
        const Lane &child = trace.lanes()[reap.child];
        const double from = scale.x(child.exit ? child.exit->time : reap.time);
        const double to = scale.x(reap.time);
        out += "<g class=\"reap-link\"><title>" + std::to_string(trace.lanes()[reap.reaper].pid) +
               " reaped " + std::to_string(child.pid) + " (" + escape(exit_text(child.exit)) +
               ") at " + duration(reap.time) + "</title><path class=\"reap\" d=\"M" + num(from) +
               " " + num(layout.mid(reap.child)) + "L" + num(to) + " " +
               num(layout.mid(reap.reaper)) + "\"/><circle cx=\"" + num(to) + "\" cy=\"" +
               num(layout.mid(reap.reaper)) + "\" r=\"3\" fill=\"#64748b\"/></g>\n";
    }
    return out + "</g>\n";
}

// The legend, every mark in it; then the lines that never came out, where
// they can be read without pointing.
std::string legend(const Timeline &trace, const Layout &layout, double &height)
{
    std::string out;
    double y = layout.bottom + 30, x = 12;
    const auto item = [&](const std::string &mark, const std::string &text) {
        const double w = 38 + 6.2 * static_cast<double>(text.size());
        if (x + w > layout.width - 8) {
            x = 12;
            y += 24;
        }
        out += "<g class=\"legend\" transform=\"translate(" + num(x) + " " + num(y) + ")\">" +
               mark + "<text class=\"small\" x=\"28\" y=\"4\">" + escape(text) + "</text></g>\n";
        x += w;
    };
    item("<rect class=\"life\" x=\"0\" y=\"-5\" width=\"20\" height=\"10\"/>", "a process's life");
    item(
        "<path class=\"fork\" marker-end=\"url(#arrow)\" d=\"M18 -9V8\"/><rect class=\"bundle\" "
        "x=\"0\" y=\"-7\" width=\"14\" height=\"14\" rx=\"3\"/><text class=\"copies\" "
        "x=\"7\" y=\"4\" text-anchor=\"middle\">3</text>",
        "fork; the lines it copied from the parent's buffer");
    item("<path class=\"exec\" d=\"M10 -6l6 6l-6 6l-6 -6z\"/>", "exec");
    item("<path class=\"cross\" d=\"M5 -6l12 12m0 -12l-12 12\"/>", "failed exec or fork");
    item("<rect class=\"key-line\" fill=\"" + colour(0) +
             "\" x=\"6\" y=\"-8\" width=\"3\" height=\"16\"/><rect class=\"key-line\" fill=\"" +
             colour(1) + "\" x=\"11\" y=\"-8\" width=\"3\" height=\"16\"/>",
         "a line its writer printed, in the printer's colour");
    item("<rect class=\"key-line copied\" stroke=\"" + colour(0) +
             "\" x=\"8\" y=\"-8\" width=\"3\" height=\"16\"/>",
         "a line a fork copied in, hollow, in its printer's colour");
    item("<path class=\"buffer\" d=\"M0 6L14 -2L14 6Z\"/>", "bytes pending in the buffer");
    item("<path class=\"loss\" d=\"M4 -6l12 12m0 -12l-12 12\"/>",
         "lines thrown away with a buffer");
    item("<rect class=\"exit\" x=\"9\" y=\"-8\" width=\"3\" height=\"16\"/>", "exit");
    item(
        "<path class=\"reap\" d=\"M0 -6L16 4\"/><circle cx=\"16\" cy=\"4\" r=\"3\" "
        "fill=\"#64748b\"/>",
        "reaped by");
    item("<rect class=\"gap\" x=\"2\" y=\"-8\" width=\"16\" height=\"16\"/>", "time cut short");
    y += 28;
    if (!trace.losses().empty()) {
        out += "<text class=\"small\" font-weight=\"bold\" x=\"12\" y=\"" + num(y) +
               "\">Lines that never came out:</text>\n";
        y += 18;
        for (const LossMark &loss : trace.losses()) {
            const Lane &lane = trace.lanes()[loss.lane];
            out += "<text class=\"small\" x=\"12\" y=\"" + num(y) + "\" fill=\"" +
                   colour(loss.lane) + "\">" + std::to_string(lane.pid) + ", lost " +
                   escape(loss.when) + ":</text>\n";
            y += 16;
            for (std::size_t i = 0; i < loss.lines.size() && i < 12; ++i) {
                out += "<text class=\"tiny lost-line\" x=\"28\" y=\"" + num(y) + "\">" +
                       escape(cut(loss.lines[i], 110)) + "</text>\n";
                y += 15;
            }
            if (loss.lines.size() > 12) {
                out += "<text class=\"tiny\" x=\"28\" y=\"" + num(y) + "\">… and " +
                       std::to_string(loss.lines.size() - 12) + " more</text>\n";
                y += 15;
            }
        }
        y += 8;
    }
    out += "<text class=\"tiny\" x=\"12\" y=\"" + num(y) +
           "\">Point at a mark for more: the lines of a write and who printed them, what a "
           "fork copied, the bytes in a buffer.</text>\n";
    height = y + 16;
    return out;
}

}  // namespace

std::string timeline_svg(const Timeline &trace)
{
    Layout layout = layout_for(trace);
    const Scale scale(trace.times(), layout.left, 620);
    // The strip's scale: the most any buffer held, but never less than a few
    // lines' worth, so that a line waiting for its newline stays small.
    std::size_t most_buffered = 200;
    for (const Lane &lane : trace.lanes()) {
        for (const BufferPoint &point : lane.buffer) {
            most_buffered = std::max({most_buffered, point.before, point.after});
        }
    }
    ByLane by_lane{std::vector<std::vector<std::size_t>>(trace.lanes().size()),
                   std::vector<std::vector<std::size_t>>(trace.lanes().size())};
    for (std::size_t w = 0; w < trace.writes().size(); ++w) {
        by_lane.writes[trace.writes()[w].lane].push_back(w);
    }
    for (std::size_t l = 0; l < trace.losses().size(); ++l) {
        by_lane.losses[trace.losses()[l].lane].push_back(l);
    }
    std::string body = head(trace, layout, scale) + axis(layout, scale);
    for (std::size_t i = 0; i < trace.lanes().size(); ++i) {
        body += lane_marks(trace, i, layout, scale, most_buffered, by_lane);
    }
    body += gaps(layout, scale) + links(trace, layout, scale);
    body += legend(trace, layout, layout.height);

    return "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"forktrace-timeline\" viewBox=\"0 0 " +
           num(layout.width) + " " + num(layout.height) +
           "\" role=\"img\" aria-label=\"forktrace timeline of " + escape(trace.headline()) +
           "\">\n<title>forktrace: " + escape(trace.headline()) + "</title>\n<style>" +
           scoped_style() +
           "</style>\n<defs><marker id=\"arrow\" viewBox=\"0 0 8 8\" refX=\"8\" refY=\"4\" "
           "markerWidth=\"7\" markerHeight=\"7\" orient=\"auto-start-reverse\"><path d=\"M0 "
           "0L8 4L0 8z\" fill=\"#0f766e\"/></marker><pattern id=\"stripes\" width=\"6\" "
           "height=\"6\" patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\"><rect "
           "width=\"6\" height=\"6\" fill=\"#f8fafc\"/><rect width=\"2\" height=\"6\" "
           "fill=\"#cbd5e1\"/></pattern></defs>\n<rect width=\"100%\" height=\"100%\" "
           "fill=\"#fff\"/>\n" +
           body + "</svg>\n";
}

namespace {

class SvgReport final : public Report {
public:
    explicit SvgReport(std::FILE *out) : out_(out) {}

    void add(const Event &event) override { trace_.add(event); }

    void finish() override
    {
        trace_.done();
        put(out_, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + timeline_svg(trace_));
        static_cast<void>(std::fflush(out_));
    }

private:
    std::FILE *out_;
    Timeline trace_;
};

}  // namespace
}  // namespace forktrace::picture

namespace forktrace {

std::unique_ptr<Report> svg_report(std::FILE *out, const ReportOptions & /*options*/)
{
    return std::make_unique<picture::SvgReport>(out);
}

}  // namespace forktrace
