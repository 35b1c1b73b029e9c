#include "seccomp.hpp"

#include <algorithm>
#include <csignal>
#include <cstddef>

#include <linux/audit.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace forktrace {
namespace {

constexpr unsigned load = BPF_LD | BPF_W | BPF_ABS;
constexpr unsigned equal = BPF_JMP | BPF_JEQ | BPF_K;
constexpr unsigned give = BPF_RET | BPF_K;

sock_filter statement(unsigned code, unsigned value)
{
    return {static_cast<__u16>(code), 0, 0, value};
}

sock_filter jump(unsigned code, unsigned value, unsigned if_true, unsigned if_false)
{
    return {static_cast<__u16>(code), static_cast<__u8>(if_true), static_cast<__u8>(if_false),
            value};
}

// Calls on another process, which forktrace may be, and one that would type
// into a terminal.
const std::vector<Traced> &reaching_calls()
{
    static const std::vector<Traced> calls{
        {SYS_prlimit64, Call::reach},
        {SYS_setpriority, Call::reach},
        {SYS_ioprio_set, Call::reach},
        {SYS_sched_setaffinity, Call::reach},
        {SYS_sched_setscheduler, Call::reach},
        {SYS_sched_setparam, Call::reach},
        {SYS_sched_setattr, Call::reach},
        {SYS_process_vm_readv, Call::reach},
        {SYS_process_vm_writev, Call::reach},
        {SYS_migrate_pages, Call::reach},
        {SYS_move_pages, Call::reach},
        {SYS_kcmp, Call::reach},
        {SYS_pidfd_open, Call::reach},
        {SYS_pidfd_send_signal, Call::reach},
        {SYS_pidfd_getfd, Call::reach},
        {SYS_process_madvise, Call::reach},
        {SYS_ioctl, Call::reach, When::fake_input},
    };
    return calls;
}

}  // namespace

std::vector<Traced> traced_calls(const Stops &stops)
{
    std::vector<Traced> calls{
        {SYS_execve, Call::exec},
        {SYS_execveat, Call::exec},
        {SYS_write, Call::write},
        {SYS_writev, Call::write},
        {SYS_pwrite64, Call::write},
        {SYS_pwritev, Call::write},
        {SYS_pwritev2, Call::write},
        {SYS_wait4, Call::wait4},
        {SYS_waitid, Call::waitid},
        {SYS_sendfile, Call::copy},
        {SYS_splice, Call::copy},
        {SYS_tee, Call::copy},
        {SYS_vmsplice, Call::copy},
        {SYS_copy_file_range, Call::copy},
        {SYS_getppid, Call::parent},
        {SYS_mmap, Call::share, When::shared_map},
        {SYS_shmat, Call::share},
        {SYS_semop, Call::share},
        {SYS_semtimedop, Call::share},
        {SYS_msgsnd, Call::share},
        {SYS_msgrcv, Call::share},
        {SYS_mq_timedsend, Call::share},
        {SYS_mq_timedreceive, Call::share},
        {SYS_flock, Call::share},
        {SYS_pipe, Call::descriptors},
        {SYS_pipe2, Call::descriptors},
        {SYS_close, Call::descriptors},
        {SYS_close_range, Call::descriptors},
        {SYS_dup2, Call::descriptors},
        {SYS_dup3, Call::descriptors},
        {SYS_kill, Call::send},
        {SYS_tkill, Call::send},
        {SYS_tgkill, Call::send},
        {SYS_rt_sigqueueinfo, Call::send},
        {SYS_rt_tgsigqueueinfo, Call::send},
        {SYS_sendto, Call::share},
        {SYS_sendmsg, Call::share},
        {SYS_recvfrom, Call::share},
        {SYS_recvmsg, Call::share},
        {SYS_rt_sigtimedwait, Call::share},
        {SYS_signalfd4, Call::share},
        {SYS_poll, Call::share},
        {SYS_ppoll, Call::share},
        {SYS_select, Call::share},
        {SYS_pselect6, Call::share},
        {SYS_epoll_ctl, Call::share},
        {SYS_ptrace, Call::ptrace},
        {SYS_io_setup, Call::async},
        {SYS_io_uring_setup, Call::async},
        {SYS_unshare, Call::namespaces},
        {SYS_setns, Call::namespaces},
        {SYS_rt_sigaction, Call::trap_action, When::trap_signal},
    };
    if (stops.fork_entries) {
        calls.insert(calls.end(), {{SYS_fork, Call::fork},
                                   {SYS_vfork, Call::fork},
                                   {SYS_clone, Call::fork},
                                   {SYS_clone3, Call::fork}});
    } else {
        // A clone asked to escape the trace; clone3's flags are in memory.
        calls.insert(calls.end(),
                     {{SYS_clone, Call::fork, When::untraced_clone}, {SYS_clone3, Call::fork}});
    }
    // Every read: of a pipe of the command's own, what it got orders the
    // reader after the writer; of the input, forktrace may have to give it.
    calls.insert(calls.end(), {{SYS_read, Call::read}, {SYS_readv, Call::read}});
    calls.insert(calls.end(), reaching_calls().begin(), reaching_calls().end());

    return calls;
}

