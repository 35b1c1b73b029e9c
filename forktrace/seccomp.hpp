// The system calls the tracer stops at, and the seccomp filter that makes
// the traced command stop at those alone. The filter is built from the same
// list that the tracer dispatches on, so the two cannot drift apart.
#pragma once

#include <vector>

#include <linux/filter.h>

namespace forktrace {

// What a stop is for: a fork, an exec, a write (to any descriptor: the
// tracer tells by the file whether it goes to the output), a wait, a copy
// between descriptors done by the kernel (sendfile, splice and the like), a
// read (of the command's input, or of a pipe), a getppid(), a way for
// processes to talk or wait that forktrace does not follow (memory mapped to
// be shared, semaphores, message queues, locks, sockets, sigwait(), a poll,
// which also waits for input).
enum class Call {
    fork,
    exec,
    write,
    wait4,
    waitid,
    copy,
    read,
    parent,
    share,
    descriptors,  // a pipe made, or descriptors closed: who can write into a pipe
    send,         // a signal sent to a process (kill and the like)
    ptrace,       // a trace asked for: never of forktrace itself
    async,        // asynchronous I/O set up, whose writes the trace would not see
    namespaces,   // a namespace entered or made: of process IDs, a wait's answer is its own
    trap_action,  // SIGTRAP given a handler or ignored: the breakpoints must go
    reach,        // a call on another process by its ID or a pidfd: never on forktrace
};

// Which calls of a number to stop at, by an argument: a clone's flags (one
// that would escape the trace, or make a namespace of process IDs), an
// mmap's, a sigaction's signal, or an ioctl that fakes a terminal's input.
enum class When { always, untraced_clone, shared_map, trap_signal, fake_input };

struct Traced {
    long number;  // the x86-64 system call number
    Call call;
    When when = When::always;
};

// What the tracer asks to be stopped at besides what it always follows.
struct Stops {
    bool fork_entries = false;  // every fork's entry, for a fork to fail
    bool input = false;         // polls, for input on demand
};

// The calls to stop at. The fork family is stopped at its entry when a fork
// is to fail, and a clone that would not be traced always; otherwise the
// tracer sees forks through ptrace's events.
std::vector<Traced> traced_calls(const Stops &stops);

// The call with this number in `calls`, if any.
const Traced *find_call(const std::vector<Traced> &calls, long number);

// The BPF program: SECCOMP_RET_TRACE for each traced call, SECCOMP_RET_ALLOW
// for everything else; and SECCOMP_RET_TRACE for every call of another
// architecture or ABI (a 32-bit program's, x32's), which the tracer cannot
// follow and says so.
std::vector<sock_filter> filter_for(const std::vector<Traced> &calls);

// Installs `program` in the calling process. Only system calls: safe between
// fork and exec. Returns false, with errno set, when the kernel refuses.
bool install(const std::vector<sock_filter> &program);

}  // namespace forktrace
