// The system calls the tracer stops at, and the seccomp filter that makes
// the traced command stop at those alone. The filter is built from the same
// list that the tracer dispatches on, so the two cannot drift apart.
#pragma once

#include <vector>

#include <linux/filter.h>

namespace forktrace {

// What a stop is for.
enum class Call { fork, exec, write, wait4, waitid };

struct Traced {
    long number;  // the x86-64 system call number
    Call call;
    bool standard_fds_only;  // only when the first argument is descriptor 1 or 2
};

// The calls to stop at. The fork family is stopped at its entry only when a
// fork is to fail; otherwise the tracer sees forks through ptrace's events.
std::vector<Traced> traced_calls(bool fork_entries);

// The call with this number in `calls`, if any.
const Traced *find_call(const std::vector<Traced> &calls, long number);

// The BPF program: SECCOMP_RET_TRACE for each traced call, SECCOMP_RET_ALLOW
// for everything else, and for any architecture but x86-64.
std::vector<sock_filter> filter_for(const std::vector<Traced> &calls);

// Installs `program` in the calling process. Only system calls: safe between
// fork and exec. Returns false, with errno set, when the kernel refuses.
bool install(const std::vector<sock_filter> &program);

}  // namespace forktrace
