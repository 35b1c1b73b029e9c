#include "exercise.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>

#include <sys/wait.h>
#include <unistd.h>

#include "history.hpp"
#include "launch.hpp"
#include "possible.hpp"
#include "run.hpp"

extern char **environ;

namespace forklab {
namespace {

// `cc` as a shell finds it, or nothing.
std::optional<std::string> compiler()
{
    for (const std::string &candidate : forktrace::candidates("cc")) {
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::vector<std::string> environment()
{
    std::vector<std::string> env;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        env.emplace_back(*entry);
    }
    return env;
}

Run traced(const std::filesystem::path &program, forktrace::On on, bool &failed)
{
    Run run;
    forktrace::Options options;
    options.on = on;
    options.input = "";  // nothing to read: its input ends at once
    options.command = {program.string()};
    forktrace::Run plan;
    plan.emit = [&run](const forktrace::Event &event) { run.events.push_back(event); };
    plan.show_on = -1;
    plan.received = &run.output;
    run.status = forktrace::run_command(options, program.string(), plan);
    failed = run.status == forktrace::status_failed || forktrace::interrupted() != 0;
    if (on == forktrace::On::terminal) {
        std::string output;
        for (std::size_t i = 0; i < run.output.size(); ++i) {
            if (!(run.output[i] == '\r' && i + 1 < run.output.size() &&
                  run.output[i + 1] == '\n')) {
                output += run.output[i];
            }
        }
        run.output = output;
    }
    forktrace::History history;
    for (const forktrace::Event &event : run.events) {
        history.add(event);
    }
    run.processes = history.processes().size();
    run.lines = count_lines(run.output);
    for (const forktrace::Event &event : run.events) {
        if (event.kind == forktrace::Event::Kind::write &&
            event.stream == forktrace::Stream::output) {
            std::size_t offset = 0;
            for (const forktrace::Piece &piece : forktrace::split_lines(event.data)) {
                const pid_t printer = forktrace::origin_at(event.origins, offset);
                run.copied_lines += printer != 0 && printer != event.pid ? 1 : 0;
                offset += piece.text.size() + (piece.newline ? 1 : 0);
            }
        }
        if (event.lost) {
            run.lost_lines += forktrace::split_lines(*event.lost).size();
        }
    }
    const forktrace::Order order = forktrace::order_of(run.events);
    // Every order has the same newlines; a last line without one is there
    // when the last write does not end with one, and any write that no other
    // must follow can be last.
    std::vector<bool> followed(order.writes.size(), false);
    for (const forktrace::Write &write : order.writes) {
        for (const std::size_t before : write.after) {
            followed[before] = true;
        }
    }
    bool may_end_a_line = false, may_not = false;
    for (std::size_t w = 0; w < order.writes.size(); ++w) {
        const std::string &text = order.writes[w].text;
        if (!followed[w] && !text.empty()) {
            (text.back() == '\n' ? may_end_a_line : may_not) = true;
        }
    }
    const auto newlines =
        static_cast<std::size_t>(std::count(run.output.begin(), run.output.end(), '\n'));
    run.fewest_lines = newlines + (may_end_a_line || !may_not ? 0 : 1);
    run.most_lines = newlines + (may_not ? 1 : 0);
    if (order.too_large || run.lines < run.fewest_lines || run.lines > run.most_lines) {
        run.fewest_lines = run.most_lines = run.lines;  // not worked out: this run's alone
    }
    const std::optional<mpz_class> orders = forktrace::count_orders(order);
    run.orders = orders ? orders->get_str() : "";
    const forktrace::Outputs outputs = forktrace::count_outputs(order, orders);
    run.outputs = outputs.count ? outputs.count->get_str() : "";
    return run;
}

}  // namespace

std::size_t count_lines(const std::string &text)
{
    const auto newlines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    return newlines + (text.empty() || text.back() == '\n' ? 0 : 1);
}

std::optional<std::filesystem::path> compile(const std::string &source,
                                             const std::filesystem::path &folder)
{
    const std::optional<std::string> cc = compiler();
    if (!cc) {
        forktrace::say(
            "forklab: no C compiler: cc is not on PATH (on Debian: apt-get install gcc)\n");
        return std::nullopt;
    }
    const std::filesystem::path file = folder / "exercise.c", program = folder / "exercise";
    std::ofstream(file) << source;
    launch::Launched launched;
    try {
        launch::Program cc_run;
        cc_run.argv = {"cc", "-g", "-O0", "-o", program.string(), file.string()};
        cc_run.file = *cc;
        cc_run.env = environment();
        cc_run.errors_apart = false;  // its messages and its output are one stream
        launched = launch::start(cc_run);
    } catch (const std::system_error &error) {
        forktrace::say("forklab: cannot run cc: %s\n", error.what());
        return std::nullopt;
    }
    launched.input().reset();
    std::string said;
    char buffer[4096];
    for (ssize_t n = 0; (n = ::read(launched.output().get(), buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            break;
        }
        said.append(buffer, static_cast<std::size_t>(n));
    }
    const int status = launched.status();
    if (!said.empty()) {
        static_cast<void>(std::fwrite(said.data(), 1, said.size(), stderr));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        forktrace::say("forklab: cc could not compile the program\n");
        return std::nullopt;
    }
    return program;
}

std::optional<Answers> answer(const std::filesystem::path &program)
{
    Answers answers;
    bool failed = false;
    answers.terminal = traced(program, forktrace::On::terminal, failed);
    if (failed) {
        return std::nullopt;
    }
    answers.pipe = traced(program, forktrace::On::pipe, failed);
    if (failed) {
        return std::nullopt;
    }
    return answers;
}

std::string report_of(const Run &run,
                      const std::function<std::unique_ptr<forktrace::Report>(std::FILE *out)> &make)
{
    char *data = nullptr;
    std::size_t size = 0;
    std::FILE *out = ::open_memstream(&data, &size);
    if (out == nullptr) {
        return "";
    }
    {
        const std::unique_ptr<forktrace::Report> report = make(out);
        for (const forktrace::Event &event : run.events) {
            report->add(event);
        }
        report->finish();
    }
    static_cast<void>(std::fclose(out));
    std::string text(data, size);
    std::free(data);  // NOLINT(cppcoreguidelines-no-malloc): open_memstream's buffer
    return text;
}

std::string timeline(const Run &run)
{
    return report_of(run, [](std::FILE *out) { return forktrace::svg_report(out, {}); });
}

}  // namespace forklab
