// Programs of the tests' own: the classic fork homework, and the ways of
// writing that a tracer can easily explain wrongly, one per argument, for
// the accounts forktrace must give of them.
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <thread>

#include <fcntl.h>
#include <linux/aio_abi.h>
#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

// A kernel built without 32-bit system calls answers `int 0x80` with
// SIGSEGV, and valgrind's processor with SIGILL. Such a machine does not
// offer the case: say so, with the status that tells a test to skip it.
constexpr int not_offered = 77;

extern "C" void no_32_bit_calls(int /*signal*/)
{
    constexpr char text[] = "homework: no 32-bit system calls here\n";
    static_cast<void>(write(STDERR_FILENO, text, sizeof text - 1));
    _exit(not_offered);
}

// `text` written to the output by Linux AIO: false where the kernel refuses
// to set it up.
bool write_by_aio(const std::string &text)
{
    aio_context_t context = 0;
    if (syscall(SYS_io_setup, 1, &context) != 0) {
        return false;
    }
    iocb block{};
    block.aio_fildes = STDOUT_FILENO;
    block.aio_lio_opcode = IOCB_CMD_PWRITE;
    block.aio_buf = reinterpret_cast<std::uintptr_t>(text.data());
    block.aio_nbytes = text.size();
    iocb *blocks[] = {&block};
    io_event done{};
    if (syscall(SYS_io_submit, context, 1, blocks) == 1) {
        static_cast<void>(syscall(SYS_io_getevents, context, 1, 1, &done, nullptr));
    }
    static_cast<void>(syscall(SYS_io_destroy, context));
    return true;
}

// `text` written to the output through an io_uring, one entry waited for:
// false where the kernel refuses to set one up.
bool write_by_io_uring(const std::string &text)
{
    io_uring_params params{};
    const auto ring = static_cast<int>(syscall(SYS_io_uring_setup, 1, &params));
    if (ring < 0) {
        return false;
    }
    const std::size_t ring_size = params.sq_off.array + params.sq_entries * sizeof(unsigned);
    const std::size_t entries_size = params.sq_entries * sizeof(io_uring_sqe);
    auto *queue = static_cast<char *>(mmap(nullptr, ring_size, PROT_READ | PROT_WRITE,
                                           MAP_SHARED | MAP_POPULATE, ring, IORING_OFF_SQ_RING));
    auto *entries =
        static_cast<io_uring_sqe *>(mmap(nullptr, entries_size, PROT_READ | PROT_WRITE,
                                         MAP_SHARED | MAP_POPULATE, ring, IORING_OFF_SQES));
    if (queue != MAP_FAILED && entries != MAP_FAILED) {
        entries[0] = io_uring_sqe{};
        entries[0].opcode = IORING_OP_WRITE;
        entries[0].fd = STDOUT_FILENO;
        entries[0].addr = reinterpret_cast<std::uintptr_t>(text.data());
        entries[0].len = static_cast<unsigned>(text.size());
        entries[0].off = ~0ULL;  // where the file is, as write() would
        auto *tail = reinterpret_cast<unsigned *>(queue + params.sq_off.tail);
        reinterpret_cast<unsigned *>(queue + params.sq_off.array)[0] = 0;
        __atomic_store_n(tail, *tail + 1, __ATOMIC_RELEASE);
        static_cast<void>(
            syscall(SYS_io_uring_enter, ring, 1, 1, IORING_ENTER_GETEVENTS, nullptr, 0));
    }
    if (queue != MAP_FAILED) {
        munmap(queue, ring_size);
    }
    if (entries != MAP_FAILED) {
        munmap(entries, entries_size);
    }
    close(ring);
    return true;
}

// Two children that print `name` and their number and end; each wait for
// any child collects whichever ended first, and "one" and "two" follow,
// after `prefix`.
void two_children_and_two_waits(const char *name, bool nested)
{
    const char *prefix = nested ? "c0 " : "";
    for (int i = 0; i < 2; i++) {
        if (fork() == 0) {
            std::printf("%s%d\n", name, i);
            std::exit(0);
        }
    }
    wait(nullptr);
    std::printf("%sone\n", prefix);
    wait(nullptr);
    std::printf("%stwo\n", prefix);
}

