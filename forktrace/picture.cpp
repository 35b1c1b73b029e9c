#include "picture.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "possible.hpp"

namespace forktrace::picture {
namespace {

// The rows of output kept for the pictures.
constexpr std::size_t kept_rows = History::default_rows, kept_text = History::kept_text;

std::string when_lost(const Event &event)
{
    if (event.kind == Event::Kind::exec) {
        return "at its exec of " + printable(base_name(event.path));
    }
    if (event.signal) {
        return "when signal " + std::to_string(*event.signal) + " killed it";
    }
    return "at its end";
}

}  // namespace

std::size_t Timeline::lane_of(pid_t pid)
{
    const auto found = latest_.find(pid);
    if (found != latest_.end()) {
        return found->second;
    }
    const std::size_t lane = lanes_.size();
    Lane added;
    added.pid = pid;
    added.born = times_.empty() ? 0 : times_.back();
    lanes_.push_back(std::move(added));
    latest_[pid] = lane;
    return lane;
}

void Timeline::add(const Event &event)
{
    history_.add(event);
    times_.push_back(event.time);
    for_orders_.add(event);
    switch (event.kind) {
        case Event::Kind::start: {
            argv_ = event.argv;
            on_ = event.on;
            Lane &lane = lanes_[lane_of(event.pid)];
            lane.born = event.time;
            lane.first_program = lane.program =
                event.argv.empty() ? "" : base_name(event.argv.front());
            break;
        }
        case Event::Kind::fork:
            forked(event);
            break;
        case Event::Kind::exec:
            execed(event);
            break;
        case Event::Kind::write:
            if (event.stream != Stream::elsewhere) {
                add_write(event, lane_of(event.pid));
            }
            break;
        case Event::Kind::exit:
            exited(event);
            break;
        case Event::Kind::reap: {
            const auto child = latest_.find(event.child);
            if (child != latest_.end()) {
                const std::size_t reaper = lane_of(event.pid);
                lanes_[child->second].reaper = event.pid;
                reaps_.push_back({event.time, child->second, reaper});
            }
            break;
        }
        case Event::Kind::poll:
        case Event::Kind::saw_end:
        case Event::Kind::talk:
        case Event::Kind::getppid:
        case Event::Kind::thread:
        case Event::Kind::pipe:
        case Event::Kind::send:
        case Event::Kind::notice:
            break;
    }
}

void Timeline::forked(const Event &event)
{
    const std::size_t parent = lane_of(event.pid);
    ForkMark fork{event.time, parent, no_lane, 0, {}, event.shares_memory};
    if (!event.ok) {
        lanes_[parent].steps.push_back({event.time, "fork failed: " + event.error,
                                        "fork failed: " + event.error, false, "", 1});
        forks_.push_back(fork);
        return;
    }
    // The child is new, or reused a pid that has ended.
    const std::size_t child = lanes_.size();
    Lane made;
    made.pid = event.child;
    made.parent = parent;
    made.born = event.time;
    made.first_program = made.program = lanes_[parent].program;
    made.made_by = forks_.size();
    lanes_.push_back(std::move(made));
    latest_[event.child] = child;
    fork.child = child;
    if (event.pending) {
        const std::vector<Piece> pieces = split_lines(*event.pending);
        fork.copied = pieces.size();
        for (std::size_t i = 0; i < pieces.size() && i < 8; ++i) {
            fork.copied_lines.push_back(printable(pieces[i].text));
        }
        const std::size_t bytes = event.pending->size();
        lanes_[parent].buffer.push_back({event.time, bytes, bytes, "at its fork"});
        lanes_[child].buffer.push_back({event.time, bytes, bytes, "copied at its birth"});
    }
    forks_.push_back(std::move(fork));
}

void Timeline::execed(const Event &event)
{
    const std::size_t lane_index = lane_of(event.pid);
    Lane &lane = lanes_[lane_index];
    const std::string program = base_name(
        event.argv.empty() || event.argv.front().empty() ? event.path : event.argv.front());
    if (event.ok) {
        lane.program = program;
    }
    if (lane.first_program.empty()) {
        lane.first_program = lane.program;
    }
    StepMark step{event.time,
                  event.ok ? printable(program) : printable(program) + " failed",
                  "exec " + printable(event.path) + (event.ok ? "" : " failed: " + event.error),
                  event.ok,
                  program,
                  1};
    // The attempts of one execvp along PATH are one step.
    if (!lane.steps.empty() && !lane.steps.back().ok && lane.steps.back().program == program) {
        step.attempts = lane.steps.back().attempts + 1;
        step.detail += ", after " + std::to_string(step.attempts) + " attempts along PATH";
        lane.steps.back() = std::move(step);
    } else {
        lane.steps.push_back(std::move(step));
    }
    lost(event, lane_index, "at its exec");
}

void Timeline::exited(const Event &event)
{
    const std::size_t lane_index = lane_of(event.pid);
    lanes_[lane_index].exit = Exit{event.time, event.code, event.signal, event.site};
    for (Lane &child : lanes_) {
        if (child.parent == lane_index && !child.exit) {
            child.orphan = true;
        }
    }
    lost(event, lane_index, "at its end");
}

void Timeline::lost(const Event &event, std::size_t lane_index, const char *when)
{
    if (!event.lost) {
        return;
    }
    Lane &lane = lanes_[lane_index];
    lane.buffer.push_back({event.time, event.lost->size(), 0, when});
    if (!event.lost->empty()) {
        LossMark loss{event.time, lane_index, when_lost(event), {}};
        for (const Piece &piece : split_lines(*event.lost)) {
            loss.lines.push_back(printable(piece.text) + (piece.newline ? "" : " [no newline]"));
        }
        lane.lost += loss.lines.size();
        losses_.push_back(std::move(loss));
    }
}

void Timeline::add_write(const Event &event, std::size_t lane_index)
{
    Lane &lane = lanes_[lane_index];
    if (event.buffered) {
        const std::size_t before = *event.buffered;
        lane.buffer.push_back({event.time, before, before - std::min(before, event.data.size()),
                               "at write #" + std::to_string(history_.writes())});
    }
    WriteMark write{event.time, history_.writes(), lane_index, event.error, {}};
    std::size_t offset = 0;
    for (const Piece &piece : split_lines(event.data)) {
        const pid_t printer = event.unknown_origin ? 0 : origin_at(event.origins, offset);
        offset += piece.text.size() + (piece.newline ? 1 : 0);
        const auto printer_lane = latest_.find(printer);
        LineMark line{{},
                      piece.newline,
                      event.stream,
                      printer_lane == latest_.end() ? no_lane : printer_lane->second,
                      printer != 0 && printer != event.pid};
        lane.copied += line.copied && piece.newline ? 1 : 0;
        if (kept_rows_ >= kept_rows || kept_bytes_ + piece.text.size() > kept_text) {
            ++not_kept_;
            continue;
        }
        ++kept_rows_;
        kept_bytes_ += piece.text.size();
        line.text = std::string(piece.text);
        write.lines.push_back(std::move(line));
    }
    if (!write.lines.empty() || !write.error.empty()) {
        writes_.push_back(std::move(write));
    }
}

void Timeline::done()
{
    std::sort(times_.begin(), times_.end());
    if (for_orders_.all()) {
        const Order order = order_of(for_orders_.events());
        orders_ = orders_sentence(order);
        orders_brief_ = orders_sentence(order, true);
    }
    for_orders_ = {};
    // Each lane's lines as every report counts them: a line written in
    // pieces is one line, of the process whose write ended it.
    const std::vector<Process> &processes = history_.processes();
    for (std::size_t i = 0; i < lanes_.size(); ++i) {
        const Process *process = i < processes.size() && processes[i].pid == lanes_[i].pid
                                     ? &processes[i]
                                     : history_.find(lanes_[i].pid);
        if (process != nullptr) {
            lanes_[i].lines = process->lines;
            lanes_[i].copied = std::min(lanes_[i].copied, process->lines);
        }
    }
}

std::string Timeline::headline() const
{
    std::vector<std::string> argv = argv_;
    if (!argv.empty()) {
        argv.front() = base_name(argv.front());
    }
    std::string out = argv.empty() ? "(no command)" : command_line(argv);
    if (on_ == On::pipe) {
        out += " on a pipe";
    } else if (on_ == On::terminal) {
        out += " on a terminal";
    }
    return out;
}

Scale::Scale(const std::vector<double> &times, double left, double width)
{
    const double first = times.empty() ? 0 : std::min(0.0, times.front());
    const double last = times.empty() ? 0 : times.back();
    // The stretches between events, longest first: cut while the longest is
    // at least 0.1 s and a quarter of what is left.
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

double Scale::x(double time) const
{
    const auto after =
        std::upper_bound(segments_.begin(), segments_.end(), time,
                         [](double t, const Segment &segment) { return t < segment.from; });
    const Segment &segment = after == segments_.begin() ? segments_.front() : *(after - 1);
    return segment.x + (std::clamp(time, segment.from, segment.to) - segment.from) * per_second_;
}

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
            // The two noncharacters that XML refuses become escapes like the rest.
            out += shown[i + 2] == '\xBE' ? "\\ufffe" : "\\uffff";
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string xml(std::string_view bytes) { return escape(printable(bytes)); }

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

std::string exit_text(const std::optional<Exit> &exit)
{
    if (!exit) {
        return "still running";
    }
    if (exit->signal) {
        return signal_text(*exit->signal);
    }
    return "exit " + std::to_string(exit->code.value_or(0));
}

std::string colour(std::size_t lane)
{
    // Sixteen that stay apart from each other, from the loss red (#dc2626)
    // and from the page, also as eyes without red or green cones see them
    // (CIE76 difference over 15 each way); then hues a golden angle apart.
    static constexpr std::array<const char *, 16> first{
        "#1f77b4", "#1616f3", "#7d123d", "#070788", "#2db4a6", "#166ff3", "#2db463", "#2e2768",
        "#12727d", "#f38516", "#7d1212", "#3bb1ce", "#094bae", "#3d99f5", "#1c2dc4", "#a33e48"};
    if (lane < first.size()) {
        return first[lane];
    }
    const double hue = std::fmod(static_cast<double>(lane) * 137.508, 360.0);
    return "hsl(" + num(hue) + " 65% 42%)";
}

std::string lines(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " line" : " lines");
}

}  // namespace forktrace::picture
