// Many connections and jobs at once, connections that fail or talk
// nonsense, and the work areas across start-up and shutdown.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "agent/agent_fixture.h"

namespace kestrel::test {
namespace {

using Robustness = AgentTest;

constexpr int kConnections = 20;
constexpr uint8_t kJobsPerConnection = 5;

struct JobProgress {
    std::string out;
    bool outEnded = false;
    bool errEnded = false;
    bool returned = false;
    int32_t value = -1;
    bool Done() const { return outEnded && errEnded && returned; }
};

Answer Execute(WireClient& client, uint8_t job, const std::vector<std::string>& arguments) {
    return client.Request([&](PayloadWriter& w) {
        BeginExecute(w, job, nullptr, 0);
        AddExecuteString(w, "", 0);
        for (const std::string& argument : arguments)
            AddExecuteString(w, argument.data(), static_cast<uint32_t>(argument.size()));
    });
}

// Polls until every listed job's command has ended. Empty on success.
std::string PollUntilDone(WireClient& client, std::map<uint8_t, JobProgress>& jobs) {
    for (int polls = 0; polls < 100000; ++polls) {
        std::vector<uint8_t> running;
        for (auto& [id, progress] : jobs)
            if (!progress.Done()) running.push_back(id);
        if (running.empty()) return "";
        const PollResult poll = Poll(client, running);
        if (poll.fault != nullptr) return poll.answer.ok ? Shown(poll.fault) : poll.answer.failure;
        for (const PolledEvent& event : poll.events) {
            if (event.code > kPollStderrThrottled || event.code == kPollStillRunning) continue;
            JobProgress& progress = jobs[event.jobId];
            switch (event.code) {
            case kPollStdout:
            case kPollStdoutEnd:
                progress.out += event.data;
                progress.outEnded |= event.code == kPollStdoutEnd;
                break;
            case kPollStderrEnd: progress.errEnded = true; break;
            case kPollReturned:
                progress.returned = true;
                progress.value = static_cast<int32_t>(event.value);
                break;
            default: break;
            }
        }
    }
    return "the commands did not end";
}

// One connection of the crowd: five jobs, each with its own input, command
// and output. A `dropping` connection walks away in the middle instead.
std::string RunConnection(uint16_t port, const std::string& root, int number, bool dropping) {
    WireClient client;
    std::string failure = client.Open(port);
    if (!failure.empty()) return failure;
    std::map<uint8_t, JobProgress> jobs;
    for (uint8_t job = 1; job <= kJobsPerConnection; ++job) {
        const std::string tag = std::to_string(number) + "-" + std::to_string(job);
        const std::string inputs = root + "/in-" + tag;
        WriteFile(inputs + "/in.txt", "input " + tag + "\n" + NoiseBytes(20000, static_cast<uint32_t>(number * 10 + job)));
        if (StartJob(client, job, 1).status() != 0) return "StartJob " + tag;
        if (EditEnvironment(client, MessageType::ReplaceEnvironment, job, "TAG", tag).status() != 0) return "edit " + tag;
        const InputResult input = SendInputs(client, job, inputs, {"in.txt"});
        if (!input.failure.empty() || input.last.status() != 0) return "input " + tag + ": " + input.failure;
        if (StepStart(client, job).status() != 0) return "StepStart " + tag;
        const std::string script = dropping ? "sleep 30" : "cp in.txt out.txt; echo \"$TAG\"";
        if (CheckStatus(MessageType::Execute, Execute(client, job, {"sh", "-c", script})).status() != 0)
            return "Execute " + tag;
        jobs[job];
    }
    if (dropping) return "";  // the socket closes with the client, the jobs still running
    failure = PollUntilDone(client, jobs);
    if (!failure.empty()) return failure;
    for (auto& [job, progress] : jobs) {
        const std::string tag = std::to_string(number) + "-" + std::to_string(job);
        if (progress.value != 0 || progress.out != tag + "\n") return "command " + tag + " said " + progress.out;
        if (AddOutputs(client, job, {"out.txt"}).status() != 0) return "AddOutput " + tag;
        const std::string fetched = root + "/out-" + tag;
        if (mkdir(fetched.c_str(), 0755) != 0) return "mkdir";
        const OutputResult output = FetchOutputs(client, job, fetched);
        if (!output.failure.empty()) return "output " + tag + ": " + output.failure;
        if (ReadFile(fetched + "/out.txt") != ReadFile(root + "/in-" + tag + "/in.txt")) return "output differs " + tag;
        if (EndJob(client, job).status() != 0) return "EndJob " + tag;
    }
    const Answer end = client.Request([](PayloadWriter& w) { BuildBareRequest(w, MessageType::EndConnection); });
    return end.ok ? "" : end.failure;
}

TEST_F(Robustness, TwentyConnectionsWithFiveJobsEachAtOnce) {
    StartAgent();
    std::vector<std::string> failures(kConnections);
    std::vector<std::thread> threads;
    for (int number = 0; number < kConnections; ++number) {
        // Two connections give up with their jobs running: nobody else may notice.
        const bool dropping = number % 10 == 3;
        threads.emplace_back([&, number, dropping] {
            failures[number] = RunConnection(agent.port(), temp.path(), number, dropping);
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int number = 0; number < kConnections; ++number) EXPECT_EQ(failures[number], "") << "connection " << number;
    EXPECT_TRUE(WaitUntil([&] { return WorkAreas().empty(); })) << WorkAreas().size() << " work areas left";
    EXPECT_TRUE(agent.Running());
}

// A message that looks like a request of the catalogue, with random contents.
std::string RandomRequest(std::mt19937& random) {
    static const uint8_t kTypes[] = {0, 1, 2, 3, 5, 7, 8, 9, 10, 11, 12, 13, 17, 18, 19, 21, 26, 0, 0, 12, 13};
    std::string payload(1, static_cast<char>(random() % 8 == 0 ? random() % 256 : kTypes[random() % sizeof kTypes]));
    const size_t length = random() % 4 == 0 ? random() % 2000 : random() % 24;
    for (size_t i = 0; i < length; ++i) payload += static_cast<char>(random() % 3 == 0 ? 0 : random() % 256);
    // Mostly name the jobs that exist.
    if (payload.size() > 1 && random() % 5 != 0) payload[1] = static_cast<char>(1 + random() % 3);
    return payload;
}

TEST_F(Robustness, RandomBytesAfterTheHelloAreAnsweredOrEndTheConnection) {
    StartAgent();
    for (uint32_t seed = 0; seed < 120; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        RawPeer peer(agent.port());
        ASSERT_TRUE(peer.Send(0, "Kestrelvane Direct 1.0"));
        MessageHeader header;
        ASSERT_EQ(peer.Read(header), "accept");
        bool ended = false;
        if (seed % 3 == 0) {
            // Unframed noise: whatever it makes of it, the agent answers or closes.
            peer.SendBytes(NoiseBytes(1 + random() % 3000, seed));
            peer.EndWriting();
            while (!ended) {
                const std::string answer = peer.Read(header, ended);
                if (!ended) {
                    EXPECT_FALSE(answer.empty()) << "no empty answer: that is a keep-alive";
                }
            }
            continue;
        }
        for (uint16_t sequence = 1; sequence <= 40 && !ended; ++sequence) {
            if (!peer.Send(sequence, RandomRequest(random))) break;
            const std::string answer = peer.Read(header, ended);
            if (ended) break;
            EXPECT_FALSE(answer.empty());
            EXPECT_EQ(header.connectionId, RawPeer::kId);
            EXPECT_EQ(header.sequence, sequence);
        }
    }
    ASSERT_TRUE(agent.Running());
    auto client = OpenClient();
    EXPECT_EQ(StartJob(*client, 1, 1).status(), 0u);
    EXPECT_EQ(EndJob(*client, 1).status(), 0u);
    client.reset();
    EXPECT_TRUE(WaitUntil([&] { return WorkAreas().empty(); }));
}

TEST_F(Robustness, WorkAreasDoNotOutliveTheAgent) {
    // Leftovers of a run that was killed are removed at start-up; other files stay.
    workDir = temp / "work";
    WriteFile(workDir + "/job-17/deep/file.txt", "left over");
    WriteFile(workDir + "/notes.txt", "mine");
    ASSERT_EQ(symlink(temp.path().c_str(), (workDir + "/job-18").c_str()), 0);
    WriteFile(temp / "precious.txt", "outside");
    StartAgent();
    EXPECT_TRUE(WorkAreas().empty());
    EXPECT_EQ(ReadFile(workDir + "/notes.txt"), "mine");
    EXPECT_EQ(ReadFile(temp / "precious.txt"), "outside") << "a link is removed, not followed";

    // One agent per work directory.
    const AgentRun second = RunAgentToEnd({"--listen", "127.0.0.1:0", "--work-dir", workDir});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("is in use by another agent"), std::string::npos) << second.err;

    // An orderly stop ends running commands and removes their areas.
    auto client = OpenClient();
    ASSERT_EQ(StartJob(*client, 1, 1).status(), 0u);
    ASSERT_EQ(StepStart(*client, 1).status(), 0u);
    ASSERT_EQ(CheckStatus(MessageType::Execute, Execute(*client, 1, {"sh", "-c", "echo $$; exec sleep 60"})).status(), 0u);
    std::string pid;
    while (pid.find('\n') == std::string::npos) {
        const PollResult poll = Poll(*client, {1});
        ASSERT_EQ(poll.fault, nullptr);
        for (const PolledEvent& event : poll.events)
            if (event.code == kPollStdout) pid += event.data;
    }
    ASSERT_EQ(WorkAreas().size(), 1u);
    EXPECT_EQ(agent.Stop(), 0);
    EXPECT_TRUE(WorkAreas().empty());
    EXPECT_NE(kill(std::stoi(pid), 0), 0) << "the command was ended";

    // A killed agent leaves its areas behind; the next start removes them.
    StartAgent();
    client = OpenClient();
    ASSERT_EQ(StartJob(*client, 1, 1).status(), 0u);
    ASSERT_EQ(WorkAreas().size(), 1u);
    kill(agent.pid(), SIGKILL);
    agent.Stop();
    EXPECT_EQ(WorkAreas().size(), 1u);
    StartAgent();
    EXPECT_TRUE(WorkAreas().empty());
}

}  // namespace
}  // namespace kestrel::test
