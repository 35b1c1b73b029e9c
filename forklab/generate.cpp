#include "generate.hpp"

#include <vector>

namespace forklab {
namespace {

// SplitMix64: a small generator whose every output is fixed by its seed, on
// every machine and with every C++ library.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next()
    {
        std::uint64_t z = state_ += 0x9E3779B97F4A7C15ULL;
        z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31U);
    }
    // From `low` to `high`, both included.
    int between(int low, int high)
    {
        return low + static_cast<int>(next() % static_cast<std::uint64_t>(high - low + 1));
    }
    bool chance() { return (next() & 1U) != 0; }

private:
    std::uint64_t state_;
};

// The program's lines, indented as they are written, and the letters its
// prints print, each a new one.
class Program {
public:
    explicit Program(std::uint64_t seed) : random(seed) {}

    Random random;

    void line(const std::string &text)
    {
        lines_.push_back(std::string(4 * static_cast<std::size_t>(depth_), ' ') + text);
    }
    void open(const std::string &text)
    {
        line(text + " {");
        ++depth_;
    }
    void otherwise()
    {
        --depth_;
        line("} else {");
        ++depth_;
    }
    void close()
    {
        --depth_;
        line("}");
    }

    // printf of the next letter, then of the loop's counter when in a loop.
    void print(bool newline, bool counter = false)
    {
        const std::string letter(1, static_cast<char>('A' + letters_++));
        line("printf(\"" + letter + (counter ? "%d" : "") + (newline ? "\\n\"" : "\"") +
             (counter ? ", i" : "") + ");");
    }
    // printf of the next letter and the exit status that the last wait
    // collected.
    void print_status()
    {
        const std::string letter(1, static_cast<char>('A' + letters_++));
        line("printf(\"" + letter + "%d\\n\", WEXITSTATUS(status));");
    }
    void wait_for_all()
    {
        open("while (wait(NULL) > 0)");
        close();
    }

    std::string source() const
    {
        std::string out =
            "#include <stdio.h>\n#include <stdlib.h>\n#include <sys/types.h>\n"
            "#include <sys/wait.h>\n#include <unistd.h>\n\nint main(void)\n{\n";
        for (const std::string &text : lines_) {
            out += "    " + text + "\n";
        }
        return out + "    return 0;\n}\n";
    }

private:
    std::vector<std::string> lines_;
    int depth_ = 0;
    int letters_ = 0;
};

// One or two forks among prints, some of them without a newline: a line
// still in the buffer at a fork comes out twice through a pipe.
void forks_among_prints(Program &p)
{
    const int steps = p.random.between(3, 5);
    const int forks = p.random.between(1, 2);
    std::vector<bool> is_fork(static_cast<std::size_t>(steps), false);
    for (int placed = 0; placed < forks;) {
        const auto at = static_cast<std::size_t>(p.random.between(0, steps - 2));
        if (!is_fork[at]) {
            is_fork[at] = true;
            ++placed;
        }
    }
    for (const bool fork : is_fork) {
        if (fork) {
            p.line("fork();");
        } else {
            p.print(p.random.chance());
        }
    }
}

// Two or three children made in a loop, each printing and exiting: how many.
int printing_children(Program &p)
{
    const int children = p.random.between(2, 3);
    p.open("for (int i = 0; i < " + std::to_string(children) + "; i++)");
    p.open("if (fork() == 0)");
    p.print(true, true);
    p.line("exit(0);");
    p.close();
    p.close();
    return children;
}

// Children made in a loop, each printing and exiting; the parent waits for
// them all, or does not.
void children_that_exit(Program &p)
{
    printing_children(p);
    if (p.random.chance()) {
        p.wait_for_all();
    }
    p.print(true);
}

// A fork in a loop that every process goes on with: the processes double at
// each turn.
void forks_in_a_loop(Program &p)
{
    const int turns = p.random.between(2, 3);
    p.open("for (int i = 0; i < " + std::to_string(turns) + "; i++)");
    p.line("fork();");
    p.print(p.random.chance(), true);
    p.close();
    if (p.random.chance()) {
        p.wait_for_all();
    }
    p.print(true);
}

// One child, waited for by its ID or not at all.
void a_child_waited_for(Program &p)
{
    const bool grandchild = p.random.chance(), waits = p.random.chance();
    p.line("pid_t pid = fork();");
    p.open("if (pid == 0)");
    p.print(true);
    if (grandchild) {
        p.line("fork();");
    }
    // A last line without a newline only where nothing can come after it: a
    // line that another process's could follow would make the number of
    // lines depend on the order.
    p.print(grandchild || !waits || p.random.chance());
    p.line("exit(0);");
    p.close();
    if (waits) {
        p.line("waitpid(pid, NULL, 0);");
    }
    p.print(true);
}

// A chain: each parent prints and exits, its child goes on to the next turn.
void a_chain(Program &p)
{
    const int turns = p.random.between(2, 3);
    const bool waits = p.random.chance();
    p.open("for (int i = 0; i < " + std::to_string(turns) + "; i++)");
    p.open("if (fork() > 0)");
    if (waits) {
        p.line("wait(NULL);");
    }
    p.print(true, true);
    p.line("exit(0);");
    p.close();
    p.close();
    p.print(true);
}

