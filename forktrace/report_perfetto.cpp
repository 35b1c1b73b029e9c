// perfetto: the trace in the Trace Event Format, the JSON that Perfetto's UI
// and chrome://tracing open. Each process is a track of its own (its pid, with
// one thread of the same number), named "PID program" and sorted in the order
// the processes appeared. On it: a slice for its whole life, slices inside it
// for each program image it ran, instant events for its writes (the lines in
// args.text), failed execs, failed forks, its exit and the children it
// reaped. A fork is a flow arrow from a short "fork" slice on the parent's
// track to one at the start of the child's, the two ends bound to slices of
// the same track, time and category, as both Perfetto and Chrome's DevTools
// bind them. A process whose ID an earlier one had gets a track of its own.
//
// Timestamps are microseconds since the trace began. Every string is valid
// UTF-8: the command's bytes go through printable() before JSON's escapes.
#include "history.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <variant>

namespace forktrace {
namespace {

// A failed write stays in the stream's error indicator, for the caller to
// see once the report is finished.
void put(std::FILE *out, std::string_view text)
{
    static_cast<void>(std::fwrite(text.data(), 1, text.size(), out));
}

// Text as a JSON string that any parser accepts.
std::string text(std::string_view bytes) { return json_string(printable(bytes)); }

// Seconds as whole nanoseconds, so that slices that meet share a boundary
// exactly.
long long nanoseconds(double seconds) { return std::max(std::llround(seconds * 1e9), 0LL); }

// Nanoseconds as the format's microseconds: "1270.000".
std::string micro(long long ns)
{
    std::string fraction = std::to_string(ns % 1000);
    return std::to_string(ns / 1000) + "." + std::string(3 - fraction.size(), '0') + fraction;
}

std::string exit_name(const std::optional<Exit> &exit)
{
    if (exit && exit->signal) {
        return "killed by " + signal_text(*exit->signal);
    }
    return exit ? "exit " + std::to_string(exit->code.value_or(0)) : "still running";
}

class PerfettoReport final : public Report {
public:
    explicit PerfettoReport(std::FILE *out) : out_(out) {}

    void add(const Event &event) override
    {
        history_.add(event);
        end_ = std::max(end_, nanoseconds(event.time));
        const std::vector<Process> &processes = history_.processes();
        while (born_.size() < processes.size()) {
            born_.push_back(nanoseconds(event.time));
            born_as_.push_back(processes[born_as_.size()].program);
        }
        if (event.kind == Event::Kind::start) {
            born_as_[index_of(event.pid)] = history_.find(event.pid)->program;
            argv_ = event.argv;
        } else if (event.kind == Event::Kind::fork && event.ok) {
            const std::size_t child = index_of(event.child);
            born_as_[child] = processes[child].program;
            forks_.push_back(
                {nanoseconds(event.time), index_of(event.pid), child, event.pending.value_or("")});
        } else if (event.kind == Event::Kind::reap && history_.find(event.child) != nullptr) {
            reaps_.push_back(
                {nanoseconds(event.time), index_of(event.pid), index_of(event.child), {}});
        }
        keep_whose(event);
    }

