#include "options.hpp"

#include <cstdio>
#include <cstdlib>
#include <map>

#include <getopt.h>

namespace forktrace {
namespace {

constexpr int status_usage = 125;

constexpr const char *help = R"(Usage: forktrace [OPTIONS] [--] COMMAND [ARG]...
Run COMMAND and show every process it makes: its forks, execs, exits and who
collected them, and which process wrote each line of its output.

  -f, --format=FORMAT  the report: text (default), tree, json, or a picture:
                       svg, html, dot, mermaid, perfetto
  -o, --output=FILE    write the report to FILE instead of standard error
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
                       show the two transcripts and why they differ
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
    enum { on_option = 256, input_option, fail_option, ascii_option, cpus_option, compare_option };
    static const option long_options[] = {{"format", required_argument, nullptr, 'f'},
                                          {"output", required_argument, nullptr, 'o'},
                                          {"on", required_argument, nullptr, on_option},
                                          {"input", required_argument, nullptr, input_option},
                                          {"fail", required_argument, nullptr, fail_option},
                                          {"ascii", no_argument, nullptr, ascii_option},
                                          {"all-cpus", no_argument, nullptr, cpus_option},
                                          {"compare", no_argument, nullptr, compare_option},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, 'V'},
                                          {nullptr, 0, nullptr, 0}};

    Parsed parsed;
    Options &options = parsed.options;
    bool on_given = false;
    opterr = 0;
    optind = 1;
    // "+": options end at the command, whose own options are its business.
    for (int c = 0; (c = getopt_long(argc, argv, "+f:o:hV", long_options, nullptr)) != -1;) {
        const std::string value = optarg != nullptr ? optarg : "";
        switch (c) {
            case 'f': {
                static const std::map<std::string, Format> formats{
                    {"text", Format::text},       {"tree", Format::tree},
                    {"json", Format::json},       {"svg", Format::svg},
                    {"html", Format::html},       {"dot", Format::dot},
                    {"mermaid", Format::mermaid}, {"perfetto", Format::perfetto}};
                const auto format = formats.find(value);
                if (format == formats.end()) {
                    parsed.exit_status = mistake("unknown format '" + value +
                                                 "': the formats are text, tree, json, svg, html, "
                                                 "dot, mermaid and perfetto");
                    return parsed;
                }
                options.format = format->second;
                break;
            }
            case 'o':
                options.output = value;
                break;
            case on_option:
                if (value != "terminal" && value != "pipe") {
                    parsed.exit_status =
                        mistake("--on takes terminal or pipe, not '" + value + "'");
                    return parsed;
                }
                options.on = value == "terminal" ? On::terminal : On::pipe;
                on_given = true;
                break;
            case input_option:
                options.input = unescape(value);
                if (!options.input) {
                    parsed.exit_status =
                        mistake("--input: a backslash starts \\n, \\t, \\\\ or \\xHH");
                    return parsed;
                }
                break;
            case fail_option:
                if (!add_failure(options.fail, value)) {
                    parsed.exit_status =
                        mistake("--fail takes fork:N, exec or exec:N, not '" + value + "'");
                    return parsed;
                }
                break;
            case ascii_option:
                options.ascii = true;
                break;
            case cpus_option:
                options.all_cpus = true;
                break;
            case compare_option:
                options.compare = true;
                break;
            case 'h':
                static_cast<void>(std::fputs(help, stdout));
                parsed.exit_status = 0;
                return parsed;
            case 'V':
                static_cast<void>(std::puts("forktrace (forkdemos) " FORKDEMOS_VERSION));
                parsed.exit_status = 0;
                return parsed;
            default:
                parsed.exit_status =
                    mistake(optopt != 0 ? std::string("unknown or incomplete option '-") +
                                              static_cast<char>(optopt) + "'"
                                        : std::string("unknown or incomplete option '") +
                                              argv[optind - 1] + "'");
                return parsed;
        }
    }
    if (options.input && !on_given) {
        options.on = On::pipe;
    }
    options.command.assign(argv + optind, argv + argc);
    if (options.command.empty()) {
        parsed.exit_status = mistake("no command to run");
    }
    return parsed;
}

}  // namespace forktrace
