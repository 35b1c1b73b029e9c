#include "options.hpp"

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <iterator>
#include <map>

#include <getopt.h>

namespace forktrace {
namespace {

constexpr int status_usage = 125;
// The most outputs --list shows: more is more than a reader reads, and
// listing them takes memory and time in proportion.
constexpr unsigned long most_listed = 10000;

constexpr const char *help = R"(Usage: forktrace [OPTIONS] [--] COMMAND [ARG]...
Run COMMAND and show every process it makes: its forks, execs, exits and who
collected them, and which process wrote each line of its output.

  -f, --format=FORMAT  the report: text (default), tree, json, or a picture:
                       svg, html, dot, mermaid, perfetto
  -o, --output=FILE    write the report to FILE instead of standard error
                       (with --compare: the account, instead of standard
                       output)
      --on=WHERE       run the command on a fresh terminal or pipe and relay
                       its output: WHERE is terminal or pipe; without it the
                       command uses forktrace's own standard streams
      --input=TEXT     feed TEXT to the command, then end its input; \n, \t,
                       \\ and \xHH stand for bytes (implies --on pipe)
      --fail=WHAT      make a call fail, in any program: fork:N (the N-th fork
                       along each line of descent fails with EAGAIN), exec
                       (every exec after the command's start fails with
                       ENOENT) or exec:N (the N-th exec along each line)
      --ascii          draw the tree with ASCII
      --compare        run the command on a terminal and through a pipe, and
                       show the two transcripts and why they differ; what
                       you type for the first run is typed for the second
      --untraced       run the command as --on says and relay its output,
                       tracing nothing (where ptrace is refused); no report
      --possible       after the command's output, how many orders of its
                       writes and distinct outputs were possible (-f json: as
                       one object)
      --list[=N]       with --possible, up to N possible outputs (10), N from 1
                       to 10000
      --check=FILE     whether FILE's text is a possible output (exit 1 when
                       not, saying why; 2 when it cannot tell)
      --runs=N         with --possible, --make and --shuffle, run the command
                       at most N times, steered to each other way its waits,
                       polls and orphans' getppid() could have gone (64)
      --make=FILE      trace the command, then steer a second run so that its
                       output is FILE's, if it can be
      --shuffle[=SEED] the same, to a random possible order (SEED: 1)
      --pids=FIRST     with --check, --list and --make: the answer's process IDs
                       are an exam's, the command FIRST and each process made
                       the next number
      --all-cpus       let the command use every CPU; by default it shares
                       forktrace's, which makes tracing much cheaper
  -h, --help           show this help and exit
  -V, --version        show the version and exit

Exit status: the command's own, 128+N when signal N ended it; 125 when
forktrace fails, 126 when COMMAND cannot be run, 127 when it is not found.
See forktrace(1) for the formats and the JSON events.
)";

int mistake(const std::string &what)
{
    static_cast<void>(std::fprintf(
        stderr, "forktrace: %s\nTry 'forktrace --help' for more information.\n", what.c_str()));
    return status_usage;
}

// A whole positive number, or 0.
int count(const std::string &text)
{
    char *end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    return text.empty() || *end != '\0' || value <= 0 || value > 1000000 ? 0
                                                                         : static_cast<int>(value);
}

bool add_failure(Failures &fail, const std::string &what)
{
    if (what == "exec") {
        fail.every_exec = true;
        return true;
    }
    const std::size_t colon = what.find(':');
    const std::string call = what.substr(0, colon);
    const int n = colon == std::string::npos ? 0 : count(what.substr(colon + 1));
    if (n == 0 || (call != "fork" && call != "exec")) {
        return false;
    }
    (call == "fork" ? fail.fork : fail.exec) = n;
    return true;
}

// The long options' own values, above any character's.
enum {
    on_option = 256,
    input_option,
    fail_option,
    ascii_option,
    cpus_option,
    compare_option,
    untraced_option,
    possible_option,
    list_option,
    check_option,
    make_option,
    shuffle_option,
    runs_option,
    pids_option
};

constexpr option long_options[] = {{"format", required_argument, nullptr, 'f'},
                                   {"output", required_argument, nullptr, 'o'},
                                   {"on", required_argument, nullptr, on_option},
                                   {"input", required_argument, nullptr, input_option},
                                   {"fail", required_argument, nullptr, fail_option},
                                   {"ascii", no_argument, nullptr, ascii_option},
                                   {"all-cpus", no_argument, nullptr, cpus_option},
                                   {"compare", no_argument, nullptr, compare_option},
                                   {"untraced", no_argument, nullptr, untraced_option},
                                   {"possible", no_argument, nullptr, possible_option},
                                   {"list", optional_argument, nullptr, list_option},
                                   {"check", required_argument, nullptr, check_option},
                                   {"make", required_argument, nullptr, make_option},
                                   {"shuffle", optional_argument, nullptr, shuffle_option},
                                   {"runs", required_argument, nullptr, runs_option},
                                   {"pids", required_argument, nullptr, pids_option},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};

