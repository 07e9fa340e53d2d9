// The run controller against real agents: jobs started and ended, machine
// selection and fail-over, connections that break at every request, the
// capacity wait, job IDs, and the environment a job's commands see.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "client/run_harness.h"

namespace kestrel::test {
namespace {

using Records = std::vector<std::string>;

RunResult RunScript(TempDir& dir, const std::string& script, const RunOptions& options = {}) {
    WriteFile(dir / "build.kv", script);
    RunResult run = RunClientInProcess(dir.path(), "build.kv", options);
    EXPECT_EQ(run.schemaErrors, "") << run.buildLog;
    return run;
}

std::string Machine(const std::string& name, const std::vector<std::string>& paths) {
    std::string text = "machine " + name + "\n    path list\n";
    for (const std::string& url : paths) text += "        " + url + "\n";
    return text;
}

std::string JobBlock(const std::string& name, const std::vector<std::string>& machines, const std::string& body = "") {
    std::string text = "job " + name + "\n    machine\n";
    for (const std::string& m : machines) text += "        " + m + "\n";
    return text + body;
}

std::string Project(const std::vector<std::string>& jobs) {
    std::string text = "project main\n    build\n";
    for (const std::string& job : jobs) text += "        " + job + "\n";
    return text;
}

// A port that refuses connections: an agent that has come and gone.
std::string RefusedUrl() {
    AgentProcess gone;
    TestAgents agents;
    if (!agents.Start(gone, {})) return "";
    const std::string url = TestAgents::Url(gone);
    gone.Stop();
    return url;
}

bool Contains(const Records& records, const std::string& record) {
    return std::find(records.begin(), records.end(), record) != records.end();
}

TEST(RunControllerTest, JobsStartAndEnd) {
    TestAgents agents;
    AgentProcess a, b;
    ASSERT_TRUE(agents.Start(a, {})) << a.failure;
    ASSERT_TRUE(agents.Start(b, {})) << b.failure;
    TempDir dir;
    const std::string script = Machine("a", {TestAgents::Url(a)}) + Machine("b", {TestAgents::Url(b)}) +
                               JobBlock("empty", {"a"}) + JobBlock("second", {"a"}) + JobBlock("both", {"a", "b"}) +
                               Project({"empty", "second", "both"});
    const RunResult run = RunScript(dir, script);
    ASSERT_TRUE(run.started) << run.startMessage;
    EXPECT_FALSE(run.jobFailed);
    ASSERT_EQ(run.logs.size(), 2u);
    std::map<std::string, int> started;
    int ended = 0;
    for (const HandedOverLog& log : run.logs) {
        EXPECT_EQ(log.readResult, "done");
        for (const std::string& record : log.records) {
            if (record.rfind("StartJob ", 0) == 0) ++started[record.substr(record.find(" job ") + 5)];
            if (record.rfind("EndJob ", 0) == 0 && record.find("status 0 failed 0") != std::string::npos) ++ended;
        }
    }
    // The job on two machines runs on both.
    EXPECT_EQ(started, (std::map<std::string, int>{{"both", 2}, {"empty", 1}, {"second", 1}}));
    EXPECT_EQ(ended, 4);
}

TEST(RunControllerTest, FirstPathIsChosenAtRandom) {
    TestAgents agents;
    AgentProcess paths[3];
    std::vector<std::string> urls;
    for (AgentProcess& agent : paths) {
        ASSERT_TRUE(agents.Start(agent, {})) << agent.failure;
        urls.push_back(TestAgents::Url(agent));
    }
    std::set<std::string> firstTried;
    TempDir dir;
    for (int run = 0; run < 60 && firstTried.size() < 3; ++run) {
        const RunResult result = RunScript(dir, Machine("m", urls) + JobBlock("main", {"m"}));
        ASSERT_EQ(result.logs.size(), 1u);
        EXPECT_FALSE(result.jobFailed);
        firstTried.insert(result.logs[0].records[0]);
    }
    EXPECT_EQ(firstTried, (std::set<std::string>{"machine m PathID 0", "machine m PathID 1", "machine m PathID 2"}));
}

TEST(RunControllerTest, RefusedPathsFailOver) {
    TestAgents agents;
    AgentProcess alive;
    ASSERT_TRUE(agents.Start(alive, {})) << alive.failure;
    const std::string refused = RefusedUrl();
    TempDir dir;
    bool sawFailOver = false;
    for (int run = 0; run < 30 && !sawFailOver; ++run) {
        const RunResult result = RunScript(dir, Machine("m", {refused, TestAgents::Url(alive)}) + JobBlock("main", {"m"}));
        EXPECT_FALSE(result.jobFailed);
        ASSERT_GE(result.logs.size(), 1u);
        sawFailOver = result.logs.size() == 2;
        EXPECT_TRUE(Contains(result.logs.back().records, "EndJob 1 status 0 failed 0"));
    }
    EXPECT_TRUE(sawFailOver) << "the refused path was never tried first";

    const RunResult none = RunScript(dir, Machine("m", {refused, RefusedUrl(), RefusedUrl()}) + JobBlock("main", {"m"}));
    EXPECT_TRUE(none.jobFailed);
    EXPECT_FALSE(none.abortedByWatchdog);
    EXPECT_EQ(none.logs.size(), 3u);
}

// The agent closes the connection at each request in turn: the run always
// ends; the job fails unless its EndJob was answered; a job on another
// machine is not disturbed.
TEST(RunControllerTest, ConnectionClosedAtEveryRequest) {
    TestAgents agents;
    AgentProcess other;
    ASSERT_TRUE(agents.Start(other, {})) << other.failure;
    const std::string body = "    command break on error\n        true\n";
    for (int k = 1; k <= 12; ++k) {
        SCOPED_TRACE("closed at request " + std::to_string(k));
        AgentProcess closing;
        ASSERT_TRUE(agents.Start(closing, {"--test-close-at", std::to_string(k)})) << closing.failure;
        TempDir dir;
        const RunResult run =
            RunScript(dir, Machine("c", {TestAgents::Url(closing)}) + Machine("o", {TestAgents::Url(other)}) +
                               JobBlock("broken", {"c"}, body) + JobBlock("fine", {"o"}, body) +
                               Project({"broken", "fine"}));
        ASSERT_FALSE(run.abortedByWatchdog);
        ASSERT_EQ(run.logs.size(), 2u);
        for (const HandedOverLog& log : run.logs) {
            EXPECT_EQ(log.readResult, "done");
            if (log.records[0] == "machine o PathID 0") {
                EXPECT_TRUE(Contains(log.records, "EndJob 1 status 0 failed 0"));
                continue;
            }
            const bool endedWell = Contains(log.records, "EndJob 1 status 0 failed 0");
            EXPECT_EQ(run.jobFailed, !endedWell);
        }
    }
}

// Two jobs that each need the whole machine: the second is refused, waits,
// and is started with the same job ID once the first has ended.
TEST(RunControllerTest, WaitsForCapacityAndRetriesWithTheSameId) {
    TestAgents agents;
    AgentProcess agent;
    ASSERT_TRUE(agents.Start(agent, {"--capacity", "256"})) << agent.failure;
    const std::string body = "    concurrency minimum\n    command break on error\n        sleep\n            0.3\n";
    TempDir dir;
    const RunResult run = RunScript(dir, Machine("m", {TestAgents::Url(agent)}) + JobBlock("one", {"m"}, body) +
                                             JobBlock("two", {"m"}, body) + Project({"one", "two"}));
    EXPECT_FALSE(run.jobFailed);
    ASSERT_EQ(run.logs.size(), 1u);
    std::vector<std::string> starts;
    for (const std::string& record : run.logs[0].records)
        if (record.rfind("StartJob ", 0) == 0 || record.rfind("EndJob ", 0) == 0) starts.push_back(record);
    ASSERT_EQ(starts.size(), 5u) << ::testing::PrintToString(starts);
    // StartJob A 0, StartJob B 8, EndJob A, StartJob B 0, EndJob B.
    EXPECT_NE(starts[0].find("status 0"), std::string::npos);
    EXPECT_NE(starts[1].find("status 8"), std::string::npos);
    EXPECT_EQ(starts[2].rfind("EndJob ", 0), 0u);
    const std::string waiting = starts[1].substr(0, starts[1].find(" status"));
    EXPECT_EQ(starts[3].substr(0, starts[3].find(" status")), waiting);
    EXPECT_NE(starts[3].find("status 0"), std::string::npos);
}

// 255 jobs on one connection: 254 IDs, then the wait for a free one, and no
// ID ever given to two jobs at once.
TEST(RunControllerTest, JobIdsAreReusedButNeverShared) {
    TestAgents agents;
    AgentProcess agent;
    ASSERT_TRUE(agents.Start(agent, {"--capacity", "65280"})) << agent.failure;
    std::string script = Machine("m", {TestAgents::Url(agent)});
    std::vector<std::string> names;
    for (int i = 0; i < 255; ++i) {
        names.push_back("j" + std::to_string(i));
        script += JobBlock(names.back(), {"m"}, "    concurrency maximum\n");
    }
    TempDir dir;
    const RunResult run = RunScript(dir, script + Project(names));
    EXPECT_FALSE(run.jobFailed);
    ASSERT_EQ(run.logs.size(), 1u);
    std::set<int> inUse, everUsed;
    int starts = 0;
    for (const std::string& record : run.logs[0].records) {
        if (record.rfind("StartJob ", 0) == 0) {
            const int id = std::stoi(record.substr(9));
            EXPECT_TRUE(inUse.insert(id).second) << "ID " << id << " given twice";
            everUsed.insert(id);
            ++starts;
        } else if (record.rfind("EndJob ", 0) == 0) {
            inUse.erase(std::stoi(record.substr(7)));
        }
    }
    EXPECT_EQ(starts, 255);
    EXPECT_EQ(everUsed.size(), 254u);
    EXPECT_EQ(*everUsed.begin(), 1);
    EXPECT_EQ(*everUsed.rbegin(), 254);
}

TEST(RunControllerTest, EnvironmentReachesTheCommands) {
    TestAgents agents;
    TempDir work;
    WriteFile(work / "dev.env", "KV_DEV_MARK=from-dev\n");
    AgentProcess agent;
    ASSERT_TRUE(agents.Start(agent, {"--dev-env", "tools=" + (work / "dev.env")})) << agent.failure;
    const std::string body =
        "    environment replace\n        MODE = a\n        MODE = b\n"
        "    environment prefix\n        LIST = one,\n        LIST = two,\n"
        "    environment suffix\n        LIST = ,three\n"
        "    development environment tools\n"
        "    command break on error\n        sh\n            -c\n"
        "            echo $MODE $LIST $KV_DEV_MARK\n";
    TempDir dir;
    const RunResult run = RunScript(dir, Machine("m", {TestAgents::Url(agent)}) + JobBlock("main", {"m"}, body));
    EXPECT_FALSE(run.jobFailed);
    ASSERT_EQ(run.logs.size(), 1u);
    const Records records = run.logs[0].WithoutPolls();
    // Replacements with the last value only, then prefixes one by one, then suffixes.
    const Records edits = {"ReplaceEnvironment 1 MODE=b status 0", "PrefixEnvironment 1 LIST=one, status 0",
                           "PrefixEnvironment 1 LIST=two, status 0", "SuffixEnvironment 1 LIST=,three status 0"};
    auto first = std::find(records.begin(), records.end(), edits[0]);
    ASSERT_NE(first, records.end()) << ::testing::PrintToString(records);
    EXPECT_EQ(Records(first, first + 4), edits);
    EXPECT_TRUE(Contains(records, "SetDevelopmentEnvironment 1 tools status 0"));
    EXPECT_EQ(run.logs[0].output.at(1), "b two,:one,:,three from-dev\n");
}

// Environment edits go out in the order the script declares the variables,
// whatever the table they are kept in.
TEST(RunControllerTest, EnvironmentEditsFollowTheScriptsOrder) {
    TestAgents agents;
    AgentProcess agent;
    ASSERT_TRUE(agents.Start(agent, {})) << agent.failure;
    const std::vector<std::string> names = {"ZETA", "ALPHA", "MU", "BETA", "OMEGA", "KAPPA", "DELTA", "IOTA"};
    std::string body = "    environment replace\n";
    for (const std::string& name : names) body += "        " + name + " = v\n";
    TempDir dir;
    const RunResult run = RunScript(dir, Machine("m", {TestAgents::Url(agent)}) + JobBlock("main", {"m"}, body));
    ASSERT_EQ(run.logs.size(), 1u);
    Records edits;
    for (const std::string& record : run.logs[0].records)
        if (record.rfind("ReplaceEnvironment ", 0) == 0) edits.push_back(record);
    Records expected;
    for (const std::string& name : names) expected.push_back("ReplaceEnvironment 1 " + name + "=v status 0");
    EXPECT_EQ(edits, expected);
}

// Inputs and outputs unpack with their archives' permission bits, as tar
// would: a script sent as an input runs as it is, and a program built on the
// machine runs where it arrives.
TEST(RunControllerTest, ProgramsStayRunnableBothWays) {
    TestAgents agents;
    AgentProcess agent;
    ASSERT_TRUE(agents.Start(agent, {})) << agent.failure;
    TempDir dir;
    WriteFile(dir / "tool.sh", "#!/bin/sh\necho '#!/bin/sh' > made.sh; echo echo made >> made.sh\n");
    const std::string body =
        "    input\n        tool.sh\n    output\n        made.sh\n    command break on error\n        ./tool.sh\n";
    const RunResult run = RunScript(dir, Machine("m", {TestAgents::Url(agent)}) + JobBlock("main", {"m"}, body));
    EXPECT_FALSE(run.jobFailed) << ::testing::PrintToString(run.logs[0].records);
    EXPECT_EQ(RunProcess({dir / "made.sh"}).out, "made\n");
}

// A command that prints a lot to both streams at once: every byte reaches
// the connection log, in order on each stream.
TEST(RunControllerTest, EveryByteOfBothStreamsIsLogged) {
    TestAgents agents;
    AgentProcess agent;
    ASSERT_TRUE(agents.Start(agent, {})) << agent.failure;
    TempDir dir;
    // 50 MB on standard output and 1 MB on standard error, interleaved.
    const std::string program =
        "import sys\n"
        "out, err = sys.stdout.buffer, sys.stderr.buffer\n"
        "for i in range(1000):\n"
        "    out.write(bytes([65 + i % 26]) * 49999 + b'\\n'); out.flush()\n"
        "    err.write(b'%07d' % i + b'x' * 992 + b'\\n'); err.flush()\n";
    WriteFile(dir / "noise.py", program);
    const std::string body = "    input\n        noise.py\n    command break on error\n        python3\n            noise.py\n";
    const RunResult run = RunScript(dir, Machine("m", {TestAgents::Url(agent)}) + JobBlock("main", {"m"}, body));
    EXPECT_FALSE(run.jobFailed);
    ASSERT_EQ(run.logs.size(), 1u);
    std::string expectedOut, expectedErr;
    for (int i = 0; i < 1000; ++i) {
        expectedOut += std::string(49999, static_cast<char>('A' + i % 26)) + "\n";
        char number[8];
        std::snprintf(number, sizeof number, "%07d", i);
        expectedErr += std::string(number) + std::string(992, 'x') + "\n";
    }
    const std::string& out = run.logs[0].output.at(1);
    const std::string& err = run.logs[0].errors.at(1);
    EXPECT_EQ(out.size(), expectedOut.size());
    EXPECT_TRUE(out == expectedOut);
    EXPECT_EQ(err.size(), expectedErr.size());
    EXPECT_TRUE(err == expectedErr);
}

// A UTF-16 machine's texts (here the path it names as missing) are kept in
// the log as text the build log can show.
TEST(RunControllerTest, MachineTextsOfAUtf16MachineAreKeptReadable) {
    TestAgents agents;
    AgentProcess agent;
    ASSERT_TRUE(agents.Start(agent, {"--encoding", "UTF-16LE"})) << agent.failure;
    const std::string body = "    output\n        n\xC3\xA4there.txt\n    command break on error\n        true\n";
    TempDir dir;
    const RunResult run = RunScript(dir, Machine("m", {TestAgents::Url(agent)}) + JobBlock("main", {"m"}, body));
    EXPECT_TRUE(run.jobFailed);
    ASSERT_EQ(run.logs.size(), 1u);
    EXPECT_TRUE(Contains(run.logs[0].records, "AddOutput 1 n\xC3\xA4there.txt status 6 'n\xC3\xA4there.txt'"))
        << ::testing::PrintToString(run.logs[0].records);
    EXPECT_NE(run.buildLog.find("<kv:OutputError error=\"missing file\">n\xC3\xA4there.txt</kv:OutputError>"),
              std::string::npos)
        << run.buildLog;
}

}  // namespace
}  // namespace kestrel::test
