// fanout: fork in a loop of four, and every process, old and new, prints one
// line per iteration it lives through.
//
// Run it on a terminal and count: 2 + 4 + 8 + 16 = 30 lines from 16 processes.
// Then run `fanout | wc -l`: 64. Redirected, nothing is written before a
// process ends, so each fork copies the lines printed so far into the child,
// and each of the 16 processes writes 4 lines when it ends.

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main([[maybe_unused]] int argc, [[maybe_unused]] char *argv[])
{
    for (int i = 0; i <= 3; ++i) {
        // Parent and child alike go on from here, and so does a process
        // whose fork failed.
        fork();
        std::printf("[%4d] %d\n", getpid(), i);
    }

    // Every process ends here, closing its output as a well-kept command
    // does: what is still buffered goes out at the close, and output that
    // could not be written, then or before, is an error.
    const bool failed_before = std::ferror(stdout) != 0;
    if (std::fclose(stdout) != 0 || failed_before) {
        std::perror("fanout: write error");
        return EXIT_FAILURE;
    }
    return 0;
}
