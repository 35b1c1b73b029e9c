// forklab: fork exercises whose answers come from running them. Each
// exercise is a small C program made from a seed; it is compiled with the
// system's cc and run, traced, on a terminal and through a pipe, and every
// answer is read off those runs.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include <unistd.h>

#include "command_line.hpp"
#include "exercise.hpp"
#include "generate.hpp"
#include "key.hpp"
#include "quiz.hpp"
#include "run.hpp"

namespace {

using forklab::status_failed;

// The whole of a file, or nothing after saying why.
std::optional<std::string> read_whole(const std::string &name)
{
    std::string why;
    std::optional<std::string> text = forktrace::read_file(name, why);
    if (!text) {
        forktrace::say("forklab: cannot read %s: %s\n", forktrace::printable(name).c_str(),
                       why.c_str());
    }
    return text;
}

// A seed that is easy to type again.
std::uint64_t random_seed() { return std::random_device{}() % 100000 + 1; }

// The exercise's program compiled in `folder` and run both ways; or the
// status to end with.
std::variant<forklab::Exercise, int> prepared(std::uint64_t seed, int level,
                                              const std::string &program,
                                              const std::filesystem::path &folder)
{
    forklab::Exercise exercise{seed, level, program, {}};
    const std::optional<std::filesystem::path> compiled = forklab::compile(program, folder);
    std::optional<forklab::Answers> answers;
    if (compiled) {
        answers = forklab::answer(*compiled);
    }
    // A signal, in the compiler's time or the runs', ends forklab as it
    // would any program.
    if (forktrace::interrupted() != 0) {
        return 128 + forktrace::interrupted();
    }
    if (!answers) {
        return status_failed;
    }
    exercise.answers = std::move(*answers);
    return exercise;
}

int key(const forklab::Options &o)
{
    const std::optional<std::filesystem::path> folder = forklab::make_scratch();
    if (!folder) {
        return status_failed;
    }
    std::vector<forklab::Exercise> exercises;
    int status = 0;
    for (std::uint64_t seed = o.first_seed; seed <= o.last_seed && status == 0; ++seed) {
        auto made = prepared(seed, o.level, forklab::generate(seed, o.level), *folder);
        if (const int *failed = std::get_if<int>(&made)) {
            status = *failed;
        } else {
            exercises.push_back(std::move(std::get<forklab::Exercise>(made)));
        }
    }
    forklab::remove_scratch(*folder);
    if (status != 0) {
        return status;
    }
    std::FILE *out = o.output.empty() ? stdout : std::fopen(o.output.c_str(), "w");
    if (out == nullptr) {
        forktrace::say("forklab: cannot write %s: %s\n", o.output.c_str(), std::strerror(errno));
        return status_failed;
    }
    forklab::write_key(out, exercises, o.format);
    const bool written = std::ferror(out) == 0;
    if ((out == stdout ? std::fflush(out) : std::fclose(out)) != 0 || !written) {
        forktrace::say("forklab: cannot write the key: %s\n", std::strerror(errno));
        return status_failed;
    }
    return 0;
}

int quiz(const forklab::Options &o)
{
    const std::uint64_t seed = o.seed ? *o.seed : random_seed();
    const std::optional<std::filesystem::path> folder = forklab::make_scratch();
    if (!folder) {
        return status_failed;
    }
    auto made = prepared(seed, o.level, forklab::generate(seed, o.level), *folder);
    forklab::remove_scratch(*folder);
    if (const int *failed = std::get_if<int>(&made)) {
        return *failed;
    }
    const forklab::Exercise &exercise = std::get<forklab::Exercise>(made);
    if (::isatty(STDIN_FILENO) == 0) {
        // Nobody to ask: the exercise and its answers.
        static_cast<void>(std::printf(
            "Exercise %llu, level %d (no terminal to ask on: the answers follow)\n\n%s\n%s",
            static_cast<unsigned long long>(seed), o.level, exercise.program.c_str(),
            forklab::answers_text(exercise).c_str()));
        return 0;
    }
    // The runs are over: Ctrl-C at a question ends forklab as it would any
    // program.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        static_cast<void>(std::signal(signal, SIG_DFL));
    }
    return forklab::ask(exercise);
}

int check(const forklab::Options &o)
{
    const std::optional<std::string> source = read_whole(o.program);
    if (!source) {
        return status_failed;
    }
    forklab::Prediction prediction{o.terminal_lines, o.pipe_lines, std::nullopt};
    if (!o.predicted_output.empty() && !(prediction.output = read_whole(o.predicted_output))) {
        return status_failed;
    }
    const std::optional<std::filesystem::path> folder = forklab::make_scratch();
    if (!folder) {
        return status_failed;
    }
    auto made = prepared(0, 0, *source, *folder);
    forklab::remove_scratch(*folder);
    if (const int *failed = std::get_if<int>(&made)) {
        return *failed;
    }
    const forklab::Exercise &exercise = std::get<forklab::Exercise>(made);
    if (!prediction.terminal_lines && !prediction.pipe_lines && !prediction.output) {
        static_cast<void>(std::fputs(forklab::answers_text(exercise).c_str(), stdout));
        return 0;
    }
    return forklab::check(exercise, prediction) ? 0 : 1;
}

// The status to end with, once standard output has taken all it was given.
int ended(int status)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        forktrace::say("forklab: cannot write the output: %s\n", std::strerror(errno));
        return status_failed;
    }
    return status;
}

}  // namespace

int main(int argc, char *argv[])
{
    try {
        const forklab::Parsed parsed = forklab::parse(argc, argv);
        if (parsed.exit_status) {
            return ended(*parsed.exit_status);
        }
        const forklab::Options &o = parsed.options;
        if (o.command == forklab::Command::new_program) {
            const std::uint64_t seed = o.seed ? *o.seed : random_seed();
            const std::string program = forklab::generate(seed, o.level);
            static_cast<void>(std::fwrite(program.data(), 1, program.size(), stdout));
            return ended(0);
        }
        forktrace::prepare_to_run();
        switch (o.command) {
            case forklab::Command::key:
                return ended(key(o));
            case forklab::Command::quiz:
                return ended(quiz(o));
            default:
                return ended(check(o));
        }
    } catch (const std::exception &error) {
        forktrace::say("forklab: %s\n", error.what());
        return status_failed;
    }
}
