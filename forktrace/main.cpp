// forktrace: run a command and show every process it makes, and which
// process wrote each line of its output.
#include <cerrno>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>
#include <thread>
#include <variant>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "events.hpp"
#include "launch.hpp"
#include "options.hpp"
#include "seccomp.hpp"
#include "tracer.hpp"

extern char **environ;

namespace {

using namespace forktrace;

constexpr int status_failed = 125, status_cannot_run = 126, status_not_found = 127;

volatile std::sig_atomic_t interrupted_by = 0;

// One line on standard error: what went wrong.
// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, so the compiler checks each format
__attribute__((format(printf, 1, 2))) void say(const char *format, ...)
{
    va_list values;
    va_start(values, format);
    static_cast<void>(std::vfprintf(stderr, format, values));
    va_end(values);
}

void on_signal(int signal)
{
    interrupted_by = signal;
    Tracer::interrupt(signal);
}

// The file that running `name` executes, as a shell finds it; or the status
// to end with, after saying why.
std::variant<std::string, int> resolve(const std::string &name)
{
    std::vector<std::string> candidates;
    if (name.find('/') != std::string::npos) {
        candidates.push_back(name);
    } else {
        const char *path = std::getenv("PATH");
        std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
        for (std::size_t start = 0; start <= dirs.size();) {
            const std::size_t end = std::min(dirs.find(':', start), dirs.size());
            const std::string dir = dirs.substr(start, end - start);
            candidates.push_back((dir.empty() ? "." : dir) + "/" + name);
            start = end + 1;
        }
    }
    bool found = false;
    for (const std::string &candidate : candidates) {
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && (S_ISREG(info.st_mode) || candidate == name)) {
            found = true;
            if (S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
    }
    if (!found) {
        say("forktrace: %s: command not found\n", name.c_str());
        return status_not_found;
    }
    say("forktrace: cannot run %s: Permission denied\n", name.c_str());
    return status_cannot_run;
}

std::unique_ptr<Report> report_for(const Options &options, std::FILE *out)
{
    const ReportOptions report{.ascii = options.ascii};
    switch (options.format) {
        case Format::json:
            return json_report(out);
        case Format::tree:
            return tree_report(out, report);
        case Format::svg:
            return svg_report(out, report);
        case Format::html:
            return html_report(out, report);
        case Format::dot:
            return dot_report(out, report);
        case Format::mermaid:
            return mermaid_report(out, report);
        case Format::perfetto:
            return perfetto_report(out, report);
        case Format::text:
            break;
    }
    return text_report(out, report);
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

// Relays the command's output to forktrace's standard output, and the input
// (the text given, or forktrace's own standard input) to the command, until
// every holder of the output has closed it.
void relay(launch::Launched &launched, const std::optional<std::string> &input, bool terminal,
           bool show)
{
    std::string pending = input.value_or("");
    bool reading_stdin = !input.has_value();
    bool output_open = show;  // forktrace's own standard output takes the bytes
    const auto end_input = [&] {
        if (terminal) {
            // A line in progress needs one end-of-file to go, and one more to end.
            pending +=
                std::string(pending.empty() || pending.back() == '\n' ? 1 : 2, launch::end_of_file);
        } else {
            launched.input().reset();
        }
    };
    bool ended = false;
    if (!reading_stdin && pending.empty()) {
        end_input();
        ended = true;
    }
    ::fcntl(launched.input().get(), F_SETFL, O_NONBLOCK);
    char buffer[65536];
    while (launched.output().open()) {
        pollfd fds[3] = {{launched.output().get(), POLLIN, 0},
                         {reading_stdin ? STDIN_FILENO : -1, POLLIN, 0},
                         {pending.empty() ? -1 : launched.input().get(), POLLOUT, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[0].revents != 0) {
            const ssize_t n = ::read(launched.output().get(), buffer, sizeof buffer);
            if (n > 0) {
                output_open =
                    output_open && write_all(STDOUT_FILENO, buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                launched.output().reset();  // 0 from a pipe, EIO from a terminal
            }
        }
        if (fds[1].revents != 0) {
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n > 0) {
                pending.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                reading_stdin = false;
            }
        }
        if (fds[2].revents != 0) {
            const ssize_t n = ::write(launched.input().get(), pending.data(), pending.size());
            if (n > 0) {
                pending.erase(0, static_cast<std::size_t>(n));
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                pending.clear();
                reading_stdin = false;
                ended = true;
            }
        }
        if (!reading_stdin && pending.empty() && !ended) {
            ended = true;
            end_input();
        }
    }
}

// Runs the command in `file` under the tracer, each event to `emit`, its
// output relayed to forktrace's own when `show`. Returns the exit status.
int run_traced(const Options &options, const std::string &file,
               const std::function<void(const Event &)> &emit, bool show)
{
    // The command waits, before its exec, until it is traced; then it takes
    // on the filter that stops it at the calls the tracer follows.
    int go[2] = {-1, -1};
    if (::pipe2(go, O_CLOEXEC) != 0) {
        say("forktrace: pipe: %s\n", std::strerror(errno));
        return status_failed;
    }
    launch::Fd go_read(go[0]), go_write(go[1]);
    const std::vector<sock_filter> filter = filter_for(traced_calls(options.fail.fork > 0));
    const int wait_for = go_read.get();

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
            [wait_for, &filter] {
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
    if (isatty(STDOUT_FILENO) != 0 && options.on == On::terminal) {
        winsize size{};
        if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0) {
            program.rows = size.ws_row;
            program.columns = size.ws_col;
        }
    }
    for (char **entry = environ; *entry != nullptr; ++entry) {
        program.env.emplace_back(*entry);
    }

    // The tracer and the command hand over to each other at every stop: on
    // one CPU that costs a switch, across two a wake-up of another CPU, which
    // is several times dearer. The command inherits the CPU chosen here.
    if (!options.all_cpus) {
        cpu_set_t one;
        CPU_ZERO(&one);
        const int cpu = ::sched_getcpu();
        CPU_SET(cpu < 0 ? 0U : static_cast<unsigned>(cpu), &one);
        static_cast<void>(::sched_setaffinity(0, sizeof one, &one));
    }

    launch::Launched launched;
    try {
        launched = launch::start(program);
    } catch (const std::system_error &error) {
        say("forktrace: cannot start the command: %s\n", error.what());
        return status_failed;
    }
    launched.collected_elsewhere();
    go_read.reset();

    Setup setup;
    setup.argv = options.command;
    setup.on = options.on;
    setup.fail = options.fail;
    setup.output = options.on == On::inherit ? file_of(STDOUT_FILENO)
                   : options.on == On::pipe  ? file_of(launched.output().get())
                                             : file_at(::ptsname(launched.output().get()));
    setup.error = file_of(STDERR_FILENO);
    setup.emit = emit;
    setup.say = [](const std::string &notice) { say("forktrace: %s\n", notice.c_str()); };

    Tracer tracer(std::move(setup));
    try {
        tracer.seize(launched.pid());
    } catch (const std::system_error &error) {
        say("forktrace: cannot trace the command: %s (forktrace may itself be traced, "
            "or a seccomp filter or the kernel's Yama setting forbids ptrace)\n",
            error.what());
        launched.kill_all();
        return status_failed;
    }
    const char byte = 1;
    if (!write_all(go_write.get(), &byte, 1)) {
        say("forktrace: cannot start the command\n");
        return status_failed;
    }
    go_write.reset();

    std::thread relaying;
    if (options.on != On::inherit) {
        relaying =
            std::thread(relay, std::ref(launched), options.input, options.on == On::terminal, show);
    }
    int status = 0;
    try {
        status = tracer.run();
    } catch (const std::system_error &error) {
        say("forktrace: %s\n", error.what());
        launched.kill_all();
        status = -1;
    }
    if (relaying.joinable()) {
        relaying.join();
    }
    if (tracer.start_error() != 0) {
        say("forktrace: cannot run %s: %s\n", options.command.front().c_str(),
            std::strerror(tracer.start_error()));
    }
    if (interrupted_by != 0) {
        return 128 + interrupted_by;
    }
    if (status < 0) {
        return status_failed;
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// Where the report goes: standard error, or the file asked for.
std::FILE *report_file(const Options &options, std::FILE *otherwise)
{
    if (options.output.empty()) {
        return otherwise;
    }
    std::FILE *out = std::fopen(options.output.c_str(), "w");
    if (out == nullptr) {
        say("forktrace: %s: %s\n", options.output.c_str(), std::strerror(errno));
    }
    return out;
}

bool close_report(const Options &options, std::FILE *out)
{
    if (std::ferror(out) != 0 || (out != stderr && out != stdout && std::fclose(out) != 0)) {
        say("forktrace: %s: %s\n", options.output.empty() ? "the report" : options.output.c_str(),
            std::strerror(errno));
        return false;
    }
    return true;
}

// Traces the command in `file`, with the report of the format asked for.
int trace(const Options &options, const std::string &file, std::FILE *out)
{
    const std::unique_ptr<Report> report = report_for(options, out);
    const int status = run_traced(
        options, file, [&report](const Event &event) { report->add(event); }, true);
    report->finish();
    return status;
}

// Runs the command on a terminal and then through a pipe, its output kept to
// itself, and shows the two transcripts and what made them differ.
int compare(const Options &options, const std::string &file, std::FILE *out)
{
    std::vector<Event> runs[2];
    for (const On on : {On::terminal, On::pipe}) {
        Options way = options;
        way.on = on;
        std::vector<Event> &events = runs[on == On::terminal ? 0 : 1];
        const int status = run_traced(
            way, file, [&events](const Event &event) { events.push_back(event); }, false);
        if (status == status_failed || interrupted_by != 0) {
            return status;
        }
    }
    // The terminal's width, or what COLUMNS says, as for ls.
    winsize size{};
    const char *columns = std::getenv("COLUMNS");
    const long asked = columns != nullptr ? std::strtol(columns, nullptr, 10) : 0;
    unsigned width = asked > 0 && asked < 1000 ? static_cast<unsigned>(asked) : 80;
    if (::ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        width = size.ws_col;
    }
    write_comparison(out, runs[0], runs[1], width);
    return 0;
}

// The command line done: the command traced, or compared.
int run(const Options &options)
{
    const auto file = resolve(options.command.front());
    if (const int *status = std::get_if<int>(&file)) {
        return *status;
    }
    // The report goes to standard error, or --compare's account to standard
    // output, unless a file is named.
    std::FILE *out = report_file(options, options.compare ? stdout : stderr);
    if (out == nullptr) {
        return status_failed;
    }
    const std::string &command = std::get<std::string>(file);
    const int status =
        options.compare ? compare(options, command, out) : trace(options, command, out);
    return close_report(options, out) ? status : status_failed;
}

}  // namespace

int main(int argc, char *argv[])
{
    try {
        const Parsed parsed = parse(argc, argv);
        if (parsed.exit_status) {
            return *parsed.exit_status;
        }
        struct sigaction action {};
        action.sa_handler = on_signal;  // no SA_RESTART: the tracer's wait returns
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            ::sigaction(signal, &action, nullptr);
        }
        static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
        return run(parsed.options);
    } catch (const std::exception &error) {
        say("forktrace: %s\n", error.what());
        return status_failed;
    }
}
