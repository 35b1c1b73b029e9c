// Predict, then see: the questions of an exercise, asked before its runs are
// shown, and each wrong answer explained from the trace of the run it is
// about.
#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "key.hpp"

namespace forklab {

// Asks the exercise's questions on standard input and output, then shows
// the runs and checks each answer, and leaves the runs' timelines in a
// folder of their own. Returns 0.
int ask(const Exercise &exercise);

// What a student predicted of a program.
struct Prediction {
    std::optional<std::size_t> terminal_lines, pipe_lines;
    std::optional<std::string> output;  // an output they hold possible
};

// Checks the prediction against the program's runs, explaining each wrong
// part; true when every part given is right.
bool check(const Exercise &exercise, const Prediction &prediction);

// The text account of a run, or its tree, as forktrace gives it.
std::string account(const Run &run, bool tree);

}  // namespace forklab
