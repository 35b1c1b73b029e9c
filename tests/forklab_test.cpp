// forklab: the answers of its exercises come from traced runs, and they
// agree with the same programs compiled and run here untraced, on a terminal
// and through a pipe; the quiz asks on a terminal and gives the key without
// one; a student's program and prediction are checked and explained.
#include "runner.hpp"

#include <gtest/gtest.h>

#include <gmpxx.h>

#include <algorithm>
#include <fstream>
#include <set>

namespace {

using runner::Output;
using runner::Result;

Result forklab(const std::vector<std::string> &args, runner::Options options = {})
{
    options.args = args;
    options.env.merge(runner::traced_environment());
    return runner::run_on_pipe(runner::program_path("forklab"), options);
}

std::size_t lines_in(const std::string &text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) +
           (text.empty() || text.back() == '\n' ? 0 : 1);
}

void write_file(const std::filesystem::path &path, const std::string &text)
{
    std::ofstream(path) << text;
}

// The program compiled as a student would: cc, no options.
std::filesystem::path compiled(const std::filesystem::path &folder, const std::string &source)
{
    write_file(folder / "exercise.c", source);
    const Result cc = runner::run_on_pipe(
        "cc", {.args = {"-o", (folder / "exercise").string(), (folder / "exercise.c").string()}});
    EXPECT_EQ(cc.exit_code(), 0) << cc;
    return folder / "exercise";
}

// The exercise's program run here untraced, each way: its lines are the
// key's, and its output is one that forktrace, and on a terminal forklab
// itself, find possible, whichever child each wait collected.
void agrees_with_untraced_runs(const std::filesystem::path &folder,
                               const std::map<std::string, std::string> &exercise)
{
    const std::string &program = exercise.at("program");
    const bool waits_choose = std::stoul(exercise.at("runs_terminal")) > 1;
    const std::filesystem::path exe = compiled(folder, program);
    for (const Output output : {Output::terminal, Output::pipe}) {
        const std::string way = runner::to_string(output);
        const Result untraced = runner::run(output, exe.string());
        ASSERT_TRUE(untraced.exited()) << untraced;
        EXPECT_EQ(lines_in(untraced.out), std::stoul(exercise.at("lines_" + way))) << way << "\n"
                                                                                   << untraced;
        const std::filesystem::path answer = folder / "untraced";
        write_file(answer, untraced.out);
        const Result checked = runner::run_on_pipe(
            runner::program_path("forktrace"),
            {.args = {"-o", "/dev/null", "--on", way, "--check", answer.string(), exe.string()},
             .env = runner::traced_environment()});
        EXPECT_EQ(checked.exit_code(), 0) << way << ": not a possible output?\n" << checked;
        if (output == Output::terminal && waits_choose) {
            // forklab's own judgement agrees, whichever child each wait
            // collected in the run its key was made from.
            write_file(folder / "exercise.c", program);
            const Result judged =
                forklab({"check", (folder / "exercise.c").string(), "--output=" + answer.string()});
            EXPECT_EQ(judged.exit_code(), 0) << judged;
            EXPECT_NE(judged.out.find("That output is possible on a terminal"), std::string::npos)
                << judged;
        }
    }
}

class ForklabKey : public testing::TestWithParam<int> {};

