// kestrel-report on the build log of a real run: build/kestrel against a
// kestrel-agent reached on two machines, one directly and one through a
// relay that refuses the job's start (an error job), with a job that
// succeeds and one that fails. The page is opened in headless Chromium, the
// trace read by a JSON parser.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "report/build_log_reader.h"
#include "report/page_check.h"

namespace kestrel::test {
namespace {

constexpr int kStartJob = 0;
constexpr uint32_t kWorkAreaNotCreated = 5;
constexpr uint32_t kNoSpace = 28;

std::string U32(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>(value >> (8 * i));
    return bytes;
}

class ReportRunTest : public EndToEndTest {
protected:
    // One run: "compile" succeeds and "check" fails on beta; "package" is
    // refused on alpha. Leaves build_log.xml in the working directory.
    void SetUp() override {
        StartAgent();
        NewRelay().ReplaceResponse(kStartJob, 1, U32(kWorkAreaNotCreated) + U32(kNoSpace));
        StartRelay();
        JobSpec compile;
        compile.name = "compile";
        compile.machines = {"beta"};
        compile.commands = {Shell("echo compiling one; echo compiling two; sleep 0.3; echo done"),
                            Shell("sleep 0.2; echo linked")};
        JobSpec check;
        check.name = "check";
        check.machines = {"beta"};
        check.commands = {Shell("echo checking; sleep 0.4; echo 'boom on stderr' >&2; exit 3")};
        JobSpec package;
        package.name = "package";
        package.machines = {"alpha"};
        package.commands = {Shell("echo never")};
        Write("build.txt", MachineBlock("alpha", relay->port()) + MachineBlock("beta", agent.port()) +
                               JobBlock(compile) + JobBlock(check) + JobBlock(package) +
                               "project main\n    build\n        compile\n        check\n        package\n");
        const ProcessResult run = RunKestrel();
        ASSERT_TRUE(FileExists(At("build_log.xml"))) << run.out << run.err;
        document = At("build_log.xml");
        report::DetailsWriter details;
        std::string message;
        ASSERT_TRUE(details.Open(message));
        ASSERT_TRUE(report::ReadBuildLog(document, details, log, message)) << message;
    }