    void finish() override
    {
        out_text_ =
            "{\"displayTimeUnit\":\"ms\",\"otherData\":{\"tool\":\"forktrace\",\"command\":" +
            json_string(command_line(argv_)) + ",\"summary\":" + json_string(totals(history_)) +
            ",\"notices\":[";
        for (const std::string &notice : history_.notices()) {
            out_text_ += (out_text_.ends_with('[') ? "" : ",") + json_string(notice);
        }
        out_text_ += "]},\n\"traceEvents\":[\n";
        const std::vector<Process> &processes = history_.processes();
        // A track for each process: its pid, or a number of its own where an
        // earlier process had that pid.
        std::set<pid_t> seen;
        for (std::size_t i = 0; i < processes.size(); ++i) {
            tracks_.push_back(seen.insert(processes[i].pid).second
                                  ? processes[i].pid
                                  : static_cast<pid_t>(reused_base + i));
        }
        for (std::size_t i = 0; i < processes.size(); ++i) {
            track(i, processes[i]);
        }
        for (std::size_t i = 0; i < forks_.size(); ++i) {
            const Link &fork = forks_[i];
            const std::string id = std::to_string(i + 1);
            const std::string child = std::to_string(processes[fork.to].pid);
            // Each end of the flow on a slice of its own track, time and category.
            slice("\"fork " + child + "\"", "fork", fork.time, fork.time + 1000, tracks_[fork.from],
                  "\"child\":" + child +
                      ",\"copied lines\":" + std::to_string(count_lines(fork.text)) +
                      ",\"copied\":" + json_string(printable_lines(fork.text)));
            event("\"name\":\"fork\",\"cat\":\"fork\",\"ph\":\"s\",\"id\":" + id, fork.time,
                  tracks_[fork.from]);
            slice("\"forked\"", "fork", fork.time, fork.time + 1000, tracks_[fork.to],
                  "\"parent\":" + std::to_string(processes[fork.from].pid));
            event("\"name\":\"fork\",\"cat\":\"fork\",\"ph\":\"f\",\"bp\":\"e\",\"id\":" + id,
                  fork.time, tracks_[fork.to]);
        }
        for (const Loss &loss : losses_) {
            const std::size_t lines = count_lines(loss.text);
            instant(json_string(std::to_string(lines) + (lines == 1 ? " line" : " lines") +
                                " lost " + loss.when),
                    "loss", loss.time, tracks_[loss.process],
                    "\"lines\":" + std::to_string(lines) +
                        ",\"text\":" + json_string(printable_lines(loss.text)));
        }
        for (const Link &reap : reaps_) {
            const std::string child = std::to_string(processes[reap.to].pid);
            std::string fields = "\"name\":\"reap ";
            fields += child;
            fields += "\",\"cat\":\"reap\",\"ph\":\"i\",\"s\":\"t\",\"args\":{\"child\":";
            fields += child;
            fields += "}";
            event(fields, reap.time, tracks_[reap.from]);
        }
        put(out_, out_text_ + "\n]}\n");
        static_cast<void>(std::fflush(out_));
    }

private:
    // A fork (parent to child) or a reap (reaper and child), by process.
    struct Link {
        long long time = 0;
        std::size_t from = 0, to = 0;
        std::string text;  // a fork's: the bytes pending in the parent's buffer, copied
    };
    // Who printed a write's bytes, and what an exec or end threw away, for
    // the writes and losses the report shows (as many as History keeps rows).
    static constexpr std::size_t kept = History::default_rows;
    struct Loss {
        long long time = 0;
        std::size_t process = 0;
        // Both used by finish(), where cppcheck does not see them.
        std::string text;  // cppcheck-suppress unusedStructMember
        std::string when;  // cppcheck-suppress unusedStructMember
    };

    void keep_whose(const Event &event)
    {
        if (event.kind == Event::Kind::write && event.stream != Stream::elsewhere &&
            printers_.size() < kept) {
            // Runs of bytes of one printer, one each.
            std::vector<Event::Origin> runs;
            for (const Event::Origin &origin : event.origins) {
                if (!runs.empty() && runs.back().pid == origin.pid) {
                    runs.back().bytes += origin.bytes;
                } else {
                    runs.push_back(origin);
                }
            }
            std::string whose;
            for (const Event::Origin &run : runs) {
                whose += std::string(whose.empty() ? "" : ",") +
                         "{\"pid\":" + std::to_string(run.pid) +
                         ",\"bytes\":" + std::to_string(run.bytes) + "}";
            }
            printers_[history_.writes()] = whose;
        }
        if ((event.kind == Event::Kind::exec || event.kind == Event::Kind::exit) && event.lost &&
            !event.lost->empty() && losses_.size() < kept) {
            losses_.push_back({nanoseconds(event.time), index_of(event.pid), *event.lost,
                               event.kind == Event::Kind::exec ? "at its exec" : "at its end"});
        }
    }
    // Where the tracks of processes that reused an ID are numbered from.
    static constexpr long reused_base = 1L << 30;

    std::size_t index_of(pid_t pid) const
    {
        return static_cast<std::size_t>(history_.find(pid) - history_.processes().data());
    }

    // One event: `fields` and then the time and the track.
    void event(const std::string &fields, long long time, pid_t pid)
    {
        out_text_ += std::string(first_ ? "" : ",\n") + "{" + fields + ",\"ts\":" + micro(time) +
                     ",\"pid\":" + std::to_string(pid) + ",\"tid\":" + std::to_string(pid) + "}";
        first_ = false;
    }

    void slice(const std::string &name, const char *category, long long from, long long to,
               pid_t pid, const std::string &args)
    {
        event("\"name\":" + name + ",\"cat\":\"" + category + "\",\"ph\":\"X\",\"dur\":" +
                  micro(std::max(to - from, 0LL)) + ",\"args\":{" + args + "}",
              from, pid);
    }

    void instant(const std::string &name, const char *category, long long time, pid_t pid,
                 const std::string &args)
    {
        event("\"name\":" + name + ",\"cat\":\"" + category +
                  "\",\"ph\":\"i\",\"s\":\"t\",\"args\":{" + args + "}",
              time, pid);
    }