// Every exercise of a level: its key's line counts are those of the program
// run here untraced, each untraced output is one that its runs could have
// given, its counts are exact, and a program is the same each time its seed
// makes it. Above level 1, some exercises' waits choose among children.
TEST_P(ForklabKey, AgreesWithUntracedRuns)
{
    const std::string level = std::to_string(GetParam());
    const runner::ScratchFolder folder("forklab-key");
    const std::filesystem::path key = folder.path() / "key.json";
    const Result made =
        forklab({"key", "--seeds=1-12", "--level=" + level, "-f", "json", "-o", key.string()});
    ASSERT_EQ(made.exit_code(), 0) << made;

    std::ifstream lines(key);
    std::vector<std::map<std::string, std::string>> exercises;
    for (std::string line; std::getline(lines, line);) {
        if (auto object = runner::flat_json(line); !object.empty()) {
            exercises.push_back(std::move(object));
        }
    }
    ASSERT_EQ(exercises.size(), 12U);
    std::set<std::string> programs;
    std::size_t choosing = 0, printing_statuses = 0;
    for (const auto &exercise : exercises) {
        const std::string &seed = exercise.at("seed");
        SCOPED_TRACE(testing::Message() << "seed " << seed << " at level " << level);
        EXPECT_EQ(exercise.at("level"), level);
        const std::string &program = exercise.at("program");
        programs.insert(program);
        EXPECT_EQ(forklab({"new", "--seed=" + seed, "--level=" + level}).out, program);
        // Exercises are well posed: the number of lines is the same in every order.
        EXPECT_EQ(exercise.at("lines_vary"), "false");
        EXPECT_GE(std::stoul(exercise.at("processes")), 2U);
        EXPECT_LE(std::stoul(exercise.at("processes")), 40U);
        printing_statuses += program.find("WEXITSTATUS(status)") != std::string::npos ? 1U : 0U;
        const bool waits_choose = std::stoul(exercise.at("runs_terminal")) > 1;
        choosing += waits_choose ? 1U : 0U;
        for (const char *way : {"terminal", "pipe"}) {
            const std::string &orders = exercise.at(std::string("orders_") + way);
            const std::string &outputs = exercise.at(std::string("outputs_") + way);
            ASSERT_NE(orders, "null");
            EXPECT_GE(mpz_class(orders), 1);
            // Every run an exercise can make is explored: its counts are exact.
            EXPECT_EQ(exercise.at(std::string("orders_") + way + "_exact"), "true") << way;
            EXPECT_GE(std::stoul(exercise.at(std::string("runs_") + way)), 1U) << way;
            if (outputs != "null") {
                EXPECT_LE(mpz_class(outputs), mpz_class(orders)) << way;
                EXPECT_GE(mpz_class(outputs), 1) << way;
            }
            EXPECT_EQ(lines_in(exercise.at(std::string("output_") + way)),
                      std::stoul(exercise.at(std::string("lines_") + way)))
                << way;
        }

        agrees_with_untraced_runs(folder.path(), exercise);
    }
    EXPECT_GE(programs.size(), 10U) << "the seeds make too few distinct programs";
    if (level != "1") {
        EXPECT_GE(choosing, 1U) << "no exercise whose waits choose among children";
    }
    if (level == "2") {
        EXPECT_GE(printing_statuses, 1U)
            << "no exercise that prints the statuses its waits collect";
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, ForklabKey, testing::Values(1, 2, 3),
                         [](const auto &row) { return "level_" + std::to_string(row.param); });

// The key for reading: the program as it stands, its answers, and in the
// page each run's timeline.
TEST(ForklabKeyFormats, ShowTheProgramAsItStands)
{
    const std::string program = forklab({"new", "--seed=1", "--level=3"}).out;
    const Result md = forklab({"key", "--seeds=1", "--level=3"});
    ASSERT_EQ(md.exit_code(), 0) << md;
    EXPECT_NE(md.out.find("```c\n" + program + "```"), std::string::npos) << md;
    EXPECT_NE(md.out.find("| lines of output |"), std::string::npos) << md;
    const Result html = forklab({"key", "--seeds=1-2", "--level=3", "-f", "html"});
    ASSERT_EQ(html.exit_code(), 0) << html;
    EXPECT_NE(html.out.find("#include &lt;stdio.h&gt;\n"), std::string::npos) << html;
    std::size_t pictures = 0;
    for (std::size_t at = html.out.find("<svg"); at != std::string::npos;
         at = html.out.find("<svg", at + 1)) {
        ++pictures;
    }
    EXPECT_EQ(pictures, 4U) << "a timeline of each run of each exercise";
}

TEST(ForklabQuiz, WithoutATerminalGivesTheKey)
{
    const Result quiz = forklab({"quiz", "--seed=4", "--level=2"});
    ASSERT_EQ(quiz.exit_code(), 0) << quiz;
    EXPECT_NE(quiz.out.find("no terminal to ask on: the answers follow"), std::string::npos)
        << quiz;
    EXPECT_NE(quiz.out.find(forklab({"new", "--seed=4", "--level=2"}).out), std::string::npos)
        << quiz;
    EXPECT_NE(quiz.out.find("lines of output"), std::string::npos) << quiz;
    EXPECT_EQ(quiz.out.find("How many"), std::string::npos) << quiz;
}

// On a terminal: each question asked before any answer is shown, each answer
// checked against the key's, each wrong one explained, and the timelines left.
TEST(ForklabQuiz, OnATerminalAsksThenExplains)
{
    const runner::ScratchFolder folder("forklab-quiz");
    const std::filesystem::path key = folder.path() / "key.json";
    ASSERT_EQ(
        forklab({"key", "--seeds=4", "--level=2", "-f", "json", "-o", key.string()}).exit_code(),
        0);
    std::ifstream file(key);
    std::string line;
    std::getline(file, line);
    std::getline(file, line);
    const auto answers = runner::flat_json(line);
    const std::string processes = answers.at("processes");

    const auto before_any_answer = [](const std::string &output) {
        EXPECT_EQ(output.find("right"), std::string::npos) << output;
        EXPECT_EQ(output.find("printed:"), std::string::npos) << output;
    };
    const Result quiz = runner::run_on_terminal(
        runner::program_path("forklab"),
        {.args = {"quiz", "--seed=4", "--level=2"},
         .env = runner::traced_environment(),
         .script = {{.await = "How many processes", .send = processes + "\n"},
                    {.await = "lines does it print on a terminal", .send = "999\n"},
                    {.await = "through a pipe", .send = "\n"},
                    {.await = "y or n?", .send = "x\n"},
                    {.await = "(y or n, or Enter alone to skip)", .send = "\n"},
                    {.await = "their places", .send = "7.7\n", .then = before_any_answer}}});
    ASSERT_EQ(quiz.exit_code(), 0) << quiz;
    EXPECT_NE(quiz.out.find("1. processes: you said " + processes + ": right."), std::string::npos)
        << quiz;
    EXPECT_NE(quiz.out.find("2. lines on a terminal: you said 999, it is " +
                            answers.at("lines_terminal") + "."),
              std::string::npos)
        << quiz;
    EXPECT_NE(quiz.out.find("write by write"), std::string::npos) << quiz;
    EXPECT_NE(quiz.out.find("3. lines through a pipe: " + answers.at("lines_pipe") + "."),
              std::string::npos)
        << quiz;
    EXPECT_NE(quiz.out.find("Places: 0 is "), std::string::npos) << quiz;
    EXPECT_NE(quiz.out.find("1 of 5 right"), std::string::npos) << quiz;
    const std::size_t svg = quiz.out.find("/terminal.svg");
    ASSERT_NE(svg, std::string::npos) << quiz;
    const std::size_t start = quiz.out.rfind(' ', svg) + 1;
    const std::filesystem::path picture = quiz.out.substr(start, svg + 13 - start);
    std::ifstream drawn(picture);
    const std::string text((std::istreambuf_iterator<char>(drawn)), {});
    EXPECT_NE(text.find("<svg"), std::string::npos) << picture;
    std::filesystem::remove_all(picture.parent_path());
}

// A student's own program: the classic line a fork copies.
constexpr const char *hello = R"(#include <stdio.h>
#include <unistd.h>
int main(void)
{
    printf("hello ");
    fork();
    printf("world\n");
    return 0;
}
)";

