// Every program in hostile surroundings: its output closed or full, its input
// closed, the reader of its output gone after the first line. No crash, no
// hang; output that could not be written is reported on standard error with
// status 1, otherwise each process ends as usual; only where the reader has
// left may a process die of SIGPIPE. forktrace, tracing 200000 lines of
// `yes`, passes all that on, and keeps its report apart.
#include "runner.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>

namespace {

using runner::Options;
using runner::Result;
using runner::Sink;

struct Surroundings {
    std::string name;
    Options options;
    std::string write_error;  // the reason reported, when output is lost
};

void PrintTo(const Surroundings &row, std::ostream *os) { *os << row.name; }

class HostileSurroundings : public testing::TestWithParam<std::tuple<std::string, Surroundings>> {};

TEST_P(HostileSurroundings, EndWithoutCrashOrHang)
{
    const auto &[program, surroundings] = GetParam();
    Options options = surroundings.options;
    options.faults = {{"FAULT_SLEEP", "0"}};  // kinwait's pause; the others do not sleep
    options.script = {{.send = "5\n"}};       // kinwait's exit value; the others do not read
    const bool tracer = program == "forktrace";
    const runner::ScratchFolder folder("surroundings");
    const std::filesystem::path report = folder.path() / "report";
    if (tracer) {
        options.args = {"-o", report.string(),       "--on", "pipe", "/bin/sh",
                        "-c", "yes | head -n 200000"};
        options.env = runner::traced_environment();
    }
    const Result run = runner::run_on_pipe(runner::program_path(program), options);

    const bool sigpipe = (WIFSIGNALED(run.wait_status) && WTERMSIG(run.wait_status) == SIGPIPE) ||
                         (tracer && run.exit_code() == 128 + SIGPIPE);
    if (tracer) {
        std::ifstream file(report);
        std::string first;
        std::getline(file, first);
        EXPECT_EQ(first,
                  "   time  write  written by         printed by     printed at         line")
            << run;
    }
    if (!surroundings.write_error.empty()) {
        EXPECT_EQ(run.exit_code(), 1) << run;
        EXPECT_NE(run.err.find(program + ": write error: " + surroundings.write_error + "\n"),
                  std::string::npos)
            << run;
    } else if (!(options.reader_leaves_after > 0 && sigpipe)) {
        EXPECT_EQ(run.exit_code(), 0) << run;
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllPrograms, HostileSurroundings,
    testing::Combine(
        testing::Values("kinwait", "lsbranch", "fanout", "forktrace"),
        testing::Values(
            Surroundings{"stdout_closed", {.stdout_sink = Sink::closed}, "Bad file descriptor"},
            Surroundings{"stdout_full", {.stdout_sink = Sink::full}, "No space left on device"},
            Surroundings{"stdin_closed", {.stdin_closed = true}},
            Surroundings{"reader_gone", {.reader_leaves_after = 1}})),
    [](const auto &row) { return std::get<0>(row.param) + "_" + std::get<1>(row.param).name; });

}  // namespace