// What an option that takes an argument expects, for the messages.
const char *expects(int value)
{
    static const std::map<int, const char *> expected{
        {'f', "a format: text, tree, json, svg, html, dot, mermaid or perfetto"},
        {'o', "the name of the file to write the report to"},
        {on_option, "where to run the command: terminal or pipe"},
        {input_option,
         "the text to type for the command (\\n, \\t, \\\\ and \\xHH stand for bytes)"},
        {fail_option, "the call to make fail: fork:N, exec or exec:N"},
        {check_option, "the file that holds the answer to check"},
        {make_option, "the file that holds the output to make"},
        {runs_option, "the most runs to make, a whole number from 1 to 100000"},
        {pids_option, "the command's process ID in the answer, a whole number from 1"}};
    return expected.at(value);
}

// An option's names for the messages: "-f/--format", "--on", or "-x" when
// there is no such option.
std::string name_of(int value)
{
    const option *known =
        std::find_if(std::begin(long_options), std::end(long_options),
                     [value](const option &o) { return o.name != nullptr && o.val == value; });
    if (known == std::end(long_options)) {
        return std::string("-") + static_cast<char>(value);
    }
    return (value < 256 ? std::string("-") + static_cast<char>(value) + "/" : "") + "--" +
           known->name;
}

// The options given outright, where leaving one out is not the same as
// giving its default.
struct Given {
    bool on = false;
    bool format = false;
};

// What is wrong with an option, if anything; nothing when it was taken.
using Wrong = std::optional<std::string>;

// FORMAT, the argument of -f, into OPTIONS.
Wrong take_format(Options &options, const std::string &value)
{
    static const std::map<std::string, Format> formats{
        {"text", Format::text},       {"tree", Format::tree},        {"json", Format::json},
        {"svg", Format::svg},         {"html", Format::html},        {"dot", Format::dot},
        {"mermaid", Format::mermaid}, {"perfetto", Format::perfetto}};
    const auto format = formats.find(value);
    if (format == formats.end()) {
        return "unknown format '" + printable(value) + "': " + name_of('f') + " takes " +
               expects('f');
    }
    options.format = format->second;
    return std::nullopt;
}

// --list and --shuffle: an optional number, after "=", or as the next word
// when that is all digits.
Wrong take_count(Options &options, int c, const std::string &value, int argc, char *argv[])
{
    std::string number = value;
    if (optarg == nullptr && optind < argc && argv[optind][0] != '\0' &&
        std::string(argv[optind]).find_first_not_of("0123456789") == std::string::npos) {
        number = argv[optind++];
    }
    char *end = nullptr;
    const unsigned long n = std::strtoul(number.c_str(), &end, 10);
    if (!number.empty() &&
        (*end != '\0' || number.find_first_not_of("0123456789") != std::string::npos)) {
        return name_of(c) + " takes a whole number, not '" + printable(number) + "'";
    }
    if (c == list_option && !number.empty() && (n == 0 || n > most_listed)) {
        return name_of(c) + " lists from 1 to " + std::to_string(most_listed) + " outputs, not " +
               printable(number);
    }
    if (c == list_option) {
        options.list = number.empty() ? 10 : n;
        options.possible = true;
    } else {
        options.shuffle = number.empty() ? 1 : n;
    }
    return std::nullopt;
}

