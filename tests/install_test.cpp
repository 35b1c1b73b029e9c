// What a user gets from `cmake --install` and from the Debian package: the
// programs, their compressed manual pages, the licence and the changelog, and
// programs that run from there.
#include "runner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>

namespace {

namespace fs = std::filesystem;
using runner::Result;

const std::vector<std::string> programs{"kinwait", "lsbranch", "fanout", "forktrace", "forklab"};

// Every file besides the programs, under the installation's prefix.
void expect_documents(const fs::path &prefix)
{
    for (const std::string &program : programs) {
        EXPECT_TRUE(fs::exists(prefix / "share/man/man1" / (program + ".1.gz"))) << program;
    }
    for (const char *document : {"copyright", "changelog.gz"}) {
        EXPECT_TRUE(fs::exists(prefix / "share/doc/forkdemos" / document)) << document;
    }
}

class Scratch : public testing::Test {
protected:
    const runner::ScratchFolder scratch_{
        testing::UnitTest::GetInstance()->current_test_info()->name()};

    // Runs a build tool to its end; its failure fails the test.
    void tool(const std::string &path, const std::vector<std::string> &args)
    {
        const Result run = runner::run_on_pipe(
            path,
            {.args = args, .cwd = scratch_.path().string(), .timeout = std::chrono::seconds(90)});
        ASSERT_EQ(run.exit_code(), 0) << path << "\n" << run;
    }

    // Each installed program once, on a pipe, with what it must print.
    void run_each(const fs::path &bin)
    {
        const Result kinwait =
            runner::run_on_pipe((bin / "kinwait").string(),
                                {.faults = {{"FAULT_SLEEP", "0"}}, .script = {{.send = "5\n"}}});
        EXPECT_EQ(kinwait.exit_code(), 0) << kinwait;
        EXPECT_NE(kinwait.out.find("PARENT: Child's exit code is: 0\n"), std::string::npos)
            << kinwait;

        const Result lsbranch =
            runner::run_on_pipe((bin / "lsbranch").string(), {.cwd = scratch_.path().string()});
        EXPECT_EQ(lsbranch.exit_code(), 0) << lsbranch;
        const std::vector<std::string> lines = lsbranch.lines();  // the star line, the listing
        EXPECT_EQ(
            std::count(lines.begin(), lines.end(), "[" + std::to_string(lsbranch.pid) + "] *"), 1)
            << lsbranch;

        const Result fanout = runner::run_on_pipe((bin / "fanout").string());
        EXPECT_EQ(fanout.exit_code(), 0) << fanout;
        EXPECT_EQ(fanout.lines().size(), 64U) << fanout;

        const Result traced = runner::run_on_pipe(
            (bin / "forktrace").string(), {.args = {"--on", "pipe", (bin / "fanout").string()},
                                           .env = runner::traced_environment()});
        EXPECT_EQ(traced.exit_code(), 0) << traced;
        EXPECT_EQ(traced.lines().size(), 64U) << traced;
        EXPECT_NE(traced.err.find("16 processes, 64 lines in 16 writes"), std::string::npos)
            << traced;
    }
};

using Install = Scratch;

TEST_F(Install, PutsProgramsInBinAndPagesInManOne)
{
    const fs::path prefix = scratch_.path() / "prefix";
    tool(CMAKE_COMMAND, {"--install", BUILD_DIR, "--prefix", prefix.string()});
    for (const std::string &program : programs) {
        EXPECT_TRUE(fs::exists(prefix / "bin" / program)) << program;
    }
    expect_documents(prefix);
    run_each(prefix / "bin");
}

using Package = Scratch;

TEST_F(Package, UnpacksIntoARootThatRuns)
{
    tool(CPACK_COMMAND, {"-G", "DEB", "--config", std::string(BUILD_DIR) + "/CPackConfig.cmake",
                         "-B", scratch_.path().string()});
    const fs::path deb = scratch_.path() / "forkdemos_1.0.0_amd64.deb";
    ASSERT_TRUE(fs::exists(deb));

    const Result fields = runner::run_on_pipe(
        "/usr/bin/dpkg-deb", {.args = {"-f", deb.string(), "Package", "Version", "Architecture",
                                       "Depends", "Maintainer"}});
    ASSERT_EQ(fields.exit_code(), 0) << fields;
    const std::vector<std::string> lines = fields.lines();
    ASSERT_EQ(lines.size(), 5U) << fields;
    EXPECT_EQ(
        std::vector<std::string>(lines.begin(), lines.begin() + 3),
        (std::vector<std::string>{"Package: forkdemos", "Version: 1.0.0", "Architecture: amd64"}))
        << fields;
    EXPECT_TRUE(lines[4].starts_with("Maintainer: forkdemos maintainers <")) << fields;

    // Every library a program loads comes from a package the package depends
    // on: the library's own package, as dpkg knows it on this machine.
    const fs::path root = scratch_.path() / "root";
    tool("/usr/bin/dpkg-deb", {"-x", deb.string(), root.string()});
    std::set<std::string> needed;
    for (const std::string &program : programs) {
        const Result dynamic = runner::run_on_pipe(
            "/usr/bin/readelf", {.args = {"-d", (root / "usr/bin" / program).string()}});
        ASSERT_EQ(dynamic.exit_code(), 0) << dynamic;
        const std::regex entry(R"(\(NEEDED\).*\[(.*)\])");
        for (const std::string &line : dynamic.lines()) {
            std::smatch match;
            if (std::regex_search(line, match, entry)) {
                needed.insert(match[1]);
            }
        }
    }
    ASSERT_TRUE(needed.contains("libelf.so.1")) << "forktrace reads ELF files with libelf";
    std::set<std::string> depends;  // the packages, without their versions
    const std::regex package_name(R"((?:Depends: |, )([^ ,]+))");
    for (std::sregex_iterator at(lines[3].begin(), lines[3].end(), package_name), end; at != end;
         ++at) {
        depends.insert((*at)[1]);
    }
    for (const std::string &library : needed) {
        const Result owner =
            runner::run_on_pipe("/usr/bin/dpkg", {.args = {"-S", "*/x86_64-linux-gnu/" + library}});
        ASSERT_EQ(owner.exit_code(), 0) << owner;
        const std::string package = owner.out.substr(0, owner.out.find_first_of(":,"));
        EXPECT_TRUE(depends.contains(package))
            << library << " comes from " << package << ", which is not in\n"
            << lines[3];
    }

    expect_documents(root / "usr");
    run_each(root / "usr/bin");
}

}  // namespace
