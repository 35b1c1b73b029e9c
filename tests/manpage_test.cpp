// The manual pages: each renders without a warning, and every output text it
// quotes is one the program prints. In the pages, output is quoted in two
// ways only: whole lines in the example blocks of the OUTPUT section, where
// italic words stand for numbers, and \(lq...\(rq quotes in the running text.
#include "runner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

using runner::Options;
using runner::Output;
using runner::Result;

std::string page_source(const std::string &program)
{
    std::ifstream file(std::string(MAN_DIR) + "/" + program + ".1");
    return {std::istreambuf_iterator<char>(file), {}};
}

// Text as the page prints it, for the escapes the pages use.
std::string unescape(std::string text)
{
    for (const auto &[escape, plain] : std::vector<std::pair<std::string, std::string>>{
             {"\\-", "-"}, {"\\(aq", "'"}, {"\\ ", " "}, {"\\&", ""}, {"\\%", ""}, {"\\e", "\\"}}) {
        for (std::size_t at = text.find(escape); at != std::string::npos;
             at = text.find(escape, at + plain.size())) {
            text.replace(at, escape.size(), plain);
        }
    }
    return text;
}

// A line of an example block as a pattern: italic words stand for numbers,
// which may be padded on the left.
std::regex line_pattern(const std::string &line)
{
    static const std::regex italic(R"(\\fI[^\\]*\\fP)");
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    std::string pattern;
    std::sregex_token_iterator part(line.begin(), line.end(), italic, {-1, 0});
    for (; part != std::sregex_token_iterator(); ++part) {
        const std::string text = *part;
        pattern += text.starts_with("\\fI") ? std::string(" *-?[0-9]+")
                                            : std::regex_replace(unescape(text), special, R"(\$&)");
    }
    return std::regex(pattern);
}

// The lines of the example blocks in the OUTPUT section.
std::vector<std::string> output_forms(const std::string &source)
{
    std::vector<std::string> forms;
    std::istringstream lines(source);
    bool in_output = false, in_example = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(".SH")) {
            in_output = line == ".SH OUTPUT";
        } else if (line == ".EX" || line == ".EE") {
            in_example = line == ".EX";
        } else if (in_output && in_example) {
            forms.push_back(line);
        }
    }
    return forms;
}

std::vector<std::string> quotes(const std::string &source)
{
    std::vector<std::string> found;
    static const std::regex quote(R"(\\\(lq(.*?)\\\(rq)");
    for (std::sregex_iterator match(source.begin(), source.end(), quote);
         match != std::sregex_iterator(); ++match) {
        found.push_back(unescape((*match)[1]));
    }
    return found;
}

struct Page {
    std::string program;
    std::vector<std::pair<Output, Options>> runs;  // that together print every quoted text
};

void PrintTo(const Page &page, std::ostream *os) { *os << page.program; }

class ManPage : public testing::TestWithParam<Page> {};

TEST_P(ManPage, RendersWithoutWarnings)
{
    const std::string page = std::string(MAN_DIR) + "/" + GetParam().program + ".1";
    const Result groff =
        runner::run_on_pipe("/usr/bin/groff", {.args = {"-t", "-man", "-ww", "-z", page}});
    EXPECT_EQ(groff.exit_code(), 0) << groff;
    EXPECT_EQ(groff.err, "") << groff;
}

TEST_P(ManPage, QuotesOnlyWhatTheProgramPrints)
{
    const Page &page = GetParam();
    std::string printed;
    for (const auto &[output, options] : page.runs) {
        const Result run = runner::run(output, runner::program_path(page.program), options);
        printed += run.out + run.err;
    }
    const std::vector<std::string> lines = runner::split_lines(printed);

    const std::string source = page_source(page.program);
    const std::vector<std::string> forms = output_forms(source);
    EXPECT_FALSE(forms.empty() && quotes(source).empty()) << "the page quotes no output";
    for (const std::string &form : forms) {
        const std::regex pattern = line_pattern(form);
        EXPECT_TRUE(
            std::any_of(lines.begin(), lines.end(),
                        [&](const std::string &line) { return std::regex_match(line, pattern); }))
            << "the page shows \"" << form << "\"; printed:\n"
            << printed;
    }
    for (const std::string &quote : quotes(source)) {
        EXPECT_NE(printed.find(quote), std::string::npos)
            << "the page quotes \"" << quote << "\"; printed:\n"
            << printed;
    }
}

const std::string prompt = "CHILD: Enter an exit value (0 to 255): ";

// Kills the child as it goes to sleep, so that the parent reports a signal.
const runner::Step kill_child =
    runner::kill_when("CHILD: Sleeping for 5 second...", "CHILD: Here's my PID: ");
const std::map<std::string, std::string> no_sleep{{"FAULT_SLEEP", "0"}};

INSTANTIATE_TEST_SUITE_P(
    Pages, ManPage,
    testing::Values(
        Page{"kinwait",
             // The real sleep, so that the parent's lines come before the
             // prompt and the prompt's line holds the number typed.
             {{Output::terminal, {.script = {{.await = prompt, .send = "3\n"}}}},
              {Output::terminal,
               {.env = {{"PATH", "/nonexistent"}},
                .faults = no_sleep,
                .script = {{.await = prompt, .send = "7\n"}}}},
              {Output::terminal, {.script = {kill_child}}},
              {Output::pipe, {.faults = {{"FAULT_FORK", "1"}}}}}},
        Page{"lsbranch", {{Output::terminal, {.faults = {{"FAULT_GETPID", "4242"}}}}}},
        Page{"forktrace",
             {{Output::pipe, {.args = {"no-such-command-anywhere"}}},
              {Output::pipe,
               {.args = {"-o", "/dev/null", runner::program_path("forktrace"), "/bin/true"},
                .env = runner::traced_environment()}}}},
        Page{"forklab",
             {{Output::pipe, {.args = {"quiz", "--seed=1"}, .env = runner::traced_environment()}},
              {Output::pipe, {.args = {"quiz", "--seed=1"}, .env = {{"PATH", "/nonexistent"}}}}}},
        Page{"fanout",
             {{Output::terminal, {.faults = {{"FAULT_GETPID", "7"}}}},
              {Output::terminal, {.faults = {{"FAULT_GETPID", "1234567"}}}}}}),
    [](const auto &row) { return row.param.program; });

}  // namespace
