// forktrace's command line.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "events.hpp"

namespace forktrace {

enum class Format { text, tree, json, svg, html, dot, mermaid, perfetto };

// Failures to inject, counted along each line of descent.
struct Failures {
    int fork = 0;             // the N-th fork fails; 0: none
    int exec = 0;             // the N-th exec fails; 0: none
    bool every_exec = false;  // every exec after the command's own start fails
};

struct Options {
    Format format = Format::text;
    std::string output;  // the report's file; empty: standard error
    On on = On::inherit;
    std::optional<std::string> input;  // fed to the command, then its input ends
    Failures fail;
    bool ascii = false;
    bool all_cpus = false;  // leave the command's CPUs as they are
    bool compare = false;   // run on a terminal and through a pipe, and compare
    bool untraced = false;  // run and relay, but trace nothing
    // Which outputs are possible: counted, some listed, an answer checked.
    bool possible = false;
    std::optional<std::size_t> list;
    std::string check;  // the answer's file
    // Steer a run: to the output in a file, or to a random possible order.
    std::string make;
    std::optional<unsigned long> shuffle;
    // An exam's process IDs: the command is this number, each process made
    // takes the next (for --check, --list and --make).
    std::optional<long> pids;
    // The most runs of the command that --possible, --make and --shuffle
    // make, exploring the choices its waits make.
    std::size_t runs = 64;
    // The largest file the command's processes may write (RLIMIT_FSIZE:
    // past it, SIGXFSZ ends them); 0 leaves the limit as it is.
    std::size_t most_file = 0;
    // The folder the command starts in; empty: forktrace's own.
    std::string directory;
    // Where the command's standard error goes through a pipe (a descriptor
    // of forktrace's); -1: forktrace's own standard error.
    int errors = -1;
    // The command may reach no process outside its run: signals, limits,
    // priorities and memory of others are refused, as of forktrace always.
    bool confined = false;
    std::vector<std::string> command;
};

// What parsing the command line came to: options to run with, or a status to
// exit with at once (after --help, --version or a mistake, already reported).
struct Parsed {
    Options options;
    std::optional<int> exit_status;
};

Parsed parse(int argc, char *argv[]);

// TEXT with its escapes (\n, \t, \\, \xHH) replaced by the bytes they stand for.
std::optional<std::string> unescape(const std::string &text);

}  // namespace forktrace
