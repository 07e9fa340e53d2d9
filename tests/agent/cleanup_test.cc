// What a job leaves behind ends with it: processes that left the command's
// group or session, work areas dug deeper than descriptors reach, and input
// archives that announce more than anyone should hold.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "agent/agent_fixture.h"
#include "archive/archive_test_support.h"

namespace kestrel::test {
namespace {

constexpr char kMarkName[] = "KESTREL_TEST_MARK";

std::string ReadProcFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The processes (with their names) whose environment holds `assignment`:
// everything a job started, whatever session or group it moved to.
std::vector<std::string> MarkedProcesses(const std::string& assignment) {
    std::vector<std::string> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
    while (const dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        const std::string base = std::string("/proc/") + entry->d_name;
        const std::string environment = ReadProcFile(base + "/environ");
        if (environment.find(std::string(1, '\0') + assignment + '\0') == std::string::npos &&
            environment.rfind(assignment + '\0', 0) != 0)
            continue;
        std::string name = ReadProcFile(base + "/comm");
        if (!name.empty() && name.back() == '\n') name.pop_back();
        found.push_back(std::string(entry->d_name) + " " + name);
    }
    closedir(proc);
    return found;
}

size_t CountNamed(const std::vector<std::string>& processes, const std::string& name) {
    const std::string suffix = " " + name;
    size_t count = 0;
    for (const std::string& process : processes) {
        if (process.size() > suffix.size() && process.compare(process.size() - suffix.size(), suffix.size(), suffix) == 0)
            ++count;
    }
    return count;
}

std::string UniqueMark(const std::string& tag) {
    static std::atomic<int> counter{0};
    return tag + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

enum class JobEnd { EndJob, Disconnect, AgentStop, AgentKilled };

class LeftBehind : public AgentTest, public ::testing::WithParamInterface<JobEnd> {};

std::string EndName(const ::testing::TestParamInfo<JobEnd>& info) {
    static const char* const kNames[] = {"EndJob", "Disconnect", "AgentStop", "AgentKilled"};
    return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Ends, LeftBehind,
                         ::testing::Values(JobEnd::EndJob, JobEnd::Disconnect, JobEnd::AgentStop, JobEnd::AgentKilled),
                         EndName);

Checked Marked(WireClient& client, uint8_t job, const std::string& mark) {
    return EditEnvironment(client, MessageType::ReplaceEnvironment, job, kMarkName, mark);
}

TEST_P(LeftBehind, NoProcessOfTheJobOutlivesItsEnd) {
    StartAgent();
    const std::string mark = UniqueMark("left-behind");
    const std::string assignment = std::string(kMarkName) + "=" + mark;
    auto client = OpenClient();
    ASSERT_EQ(StartJob(*client, 1, 1).status(), 0u);
    ASSERT_EQ(Marked(*client, 1, mark).status(), 0u);
    ASSERT_EQ(StepStart(*client, 1).status(), 0u);

    // Out of the command's group, two of them holding its streams: the
    // command still ends, once its group is gone.
    const CommandResult outside = RunCommand(*client, 1, "",
                                             {"sh", "-c",
                                              "setsid sleep 1000 </dev/null >/dev/null 2>&1 & "
                                              "setsid sleep 1000 & "
                                              "(setsid sleep 1000 &) & "
                                              "echo started"});
    ASSERT_EQ(outside.failure, "");
    EXPECT_TRUE(outside.returned);
    EXPECT_EQ(outside.value, 0);
    EXPECT_EQ(outside.out, "started\n");

    // In the group with the streams closed, a double fork among them: the
    // command ends with its process.
    const CommandResult inside = RunCommand(*client, 1, "",
                                            {"sh", "-c",
                                             "(sleep 1000 </dev/null >/dev/null 2>&1 &) & "
                                             "sleep 1000 </dev/null >/dev/null 2>&1 & "
                                             "echo started"});
    ASSERT_EQ(inside.failure, "");
    EXPECT_TRUE(inside.returned);
    EXPECT_EQ(inside.out, "started\n");

    // In the group and holding the streams: the command goes on running.
    ASSERT_EQ(StartJob(*client, 2, 1).status(), 0u);
    ASSERT_EQ(Marked(*client, 2, mark).status(), 0u);
    ASSERT_EQ(StepStart(*client, 2).status(), 0u);
    const Answer started = client->Request([](PayloadWriter& w) {
        BeginExecute(w, 2, nullptr, 0);
        AddExecuteString(w, "", 0);
        for (const char* argument : {"sh", "-c", "sleep 1000 & echo started"}) {
            AddExecuteString(w, argument, static_cast<uint32_t>(std::strlen(argument)));
        }
    });
    ASSERT_EQ(CheckStatus(MessageType::Execute, started).status(), 0u);
    std::string said;
    while (said.find('\n') == std::string::npos) {
        const PollResult poll = Poll(*client, {2});
        ASSERT_EQ(poll.fault, nullptr);
        for (const PolledEvent& event : poll.events) {
            EXPECT_NE(event.code, kPollReturned) << "the command cannot have ended";
            if (event.code == kPollStdout) said += event.data;
        }
    }
    // The last of them may still be on its way to its exec.
    EXPECT_TRUE(WaitUntil([&] { return CountNamed(MarkedProcesses(assignment), "sleep") == 6; }))
        << testing::PrintToString(MarkedProcesses(assignment));

    switch (GetParam()) {
    case JobEnd::EndJob:
        ASSERT_EQ(EndJob(*client, 1).status(), 0u);
        ASSERT_EQ(EndJob(*client, 2).status(), 0u);
        // EndJob answers once everything has ended.
        EXPECT_EQ(MarkedProcesses(assignment), std::vector<std::string>{});
        break;
    case JobEnd::Disconnect: client->Close(); break;
    case JobEnd::AgentStop:
        EXPECT_EQ(agent.Stop(), 0);
        EXPECT_EQ(MarkedProcesses(assignment), std::vector<std::string>{});
        break;
    case JobEnd::AgentKilled:
        // The keepers see their agent go and end what they look after.
        kill(agent.pid(), SIGKILL);
        agent.Stop();
        break;
    }
    EXPECT_TRUE(WaitUntil([&] { return MarkedProcesses(assignment).empty(); }))
        << testing::PrintToString(MarkedProcesses(assignment));
    if (GetParam() != JobEnd::AgentKilled) {
        EXPECT_TRUE(WaitUntil([&] { return WorkAreas().empty(); }));
    }
}

using Cleanup = AgentTest;

TEST_F(Cleanup, WhatAKilledKeeperLeavesIsEndedByTheAgent) {
    StartAgent();
    auto client = OpenClient();
    // The command's parent is its keeper: killed, its orphans come to the agent.
    const auto killKeeper = [&](uint8_t job, const std::string& mark) {
        ASSERT_EQ(StartJob(*client, job, 1).status(), 0u);
        ASSERT_EQ(Marked(*client, job, mark).status(), 0u);
        ASSERT_EQ(StepStart(*client, job).status(), 0u);
        const CommandResult killer = RunCommand(
            *client, job, "",
            {"sh", "-c", "setsid sleep 1000 </dev/null >/dev/null 2>&1 & sleep 0.2; kill -9 $PPID; sleep 1000"});
        ASSERT_EQ(killer.failure, "");
        EXPECT_TRUE(killer.signalled);
        EXPECT_EQ(killer.signal, 9u);
    };
    const std::string running = std::string(kMarkName) + "=" + UniqueMark("orphans");
    killKeeper(1, running.substr(std::strlen(kMarkName) + 1));
    EXPECT_TRUE(WaitUntil([&] { return MarkedProcesses(running).empty(); }))
        << testing::PrintToString(MarkedProcesses(running));
    EXPECT_EQ(EndJob(*client, 1).status(), 0u);

    // And when the agent stops right after, they end with it.
    const std::string stopping = std::string(kMarkName) + "=" + UniqueMark("orphans");
    killKeeper(2, stopping.substr(std::strlen(kMarkName) + 1));
    client.reset();
    EXPECT_EQ(agent.Stop(), 0);
    EXPECT_EQ(MarkedProcesses(stopping), std::vector<std::string>{});
}

constexpr int kDeepLevels = 1100;


// 11 steps of 100 levels: a shell's cd costs as much as its path is long.
std::string DigDeep() {
    static_assert(kDeepLevels == 1100);
    return "p=d; i=1; while [ $i -lt 100 ]; do p=$p/d; i=$((i+1)); done; "
           "j=0; while [ $j -lt 11 ]; do mkdir -p $p && cd $p || exit 1; j=$((j+1)); done; echo bottom > f.txt";
}

std::vector<std::string> WorkDirectoryEntries(const std::string& workDir) {
    std::vector<std::string> names;
    DIR* directory = opendir(workDir.c_str());
    if (directory == nullptr) return names;
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && name != ".kestrel-agent.lock") names.push_back(name);
    }
    closedir(directory);
    return names;
}

TEST_F(Cleanup, DeepWorkAreasAreRemovedAndTheAgentStartsAgain) {
    // Far fewer descriptors than levels: a removal that held one per level failed here.
    wrapper = {"prlimit", "--nofile=256", "--"};
    StartAgent();
    auto client = OpenClient();

    // An input archive naming a file 1,100 levels down is refused, with the reason.
    std::string deepPath;
    for (int level = 0; level < kDeepLevels; ++level) deepPath += "d/";
    deepPath += "f.txt";
    const std::string archive =
        Gzip(PaxHeader('x', PaxRecord("path", deepPath)) + TarHeader("f.txt", '0', 3) + PadToBlock("abc") +
             ZeroBlocks(2));
    ASSERT_EQ(StartJob(*client, 1, 1).status(), 0u);
    bool sent = false;
    const InputResult refused = SendArchiveBytes(*client, 1, [&](std::string& piece) {
        piece = archive;
        return !std::exchange(sent, true);
    });
    ASSERT_EQ(refused.failure, "");
    EXPECT_EQ(refused.last.status(), 5u);
    EXPECT_EQ(refused.last.text, "An input path has 1101 levels; at most 256 are allowed");
    EXPECT_EQ(EndJob(*client, 1).status(), 0u);

    // A command that digs as deep and locks its area: EndJob removes all of
    // it. The emptied area may be kept for a later job, which finds nothing
    // of this one in it.
    ASSERT_EQ(StartJob(*client, 2, 1).status(), 0u);
    ASSERT_EQ(StepStart(*client, 2).status(), 0u);
    const CommandResult dug = RunCommand(*client, 2, "", {"sh", "-c", DigDeep() + " && chmod 500 ."});
    ASSERT_EQ(dug.value, 0) << dug.err;
    ASSERT_EQ(EndJob(*client, 2).status(), 0u);
    for (const std::string& name : WorkDirectoryEntries(workDir)) {
        EXPECT_EQ(name.rfind("spare-", 0), 0u) << name << "\n" << agent.Errors();
        EXPECT_EQ(WorkDirectoryEntries(workDir + "/" + name), std::vector<std::string>{}) << name;
    }

    // Left behind by an agent that was killed, it goes at the next start.
    ASSERT_EQ(StartJob(*client, 3, 1).status(), 0u);
    ASSERT_EQ(StepStart(*client, 3).status(), 0u);
    const CommandResult fresh = RunCommand(*client, 3, "", {"sh", "-c", "ls -A && stat -c %a ."});
    EXPECT_EQ(fresh.out, "700\n") << fresh.err;
    ASSERT_EQ(RunCommand(*client, 3, "", {"sh", "-c", DigDeep()}).value, 0);
    kill(agent.pid(), SIGKILL);
    agent.Stop();
    client.reset();
    ASSERT_EQ(WorkAreas().size(), 1u);
    StartAgent();
    EXPECT_TRUE(agent.Running());
    EXPECT_EQ(WorkDirectoryEntries(workDir), std::vector<std::string>{}) << agent.Errors();
    EXPECT_EQ(agent.Errors().find("Cannot remove"), std::string::npos) << agent.Errors();
    client = OpenClient();
    EXPECT_EQ(StartJob(*client, 1, 1).status(), 0u);
    EXPECT_EQ(EndJob(*client, 1).status(), 0u);
    // Areas kept for later jobs go when the agent stops.
    client.reset();
    EXPECT_EQ(agent.Stop(), 0);
    EXPECT_EQ(WorkDirectoryEntries(workDir), std::vector<std::string>{}) << agent.Errors();
}

// The largest memory the process ever held, in KiB.
uint64_t PeakResidentKiB(pid_t pid) {
    const std::string status = ReadProcFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0 : std::strtoull(status.c_str() + at + 6, nullptr, 10);
}

// A gzip stream of an extended header announcing `size` bytes of records,
// made as it is sent: a megabyte of input at a time.
class HugeHeaderStream {
public:
    explicit HugeHeaderStream(uint64_t size) : left_(size) {
        deflateInit2(&stream_, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
        std::string header = TarHeader("extended.0.hdr", 'x', 0);
        char octal[12];
        std::snprintf(octal, sizeof octal, "%011llo", static_cast<unsigned long long>(size));
        header.replace(124, 12, std::string(octal, 11) + '\0');
        FixChecksum(header);
        const std::string first = std::to_string(size) + " path=";
        pending_ = header + first;
        left_ -= first.size();
    }
    ~HugeHeaderStream() { deflateEnd(&stream_); }

    bool Next(std::string& piece) {
        piece.clear();
        uint8_t out[kMaxInputWritePiece];
        stream_.next_out = out;
        stream_.avail_out = sizeof out;
        while (stream_.avail_out > 0 && !done_) {
            if (stream_.avail_in == 0) Refill();
            const int result = deflate(&stream_, left_ == 0 && pending_.empty() ? Z_FINISH : Z_NO_FLUSH);
            done_ = result == Z_STREAM_END;
        }
        piece.assign(reinterpret_cast<char*>(out), sizeof out - stream_.avail_out);
        return !piece.empty();
    }
    uint64_t consumed() const { return stream_.total_in; }

private:
    void Refill() {
        input_ = pending_;
        pending_.clear();
        const uint64_t take = std::min<uint64_t>(left_, (1u << 20) - input_.size());
        input_.append(take, 'a');
        left_ -= take;
        stream_.next_in = reinterpret_cast<Bytef*>(input_.data());
        stream_.avail_in = static_cast<uInt>(input_.size());
    }
    z_stream stream_{};
    uint64_t left_;
    std::string pending_;
    std::string input_;
    bool done_ = false;
};

TEST_F(Cleanup, ABillionByteExtendedHeaderIsRefusedWithLittleMemory) {
    StartAgent();
    auto client = OpenClient();
    ASSERT_EQ(StartJob(*client, 1, 1).status(), 0u);
    HugeHeaderStream stream(1'000'000'000);
    const InputResult input = SendArchiveBytes(*client, 1, [&](std::string& piece) { return stream.Next(piece); });
    ASSERT_EQ(input.failure, "");
    EXPECT_EQ(input.last.status(), 5u);
    EXPECT_EQ(input.last.text, "parsing paxgz headers failed: corrupt pax extended header read");
    EXPECT_EQ(input.pieces, 1u) << "refused at the header, before its records";
    const uint64_t peak = PeakResidentKiB(agent.pid());
    std::printf("agent peak resident memory: %llu KiB after %llu archive bytes were made\n",
                static_cast<unsigned long long>(peak), static_cast<unsigned long long>(stream.consumed()));
    // A reader that held the records would need 976,563 KiB.
    EXPECT_LT(peak, 256u * 1024u);
    EXPECT_EQ(EndJob(*client, 1).status(), 0u);
}

}  // namespace
}  // namespace kestrel::test
