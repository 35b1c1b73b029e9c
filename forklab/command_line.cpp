#include "command_line.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>

#include <getopt.h>

#include "events.hpp"
#include "generate.hpp"

namespace forklab {
namespace {

constexpr const char *help = R"(Usage: forklab new [--seed=N] [--level=L]
       forklab quiz [--seed=N] [--level=L]
       forklab key --seeds=A-B [--level=L] [-f md|html|json] [-o FILE]
       forklab check PROGRAM.c [--terminal=N] [--pipe=N] [--output=FILE]
Fork exercises whose answers come from running them: a small C program is
compiled with cc and run, traced, on a terminal and through a pipe.

  new      print an exercise's program; the same seed and level make the
           same program
  quiz     show an exercise, ask what it does, then run it and explain each
           wrong answer from the trace (without a terminal: the answers)
  key      the answers of exercises A to B, for a teacher
  check    a program of your own, and what you predict of it

      --seed=N       the exercise (without it: one at random, and said)
      --level=L      1: forks among prints; 2: loops, exit and wait;
                     3: exec, && and || of forks (default 1)
      --seeds=A-B    the exercises of the key, A to B (or one, A)
  -f, --format=F     the key as md (Markdown, the default), html (with a
                     timeline of each run) or json
  -o, --output=FILE  write the key to FILE instead of standard output
      --terminal=N   the lines you predict on a terminal
      --pipe=N       the lines you predict through a pipe
      --output=FILE  an output you predict is possible (check's, not key's)
  -h, --help         show this help and exit
  -V, --version      show the version and exit

Exit status: 0; with check, 1 when a prediction is wrong; 125 when forklab
fails (no compiler, a program that does not compile, no tracing). See
forklab(1).
)";

int mistake(const std::string &what)
{
    static_cast<void>(std::fprintf(
        stderr, "forklab: %s\nTry 'forklab --help' for more information.\n", what.c_str()));
    return status_failed;
}

std::optional<std::uint64_t> number(const char *text)
{
    if (text == nullptr || *text < '0' || *text > '9') {
        return std::nullopt;
    }
    errno = 0;
    char *end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

enum { seed = 256, level, seeds, terminal, pipe };

// Whether `command` takes the option, besides --help and --version.
bool takes(Command command, int option)
{
    switch (command) {
        case Command::new_program:
        case Command::quiz:
            return option == seed || option == level;
        case Command::key:
            return option == seeds || option == level || option == 'f' || option == 'o';
        case Command::check:
            return option == terminal || option == pipe || option == 'o';
    }
    return false;
}

constexpr option long_options[] = {{"seed", required_argument, nullptr, seed},
                                   {"level", required_argument, nullptr, level},
                                   {"seeds", required_argument, nullptr, seeds},
                                   {"format", required_argument, nullptr, 'f'},
                                   {"output", required_argument, nullptr, 'o'},
                                   {"terminal", required_argument, nullptr, terminal},
                                   {"pipe", required_argument, nullptr, pipe},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};

// The exercises A to B of --seeds; the exit status on a mistake.
std::optional<int> take_seeds(const char *text, Options &o)
{
    const std::string range = text;
    const std::size_t dash = range.find('-');
    const auto a = number(range.substr(0, dash).c_str());
    const auto b = dash == std::string::npos ? a : number(range.substr(dash + 1).c_str());
    if (!a || !b || *b < *a || *b - *a >= 1000) {
        return mistake("--seeds takes A-B, from A to B (at most 1000), not '" +
                       forktrace::printable(text) + "'");
    }
    o.first_seed = *a;
    o.last_seed = *b;
    return std::nullopt;
}

// The key's format of -f; the exit status on a mistake.
std::optional<int> take_format(const char *text, Options &o)
{
    const std::map<std::string, KeyFormat> formats{
        {"md", KeyFormat::md}, {"html", KeyFormat::html}, {"json", KeyFormat::json}};
    const auto found = formats.find(text);
    if (found == formats.end()) {
        return mistake("-f/--format takes md, html or json, not '" + forktrace::printable(text) +
                       "'");
    }
    o.format = found->second;
    return std::nullopt;
}

// One option `c` from getopt_long, named `name` on the command line, into `o`;
// the exit status when the parse ends with it (a mistake, --help or --version).
std::optional<int> take_option(int c, const std::string &name, Options &o, bool &seeds_given)
{
    switch (c) {
        case seed:
            if (!(o.seed = number(optarg))) {
                return mistake("--seed takes a number, not '" + forktrace::printable(optarg) + "'");
            }
            break;
        case level: {
            const auto value = number(optarg);
            if (!value || *value < lowest_level || *value > highest_level) {
                return mistake("--level takes 1, 2 or 3, not '" + forktrace::printable(optarg) +
                               "'");
            }
            o.level = static_cast<int>(*value);
            break;
        }
        case seeds:
            if (const auto status = take_seeds(optarg, o)) {
                return status;
            }
            seeds_given = true;
            break;
        case 'f':
            return take_format(optarg, o);
        case 'o':
            if (o.command == Command::check) {
                o.predicted_output = optarg;
            } else {
                o.output = optarg;
            }
            break;
        case terminal:
        case pipe: {
            const auto value = number(optarg);
            if (!value) {
                return mistake(std::string(c == terminal ? "--terminal" : "--pipe") +
                               " takes a number of lines, not '" + forktrace::printable(optarg) +
                               "'");
            }
            (c == terminal ? o.terminal_lines : o.pipe_lines) = *value;
            break;
        }
        case 'h':
            static_cast<void>(std::fputs(help, stdout));
            return 0;
        case 'V':
            static_cast<void>(std::puts("forklab " FORKDEMOS_VERSION));
            return 0;
        case ':':
            return mistake(name + " needs an argument");
        default:
            return mistake("unknown option '" + name + "'");
    }
    return std::nullopt;
}

// The options from argv[first] on, up to the first operand, into `o`; the exit
// status when the parse ends in them.
std::optional<int> take_options(int argc, char *argv[], int first, bool command_given, Options &o,
                                bool &seeds_given)
{
    optind = first;
    opterr = 0;
    for (int c = 0; (c = ::getopt_long(argc, argv, ":f:o:hV", long_options, nullptr)) != -1;) {
        const std::string name =
            optind > 0 && optind <= argc ? forktrace::printable(argv[optind - 1]) : "";
        if (c != 'h' && c != 'V' && c != ':' && c != '?' && !takes(o.command, c)) {
            if (!command_given) {
                return mistake("a command is needed: new, quiz, key or check");
            }
            const auto named = std::find_if(
                std::begin(long_options), std::end(long_options),
                [c](const option &each) { return each.name != nullptr && each.val == c; });
            return mistake("'--" + std::string(named->name) + "' is not an option of " + argv[1]);
        }
        if (const auto status = take_option(c, name, o, seeds_given)) {
            return status;
        }
    }
    return std::nullopt;
}

// What is left after the options: the command, check's program and nothing
// more, and key's --seeds; the exit status on a mistake.
std::optional<int> take_rest(int argc, char *argv[], bool command_given, bool seeds_given,
                             Options &o)
{
    if (!command_given) {
        return mistake("a command is needed: new, quiz, key or check");
    }
    const bool wants_program = o.command == Command::check;
    if (wants_program) {
        if (optind >= argc) {
            return mistake("check needs the C file of the program");
        }
        o.program = argv[optind++];
    }
    if (optind < argc) {
        return mistake("unexpected argument '" + forktrace::printable(argv[optind]) + "'");
    }
    if (o.command == Command::key && !seeds_given) {
        return mistake("key needs --seeds=A-B: the exercises to answer");
    }
    return std::nullopt;
}

}  // namespace

Parsed parse(int argc, char *argv[])
{
    Parsed parsed;
    Options &o = parsed.options;
    const std::map<std::string, Command> commands{{"new", Command::new_program},
                                                  {"quiz", Command::quiz},
                                                  {"key", Command::key},
                                                  {"check", Command::check}};
    int first = 1;
    bool command_given = false;
    if (argc > 1 && argv[1][0] != '-') {
        const auto found = commands.find(argv[1]);
        if (found == commands.end()) {
            parsed.exit_status = mistake("unknown command '" + forktrace::printable(argv[1]) +
                                         "': new, quiz, key or check");
            return parsed;
        }
        o.command = found->second;
        first = 2;
        command_given = true;
    }
    bool seeds_given = false;
    parsed.exit_status = take_options(argc, argv, first, command_given, o, seeds_given);
    if (!parsed.exit_status) {
        parsed.exit_status = take_rest(argc, argv, command_given, seeds_given, o);
    }
    return parsed;
}

}  // namespace forklab