    void track(std::size_t index, const Process &process)
    {
        const pid_t pid = tracks_[index];
        const std::string name = std::to_string(process.pid) + " " + printable(process.program);
        event(
            "\"name\":\"process_name\",\"ph\":\"M\",\"args\":{\"name\":" + json_string(name) + "}",
            0, pid);
        event("\"name\":\"process_sort_index\",\"ph\":\"M\",\"args\":{\"sort_index\":" +
                  std::to_string(index) + "}",
              0, pid);
        event("\"name\":\"thread_name\",\"ph\":\"M\",\"args\":{\"name\":" + json_string(name) + "}",
              0, pid);
        const long long born = born_[index];
        const long long ended = process.exit ? nanoseconds(process.exit->time) : end_;
        std::string about = "\"parent\":" + std::to_string(process.parent) +
                            ",\"lines\":" + std::to_string(process.lines) +
                            ",\"writes\":" + std::to_string(process.writes) +
                            ",\"end\":" + json_string(exit_name(process.exit));
        if (process.reaper) {
            about += ",\"reaped by\":" + std::to_string(*process.reaper);
        }
        if (process.orphan) {
            about += ",\"orphan\":true";
        }
        slice(json_string(name), "process", born, ended, pid, about);

        // The images: what it was forked as, then each program it exec'd.
        long long image_from = born;
        std::string image = json_string(printable(born_as_[index]));
        std::string image_args = process.parent == 0 ? "\"as\":\"started\"" : "\"as\":\"forked\"";
        const auto &timeline = process.timeline;
        for (std::size_t i = 0; i < timeline.size(); ++i) {
            if (std::holds_alternative<Line>(timeline[i])) {
                // The rows of one write, as one instant.
                std::size_t next = i + 1;
                while (next < timeline.size() && std::holds_alternative<Line>(timeline[next]) &&
                       std::get<Line>(timeline[next]).write == std::get<Line>(timeline[i]).write) {
                    ++next;
                }
                write(pid, timeline, i, next);
                i = next - 1;
                continue;
            }
            const Step &step = std::get<Step>(timeline[i]);
            const long long at = nanoseconds(step.time);
            std::string args = "\"path\":" + text(step.path) +
                               ",\"argv\":" + json_string(command_line(step.argv, step.argv_cut)) +
                               ",\"attempts\":" + std::to_string(step.attempts);
            if (step.failed_fork) {
                instant("\"fork failed: " + step.error + "\"", "fork", at, pid,
                        "\"error\":\"" + step.error + "\"");
            } else if (!step.ok) {
                instant(json_string("exec " + base_name(printable(step.path)) +
                                    " failed: " + step.error),
                        "exec", at, pid, args + ",\"error\":\"" + step.error + "\"");
            } else {
                slice(image, "image", image_from, at, pid, image_args);
                image_from = at;
                image = json_string(base_name(
                    printable(step.argv.empty() || step.argv.front().empty() ? step.path
                                                                             : step.argv.front())));
                image_args = args;
            }
        }
        slice(image, "image", image_from, ended, pid, image_args);
        if (process.exit) {
            instant(json_string(exit_name(process.exit)), "exit", ended, pid, "");
        }
    }

    // The rows [from, to) of `timeline`, all of one write.
    void write(pid_t pid, const std::vector<std::variant<Step, Line>> &timeline, std::size_t from,
               std::size_t to)
    {
        const Line &first = std::get<Line>(timeline[from]);
        const long long at = nanoseconds(first.time);
        const std::string name = "\"write #" + std::to_string(first.write);
        if (!first.error.empty()) {
            instant(name + " failed\"", "write", at, pid, "\"error\":\"" + first.error + "\"");
            return;
        }
        // The lines it ended: a piece without its newline is part of a line
        // that another write ends, as every report counts it.
        std::string lines;
        std::size_t count = 0;
        for (std::size_t i = from; i < to; ++i) {
            const Line &line = std::get<Line>(timeline[i]);
            lines += printable(line.text) + (line.newline ? "\n" : "");
            count += line.newline ? 1 : 0;
        }
        const std::string said = count == 0   ? "part of a line"
                                 : count == 1 ? "1 line"
                                              : std::to_string(count) + " lines";
        const auto whose = printers_.find(first.write);
        instant(name + " (" + said + ")\"", "write", at, pid,
                "\"stream\":\"" + std::string(to_string(first.stream)) +
                    "\",\"lines\":" + std::to_string(count) + ",\"text\":" + json_string(lines) +
                    (whose == printers_.end() ? "" : ",\"printed by\":[" + whose->second + "]"));
    }

    std::FILE *out_;
    History history_;
    std::vector<long long> born_;
    std::vector<std::string> born_as_;
    std::vector<Link> forks_, reaps_;
    std::map<std::size_t, std::string> printers_;  // by write number: its origins, as JSON
    std::vector<Loss> losses_;
    std::vector<pid_t> tracks_;  // of each process
    std::vector<std::string> argv_;
    long long end_ = 0;
    std::string out_text_;
    bool first_ = true;
};

}  // namespace

std::unique_ptr<Report> perfetto_report(std::FILE *out, const ReportOptions & /*options*/)
{
    return std::make_unique<PerfettoReport>(out);
}

}  // namespace forktrace
