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
// With FAULT_PROGRAM set, only a process started as that program (its argv[0])
// sees the faults: not a wrapper that starts it, nor date or ls that it
// starts in turn.

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
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
    return next<pid_t()>("fork")();
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

unsigned int sleep(unsigned int seconds)
{
    if (fault("FAULT_SLEEP") != nullptr) {
        return 0;
    }
    return next<unsigned int(unsigned int)>("sleep")(seconds);
}

}  // extern "C"