// Two children, and a wait for either between the parent's lines: "one"
// follows the child collected first, "two" both.
constexpr const char *two_waits = R"(#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
int main(void)
{
    for (int i = 0; i < 2; i++) {
        if (fork() == 0) {
            printf("c%d\n", i);
            exit(0);
        }
    }
    wait(NULL);
    printf("one\n");
    wait(NULL);
    printf("two\n");
    return 0;
}
)";

// Children that exit 1 and 2, and the statuses in the order collected.
constexpr const char *statuses = R"(#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
int main(void)
{
    int status;
    for (int i = 0; i < 2; i++) {
        if (fork() == 0) {
            exit(i + 1);
        }
    }
    while (wait(&status) > 0) {
        printf("status %d\n", WEXITSTATUS(status));
    }
    return 0;
}
)";

// Two writes into a pipe, read at once: whether the read gets one or both
// is a choice no run is steered to, so nothing can be proven impossible.
constexpr const char *an_untried_choice = R"(#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
int main(void)
{
    int ends[2];
    if (pipe(ends) != 0) {
        return 1;
    }
    if (fork() == 0) {
        char got[8];
        read(ends[0], got, sizeof got);
        printf("child\n");
        exit(0);
    }
    write(ends[1], "x", 1);
    write(ends[1], "y", 1);
    printf("not yet\n");
    wait(NULL);
    printf("done\n");
    return 0;
}
)";

struct Prediction {
    const char *name;
    std::vector<std::string> args;
    std::string output;  // written to a file for --output when not empty
    int status;
    std::vector<std::string> said;
    const char *program = hello;
};

void PrintTo(const Prediction &row, std::ostream *os) { *os << row.name; }

class ForklabCheck : public testing::TestWithParam<Prediction> {};

