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

}  // namespace

Parsed parse(int argc, char *argv[])
{
    Parsed parsed;
    Options &o = parsed.options;
    const auto fail = [&](const std::string &what) {
        parsed.exit_status = mistake(what);
        return parsed;
    };
    const std::map<std::string, Command> commands{{"new", Command::new_program},
                                                  {"quiz", Command::quiz},
                                                  {"key", Command::key},
                                                  {"check", Command::check}};
    int first = 1;
    bool command_given = false;
    if (argc > 1 && argv[1][0] != '-') {
        const auto found = commands.find(argv[1]);
        if (found == commands.end()) {
            return fail("unknown command '" + forktrace::printable(argv[1]) +
                        "': new, quiz, key or check");
        }
        o.command = found->second;
        first = 2;
        command_given = true;
    }
    const option long_options[] = {{"seed", required_argument, nullptr, seed},
                                   {"level", required_argument, nullptr, level},
                                   {"seeds", required_argument, nullptr, seeds},
                                   {"format", required_argument, nullptr, 'f'},
                                   {"output", required_argument, nullptr, 'o'},
                                   {"terminal", required_argument, nullptr, terminal},
                                   {"pipe", required_argument, nullptr, pipe},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    optind = first;
    opterr = 0;
    bool seeds_given = false;
    for (int c = 0; (c = ::getopt_long(argc, argv, ":f:o:hV", long_options, nullptr)) != -1;) {
        const std::string name =
            optind > 0 && optind <= argc ? forktrace::printable(argv[optind - 1]) : "";
        if (c != 'h' && c != 'V' && c != ':' && c != '?' && !takes(o.command, c)) {
            if (!command_given) {
                return fail("a command is needed: new, quiz, key or check");
            }
            const auto named = std::find_if(
                std::begin(long_options), std::end(long_options),
                [c](const option &each) { return each.name != nullptr && each.val == c; });
            return fail("'--" + std::string(named->name) + "' is not an option of " + argv[1]);
        }
        switch (c) {
            case seed:
                if (!(o.seed = number(optarg))) {
                    return fail("--seed takes a number, not '" + forktrace::printable(optarg) +
                                "'");
                }
                break;
            case level: {
                const auto value = number(optarg);
                if (!value || *value < lowest_level || *value > highest_level) {
                    return fail("--level takes 1, 2 or 3, not '" + forktrace::printable(optarg) +
                                "'");
                }
                o.level = static_cast<int>(*value);
                break;
            }
            case seeds: {
                const std::string text = optarg;
                const std::size_t dash = text.find('-');
                const auto a = number(text.substr(0, dash).c_str());
                const auto b =
                    dash == std::string::npos ? a : number(text.substr(dash + 1).c_str());
                if (!a || !b || *b < *a || *b - *a >= 1000) {
                    return fail("--seeds takes A-B, from A to B (at most 1000), not '" +
                                forktrace::printable(optarg) + "'");
                }
                o.first_seed = *a;
                o.last_seed = *b;
                seeds_given = true;
                break;
            }
            case 'f': {
                const std::map<std::string, KeyFormat> formats{
                    {"md", KeyFormat::md}, {"html", KeyFormat::html}, {"json", KeyFormat::json}};
                const auto found = formats.find(optarg);
                if (found == formats.end()) {
                    return fail("-f/--format takes md, html or json, not '" +
                                forktrace::printable(optarg) + "'");
                }
                o.format = found->second;
                break;
            }
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
                    return fail(std::string(c == terminal ? "--terminal" : "--pipe") +
                                " takes a number of lines, not '" + forktrace::printable(optarg) +
                                "'");
                }
                (c == terminal ? o.terminal_lines : o.pipe_lines) = *value;
                break;
            }
            case 'h':
                static_cast<void>(std::fputs(help, stdout));
                parsed.exit_status = 0;
                return parsed;
            case 'V':
                static_cast<void>(std::puts("forklab " FORKDEMOS_VERSION));
                parsed.exit_status = 0;
                return parsed;
            case ':':
                return fail(name + " needs an argument");
            default:
                return fail("unknown option '" + name + "'");
        }
    }
    if (!command_given) {
        return fail("a command is needed: new, quiz, key or check");
    }
    const bool wants_program = o.command == Command::check;
    if (wants_program) {
        if (optind >= argc) {
            return fail("check needs the C file of the program");
        }
        o.program = argv[optind++];
    }
    if (optind < argc) {
        return fail("unexpected argument '" + forktrace::printable(argv[optind]) + "'");
    }
    if (o.command == Command::key && !seeds_given) {
        return fail("key needs --seeds=A-B: the exercises to answer");
    }
    return parsed;
}

}  // namespace forklab
