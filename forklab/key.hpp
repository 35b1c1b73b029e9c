// The teacher's answer key: each exercise's program and its answers, as
// Markdown, as a web page with each run's timeline, or as JSON.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "exercise.hpp"

namespace forklab {

struct Exercise {
    std::uint64_t seed = 0;
    int level = 0;
    std::string program;  // its source
    Answers answers;
};

enum class KeyFormat { md, html, json };

void write_key(std::FILE *out, const std::vector<Exercise> &exercises, KeyFormat format);

// One exercise's answers as lines of text, for a terminal.
std::string answers_text(const Exercise &exercise);

}  // namespace forklab
