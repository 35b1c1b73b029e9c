#include "history.hpp"

#include <algorithm>
#include <utility>

namespace forktrace {

std::size_t count_lines(std::string_view text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) +
           (text.empty() || text.ends_with('\n') ? 0 : 1);
}

std::vector<Piece> split_lines(std::string_view data)
{
    std::vector<Piece> pieces;
    while (!data.empty()) {
        const std::size_t end = data.find('\n');
        if (end == std::string_view::npos) {
            pieces.push_back({data, false});
            break;
        }
        pieces.push_back({data.substr(0, end), true});
        data.remove_prefix(end + 1);
    }
    return pieces;
}

std::string printable_lines(std::string_view bytes)
{
    std::string text;
    for (const Piece &piece : split_lines(bytes)) {
        text += printable(piece.text) + (piece.newline ? "\n" : "");
    }
    return text;
}

std::string base_name(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    const std::size_t slash = path.rfind('/');
    return std::string(
        slash == std::string_view::npos || path.size() == 1 ? path : path.substr(slash + 1));
}

std::string exit_summary(const std::optional<Exit> &exit)
{
    if (!exit) {
        return "none";
    }
    if (exit->signal) {
        return "signal " + std::to_string(*exit->signal);
    }
    return "code " + std::to_string(exit->code.value_or(0));
}

std::string collected_text(const Process &process)
{
    if (process.reaper) {
        return "reaped by " + std::to_string(*process.reaper);
    }
    if (process.collected_by_system) {
        return "collected by the system";
    }
    if (process.seen_by) {
        return "seen to end by " + std::to_string(*process.seen_by) + ", left uncollected";
    }
    return process.exit ? "not waited for" : "";
}

std::string short_place(const Process &process)
{
    return process.place ? short_place_name(*process.place) : "";
}

std::string notice_line(const std::string &notice) { return "forktrace: " + printable(notice); }

std::string notices_text(const History &history)
{
    std::string text;
    for (const std::string &notice : history.notices()) {
        text += "  " + notice_line(notice) + "\n";
    }
    return text.empty() ? text
                        : "\nWhat forktrace said of the run, on standard error too:\n" + text;
}