const Traced *find_call(const std::vector<Traced> &calls, long number)
{
    const auto found = std::find_if(calls.begin(), calls.end(),
                                    [number](const Traced &call) { return call.number == number; });
    return found == calls.end() ? nullptr : &*found;
}

std::vector<sock_filter> filter_for(const std::vector<Traced> &calls)
{
    constexpr unsigned arch = offsetof(seccomp_data, arch);
    constexpr unsigned nr = offsetof(seccomp_data, nr);
    constexpr unsigned first_argument = offsetof(seccomp_data, args);  // its low half
    constexpr unsigned second_argument = first_argument + sizeof(__u64);
    constexpr unsigned fourth_argument = first_argument + 3 * sizeof(__u64);
    const unsigned allow = SECCOMP_RET_ALLOW;
    const unsigned trace = SECCOMP_RET_TRACE;
    constexpr unsigned x32 = 0x40000000;  // the x32 ABI's mark on a call's number

    std::vector<sock_filter> program{
        statement(load, arch),  jump(equal, AUDIT_ARCH_X86_64, 1, 0),
        statement(give, trace),  // another architecture: the tracer says what it cannot see
        statement(load, nr),    jump(BPF_JMP | BPF_JGE | BPF_K, x32, 0, 1),
        statement(give, trace),
    };
    for (const Traced &call : calls) {
        // Each block loads the number and jumps past the rest of the block
        // when it differs; a block with a condition on an argument goes on
        // to the next when that does not hold.
        const unsigned rest = call.when == When::always ? 1 : 3;
        program.push_back(statement(load, nr));
        program.push_back(jump(equal, static_cast<unsigned>(call.number), 0, rest));
        if (call.when == When::untraced_clone) {
            program.push_back(statement(load, first_argument));
            program.push_back(
                jump(BPF_JMP | BPF_JSET | BPF_K, CLONE_UNTRACED | CLONE_NEWPID, 0, 1));
        } else if (call.when == When::shared_map) {
            program.push_back(statement(load, fourth_argument));
            program.push_back(jump(BPF_JMP | BPF_JSET | BPF_K, MAP_SHARED, 0, 1));
        } else if (call.when == When::trap_signal) {
            program.push_back(statement(load, first_argument));
            program.push_back(jump(equal, SIGTRAP, 0, 1));
        } else if (call.when == When::fake_input) {
            program.push_back(statement(load, second_argument));
            program.push_back(jump(equal, TIOCSTI, 0, 1));
        }
        program.push_back(statement(give, trace));
    }
    program.push_back(statement(give, allow));
    return program;
}

bool install(const std::vector<sock_filter> &program)
{
    const sock_fprog filter{static_cast<unsigned short>(program.size()),
                            const_cast<sock_filter *>(program.data())};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0;
}

}  // namespace forktrace
