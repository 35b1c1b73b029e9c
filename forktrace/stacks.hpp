// The call stacks of stopped tracees, unwound with elfutils' libdwfl (Debian's
// libdw-dev) from each module's call frame information, as a debugger does:
// which functions a thread is in, and the place in the source of the
// program's own call, where the program has debug information. One unwinder
// is kept per process image and shared by the children a fork makes of it,
// which have the same modules at the same addresses.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace forktrace {

// One frame: where it runs, and the function and module it is in.
struct Frame {
    std::uint64_t pc = 0;  // for frames past the first, just before the return address
    std::string function;  // in the C library: one of the functions asked about, or empty
    bool in_libc = false;  // in the C library
};

class Stacks {
public:
    // `functions`: the C library's functions that frames are to be named by
    // (their addresses are looked up once per image, and a frame in no other
    // goes unnamed, which keeps an unwind cheap).
    explicit Stacks(std::vector<std::string> functions);
    ~Stacks();
    Stacks(const Stacks &) = delete;
    Stacks &operator=(const Stacks &) = delete;

    // The frames of thread `tid` of process `pid`, innermost first, at most
    // `most`. The thread must be stopped under ptrace. Empty when it cannot
    // be unwound.
    std::vector<Frame> frames(pid_t pid, pid_t tid, std::size_t most = 24);

    // The place in the source, "file.c:12:5", of the innermost frame in the
    // program's own executable: its own call. Nothing where that frame has no
    // line information, or there is none, so that nothing is guessed.
    std::optional<std::string> call_site(pid_t pid, pid_t tid);

    // Whether the program that `pid` runs has line information: call sites
    // are looked for only then. Its thread `through` is looked at.
    bool has_lines(pid_t pid, pid_t through);

    // `child` is a fork of `parent`: the same image.
    void forked(pid_t parent, pid_t child);
    // The image of `pid` has changed (an exec) or ended.
    void forget(pid_t pid);

    struct Image;  // the unwinder of one image, made when first needed

private:
    // Made from what thread `through` of `pid` shows, one still alive.
    std::shared_ptr<Image> image(pid_t pid, pid_t through);

    std::map<pid_t, std::shared_ptr<Image>> images_;
    bool program_has_lines(pid_t through);

    std::vector<std::string> functions_;
    std::map<std::string, bool> lines_by_file_;  // "device:inode" of an executable
    std::map<pid_t, bool> lines_by_pid_;         // until its exec or end
};

}  // namespace forktrace
