#include "runner.hpp"

#include "launch.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

namespace runner {
namespace {

using Clock = std::chrono::steady_clock;

// After the timeout has killed the process group, the time given to it to go.
constexpr auto grace = std::chrono::seconds(5);

using launch::Fd;

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// The environment of the program: the test's own with the overrides applied,
// and the fault library preloaded when a fault is asked for.
std::vector<std::string> environment(const std::string &program, const Options &options)
{
    std::map<std::string, std::optional<std::string>> overrides = options.env;
    for (const auto &[name, value] : options.faults) {
        overrides[name] = value;
    }
    if (!options.faults.empty()) {
        overrides["LD_PRELOAD"] = FAULTS_LIBRARY;
        overrides.try_emplace("FAULT_PROGRAM", program);
        // A sanitized program is content only with its runtime first in line;
        // the fault library's few functions hand on to it, so it may come first.
        const auto given = overrides.find("ASAN_OPTIONS");
        const char *asan = std::getenv("ASAN_OPTIONS");
        const std::string options_now = given != overrides.end() && given->second
                                            ? *given->second
                                            : std::string(asan != nullptr ? asan : "");
        overrides["ASAN_OPTIONS"] = options_now + ":verify_asan_link_order=0";
    }
    std::vector<std::string> env;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        if (!overrides.contains(text.substr(0, text.find('=')))) {
            env.push_back(text);
        }
    }
    for (const auto &[name, value] : overrides) {
        if (value) {
            env.push_back(name + "=" + *value);
        }
    }
    return env;
}

// The program as the launcher starts it: under the wrapper when one is set,
// in the folder asked for, with the streams the surroundings call for.
launch::Program program_for(bool terminal, const std::string &program, const Options &options)
{
    launch::Program started{.env = environment(program, options),
                            .mode = terminal ? launch::Mode::terminal : launch::Mode::pipe};
    const char *wrapper = std::getenv("FORKDEMOS_WRAPPER");
    // The tracers, forktrace and forklab, are not wrapped: a memory checker
    // that follows its children would stand between them and the processes
    // they trace.
    if (wrapper != nullptr && program.starts_with(PROGRAM_DIR) &&
        !program.ends_with("/forktrace") && !program.ends_with("/forklab")) {
        std::istringstream words(wrapper);
        started.argv.assign(std::istream_iterator<std::string>(words), {});
    }
    started.argv.push_back(program);
    started.argv.insert(started.argv.end(), options.args.begin(), options.args.end());
    started.before_exec = [&options] {
        if (options.stdin_closed) {
            ::close(STDIN_FILENO);
        }
        if (options.stdout_sink == Sink::closed) {
            ::close(STDOUT_FILENO);
        } else if (options.stdout_sink == Sink::full) {
            ::dup2(::open("/dev/full", O_WRONLY | O_CLOEXEC), STDOUT_FILENO);
        }
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) {
            ::_exit(126);
        }
        if (options.memory_limit != 0) {
            const rlimit limit{options.memory_limit, options.memory_limit};
            static_cast<void>(::setrlimit(RLIMIT_DATA, &limit));
        }
    };
    return started;
}

// Kills the process whose ID the output gives after the step's label, but
// only a process of the run's own session.
void kill_for(const Step &step, const std::string &output, pid_t session)
{
    const long pid = number_after(output, step.kill_after);
    if (pid <= 0 || ::getsid(static_cast<pid_t>(pid)) != session) {
        ADD_FAILURE() << "no process of this run's session has the ID after \"" << step.kill_after
                      << "\" in\n"
                      << output;
        return;
    }
    ::kill(static_cast<pid_t>(pid), step.signal);
}

// Reads what is there; false once every writer has closed its end.
bool drain(Fd &fd, std::string &into)
{
    char buffer[4096];
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return true;
    }
    fd.reset();  // 0 from a pipe, EIO from a terminal nobody holds any more
    return false;
}

