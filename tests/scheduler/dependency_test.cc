// Producers and consumers: jobs that need another job's output wait for it,
// in whatever order the project lists them and whatever the jobs' roots;
// up-to-date producers release their consumers in the same walk; outputs
// arriving release waiting jobs; and the failures of linking files to jobs.

#include <algorithm>
#include <sstream>

#include "scheduler/scheduler_fixture.h"

namespace kestrel::test {
namespace {

class DependencyTest : public SchedulerTest {};

// Lines of a message after its first, sorted.
std::vector<std::string> LinesAfterFirst(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

const std::string kCannotRun =
    "The following jobs cannot run because at least one input file is another job's output:";

// gen: a.c -> a.i; compile: a.i -> a.o; link: a.o -> app; listed consumers first.
const std::string kChain = kMachine + JobText("link", {"a.o"}, {"app"}) + JobText("compile", {"a.i"}, {"a.o"}) +
                           JobText("gen", {"a.c"}, {"a.i"}) + ProjectText("all", {"link", "compile", "gen"});

TEST_F(DependencyTest, AConsumerListedBeforeItsProducerWaitsForIt) {
    File("a.c", 1000);
    EXPECT_EQ(Run(kChain, "all"), "");
    EXPECT_EQ(Ready(), (std::vector<std::string>{"gen"}));
    EXPECT_EQ(Waiting(), (std::vector<std::string>{"compile", "link"}));
    EXPECT_EQ(TakeAll(), (std::vector<std::string>{"gen"}));
    Produced("a.i");
    EXPECT_EQ(Waiting(), (std::vector<std::string>{"link"}));
    EXPECT_EQ(TakeAll(), (std::vector<std::string>{"compile"}));
    // An output arrives once; a second report changes nothing.
    Produced("a.i");
    Produced("unrelated.o");
    EXPECT_TRUE(Ready().empty());
    Produced("a.o");
    EXPECT_EQ(TakeAll(), (std::vector<std::string>{"link"}));
    EXPECT_TRUE(Waiting().empty());
}

TEST_F(DependencyTest, SkippedProducersReleaseTheirConsumersInTheSameWalk) {
    File("a.c", 1000);
    File("a.i", 2000);
    File("a.o", 3000);
    File("app", 4000);
    EXPECT_EQ(Run(kChain, "all"), "");
    EXPECT_TRUE(Ready().empty());
    EXPECT_TRUE(Waiting().empty());
    for (uint32_t i = 0; i < scheduler.preparedCount; ++i)
        EXPECT_NE(scheduler.preparedJobs[i]->flags & kJobUpToDate, 0u) << scheduler.preparedJobs[i]->name;
    scheduler.Release();

    // Only the end of the chain is stale: gen and compile are skipped, and
    // link, released by them, is found stale in the same walk.
    SetModificationTime(dir / "app", 2500);
    EXPECT_EQ(Run(kChain, "all"), "");
    EXPECT_EQ(Ready(), (std::vector<std::string>{"link"}));
    EXPECT_TRUE(Waiting().empty());
}

TEST_F(DependencyTest, AProducerThatRunsHoldsBackConsumersThatLookUpToDate) {
    File("a.c", 5000);
    File("a.i", 2000);
    File("a.o", 3000);
    File("app", 4000);
    EXPECT_EQ(Run(kChain, "all"), "");
    EXPECT_EQ(Ready(), (std::vector<std::string>{"gen"}));
    EXPECT_EQ(Waiting(), (std::vector<std::string>{"compile", "link"}));
}

TEST_F(DependencyTest, AConsumerOfTwoProducersWaitsForBoth) {
    File("a.c", 1000);
    File("b.c", 1000);
    const std::string script = kMachine + JobText("link", {"a.o", "b.o"}, {"app"}) + JobText("a", {"a.c"}, {"a.o"}) +
                               JobText("b", {"b.c"}, {"b.o"}) + ProjectText("all", {"a", "link", "b"});
    EXPECT_EQ(Run(script, "all"), "");
    EXPECT_EQ(TakeAll(), (std::vector<std::string>{"a", "b"}));
    Produced("b.o");
    EXPECT_TRUE(Ready().empty());
    Produced("a.o");
    EXPECT_EQ(TakeAll(), (std::vector<std::string>{"link"}));
}

// The producer's script is in a/ and writes ../gen/x.h (its root is the
// directory above); the consumer's script is in gen/sub/ and reads ../x.h
// (its root is gen/). Relative to their roots the paths differ; they are
// one file.
class DifferentRootsTest : public DependencyTest {
protected:
    void SetUp() override {
        DependencyTest::SetUp();
        Write("a/build.txt", JobText("make header", {"h.in"}, {"../gen/x.h"}));
        Write("gen/sub/build.txt", JobText("use header", {"../x.h", "c.c"}, {"c.o"}));
        File("a/h.in", 1000);
        File("gen/sub/c.c", 1000);
    }
    const std::string kScript = kMachine + "import a/build.txt\nimport gen/sub/build.txt\n" +
                                ProjectText("all", {"use header", "make header"});
};

TEST_F(DifferentRootsTest, AFileWrittenWithDifferentRelativePathsLinksTheJobs) {
    EXPECT_EQ(Run(kScript, "all"), "");
    EXPECT_EQ(Ready(), (std::vector<std::string>{"make header"}));
    EXPECT_EQ(Waiting(), (std::vector<std::string>{"use header"}));
    ASSERT_EQ(scheduler.preparedCount, 2u);
    EXPECT_NE(scheduler.preparedJobs[0]->rootDepth, scheduler.preparedJobs[1]->rootDepth);
    EXPECT_EQ(TakeAll(), (std::vector<std::string>{"make header"}));
    // Reported the way the run controller sees it: the producer's root and
    // the archive's name, not normalized.
    Produced("a/.././gen//x.h");
    EXPECT_EQ(TakeAll(), (std::vector<std::string>{"use header"}));
}

TEST_F(DifferentRootsTest, BothUpToDateNothingRuns) {
    File("gen/x.h", 2000);
    File("gen/sub/c.o", 3000);
    EXPECT_EQ(Run(kScript, "all"), "");
    EXPECT_TRUE(Ready().empty());
    EXPECT_TRUE(Waiting().empty());
}

TEST_F(DifferentRootsTest, TwoSpellingsOfOneOutputInDifferentCaseClash) {
    const std::string script = kScript + JobText("also header", {}, {"GEN/X.h"}) +
                               ProjectText("both", {"make header", "also header"});
    EXPECT_EQ(Run(script, "both"), "The jobs make header and also header both create " + (dir / "GEN/X.h"));
}

TEST_F(DependencyTest, OutputsThatDifferOnlyInLetterCaseAreOneFile) {
    struct Case {
        const char* first;
        const char* second;
    };
    // ASCII, Latin-1, Greek, Cyrillic, the Kelvin sign (K folds to k), and a
    // letter whose lower case is longer in UTF-8 (U+023A).
    const Case cases[] = {
        {"Out/A.o", "out/a.O"},
        {"SRC/A.C", "src/a.c"},
        {"\xC3\x84rger.txt", "\xC3\xA4RGER.TXT"},
        {"\xCE\xA3\xCE\xA9.txt", "\xCF\x83\xCF\x89.txt"},
        {"\xD0\x96.txt", "\xD0\xB6.txt"},
        {"\xE2\x84\xAA.o", "k.o"},
        {"\xC8\xBA.o", "\xE2\xB1\xA5.o"},
    };
    for (const Case& c : cases) {
        const std::string script = kMachine + JobText("p", {}, {c.first}) + JobText("q", {}, {c.second}) +
                                   ProjectText("all", {"p", "q"});
        EXPECT_EQ(Run(script, "all"), "The jobs p and q both create " + (dir / c.second)) << c.first;
        scheduler.Release();
    }
    // Different letters stay different files.
    const std::string distinct =
        kMachine + JobText("p", {}, {"\xC3\xA4.o"}) + JobText("q", {}, {"a.o"}) + ProjectText("all", {"p", "q"});
    EXPECT_EQ(Run(distinct, "all"), "");
}

TEST_F(DependencyTest, EveryMissingInputIsListedInTheOrderFirstNeeded) {
    File("present.c", 1000);
    // Jobs are queued in project order, each job's inputs in their prepared
    // (sorted) order; a file needed twice is listed where it was first needed.
    std::vector<std::string> many;
    for (int i = 0; i < 30; ++i) many.push_back("m" + std::to_string(10 + i) + ".c");
    const std::string script = kMachine + JobText("one", {"present.c", "gone.c", "shared.h"}, {"one.o"}) +
                               JobText("two", {"shared.h", "deep/er/x.c"}, {"two.o"}) +
                               JobText("three", many, {"three.o"}) + ProjectText("all", {"two", "one", "three"});
    std::string expected = "The file " + (dir / "deep/er/x.c") + " needed by two is missing\n" +  //
                           "The file " + (dir / "shared.h") + " needed by two is missing\n" +     //
                           "The file " + (dir / "gone.c") + " needed by one is missing";
    for (const std::string& name : many) expected += "\nThe file " + (dir / name) + " needed by three is missing";
    EXPECT_EQ(Run(script, "all"), expected);
    EXPECT_NE(scheduler.flags & JobScheduler::kFoundError, 0u);
}

TEST_F(DependencyTest, JobsNeedingEachOthersOutputsCannotRun) {
    File("a.c", 1000);
    EXPECT_EQ(Run(kMachine + JobText("a", {"a.c", "b.out"}, {"a.out"}) + JobText("b", {"a.out"}, {"b.out"}) +
                      ProjectText("all", {"a", "b"}),
                  "all"),
              kCannotRun + "\nb\na");
    scheduler.Release();
    // A job that needs its own output waits for itself.
    EXPECT_EQ(Run(kMachine + JobText("self", {"x"}, {"X"}), "self"), kCannotRun + "\nself");
}

TEST_F(DependencyTest, ACycleBesideAnUpToDateJobIsStillReported) {
    File("u.c", 1000);
    File("u.o", 2000);
    File("a.c", 1000);
    const std::string script = kMachine + JobText("u", {"u.c"}, {"u.o"}) + JobText("a", {"a.c", "b.out"}, {"a.out"}) +
                               JobText("b", {"a.out"}, {"b.out"}) + ProjectText("all", {"u", "a", "b"});
    EXPECT_EQ(Run(script, "all"), kCannotRun + "\nb\na");
}

TEST_F(DependencyTest, ACycleBesideAJobThatRunsIsReportedWithWhatWaitsOnIt) {
    File("s.c", 1000);
    File("a.c", 1000);
    // s runs and releases w; a and b wait for each other, and x waits for a.
    const std::string script = kMachine + JobText("s", {"s.c"}, {"s.o"}) + JobText("w", {"s.o"}, {"w.o"}) +
                               JobText("a", {"a.c", "b.out"}, {"a.out"}) + JobText("b", {"a.out"}, {"b.out"}) +
                               JobText("x", {"a.out"}, {"x.o"}) + ProjectText("all", {"s", "w", "a", "b", "x"});
    const std::string message = Run(script, "all");
    EXPECT_EQ(message.substr(0, kCannotRun.size()), kCannotRun);
    EXPECT_EQ(LinesAfterFirst(message), (std::vector<std::string>{"a", "b", "x"}));
    // The check leaves the counts as they were.
    for (uint32_t i = 0; i < scheduler.preparedCount; ++i) {
        const Job& job = *scheduler.preparedJobs[i];
        EXPECT_EQ(job.pendingCount, std::string(job.name) == "s" ? 0u : 1u) << job.name;
    }
}

TEST_F(DependencyTest, AnInputSpelledInAnotherCaseIsReadAsTheSystemReadsIt) {
    File("a.c", 1000);
    // The producer is up to date and skipped; its consumer reads the file as
    // it spells it: on a file system that tells case apart that is another
    // name, elsewhere the producer's output, and the consumer runs.
    File("Out/A.o", 2000);
    const std::string outcome = Run(kMachine + JobText("p", {"a.c"}, {"Out/A.o"}) + JobText("c", {"out/a.o"}, {"c.o"}) +
                                        ProjectText("all", {"p", "c"}),
                                    "all");
    if (kFileNamesIgnoreCase) {
        EXPECT_EQ(outcome, "");
        EXPECT_EQ(Ready(), (std::vector<std::string>{"c"}));
    } else {
        EXPECT_EQ(outcome, "The input file " + (dir / "out/a.o") + " cannot be used after scheduling, error 2");
    }
}

}  // namespace
}  // namespace kestrel::test
