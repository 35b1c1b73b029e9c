#include "runner.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
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

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// An owned file descriptor, closed once.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool open() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

void make_pipe(Fd &read_end, Fd &write_end)
{
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        fail("pipe2");
    }
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
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
        overrides["FAULT_PROGRAM"] = program;
        // A sanitized program is content only with its runtime first in line;
        // the fault library's few functions hand on to it, so it may come first.
        const char *asan = std::getenv("ASAN_OPTIONS");
        overrides["ASAN_OPTIONS"] =
            std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
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

std::vector<char *> pointers(std::vector<std::string> &texts)
{
    std::vector<char *> result(texts.size() + 1, nullptr);
    std::transform(texts.begin(), texts.end(), result.begin(),
                   [](std::string &text) { return text.data(); });
    return result;
}

// Where the program's standard streams go, seen from the test's side.
struct Ends {
    Fd child_in, child_out, child_err;  // given to the program
    Fd input, output, error;            // kept by the test; input may equal output
};

Ends terminal_ends()
{
    Ends ends;
    ends.output = Fd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!ends.output.open() || ::grantpt(ends.output.get()) != 0 ||
        ::unlockpt(ends.output.get()) != 0) {
        fail("posix_openpt");
    }
    const winsize size{24, 80, 0, 0};
    ::ioctl(ends.output.get(), TIOCSWINSZ, &size);
    ends.child_out = Fd(::open(::ptsname(ends.output.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!ends.child_out.open()) {
        fail("open pseudo-terminal");
    }
    ends.child_in = Fd(::fcntl(ends.child_out.get(), F_DUPFD_CLOEXEC, 0));
    ends.input = Fd(::fcntl(ends.output.get(), F_DUPFD_CLOEXEC, 0));
    make_pipe(ends.error, ends.child_err);
    return ends;
}

Ends pipe_ends()
{
    Ends ends;
    make_pipe(ends.child_in, ends.input);
    make_pipe(ends.output, ends.child_out);
    make_pipe(ends.error, ends.child_err);
    return ends;
}

// Starts the program in a session and process group of its own, with no
// controlling terminal, so that the group can be killed whole and no hangup
// reaches the processes that outlive the first one.
pid_t start(const std::string &program, const Options &options, Ends &ends)
{
    std::vector<std::string> argv_texts;
    const char *wrapper = std::getenv("FORKDEMOS_WRAPPER");
    if (wrapper != nullptr && program.starts_with(PROGRAM_DIR)) {
        std::istringstream words(wrapper);
        argv_texts.assign(std::istream_iterator<std::string>(words), {});
    }
    argv_texts.push_back(program);
    argv_texts.insert(argv_texts.end(), options.args.begin(), options.args.end());
    std::vector<std::string> env_texts = environment(program, options);
    std::vector<char *> argv = pointers(argv_texts);
    std::vector<char *> envp = pointers(env_texts);
    if (options.stdout_sink == Sink::full) {
        ends.child_out = Fd(::open("/dev/full", O_WRONLY | O_CLOEXEC));
    }

    const pid_t pid = ::fork();
    if (pid < 0) {
        fail("fork");
    }
    if (pid == 0) {
        ::setsid();
        ::dup2(ends.child_in.get(), STDIN_FILENO);
        ::dup2(ends.child_out.get(), STDOUT_FILENO);
        ::dup2(ends.child_err.get(), STDERR_FILENO);
        if (options.stdin_closed) {
            ::close(STDIN_FILENO);
        }
        if (options.stdout_sink == Sink::closed) {
            ::close(STDOUT_FILENO);
        }
        static_cast<void>(::signal(SIGPIPE, SIG_DFL));
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) {
            ::_exit(126);
        }
        ::execvpe(argv[0], argv.data(), envp.data());  // a wrapper is looked up on PATH
        ::_exit(127);
    }
    ends.child_in.reset();
    ends.child_out.reset();
    ends.child_err.reset();
    return pid;
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

Result run_with(bool terminal, const std::string &program, const Options &options)
{
    // A program that stops reading its input must not kill the test.
    static_cast<void>(::signal(SIGPIPE, SIG_IGN));
    Ends ends = terminal ? terminal_ends() : pipe_ends();
    ::fcntl(ends.input.get(), F_SETFL, O_NONBLOCK);

    Result result;
    result.pid = start(program, options, ends);
    // The C library declares pidfd_open for C only; the system call is the same.
    Fd process(static_cast<int>(::syscall(SYS_pidfd_open, result.pid, 0)));
    if (!process.open()) {
        fail("pidfd_open");
    }

    std::string raw;           // standard output as it came
    std::string pending;       // still to be written to standard input
    std::size_t step = 0;      // the next step of the script
    std::size_t searched = 0;  // where the next step's text is looked for
    bool input_ended = false;
    bool reaped = false;
    auto deadline = Clock::now() + options.timeout;

    while (ends.output.open() || ends.error.open() || !reaped) {
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
            pending += next.send;
            ++step;
        }
        if (step == options.script.size() && !input_ended) {
            input_ended = true;
            if (terminal) {
                pending += '\x04';  // the terminal's end-of-file character
            }
        }
        if (pending.empty() && input_ended && !terminal) {
            ends.input.reset();
        }

        std::vector<pollfd> fds;
        const auto watch = [&fds](const Fd &fd, short events) {
            fds.push_back({fd.open() ? fd.get() : -1, events, 0});
        };
        watch(ends.output, POLLIN);
        watch(ends.error, POLLIN);
        watch(process, POLLIN);
        watch(ends.input, pending.empty() ? short{0} : short{POLLOUT});

        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            if (result.timed_out) {
                break;  // even the killed group did not let go: give up on it
            }
            result.timed_out = true;
            ::kill(-result.pid, SIGKILL);
            deadline = Clock::now() + grace;
            continue;
        }
        if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) {
            fail("poll");
        }

        if (fds[0].revents != 0 && drain(ends.output, raw) && options.reader_leaves_after > 0 &&
            static_cast<std::size_t>(std::count(raw.begin(), raw.end(), '\n')) >=
                options.reader_leaves_after) {
            ends.output.reset();  // the reader goes away, as `head -n N` does
        }
        if (fds[1].revents != 0) {
            drain(ends.error, result.err);
        }
        if (fds[2].revents != 0 && !reaped) {
            ::waitpid(result.pid, &result.wait_status, 0);
            reaped = true;
            process.reset();
        }
        if (fds[3].revents != 0) {
            const ssize_t n = ::write(ends.input.get(), pending.data(), pending.size());
            if (n >= 0) {
                pending.erase(0, static_cast<std::size_t>(n));
            } else if (errno != EAGAIN && errno != EINTR) {
                pending.clear();  // nobody reads any more
                ends.input.reset();
            }
        }
    }
    if (!reaped) {
        ::waitpid(result.pid, &result.wait_status, WNOHANG);
    }

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

Step kill_when(const std::string &await, const std::string &pid_label)
{
    return {.await = await, .send = "", .then = [pid_label](const std::string &output) {
                const long pid = number_after(output, pid_label);
                if (pid <= 0) {
                    ADD_FAILURE() << "no process ID after \"" << pid_label << "\" in\n" << output;
                    return;
                }
                ::kill(static_cast<pid_t>(pid), SIGKILL);
            }};
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

std::string to_string(Output output) { return output == Output::terminal ? "terminal" : "pipe"; }

Result run(Output output, const std::string &program, const Options &options)
{
    return run_with(output == Output::terminal, program, options);
}

}  // namespace runner
