#include "run.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "launch.hpp"
#include "seccomp.hpp"

extern char **environ;

namespace forktrace {
namespace {

volatile std::sig_atomic_t interrupted_by = 0;

// How many scopes hold the signals for the program to act on; and what to
// do before a signal that nothing holds ends the program.
std::atomic<int> holding{0};
std::atomic<void (*)()> before_signal_ends{nullptr};

// The command's group, for a signal to forktrace to reach when nothing traces it.
std::atomic<pid_t> untraced_group{0};

void on_signal(int signal)
{
    if (holding == 0) {
        // Nothing to stop but the program itself: it ends as it would untouched.
        if (void (*const cleanup)() = before_signal_ends; cleanup != nullptr) {
            cleanup();
        }
        static_cast<void>(std::signal(signal, SIG_DFL));
        static_cast<void>(::raise(signal));
        return;
    }
    interrupted_by = signal;
    Tracer::interrupt(signal);
    if (const pid_t group = untraced_group; group > 0) {
        ::kill(-group, signal);
    }
}

// Writes all of `bytes` to `fd`; false once nobody reads.
bool write_all(int fd, const char *bytes, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Which of forktrace's standard streams were closed when it started: each
// is held open on /dev/null meanwhile, so that no file forktrace opens (its
// report) takes its number, and is closed again for the command.
std::array<bool, 3> closed_at_start{};

// What the relay does, and what came of it.
struct Relaying {
    std::optional<std::string> input;  // the text given; else forktrace's own input
    bool terminal = false;
    int show_on = STDOUT_FILENO;   // where the output goes; -1: nowhere
    std::string *typed = nullptr;  // what it was given of forktrace's input, kept
    int stop = -1;                 // readable once the relay is to stop
    // Bytes of input the command has asked for, and a descriptor readable when
    // that grows: forktrace's own input is read as the command reads, no more.
    std::atomic<std::size_t> *demand = nullptr;
    int wake = -1;
    int write_error = 0;          // of the output, where it goes: its errno
    std::size_t relayed = 0;      // bytes of the output (on a terminal, without its \r)
    std::string *kept = nullptr;  // the output's bytes, kept
};

// The terminal's line ends, "\r\n", turned back into the program's "\n" for
// a place to show them that is no terminal, across the reads that split
// them.
class LineEnds {
public:
    explicit LineEnds(bool turn) : turn_(turn) {}

    std::string_view take(const char *bytes, std::size_t size)
    {
        if (!turn_) {
            return {bytes, size};
        }
        out_.clear();
        for (std::size_t i = 0; i < size; ++i) {
            if (held_ && bytes[i] != '\n') {
                out_ += '\r';
            }
            held_ = bytes[i] == '\r';
            if (!held_) {
                out_ += bytes[i];
            }
        }
        return out_;
    }
    // A '\r' held back at the end, waiting for its '\n'.
    std::string_view rest() const { return held_ ? "\r" : ""; }

private:
    bool turn_;
    bool held_ = false;
    std::string out_;
};

// The output's bytes read, shown where they go: false once that place is
// gone (EPIPE), and the command's reader with it.
bool show_output(launch::Launched &launched, Relaying &how, LineEnds &ends, bool &output_open,
                 const char *buffer, std::size_t size)
{
    if (how.kept != nullptr) {
        how.kept->append(buffer, size);
    }
    how.relayed += how.terminal
                       ? size - static_cast<std::size_t>(std::count(buffer, buffer + size, '\r'))
                       : size;
    const std::string_view shown = ends.take(buffer, size);
    if (closed_at_start[STDOUT_FILENO] && how.show_on == STDOUT_FILENO) {
        how.write_error = EBADF;  // as the command would find it untraced
        output_open = false;
    } else if (output_open && !write_all(how.show_on, shown.data(), shown.size())) {
        how.write_error = errno;
        output_open = false;
        if (how.write_error == EPIPE) {
            // The command's reader is gone too: on a terminal, the input is
            // the same terminal, and its last descriptor hangs it up.
            launched.output().reset();
            if (how.terminal) {
                launched.input().reset();
            }
            return false;
        }
    }
    return true;
}

// The command's input: the text given, or forktrace's own standard input as
// the command asks for it, and the end of it once there is no more.
class InputRelay {
public:
    InputRelay(launch::Launched &launched, Relaying &how)
        : launched_(launched),
          how_(how),
          pending_(how.input.value_or("")),
          reading_(!how.input.has_value())
    {
        if (!reading_ && pending_.empty()) {
            end();
        }
        ::fcntl(launched.input().get(), F_SETFL, O_NONBLOCK);
    }

    // How much of forktrace's input to read now. On a terminal a read gets
    // nothing until its line is whole: the rest of a line begun is read for
    // it, a byte at a time, whatever it asked for.
    std::size_t wanted() const
    {
        if (!reading_ || !pending_.empty()) {
            return 0;
        }
        const std::size_t asked = how_.demand != nullptr ? how_.demand->load() : 65536;
        return asked == 0 && how_.terminal && line_begun_ ? 1 : asked;
    }
    bool to_give() const { return !pending_.empty(); }

    // Reads up to `wanted` bytes of forktrace's input.
    void read(std::size_t wanted)
    {
        char buffer[65536];
        const ssize_t n = ::read(STDIN_FILENO, buffer, std::min(wanted, sizeof buffer));
        if (n > 0) {
            const auto size = static_cast<std::size_t>(n);
            if (how_.demand != nullptr) {
                how_.demand->fetch_sub(std::min(size, how_.demand->load()));
            }
            pending_.append(buffer, size);
            line_begun_ = buffer[size - 1] != '\n';
            if (how_.typed != nullptr) {
                how_.typed->append(buffer, size);
            }
        } else if (n == 0 || errno != EINTR) {
            reading_ = false;
        }
        end_when_done();
    }

    // Gives the command what it can take of the bytes read.
    void give()
    {
        const ssize_t n = ::write(launched_.input().get(), pending_.data(), pending_.size());
        if (n > 0) {
            last_sent_ = pending_[static_cast<std::size_t>(n) - 1];
            pending_.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            pending_.clear();
            reading_ = false;
            ended_ = true;
        }
        end_when_done();
    }

private:
    void end_when_done()
    {
        if (!reading_ && pending_.empty() && !ended_) {
            end();
        }
    }

    void end()
    {
        ended_ = true;
        if (how_.terminal) {
            // A line in progress needs one end-of-file to go, and one more to end.
            const char last = pending_.empty() ? last_sent_ : pending_.back();
            pending_ += std::string(last == '\n' ? 1 : 2, launch::end_of_file);
        } else {
            launched_.input().reset();
        }
    }

    launch::Launched &launched_;
    Relaying &how_;
    std::string pending_;  // read, not yet given
    bool reading_;         // forktrace's own input, while it lasts
    bool line_begun_ = false;
    bool ended_ = false;
    char last_sent_ = '\n';  // the last byte given to the command
};

// Relays the command's output, and its input, to the command, until every
// holder of the output has closed it. Should forktrace's own reader go
// away, the command's reader goes away too, and it sees that as it would
// untraced.
void relay(launch::Launched &launched, Relaying &how)
{
    // The tracer's thread takes forktrace's signals, so that its wait returns.
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGALRM}) {
        sigaddset(&signals, signal);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    InputRelay input(launched, how);
    bool output_open = how.show_on >= 0;  // the place to show the bytes takes them
    LineEnds ends(how.terminal && how.show_on >= 0 && ::isatty(how.show_on) == 0);
    char buffer[65536];
    while (launched.output().open()) {
        const std::size_t wanted = input.wanted();
        pollfd fds[5] = {{launched.output().get(), POLLIN, 0},
                         {wanted > 0 ? STDIN_FILENO : -1, POLLIN, 0},
                         {input.to_give() ? launched.input().get() : -1, POLLOUT, 0},
                         {how.stop, POLLIN, 0},
                         {how.wake, POLLIN, 0}};
        if (::poll(fds, 5, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[3].revents != 0) {
            break;  // the trace is over, whoever still holds the output
        }
        if (fds[4].revents != 0) {
            static_cast<void>(::read(how.wake, buffer, sizeof buffer));  // more input wanted
        }
        if (fds[0].revents != 0) {
            const ssize_t n = ::read(launched.output().get(), buffer, sizeof buffer);
            if (n > 0) {
                if (!show_output(launched, how, ends, output_open, buffer,
                                 static_cast<std::size_t>(n))) {
                    break;
                }
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                launched.output().reset();  // 0 from a pipe, EIO from a terminal
            }
        }
        if (fds[1].revents != 0) {
            input.read(wanted);
        }
        if (fds[2].revents != 0) {
            input.give();
        }
    }
    if (const std::string_view rest = ends.rest(); output_open && !rest.empty()) {
        static_cast<void>(write_all(how.show_on, rest.data(), rest.size()));
    }
}

// Why the kernel would not let forktrace trace, and what to do about it, in a
// line or two.
std::string why_refused()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("TracerPid:")) {
            const long tracer = std::strtol(line.c_str() + 10, nullptr, 10);
            if (tracer != 0) {
                std::ifstream name("/proc/" + std::to_string(tracer) + "/comm");
                std::string comm;
                std::getline(name, comm);
                return "forktrace is itself being traced, by process " + std::to_string(tracer) +
                       (comm.empty() ? "" : " (" + printable(comm) + ")") +
                       ", and a process has one tracer only: run forktrace untraced.";
            }
        }
    }
    std::ifstream yama("/proc/sys/kernel/yama/ptrace_scope");
    int scope = -1;
    if (yama >> scope && scope >= 2) {
        return "The kernel's Yama setting kernel.yama.ptrace_scope is " + std::to_string(scope) +
               (scope == 2 ? ": only root may trace. Run forktrace as root, or set it to 1 "
                             "(sysctl kernel.yama.ptrace_scope=1), which lets a program trace "
                             "the commands it starts."
                           : ", which forbids tracing until the next reboot.");
    }
    return "ptrace is not permitted here" +
           (scope >= 0
                ? " (kernel.yama.ptrace_scope is " + std::to_string(scope) + ", which allows it)"
                : std::string()) +
           ": in a container, start it with ptrace allowed (for Docker: --cap-add=SYS_PTRACE "
           "--security-opt seccomp=unconfined).";
}

