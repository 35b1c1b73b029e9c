// forktrace's pictures: every format on a hostile program's output and on a
// shell loop of 1,000 processes, each checked for what its readers need (well
// formed markup with the command's bytes as text, a graph Graphviz accepts,
// Mermaid labels with nothing but text, Trace Event Format JSON with the
// fields its viewers require); then the timeline of fanout in a real browser.
#include "picture.hpp"
#include "runner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <map>
#include <numeric>
#include <regex>
#include <set>
#include <sstream>
#include <variant>

#include <unistd.h>

namespace {

using runner::Result;

std::string read_file(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Where a program is on the PATH, or "".
std::string find_program(const std::string &name)
{
    const char *variable = std::getenv("PATH");
    std::istringstream path(variable != nullptr ? variable : "");
    for (std::string folder; std::getline(path, folder, ':');) {
        const std::filesystem::path candidate = std::filesystem::path(folder) / name;
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

// Why a test cannot run without a tool it needs, or "". Where CI is "true",
// a missing tool is a failure too: CI installs it.
std::string missing(const std::string &name, const char *package)
{
    if (!find_program(name).empty()) {
        return "";
    }
    const char *ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") {
        ADD_FAILURE() << name << " is missing; CI must install Debian's " << package;
    }
    return name + " is missing: install Debian's " + package + " to run this test";
}

// `text` is UTF-8 with no control character but the newline: the command's
// NUL, escape and invalid bytes did not get through.
std::string text_problem(const std::string &text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 && byte != '\n') {
            return "control byte " + std::to_string(byte) + " at " + std::to_string(i);
        }
        const std::size_t length = byte < 0x80 ? 1 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
        if ((byte >= 0x80 && byte < 0xC2) || byte > 0xF4 || i + length > text.size()) {
            return "invalid UTF-8 at " + std::to_string(i);
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return "invalid UTF-8 at " + std::to_string(i);
            }
        }
        i += length;
    }
    return "";
}

// Markup that an XML parser (svg) or an HTML parser (html) reads as we mean
// it: every tag closed in order, attribute values quoted, every & an entity,
// the <style> and <script> elements ours alone (html only, one each, and the
// step-through's data).
std::string markup_problem(const std::string &text, bool html)
{
    static const std::regex tag(R"(<(/?)([a-zA-Z][\w:-]*)((?:\s+[\w:-]+="[^"<]*")*)\s*(/?)>)");
    static const std::regex entity(R"(&(amp|lt|gt|quot|#39);)");
    static const std::set<std::string> empty{"meta", "link", "br", "input"};
    std::vector<std::string> open;
    std::map<std::string, int> raw_text;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t next = text.find_first_of("<&", at);
        if (next == std::string::npos) {
            break;
        }
        std::smatch match;
        const auto from = text.begin() + static_cast<std::ptrdiff_t>(next);
        if (text[next] == '&') {
            if (!std::regex_search(from, text.end(), match, entity,
                                   std::regex_constants::match_continuous)) {
                return "a bare & at " + std::to_string(next);
            }
        } else if (text.compare(next, 2, "<?") == 0 || text.compare(next, 9, "<!DOCTYPE") == 0) {
            at = text.find('>', next) + 1;
            continue;
        } else if (!std::regex_search(from, text.end(), match, tag,
                                      std::regex_constants::match_continuous)) {
            return "a bare < at " + std::to_string(next) + ": " + text.substr(next, 40);
        } else if (match[1] == "/") {
            if (open.empty() || open.back() != match[2]) {
                return "</" + match[2].str() + "> closes nothing open at " + std::to_string(next);
            }
            open.pop_back();
        } else if (match[4] != "/" && !(html && empty.count(match[2]) != 0)) {
            open.push_back(match[2]);
            if (match[2] == "style" || match[2] == "script") {
                // Our script, and the step-through's data beside it.
                const bool data =
                    match[3].str().find("type=\"application/json\"") != std::string::npos;
                ++raw_text[data ? "data" : match[2].str()];
                const std::size_t end = text.find("</" + match[2].str() + ">", next);
                at = end;  // the raw text up to its end tag
                continue;
            }
        }
        at = next + static_cast<std::size_t>(match.length(0));
    }
    if (!open.empty()) {
        return "<" + open.back() + "> never closed";
    }
    if (raw_text["script"] != (html ? 1 : 0) || raw_text["data"] > (html ? 1 : 0)) {
        return "a <script> that is not ours";
    }
    return "";
}

