#include "launch.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <iterator>
#include <system_error>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace launch {
namespace {

[[noreturn]] void fail(const char *what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

void make_pipe(Fd &read_end, Fd &write_end)
{
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        fail("pipe2");
    }
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
}

std::vector<char *> pointers(std::vector<std::string> &texts)
{
    std::vector<char *> result(texts.size() + 1, nullptr);
    std::transform(texts.begin(), texts.end(), result.begin(),
                   [](std::string &text) { return text.data(); });
    return result;
}

// Whole writes and reads of one value, for the session leader's reports.
template <typename Value>
bool put(int fd, const Value &value)
{
    ssize_t n = -1;
    do {
        n = ::write(fd, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof value);
}

template <typename Value>
bool get(int fd, Value &value)
{
    ssize_t n = -1;
    do {
        n = ::read(fd, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof value);
}

// Whether a file that the system cannot run holds a NUL byte in its first
// line: no script, but a program of another system or no program at all,
// which shells refuse to run rather than feed to `sh`. Safe after a fork.
bool binary(const char *file)
{
    std::array<char, 256> head{};
    const int fd = ::open(file, O_RDONLY | O_CLOEXEC);
    const ssize_t got = fd < 0 ? 0 : ::read(fd, head.data(), head.size());
    if (fd >= 0) {
        ::close(fd);
    }
    const auto line_end = std::find(head.begin(), head.begin() + std::max<ssize_t>(got, 0), '\n');
    return std::find(head.begin(), line_end, '\0') != line_end;
}

// The program's side of the fork: its streams, its signals as a shell leaves
// them, the caller's last step, and the exec. Never returns.
// `script` is the command as `sh` runs it: a file that is not a program
// (no `#!` line, ENOEXEC) is taken for a shell script, as shells take it,
// unless it is binary.
[[noreturn]] void become(const Program &program, char *const argv[], char *const script[],
                         char *const envp[], int in, int out, int err)
{
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    for (const int signal :
         {SIGPIPE, SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGCHLD, SIGHUP}) {
        static_cast<void>(::signal(signal, SIG_DFL));
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (program.before_exec) {
        program.before_exec();
    }
    ::close_range(3, ~0U, 0);
    if (program.file.empty()) {
        ::execvpe(argv[0], argv, envp);
    } else {
        ::execve(program.file.c_str(), argv, envp);
        if (errno == ENOEXEC && !binary(program.file.c_str())) {
            ::execve(script[0], script, envp);
            errno = ENOEXEC;
        }
    }
    ::_exit(errno == ENOENT ? 127 : 126);
}

// Closes every descriptor from 3 up but those in `keep`.
void close_all_but(std::array<int, 3> keep)
{
    std::sort(keep.begin(), keep.end());
    unsigned from = 3;
    for (const int fd : keep) {
        if (fd >= static_cast<int>(from)) {
            if (fd > static_cast<int>(from)) {
                ::close_range(from, static_cast<unsigned>(fd) - 1, 0);
            }
            from = static_cast<unsigned>(fd) + 1;
        }
    }
    ::close_range(from, ~0U, 0);
}

}  // namespace

void Fd::reset(int fd)
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

namespace {

// The program's ends of its streams, and forktrace's ends of them.
struct Ends {
    Fd child_in, child_out, child_err;
    Fd input, output, error;
};

Ends open_ends(const Program &program)
{
    Ends ends;
    if (program.mode == Mode::terminal) {
        ends.output = Fd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!ends.output.open() || ::grantpt(ends.output.get()) != 0 ||
            ::unlockpt(ends.output.get()) != 0) {
            fail("posix_openpt");
        }
        const winsize size{program.rows, program.columns, 0, 0};
        ::ioctl(ends.output.get(), TIOCSWINSZ, &size);
        ends.input = Fd(::fcntl(ends.output.get(), F_DUPFD_CLOEXEC, 0));
        ends.child_in = Fd(::open(::ptsname(ends.output.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!ends.child_in.open()) {
            fail("open the pseudo-terminal");
        }
        ends.child_out = Fd(::fcntl(ends.child_in.get(), F_DUPFD_CLOEXEC, 0));
        termios modes{};
        if (!program.echo && ::tcgetattr(ends.child_in.get(), &modes) == 0) {
            modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            ::tcsetattr(ends.child_in.get(), TCSANOW, &modes);
        }
    } else if (program.mode == Mode::inherit) {
        ends.child_in = Fd(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0));
        ends.child_out = Fd(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
        ends.child_err = Fd(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0));
    } else {
        make_pipe(ends.child_in, ends.input);
        make_pipe(ends.output, ends.child_out);
    }
    if (program.errors_inherited) {
        ends.child_err = Fd(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0));
    } else if (program.mode != Mode::inherit) {
        if (program.errors_apart) {
            make_pipe(ends.error, ends.child_err);
        } else {
            ends.child_err = Fd(::fcntl(ends.child_out.get(), F_DUPFD_CLOEXEC, 0));
        }
    }
    return ends;
}

// The command as it is run: its argv, as `sh` runs it, and its environment.
struct Command {
    std::vector<char *> argv, script, envp;
};

// On a terminal, the session leader's side of its fork: the program as its
// child, whose pid, then status, it hands on through `status_write`; it
// goes once `release_read` tells it to. Never returns.
[[noreturn]] void lead(const Program &program, const Command &command, const Ends &ends,
                       const Fd &status_write, const Fd &release_read)
{
    ::setsid();
    ::ioctl(ends.child_in.get(), TIOCSCTTY, 0);
    // To take the foreground back, and to outlive a hangup of the
    // terminal long enough to hand on the program's status.
    static_cast<void>(::signal(SIGTTOU, SIG_IGN));
    static_cast<void>(::signal(SIGHUP, SIG_IGN));
    const pid_t pid = ::fork();
    if (pid == 0) {
        // In a group of its own, in the foreground, as a shell starts a job.
        ::setpgid(0, 0);
        ::tcsetpgrp(ends.child_in.get(), ::getpid());
        become(program, command.argv.data(), command.script.data(), command.envp.data(),
               ends.child_in.get(), ends.child_out.get(), ends.child_err.get());
    }
    // The leader holds no stream of the program's, so that the terminal
    // reports end of output once the program's processes have closed it,
    // and nothing else of its owner's, so that it goes when released.
    const int tty = ::fcntl(ends.child_in.get(), F_DUPFD_CLOEXEC, 0);
    close_all_but({tty, status_write.get(), release_read.get()});
    if (pid < 0) {
        ::_exit(1);
    }
    // The program's group holds the foreground before its pid is handed
    // on, whichever of the two runs first: input typed at once (a Ctrl-Z)
    // reaches the program, not this leader, whose orphaned group would
    // drop it.
    ::setpgid(pid, pid);
    ::tcsetpgrp(tty, pid);
    if (!put(status_write.get(), pid)) {
        ::_exit(1);
    }
    int status = 0;
    pid_t waited = -1;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    ::tcsetpgrp(tty, ::getpgrp());
    ::close(tty);
    put(status_write.get(), status);
    char byte = 0;
    while (::read(release_read.get(), &byte, 1) < 0 && errno == EINTR) {
    }
    ::_exit(0);
}

}  // namespace

Launched start(const Program &program)
{
    std::vector<std::string> argv_texts = program.argv;
    std::vector<std::string> env_texts = program.env;
    std::vector<std::string> script_texts{"/bin/sh", program.file};
    script_texts.insert(
        script_texts.end(),
        std::next(program.argv.begin(), std::min<std::ptrdiff_t>(1, std::ssize(program.argv))),
        program.argv.end());
    const Command command{pointers(argv_texts), pointers(script_texts), pointers(env_texts)};

    Ends ends = open_ends(program);
    Launched launched;
    launched.input_ = std::move(ends.input);
    launched.output_ = std::move(ends.output);
    launched.error_ = std::move(ends.error);
    if (program.mode != Mode::terminal) {
        const pid_t pid = ::fork();
        if (pid < 0) {
            fail("fork");
        }
        if (pid == 0) {
            if (program.mode == Mode::pipe) {
                ::setsid();
            }
            become(program, command.argv.data(), command.script.data(), command.envp.data(),
                   ends.child_in.get(), ends.child_out.get(), ends.child_err.get());
        }
        launched.pid_ = pid;
        launched.session_ = program.mode == Mode::pipe ? pid : ::getsid(0);
        launched.pidfd_ = Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        if (!launched.pidfd_.open()) {
            const int error = errno;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            errno = error;
            fail("pidfd_open");
        }
        return launched;
    }

    // On a terminal: the session leader, then the program as its child.
    Fd status_read, status_write, release_read, release_write;
    make_pipe(status_read, status_write);
    make_pipe(release_read, release_write);
    const pid_t leader = ::fork();
    if (leader < 0) {
        fail("fork");
    }
    if (leader == 0) {
        lead(program, command, ends, status_write, release_read);
    }
    launched.leader_ = launched.session_ = leader;
    status_write.reset();
    release_read.reset();
    launched.release_ = std::move(release_write);
    launched.status_ = std::move(status_read);
    if (!get(launched.status_.get(), launched.pid_)) {
        ::waitpid(leader, nullptr, 0);
        errno = EAGAIN;
        fail("start the program on the terminal");
    }
    return launched;
}

Launched &Launched::operator=(Launched &&other) noexcept
{
    if (this != &other) {
        pid_ = std::exchange(other.pid_, -1);
        session_ = std::exchange(other.session_, -1);
        leader_ = std::exchange(other.leader_, -1);
        collected_ = std::exchange(other.collected_, true);
        input_ = std::move(other.input_);
        output_ = std::move(other.output_);
        error_ = std::move(other.error_);
        status_ = std::move(other.status_);
        release_ = std::move(other.release_);
        pidfd_ = std::move(other.pidfd_);
    }
    return *this;
}

int Launched::status()
{
    int status = 0;
    if (status_.open()) {
        if (!get(status_.get(), status)) {
            fail("read the program's status");
        }
        status_.reset();
        collected_ = true;
        return status;
    }
    pid_t waited = -1;
    do {
        waited = ::waitpid(pid_, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) {
        fail("waitpid");
    }
    pidfd_.reset();
    collected_ = true;
    return status;
}

void Launched::kill_all() const
{
    if (pid_ > 0) {
        if (session_ != ::getsid(0)) {
            ::kill(-pid_, SIGKILL);  // its group, never its owner's
        }
        // The program itself too: it may not have made its group yet.
        ::kill(pid_, SIGKILL);
    }
    if (leader_ > 0) {
        ::kill(leader_, SIGKILL);
    }
}

Launched::~Launched()
{
    if (!collected_ && pid_ > 0) {
        kill_all();
        if (leader_ < 0) {
            ::waitpid(pid_, nullptr, 0);
        }
    }
    release_.reset();
    if (leader_ > 0) {
        ::waitpid(leader_, nullptr, 0);
    }
}

}  // namespace launch
