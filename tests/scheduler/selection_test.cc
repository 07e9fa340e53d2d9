// Which jobs the scheduler selects, and which of them it leaves out as up to
// date: jobs named directly, jobs reached through projects and their test
// lists, --rebuild, and jobs that have nothing to compare.

#include "platform/clock.h"
#include "scheduler/scheduler_fixture.h"

namespace kestrel::test {
namespace {

class SelectionTest : public SchedulerTest {
protected:
    // compile: a.c -> a.o, up to date.
    void UpToDateFiles() {
        File("a.c", 1000);
        File("a.o", 2000);
    }
    const std::string kCompile = kMachine + JobText("compile", {"a.c"}, {"a.o"});
};

TEST_F(SelectionTest, WithoutANameTheJobMainIsScheduled) {
    UpToDateFiles();
    EXPECT_EQ(Run(kMachine + JobText("other", {"a.c"}, {"x.o"}) + JobText("main", {"a.c"}, {"a.o"}), nullptr), "");
    EXPECT_EQ(Ready(), (std::vector<std::string>{"main"}));
    EXPECT_TRUE(Waiting().empty());
}

TEST_F(SelectionTest, NamesThatSelectNothing) {
    EXPECT_EQ(Run(kCompile, nullptr), "The job main cannot be found");
    scheduler.Release();
    EXPECT_EQ(Run(kCompile, "compiler"), "The job compiler cannot be found");
    scheduler.Release();
    EXPECT_EQ(Run(kCompile + "data d\n  value\n    v = 1\n", "d"), "d is not a job or project");
    scheduler.Release();
    EXPECT_EQ(Run(kCompile + "step s\n  command break on error\n    x\n", "s"), "s is not a job or project");
    scheduler.Release();
    EXPECT_EQ(Run(kCompile + "file list f\n  file\n    a.c\n", "f"), "f is not a job or project");
    scheduler.Release();
    // However deep the projects, they reach no job.
    EXPECT_EQ(Run(kCompile + "project none\n  build\n  test\n" + ProjectText("outer", {"none"}, {"none"}), "outer"),
              "The project outer holds no job");
}

TEST_F(SelectionTest, PreparedJobsBelongToTheScheduler) {
    UpToDateFiles();
    EXPECT_EQ(Run(kCompile + JobText("unused", {"a.c"}, {"u.o"}) + ProjectText("all", {"compile"}), "all"), "");
    ASSERT_EQ(scheduler.preparedCount, 1u);
    EXPECT_STREQ(scheduler.preparedJobs[0]->name, "compile");
    // Out of the context's table, so that only the scheduler destroys it.
    EXPECT_EQ(context.blocks.Find("compile"), nullptr);
    EXPECT_NE(FindJob("unused"), nullptr);
    EXPECT_NE(context.blocks.Find("all"), nullptr);
}

TEST_F(SelectionTest, PreparationFailuresNameTheJob) {
    std::string climb;
    for (int i = 0; i < 40; ++i) climb += "../";
    EXPECT_EQ(Run(kMachine + JobText("main", {climb + "x.c"}, {"a.o"}), nullptr),
              "Cannot prepare job main, Cannot normalize input file " + NativePath(climb + "x.c"));
}

TEST_F(SelectionTest, AJobNamedDirectlyRunsEvenWhenUpToDate) {
    UpToDateFiles();
    EXPECT_EQ(Run(kCompile, "compile"), "");
    EXPECT_EQ(Ready(), (std::vector<std::string>{"compile"}));
}

TEST_F(SelectionTest, ThroughAProjectAnUpToDateJobIsLeftOutUnlessRebuilding) {
    UpToDateFiles();
    const std::string script = kCompile + ProjectText("all", {"compile"});
    EXPECT_EQ(Run(script, "all"), "");
    EXPECT_TRUE(Ready().empty());
    EXPECT_TRUE(Waiting().empty());
    ASSERT_EQ(scheduler.preparedCount, 1u);
    EXPECT_NE(scheduler.preparedJobs[0]->flags & kJobUpToDate, 0u);
    scheduler.Release();

    EXPECT_EQ(Run(script, "all", false), "");
    EXPECT_EQ(Ready(), (std::vector<std::string>{"compile"}));
    scheduler.Release();

    // Equal times are up to date; an older or missing output is not.
    SetModificationTime(dir / "a.o", 1000);
    EXPECT_EQ(Run(script, "all"), "");
    EXPECT_TRUE(Ready().empty());
    scheduler.Release();
    SetModificationTime(dir / "a.o", 999);
    EXPECT_EQ(Run(script, "all"), "");
    EXPECT_EQ(Ready(), (std::vector<std::string>{"compile"}));
    scheduler.Release();
    RemoveTree(dir / "a.o");
    EXPECT_EQ(Run(script, "all"), "");
    EXPECT_EQ(Ready(), (std::vector<std::string>{"compile"}));
}

TEST_F(SelectionTest, TheNewestOfSeveralInputsDecides) {
    File("a.c", 1000);
    File("b.h", 3000);
    File("a.o", 2000);
    EXPECT_EQ(Run(kMachine + JobText("compile", {"a.c", "b.h"}, {"a.o"}) + ProjectText("all", {"compile"}), "all"), "");
    EXPECT_EQ(Ready(), (std::vector<std::string>{"compile"}));
    ASSERT_EQ(scheduler.preparedCount, 1u);
    const Job& job = *scheduler.preparedJobs[0];
    EXPECT_EQ(job.newestInputTime, static_cast<uint64_t>(platform::UnixToFileTime(3000, 0)));
}

TEST_F(SelectionTest, TestJobsAlwaysRun) {
    UpToDateFiles();
    File("t.in", 1000);
    File("t.out", 2000);
    File("n.in", 1000);
    File("n.out", 2000);
    const std::string script = kCompile + JobText("check", {"t.in"}, {"t.out"}) +
                               JobText("nested", {"n.in"}, {"n.out"}) + ProjectText("inner", {"nested"}) +
                               ProjectText("all", {"compile"}, {"check", "inner"});
    EXPECT_EQ(Run(script, "all"), "");
    EXPECT_EQ(Ready(), (std::vector<std::string>{"check", "nested"}));
}

TEST_F(SelectionTest, AJobKeepsTheRuleOfTheListThatReachedItFirst) {
    UpToDateFiles();
    EXPECT_EQ(Run(kCompile + ProjectText("all", {"compile"}, {"compile"}), "all"), "");
    EXPECT_TRUE(Ready().empty());
    scheduler.Release();
    EXPECT_EQ(Run(kCompile + ProjectText("tests", {}, {"compile"}) + ProjectText("all", {"tests", "compile"}), "all"),
              "");
    EXPECT_EQ(Ready(), (std::vector<std::string>{"compile"}));
}

TEST_F(SelectionTest, JobsWithNothingToCompareAlwaysRun) {
    File("a.c", 1000);
    File("gen.h", 2000);
    File("log.txt", 2000);
    const std::string script = kMachine + JobText("generate", {}, {"gen.h"}) + JobText("check", {"a.c"}, {}) +
                               ProjectText("all", {"generate", "check"});
    EXPECT_EQ(Run(script, "all"), "");
    EXPECT_EQ(Ready(), (std::vector<std::string>{"generate", "check"}));
}

TEST_F(SelectionTest, SharedProjectsAreVisitedOnce) {
    UpToDateFiles();
    // Each level lists the one below twice: without remembering visits the
    // walk would take 2^40 steps.
    std::string script = kCompile + ProjectText("p0", {"compile"});
    for (int i = 1; i <= 40; ++i) {
        const std::string below = "p" + std::to_string(i - 1);
        script += ProjectText("p" + std::to_string(i), {below, below});
    }
    EXPECT_EQ(Run(script, "p40", false), "");
    EXPECT_EQ(Ready(), (std::vector<std::string>{"compile"}));
}

}  // namespace
}  // namespace kestrel::test