// The size of forktrace's own terminal, for a fresh terminal to have.
std::optional<winsize> own_terminal_size()
{
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO, STDIN_FILENO}) {
        winsize size{};
        if (isatty(fd) != 0 && ::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_row > 0) {
            return size;
        }
    }
    return std::nullopt;
}

}  // namespace

// One line on standard error: what went wrong.
// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, so the compiler checks each format
void say(const char *format, ...)
{
    va_list values;
    va_start(values, format);
    static_cast<void>(std::vfprintf(stderr, format, values));
    va_end(values);
}

std::optional<std::string> read_file(const std::string &name, std::string &why)
{
    // Not blocking: a FIFO without a writer would hold the open for good.
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        why = std::strerror(errno);
        return std::nullopt;
    }
    struct stat status {};
    std::optional<std::string> text;
    if (::fstat(fd, &status) != 0) {
        why = std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        why = S_ISDIR(status.st_mode) ? std::strerror(EISDIR) : "not a regular file";
    } else if (static_cast<std::size_t>(status.st_size) > most_read) {
        why = "larger than " + std::to_string(most_read >> 20U) + " MiB, the most that is read";
    } else {
        text.emplace();
        char buffer[65536];
        for (ssize_t n = 0; text && (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                why = std::strerror(errno);
                text.reset();
            } else if (text->size() + static_cast<std::size_t>(n) > most_read) {
                why = "larger than " + std::to_string(most_read >> 20U) +
                      " MiB, the most that is read";
                text.reset();
            } else {
                text->append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    ::close(fd);
    return text;
}

void prepare_to_run()
{
    struct sigaction action {};
    action.sa_handler = on_signal;  // no SA_RESTART: the tracer's wait returns
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            closed_at_start[static_cast<std::size_t>(fd)] = true;
            ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);  // takes the lowest: fd
        }
    }
}

