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
#include <system_error>
#include <thread>

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

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
// programs that end by themselves, soon, and print a page or two.
constexpr std::chrono::seconds most_time{10};
constexpr std::size_t most_output = 1 << 20, most_processes = 1000;

// Stops the run in progress once it has run for `most_time`, unless it has
// ended by then.
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

Run traced(const std::filesystem::path &program, forktrace::On on, bool &failed)
{
    Run run;
    forktrace::Options options;
    options.on = on;
    options.input = "";  // nothing to read: its input ends at once
    options.command = {program.string()};
    forktrace::Run plan;
    std::size_t written = 0, processes = 1;
    bool too_much = false, too_long = false;
    plan.emit = [&](const forktrace::Event &event) {
        run.events.push_back(event);
        written += event.kind == forktrace::Event::Kind::write ? event.data.size() : 0;
        processes += event.kind == forktrace::Event::Kind::fork && event.ok ? 1 : 0;
        if (!too_much && (written > most_output || processes > most_processes)) {
            too_much = true;
            forktrace::stop_run();
        }
    };
    plan.show_on = -1;
    plan.received = &run.output;
    {
        const Watch watch(too_long);
        run.status = forktrace::run_command(options, program.string(), plan);
    }
    failed = run.status == forktrace::status_failed || forktrace::interrupted() != 0;
    if ((too_much || too_long) && !failed) {
        const std::string what =
            too_long ? "was still running after " + std::to_string(most_time.count()) + " seconds"
            : written > most_output
                ? "printed more than " + std::to_string(most_output / 1024) + " KiB"
                : "made more than " + std::to_string(most_processes) + " processes";
        forktrace::say(
            "forklab: the program %s, and was stopped: forklab answers for programs "
            "that end by themselves, and soon\n",
            what.c_str());
        failed = true;
    }
    if (on == forktrace::On::terminal) {
        std::string output;
        for (std::size_t i = 0; i < run.output.size(); ++i) {
            if (!(run.output[i] == '\r' && i + 1 < run.output.size() &&
                  run.output[i + 1] == '\n')) {
                output += run.output[i];
            }
        }
        run.output = output;
    }
    forktrace::History history;
    for (const forktrace::Event &event : run.events) {
        history.add(event);
    }
    run.processes = history.processes().size();
    run.lines = count_lines(run.output);
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
    const forktrace::Order order = forktrace::order_of(run.events);
    // Every order has the same newlines; a last line without one is there
    // when the last write does not end with one, and any write that no other
    // must follow can be last.
    std::vector<bool> followed(order.writes.size(), false);
    for (const forktrace::Write &write : order.writes) {
        for (const std::size_t before : write.after) {
            followed[before] = true;
        }
    }
    bool may_end_a_line = false, may_not = false;
    for (std::size_t w = 0; w < order.writes.size(); ++w) {
        const std::string &text = order.writes[w].text;
        if (!followed[w] && !text.empty()) {
            (text.back() == '\n' ? may_end_a_line : may_not) = true;
        }
    }
    const auto newlines =
        static_cast<std::size_t>(std::count(run.output.begin(), run.output.end(), '\n'));
    run.fewest_lines = newlines + (may_end_a_line || !may_not ? 0 : 1);
    run.most_lines = newlines + (may_not ? 1 : 0);
    if (order.too_large || run.lines < run.fewest_lines || run.lines > run.most_lines) {
        run.fewest_lines = run.most_lines = run.lines;  // not worked out: this run's alone
    }
    const std::optional<mpz_class> orders = forktrace::count_orders(order);
    run.orders = orders ? orders->get_str() : "";
    const forktrace::Outputs outputs = forktrace::count_outputs(order, orders);
    run.outputs = outputs.count ? outputs.count->get_str() : "";
    return run;
}

}  // namespace

std::size_t count_lines(const std::string &text)
{
    const auto newlines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    return newlines + (text.empty() || text.back() == '\n' ? 0 : 1);
}

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
        launched = launch::start(cc_run);
    } catch (const std::system_error &error) {
        forktrace::say("forklab: cannot run cc: %s\n", error.what());
        return std::nullopt;
    }
    launched.input().reset();
    std::string said;
    char buffer[4096];
    bool passed_on = false;
    for (ssize_t n = 0; (n = ::read(launched.output().get(), buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) {
            if (forktrace::interrupted() != 0 && !passed_on) {
                static_cast<void>(::kill(-launched.pid(), forktrace::interrupted()));
                passed_on = true;
            }
            continue;
        }
        if (n < 0) {
            break;
        }
        said.append(buffer, static_cast<std::size_t>(n));
    }
    const int status = launched.status();
    if (forktrace::interrupted() != 0) {
        return std::nullopt;
    }
    if (!said.empty()) {
        static_cast<void>(std::fwrite(said.data(), 1, said.size(), stderr));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        forktrace::say("forklab: cc could not compile the program\n");
        return std::nullopt;
    }
    return program;
}

std::optional<Answers> answer(const std::filesystem::path &program)
{
    Answers answers;
    bool failed = false;
    answers.terminal = traced(program, forktrace::On::terminal, failed);
    if (failed) {
        return std::nullopt;
    }
    answers.pipe = traced(program, forktrace::On::pipe, failed);
    if (failed) {
        return std::nullopt;
    }
    return answers;
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