// Children made in a loop, each printing and exiting, and the parent
// printing after each wait for any child: which child a wait collects
// decides which lines can come before the parent's.
void children_collected_in_turn(Program &p)
{
    const int children = printing_children(p);
    for (int waits = 0; waits < children; ++waits) {
        p.line("wait(NULL);");
        p.print(true);
    }
}

// Children that exit with codes of their own, printing first or not, and a
// parent that prints the status each wait collected: the codes come in the
// order the children are collected.
void exit_statuses(Program &p)
{
    const int children = p.random.between(2, 3), first_code = p.random.between(1, 3);
    const bool children_print = p.random.chance();
    p.line("int status;");
    p.open("for (int i = 0; i < " + std::to_string(children) + "; i++)");
    p.open("if (fork() == 0)");
    if (children_print) {
        p.print(true, true);
    }
    p.line("exit(i + " + std::to_string(first_code) + ");");
    p.close();
    p.close();
    p.open("while (wait(&status) > 0)");
    p.print_status();
    p.close();
}

// A child that execs echo: what it printed before the exec, and what a fork
// copied into it, is lost with its memory.
void an_exec(Program &p)
{
    p.print(p.random.chance());
    p.open("if (fork() == 0)");
    p.print(p.random.chance());
    p.line("execl(\"/bin/echo\", \"echo\", \"exec'd\", (char *)NULL);");
    p.line("printf(\"exec failed\\n\");");
    p.line("exit(1);");
    p.close();
    if (p.random.chance()) {
        p.line("wait(NULL);");
    }
    p.print(true);
}

// An exec that fails: only then does the code after it run.
void a_failed_exec(Program &p)
{
    p.print(p.random.chance());
    p.open("if (fork() == 0)");
    p.line("execl(\"/nonexistent/program\", \"program\", (char *)NULL);");
    p.print(true);
    p.line("exit(1);");
    p.close();
    p.line("wait(NULL);");
    p.print(true);
}

// Two children whose ends the parent collects, printing after each: one
// child execs true or false, the other's exec fails and it exits with a
// code of its own. The parent prints each status it collected, or a line
// after each plain wait. What a child printed before its exec is lost with
// its memory where its buffer still held it.
void children_that_run_programs(Program &p)
{
    const bool statuses = p.random.chance();
    if (statuses) {
        p.line("int status;");
    }
    p.print(p.random.chance());
    const bool succeeds = p.random.chance();
    p.open("if (fork() == 0)");
    p.print(p.random.chance());
    p.line(succeeds ? "execl(\"/bin/true\", \"true\", (char *)NULL);"
                    : "execl(\"/bin/false\", \"false\", (char *)NULL);");
    p.line("exit(127);");
    p.close();
    p.open("if (fork() == 0)");
    p.line("execl(\"/nonexistent/program\", \"program\", (char *)NULL);");
    p.print(true);
    p.line("exit(" + std::to_string(p.random.between(2, 4)) + ");");
    p.close();
    if (statuses) {
        p.open("while (wait(&status) > 0)");
        p.print_status();
        p.close();
        return;
    }
    for (int waits = 0; waits < 2; ++waits) {
        p.line("wait(NULL);");
        p.print(true);
    }
}

// Forks joined by && and ||: which processes take which branch.
void forks_in_a_condition(Program &p)
{
    const int terms = p.random.between(2, 3);
    std::string condition = "fork()";
    for (int term = 1; term < terms; ++term) {
        condition += p.random.chance() ? " && fork()" : " || fork()";
    }
    p.open("if (" + condition + ")");
    p.print(true);
    p.otherwise();
    p.print(true);
    p.close();
    if (p.random.chance()) {
        p.wait_for_all();
    }
    p.print(p.random.chance());
}

}  // namespace

std::string generate(std::uint64_t seed, int level)
{
    // The level in the seed too: another level makes another program.
    Program p(seed * 4 + static_cast<std::uint64_t>(level));
    switch (level) {
        case 1:
            forks_among_prints(p);
            break;
        case 2: {
            if (p.random.chance()) {
                p.print(false);  // a start of a line, in the buffer as the forks come
            }
            const int shape = p.random.between(0, 5);
            if (shape == 0) {
                children_that_exit(p);
            } else if (shape == 1) {
                forks_in_a_loop(p);
            } else if (shape == 2) {
                a_child_waited_for(p);
            } else if (shape == 3) {
                a_chain(p);
            } else if (shape == 4) {
                children_collected_in_turn(p);
            } else {
                exit_statuses(p);
            }
            break;
        }
        default: {
            const int shape = p.random.between(0, 3);
            if (shape == 0) {
                an_exec(p);
            } else if (shape == 1) {
                a_failed_exec(p);
            } else if (shape == 2) {
                forks_in_a_condition(p);
            } else {
                children_that_run_programs(p);
            }
            break;
        }
    }
    return "/* forklab new --seed=" + std::to_string(seed) + " --level=" + std::to_string(level) +
           " */\n" + p.source();
}

}  // namespace forklab