    std::string document;
    report::BuildLog log;
};

TEST_F(ReportRunTest, TheLogHoldsEveryKindOfJobOnTwoMachines) {
    std::map<std::string, report::JobStatus> statuses;
    std::map<std::string, std::string> machines;
    for (const report::JobRecord& job : log.jobs) {
        statuses[job.name] = job.status;
        machines[job.name] = log.connections[job.connection].machine;
    }
    EXPECT_EQ(statuses, (std::map<std::string, report::JobStatus>{{"check", report::JobStatus::kFailed},
                                                                   {"compile", report::JobStatus::kSucceeded},
                                                                   {"package", report::JobStatus::kError}}));
    EXPECT_EQ(machines, (std::map<std::string, std::string>{{"check", "beta"}, {"compile", "beta"}, {"package", "alpha"}}));
}

TEST_F(ReportRunTest, ThePageShowsEveryJobTheFailureFirstAndOutputOnClick) {
    const ProcessResult report = RunProcess({KESTREL_REPORT_BINARY, document});
    ASSERT_EQ(report.exitCode, 0) << report.err;
    const std::string page = At("build_log.html");
    ASSERT_TRUE(FileExists(page));
    // Nothing outside the file: no network, no other files.
    const std::string html = ReadFile(page);
    EXPECT_EQ(html.find("http://"), std::string::npos);
    EXPECT_EQ(Count(html, "<script src"), 0u);
    EXPECT_EQ(Count(html, "<link"), 0u);
    // Output stays out of the page's text until a job is opened.
    EXPECT_NE(html.find("boom on stderr"), std::string::npos);

    std::string failure;
    const std::string dom = DumpDom("file://" + page, failure);
    ASSERT_FALSE(dom.empty()) << failure;
    EXPECT_NE(dom.find("data-ready=\"true\""), std::string::npos) << "the page's script did not finish";
    EXPECT_NE(dom.find("3 jobs</b>: 1 succeeded, 1 failed, 1 error"), std::string::npos);
    EXPECT_NE(dom.find("busiest machine <b>beta</b>"), std::string::npos);
    // One bar per job, coloured by its status.
    EXPECT_EQ(Count(dom, "class=\"bar "), log.jobs.size());
    EXPECT_EQ(Count(dom, "class=\"bar failed"), 1u);
    EXPECT_EQ(Count(dom, "class=\"bar error"), 1u);
    // The failed jobs come first in the page, a failed command before a job
    // its machine refused: the failing command's stderr (marked) and the
    // refusal are shown before the timeline.
    const size_t failedJob = dom.find("<h3>check (beta");
    const size_t errorJob = dom.find("<h3>package (alpha");
    const size_t timeline = dom.find("<h2>Timeline");
    ASSERT_NE(failedJob, std::string::npos);
    ASSERT_NE(errorJob, std::string::npos);
    EXPECT_LT(failedJob, errorJob);
    EXPECT_LT(errorJob, timeline);
    EXPECT_LT(dom.find("<span class=\"err\">boom on stderr</span>", failedJob), timeline);
    EXPECT_LT(dom.find("Cannot create work area for the job (error 28)", errorJob), timeline);
    // No job is open until one is clicked.
    EXPECT_NE(dom.find("<section id=\"detail\" hidden=\"\"></section>"), std::string::npos);

    // A click on the bar of "compile" opens its commands and output.
    const std::string opened = DumpDom("file://" + page + "#open=compile", failure);
    const size_t detail = opened.find("<section id=\"detail\" data-job=");
    ASSERT_NE(detail, std::string::npos) << failure;
    const std::string shown = opened.substr(detail, opened.find("</section>", detail) - detail);
    EXPECT_NE(shown.find("compile (beta"), std::string::npos) << shown;
    EXPECT_NE(shown.find("compiling one\ncompiling two\ndone\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("linked\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("exit value 0"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("boom on stderr"), std::string::npos) << shown;
    // The clicked bar, and only it, is marked.
    EXPECT_EQ(Count(opened, " selected\" title="), 1u);
    const size_t bar = opened.rfind("<div", opened.find("data-name=\"compile\""));
    EXPECT_NE(opened.substr(bar, opened.find('>', bar) - bar).find(" selected\""), std::string::npos);

    const std::string png = At("build_log.png");
    ASSERT_TRUE(Screenshot("file://" + page + "#open=check", png, failure)) << failure;
    // A blank or unstyled page has a handful of colours; the page's bars,
    // text and marked stderr give many more.
    EXPECT_GT(DistinctColours(png), 50u);
}

TEST_F(ReportRunTest, TheTraceHasOneEventPerJobThatNeverOverlapsOnItsThread) {
    const ProcessResult report = RunProcess({KESTREL_REPORT_BINARY, "--trace", document});
    ASSERT_EQ(report.exitCode, 0) << report.err;
    EXPECT_FALSE(FileExists(At("build_log.html")));
    std::vector<TraceEvent> events;
    std::string failure;
    ASSERT_TRUE(ReadTrace(At("build_log.trace.json"), events, failure)) << failure;
    ASSERT_EQ(events.size(), log.jobs.size());
    std::map<std::string, long long> pidOfMachine;
    for (size_t i = 0; i < events.size(); ++i) {
        const report::JobRecord& job = log.jobs[i];
        EXPECT_EQ(events[i].name, job.name);
        // Running times are in 100-ns ticks, the trace in microseconds.
        EXPECT_DOUBLE_EQ(events[i].dur, static_cast<double>(job.running) / 10) << job.name;
        EXPECT_DOUBLE_EQ(events[i].ts, static_cast<double>(job.start - log.start) / 10) << job.name;
        const std::string& machine = log.connections[job.connection].machine;
        if (pidOfMachine.count(machine) == 0) pidOfMachine[machine] = events[i].pid;
        EXPECT_EQ(events[i].pid, pidOfMachine[machine]) << job.name;
    }
    EXPECT_EQ(pidOfMachine.size(), 2u);
    EXPECT_NE(pidOfMachine["alpha"], pidOfMachine["beta"]);
    // Events of one thread follow each other.
    std::vector<TraceEvent> sorted = events;
    std::sort(sorted.begin(), sorted.end(), [](const TraceEvent& a, const TraceEvent& b) {
        return std::tie(a.pid, a.tid, a.ts) < std::tie(b.pid, b.tid, b.ts);
    });
    for (size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i].pid == sorted[i - 1].pid && sorted[i].tid == sorted[i - 1].tid) {
            EXPECT_LE(sorted[i - 1].ts + sorted[i - 1].dur, sorted[i].ts) << sorted[i].name;
        }
    }
    // "compile" and "check" start together on beta and overlap: two threads.
    std::map<std::string, TraceEvent> byName;
    for (const TraceEvent& event : events) byName[event.name] = event;
    EXPECT_EQ(byName["compile"].pid, byName["check"].pid);
    EXPECT_NE(byName["compile"].tid, byName["check"].tid);
}

}  // namespace
}  // namespace kestrel::test