TEST_P(ForklabCheck, RightOrExplainedFromTheTrace)
{
    const Prediction &row = GetParam();
    const runner::ScratchFolder folder("forklab-check");
    write_file(folder.path() / "mine.c", row.program);
    std::vector<std::string> args{"check", (folder.path() / "mine.c").string()};
    args.insert(args.end(), row.args.begin(), row.args.end());
    if (!row.output.empty()) {
        write_file(folder.path() / "guess", row.output);
        args.push_back("--output=" + (folder.path() / "guess").string());
    }
    const Result check = forklab(args, {.cwd = folder.path().string()});
    EXPECT_EQ(check.exit_code(), row.status) << check;
    for (const std::string &part : row.said) {
        EXPECT_NE((check.out + check.err).find(part), std::string::npos)
            << "expected: " << part << "\n"
            << check;
    }
    // The program runs in forklab's scratch folder: what it leaves goes with it.
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "left-behind")) << check;
}

INSTANTIATE_TEST_SUITE_P(
    Predictions, ForklabCheck,
    testing::Values(
        Prediction{"right",
                   {"--terminal=2", "--pipe=2"},
                   "",
                   0,
                   {"Lines on a terminal: 2, right.", "Lines through a pipe: 2, right."}},
        Prediction{"wrong_lines",
                   {"--terminal=1"},
                   "",
                   1,
                   {"you said 1; it printed 2", "pending line into the child's buffer"}},
        Prediction{"possible_output",
                   {},
                   "hello world\nhello world\n",
                   0,
                   {"That output is possible on a terminal"}},
        Prediction{"impossible_output",
                   {},
                   "hello hello world\nworld\n",
                   1,
                   {"That output is not possible on a terminal: line 1"}},
        Prediction{"no_prediction", {}, "", 0, {"lines of output", "lines a fork copied"}},
        // Each of these two is given by one of the runs only: by which child
        // the first wait collected.
        Prediction{"output_when_the_first_child_is_collected_first",
                   {},
                   "c0\none\nc1\ntwo\n",
                   0,
                   {"That output is possible on a terminal", "4 orders"},
                   two_waits},
        Prediction{"output_when_the_second_child_is_collected_first",
                   {},
                   "c1\none\nc0\ntwo\n",
                   0,
                   {"That output is possible on a terminal"},
                   two_waits},
        Prediction{"output_before_any_wait_returns",
                   {},
                   "one\nc0\nc1\ntwo\n",
                   1,
                   {"That output is not possible on a terminal: none of the 2 runs",
                    "'one' cannot come before"},
                   two_waits},
        Prediction{"counts_over_both_waits",
                   {"--terminal=4"},
                   "",
                   0,
                   {"Lines on a terminal: 4, right."},
                   two_waits},
        Prediction{"key_over_both_waits",
                   {},
                   "",
                   0,
                   {"possible orders of the writes  4 ", "distinct possible outputs      4 ",
                    "2 different runs on a terminal"},
                   two_waits},
        Prediction{
            "status_1_first", {}, "status 1\nstatus 2\n", 0, {"That output is possible"}, statuses},
        Prediction{
            "status_2_first", {}, "status 2\nstatus 1\n", 0, {"That output is possible"}, statuses},
        Prediction{"key_over_both_statuses",
                   {},
                   "",
                   0,
                   {"possible orders of the writes  2 ", "distinct possible outputs      2 "},
                   statuses},
        Prediction{"unproven_output",
                   {},
                   "done\nchild\nnot yet\n",
                   0,
                   {"Whether that output is possible on a terminal is not known",
                    "not every run it can make was tried"},
                   an_untried_choice},
        Prediction{"key_with_an_untried_choice",
                   {},
                   "",
                   0,
                   {"possible orders of the writes  at least ", "Not every run it can make"},
                   an_untried_choice},
        // Stops forklab, sets a limit of another process (init's, to what it
        // was), and writes bytes that would drive the terminal: on a terminal
        // a line of its output, through a pipe shown escaped.
        Prediction{"reaches_past_its_run",
                   {"--terminal=2"},
                   "",
                   0,
                   {"Lines on a terminal: 2, right.", "to forktrace itself",
                    "called prlimit() on a process outside its run", "oops \\e[2J\\x07"},
                   "#define _GNU_SOURCE\n#include <signal.h>\n#include <stdio.h>\n"
                   "#include <sys/resource.h>\n"
                   "#include <unistd.h>\nint main(void) {\n    struct rlimit core;\n"
                   "    kill(getppid(), SIGSTOP);\n"
                   "    if (prlimit(1, RLIMIT_CORE, NULL, &core) == 0) prlimit(1, RLIMIT_CORE, "
                   "&core, NULL);\n    fprintf(stderr, \"oops \\033[2J\\a\\n\");\n"
                   "    puts(\"hi\");\n    return 0;\n}\n"},
        // In a PID namespace of its own, a child signals its parent, there
        // process 1: a process of its run, which a confined run may signal.
        Prediction{"signals_inside_a_pid_namespace",
                   {"--terminal=1"},
                   "",
                   0,
                   {"Lines on a terminal: 1, right."},
                   "#define _GNU_SOURCE\n#include <sched.h>\n#include <signal.h>\n"
                   "#include <stdio.h>\n#include <stdlib.h>\n#include <sys/wait.h>\n"
                   "#include <unistd.h>\nstatic volatile sig_atomic_t signalled;\n"
                   "static void on_usr1(int signal) { signalled = signal; }\n"
                   "int main(void) {\n"
                   "    if (unshare(CLONE_NEWPID) != 0) unshare(CLONE_NEWUSER | CLONE_NEWPID);\n"
                   "    if (fork() == 0) {\n        sigset_t usr1, old;\n"
                   "        sigemptyset(&usr1);\n        sigaddset(&usr1, SIGUSR1);\n"
                   "        sigprocmask(SIG_BLOCK, &usr1, &old);\n"
                   "        signal(SIGUSR1, on_usr1);\n"
                   "        if (fork() == 0) {\n            kill(getppid(), SIGUSR1);\n"
                   "            exit(0);\n        }\n"
                   "        while (!signalled) sigsuspend(&old);\n"
                   "        puts(\"woken\");\n        exit(0);\n    }\n"
                   "    wait(NULL);\n    return 0;\n}\n"},
        Prediction{"leaves_a_file",
                   {"--terminal=1"},
                   "",
                   0,
                   {"Lines on a terminal: 1, right."},
                   "#include <stdio.h>\nint main(void) {\n    FILE *file = fopen(\"left-behind\", "
                   "\"w\");\n    if (file) fclose(file);\n    puts(\"hi\");\n    return 0;\n}\n"}),
    [](const auto &row) { return std::string(row.param.name); });