// A JSON value, parsed by the grammar of RFC 8259.
struct Json {
    std::variant<std::nullptr_t, bool, double, std::string, std::vector<Json>,
                 std::map<std::string, Json>>
        value;

    const Json *at(const std::string &key) const
    {
        const auto *object = std::get_if<std::map<std::string, Json>>(&value);
        if (object == nullptr) {
            return nullptr;
        }
        const auto found = object->find(key);
        return found != object->end() ? &found->second : nullptr;
    }
    bool is_string() const { return std::holds_alternative<std::string>(value); }
    bool is_number() const { return std::holds_alternative<double>(value); }
};

class JsonParser {
public:
    explicit JsonParser(const std::string &text) : text_(text) {}

    Json document()
    {
        Json json = value();
        space();
        if (at_ != text_.size()) {
            fail("text after the value");
        }
        return json;
    }

private:
    [[noreturn]] void fail(const std::string &what) const
    {
        throw std::runtime_error(what + " at " + std::to_string(at_) + ": " +
                                 text_.substr(at_, 40));
    }
    void space()
    {
        while (at_ < text_.size() &&
               std::string_view(" \t\r\n").find(text_[at_]) != std::string_view::npos) {
            ++at_;
        }
    }
    bool take(char c)
    {
        space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    Json value()
    {
        space();
        if (take('{')) {
            std::map<std::string, Json> object;
            if (!take('}')) {
                do {
                    space();
                    std::string key = string();
                    if (!take(':')) {
                        fail("no colon");
                    }
                    object[key] = value();
                } while (take(','));
                if (!take('}')) {
                    fail("no end of object");
                }
            }
            return {object};
        }
        if (take('[')) {
            std::vector<Json> array;
            if (!take(']')) {
                do {
                    array.push_back(value());
                } while (take(','));
                if (!take(']')) {
                    fail("no end of array");
                }
            }
            return {array};
        }
        if (at_ < text_.size() && text_[at_] == '"') {
            return {string()};
        }
        for (const auto &[word, json] : std::map<std::string, Json>{
                 {"true", {true}}, {"false", {false}}, {"null", {nullptr}}}) {
            if (text_.compare(at_, word.size(), word) == 0) {
                at_ += word.size();
                return json;
            }
        }
        static const std::regex number(R"(-?(0|[1-9]\d*)(\.\d+)?([eE][-+]?\d+)?)");
        std::smatch match;
        if (!std::regex_search(text_.begin() + static_cast<std::ptrdiff_t>(at_), text_.end(), match,
                               number, std::regex_constants::match_continuous)) {
            fail("no value");
        }
        at_ += static_cast<std::size_t>(match.length(0));
        return {std::stod(match.str())};
    }
    std::string string()
    {
        if (text_[at_] != '"') {
            fail("no string");
        }
        std::string out;
        for (++at_; at_ < text_.size() && text_[at_] != '"'; ++at_) {
            const auto byte = static_cast<unsigned char>(text_[at_]);
            if (byte < 0x20) {
                fail("a raw control character in a string");
            }
            if (byte != '\\') {
                out += text_[at_];
                continue;
            }
            const char escape = text_[++at_];
            const std::map<char, char> simple{{'n', '\n'}, {'t', '\t'}, {'r', '\r'},  {'b', '\b'},
                                              {'f', '\f'}, {'"', '"'},  {'\\', '\\'}, {'/', '/'}};
            if (escape != 'u') {
                if (simple.count(escape) == 0) {
                    fail("a bad escape");
                }
                out += simple.at(escape);
                continue;
            }
            const unsigned code =
                static_cast<unsigned>(std::stoul(text_.substr(at_ + 1, 4), nullptr, 16));
            if (code >= 0xD800 && code < 0xE000) {
                fail("a lone surrogate: not valid Unicode");
            }
            at_ += 4;
            // ASCII is all the checks below look for.
            out += code < 0x80 ? static_cast<char>(code) : '?';
        }
        if (at_++ >= text_.size()) {
            fail("no end of string");
        }
        return out;
    }

    const std::string &text_;
    std::size_t at_ = 0;
};

// The Trace Event Format's required fields, event by event: name, ph, pid,
// tid and ts; dur for a complete event (X); s (g, p or t) for an instant (i);
// id for a flow (s, f); args.name or args.sort_index for metadata (M).
std::string trace_event_problem(const Json &document)
{
    const Json *events = document.at("traceEvents");
    if (events == nullptr || !std::holds_alternative<std::vector<Json>>(events->value)) {
        return "no traceEvents array";
    }
    if (document.at("displayTimeUnit") == nullptr) {
        return "no displayTimeUnit";
    }
    for (const Json &event : std::get<std::vector<Json>>(events->value)) {
        const Json *phase = event.at("ph");
        const auto typed = [&](const char *field, bool string) {
            const Json *found = event.at(field);
            return found != nullptr && (string ? found->is_string() : found->is_number());
        };
        if (!typed("name", true) || !typed("ph", true)) {
            return "an event without a string name or ph";
        }
        if (!typed("pid", false) || !typed("tid", false) || !typed("ts", false)) {
            return "an event without a number pid, tid or ts";
        }
        const std::string ph = std::get<std::string>(phase->value);
        const auto has = [&](const char *field) { return event.at(field) != nullptr; };
        if (ph == "X" && !(has("dur") && event.at("dur")->is_number() &&
                           std::get<double>(event.at("dur")->value) >= 0)) {
            return "a complete event without a duration";
        }
        if (ph == "i" && !(has("s") && std::string("gpt").find(std::get<std::string>(
                                           event.at("s")->value)) != std::string::npos)) {
            return "an instant event without a scope";
        }
        if ((ph == "s" || ph == "f") && !has("id")) {
            return "a flow event without an id";
        }
        if (ph == "M" && !(has("args") && (event.at("args")->at("name") != nullptr ||
                                           event.at("args")->at("sort_index") != nullptr))) {
            return "a metadata event without its value";
        }
        if (std::string("XisfM").find(ph) == std::string::npos) {
            return "an unexpected phase " + ph;
        }
    }
    return "";
}

// What is wrong with `text` as a picture in `format`, or "".
std::string problem(const std::string &format, const std::string &text,
                    const std::filesystem::path &folder)
{
    if (std::string found = text_problem(text); !found.empty()) {
        return found;
    }
    if (format == "svg" || format == "html") {
        return markup_problem(text, format == "html");
    }
    if (format == "mermaid") {
        // Every label: letters, digits, harmless signs, entity codes, our breaks.
        static const std::regex label(R"(\[\"(.*?)\"\])"),
            plain(R"(([\w .,:/+=()'!?@%-]|#\d+;|<br>)*)");
        for (auto match = std::sregex_iterator(text.begin(), text.end(), label);
             match != std::sregex_iterator(); ++match) {
            if (!std::regex_match((*match)[1].str(), plain)) {
                return "a label with syntax in it: " + (*match)[1].str();
            }
        }
        return text.find("\nflowchart LR\n") == std::string::npos ? "no flowchart" : "";
    }
    if (format == "dot") {
        const std::string dot = find_program("dot");
        if (dot.empty()) {
            return "";  // the browser test says whether tools are missing
        }
        const Result run = runner::run_on_pipe(
            "/bin/sh", {.args = {"-c", "\"$0\" -Tsvg \"$1\"", dot, (folder / "picture").string()}});
        if (run.exit_code() != 0 || !run.err.empty()) {
            return "dot refused it: " + run.err;
        }
        return run.out.find("<script") != std::string::npos ? "dot made a <script> of it" : "";
    }
    try {
        return trace_event_problem(JsonParser(text).document());
    } catch (const std::exception &error) {
        return std::string("not JSON: ") + error.what();
    }
}

// How many times `pattern` occurs in `text`.
long count(const std::string &text, const std::regex &pattern)
{
    return std::distance(std::sregex_iterator(text.begin(), text.end(), pattern),
                         std::sregex_iterator());
}

// What marks a process in a picture of each format.
const std::regex &process_mark(const std::string &format)
{
    static const std::map<std::string, std::regex> marks{
        {"svg", std::regex(R"(<g class="lane( odd)?" data-lane=)")},
        {"html", std::regex(R"(<g class="lane( odd)?" data-lane=)")},
        {"dot", std::regex(R"(\n  p\d+ \[label=)")},
        {"mermaid", std::regex(R"(\n  p\d+\[")")},
        {"perfetto", std::regex(R"("name":"process_name")")}};
    return marks.at(format);
}

// A command's output that tries to be markup, a quote, a NUL, a terminal
// escape, invalid UTF-8 and a noncharacter; its command line tries too.
const std::vector<std::string> hostile{
    "/bin/sh", "-c",
    R"(printf '</title><script>alert(1)</script>"\047&\000\033[31m\377\357\277\276\n')"};
const std::vector<std::string> thousand{
    "/bin/sh", "-c", "i=0; while [ $i -lt 1000 ]; do /bin/true & i=$((i+1)); done; wait"};

struct Picture {
    std::string format;
    std::vector<std::string> command;
    long processes;
};

void PrintTo(const Picture &row, std::ostream *os)
{
    *os << row.format << (row.processes == 1 ? "_hostile" : "_1000_processes");
}

class PictureOfATrace : public testing::TestWithParam<Picture> {};

TEST_P(PictureOfATrace, IsWellFormedWithTheCommandsBytesAsText)
{
    const Picture &row = GetParam();
    const runner::ScratchFolder folder("forktrace-picture");
    std::vector<std::string> args{"-f",   row.format, "-o", (folder.path() / "picture").string(),
                                  "--on", "pipe"};
    args.insert(args.end(), row.command.begin(), row.command.end());
    const Result run = runner::run_on_pipe(
        runner::program_path("forktrace"),
        {.args = args, .env = runner::traced_environment(), .timeout = std::chrono::seconds(100)});
    ASSERT_EQ(run.exit_code(), 0) << run;
    const std::string text = read_file(folder.path() / "picture");
    EXPECT_EQ(problem(row.format, text, folder.path()), "") << text.substr(0, 4000);
    EXPECT_EQ(count(text, process_mark(row.format)), row.processes) << text.substr(0, 4000);
    if (row.processes == 1 && (row.format == "svg" || row.format == "html")) {
        // The output line, shown as the text it is.
        EXPECT_NE(text.find("&lt;/title&gt;&lt;script&gt;alert(1)&lt;/script&gt;&quot;&#39;&amp;"
                            "\\x00\\e[31m\\xff\\ufffe"),
                  std::string::npos)
            << text;
    }
    if (row.format == "svg") {
        // Its style is its own: every selector under its class, none that
        // would restyle a page it is put in.
        const std::size_t from = text.find("<style>") + 7, to = text.find("</style>");
        std::istringstream rules(text.substr(from, to - from));
        for (std::string rule; std::getline(rules, rule, '}');) {
            std::istringstream selectors(rule.substr(0, rule.find('{')));
            for (std::string selector; std::getline(selectors, selector, ',');) {
                selector.erase(0, selector.find_first_not_of(" \n"));
                EXPECT_TRUE(selector.empty() || selector.starts_with(".forktrace-timeline "))
                    << selector;
            }
        }
    }
    if (row.processes == 1 && row.format == "html") {
        // The step-through's output keeps its newline: not escaped twice.
        EXPECT_NE(text.find(R"(\xff)"
                            "\xef\xbf\xbe"
                            R"(\n")"),
                  std::string::npos)
            << text;
    }
    if (row.processes == 1 && row.format == "perfetto") {
        EXPECT_NE(text.find(R"("text":"</title><script>alert(1)</script>\"'&\\x00\\e[31m\\xff)"),
                  std::string::npos)
            << text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PictureOfATrace,
    testing::Values(Picture{"svg", hostile, 1}, Picture{"html", hostile, 1},
                    Picture{"dot", hostile, 1}, Picture{"mermaid", hostile, 1},
                    Picture{"perfetto", hostile, 1}, Picture{"svg", thousand, 1001},
                    Picture{"html", thousand, 1001}, Picture{"dot", thousand, 1001},
                    Picture{"mermaid", thousand, 1001}, Picture{"perfetto", thousand, 1001}),
    [](const auto &row) {
        return row.param.format + (row.param.processes == 1 ? "_hostile" : "_1000_processes");
    });

// Every format counts a process's lines as the text report's table does (a
// line written in pieces is one line, of the process that ended it), and
// their sum is the header's: each demo, on a terminal and through a pipe,
// which the trees' titles say.
class PictureCounts : public testing::TestWithParam<std::tuple<std::string, runner::Output>> {};

// The lines of each process, smallest first (the processes of fanout come
// in another order each run): the first group of each match names the
// process, the second counts its lines (added up over its stages where
// `add_up`).
std::vector<long> matches(const std::string &text, const std::regex &regex, bool add_up = false)
{
    std::vector<std::string> names;
    std::vector<long> lines;
    for (std::sregex_iterator at(text.begin(), text.end(), regex), end; at != end; ++at) {
        const auto known = std::find(names.begin(), names.end(), (*at)[1].str());
        if (known == names.end()) {
            names.push_back((*at)[1]);
            lines.push_back(std::stol((*at)[2]));
        } else if (add_up) {
            lines[static_cast<std::size_t>(known - names.begin())] += std::stol((*at)[2]);
        }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST_P(PictureCounts, AgreeWithTheTextReport)
{
    const auto &[demo, on] = GetParam();
    const runner::ScratchFolder folder("forktrace-counts");
    // What ls lists, the same every run; the reports go beside it.
    const std::filesystem::path work = folder.path() / "work";
    std::filesystem::create_directory(work);
    std::ofstream(work / "a-file") << "";
    std::map<std::string, std::string> report;
    for (const std::string format : {"text", "svg", "html", "perfetto", "dot", "mermaid"}) {
        const std::filesystem::path file = folder.path() / format;
        const Result run = runner::run_on_pipe(
            runner::program_path("forktrace"),
            {.args = {"-f", format, "-o", file.string(), "--on", runner::to_string(on),
                      runner::program_path(demo)},
             .env = runner::traced_environment(),
             .faults = {{"FAULT_SLEEP", "0"}, {"FAULT_PROGRAM", runner::program_path("kinwait")}},
             .cwd = work.string()});
        ASSERT_EQ(run.exit_code(), 0) << run;
        report[format] = read_file(file);
    }
    // The text report's table: the lines column, right-aligned under its head.
    const std::string &text = report["text"];
    const std::size_t head = text.find("    pid  place");
    ASSERT_NE(head, std::string::npos) << text;
    const std::size_t head_end = text.find('\n', head);
    const std::size_t column = text.find(" lines", head) + std::string(" lines").size() - head;
    std::vector<long> table;
    std::istringstream rows(text.substr(head_end + 1));
    for (std::string row; std::getline(rows, row) && row.size() > column;) {
        std::istringstream lines(row.substr(0, column).substr(row.rfind(' ', column - 1)));
        long written = 0;
        lines >> written;
        table.push_back(written);
    }
    std::sort(table.begin(), table.end());
    std::smatch total;
    ASSERT_TRUE(std::regex_search(text, total, std::regex(R"((\d+) lines? in \d+ writes?)")));
    EXPECT_EQ(std::accumulate(table.begin(), table.end(), 0L), std::stol(total[1])) << text;
    // A count of ten digits or more is given in short in the pictures' one
    // line, as the text report gives it beside the exact number.
    std::smatch about;
    if (std::regex_search(text, about, std::regex(R"(one of [\d,]+ \((about [\d.e]+)\))"))) {
        EXPECT_NE(report["svg"].find(">This run is one of " + about[1].str() + " possible"),
                  std::string::npos);
        EXPECT_NE(report["html"].find(">This run is one of " + about[1].str() + " possible"),
                  std::string::npos);
    }
    const std::regex lane(R"((\d+) [^:<>]*: (\d+) lines? written)");
    EXPECT_EQ(matches(report["svg"], lane), table) << text;
    EXPECT_EQ(matches(report["html"], lane), table) << text;
    EXPECT_EQ(
        matches(
            report["perfetto"],
            std::regex(
                R"re("name":"(\d+) [^"]*","cat":"process"[^{]*\{"parent":-?\d+,"lines":(\d+))re")),
        table)
        << text;
    // Perfetto's forks carry the lines they copied, its losses the lines
    // thrown away: as many as the text report's copies and lost lines.
    const auto sum = [](const std::string &in, const std::string &pattern) {
        long all = 0;
        const std::regex regex(pattern);
        for (std::sregex_iterator at(in.begin(), in.end(), regex), end; at != end; ++at) {
            all += std::stol((*at)[1]);
        }
        return all;
    };
    std::smatch copies;
    const long copied = std::regex_search(text, copies, std::regex(R"( \+ (\d+) copies:)"))
                            ? std::stol(copies[1])
                            : 0;
    EXPECT_EQ(sum(report["perfetto"], R"("copied lines":(\d+))"), copied) << text;
    EXPECT_EQ(sum(report["perfetto"], R"("cat":"loss","ph":"i","s":"t","args":\{"lines":(\d+))"),
              count(text, std::regex(R"(  \(lost (at|when) [^)\n]*\)\n)")))
        << text;
    for (const std::string format : {"dot", "mermaid"}) {
        // By process and its stages between execs (p1s2, say); a process that
        // wrote nothing says nothing.
        std::vector<long> drawn;
        const std::string &picture = report[format];
        for (std::size_t place = 0; place < table.size(); ++place) {
            const std::vector<long> stages =
                matches(picture,
                        std::regex("\\bp(" + std::to_string(place) +
                                   ")(?:s\\d+)? ?\\[[^\\]]*?wrote (\\d+) lines?"),
                        true);
            drawn.push_back(stages.empty() ? 0 : stages.front());
        }
        std::sort(drawn.begin(), drawn.end());
        EXPECT_NE(picture.find("forktrace: " + demo + " on a " + runner::to_string(on)),
                  std::string::npos)
            << picture;
        if (demo == "lsbranch" && on == runner::Output::terminal) {
            // The child's line went out before its exec: in the box before it.
            EXPECT_TRUE(std::regex_search(
                picture, std::regex(R"(p1 ?\[(label=)?"\d+ lsbranch(\\n|<br>)wrote 1 line")")))
                << picture;
        }
        EXPECT_EQ(drawn, table) << format << "\n" << picture << text;
    }
}

INSTANTIATE_TEST_SUITE_P(Demos, PictureCounts,
                         testing::Combine(testing::Values("kinwait", "lsbranch", "fanout"),
                                          testing::Values(runner::Output::terminal,
                                                          runner::Output::pipe)),
                         [](const auto &row) {
                             return std::get<0>(row.param) + "_" +
                                    runner::to_string(std::get<1>(row.param));
                         });

// The first sixteen lanes' colours are told apart from each other and from
// the loss red: CIE76 difference over 15 as seen, and as seen without red
// or green cones (Machado, Oliveira and Fernandes's matrices).
TEST(PictureColours, SixteenLanesApartFromEachOtherAndTheLossRed)
{
    using Rgb = std::array<double, 3>;
    const auto linear = [](double c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    const auto lab = [](const Rgb &rgb) {  // from linear light
        const double x = (0.4124 * rgb[0] + 0.3576 * rgb[1] + 0.1805 * rgb[2]) / 0.95047,
                     y = 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2],
                     z = (0.0193 * rgb[0] + 0.1192 * rgb[1] + 0.9505 * rgb[2]) / 1.08883;
        const auto f = [](double t) {
            return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116;
        };
        return Rgb{116 * f(y) - 16, 500 * (f(x) - f(y)), 200 * (f(y) - f(z))};
    };
    using Matrix = std::array<Rgb, 3>;
    const std::vector<Matrix> views{
        {Rgb{1, 0, 0}, Rgb{0, 1, 0}, Rgb{0, 0, 1}},
        {Rgb{0.367322, 0.860646, -0.227968}, Rgb{0.280085, 0.672501, 0.047413},
         Rgb{-0.011820, 0.042940, 0.968881}},
        {Rgb{0.152286, 1.052583, -0.204868}, Rgb{0.114503, 0.786281, 0.099216},
         Rgb{-0.003882, -0.048116, 1.051998}}};
    const auto seen = [&](const std::string &hex, const Matrix &view) {
        Rgb light{};
        for (std::size_t i = 0; i < 3; ++i) {
            light[i] = linear(std::stoi(hex.substr(1 + 2 * i, 2), nullptr, 16) / 255.0);
        }
        Rgb out{};
        for (std::size_t i = 0; i < 3; ++i) {
            for (std::size_t j = 0; j < 3; ++j) {
                out[i] += view[i][j] * light[j];
            }
            out[i] = std::clamp(out[i], 0.0, 1.0);
        }
        return lab(out);
    };
    std::vector<std::string> colours{"#dc2626"};
    for (std::size_t lane = 0; lane < 16; ++lane) {
        colours.push_back(forktrace::picture::colour(lane));
    }
    for (const Matrix &view : views) {
        for (std::size_t a = 0; a < colours.size(); ++a) {
            for (std::size_t b = a + 1; b < colours.size(); ++b) {
                const Rgb p = seen(colours[a], view), q = seen(colours[b], view);
                EXPECT_GT(std::hypot(p[0] - q[0], p[1] - q[1], p[2] - q[2]), 15)
                    << colours[a] << " " << colours[b];
            }
        }
    }
}

// Headless Chromium on a file: its DOM after scripts ran, what it said on the
// console, and a screenshot.
struct Rendered {
    std::string dom, console;
    std::uintmax_t screenshot_size = 0;
};

Rendered render(const std::string &chromium, const std::filesystem::path &file,
                const std::string &size = "1200,900")
{
    const runner::ScratchFolder profile("forktrace-chromium");
    const std::filesystem::path dom = profile.path() / "dom", log = profile.path() / "log",
                                png = profile.path() / "shot.png";
    const std::string flags =
        "--headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
        "--disable-background-networking --disable-component-update --disable-sync "
        "--hide-scrollbars --enable-logging=stderr --v=0 --user-data-dir=\"$1\"/profile";
    const Result run = runner::run_on_pipe(
        "/bin/sh",
        {.args = {"-c",
                  "\"$0\" " + flags + " --dump-dom \"$2\" >\"$1\"/dom 2>\"$1\"/log && \"$0\" " +
                      flags + " --window-size=" + size + " --screenshot=\"$1\"/shot.png \"$2\" " +
                      ">/dev/null 2>&1",
                  chromium, profile.path().string(), "file://" + file.string()},
         .timeout = std::chrono::seconds(90)});
    EXPECT_EQ(run.exit_code(), 0) << run << read_file(log);
    Rendered rendered{read_file(dom), {}, 0};
    std::istringstream lines(read_file(log));
    for (std::string line; std::getline(lines, line);) {
        if (line.find(":CONSOLE") != std::string::npos) {
            rendered.console += line + "\n";
        }
    }
    std::error_code error;
    rendered.screenshot_size = std::filesystem::file_size(png, error);
    return rendered;
}

class PictureInABrowser : public testing::TestWithParam<std::string> {};

TEST_P(PictureInABrowser, ShowsFanoutsSixteenLanesAndSixtyFourLines)
{
    const std::string chromium = find_program("chromium");
    if (const std::string why = missing("chromium", "chromium"); !why.empty()) {
        GTEST_SKIP() << why;
    }
    const runner::ScratchFolder folder("forktrace-browser");
    const std::filesystem::path page = folder.path() / ("fanout." + GetParam());
    const Result run = runner::run_on_pipe(runner::program_path("forktrace"),
                                           {.args = {"-f", GetParam(), "-o", page.string(), "--on",
                                                     "pipe", runner::program_path("fanout")},
                                            .env = runner::traced_environment()});
    ASSERT_EQ(run.exit_code(), 0) << run;

    const Rendered shown = render(chromium, page);
    EXPECT_EQ(count(shown.dom, process_mark("svg")), 16) << shown.dom;
    EXPECT_EQ(count(shown.dom, std::regex(R"(class="line-mark)")), 64) << shown.dom;
    EXPECT_EQ(shown.console, "") << "the page said something on the console";

    // A blank page of the same size, for scale: a picture's screenshot is
    // many times larger.
    std::ofstream(folder.path() / "blank.html") << "<!DOCTYPE html><title>blank</title>\n";
    const Rendered blank = render(chromium, folder.path() / "blank.html");
    EXPECT_GT(shown.screenshot_size, 4 * blank.screenshot_size)
        << "the screenshot looks blank: " << shown.screenshot_size << " bytes, a blank page's "
        << blank.screenshot_size;
}

INSTANTIATE_TEST_SUITE_P(Pages, PictureInABrowser, testing::Values("svg", "html"),
                         [](const auto &format) { return format.param; });

// The three facts the pictures are for, in a real browser: fanout's lines a
// fork copied, drawn apart and in their printer's colour; kinwait's lines
// lost at the child's exec, in the page's text; and the timeline still drawn
// in a phone's 400 pixels.
TEST(PictureInABrowser, ShowsWhoPrintedWhatForksCopiedAndWhatExecsLost)
{
    const std::string chromium = find_program("chromium");
    if (const std::string why = missing("chromium", "chromium"); !why.empty()) {
        GTEST_SKIP() << why;
    }
    const runner::ScratchFolder folder("forktrace-lesson");
    const auto draw = [&](const std::string &format, const std::string &program,
                          const std::vector<std::string> &more) {
        std::filesystem::path page = folder.path() / (program + "." + format);
        std::vector<std::string> args{"-f", format, "-o", page.string(), "--on", "pipe"};
        args.insert(args.end(), more.begin(), more.end());
        args.push_back(runner::program_path(program));
        const Result run = runner::run_on_pipe(
            runner::program_path("forktrace"),
            {.args = args,
             .env = runner::traced_environment(),
             .faults = {{"FAULT_SLEEP", "0"}, {"FAULT_PROGRAM", runner::program_path("kinwait")}}});
        EXPECT_EQ(run.exit_code(), 0) << run;
        return page;
    };

    // Each copied line's outline is the colour of its printer's lane label.
    const Rendered fanout = render(chromium, draw("svg", "fanout", {}));
    std::map<std::string, std::string> label_colour;
    const std::regex label(
        R"re(data-lane="(\d+)"[^>]*>(?:<title>[^<]*</title>)?<rect[^>]*/><text class="label" fill="([^"]+)")re");
    for (std::sregex_iterator at(fanout.dom.begin(), fanout.dom.end(), label), end; at != end;
         ++at) {
        label_colour[(*at)[1]] = (*at)[2];
    }
    EXPECT_EQ(label_colour.size(), 16U) << fanout.dom.substr(0, 3000);
    const std::regex copied(
        R"re(class="line-mark copied" data-printer="(\d+)" stroke="([^"]+)")re");
    int copies = 0;
    for (std::sregex_iterator at(fanout.dom.begin(), fanout.dom.end(), copied), end; at != end;
         ++at) {
        ++copies;
        EXPECT_EQ((*at)[2], label_colour[(*at)[1]]) << "a copied line not in its printer's colour";
    }
    EXPECT_EQ(copies, 34);

    // The seven lines of kinwait's child, in the page's own text.
    const Rendered kinwait = render(chromium, draw("html", "kinwait", {"--input", "3\\n"}));
    const std::size_t section = kinwait.dom.find("<section id=\"lost\">");
    ASSERT_NE(section, std::string::npos) << kinwait.dom;
    const std::string lost =
        kinwait.dom.substr(section, kinwait.dom.find("</section>", section) - section);
    for (const char *line :
         {"CHILD: I am the child process!", "CHILD: Here's my PID: ", "CHILD: My parent's PID is: ",
          "CHILD: The value of my copy of childpid is: 0", "CHILD: The value of a is : 43",
          "CHILD: Sleeping for 5 second...", "CHILD: Enter an exit value (0 to 255): "}) {
        EXPECT_NE(lost.find(line), std::string::npos) << line << "\n" << lost;
    }
    EXPECT_NE(lost.find("7 lines lost at its exec of date"), std::string::npos) << lost;

    // On a phone: drawn all the same, and not blank.
    std::ofstream(folder.path() / "blank.html") << "<!DOCTYPE html><title>blank</title>\n";
    const Rendered narrow = render(chromium, folder.path() / "fanout.svg", "400,700");
    const Rendered blank = render(chromium, folder.path() / "blank.html", "400,700");
    EXPECT_GT(narrow.screenshot_size, 4 * blank.screenshot_size);
}

// Graphviz, on a tree with execs and failed ones: the hostile row above
// checks it only where dot is installed, this says when it is not.
TEST(PictureForGraphviz, IsAcceptedByDot)
{
    if (const std::string why = missing("dot", "graphviz"); !why.empty()) {
        GTEST_SKIP() << why;
    }
    const runner::ScratchFolder folder("forktrace-dot");
    const Result run = runner::run_on_pipe(
        runner::program_path("forktrace"),
        {.args = {"-f", "dot", "-o", (folder.path() / "picture").string(), "--fail", "exec", "--on",
                  "pipe", runner::program_path("lsbranch")},
         .env = runner::traced_environment()});
    ASSERT_EQ(run.exit_code(), 0) << run;
    const std::string text = read_file(folder.path() / "picture");
    EXPECT_EQ(problem("dot", text, folder.path()), "") << text;
    EXPECT_EQ(count(text, process_mark("dot")), 3) << text;
}

}  // namespace