std::string totals(const History &history)
{
    const auto count = [](std::size_t n, const char *one, const char *many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    std::string out = count(history.processes().size(), "process", "processes") + ", " +
                      count(history.lines(), "line", "lines") + " in " +
                      count(history.writes(), "write", "writes");
    if (history.elsewhere() != 0) {
        out += ", " + count(history.elsewhere(), "write", "writes") + " elsewhere";
    }
    if (history.not_kept() != 0) {
        out += " (the first " + std::to_string(history.keep_rows()) + " rows shown; " +
               count(history.not_kept(), "more row", "more rows") + " counted, not shown)";
    }
    return out;
}

std::string command_line(const std::vector<std::string> &argv, bool cut)
{
    std::string out;
    for (const std::string &arg : argv) {
        std::string shown = printable(arg);
        if (arg.empty() || shown.find_first_of(" \t'\"\\$`!*?[](){}<>|&;#~") != std::string::npos) {
            std::string quoted = "'";
            for (const char c : shown) {
                quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
            }
            shown = quoted + "'";
        }
        out += (out.empty() ? "" : " ") + shown;
    }
    return cut ? out + " …" : out;
}

const Process *History::find(pid_t pid) const
{
    const auto found = index_.find(pid);
    return found == index_.end() ? nullptr : &processes_[found->second];
}

Process &History::process(pid_t pid)
{
    const auto found = index_.find(pid);
    if (found != index_.end()) {
        return processes_[found->second];
    }
    // A process the trace has not introduced: keep it, as a root.
    index_[pid] = processes_.size();
    Process &added = processes_.emplace_back();
    added.pid = pid;
    return added;
}

void History::add(const Event &event)
{
    if (event.kind == Event::Kind::fork && !event.ok) {
        Step failed;
        failed.time = event.time;
        failed.ok = false;
        failed.error = event.error;
        failed.failed_fork = true;
        failed.site = event.site;
        process(event.pid).timeline.emplace_back(std::move(failed));
        return;
    }
    if (event.kind == Event::Kind::fork) {
        add_fork(event);
        return;
    }

    if (event.kind == Event::Kind::notice) {
        notices_.push_back(event.data);
        return;
    }
    Process &target = process(event.pid);
    switch (event.kind) {
        case Event::Kind::start:
            if (&target == &processes_.front()) {
                target.place.emplace();
            }
            if (!event.argv.empty()) {
                target.program = base_name(event.argv.front());
            }
            break;
        case Event::Kind::exec:
            add_exec(target, event);
            return;
        case Event::Kind::write:
            add_write(target, event);
            break;
        case Event::Kind::exit:
            target.exit = Exit{event.time, event.code, event.signal, event.site};
            for (const std::size_t child : target.children) {
                if (!processes_[child].exit) {
                    processes_[child].orphan = true;
                }
            }
            break;
        case Event::Kind::reap:
            if (const auto child = index_.find(event.child); child != index_.end()) {
                processes_[child->second].reaper = event.pid;
                processes_[child->second].reap_site = event.site;
            }
            break;
        case Event::Kind::saw_end:
            if (const auto child = index_.find(event.child); child != index_.end()) {
                processes_[child->second].seen_by = event.pid;
                processes_[child->second].collected_by_system = event.by_system;
            }
            break;
        case Event::Kind::fork:
        case Event::Kind::poll:
        case Event::Kind::talk:
        case Event::Kind::getppid:
        case Event::Kind::thread:
        case Event::Kind::pipe:
        case Event::Kind::send:
        case Event::Kind::notice:
            break;
    }
    attempting_.erase(event.pid);
}

void History::add_fork(const Event &event)
{
    process(event.pid);
    const std::size_t maker = index_.at(event.pid);
    const pid_t parent_pid = event.parent.value_or(event.pid);
    process(parent_pid);
    const std::size_t parent = index_.at(parent_pid);
    const auto known = index_.find(event.child);
    std::size_t child = processes_.size();
    // The child's own events may have come first; otherwise the pid is
    // new, or reused after its earlier process ended.
    if (known != index_.end() && processes_[known->second].parent == 0 && known->second != 0 &&
        !processes_[known->second].exit) {
        child = known->second;
    } else {
        index_[event.child] = child;
        processes_.emplace_back().pid = event.child;
    }
    processes_[child].parent = parent_pid;
    if (event.parent) {
        processes_[child].maker = event.pid;
    }
    processes_[child].fork_site = event.site;
    if (Process &made_by = processes_[maker]; made_by.place) {
        processes_[child].place = *made_by.place;
        processes_[child].place->push_back(made_by.forks_made);
    }
    ++processes_[maker].forks_made;
    processes_[child].shares_memory = event.shares_memory;
    if (processes_[child].program.empty()) {
        processes_[child].program = processes_[maker].program;
    }
    processes_[parent].children.push_back(child);
    attempting_.erase(event.pid);
}

void History::add_exec(Process &process, const Event &event)
{
    Step step{event.time,  event.path, event.argv, event.argv_cut, event.ok,
              event.error, 1,          false,      event.site};
    // A failed attempt followed by one for the same file name, with the same
    // arguments: the next directory of a PATH search.
    if (attempting_.count(process.pid) != 0 && !process.timeline.empty()) {
        if (auto *last = std::get_if<Step>(&process.timeline.back());
            last != nullptr && !last->ok && last->argv == event.argv &&
            base_name(last->path) == base_name(event.path)) {
            step.attempts = last->attempts + 1;
            *last = std::move(step);
        } else {
            process.timeline.emplace_back(std::move(step));
        }
    } else {
        process.timeline.emplace_back(std::move(step));
    }
    if (event.ok) {
        process.program = base_name(event.argv.empty() ? event.path : event.argv.front());
        attempting_.erase(process.pid);
    } else {
        attempting_.insert(process.pid);
    }
}

void History::add_write(Process &process, const Event &event)
{
    if (event.stream == Stream::elsewhere) {
        ++process.elsewhere;
        ++elsewhere_;
        return;
    }
    ++process.writes;
    ++writes_;
    if (!event.error.empty() && event.data.empty()) {
        if (keep(process, 0)) {
            process.timeline.emplace_back(
                Line{event.time, writes_, event.stream, {}, false, event.error});
        }
        return;
    }
    const auto newlines =
        static_cast<std::size_t>(std::count(event.data.begin(), event.data.end(), '\n'));
    process.newlines += newlines;
    newlines_ += newlines;
    const bool error = event.stream == Stream::error;
    const auto count = [](Process &p) {
        p.lines = p.newlines + (p.output_open ? 1 : 0) + (p.error_open ? 1 : 0);
    };
    if (std::optional<std::size_t> &open = error ? error_open_ : output_open_;
        !event.data.empty()) {
        // A line left open by a process is ended, or taken on, by this write.
        if (open) {
            (error ? processes_[*open].error_open : processes_[*open].output_open) = false;
            count(processes_[*open]);
        }
        const bool still = !event.data.ends_with('\n');
        open = still ? std::optional(static_cast<std::size_t>(&process - processes_.data()))
                     : std::nullopt;
        (error ? process.error_open : process.output_open) = still;
    }
    count(process);
    for (const Piece &piece : split_lines(event.data)) {
        if (keep(process, piece.text.size())) {
            process.timeline.emplace_back(Line{
                event.time, writes_, event.stream, std::string(piece.text), piece.newline, {}});
        }
    }
}

// Whether a row of `bytes` is within the budget; if not, it is counted.
bool History::keep(Process &process, std::size_t bytes)
{
    if (keep_rows_ == 0) {
        return false;
    }
    if (kept_rows_ >= keep_rows_ || kept_bytes_ + bytes > kept_text) {
        ++process.not_kept;
        ++not_kept_;
        return false;
    }
    ++kept_rows_;
    kept_bytes_ += bytes;
    return true;
}

std::string step_text(const Step &step)
{
    if (step.failed_fork) {
        return "fork failed: " + step.error + at_site(step.site);
    }
    // The command line when it says more than the path.
    const std::string line = command_line(step.argv, step.argv_cut);
    std::string out = "exec " + printable(step.path);
    if (line != printable(step.path)) {
        out += " (" + line + ")";
    }
    if (!step.ok) {
        out += " failed: " + step.error;
    }
    if (step.attempts > 1) {
        out += ", after " + std::to_string(step.attempts) + " attempts along PATH";
    }
    return out + at_site(step.site);
}

const Event::Origin *origin_of(const std::vector<Event::Origin> &origins, std::size_t offset)
{
    for (const Event::Origin &origin : origins) {
        if (offset < origin.bytes) {
            return &origin;
        }
        offset -= origin.bytes;
    }
    return nullptr;
}

pid_t origin_at(const std::vector<Event::Origin> &origins, std::size_t offset)
{
    const Event::Origin *origin = origin_of(origins, offset);
    return origin != nullptr ? origin->pid : 0;
}

std::vector<pid_t> origins_in(const std::vector<Event::Origin> &origins, std::size_t offset,
                              std::size_t length)
{
    std::vector<pid_t> printers;
    std::size_t start = 0;
    for (const Event::Origin &origin : origins) {
        const std::size_t end = start + origin.bytes;
        if (end > offset && start < offset + length && origin.bytes > 0 &&
            (printers.empty() || printers.back() != origin.pid)) {
            printers.push_back(origin.pid);
        }
        start = end;
    }
    return printers;
}

std::string why_written(const std::string &cause, const std::string &who)
{
    if (cause == "newline") {
        return "at a newline (line-buffered)";
    }
    if (cause == "full") {
        return "when a full buffer had to make room";
    }
    if (cause == "exit") {
        return "as " + who + " exited";
    }
    if (cause == "close") {
        return "as " + who + " closed its output at its end";
    }
    if (cause == "flush") {
        return "at an explicit flush (fflush)";
    }
    if (cause == "input") {
        return "as " + who +
               " read its input (reading a terminal first writes out line-buffered output)";
    }
    if (cause == "direct") {
        return "straight from the program's memory, not from the C library's buffer";
    }
    if (cause == "unknown") {
        return "for a reason forktrace cannot tell";
    }
    return "at once (unbuffered)";
}

}  // namespace forktrace
