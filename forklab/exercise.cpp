#include "exercise.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "explore.hpp"
#include "history.hpp"
#include "launch.hpp"
#include "possible.hpp"
#include "run.hpp"

extern char **environ;

namespace forklab {
namespace {

// `cc` as a shell finds it, or nothing.
std::optional<std::string> compiler()
{
    for (const std::string &candidate : forktrace::candidates("cc")) {
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

// The files forklab makes in its scratch folder: the program and its build.
constexpr const char *source_file = "exercise.c", *built_file = "exercise";

// The files of the scratch folder, and the folder, for a signal to remove.
constexpr std::size_t most_path = 4096;
char scratch_files[3][most_path] = {};

void remove_scratch_files()
{
    static_cast<void>(::unlink(scratch_files[0]));
    static_cast<void>(::unlink(scratch_files[1]));
    static_cast<void>(::rmdir(scratch_files[2]));
}

std::vector<std::string> environment()
{
    std::vector<std::string> env;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        env.emplace_back(*entry);
    }
    return env;
}

// What an exercise may do before it is stopped: its answers are for
// programs that end by themselves, soon, and print a page or two. The time
// is that of all its runs one way.
constexpr std::chrono::seconds most_time{10};
constexpr std::size_t most_output = 1 << 20, most_processes = 1000, most_file = 16 << 20,
                      most_errors = 64 << 10;  // of the error messages shown

// Stops the run in progress once `most_time` has passed since the watch
// began, unless it has ended by then: over an exploration, every run's time
// counts. A run stopped so ends any that follow it at once.
class Watch {
public:
    explicit Watch(bool &stopped)
        : thread_([this, &stopped] {
              // Signals are for the thread that traces.
              sigset_t all;
              sigfillset(&all);
              pthread_sigmask(SIG_BLOCK, &all, nullptr);
              std::unique_lock lock(mutex_);
              if (!ended_cv_.wait_for(lock, most_time, [this] { return ended_; })) {
                  stopped = true;
                  forktrace::stop_run();
              }
          })
    {
    }
    Watch(const Watch &) = delete;
    Watch &operator=(const Watch &) = delete;
    ~Watch()
    {
        {
            const std::lock_guard lock(mutex_);
            ended_ = true;
        }
        ended_cv_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable ended_cv_;
    bool ended_ = false;
    std::thread thread_;  // last: it starts once the rest is made
};

// What a run has done so far that forklab limits.
struct Size {
    std::size_t written = 0, processes = 1;
    bool file_too_large = false;  // a process was ended by SIGXFSZ

    void add(const forktrace::Event &event)
    {
        written += event.kind == forktrace::Event::Kind::write ? event.data.size() : 0;
        // A thread counts as a process does: each takes a task of the system.
        processes += (event.kind == forktrace::Event::Kind::fork && event.ok) ||
                             event.kind == forktrace::Event::Kind::thread
                         ? 1
                         : 0;
        file_too_large = file_too_large ||
                         (event.kind == forktrace::Event::Kind::exit && event.signal == SIGXFSZ);
    }
    // What it did past the limits, in words; empty when nothing.
    std::string past_limits() const
    {
        if (written > most_output) {
            return "printed more than " + std::to_string(most_output / 1024) + " KiB";
        }
        if (processes > most_processes) {
            return "made more than " + std::to_string(most_processes) + " processes and threads";
        }
        if (file_too_large) {
            return "wrote a file larger than " + std::to_string(most_file >> 20U) + " MiB";
        }
        return "";
    }
};

// A compiler's or a program's messages as they can be shown: each line
// printable, no byte of a source, a #warning or a program able to drive the
// terminal.
std::string shown(const std::string &said)
{
    std::string out = forktrace::printable_lines(said);
    return out.empty() || out.ends_with('\n') ? out : out + "\n";
}

// A file of forklab's own, unnamed, in `folder`, for a program's standard
// error; or none.
launch::Fd errors_file(const std::filesystem::path &folder)
{
    return launch::Fd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
}

// What the program's runs wrote to their standard error, shown as it can be
// on a terminal: the first `most_errors` bytes, and how many more there were.
void show_errors(const launch::Fd &errors)
{
    std::string said(most_errors + 1, '\0');
    const ssize_t n = errors.open() ? ::pread(errors.get(), said.data(), said.size(), 0) : 0;
    said.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (said.empty()) {
        return;
    }
    const bool cut = said.size() > most_errors;
    said.resize(std::min(said.size(), most_errors));
    std::string out = shown(said);
    if (cut) {
        struct stat info {};
        const auto size = ::fstat(errors.get(), &info) == 0 ? info.st_size : 0;
        out += "(and " + std::to_string(static_cast<std::size_t>(size) - most_errors) +
               " bytes more)\n";
    }
    static_cast<void>(std::fwrite(out.data(), 1, out.size(), stderr));
}

// The program's runs explored one way, within forklab's limits: the first
// run is stopped once it passes them, and whichever is running once the
// runs have taken `most_time` together; a later run that passed them is
// told after. False, after saying why, when tracing failed or a run went
// past them.
bool explore_within_limits(const std::filesystem::path &program, forktrace::On on, Run &run,
                           forktrace::Runs &runs)
{
    forktrace::Options options;
    options.on = on;
    options.input = "";  // nothing to read: its input ends at once
    options.command = {program.string()};
    options.most_file = most_file;
    options.directory = program.parent_path().string();  // its files go with it
    // Out of reach of the program: forklab, the teacher's other processes
    // and terminal; its error messages are shown once it has ended.
    options.confined = true;
    const launch::Fd errors = errors_file(program.parent_path());
    options.errors = errors.open() ? errors.get() : -1;
    forktrace::Run first;
    Size size;
    bool too_much = false, too_long = false;
    first.emit = [&](const forktrace::Event &event) {
        size.add(event);
        if (!too_much && !size.past_limits().empty()) {
            too_much = true;
            forktrace::stop_run();
        }
    };
    first.show_on = -1;
    first.received = &run.output;
    {
        const Watch watch(too_long);
        run.status = forktrace::explore(options, program.string(), first, runs);
    }
    show_errors(errors);
    if (run.status == forktrace::status_failed || forktrace::interrupted() != 0 ||
        runs.events.empty()) {
        return false;  // the tracer said why, or a signal came
    }
    std::string what =
        too_long ? "was still running after " + std::to_string(most_time.count()) + " seconds" : "";
    for (std::size_t r = 0; r < runs.events.size() && what.empty(); ++r) {
        Size each;
        for (const forktrace::Event &event : runs.events[r]) {
            each.add(event);
        }
        what = each.past_limits();
    }
    if (!what.empty()) {
        forktrace::say(
            "forklab: the program %s, and was stopped: forklab answers for programs "
            "that end by themselves, and soon\n",
            what.c_str());
        return false;
    }
    return true;
}

// A terminal's output as its reader has it: "\r\n" as "\n".
std::string as_read(const std::string &output)
{
    std::string read;
    for (std::size_t i = 0; i < output.size(); ++i) {
        if (!(output[i] == '\r' && i + 1 < output.size() && output[i + 1] == '\n')) {
            read += output[i];
        }
    }
    return read;
}

// The lines of the run shown that a fork copied, and those lost in a buffer.
void count_buffered(Run &run)
{
    for (const forktrace::Event &event : run.events) {
        if (event.kind == forktrace::Event::Kind::write &&
            event.stream == forktrace::Stream::output) {
            std::size_t offset = 0;
            for (const forktrace::Piece &piece : forktrace::split_lines(event.data)) {
                const pid_t printer = forktrace::origin_at(event.origins, offset);
                run.copied_lines += printer != 0 && printer != event.pid ? 1 : 0;
                offset += piece.text.size() + (piece.newline ? 1 : 0);
            }
        }
        if (event.lost) {
            run.lost_lines += forktrace::split_lines(*event.lost).size();
        }
    }
}

// The fewest and the most lines that the orders of these writes give. Every
// order has the same newlines; a last line without one is there when the
// last write does not end with one, and any write that no other must follow
// can be last.
std::pair<std::size_t, std::size_t> line_bounds(const forktrace::Order &order)
{
    std::vector<bool> followed(order.writes.size(), false);
    std::size_t newlines = 0;
    for (const forktrace::Write &write : order.writes) {
        for (const std::size_t before : write.after) {
            followed[before] = true;
        }
        newlines +=
            static_cast<std::size_t>(std::count(write.text.begin(), write.text.end(), '\n'));
    }
    bool may_end_a_line = false, may_not = false;
    for (std::size_t w = 0; w < order.writes.size(); ++w) {
        const std::string &text = order.writes[w].text;
        if (!followed[w] && !text.empty()) {
            (text.back() == '\n' ? may_end_a_line : may_not) = true;
        }
    }
    return {newlines + (may_end_a_line || !may_not ? 0 : 1), newlines + (may_not ? 1 : 0)};
}

// The lines of any possible output, over every run explored; where they
// cannot be worked out, those of the run shown alone.
void bound_lines(Run &run)
{
    run.fewest_lines = run.most_lines = run.lines;
    const std::vector<forktrace::Order> &orders = run.orders_explored;
    if (std::any_of(orders.begin(), orders.end(), [](const auto &o) { return o.too_large; })) {
        return;
    }
    const auto [fewest, most] = line_bounds(orders.front());
    if (run.lines < fewest || run.lines > most) {
        return;  // the writes are not what its reader got: this run's alone
    }
    for (const forktrace::Order &order : orders) {
        const auto [low, high] = line_bounds(order);
        run.fewest_lines = std::min(run.fewest_lines, low);
        run.most_lines = std::max(run.most_lines, high);
    }
}

// A write as any run names it: its process's place, its number there, its text.
std::string name_of(const forktrace::Order &order, const forktrace::Write &write)
{
    std::string name;
    for (const std::size_t fork : order.processes[write.process].path) {
        name += std::to_string(fork) + ".";
    }
    return name + "#" + std::to_string(write.number) + ":" + std::to_string(write.text.size()) +
           ":" + write.text;
}

// The runs whose writes must keep the same order, counted once: runs that
// differ only in choices that order nothing. Each write's direct
// predecessors tell its order, for they are the fewest that do.
std::vector<forktrace::Order> distinct(const std::vector<forktrace::Order> &orders)
{
    std::vector<forktrace::Order> kept;
    std::set<std::string> seen;
    for (const forktrace::Order &order : orders) {
        std::vector<std::string> writes;
        for (const forktrace::Write &write : order.writes) {
            std::vector<std::string> after(write.after.size());
            std::transform(
                write.after.begin(), write.after.end(), after.begin(),
                [&](std::size_t before) { return name_of(order, order.writes[before]); });
            std::sort(after.begin(), after.end());
            std::string entry = name_of(order, write) + "<";
            for (const std::string &before : after) {
                entry += std::to_string(before.size()) + ":" + before;
            }
            writes.push_back(std::move(entry));
        }
        std::sort(writes.begin(), writes.end());
        std::string key;
        for (const std::string &entry : writes) {
            key += std::to_string(entry.size()) + ":" + entry;
        }
        if (order.too_large || seen.insert(std::move(key)).second) {
            kept.push_back(order);
        }
    }
    return kept;
}

// The possible orders and outputs over every run: exact where the runs
// prove it, else what they prove and "at least".
void count_possible(Run &run)
{
    const std::vector<forktrace::Order> orders = distinct(run.orders_explored);
    std::optional<mpz_class> order_count, output_count;
    bool orders_bound = false, outputs_bound = false;
    if (orders.size() == 1) {
        order_count = forktrace::count_orders(orders.front());
        output_count = forktrace::count_outputs(orders.front(), order_count).count;
    } else {
        const forktrace::Union together = forktrace::count_union(orders);
        order_count = together.orders;
        output_count = together.outputs;
        orders_bound = together.orders_at_least;
        outputs_bound = together.outputs_at_least;
    }
    const auto count = [&run](const std::optional<mpz_class> &n, bool bound) {
        if (!n || (bound && *n == 0)) {
            return Count{};  // a bound of nothing: not counted
        }
        return Count{n->get_str(), bound || !run.proven};
    };
    run.orders = count(order_count, orders_bound);
    run.outputs = count(output_count, outputs_bound);
}

std::optional<Run> traced(const std::filesystem::path &program, forktrace::On on)
{
    Run run;
    forktrace::Runs runs;
    if (!explore_within_limits(program, on, run, runs)) {
        return std::nullopt;
    }
    run.events = runs.events.front();
    if (on == forktrace::On::terminal) {
        run.output = as_read(run.output);
    }
    forktrace::History history;
    for (const forktrace::Event &event : run.events) {
        history.add(event);
    }
    run.processes = history.processes().size();
    run.lines = forktrace::count_lines(run.output);
    count_buffered(run);
    run.explored = std::move(runs.events);
    for (const std::vector<forktrace::Event> &events : run.explored) {
        run.orders_explored.push_back(forktrace::order_of(events));
    }
    run.proven =
        runs.complete && !runs.gave_up &&
        std::all_of(run.orders_explored.begin(), run.orders_explored.end(),
                    [](const forktrace::Order &order) { return order.unexplored.empty(); });
    bound_lines(run);
    count_possible(run);
    return run;
}

}  // namespace

std::optional<std::filesystem::path> make_scratch()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string name =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/forklab-XXXXXX";
    const std::array<std::string, 3> names{std::string("/") + source_file,
                                           std::string("/") + built_file, ""};
    const bool too_long = name.size() + names[0].size() >= most_path;
    if (too_long || ::mkdtemp(name.data()) == nullptr) {
        forktrace::say("forklab: cannot make a folder in %s: %s\n", name.c_str(),
                       too_long ? "name too long" : std::strerror(errno));
        return std::nullopt;
    }
    forktrace::before_a_signal_ends(nullptr);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string file = name + names[i];
        std::memcpy(scratch_files[i], file.c_str(), file.size() + 1);  // with its '\0'
    }
    forktrace::before_a_signal_ends(remove_scratch_files);
    return name;
}

void remove_scratch(const std::filesystem::path &folder)
{
    forktrace::before_a_signal_ends(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

namespace {

// What the compiler may take: a source that includes /dev/zero or a FIFO,
// say, is stopped rather than left to run the machine out of memory or to
// wait for good.
constexpr rlim_t compiler_memory = rlim_t{2} << 30U, compiler_file = rlim_t{256} << 20U;
constexpr std::chrono::seconds compiler_time{60};

void limit_the_compiler()
{
    const rlimit memory{compiler_memory, compiler_memory};
    const rlimit file{compiler_file, compiler_file};
    const auto seconds = static_cast<rlim_t>(compiler_time.count());
    const rlimit processor{seconds, seconds};
    static_cast<void>(::setrlimit(RLIMIT_AS, &memory));
    static_cast<void>(::setrlimit(RLIMIT_FSIZE, &file));
    static_cast<void>(::setrlimit(RLIMIT_CPU, &processor));
}

// The compiler's messages, to its end: false when it ran past its time and
// was killed. A signal to forklab is passed on to it, once.
bool compiler_messages(launch::Launched &launched, std::string &said)
{
    const auto until = std::chrono::steady_clock::now() + compiler_time;
    char buffer[4096];
    bool passed_on = false;
    for (;;) {
        pollfd ready{launched.output().get(), POLLIN, 0};
        const int waited = ::poll(&ready, 1, 1000);
        if (forktrace::interrupted() != 0 && !passed_on) {
            static_cast<void>(::kill(-launched.pid(), forktrace::interrupted()));
            passed_on = true;
        }
        if (waited == 0 && std::chrono::steady_clock::now() > until) {
            static_cast<void>(::kill(-launched.pid(), SIGKILL));
            return false;
        }
        if (waited <= 0) {
            continue;
        }
        const ssize_t n = ::read(launched.output().get(), buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EINTR)) {
            return true;
        }
        if (n > 0 && said.size() < compiler_file) {
            said.append(buffer, static_cast<std::size_t>(n));
        }
    }
}

}  // namespace

std::optional<std::filesystem::path> compile(const std::string &source,
                                             const std::filesystem::path &folder)
{
    // A signal stops the compiler, as it would at a shell, and then forklab.
    const forktrace::SignalsHeld held;
    const std::optional<std::string> cc = compiler();
    if (!cc) {
        forktrace::say(
            "forklab: no C compiler: cc is not on PATH (on Debian: apt-get install gcc)\n");
        return std::nullopt;
    }
    const std::filesystem::path file = folder / source_file, program = folder / built_file;
    std::ofstream(file) << source;
    launch::Launched launched;
    try {
        launch::Program cc_run;
        cc_run.argv = {"cc", "-g", "-O0", "-o", program.string(), file.string()};
        cc_run.file = *cc;
        cc_run.env = environment();
        cc_run.errors_apart = false;  // its messages and its output are one stream
        cc_run.before_exec = limit_the_compiler;
        launched = launch::start(cc_run);
    } catch (const std::system_error &error) {
        forktrace::say("forklab: cannot run cc: %s\n", error.what());
        return std::nullopt;
    }
    launched.input().reset();
    std::string said;
    const bool in_time = compiler_messages(launched, said);
    const int status = launched.status();
    if (forktrace::interrupted() != 0) {
        return std::nullopt;
    }
    const std::string messages = shown(said);
    static_cast<void>(std::fwrite(messages.data(), 1, messages.size(), stderr));
    if (!in_time) {
        forktrace::say("forklab: cc was still compiling after %lld seconds, and was stopped\n",
                       static_cast<long long>(compiler_time.count()));
        return std::nullopt;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        forktrace::say("forklab: cc could not compile the program\n");
        return std::nullopt;
    }
    return program;
}

std::optional<Answers> answer(const std::filesystem::path &program)
{
    std::optional<Run> terminal = traced(program, forktrace::On::terminal);
    if (!terminal) {
        return std::nullopt;
    }
    std::optional<Run> pipe = traced(program, forktrace::On::pipe);
    if (!pipe) {
        return std::nullopt;
    }
    return Answers{std::move(*terminal), std::move(*pipe)};
}

std::string report_of(const Run &run,
                      const std::function<std::unique_ptr<forktrace::Report>(std::FILE *out)> &make)
{
    char *data = nullptr;
    std::size_t size = 0;
    std::FILE *out = ::open_memstream(&data, &size);
    if (out == nullptr) {
        return "";
    }
    {
        const std::unique_ptr<forktrace::Report> report = make(out);
        for (const forktrace::Event &event : run.events) {
            report->add(event);
        }
        report->finish();
    }
    static_cast<void>(std::fclose(out));
    std::string text(data, size);
    std::free(data);  // NOLINT(cppcoreguidelines-no-malloc): open_memstream's buffer
    return text;
}

std::string timeline(const Run &run)
{
    return report_of(run, [](std::FILE *out) { return forktrace::svg_report(out, {}); });
}

}  // namespace forklab