// What goes wrong says what and exits 125, with no control byte in the message.
struct Mistake {
    const char *name;
    std::vector<std::string> args;
    std::map<std::string, std::optional<std::string>> env;
    std::string said;
    runner::Sink sink = runner::Sink::captured;
};

void PrintTo(const Mistake &row, std::ostream *os) { *os << row.name; }

class ForklabFails : public testing::TestWithParam<Mistake> {};

TEST_P(ForklabFails, SaysWhyWith125)
{
    const Mistake &row = GetParam();
    const runner::ScratchFolder folder("forklab-fails");
    // Sources by name (forklab takes any file name): one that does not compile, one that does, one
    // whose compiler would read /dev/zero for good, one whose messages carry bytes that drive a
    // terminal, one that writes a file of 32 MiB.
    std::string huge =
        "#include <stdio.h>\nstatic char block[1 << 20];\nint main(void) {\n"
        "    FILE *file = fopen(\"";
    huge += (folder.path() / "huge").string();
    huge +=
        "\", \"w\");\n"
        "    for (int i = 0; file && i < 32; i++) fwrite(block, 1, sizeof block, file);\n"
        "    return 0;\n}\n";
    const std::map<std::string, std::string> sources{
        {"BROKEN", "int main(void) { return oops; }\n"},
        {"HELLO", hello},
        {"ZERO", "#include \"/dev/zero\"\nint main(void) { return 0; }\n"},
        {"ESCAPES", "#warning \"\x1b[2J\x07\"\n#error \"\x1b]0;title\x07\"\n"},
        {"HUGE", huge},
        {"THREADS",
         "#include <pthread.h>\nstatic void *nothing(void *arg) { return arg; }\n"
         "int main(void) {\n    for (int i = 0; i < 1100; i++) {\n        pthread_t thread;\n"
         "        if (pthread_create(&thread, NULL, nothing, NULL) == 0) pthread_join(thread, "
         "NULL);\n    }\n    return 0;\n}\n"}};
    for (const auto &[name, text] : sources) {
        write_file(folder.path() / name, text);
    }
    std::vector<std::string> args = row.args;
    for (std::string &arg : args) {
        if (sources.contains(arg)) {
            arg = (folder.path() / arg).string();
        } else if (arg == "FOLDER") {
            arg = folder.path().string();
        }
    }
    const Result run = forklab(args, {.env = row.env, .stdout_sink = row.sink});
    EXPECT_EQ(run.exit_code(), 125) << run;
    EXPECT_NE(run.err.find(row.said), std::string::npos) << run;
    EXPECT_TRUE(std::none_of(run.err.begin(), run.err.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 && c != '\n';
    })) << run;
    EXPECT_EQ(run.out, "") << run;
}

