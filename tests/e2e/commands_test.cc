// A job's commands on a real agent: arguments built from every expansion
// form, enumerations run once per value in order, and the three failure
// modes deciding how the job goes on.
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace kestrel::test {
namespace {

class CommandsTest : public EndToEndTest {
protected:
    void SetUp() override { StartAgent(); }

    // A job whose commands append what they saw to `file`, fetched back as an
    // output (or, for a failed job, as its failed output).
    std::string Job(const std::string& blocks, const std::string& file = "seen.txt") {
        return Machine() + "job main\n  machine\n    m\n  output\n    " + file + "\n  failed output\n    " + file +
               "\n" + blocks;
    }
};

// Prints its arguments after $0 as [one][two] and a line end, into seen.txt.
const char kRecordArguments[] = "printf '[%s]' \"$@\" >> seen.txt; echo >> seen.txt";

TEST_F(CommandsTest, ArgumentsComeFromEveryExpansionForm) {
    const std::string data =
        "  value\n    one = v1\n    many = x\n    many = y\n    letters = a\n    letters = b\n    letters = c\n"
        "  path\n    src = src/a.c\n    src = lib/b.tar.gz\n"
        "  environment replace\n    KV_MARK = from-edit\n";
    // The environment expansion comes before the arguments that expand to
    // several strings, so that its argument part is also its string.
    const std::string commands = std::string("  command break on error\n    sh\n      -c\n      ") + kRecordArguments +
                                 "\n      sh\n      <<environment>KV_MARK>\n      -D<one>\n"
                                 "      <<file name>src>\n      <<directory name>src>\n      <<base name>src>\n"
                                 "      -I<many>\n      <nothere>\n      <<required>one>\n"
                                 "    sh\n      -c\n      " +
                                 kRecordArguments +
                                 "\n      sh\n      <<enumerate>letters>\n      <<enumerate along, file name>letters>\n"
                                 "    sh\n      -c\n      " +
                                 kRecordArguments + "\n      sh\n      <<required>nothere>\n";
    Write("build.txt", Job(data + commands));
    const ProcessResult run = RunKestrel();
    EXPECT_EQ(run.out, PlainOutput({"The job main succeeded", "All jobs successfully completed"})) << run.err;
    // One line for the first command, one per value of the enumeration, and
    // none for the command whose required value is missing.
    EXPECT_EQ(ReadFile(At("seen.txt")),
              "[from-edit][-Dv1][a.c][b.tar.gz][src][lib][src/a][lib/b.tar][-Ix][-Iy][v1]\n"
              "[a][a]\n[b][b]\n[c][c]\n");
    const std::string log = ReadFile(At("build_log.xml"));
    EXPECT_NE(log.find("<kv:parameter xml:space=\"preserve\" environment=\"KV_MARK\"/>"), std::string::npos) << log;
}

struct FailureCase {
    const char* mode;
    std::vector<std::string> blocks;  // command blocks, each a block keyword line and its commands
    const char* seen;                 // what the commands that ran left
    bool succeeded;
};

TEST_F(CommandsTest, FailureModesDecideHowTheJobGoesOn) {
    const auto note = [](const std::string& text) {
        return "    sh\n      -c\n      echo " + text + " >> seen.txt\n";
    };
    const std::string fail = "    sh\n      -c\n      exit 3\n";
    const std::string signalled = "    sh\n      -c\n      kill -9 $$\n";
    const std::string missing = "    /nonexistent/program\n";
    const FailureCase cases[] = {
        {"break on error stops at the first failure",
         {"  command break on error\n" + note("1") + fail + note("2"), "  command break on error\n" + note("3")},
         "1\n", false},
        {"complete with error runs the rest of its block, then stops",
         {"  command complete with error\n" + note("1") + fail + note("2"), "  command break on error\n" + note("3")},
         "1\n2\n", false},
        {"ignore error lets a return of 3, a signal and a missing program pass",
         {"  command ignore error\n" + note("1") + fail + signalled + missing + note("2"),
          "  command break on error\n" + note("3")},
         "1\n2\n3\n", true},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.mode);
        RemoveTree(At("seen.txt"));
        std::string blocks;
        for (const std::string& block : c.blocks) blocks += block;
        Write("build.txt", Job(blocks));
        const ProcessResult run = RunKestrel();
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, PlainOutput({c.succeeded ? "The job main succeeded" : "The job main failed",
                                        c.succeeded ? "All jobs successfully completed" : "At least one job failed"}));
        EXPECT_EQ(ReadFile(At("seen.txt")), c.seen);
    }
}

// The build log marks exactly the parameters that were environment
// expansions: after an argument of two parts that is one string, and as
// parameter 9. The commands only have to run; the log is what is checked.
TEST_F(CommandsTest, TheBuildLogMarksTheParametersFromTheEnvironment) {
    const std::string data = "  value\n    src = main\n  environment replace\n    KV_ONE = 1\n    KV_NINE = 9\n";
    std::string commands = "  command ignore error\n    true\n      <src>.o\n      <<environment>KV_ONE>\n"
                           "    true\n      <src>.o\n";
    for (int i = 2; i <= 8; ++i) commands += "      p" + std::to_string(i) + "\n";
    commands += "      <<environment>KV_NINE>\n";
    Write("build.txt", Machine() + "job main\n  machine\n    m\n" + data + commands);
    const ProcessResult run = RunKestrel();
    EXPECT_EQ(run.out, PlainOutput({"The job main succeeded", "All jobs successfully completed"})) << run.err;
    const auto value = [](const std::string& text) {
        return "<kv:parameter xml:space=\"preserve\" value=\"" + text + "\"/>\n";
    };
    const auto environment = [](const std::string& name) {
        return "<kv:parameter xml:space=\"preserve\" environment=\"" + name + "\"/>\n";
    };
    std::string expected = value("main.o") + environment("KV_ONE") + value("main.o");
    for (int i = 2; i <= 8; ++i) expected += value("p" + std::to_string(i));
    expected += environment("KV_NINE");
    const std::string log = ReadFile(At("build_log.xml"));
    std::string parameters;
    for (size_t at = log.find("<kv:parameter"); at != std::string::npos; at = log.find("<kv:parameter", at + 1))
        parameters += log.substr(at, log.find('\n', at) + 1 - at);
    EXPECT_EQ(parameters, expected) << log;
}

}  // namespace
}  // namespace kestrel::test
