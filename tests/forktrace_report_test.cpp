// The text and tree reports on hand-made traces: what each row shows, and
// that no byte of the command's output reaches the terminal unescaped. Then
// the two encodings of the command's bytes: JSON strings and printable text.
#include "events.hpp"
#include "history.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>

namespace {

using forktrace::Event;
using forktrace::Stream;
using Kind = Event::Kind;

Event starts(pid_t pid, const char *program) { return {.pid = pid, .argv = {program}}; }
Event forks(pid_t pid, pid_t child) { return {.kind = Kind::fork, .pid = pid, .child = child}; }
Event execs(pid_t pid, const char *path, const char *error = "")
{
    return {.kind = Kind::exec,
            .pid = pid,
            .argv = {forktrace::base_name(path)},
            .path = path,
            .ok = *error == '\0',
            .error = error};
}
Event writes(pid_t pid, std::string data, Stream stream = Stream::output)
{
    return {.kind = Kind::write, .pid = pid, .stream = stream, .data = std::move(data)};
}
Event write_fails(pid_t pid, const char *error)
{
    return {.kind = Kind::write, .pid = pid, .error = error};
}
Event exits(pid_t pid, int code) { return {.kind = Kind::exit, .pid = pid, .code = code}; }
Event dies(pid_t pid, int signal) { return {.kind = Kind::exit, .pid = pid, .signal = signal}; }
Event reaps(pid_t pid, pid_t child) { return {.kind = Kind::reap, .pid = pid, .child = child}; }

enum class Format { text, tree, ascii_tree };

std::string render(Format format, const std::vector<Event> &events)
{
    char *buffer = nullptr;
    std::size_t size = 0;
    std::FILE *out = open_memstream(&buffer, &size);
    auto report = format == Format::text
                      ? forktrace::text_report(out, {})
                      : forktrace::tree_report(out, {.ascii = format == Format::ascii_tree});
    double time = 0;
    for (Event event : events) {
        event.time = time += 0.125;
        report->add(event);
    }
    report->finish();
    EXPECT_EQ(std::fclose(out), 0);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

// Two processes of fanout on a pipe, started by its path: the fork copies the
// line pending in the buffer, each process writes its lines at exit, the
// parent first, so its child ends as an orphan.
Event fanout_fork()
{
    Event fork = forks(10, 11);
    fork.pending = "[  10] 0\n";
    return fork;
}
Event fanout_exec()
{
    Event exec = execs(10, "/bin/fanout");
    exec.argv = {"/bin/fanout"};
    return exec;
}
Event fanout_writes(pid_t pid, const char *data, std::vector<Event::Origin> origins)
{
    Event write = writes(pid, data);
    write.origins = std::move(origins);
    return write;
}
const std::vector<Event> fanout{
    starts(10, "fanout"), fanout_exec(),
    fanout_fork(),        fanout_writes(10, "[  10] 0\n[  10] 1\n", {{10, 18}}),
    exits(10, 0),         fanout_writes(11, "[  10] 0\n[  11] 1\n", {{10, 9}, {11, 9}}),
    exits(11, 0)};
// kinwait with date out of reach: its own exec and the child's search PATH.
const std::vector<Event> kinwait{starts(20, "kinwait"),
                                 execs(20, "/usr/local/bin/kinwait", "ENOENT"),
                                 execs(20, "/usr/bin/kinwait"),
                                 forks(20, 21),
                                 writes(21, "CHILD: Enter an exit value (0 to 255): "),
                                 execs(21, "/usr/local/bin/date", "ENOENT"),
                                 execs(21, "/usr/bin/date", "ENOENT"),
                                 writes(21, "oops\n", Stream::error),
                                 writes(21, "log\n", Stream::elsewhere),
                                 exits(21, 3),
                                 reaps(20, 21),
                                 write_fails(20, "EPIPE")};
// A shell whose child is killed; the shell itself is still running at the end.
const std::vector<Event> killed_child{starts(30, "sh"), forks(30, 31), execs(31, "/bin/sleep"),
                                      dies(31, 9), reaps(30, 31)};
const std::vector<Event> hostile_bytes{
    starts(40, "cat"), writes(40, "\x1b[31mred\x1b[0m\tx\n\xff\xfe\a\r\n\xc2\x9b\\ok \xc3\xa9\n"),
    exits(40, 0)};

struct Case {
    const char *name;
    const std::vector<Event> &events;
    std::vector<const char *> text, tree;  // patterns that some line of each report matches
};

void PrintTo(const Case &row, std::ostream *os) { *os << row.name; }

void expect_lines(const std::string &report, const std::vector<const char *> &patterns)
{
    std::vector<std::string> lines;
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    for (const char *pattern : patterns) {
        const std::regex expected(pattern);
        EXPECT_TRUE(
            std::any_of(lines.begin(), lines.end(),
                        [&](const std::string &line) { return std::regex_search(line, expected); }))
            << "no line matches /" << pattern << "/ in:\n"
            << report;
    }
    for (const char c : report) {
        const auto byte = static_cast<unsigned char>(c);
        ASSERT_TRUE((byte >= 0x20 && byte != 0x7F) || byte == '\n')
            << "raw byte " << int{byte} << " in:\n"
            << report;
    }
}

class Report : public testing::TestWithParam<Case> {};

// Each row in both formats; the ASCII tree is the Unicode one, redrawn.
TEST_P(Report, ShowsEachLineAndNoRawControlByte)
{
    const Case &row = GetParam();
    expect_lines(render(Format::text, row.events), row.text);
    std::string tree = render(Format::tree, row.events);
    expect_lines(tree, row.tree);
    for (const auto &[unicode, ascii] : {std::pair{"├── ", "|-- "}, {"└── ", "`-- "}, {"│", "|"}}) {
        for (std::size_t at = tree.find(unicode); at != std::string::npos;
             at = tree.find(unicode)) {
            tree.replace(at, std::string_view(unicode).size(), ascii);
        }
    }
    EXPECT_EQ(render(Format::ascii_tree, row.events), tree);
}

INSTANTIATE_TEST_SUITE_P(
    Traces, Report,
    testing::Values(
        // One write of two lines: time, number and writer once, then a note.
        Case{
            "fanout",
            fanout,
            // A step's row and a write's row put the writer under "written by".
            {R"(^  0\.[0-9]{3} {9}10 {6}fanout {5}· exec /bin/fanout$)",
             R"(^  0\.[0-9]{3} {9}10 {6}fanout {5}· fork: made 11 \(child 1\); copied 1 pending line into the child's buffer$)",
             R"(^  0\.[0-9]{3} {5}#1  10 {6}fanout {5}the command wrote 2 lines from its buffer, all its own$)",
             R"(^ {35}itself +\[  10\] 0$)",
             R"(^ +0\.[0-9]{3} +#2  11 +fanout +child 1 wrote 2 lines from its buffer: 1 copy of lines printed by the command \(10\) \+ 1 of its own$)",
             R"(^ {35}10 \(copy\) +\[  10\] 0$)", R"(^ {35}itself +\[  11\] 1$)",
             R"(^  4 lines = 3 printed \+ 1 copy: )", R"(^2 processes, 4 lines in 2 writes$)",
             R"(^ +10  the command +- fanout +2 +1 code 0 +not waited for$)",
             R"(^ +11  child 1 +10 fanout +2 +1 code 0 +not waited for, orphan$)", R"(^orphan: )"},
            {"^10 fanout$", R"(^│ exec /bin/fanout$)", R"(^│ > \[  10\] 1$)",
             "^│ exit code 0, not waited for$", "^└── 11 fanout$", R"(^      > \[  11\] 1$)",
             R"(^      exit code 0, not waited for \(its parent 10 had ended first\)$)"}},
        // The failed write, the partial line and standard error have rows;
        // the write elsewhere does not.
        Case{"kinwait",
             kinwait,
             {R"(#1  21 +kinwait +CHILD: Enter an exit value \(0 to 255\): \[no newline\]$)",
              R"(#2  21 +kinwait +2> oops$)", R"(#3  20 +kinwait +\[write failed: EPIPE\]$)",
              R"(^2 processes, 2 lines in 3 writes, 1 write elsewhere$)",
              R"(^ +21  child 1 +20 kinwait +2 +2 code 3 +reaped by 20$)", R"(^ +20 .* none +-$)",
              R"(^none: the trace ended)"},
             {R"(^│ exec /usr/bin/kinwait \(kinwait\), after 2 attempts along PATH$)",
              R"(^      exec /usr/bin/date \(date\) failed: ENOENT, after 2 attempts along PATH$)",
              R"(^      > CHILD: Enter an exit value \(0 to 255\): \[no newline\]$)",
              "^      2> oops$", "^      exit code 3, reaped by 20$",
              R"(^│ > \[write failed: EPIPE\]$)", "^│ no exit: the trace ended first$"}},
        Case{"killed_child",
             killed_child,
             {"^no output$", R"(^ +31  child 1 +30 sleep +0 +0 signal 9 +reaped by 30$)"},
             {"^30 sh$", "^└── 31 sleep$",
              R"(^      killed by signal 9 \(SIGKILL\), reaped by 30$)"}},
        Case{"hostile_bytes",
             hostile_bytes,
             {R"( \\e\[31mred\\e\[0m\\tx$)", R"( \\xff\\xfe\\x07\\r$)", R"( \\u009b\\\\ok é$)"},
             {R"(> \\e\[31mred\\e\[0m\\tx$)", R"(> \\u009b\\\\ok é$)"}}),
    [](const auto &row) { return std::string(row.param.name); });

// JSON's reading of a string, with \udcXX back to the byte XX.
std::string json_bytes(const std::string &json)
{
    std::string bytes;
    for (std::size_t i = 1; i + 1 < json.size(); ++i) {
        if (json[i] != '\\') {
            bytes += json[i];
        } else if (json[++i] == 'u') {
            const unsigned long code = std::stoul(json.substr(i + 1, 4), nullptr, 16);
            bytes += static_cast<char>(code & 0xFFU);
            i += 4;
        } else {
            const std::string escapes = "\"\\/bfnrt", escaped = "\"\\/\b\f\n\r\t";
            bytes += escaped[escapes.find(json[i])];
        }
    }
    return bytes;
}

struct Encoding {
    std::string bytes, json, shown;
};

TEST(Encodings, JsonKeepsEveryByteAndPrintableEscapesControls)
{
    const std::vector<Encoding> table{
        {"a\"b\\c\n", R"("a\"b\\c\n")", R"(a"b\\c\n)"},
        {"\x1b[1m\x7f\x01", R"("\u001b[1m\u007f\u0001")", R"(\e[1m\x7f\x01)"},
        {"\xff\xc3(\xe2\x82", R"("\udcff\udcc3(\udce2\udc82")", R"(\xff\xc3(\xe2\x82)"},
        {"\xed\xa0\x80 \xc3\xa9 \xf0\x9f\x98\x80",
         "\"\\udced\\udca0\\udc80 \xc3\xa9 \xf0\x9f\x98\x80\"",
         "\\xed\\xa0\\x80 \xc3\xa9 \xf0\x9f\x98\x80"},
    };
    for (const Encoding &row : table) {
        EXPECT_EQ(forktrace::json_string(row.bytes), row.json);
        EXPECT_EQ(forktrace::printable(row.bytes), row.shown);
    }
    std::string every_byte;
    for (int byte = 0; byte < 256; ++byte) {
        every_byte += static_cast<char>(byte);
        every_byte += "\xc3\xa9";
    }
    EXPECT_EQ(json_bytes(forktrace::json_string(every_byte)), every_byte);
}

}  // namespace
