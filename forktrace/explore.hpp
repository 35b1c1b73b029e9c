// Exploring a program's runs: the command is run again and again, each run
// steered to take another choice that a run before it made (a wait for any
// child collecting another of the children it could have), until every
// choice has been taken each way, or the most runs allowed have been made.
#pragma once

#include <cstddef>
#include <string>

#include "options.hpp"
#include "possible.hpp"
#include "run.hpp"

namespace forktrace {

// Runs the command as `first` says (shown, reported), then as many runs
// more as its choices need, each with its output kept to itself, fed what
// the first was given, and steered to the choices it is to take; `runs`
// gets every distinct run. Returns the first run's exit status, or that of
// a later run that failed or was ended by a signal.
int explore(const Options &options, const std::string &file, Run first, Runs &runs);

// The choices to steer a run to, for a run that collected these children.
std::vector<PlannedReap> plan_of(const std::vector<Choice> &choices);

}  // namespace forktrace