extern "C" void caught_usr1(int /*signal*/) { std::printf("child: caught\n"); }

// The parent signals its child once the child is ready (a byte through a
// pipe says so); the child's handler prints. The signal is blocked till the
// child waits for it, so it cannot come too soon.
void signal_the_child()
{
    int ends[2];
    if (pipe(ends) != 0) {
        std::exit(1);
    }
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, nullptr);
    const pid_t child = fork();
    if (child == 0) {
        static_cast<void>(std::signal(SIGUSR1, caught_usr1));
        static_cast<void>(write(ends[1], "r", 1));
        sigset_t none;
        sigemptyset(&none);
        sigsuspend(&none);
        std::exit(0);
    }
    char ready = 0;
    static_cast<void>(read(ends[0], &ready, 1));
    std::printf("parent: sending\n");
    static_cast<void>(std::fflush(stdout));
    kill(child, SIGUSR1);
    wait(nullptr);
    std::printf("parent: done\n");
}

// A parent that passes bytes to its child through a pipe, each way the
// child's reads can go: one byte it waits for ("handoff"), two read one at a
// time ("relay"), two writes read at once, as much as is there ("chunks"),
// or read to the pipe's end ("pipeend"); a child that reads nothing
// ("noreader") or asks for no bytes ("zeroread"); or two children that
// write into one pipe ("reports"). False for another argument.
bool through_a_pipe(const std::string &how)
{
    if (how != "handoff" && how != "relay" && how != "chunks" && how != "pipeend" &&
        how != "reports" && how != "noreader" && how != "zeroread") {
        return false;
    }
    int ends[2];
    if (pipe(ends) != 0) {
        std::exit(1);
    }
    if (how == "reports") {
        // Two children each write their number into the one pipe; the
        // parent prints them in the order they went in.
        for (const char *number : {"0", "1"}) {
            if (fork() == 0) {
                static_cast<void>(write(ends[1], number, 1));
                std::exit(0);
            }
        }
        close(ends[1]);
        for (int i = 0; i < 2; ++i) {
            char got = 0;
            static_cast<void>(read(ends[0], &got, 1));
            std::printf("got %c\n", got);
        }
        wait(nullptr);
        wait(nullptr);
        return true;
    }
    if (fork() == 0) {
        close(ends[1]);
        char got[100] = {};
        if (how == "handoff") {
            static_cast<void>(read(ends[0], got, 1));
            std::printf("child\n");
        } else if (how == "relay") {
            for (int i = 0; i < 2; ++i) {
                static_cast<void>(read(ends[0], got, 1));
                std::printf("got %c\n", got[0]);
            }
        } else if (how == "noreader") {
            // It reads nothing: had it ended first, the parent's write
            // would have found no reader, and SIGPIPE ended the parent.
            std::printf("child\n");
            std::exit(0);
        } else if (how == "zeroread") {
            static_cast<void>(read(ends[0], got, 0));  // asks for nothing: no end of anything
            std::printf("child\n");
        } else if (how == "chunks") {
            static_cast<void>(read(ends[0], got, sizeof got - 1));
            std::printf("got %s\n", got);
        } else {
            while (read(ends[0], got, sizeof got) > 0) {
            }
            std::printf("done\n");
        }
        std::exit(0);
    }
    close(ends[0]);
    std::printf("p1\n");
    static_cast<void>(std::fflush(stdout));
    if (how != "zeroread") {
        static_cast<void>(write(ends[1], "a", 1));
    }
    if (how != "handoff" && how != "noreader" && how != "zeroread") {
        std::printf("p2\n");
        static_cast<void>(std::fflush(stdout));
        static_cast<void>(write(ends[1], "b", 1));
    }
    close(ends[1]);
    wait(nullptr);
    return true;
}

