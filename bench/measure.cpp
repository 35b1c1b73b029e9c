// Starts a program many times and reports, for the runs as a whole, the wall
// time until every process of a run has ended (the orphans too, which this
// process adopts as a subreaper), and the peak resident memory of the largest
// process.
//
//   measure RUNS INPUT PROGRAM [ARGUMENT...]
//
// Each run gets INPUT on standard input and writes its output to /dev/null.
// Prints one line: median_ms p10_ms p90_ms peak_rss_kib
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc < 4) {
        static_cast<void>(std::fputs("usage: measure RUNS INPUT PROGRAM [ARGUMENT...]\n", stderr));
        return 2;
    }
    const long runs = std::strtol(argv[1], nullptr, 10);
    const std::string input = argv[2];
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    std::vector<double> times;
    long peak_kib = 0;
    for (long run = 0; run < runs; ++run) {
        int in[2] = {-1, -1};
        if (pipe(in) != 0) {
            std::perror("pipe");
            return 1;
        }
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(in[0], STDIN_FILENO);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            close(in[0]);
            close(in[1]);
            close(null);
            execv(argv[3], argv + 3);
            _exit(127);
        }
        close(in[0]);
        if (write(in[1], input.data(), input.size()) < 0) {
            std::perror("write");
        }
        close(in[1]);
        // Every process of the run is our child or, once orphaned, adopted by us.
        rusage usage{};
        int status = 0;
        while (wait4(-1, &status, 0, &usage) > 0) {
            peak_kib = std::max(peak_kib, usage.ru_maxrss);
        }
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(times.begin(), times.end());
    const auto at = [&times](double share) {
        return times[static_cast<std::size_t>(share * static_cast<double>(times.size() - 1))];
    };
    std::printf("%.3f %.3f %.3f %ld\n", at(0.5), at(0.1), at(0.9), peak_kib);
    return 0;
}
