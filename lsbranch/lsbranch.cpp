// lsbranch: the code after an exec runs only when the exec fails.
//
// Run it on a terminal in a folder, then as `lsbranch | cat`, and count the
// star lines and their IDs. On a terminal each line is written at its newline:
// two star lines and the listing. Redirected, the child's star line is still in
// its buffer when `ls` replaces it, so only the parent's is left. When /bin/ls
// cannot be run, the child forks again and the extra process prints lines too;
// redirected, it also writes a copy of the child's first line.
//
// No result is examined here, on purpose: the program shows what happens when
// failures are simply ignored. Only output that could not be written is
// reported, at the end of each process.

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main()
{
    const pid_t pid = fork();

    if (pid != 0) {
        // The parent (or the only process, when the fork failed): one line, no wait.
        std::printf("[%d] *\n", getpid());
    } else {
        // The child: one line, then it becomes ls, and nothing below runs.
        std::printf("[%d] *\n", getpid());
        execlp("/bin/ls", "ls", nullptr);

        // Only when the exec failed: fork again. Whatever it returns, each
        // process goes on alike.
        fork();
        std::printf("[%d] *\n", getpid());
        std::printf("[%d] *\n", getpid());
    }

    // Every process ends here, closing its output as a well-kept command
    // does: what is still buffered goes out at the close, and output that
    // could not be written, then or before, is an error.
    const bool failed_before = std::ferror(stdout) != 0;
    if (std::fclose(stdout) != 0 || failed_before) {
        std::perror("lsbranch: write error");
        return EXIT_FAILURE;
    }
    return 0;
}
