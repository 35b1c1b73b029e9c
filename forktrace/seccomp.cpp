#include "seccomp.hpp"

#include <algorithm>
#include <cstddef>

#include <linux/audit.h>
#include <linux/seccomp.h>
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

}  // namespace

std::vector<Traced> traced_calls(bool fork_entries)
{
    std::vector<Traced> calls{
        {SYS_execve, Call::exec, false},   {SYS_execveat, Call::exec, false},
        {SYS_write, Call::write, true},    {SYS_writev, Call::write, true},
        {SYS_pwrite64, Call::write, true}, {SYS_pwritev, Call::write, true},
        {SYS_pwritev2, Call::write, true}, {SYS_wait4, Call::wait4, false},
        {SYS_waitid, Call::waitid, false},
    };
    if (fork_entries) {
        calls.insert(calls.end(), {{SYS_fork, Call::fork, false},
                                   {SYS_vfork, Call::fork, false},
                                   {SYS_clone, Call::fork, false},
                                   {SYS_clone3, Call::fork, false}});
    }
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
    const unsigned allow = SECCOMP_RET_ALLOW;
    const unsigned trace = SECCOMP_RET_TRACE;

    std::vector<sock_filter> program{
        statement(load, arch),
        jump(equal, AUDIT_ARCH_X86_64, 1, 0),
        statement(give, allow),
    };
    for (const Traced &call : calls) {
        // Each block loads the number and jumps past the rest of the block
        // when it differs.
        const unsigned rest = call.standard_fds_only ? 5 : 1;
        program.push_back(statement(load, nr));
        program.push_back(jump(equal, static_cast<unsigned>(call.number), 0, rest));
        if (call.standard_fds_only) {
            program.push_back(statement(load, first_argument));
            program.push_back(jump(equal, 1, 1, 0));
            program.push_back(jump(equal, 2, 0, 1));
        }
        program.push_back(statement(give, trace));
        if (call.standard_fds_only) {
            program.push_back(statement(give, allow));
        }
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
