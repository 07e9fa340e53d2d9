// Keepers started ahead of need and used again: a command finds nothing of
// the one its keeper ran before (directory, environment, descriptors), a
// keeper takes no command while it still looks after processes, one that
// died while it waited is replaced, and none outlives its agent.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "agent/agent_fixture.h"

namespace kestrel::test {
namespace {

std::string ReadWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The state letter and the parent of a process from /proc/PID/stat; false
// when it is gone.
bool ProcessState(pid_t pid, char& state, pid_t& parent) {
    const std::string stat = ReadWhole("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(stat.substr(close + 1));
    rest >> state >> parent;
    return !rest.fail();
}

bool Alive(pid_t pid) {
    char state = 0;
    pid_t parent = 0;
    return ProcessState(pid, state, parent) && state != 'Z';
}

// The agent's children that are keepers.
std::set<pid_t> KeepersOf(pid_t agent) {
    std::set<pid_t> keepers;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return keepers;
    while (const dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        const pid_t pid = static_cast<pid_t>(std::stol(entry->d_name));
        char state = 0;
        pid_t parent = 0;
        if (!ProcessState(pid, state, parent) || parent != agent || state == 'Z') continue;
        const std::string arguments = ReadWhole("/proc/" + std::to_string(pid) + "/cmdline");
        if (arguments.find(std::string("--job-keeper") + '\0') != std::string::npos) keepers.insert(pid);
    }
    closedir(proc);
    return keepers;
}

// Lines "FD TARGET" of a command's descriptors (the listing's own among
// them): beyond its standard output and error, nothing of the work area but
// its working directory, and only pipes that the agent itself holds (what
// it got from whoever started it). Returns the descriptor numbers.
std::string ExpectOnlyItsOwnDescriptors(const std::string& listing, pid_t agent, const std::string& workDir,
                                        const std::string& directory) {
    std::set<std::string> agentPipes;
    const std::string agentFds = "/proc/" + std::to_string(agent) + "/fd";
    if (DIR* open = opendir(agentFds.c_str())) {
        while (const dirent* entry = readdir(open)) {
            char target[256] = {};
            if (readlink((agentFds + "/" + entry->d_name).c_str(), target, sizeof target - 1) > 0)
                agentPipes.insert(target);
        }
        closedir(open);
    }
    EXPECT_FALSE(agentPipes.empty());
    std::istringstream lines(listing);
    std::string fd, target, numbers;
    int count = 0;
    while (lines >> fd >> target) {
        ++count;
        numbers += fd + " ";
        if (fd == "1" || fd == "2" || target == directory) continue;
        EXPECT_EQ(target.rfind(workDir, 0), std::string::npos) << fd << " " << target;
        if (target.rfind("pipe:", 0) == 0) {
            EXPECT_EQ(agentPipes.count(target), 1u) << fd << " " << target;
        }
    }
    EXPECT_GE(count, 3) << listing;
    return numbers;
}

pid_t ParentOnStderr(const CommandResult& result) { return static_cast<pid_t>(std::atol(result.err.c_str())); }

using KeeperPool = AgentTest;

TEST_F(KeeperPool, ACommandFindsNothingOfTheOneItsKeeperRanBefore) {
    StartAgent();
    auto client = OpenClient();
    ASSERT_EQ(StartJob(*client, 1, 1).status(), 0u);
    ASSERT_EQ(EditEnvironment(*client, MessageType::ReplaceEnvironment, 1, "POOL_MARK", "one").status(), 0u);
    ASSERT_EQ(StepStart(*client, 1).status(), 0u);
    ASSERT_EQ(StartJob(*client, 2, 1).status(), 0u);
    ASSERT_EQ(StepStart(*client, 2).status(), 0u);
    ASSERT_EQ(StartJob(*client, 3, 1).status(), 0u);
    for (const char* name : {"BIG1", "BIG2", "BIG3"}) {
        const std::string value = name == std::string("BIG2") ? std::string(30000, 'y') : std::string(30000, 'x');
        ASSERT_EQ(EditEnvironment(*client, MessageType::ReplaceEnvironment, 3, name, value).status(), 0u);
    }
    ASSERT_EQ(EditEnvironment(*client, MessageType::SuffixEnvironment, 3, "BIG3", "z").status(), 0u);
    ASSERT_EQ(StepStart(*client, 3).status(), 0u);

    // Each command names its keeper on standard error.
    const std::string parent = "echo $PPID >&2; ";
    struct Case {
        uint8_t job;
        const char* directory;
        std::vector<std::string> arguments;
        const char* out;
        uint32_t startError;  // 0: the command starts
    } const cases[] = {
        {1, "", {"sh", "-c", parent + "mkdir sub && echo below > sub/here && echo top > here && printf x > plain; "
                                      "cat here; echo ${POOL_MARK-unset}"},
         "top\none\n", 0},
        {1, "sub", {"sh", "-c", parent + "cat here; echo ${POOL_MARK-unset}"}, "below\none\n", 0},
        // A start that fails leaves its keeper for the next command.
        {1, "", {"./plain"}, "", EACCES},
        {2, "", {"sh", "-c", parent + "cat here 2>/dev/null || echo elsewhere; echo ${POOL_MARK-unset}"},
         "elsewhere\nunset\n", 0},
        {1, "sub", {"sh", "-c", parent + "read line || echo no-input; echo ${POOL_MARK-unset}"}, "no-input\none\n", 0},
        {2, "", {"sh", "-c", parent + "pwd -P | grep -c /sub$; echo ${POOL_MARK-unset}"}, "0\nunset\n", 0},
        // An environment longer than a few packets to the keeper.
        {3, "", {"sh", "-c", parent + "printf %s \"$BIG1$BIG2$BIG3\" | tr -d y | wc -c; echo ${POOL_MARK-unset}"},
         "60002\nunset\n", 0},
    };
    // The keepers were started ahead of the first command.
    EXPECT_GE(KeepersOf(agent.pid()).size(), 2u);
    // What a command has open, as the first keeper gives it: no pipe or
    // directory of an earlier command may be added later.
    const auto descriptors = [&] {
        return RunCommand(*client, 2, "", {"find", "/proc/self/fd", "-mindepth", "1", "-printf", "%f %l\\n"}).out;
    };
    std::string area = RunCommand(*client, 2, "", {"pwd", "-P"}).out;
    if (!area.empty()) area.pop_back();
    const std::string firstDescriptors = ExpectOnlyItsOwnDescriptors(descriptors(), agent.pid(), workDir, area);
    std::multiset<pid_t> parents;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.back().substr(0, 80));
        const CommandResult result = RunCommand(*client, c.job, c.directory, c.arguments);
        ASSERT_EQ(result.failure, "");
        ASSERT_EQ(result.execute.status(), 0u);
        EXPECT_EQ(result.startFailed, c.startError != 0);
        if (c.startError != 0) {
            EXPECT_EQ(result.startError, c.startError);
            continue;
        }
        EXPECT_TRUE(result.returned);
        EXPECT_EQ(result.value, 0) << result.err;
        EXPECT_EQ(result.out, c.out);
        parents.insert(ParentOnStderr(result));
        EXPECT_EQ(KeepersOf(agent.pid()).count(ParentOnStderr(result)), 1u) << result.err << " is no keeper";
    }
    EXPECT_EQ(ExpectOnlyItsOwnDescriptors(descriptors(), agent.pid(), workDir, area), firstDescriptors);
    // Keepers were used again.
    EXPECT_LT(std::set<pid_t>(parents.begin(), parents.end()).size(), parents.size());
}

TEST_F(KeeperPool, AKeeperStillLookingAfterProcessesTakesNoOtherCommand) {
    StartAgent();
    auto client = OpenClient();
    for (uint8_t job : {1, 2}) {
        ASSERT_EQ(StartJob(*client, job, 1).status(), 0u);
        ASSERT_EQ(StepStart(*client, job).status(), 0u);
    }
    // Out of the command's group: the command ends, its keeper stays with the sleep.
    const CommandResult left = RunCommand(
        *client, 1, "", {"sh", "-c", "echo $PPID >&2; setsid sleep 1000 </dev/null >/dev/null 2>&1 & echo $!"});
    ASSERT_EQ(left.failure, "");
    ASSERT_TRUE(left.returned);
    const pid_t busy = ParentOnStderr(left);
    const pid_t sleeper = static_cast<pid_t>(std::atol(left.out.c_str()));
    ASSERT_GT(sleeper, 0);
    EXPECT_TRUE(Alive(sleeper));
    for (int i = 0; i < 6; ++i) {
        const CommandResult other = RunCommand(*client, 2, "", {"sh", "-c", "echo $PPID >&2"});
        ASSERT_TRUE(other.returned);
        EXPECT_NE(ParentOnStderr(other), busy) << "command " << i;
    }
    // Its job's end ends what it looks after.
    ASSERT_EQ(EndJob(*client, 1).status(), 0u);
    EXPECT_FALSE(Alive(sleeper));
    const CommandResult after = RunCommand(*client, 2, "", {"sh", "-c", "echo done"});
    EXPECT_EQ(after.out, "done\n");
}

TEST_F(KeeperPool, AKeeperThatDiedWhileWaitingIsReplaced) {
    StartAgent();
    auto client = OpenClient();
    ASSERT_EQ(StartJob(*client, 1, 1).status(), 0u);
    ASSERT_EQ(StepStart(*client, 1).status(), 0u);
    ASSERT_EQ(RunCommand(*client, 1, "", {"true"}).value, 0);
    const std::set<pid_t> waiting = KeepersOf(agent.pid());
    ASSERT_FALSE(waiting.empty());
    for (pid_t keeper : waiting) kill(keeper, SIGKILL);
    const auto allDead = [&] {
        for (pid_t keeper : waiting) {
            if (Alive(keeper)) return false;
        }
        return true;
    };
    ASSERT_TRUE(WaitUntil(allDead));
    for (int i = 0; i < 3; ++i) {
        const CommandResult result = RunCommand(*client, 1, "", {"sh", "-c", "echo $PPID"});
        ASSERT_EQ(result.failure, "");
        EXPECT_FALSE(result.startFailed) << result.startError;
        EXPECT_TRUE(result.returned);
        EXPECT_EQ(waiting.count(static_cast<pid_t>(std::atol(result.out.c_str()))), 0u);
    }
    // The dead ones were reaped, not left as zombies of the agent.
    EXPECT_TRUE(WaitUntil([&] {
        for (pid_t keeper : waiting) {
            char state = 0;
            pid_t parent = 0;
            if (ProcessState(keeper, state, parent) && parent == agent.pid()) return false;
        }
        return true;
    }));
}

enum class AgentEnd { Stop, Killed };

class KeepersEnd : public AgentTest, public ::testing::WithParamInterface<AgentEnd> {};

INSTANTIATE_TEST_SUITE_P(Ends, KeepersEnd, ::testing::Values(AgentEnd::Stop, AgentEnd::Killed),
                         [](const ::testing::TestParamInfo<AgentEnd>& info) {
                             return std::string(info.param == AgentEnd::Stop ? "Stop" : "Killed");
                         });

TEST_P(KeepersEnd, NoKeeperOutlivesItsAgent) {
    StartAgent();
    {
        auto client = OpenClient();
        ASSERT_EQ(StartJob(*client, 1, 1).status(), 0u);
        ASSERT_EQ(StepStart(*client, 1).status(), 0u);
        // Used ones back among those waiting (the cleanup tests end those at work).
        for (int i = 0; i < 3; ++i) ASSERT_EQ(RunCommand(*client, 1, "", {"true"}).value, 0);
    }
    const std::set<pid_t> keepers = KeepersOf(agent.pid());
    EXPECT_GE(keepers.size(), 2u);
    if (GetParam() == AgentEnd::Killed) kill(agent.pid(), SIGKILL);
    agent.Stop();
    EXPECT_TRUE(WaitUntil([&] {
        for (pid_t keeper : keepers) {
            if (Alive(keeper)) return false;
        }
        return true;
    })) << testing::PrintToString(keepers);
}

}  // namespace
}  // namespace kestrel::test
