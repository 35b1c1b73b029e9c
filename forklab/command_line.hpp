// forklab's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "key.hpp"

namespace forklab {

enum class Command { new_program, quiz, key, check };

struct Options {
    Command command = Command::new_program;
    std::optional<std::uint64_t> seed;  // new, quiz: the exercise; none: one at random
    int level = 1;
    std::uint64_t first_seed = 1, last_seed = 1;  // key: the exercises
    KeyFormat format = KeyFormat::md;
    std::string output;   // key: the file; empty: standard output
    std::string program;  // check: the student's C file
    // check: the student's predictions
    std::optional<std::size_t> terminal_lines, pipe_lines;
    std::string predicted_output;  // the file that holds it
};

struct Parsed {
    Options options;
    std::optional<int> exit_status;  // after --help, --version or a mistake
};

Parsed parse(int argc, char *argv[]);

constexpr int status_failed = 125;

}  // namespace forklab