// Feeds the script, collects the output and the status. Returns once the
// started process has ended and every holder has closed the output.
void pump(bool terminal, launch::Launched &launched, const Options &options, Result &result,
          std::string &raw, std::size_t &step)
{
    std::string pending;       // still to be written to standard input
    std::size_t searched = 0;  // where the next step's text is looked for
    bool input_ended = false;
    bool reaped = false;
    auto deadline = Clock::now() + options.timeout;

    while (launched.output().open() || launched.error().open() || !reaped) {
        while (step < options.script.size()) {
            const Step &next = options.script[step];
            const std::size_t at = raw.find(next.await, searched);
            if (at == std::string::npos) {
                break;
            }
            searched = at + next.await.size();
            if (next.then) {
                next.then(raw);
            }
            if (!next.kill_after.empty()) {
                kill_for(next, raw, launched.session());
            }
            pending += next.send;
            ++step;
        }
        if (step == options.script.size() && !input_ended) {
            input_ended = true;
            if (terminal) {
                pending += launch::end_of_file;
            }
        }
        if (pending.empty() && input_ended && !terminal) {
            launched.input().reset();
        }

        std::vector<pollfd> fds;
        const auto watch = [&fds](int fd, short events) { fds.push_back({fd, events, 0}); };
        watch(launched.output().get(), POLLIN);
        watch(launched.error().get(), POLLIN);
        watch(reaped ? -1 : launched.status_fd(), POLLIN);
        watch(launched.input().get(), pending.empty() ? short{0} : short{POLLOUT});

        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            if (result.timed_out) {
                return;  // even the killed group did not let go: give up on it
            }
            result.timed_out = true;
            launched.kill_all();
            deadline = Clock::now() + grace;
            continue;
        }
        if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) {
            fail("poll");
        }

        if (fds[0].revents != 0 && drain(launched.output(), raw) &&
            options.reader_leaves_after > 0 &&
            static_cast<std::size_t>(std::count(raw.begin(), raw.end(), '\n')) >=
                options.reader_leaves_after) {
            launched.output().reset();  // the reader goes away, as `head -n N` does
        }
        if (fds[1].revents != 0) {
            drain(launched.error(), result.err);
        }
        if (fds[2].revents != 0 && !reaped) {
            result.wait_status = launched.status();
            reaped = true;
        }
        if (fds[3].revents != 0) {
            const ssize_t n = ::write(launched.input().get(), pending.data(), pending.size());
            if (n >= 0) {
                pending.erase(0, static_cast<std::size_t>(n));
            } else if (errno != EAGAIN && errno != EINTR) {
                pending.clear();  // nobody reads any more
                launched.input().reset();
            }
        }
    }
}

Result run_with(bool terminal, const std::string &program, const Options &options)
{
    // A program that stops reading its input must not kill the test.
    static_cast<void>(::signal(SIGPIPE, SIG_IGN));
    launch::Launched launched = launch::start(program_for(terminal, program, options));
    ::fcntl(launched.input().get(), F_SETFL, O_NONBLOCK);

    Result result;
    result.pid = launched.pid();
    std::string raw;       // standard output as it came
    std::size_t step = 0;  // the next step of the script
    try {
        pump(terminal, launched, options, result, raw, step);
    } catch (...) {
        launched.kill_all();  // nothing of the run outlives a failed step
        throw;
    }
    // Whatever of the run's group is left has closed its output: it goes too.
    launched.kill_all();

    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (!(terminal && raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) {
            result.out += raw[i];
        }
    }
    static const std::regex report(R"(ERROR: \w+Sanitizer|runtime error:|==\d+== )");
    if (std::regex_search(result.err, report)) {
        ADD_FAILURE() << "a sanitizer or valgrind reported on standard error\n" << result;
    }
    if (result.timed_out) {
        ADD_FAILURE() << program << " did not end within " << options.timeout.count()
                      << " ms; its process group was killed.\n"
                      << "Waiting for: "
                      << (step < options.script.size() ? options.script[step].await
                                                       : std::string("the output to close"))
                      << "\n"
                      << result;
    }
    return result;
}

}  // namespace

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        result.push_back(line);
    }
    return result;
}

