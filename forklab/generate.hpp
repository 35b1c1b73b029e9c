// Small C programs of fork exercises, made at random from a seed: the same
// seed and level make the same program. What they print is never worked out
// here: their answers come from running them.
#pragma once

#include <cstdint>
#include <string>

namespace forklab {

// Level 1: one or two forks among prints, with and without newlines.
// Level 2: loops, exit(), wait() and waitpid(); a wait for any of several
// children with prints between the waits, and the exit statuses they collect.
// Level 3: exec, && and || of forks, output that a fork copies or an exec
// loses; the statuses of children that run programs.
constexpr int lowest_level = 1, highest_level = 3;

// The program's source, a complete C file.
std::string generate(std::uint64_t seed, int level);

}  // namespace forklab
