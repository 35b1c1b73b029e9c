// The trace as the pictures draw it, and how they lay it out. One lane per
// process; each line written with the process that printed it and, for a
// line a fork copied, the fork; the lines thrown away at an exec or an end;
// the bytes pending in each process's buffer at every stop. Built as the
// events come: the rows of output are kept up to a budget and counted past
// it, so that memory stays flat however much the command writes.
//
// The command's bytes are untrusted: every text from them goes through
// printable() and then XML's escapes before it reaches markup.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "history.hpp"
#include "possible.hpp"

namespace forktrace::picture {

constexpr std::size_t no_lane = static_cast<std::size_t>(-1);

struct LineMark {
    std::string text;  // the command's bytes, without the newline
    bool newline = true;
    Stream stream = Stream::output;
    std::size_t printer = no_lane;  // the lane of the process that printed it; no_lane: unknown
    bool copied = false;            // printed by another process, copied in by a fork
};

struct WriteMark {
    double time = 0;
    std::size_t number = 0;  // in the trace, from 1
    std::size_t lane = 0;
    std::string error;  // a failed write
    std::vector<LineMark> lines;
};

struct ForkMark {
    double time = 0;
    std::size_t parent = 0, child = no_lane;  // child: no_lane for a failed fork
    std::size_t copied = 0;                   // lines pending in the parent's buffer, copied
    std::vector<std::string> copied_lines;    // their text, the first few
    bool shared = false;                      // a vfork: nothing copied, memory shared
};

// Lines thrown away with a buffer.
struct LossMark {
    double time = 0;
    std::size_t lane = 0;
    std::string when;  // "at its exec of date", "at its end", "when signal 9 killed it"
    std::vector<std::string> lines;  // printable
};

// The bytes pending in a lane's buffer at a stop, before and after it.
struct BufferPoint {
    double time = 0;
    std::size_t before = 0, after = 0;
    std::string what;  // the stop, for the tooltip
};

struct StepMark {
    double time = 0;
    std::string label;   // shown above the lane: the new program, or what failed
    std::string detail;  // the tooltip
    bool ok = true;
    std::string program;  // an exec's, by name; empty for a failed fork
    int attempts = 1;     // an exec's along PATH
};

struct Lane {
    pid_t pid = 0;
    std::size_t parent = no_lane;
    std::string first_program, program;  // as it appeared, and after its last exec
    double born = 0;
    std::optional<Exit> exit;
    std::optional<pid_t> reaper;
    bool orphan = false;
    std::size_t made_by = static_cast<std::size_t>(-1);  // its fork, in Timeline::forks
    // Lines written, as History counts them (set once the trace is done), of
    // them copied; lines thrown away.
    std::size_t lines = 0, copied = 0, lost = 0;
    std::vector<StepMark> steps;
    std::vector<BufferPoint> buffer;
};

struct Reap {
    double time = 0;
    std::size_t child = 0, reaper = 0;
};

class Timeline {
public:
    void add(const Event &event);
    // After the last event: times in order, and the count of possible orders.
    void done();

    const std::vector<Lane> &lanes() const { return lanes_; }
    const std::vector<WriteMark> &writes() const { return writes_; }
    const std::vector<ForkMark> &forks() const { return forks_; }
    const std::vector<LossMark> &losses() const { return losses_; }
    const std::vector<Reap> &reaps() const { return reaps_; }
    const std::vector<double> &times() const { return times_; }
    const History &history() const { return history_; }
    double end() const { return times_.empty() ? 0 : times_.back(); }
    std::size_t not_kept() const { return not_kept_; }
    // "fanout on a pipe": the command and where its output went.
    std::string headline() const;
    // "This run is one of N possible orders of these 30 lines.", or empty.
    const std::string &orders() const { return orders_; }
    // The same with a count of ten digits or more in short: "about 1.27e89".
    const std::string &orders_brief() const { return orders_brief_; }

private:
    std::size_t lane_of(pid_t pid);
    void add_write(const Event &event, std::size_t lane);
    void forked(const Event &fork);
    void execed(const Event &exec);
    void exited(const Event &exit);
    // The buffer `lost` at an exec or the end (`when`): on the lane's strip,
    // and its lines among the losses.
    void lost(const Event &event, std::size_t lane, const char *when);

    History history_{0};
    std::vector<Lane> lanes_;
    std::vector<WriteMark> writes_;
    std::vector<ForkMark> forks_;
    std::vector<LossMark> losses_;
    std::vector<Reap> reaps_;
    std::vector<double> times_;
    std::unordered_map<pid_t, std::size_t> latest_;
    std::vector<std::string> argv_;
    On on_ = On::inherit;
    std::size_t kept_rows_ = 0, kept_bytes_ = 0, not_kept_ = 0;
    EventsForOrders for_orders_;
    std::string orders_, orders_brief_;
};

// Time to x. Linear, except that a long stretch in which nothing happened
// (a sleep, a wait for input) is cut down to a narrow striped band, so that
// it does not squash everything else to a line.
class Scale {
public:
    struct Segment {
        double from = 0, to = 0;  // seconds
        double x = 0;             // where it starts
    };
    static constexpr double gap_width = 44;

    Scale(const std::vector<double> &times, double left, double width);
    double x(double time) const;
    const std::vector<Segment> &segments() const { return segments_; }
    double per_second() const { return per_second_; }
    double cut_time() const { return cut_time_; }

private:
    std::vector<Segment> segments_;
    double per_second_ = 1;
    double cut_time_ = 0;
};

// Printable text as XML text, for content and attributes.
std::string escape(std::string_view shown);
// The command's bytes as XML text.
std::string xml(std::string_view bytes);
// A coordinate: one decimal.
std::string num(double value);
// A duration for people: "850 µs", "1.25 ms", "5.00 s".
std::string duration(double seconds);
// `text` cut to `length` characters, with an ellipsis.
std::string cut(const std::string &text, std::size_t length);
// "exit 0", "signal 9 (SIGKILL)", "still running".
std::string exit_text(const std::optional<Exit> &exit);
// The colour of a lane: a process's, for its label and every line it printed.
std::string colour(std::size_t lane);
// "1 line", "3 lines".
std::string lines(std::size_t count);

}  // namespace forktrace::picture
