// An exercise's program compiled with the system's C compiler and run,
// traced, on a terminal and through a pipe, each way again with its waits
// steered to each child they could have collected: every answer of the
// exercise comes from what those runs did.
#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "events.hpp"
#include "possible.hpp"

namespace forklab {

// A count of possible orders or outputs, in decimal; empty when too many to
// count. `at_least`: the runs explored prove this many, and there may be more.
struct Count {
    std::string decimal;
    bool at_least = false;
};

// The program traced one way (on a terminal, or through a pipe): the run
// shown, and what every run its waits can make comes to.
struct Run {
    std::vector<forktrace::Event> events;  // of the run shown
    std::string output;                    // as its reader got it ("\r\n" as "\n" on the terminal)
    int status = 0;                        // as a shell gives it
    std::size_t processes = 0;
    std::size_t lines = 0;  // of the output, as its reader counts them
    // The lines of any possible output, in any run: one more where its last
    // write may be one that ends a line or one that does not.
    std::size_t fewest_lines = 0, most_lines = 0;
    // Lines a fork copied from a buffer and its child wrote again; lines
    // thrown away in a buffer, at an exec or an exit.
    std::size_t copied_lines = 0, lost_lines = 0;
    // Each distinct run explored, the first being the one shown: each wait
    // for any child is steered to collect each child it could have. With
    // each, the order its writes must respect.
    std::vector<std::vector<forktrace::Event>> explored;
    std::vector<forktrace::Order> orders_explored;
    // Every choice of the waits was taken each way and nothing else was left
    // untried: an output that no run explored gives is not possible.
    bool proven = true;
    // The possible orders of the writes, over every run, and the distinct
    // outputs they give.
    Count orders, outputs;
};

struct Answers {
    Run terminal, pipe;
};

// A folder of forklab's own under the temporary folder, for a program and
// its build, or nothing after saying why. Should a signal end forklab while
// the folder is there, the folder goes, with the program.
std::optional<std::filesystem::path> make_scratch();

// The folder removed, with what is in it.
void remove_scratch(const std::filesystem::path &folder);

// The program compiled in `folder`, or nothing after saying why on standard
// error (no compiler, or one that refused the source, or a signal that
// stopped the compiler: interrupted() tells).
std::optional<std::filesystem::path> compile(const std::string &source,
                                             const std::filesystem::path &folder);

// The program run and traced both ways, and its runs explored; nothing when
// tracing failed or a run went past forklab's limits, after saying why.
std::optional<Answers> answer(const std::filesystem::path &program);

// A report of the run, made by `make` on the file it is to write, as text.
std::string report_of(
    const Run &run, const std::function<std::unique_ptr<forktrace::Report>(std::FILE *out)> &make);

// A picture of the run: the timeline, as SVG.
std::string timeline(const Run &run);

}  // namespace forklab