std::vector<std::string> Result::lines() const { return split_lines(out); }

Step kill_when(const std::string &await, const std::string &pid_label, int signal)
{
    return {.await = await, .kill_after = pid_label, .signal = signal};
}

ScratchFolder::ScratchFolder(const std::string &name)
    : path_(std::filesystem::temp_directory_path() /
            ("forkdemos-" + std::to_string(::getpid()) + "-" + name))
{
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

ScratchFolder::~ScratchFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool Result::exited() const { return WIFEXITED(wait_status); }

int Result::exit_code() const { return exited() ? WEXITSTATUS(wait_status) : -1; }

std::ostream &operator<<(std::ostream &os, const Result &run)
{
    os << "process " << run.pid;
    if (run.timed_out) {
        os << ", timed out";
    } else if (WIFSIGNALED(run.wait_status)) {
        os << ", killed by signal " << WTERMSIG(run.wait_status);
    } else {
        os << ", exit status " << run.exit_code();
    }
    return os << "\n--- standard output ---\n"
              << run.out << "--- standard error ---\n"
              << run.err << "--- end ---\n";
}

Result run_on_terminal(const std::string &program, const Options &options)
{
    return run_with(true, program, options);
}

Result run_on_pipe(const std::string &program, const Options &options)
{
    return run_with(false, program, options);
}

long number_after(const std::string &text, const std::string &label)
{
    const std::size_t at = text.find(label);
    return at == std::string::npos ? -1 : std::stol(text.substr(at + label.size()));
}

std::map<std::string, std::optional<std::string>> traced_environment()
{
    const char *asan = std::getenv("ASAN_OPTIONS");
    return {{"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":detect_leaks=0"}};
}

std::string to_string(Output output) { return output == Output::terminal ? "terminal" : "pipe"; }

Result run(Output output, const std::string &program, const Options &options)
{
    return run_with(output == Output::terminal, program, options);
}

namespace {

std::string utf8(unsigned code)
{
    std::string out;
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
    return out;
}

// The JSON string that starts at `at` (its opening quote), decoded; `at` ends
// past its closing quote.
std::string json_string(const std::string &line, std::size_t &at)
{
    std::string out;
    const auto hex4 = [&](std::size_t from) {
        return std::stoul(line.substr(from, 4), nullptr, 16);
    };
    for (++at; at < line.size() && line[at] != '"'; ++at) {
        if (line[at] != '\\') {
            out += line[at];
            continue;
        }
        const char escape = line[++at];
        const std::map<char, char> simple{{'n', '\n'}, {'t', '\t'}, {'r', '\r'},  {'b', '\b'},
                                          {'f', '\f'}, {'"', '"'},  {'\\', '\\'}, {'/', '/'}};
        if (escape != 'u') {
            out += simple.at(escape);
            continue;
        }
        unsigned code = static_cast<unsigned>(hex4(at + 1));
        at += 4;
        if (code >= 0xDC80 && code <= 0xDCFF) {
            out += static_cast<char>(code - 0xDC00);  // a byte that is not UTF-8
        } else if (code >= 0xD800 && code < 0xDC00) {
            code =
                0x10000 + ((code - 0xD800) << 10) + (static_cast<unsigned>(hex4(at + 3)) - 0xDC00);
            at += 6;
            out += utf8(code);
        } else {
            out += utf8(code);
        }
    }
    ++at;
    return out;
}

}  // namespace

std::map<std::string, std::string> flat_json(const std::string &line)
{
    std::map<std::string, std::string> event;
    std::size_t at = line.find('"');
    while (at != std::string::npos && at < line.size()) {
        const std::string key = json_string(line, at);
        at = line.find_first_not_of(": ", at);
        if (line[at] == '"') {
            event[key] = json_string(line, at);
        } else {
            const std::size_t end =
                line[at] == '[' ? line.find(']', at) + 1 : line.find_first_of(",}", at);
            event[key] = line.substr(at, end - at);
            at = end;
        }
        at = line.find('"', at);
    }
    return event;
}

}  // namespace runner
