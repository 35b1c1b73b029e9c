// kinwait: one fork, told by both processes, then the child becomes `date`
// and the parent waits for it.
//
// Run it on a terminal and type a number at the prompt. Then run it as
// `kinwait > out; cat out` (type the number blind, the prompt is not shown)
// and compare: on a terminal every line is written at its newline; redirected,
// the child's lines sit in its output buffer until the exec throws them away,
// and the parent's lines are written together when it exits.
//
// Try it with `PATH=/nowhere kinwait` too: the exec of `date` fails, so the
// child's farewell appears and the number you type becomes its exit code.
//
// A process whose output could not be written says so on standard error and
// ends with status 1, as `kinwait > /dev/full` shows.

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sys/wait.h>
#include <unistd.h>

int main()
{
    int a = 42;
    int status = 0;

    // The parent collects its child's status, so it must not have inherited
    // a disposition that throws the status away.
    static_cast<void>(std::signal(SIGCHLD, SIG_DFL));

    const pid_t childpid = fork();

    if (childpid < 0) {
        // No child: only this process, and nothing to narrate.
        std::perror("fork");
        std::exit(EXIT_FAILURE);
    }

    if (childpid == 0) {
        // The child: a copy of the parent's memory, so its own a and childpid.
        ++a;
        std::puts("CHILD: I am the child process!");
        std::printf("CHILD: Here's my PID: %d\n", getpid());
        std::printf("CHILD: My parent's PID is: %d\n", getppid());
        std::printf("CHILD: The value of my copy of childpid is: %d\n", childpid);
        std::printf("CHILD: The value of a is : %d\n", a);
        std::puts("CHILD: Sleeping for 5 second...");
        sleep(5);
        std::printf("CHILD: Enter an exit value (0 to 255): ");

        // Read the exit value as " %d" reads it: white space skipped, an
        // optional sign, digits up to the first non-digit. A number that does
        // not fit in an int counts as no number, and status stays 0.
        int c = std::getchar();
        while (std::isspace(c) != 0) {
            c = std::getchar();
        }
        const bool negative = c == '-';
        if (c == '-' || c == '+') {
            c = std::getchar();
        }
        bool digits = false;
        long long magnitude = 0;
        const long long limit = std::numeric_limits<int>::max() + 1LL;
        while (c >= '0' && c <= '9') {
            digits = true;
            if (magnitude <= limit) {
                magnitude = magnitude * 10 + (c - '0');
            }
            c = std::getchar();
        }
        const long long value = negative ? -magnitude : magnitude;
        if (digits && value >= std::numeric_limits<int>::min() &&
            value <= std::numeric_limits<int>::max()) {
            status = static_cast<int>(value);
        }

        // The exec replaces this process with `date`, and does not return when
        // it works. Without the copy of the name there is nothing to run.
        char *const name = strdup("date");
        char *const args[] = {name, nullptr};
        if (name != nullptr) {
            execvp(name, args);
        }
        std::puts("CHILD: Goodbye! ... but I shouldn't write this");
    } else {
        // The parent: narrates, then blocks until its own child has ended.
        std::puts("PARENT: I am the parent process!");
        std::printf("PARENT: Here's my PID: %d\n", getpid());
        std::printf("PARENT: The value of my copy of childpid is %d\n", childpid);
        std::puts("PARENT: I will now wait for my child to exit.");
        std::printf("PARENT: The value of a is : %d\n", a);
        pid_t waited = -1;
        do {
            waited = waitpid(childpid, &status, 0);
        } while (waited < 0 && errno == EINTR);
        if (waited < 0) {
            std::perror("kinwait: waitpid");
        } else if (WIFSIGNALED(status)) {
            std::printf("PARENT: Child was terminated by signal %d\n", WTERMSIG(status));
        } else {
            std::printf("PARENT: Child's exit code is: %d\n", (status & 0xFF00) >> 8);
        }
        std::puts("PARENT: Goodbye!");
        std::printf("PARENT: The value of a is : %d\n", a);
        status = waited < 0 ? EXIT_FAILURE : 0;
    }

    // Either process ends here, the child with the value it read, closing
    // its output as a well-kept command does: what is still buffered goes out
    // at the close, and output that could not be written, then or before, is
    // an error.
    const bool failed_before = std::ferror(stdout) != 0;
    if (std::fclose(stdout) != 0 || failed_before) {
        std::perror("kinwait: write error");
        std::exit(EXIT_FAILURE);
    }
    std::exit(status);
}