// A signal while the compiler runs ends it, and forklab with 128+N, as a
// shell's program would, leaving no scratch folder. The compiler here sends
// SIGINT to forklab itself, then waits to be ended.
TEST(ForklabInterrupted, InTheCompilerEndsWith130AndLeavesNothing)
{
    const runner::ScratchFolder folder("forklab-interrupted");
    const std::filesystem::path bin = folder.path() / "bin", tmp = folder.path() / "tmp";
    std::filesystem::create_directories(bin);
    std::filesystem::create_directories(tmp);
    write_file(bin / "cc", "#!/bin/sh\nkill -INT $PPID\nexec sleep 60\n");
    std::filesystem::permissions(bin / "cc", std::filesystem::perms::owner_all);
    write_file(folder.path() / "hello.c", hello);
    const Result run =
        forklab({"check", (folder.path() / "hello.c").string()},
                {.env = {{"PATH", bin.string() + ":/usr/bin:/bin"}, {"TMPDIR", tmp.string()}}});
    EXPECT_EQ(run.exit_code(), 130) << run;
    EXPECT_TRUE(std::filesystem::is_empty(tmp)) << run;
}

INSTANTIATE_TEST_SUITE_P(
    Mistakes, ForklabFails,
    testing::Values(
        Mistake{"no_compiler",
                {"quiz", "--seed=1"},
                {{"PATH", "/nonexistent"}},
                "forklab: no C compiler: cc is not on PATH (on Debian: apt-get install gcc)"},
        Mistake{"does_not_compile", {"check", "BROKEN"}, {}, "cc could not compile the program"},
        Mistake{
            "compiler_out_of_memory", {"check", "ZERO"}, {}, "cc could not compile the program"},
        Mistake{"compiler_messages_escaped", {"check", "ESCAPES"}, {}, "\\e[2J\\x07"},
        Mistake{"writes_a_huge_file", {"check", "HUGE"}, {}, "wrote a file larger than 16 MiB"},
        Mistake{
            "makes_many_threads", {"check", "THREADS"}, {}, "more than 1000 processes and threads"},
        Mistake{"unknown_command", {"quizz"}, {}, "unknown command 'quizz'"},
        Mistake{"bad_level", {"new", "--level=4"}, {}, "--level takes 1, 2 or 3, not '4'"},
        Mistake{"missing_argument", {"new", "--seed"}, {}, "--seed needs an argument"},
        Mistake{"key_without_seeds", {"key"}, {}, "key needs --seeds=A-B"},
        Mistake{"too_many_seeds", {"key", "--seeds=1-5000"}, {}, "at most 1000"},
        Mistake{"control_bytes", {"new", "--seed=\x01"}, {}, "--seed takes a number, not '\\x01'"},
        Mistake{"option_of_another_command",
                {"new", "-o", "x.c"},
                {},
                "'--output' is not an option of new"},
        Mistake{"seeds_to_quiz", {"quiz", "--seeds=1-2"}, {}, "'--seeds' is not an option of quiz"},
        Mistake{"no_command", {"--seed=3"}, {}, "a command is needed"},
        Mistake{"nothing", {}, {}, "a command is needed"},
        Mistake{"check_a_folder", {"check", "FOLDER"}, {}, "Is a directory"},
        Mistake{"check_a_device",
                {"check", "/dev/zero"},
                {},
                "cannot read /dev/zero: not a regular file"},
        Mistake{"new_to_a_full_disk",
                {"new"},
                {},
                "cannot write the output: No space left on device",
                runner::Sink::full},
        Mistake{"help_to_a_full_disk", {"--help"}, {}, "cannot write", runner::Sink::full},
        Mistake{
            "answers_to_a_full_disk", {"check", "HELLO"}, {}, "cannot write", runner::Sink::full}),
    [](const auto &row) { return std::string(row.param.name); });

}  // namespace