// VALUE as a whole number from 1 to MOST, or 0.
unsigned long whole_number(const std::string &value, unsigned long most)
{
    char *end = nullptr;
    const unsigned long n = std::strtoul(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || n == 0 || n > most ||
        value.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    return n;
}

// --runs and --pids: a whole number from 1, up to each one's most.
Wrong take_number(Options &options, int c, const std::string &value)
{
    if (c == runs_option) {
        const unsigned long n = whole_number(value, 100000);
        if (n == 0) {
            return "--runs takes a whole number from 1 to 100000, not '" + printable(value) + "'";
        }
        options.runs = n;
        return std::nullopt;
    }
    const unsigned long n = whole_number(value, 999999999);
    if (n == 0) {
        return "--pids takes a whole number from 1 to 999999999, not '" + printable(value) + "'";
    }
    options.pids = static_cast<long>(n);
    return std::nullopt;
}

// The message for an option that takes no argument and was given one, or
// for an option that is not known (or is an ambiguous abbreviation).
std::string not_taken(const char *const argv[])
{
    const bool known =
        std::any_of(std::begin(long_options), std::end(long_options),
                    [](const option &o) { return o.name != nullptr && o.val == optopt; });
    const std::string given_text = argv[optind - 1];
    if (optopt != 0 && known && (optopt > 255 || given_text.starts_with("--"))) {
        return name_of(optopt) + " takes no argument";
    }
    std::string given =
        optopt != 0 && optopt < 256 ? std::string("-") + static_cast<char>(optopt) : given_text;
    given.resize(std::min(given.size(), given.find('=')));
    return std::string(given.starts_with("--") ? "unknown or ambiguous" : "unknown") + " option '" +
           printable(given) + "'";
}

// One option that getopt_long returned, C, with its argument if any, into
// OPTIONS.
Wrong take(Options &options, Given &given, int c, int argc, char *argv[])
{
    const std::string value = optarg != nullptr ? optarg : "";
    switch (c) {
        case 'f':
            given.format = true;
            return take_format(options, value);
        case 'o':
            if (value.empty()) {
                return "-o needs " + std::string(expects('o')) + ", not ''";
            }
            options.output = value;
            return std::nullopt;
        case on_option:
            if (value != "terminal" && value != "pipe") {
                return "--on takes terminal or pipe, not '" + printable(value) + "'";
            }
            options.on = value == "terminal" ? On::terminal : On::pipe;
            given.on = true;
            return std::nullopt;
        case input_option:
            options.input = unescape(value);
            if (!options.input) {
                return "--input takes text in which a backslash starts \\n, \\t, "
                       "\\\\ or \\xHH, not '" +
                       printable(value) + "'";
            }
            return std::nullopt;
        case fail_option:
            if (!add_failure(options.fail, value)) {
                return "--fail takes fork:N, exec or exec:N (N from 1), not '" + printable(value) +
                       "'";
            }
            return std::nullopt;
        case ascii_option:
            options.ascii = true;
            return std::nullopt;
        case cpus_option:
            options.all_cpus = true;
            return std::nullopt;
        case compare_option:
            options.compare = true;
            return std::nullopt;
        case untraced_option:
            options.untraced = true;
            return std::nullopt;
        case possible_option:
            options.possible = true;
            return std::nullopt;
        case list_option:
        case shuffle_option:
            return take_count(options, c, value, argc, argv);
        case check_option:
            options.check = value;
            options.possible = true;
            return std::nullopt;
        case make_option:
            options.make = value;
            return std::nullopt;
        case runs_option:
        case pids_option:
            return take_number(options, c, value);
        default:
            return not_taken(argv);
    }
}

// What is wrong with the options taken together, if anything.
Wrong combine(const Options &options, const Given &given)
{
    if (options.compare && given.format && options.format != Format::text) {
        return "--compare writes its own account as text; for a picture of each way, trace it "
               "with --on terminal or --on pipe and -f";
    }
    const int modes = (options.possible ? 1 : 0) + (options.compare ? 1 : 0) +
                      (options.untraced ? 1 : 0) + (options.make.empty() ? 0 : 1) +
                      (options.shuffle ? 1 : 0);
    if (modes > 1) {
        return "--possible (with --list, --check), --compare, --untraced, --make and "
               "--shuffle each run the command their own way: give one of them";
    }
    if (options.pids && options.check.empty() && !options.list && options.make.empty()) {
        return "--pids numbers the processes of an answer: give it with --check, --list "
               "or --make";
    }
    if (options.possible && given.format && options.format != Format::text &&
        options.format != Format::json) {
        return "--possible writes text, or one JSON object with -f json";
    }
    if (options.compare && (given.on || options.untraced)) {
        return std::string("--compare runs the command both ways itself; ") +
               (given.on ? "--on" : "--untraced") + " does not go with it";
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> unescape(const std::string &text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        if (++i == text.size()) {
            return std::nullopt;
        }
        switch (text[i]) {
            case 'n':
                bytes += '\n';
                break;
            case 't':
                bytes += '\t';
                break;
            case '\\':
                bytes += '\\';
                break;
            case 'x': {
                const std::string hex = text.substr(i + 1, 2);
                char *end = nullptr;
                const unsigned long value = std::strtoul(hex.c_str(), &end, 16);
                if (hex.size() != 2 || *end != '\0') {
                    return std::nullopt;
                }
                bytes += static_cast<char>(value);
                i += 2;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return bytes;
}

Parsed parse(int argc, char *argv[])
{
    Parsed parsed;
    Options &options = parsed.options;
    Given given;
    const auto refuse = [&parsed](const std::string &what) {
        parsed.exit_status = mistake(what);
        return parsed;
    };
    opterr = 0;
    optind = 1;
    // "+": options end at the command, whose own options are its business;
    // ":": a missing argument is told apart from an unknown option.
    for (int c = 0; (c = getopt_long(argc, argv, "+:f:o:hV", long_options, nullptr)) != -1;) {
        switch (c) {
            case 'h':
                static_cast<void>(std::fputs(help, stdout));
                parsed.exit_status = 0;
                return parsed;
            case 'V':
                static_cast<void>(std::puts("forktrace (forkdemos) " FORKDEMOS_VERSION));
                parsed.exit_status = 0;
                return parsed;
            case ':':
                return refuse(name_of(optopt) + " needs an argument: " + expects(optopt));
            default:
                if (const Wrong wrong = take(options, given, c, argc, argv)) {
                    return refuse(*wrong);
                }
        }
    }
    if (const Wrong wrong = combine(options, given)) {
        return refuse(*wrong);
    }
    if (options.input && !given.on) {
        options.on = On::pipe;
    }
    options.command.assign(argv + optind, argv + argc);
    if (options.command.empty()) {
        return refuse("no command to run");
    }
    return parsed;
}

}  // namespace forktrace
