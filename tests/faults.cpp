// Test-only fault library, preloaded into a program under test with
// LD_PRELOAD. It stands in front of the C library for the failures a test
// cannot produce on demand. Every fault is off unless its environment variable
// is set, and with none set each call goes straight on to the C library.
//   FAULT_FORK=N    the N-th fork fails with EAGAIN. The count lives in the
//                   process's memory, so a child carries on its parent's count.
//   FAULT_EXEC=1    execvp and execlp fail with ENOENT
//   FAULT_STRDUP=1  strdup returns a null pointer with ENOMEM
//   FAULT_GETPID=N  getpid returns N
//   FAULT_SLEEP=0   sleep returns at once
//   FAULT_NO_SLEEP=1  any sleep ends the process with SIGABRT: for programs
//                   that must never pause
//   FAULT_HOLD=1    the child of a fork waits until the started process (the
//                   first to load this library) has ended, so that a parent
//                   that waits for its children never ends
//   FAULT_WAIT=1    waitpid fails with ECHILD
//   FAULT_PTRACE=1  ptrace fails with EPERM, as where tracing is not allowed
// With FAULT_PROGRAM set, only a process started as that program (its argv[0])
// sees the faults: not a wrapper that starts it, nor date or ls that it
// starts in turn.

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const char *fault(const char *name)
{
    const char *program = std::getenv("FAULT_PROGRAM");
    const bool in_scope = program == nullptr || std::strcmp(program, program_invocation_name) == 0;
    return in_scope ? std::getenv(name) : nullptr;
}

template <typename Function>
Function *next(const char *name)
{
    return reinterpret_cast<Function *>(dlsym(RTLD_NEXT, name));
}

int forks_made = 0;

// The process the run started: the first image that loads the library in it.
// An exec keeps the process ID, so the program that a wrapper starts agrees.
pid_t started = 0;

__attribute__((constructor)) void remember_the_started_process()
{
    if (started == 0) {
        started = static_cast<pid_t>(syscall(SYS_getpid));
    }
}

// Whether the started process has ended: gone, or a zombie, by /proc.
bool started_has_ended()
{
    char path[64];
    static_cast<void>(std::snprintf(path, sizeof path, "/proc/%d/stat", started));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return true;
    }
    char stat[512] = {};
    const ssize_t n = read(fd, stat, sizeof stat - 1);
    close(fd);
    const char *state = n > 0 ? std::strrchr(stat, ')') : nullptr;
    return state == nullptr || state[1] == '\0' || state[2] == 'Z' || state[2] == 'X';
}

// Blocks until the started process has ended, looking every millisecond
// (pidfd_open would do without looking, but memory checkers do not know it).
void hold()
{
    const timespec millisecond{0, 1000000};
    while (!started_has_ended()) {
        syscall(SYS_nanosleep, &millisecond, nullptr);
    }
}

void forbid_sleep()
{
    if (fault("FAULT_NO_SLEEP") != nullptr) {
        static const char message[] = "faults: a sleep where none may be\n";
        static_cast<void>(write(STDERR_FILENO, message, sizeof message - 1));
        std::abort();
    }
}

}  // namespace

extern "C" {

pid_t fork() noexcept
{
    ++forks_made;
    const char *failing = fault("FAULT_FORK");
    if (failing != nullptr && std::strtol(failing, nullptr, 10) == forks_made) {
        errno = EAGAIN;
        return -1;
    }
    const pid_t pid = next<pid_t()>("fork")();
    if (pid == 0 && fault("FAULT_HOLD") != nullptr) {
        hold();
    }
    return pid;
}

pid_t waitpid(pid_t pid, int *status, int options)
{
    if (fault("FAULT_WAIT") != nullptr) {
        errno = ECHILD;
        return -1;
    }
    return next<pid_t(pid_t, int *, int)>("waitpid")(pid, status, options);
}

// The C library's ptrace takes its request's arguments as varargs, all
// three of them there for the requests a tracer makes.
long ptrace(int request, ...)
{
    if (fault("FAULT_PTRACE") != nullptr) {
        errno = EPERM;
        return -1;
    }
    va_list arguments;
    va_start(arguments, request);
    const auto pid = va_arg(arguments, pid_t);
    void *address = va_arg(arguments, void *);
    void *data = va_arg(arguments, void *);
    va_end(arguments);
    return next<long(int, ...)>("ptrace")(request, pid, address, data);
}

int execvp(const char *file, char *const argv[]) noexcept
{
    if (fault("FAULT_EXEC") != nullptr) {
        errno = ENOENT;
        return -1;
    }
    return next<int(const char *, char *const[])>("execvp")(file, argv);
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the C library's own signature
int execlp(const char *file, const char *arg, ...) noexcept
{
    // Room for the arguments our programs pass; more fail as too many.
    std::array<char *, 64> argv{const_cast<char *>(arg)};
    va_list more;
    va_start(more, arg);
    for (std::size_t i = 0; argv[i] != nullptr; ++i) {
        if (i + 1 == argv.size()) {
            va_end(more);
            errno = E2BIG;
            return -1;
        }
        argv[i + 1] = va_arg(more, char *);
    }
    va_end(more);
    return execvp(file, argv.data());
}

char *strdup(const char *text) noexcept
{
    if (fault("FAULT_STRDUP") != nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    return next<char *(const char *)>("strdup")(text);
}

pid_t getpid() noexcept
{
    if (const char *fixed = fault("FAULT_GETPID")) {
        return static_cast<pid_t>(std::strtol(fixed, nullptr, 10));
    }
    return next<pid_t()>("getpid")();
}

int nanosleep(const timespec *duration, timespec *left)
{
    forbid_sleep();
    return next<int(const timespec *, timespec *)>("nanosleep")(duration, left);
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the C library's own signature
int clock_nanosleep(clockid_t clock, int flags, const timespec *duration, timespec *left)
{
    forbid_sleep();
    return next<int(clockid_t, int, const timespec *, timespec *)>("clock_nanosleep")(
        clock, flags, duration, left);
}

int usleep(useconds_t microseconds)
{
    forbid_sleep();
    return next<int(useconds_t)>("usleep")(microseconds);
}

unsigned int sleep(unsigned int seconds)
{
    forbid_sleep();
    if (fault("FAULT_SLEEP") != nullptr) {
        return 0;
    }
    return next<unsigned int(unsigned int)>("sleep")(seconds);
}

}  // extern "C"