// The child stops itself; the parent, told of the stop, prints and lets it
// go on: the child's line follows the parent's, by the SIGCONT alone.
void stop_the_child()
{
    const pid_t child = fork();
    if (child == 0) {
        static_cast<void>(raise(SIGSTOP));
        std::printf("child\n");
        std::exit(0);
    }
    int status = 0;
    waitpid(child, &status, WUNTRACED);
    std::printf("parent\n");
    static_cast<void>(std::fflush(stdout));
    kill(child, SIGCONT);
    waitpid(child, &status, 0);
}

int main(int argc, char *argv[])
{
    const std::string how = argc > 1 ? argv[1] : "";
    if (through_a_pipe(how)) {
        return 0;
    }
    if (how == "signal") {
        signal_the_child();
        return 0;
    }
    if (how == "nowait" || how == "ignored") {
        // The parent waits for its child's end: seen and left to collect
        // (WNOWAIT), or with SIGCHLD ignored, when the system collects it.
        if (how == "ignored") {
            static_cast<void>(std::signal(SIGCHLD, SIG_IGN));
        }
        const pid_t child = fork();
        if (child == 0) {
            std::printf("child\n");
            std::exit(0);
        }
        siginfo_t info{};
        static_cast<void>(how == "nowait"
                              ? waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT)
                              : wait(nullptr));
        std::printf("parent\n");
        return 0;
    }
    if (how == "stopped") {
        stop_the_child();
        return 0;
    }
    if (how == "alarm") {
        // The child's alarm ends it unless it has printed by then: a run
        // that holds its write for the parent's, a second later, ends it.
        if (fork() == 0) {
            alarm(1);
            std::printf("child\n");
            std::exit(0);
        }
        sleep(2);
        std::printf("parent\n");
        static_cast<void>(std::fflush(stdout));
        wait(nullptr);
        return 0;
    }
    if (how == "vfork") {
        // The child shares the parent's memory until its exec: nothing is
        // copied, and nothing of the parent's is lost at the exec.
        std::printf("hello ");
        // NOLINTNEXTLINE(clang-analyzer-security.insecureAPI.vfork): vfork is the case itself
        const pid_t child = vfork();  // cppcheck-suppress vforkCalled
        if (child == 0) {
            execl("/bin/echo", "echo", "from the child", nullptr);
            _exit(127);
        }
        waitpid(child, nullptr, 0);
        std::printf("world\n");
    } else if (how == "system") {
        std::printf("hello ");
        static_cast<void>(std::system("echo world"));  // NOLINT(cert-env33-c): the case itself
    } else if (how == "spawn") {
        std::printf("spawned: ");
        pid_t child = 0;
        char echo[] = "echo";
        char said[] = "from posix_spawn";
        char *args[] = {echo, said, nullptr};
        if (posix_spawn(&child, "/bin/echo", nullptr, nullptr, args, environ) == 0) {
            waitpid(child, nullptr, 0);
        }
        std::printf("done\n");
    } else if (how == "direct") {
        // write() straight after some printf()s, with nothing in the buffer
        // on a terminal.
        std::printf("one\n");
        std::printf("two\n");
        static_cast<void>(write(STDOUT_FILENO, "direct\n", 7));
    } else if (how == "foreign") {
        // A buffer of another library's: a fork copies it just as well.
        std::ios::sync_with_stdio(false);
        std::cout << "in the C++ buffer\n";
        if (fork() == 0) {
            std::cout << "the child's own\n";
        }
        std::cout.flush();
    } else if (how == "midline") {
        // A full buffer goes out in the middle of a line.
        for (int row = 0; row < 500; ++row) {
            std::printf("row %4d\n", row);
        }
        if (fork() == 0) {
            std::printf("child\n");
        } else {
            wait(nullptr);
        }
    } else if (how == "pieces") {
        // One line, written in three pieces on an unbuffered stream.
        static_cast<void>(std::setvbuf(stdout, nullptr, _IONBF, 0));
        std::printf("a");
        std::printf("b");
        std::printf("c\n");
    } else if (how == "fflush") {
        static_cast<void>(std::setvbuf(stdout, nullptr, _IOFBF, 0));
        std::printf("flushed\n");
        static_cast<void>(std::fflush(stdout));
        std::printf("at exit\n");
    } else if (how == "logic") {
        // Which call made which process, and what each returned.
        if ((fork() != 0 && fork() != 0) || fork() != 0) {
            std::printf("[%d]\n", getpid());
        }
        while (wait(nullptr) > 0) {
        }
    } else if (how == "threads") {
        std::thread first([] { static_cast<void>(write(STDOUT_FILENO, "first\n", 6)); });
        std::thread second([] { static_cast<void>(write(STDOUT_FILENO, "second\n", 7)); });
        first.join();
        second.join();
    } else if (how == "sharedmemory") {
        // What the parent reads of the child's write depends on timing.
        auto *seen = static_cast<volatile int *>(
            mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        if (fork() == 0) {
            *seen = 1;
            std::exit(0);
        }
        std::printf("seen %d\n", *seen);
        wait(nullptr);
    } else if (how == "threadprints") {
        // Through the one stdio buffer: on a pipe, a single write at exit
        // whose lines are in the order the threads ran.
        std::thread first([] { std::printf("first\n"); });
        std::thread second([] { std::printf("second\n"); });
        first.join();
        second.join();
    } else if (how == "forkloop") {
        // Forks without end, each child forking once in turn and ending at
        // once, so that its child is an orphan: for a signal to arrive while
        // forks are on their way. It says its ID first, which is also its
        // session's when it runs in a session of its own.
        std::printf("forking %d\n", getpid());
        static_cast<void>(std::fflush(stdout));
        for (;;) {
            const pid_t child = fork();
            if (child == 0) {
                static_cast<void>(fork());
                _exit(0);
            }
            if (child > 0) {
                waitpid(child, nullptr, 0);
            }
        }
    } else if (how == "storm") {
        // Ten forks in a row by every process, 1,024 in all, each waiting
        // then for good: the eight made by the first three forks say they
        // go on forking, for a signal to arrive while many forks are on
        // their way at once.
        std::printf("forking %d\n", getpid());
        static_cast<void>(std::fflush(stdout));
        for (int i = 0; i < 10; ++i) {
            static_cast<void>(fork());
            if (i == 2) {
                static_cast<void>(write(STDOUT_FILENO, "storming\n", 9));
            }
        }
        for (;;) {
            pause();
        }
    } else if (how == "pidns") {
        // A child in a PID namespace of its own, where it is process 1,
        // waits for its own child: the wait gives the grandchild's ID as the
        // namespace numbers it. Where no namespace may be made, the same
        // without one.
        if (unshare(CLONE_NEWPID) != 0) {
            static_cast<void>(unshare(CLONE_NEWUSER | CLONE_NEWPID));
        }
        if (fork() == 0) {
            if (fork() == 0) {
                std::printf("inner\n");
                std::exit(0);
            }
            wait(nullptr);
            std::printf("after\n");
            std::exit(0);
        }
        wait(nullptr);
    } else if (how == "race") {
        // A parent and a child, each printing one line, neither waiting.
        if (fork() == 0) {
            std::printf("child\n");
        } else {
            std::printf("parent\n");
        }
    } else if (how == "pidchain") {
        // A chain of four processes, each waiting for its child before it
        // prints its own ID: the last made prints first.
        for (int made = 0; made < 3 && fork() == 0; ++made) {
        }
        while (wait(nullptr) > 0) {
        }
        std::printf("%d\n", getpid());
    } else if (how == "seize") {
        // A tracee that traces its tracer, and its parent, and would stop
        // them: only when traced, never the test that runs it untraced.
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line) && !line.starts_with("TracerPid:")) {
        }
        const auto tracer = static_cast<pid_t>(
            line.starts_with("TracerPid:")
                ? std::strtol(line.c_str() + std::strlen("TracerPid:"), nullptr, 10)
                : 0);
        for (const pid_t target : {tracer, getppid()}) {
            if (tracer != 0 && ptrace(PTRACE_SEIZE, target, nullptr, nullptr) == 0) {
                static_cast<void>(ptrace(PTRACE_INTERRUPT, target, nullptr, nullptr));
                std::printf("seized %s\n", target == tracer ? "the tracer" : "the parent");
            }
        }
        // And stops, then kills, its tracer and its parent (never every
        // process it may, with -1: were that let through, a test would take
        // the machine down with it).
        for (const int signal : {SIGSTOP, SIGKILL}) {
            for (const pid_t target : {tracer, getppid()}) {
                if (tracer != 0 && kill(target, signal) == 0) {
                    std::printf("sent %d to %d\n", signal, target);
                }
            }
        }
        // Takes away its tracer's descriptors, stops it through a pidfd of
        // its /proc folder, and reads its input (a keyboard, on a terminal).
        const std::string folder = "/proc/" + std::to_string(tracer);
        const rlimit none{0, 0};
        if (tracer != 0 && prlimit(tracer, RLIMIT_NOFILE, &none, nullptr) == 0) {
            std::puts("limited the tracer");
        }
        const int pidfd = tracer != 0 ? open(folder.c_str(), O_RDONLY | O_DIRECTORY) : -1;
        if (pidfd >= 0 && syscall(SYS_pidfd_send_signal, pidfd, SIGSTOP, nullptr, 0) == 0) {
            std::puts("stopped the tracer through a pidfd");
        }
        const int input =
            tracer != 0 ? open((folder + "/fd/0").c_str(), O_RDONLY | O_NONBLOCK) : -1;
        char byte = 0;
        if (input >= 0 && read(input, &byte, 1) >= 0) {
            std::puts("read the tracer's input");
        }
        std::puts("done");
    } else if (how == "alike") {
        // 400 children print the same line, and the parent waits for each:
        // a single output, however many orders.
        for (int made = 0; made < 400; ++made) {
            if (fork() == 0) {
                std::puts("same");
                return 0;
            }
        }
        while (wait(nullptr) > 0) {
        }
    } else if (how == "flushfork") {
        // A line begun and flushed before the fork, ended by both processes.
        std::printf("x");
        static_cast<void>(std::fflush(stdout));
        static_cast<void>(fork());
        std::printf("y\n");
    } else if (how == "same") {
        // Two processes print the same line: two orders, one output.
        static_cast<void>(fork());
        std::printf("same\n");
    } else if (how == "wait") {
        // The parent prints C only after its wait for the child that prints B.
        std::printf("A\n");
        if (fork() == 0) {
            std::printf("B\n");
            std::exit(0);
        }
        wait(nullptr);
        std::printf("C\n");
    } else if (how == "waitany") {
        two_children_and_two_waits("c", false);
    } else if (how == "nested") {
        // Waits for any child at two levels: the first child waits for
        // either of its own two, its parent for either of its two.
        if (fork() == 0) {
            two_children_and_two_waits("g", true);
            std::exit(0);
        }
        if (fork() == 0) {
            std::printf("c1\n");
            std::exit(0);
        }
        wait(nullptr);
        std::printf("one\n");
        wait(nullptr);
        std::printf("two\n");
    } else if (how == "status" || how == "many") {
        // What the parent prints is the status of the child its wait
        // collects; with six children, there are 720 ways to run.
        const int children = how == "many" ? 6 : 3;
        for (int code = 1; code <= children; ++code) {
            if (fork() == 0) {
                std::exit(code);
            }
        }
        int status = 0;
        while (wait(&status) > 0) {
            std::printf("code %d\n", WEXITSTATUS(status));
        }
        if (how == "many") {
            std::printf("done\n");
        }
    } else if (how == "after") {
        // The first child reads a pipe to its end, which comes only when the
        // second, which holds its other end, ends: the first ends last, yet
        // a wait can collect either first (both may have ended by then).
        int ends[2];
        if (pipe(ends) != 0) {
            return 1;
        }
        if (fork() == 0) {
            close(ends[1]);
            char byte = 0;
            while (read(ends[0], &byte, 1) > 0) {
            }
            std::exit(1);
        }
        if (fork() == 0) {
            close(ends[0]);
            std::exit(2);
        }
        close(ends[0]);
        close(ends[1]);
        int status = 0;
        while (wait(&status) > 0) {
            std::printf("code %d\n", WEXITSTATUS(status));
        }
    } else if (how == "parentid" || how == "parentids") {
        // The child's parent may have ended when it asks for its ID; or
        // between the two times it asks.
        if (fork() == 0) {
            std::printf("my parent is %d\n", getppid());
            if (how == "parentids") {
                std::printf("and now %d\n", getppid());
            }
        }
    } else if (how == "poll") {
        // Whether the poll finds the child ended is a race.
        if (fork() == 0) {
            std::exit(0);
        }
        std::printf(waitpid(-1, nullptr, WNOHANG) == 0 ? "not yet\n" : "ended\n");
        wait(nullptr);
    } else if (how == "polls") {
        // Two children: the poll finds either, or none; the waits collect the rest.
        for (int child = 0; child < 2; ++child) {
            if (fork() == 0) {
                std::printf("c%d\n", child);
                std::exit(child);
            }
        }
        std::printf(waitpid(-1, nullptr, WNOHANG) == 0 ? "none\n" : "found\n");
        wait(nullptr);
        std::printf("one\n");
        wait(nullptr);
        std::printf("done\n");
    } else if (how == "waitthenpoll") {
        // A wait for the first child by its ID, then a poll that finds the
        // second ended or not yet.
        pid_t children[2] = {};
        for (int child = 0; child < 2; ++child) {
            children[child] = fork();
            if (children[child] == 0) {
                std::printf("%c\n", 'a' + child);
                std::exit(0);
            }
        }
        waitpid(children[0], nullptr, 0);
        std::printf(waitpid(-1, nullptr, WNOHANG) == 0 ? "none\n" : "b ended\n");
        wait(nullptr);
    } else if (how == "orphan") {
        // The child tells whether its parent was still there: if not, the
        // parent's line was written first.
        const pid_t me = getpid();
        if (fork() == 0) {
            std::printf(getppid() == me ? "child: parent alive\n" : "child: adopted\n");
            std::exit(0);
        }
        std::printf("parent bye\n");
    } else if (how == "pollfor") {
        // One poll for the child by its ID: it has ended, or not yet.
        const pid_t child = fork();
        if (child == 0) {
            std::printf("c0\n");
            std::exit(0);
        }
        std::printf(waitpid(child, nullptr, WNOHANG) == 0 ? "not yet\n" : "ended\n");
        waitpid(child, nullptr, 0);
        std::printf("done\n");
    } else if (how == "pollagain" || how == "pollone") {
        // Polled until the child has ended: how many times is timing. Or a
        // poll for the one child by its ID.
        const pid_t child = fork();
        if (child == 0) {
            std::exit(0);
        }
        int polls = 0;
        while (waitpid(how == "pollone" ? child : -1, nullptr, WNOHANG) == 0) {
            ++polls;
        }
        std::printf(polls == 0 ? "at once\n" : "after polls\n");
    } else if (how == "mixed") {
        // The parent's "a" is copied into the child; each ends it with its own.
        std::printf("a");
        if (fork() == 0) {
            std::printf("child\n");
            std::exit(0);
        }
        wait(nullptr);
        std::printf("parent\n");
    } else if (how == "nullwait") {
        // Reaps that give no status to read: waitpid() with WUNTRACED and
        // waitid() of one child and of any, with no siginfo.
        for (int child = 0; child < 3; ++child) {
            const pid_t made = fork();
            if (made == 0) {
                std::printf("child %d\n", child);
                std::exit(0);
            }
            if (child == 0) {
                waitpid(made, nullptr, WUNTRACED);
            } else {
                syscall(SYS_waitid, child == 1 ? P_PID : P_ALL, made, nullptr, WEXITED, nullptr);
            }
        }
        std::printf("all reaped\n");
    } else if (how == "cloneparent") {
        // A child makes a process with CLONE_PARENT: its parent is the
        // child's own, who collects them both.
        std::printf("before\n");
        if (fork() == 0) {
            if (syscall(SYS_clone, CLONE_PARENT | SIGCHLD, 0, 0, 0, 0) == 0) {
                std::printf("sibling\n");
            }
            std::exit(0);
        }
        while (wait(nullptr) > 0) {
        }
        std::printf("after\n");
    } else if (how == "kernelcopy") {
        // The kernel copies to the output: sendfile from a file, splice from
        // a pipe. Where the call fails, the program writes instead, as cp and
        // cat do.
        const char sent[] = "via sendfile\n";
        const int file = memfd_create("homework", 0);
        static_cast<void>(write(file, sent, sizeof sent - 1));
        off_t from = 0;
        if (sendfile(STDOUT_FILENO, file, &from, sizeof sent - 1) < 0) {
            static_cast<void>(write(STDOUT_FILENO, sent, sizeof sent - 1));
        }
        const char spliced[] = "via splice\n";
        int ends[2];
        if (pipe(ends) == 0) {
            static_cast<void>(write(ends[1], spliced, sizeof spliced - 1));
            if (splice(ends[0], nullptr, STDOUT_FILENO, nullptr, sizeof spliced - 1, 0) < 0) {
                static_cast<void>(write(STDOUT_FILENO, spliced, sizeof spliced - 1));
            }
        }
    } else if (how == "async") {
        // The kernel writes for the program, after the call that asked it
        // to. Where it will not set that up, the program writes instead.
        for (const std::string text : {"by io_uring\n", "by aio\n"}) {
            if (!(text == "by aio\n" ? write_by_aio(text) : write_by_io_uring(text))) {
                static_cast<void>(write(STDOUT_FILENO, text.data(), text.size()));
            }
        }
    } else if (how == "int80") {
        // A write by the 32-bit system call, from memory a 32-bit pointer reaches.
        void *low = mmap(nullptr, 4096, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
        const char text[] = "via int 0x80\n";
        struct sigaction fault = {};
        fault.sa_handler = no_32_bit_calls;
        sigaction(SIGSEGV, &fault, nullptr);
        sigaction(SIGILL, &fault, nullptr);
        if (low != MAP_FAILED) {
            std::memcpy(low, text, sizeof text - 1);
            long result = 4;  // write, in the 32-bit numbering
            asm volatile("int $0x80"
                         : "+a"(result)
                         : "b"(STDOUT_FILENO), "c"(low), "d"(sizeof text - 1)
                         : "memory");
        }
    } else if (how == "x32") {
        // A write by a call of the x32 ABI, which most kernels refuse.
        constexpr long x32_write = 0x40000000 | SYS_write;
        const char text[] = "via x32\n";
        if (syscall(x32_write, STDOUT_FILENO, text, sizeof text - 1) >= 0) {
            return not_offered;  // run: this kernel takes such calls
        }
        std::printf("x32 refused\n");
    } else if (how == "untraced") {
        // A child asked for with CLONE_UNTRACED.
        const long child = syscall(SYS_clone, CLONE_UNTRACED | SIGCHLD, 0, 0, 0, 0);
        if (child == 0) {
            static_cast<void>(write(STDOUT_FILENO, "the untraced child\n", 19));
            _exit(0);
        }
        waitpid(static_cast<pid_t>(child), nullptr, 0);
        static_cast<void>(write(STDOUT_FILENO, "its parent\n", 11));
    } else if (how == "threadexec") {
        // A thread execs while the main thread is in a long write.
        static std::string block(1U << 20U, 'x');
        block.back() = '\n';
        std::thread([] { execl("/bin/echo", "echo", "after the exec", nullptr); }).detach();
        static_cast<void>(write(STDOUT_FILENO, block.data(), block.size()));
        pause();
    } else if (how == "trapignored") {
        // SIGTRAP ignored, then raised: the program goes on, traced or not.
        static_cast<void>(std::signal(SIGTRAP, SIG_IGN));
        std::printf("before\n");
        static_cast<void>(std::raise(SIGTRAP));
        std::printf("after\n");
    } else if (how == "mainexit") {
        // The main thread ends first: the process, and its buffer, go on.
        std::printf("from main\n");
        static std::thread last([] { std::printf("from the last thread\n"); });
        last.detach();
        pthread_exit(nullptr);
    }
    return 0;
}
