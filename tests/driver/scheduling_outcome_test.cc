// The real program from script to the scheduler's answer: "All output is
// already made" with exit 0 when nothing needs to run, a run when jobs have
// to run (here on a machine that refuses, so the run ends with a failed
// job), and the scheduler's failures as "Cannot start the client, error {0}".

#include <string>

#include "platform/system_errors.h"
#include "scheduler/scheduler_fixture.h"

namespace kestrel::test {
namespace {

class DriverTest : public SchedulerTest {
protected:
    ProcessResult Kestrel(std::vector<std::string> options) {
        std::vector<std::string> argv{KestrelBinary(), "--automated"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back("build.txt");
        ProcessOptions process;
        process.workingDirectory = dir.path();
        return RunProcess(argv, process);
    }

    void SetUp() override {
        SchedulerTest::SetUp();
        Write("build.txt", kMachine + JobText("main", {"a.c"}, {"a.o"}) + JobText("check", {"a.o"}, {"report"}) +
                               "data settings\n  value\n    v = 1\n" + ProjectText("all", {"main"}) +
                               ProjectText("tested", {"main"}, {"check"}));
        File("a.c", 1000);
        File("a.o", 2000);
        File("report", 3000);
    }

    static constexpr const char* kMade = "Scheduling jobs\nAll output is already made\n";
    // The machine, its first hop, the status, and the system's own words for the refusal.
    const std::string kRanAndFailed = "Scheduling jobs\nRunning jobs\nMachine m (kv://127.0.0.1:1): Cannot connect (" +
                                      platform::SystemErrorText(kErrorConnectionRefused) + "), error " +
                                      std::to_string(kErrorConnectionRefused) +
                                      "\nGenerating the build log\nAt least one job failed\n";
};

TEST_F(DriverTest, NothingToRunIsAllOutputMade) {
    const ProcessResult result = Kestrel({"--job", "all"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, PrintedLines(kMade));
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(FileExists(dir / "build_log.xml"));
}

TEST_F(DriverTest, JobsThatMustRunAreRun) {
    // main, by default, and named directly; --rebuild; a test job; a stale output.
    const std::vector<std::vector<std::string>> runs = {
        {}, {"--job", "main"}, {"--rebuild", "--job", "all"}, {"--job", "tested"}};
    for (const auto& options : runs) {
        const ProcessResult result = Kestrel(options);
        EXPECT_EQ(result.exitCode, 0) << testing::PrintToString(options);
        EXPECT_EQ(result.out, PrintedLines(kRanAndFailed)) << testing::PrintToString(options);
        EXPECT_TRUE(FileExists(dir / "build_log.xml"));
    }
    SetModificationTime(dir / "a.c", 2500);
    const ProcessResult result = Kestrel({"--job", "all"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, PrintedLines(kRanAndFailed));
}

TEST_F(DriverTest, SchedulerFailuresStopTheClient) {
    struct Case {
        std::vector<std::string> options;
        std::string message;
    };
    const Case cases[] = {
        {{"--job", "settings"}, "settings is not a job or project"},
        {{"--job", "nothing"}, "The job nothing cannot be found"},
    };
    for (const Case& c : cases) {
        const ProcessResult result = Kestrel(c.options);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.out, PrintedLines("Scheduling jobs\nCannot start the client, error " + c.message + "\n"));
    }
    Write("build.txt", "data d\n  value\n    v = 1\n");
    ProcessResult result = Kestrel({});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out,
              PrintedLines("Scheduling jobs\nCannot start the client, error The job main cannot be found\n"));

    RemoveTree(dir / "a.c");
    Write("build.txt", kMachine + JobText("main", {"a.c"}, {"a.o"}));
    result = Kestrel({});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, PrintedLines("Scheduling jobs\nCannot start the client, error The file " + (dir / "a.c") +
                                       " needed by main is missing\n"));
}

TEST_F(DriverTest, ACycleBesideUpToDateJobsIsNotAllOutputMade) {
    Write("build.txt", kMachine + JobText("main", {"a.c"}, {"a.o"}) + JobText("x", {"a.c", "y.out"}, {"x.out"}) +
                           JobText("y", {"x.out"}, {"y.out"}) + ProjectText("all", {"main", "x", "y"}));
    const ProcessResult result = Kestrel({"--job", "all"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out,
              PrintedLines("Scheduling jobs\nCannot start the client, error The following jobs cannot run because at "
                           "least one input file is another job's output:\ny\nx\n"));
}

}  // namespace
}  // namespace kestrel::test