int interrupted() { return interrupted_by; }

void stop_run()
{
    Tracer::end_run();
    if (const pid_t group = untraced_group; group > 0) {
        ::kill(-group, SIGKILL);
    }
}

SignalsHeld::SignalsHeld() { ++holding; }

SignalsHeld::~SignalsHeld() { --holding; }

void before_a_signal_ends(void (*cleanup)()) { before_signal_ends = cleanup; }

std::vector<std::string> candidates(const std::string &name)
{
    if (name.find('/') != std::string::npos) {
        return {name};
    }
    std::vector<std::string> files;
    const char *path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = dirs.substr(start, end - start);
        files.push_back((dir.empty() ? "." : dir) + "/" + name);
        start = end + 1;
    }
    return files;
}

std::variant<std::string, int> resolve(const std::string &name)
{
    bool found = false;
    for (const std::string &candidate : candidates(name)) {
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && (S_ISREG(info.st_mode) || candidate == name)) {
            found = true;
            if (S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
    }
    if (!found) {
        say("forktrace: %s: command not found\n", printable(name).c_str());
        return status_not_found;
    }
    say("forktrace: cannot run %s: Permission denied\n", printable(name).c_str());
    return status_cannot_run;
}

namespace {

int exit_status(int status)
{
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// The command as it is to start: on a terminal or pipe of its own, or on
// forktrace's; traced, before its exec it waits for a byte on `wait_for`
// (-1: untraced), then takes on `filter`.
launch::Program program_for(const Options &options, const std::string &file, int wait_for,
                            const std::vector<sock_filter> &filter)
{
    launch::Program program{
        .argv = options.command,
        .file = file,
        .env = {},
        .mode = options.on == On::terminal ? launch::Mode::terminal
                : options.on == On::pipe   ? launch::Mode::pipe
                                           : launch::Mode::inherit,
        .errors_apart = false,
        .errors_inherited = options.on == On::pipe,
        .echo = false,
        .before_exec =
            [wait_for, &filter, inherit = options.on == On::inherit,
             most_file = static_cast<rlim_t>(options.most_file), directory = options.directory,
             errors = options.on == On::pipe ? options.errors : -1] {
                if (!directory.empty() && ::chdir(directory.c_str()) != 0) {
                    ::_exit(status_failed);
                }
                if (errors >= 0) {
                    ::dup2(errors, STDERR_FILENO);
                }
                if (most_file != 0) {
                    const rlimit largest{most_file, most_file};
                    static_cast<void>(::setrlimit(RLIMIT_FSIZE, &largest));
                }
                for (int fd = 0; fd < 3 && inherit; ++fd) {
                    if (closed_at_start[static_cast<std::size_t>(fd)]) {
                        ::close(fd);  // closed for forktrace, closed for the command
                    }
                }
                if (wait_for < 0) {
                    return;  // untraced
                }
                char byte = 0;
                ssize_t n = -1;
                do {
                    n = ::read(wait_for, &byte, 1);
                } while (n < 0 && errno == EINTR);
                if (n != 1) {
                    ::_exit(status_failed);  // forktrace could not trace it
                }
                if (!install(filter)) {
                    static const char message[] =
                        "forktrace: the kernel refused the seccomp filter\n";
                    static_cast<void>(::write(STDERR_FILENO, message, sizeof message - 1));
                    ::_exit(status_failed);
                }
            },
    };
    if (options.on == On::terminal) {
        if (const auto size = own_terminal_size()) {
            program.rows = size->ws_row;
            program.columns = size->ws_col;
        }
    }
    for (char **entry = environ; *entry != nullptr; ++entry) {
        program.env.emplace_back(*entry);
    }
    return program;
}

// The tracer and the command hand over to each other at every stop: on one
// CPU that costs a switch, across two a wake-up of another CPU, which is
// several times dearer. The command inherits the CPU chosen here.
void keep_to_one_cpu()
{
    cpu_set_t one;
    CPU_ZERO(&one);
    const int cpu = ::sched_getcpu();
    CPU_SET(cpu < 0 ? 0U : static_cast<unsigned>(cpu), &one);
    static_cast<void>(::sched_setaffinity(0, sizeof one, &one));
}

// What the tracer is given of the run: the command, the faults to make,
// where its output and error lead, and the plan it is steered by.
Setup setup_for(const Options &options, launch::Launched &launched, const Run &plan,
                const Stops &stops)
{
    Setup setup;
    setup.argv = options.command;
    setup.on = options.on;
    setup.fail = options.fail;
    setup.output = options.on == On::inherit ? file_of(STDOUT_FILENO)
                   : options.on == On::pipe  ? file_of(launched.output().get())
                                             : file_at(::ptsname(launched.output().get()));
    setup.error = options.on == On::terminal                      ? setup.output
                  : options.on == On::pipe && options.errors >= 0 ? file_of(options.errors)
                                                                  : file_of(STDERR_FILENO);
    // forktrace's own streams, where the command was given others: not the
    // command's to read or write. But a device such as /dev/null, which any
    // process may use.
    for (int fd = 0; fd < 3 && options.on != On::inherit; ++fd) {
        struct stat own {};
        const auto file = file_of(fd);
        if (file && file != setup.output && file != setup.error && ::fstat(fd, &own) == 0 &&
            (!S_ISCHR(own.st_mode) || ::isatty(fd) != 0)) {
            setup.own_files.push_back(*file);
        }
    }
    setup.confined = options.confined;
    setup.plan = plan.steer_to;
    setup.reaps = plan.reaps;
    setup.stops = stops;
    if (!plan.quiet) {
        setup.say = [](const std::string &notice) { say("forktrace: %s\n", notice.c_str()); };
    }
    return setup;
}

// What a traced run's end leaves to say and hands back to `plan`, and its
// exit status from the command's `status` (-1: the trace failed).
int traced_end(const Options &options, const Run &plan, const Relaying &relaying_how,
               std::size_t traced_bytes, const Tracer &tracer, int status)
{
    if (plan.off_plan != nullptr) {
        *plan.off_plan = tracer.off_plan();
    }
    if (plan.steer_gave_up != nullptr) {
        *plan.steer_gave_up = tracer.steer_gave_up();
    }
    if (relaying_how.write_error != 0 && relaying_how.write_error != EPIPE) {
        // As the command would say it of its own output, untraced.
        say("forktrace: write error: %s\n", std::strerror(relaying_how.write_error));
        if (status == 0) {
            status = 1 << 8;  // exit code 1
        }
    } else if (options.on != On::inherit && interrupted_by == 0 && status >= 0 && !plan.quiet &&
               relaying_how.relayed > traced_bytes) {
        const std::string notice =
            "the output received " + std::to_string(relaying_how.relayed - traced_bytes) +
            " bytes that no write forktrace saw made: they came some way it does not follow";
        say("forktrace: %s\n", notice.c_str());
        if (plan.emit) {
            plan.emit(tracer.told(notice));
        }
    }
    if (tracer.start_error() != 0) {
        say("forktrace: cannot run %s: %s\n", printable(options.command.front()).c_str(),
            std::strerror(tracer.start_error()));
    }
    if (interrupted_by != 0) {
        return 128 + interrupted_by;
    }
    if (status < 0) {
        return status_failed;
    }
    return exit_status(status);
}

// The command run untraced: its output relayed, its status waited for.
int untraced_end(const Options &options, launch::Launched &launched,
                 const std::function<std::thread()> &relay_output)
{
    untraced_group = options.on == On::inherit ? 0 : launched.pid();
    std::thread relaying = relay_output();
    if (relaying.joinable()) {
        relaying.join();
    }
    int status = 0;
    try {
        status = launched.status();
    } catch (const std::system_error &error) {
        say("forktrace: %s\n", error.what());
        return status_failed;
    }
    untraced_group = 0;
    if (interrupted_by != 0) {
        return 128 + interrupted_by;
    }
    return exit_status(status);
}

// The events handed on as `plan` says, the output's bytes among them
// counted (on a terminal, without its \r) into `traced_bytes`; and the
// input the command reads known, where forktrace gives it on demand.
void count_and_ask(Setup &setup, const Options &options, launch::Launched &launched,
                   const Run &plan, std::size_t &traced_bytes)
{
    const bool terminal = options.on == On::terminal;
    setup.emit = [&traced_bytes, terminal, emit = plan.emit](const Event &event) {
        if (event.kind == Event::Kind::write && event.stream == Stream::output) {
            traced_bytes +=
                terminal ? event.data.size() - static_cast<std::size_t>(std::count(
                                                   event.data.begin(), event.data.end(), '\r'))
                         : event.data.size();
        }
        emit(event);
    };
    if (options.on != On::inherit && !options.input) {
        setup.input = options.on == On::pipe ? file_of(launched.input().get())
                                             : file_at(::ptsname(launched.output().get()));
    }
}

// The command seized by `tracer`, and let go on to its exec: false after
// saying why it could not be.
bool traced_start(Tracer &tracer, const launch::Launched &launched, const Run &plan, launch::Fd &go)
{
    try {
        tracer.seize(launched.pid());
    } catch (const std::system_error &error) {
        say("forktrace: cannot trace the command: %s\n  %s\n", error.what(), why_refused().c_str());
        launched.kill_all();
        return false;
    }
    if (plan.ready && !plan.ready()) {
        launched.kill_all();
        return false;
    }
    const char byte = 1;
    if (!write_all(go.get(), &byte, 1)) {
        say("forktrace: cannot start the command\n");
        return false;
    }
    go.reset();
    return true;
}

// The trace, to its end, and the relay's: the tracer's status (-1 when it
// failed). Interrupted, the trace ends at once, though a process out of
// reach (an orphan no longer traced) may still hold the output: the relay
// is stopped through `stop`.
int traced_run(Tracer &tracer, launch::Launched &launched, std::thread relaying, int stop)
{
    int status = 0;
    try {
        status = tracer.run();
    } catch (const std::system_error &error) {
        say("forktrace: %s\n", error.what());
        launched.kill_all();
        tracer.abandon();
        status = -1;
    }
    if (relaying.joinable()) {
        if (interrupted_by != 0) {
            const char byte = 1;
            static_cast<void>(write_all(stop, &byte, 1));
        }
        relaying.join();
    }
    return status;
}

}  // namespace

// Runs the command in `file` under the tracer, or untraced when asked, as
// `plan` says. Returns the exit status.
int run_command(const Options &options, const std::string &file, const Run &plan)
{
    const SignalsHeld held;
    const bool traced = !options.untraced;
    // The command waits, before its exec, until it is traced; then it takes
    // on the filter that stops it at the calls the tracer follows.
    int go[2] = {-1, -1};
    if (traced && ::pipe2(go, O_CLOEXEC) != 0) {
        say("forktrace: pipe: %s\n", std::strerror(errno));
        return status_failed;
    }
    launch::Fd go_read(go[0]), go_write(go[1]);
    // Forktrace's own input is read for the command as it reads, when it
    // feeds a fresh terminal or pipe with it.
    const bool on_demand = options.on != On::inherit && !options.input;
    const Stops stops{.fork_entries = options.fail.fork > 0, .input = traced && on_demand};
    const std::vector<sock_filter> filter = filter_for(traced_calls(stops));

    launch::Program program = program_for(options, file, go_read.get(), filter);

    if (traced && !options.all_cpus) {
        keep_to_one_cpu();
    }

    launch::Launched launched;
    try {
        launched = launch::start(program);
    } catch (const std::system_error &error) {
        say("forktrace: cannot start the command: %s\n", error.what());
        return status_failed;
    }
    // Written to when the relay is to stop before the output's end, and when
    // the command asks for more input.
    int stop[2] = {-1, -1}, wake[2] = {-1, -1};
    if (::pipe2(stop, O_CLOEXEC) != 0 || ::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        say("forktrace: pipe: %s\n", std::strerror(errno));
        return status_failed;
    }
    launch::Fd stop_read(stop[0]), stop_write(stop[1]), wake_read(wake[0]), wake_write(wake[1]);
    std::atomic<std::size_t> demand{0};
    Relaying relaying_how{.input = options.input,
                          .terminal = options.on == On::terminal,
                          .show_on = plan.show_on,
                          .typed = plan.typed,
                          .stop = stop_read.get(),
                          .demand = traced && on_demand ? &demand : nullptr,
                          .wake = wake_read.get(),
                          .kept = plan.received};
    const auto relay_output = [&] {
        return options.on == On::inherit
                   ? std::thread()
                   : std::thread(relay, std::ref(launched), std::ref(relaying_how));
    };

    if (!traced) {
        return untraced_end(options, launched, relay_output);
    }

    launched.collected_elsewhere();
    go_read.reset();

    std::size_t traced_bytes = 0;  // of the output, as its writes were seen
    Setup setup = setup_for(options, launched, plan, stops);
    count_and_ask(setup, options, launched, plan, traced_bytes);
    if (on_demand) {
        setup.wants_input = [&demand, fd = wake_write.get()](std::size_t bytes) {
            demand += bytes;
            const char more = 1;
            static_cast<void>(::write(fd, &more, 1));
        };
    }

    Tracer tracer(std::move(setup));
    if (!traced_start(tracer, launched, plan, go_write)) {
        return status_failed;
    }
    const int status = traced_run(tracer, launched, relay_output(), stop_write.get());
    return traced_end(options, plan, relaying_how, traced_bytes, tracer, status);
}
}  // namespace forktrace
