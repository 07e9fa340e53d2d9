// The standard job interrupted from outside while it runs: Ctrl+C (SIGINT)
// during the input transfer and during a command ends the run in a panic
// report; the agent killed outright, or the ssh process that carries a
// kvs:// path killed, fails the job and the run still ends with its build
// log. Nothing of the client stays behind, and the agent's work area goes
// (after a kill, when the agent starts again on its work directory).
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "agent/agent_fixture.h"
#include "e2e_faults/fault_run.h"
#include "prep/ssh_server.h"

namespace kestrel::test {
namespace {

constexpr int kOutputTransfer = 11;
constexpr int kInputWrite = 12;

// The child of `parent` whose program is `name`, or -1.
int ChildNamed(int parent, const std::string& name) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const int pid = std::atoi(entry.path().filename().c_str());
        if (pid <= 0) continue;
        const std::string stat = ReadProcessFile(entry.path() / "stat");
        const size_t open = stat.find('(');
        const size_t close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        std::string state;
        int ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent && stat.substr(open + 1, close - open - 1) == name) return pid;
    }
    return -1;
}

// A connection that broke off under the client: the end of the stream, or
// a reset when the peer went with bytes unread, or a write into a stream
// already closed.
bool BrokeOff(const std::string& failure, const std::string& url) {
    return failure == WithUrl("Machine {0} immediately terminated the connection", url) ||
           failure == WithUrl("Connection to {0} failed, error 104", url) ||
           failure == WithUrl("Connection to {0} failed, error 32", url);
}

// What the client said the connection failed with.
std::string FailureOf(const ProcessResult& run) {
    const std::string prefix = "Machine failed with connection error: ";
    const size_t at = run.out.find(prefix);
    if (at == std::string::npos) return "";
    const size_t end = run.out.find('\n', at);
    return run.out.substr(at + prefix.size(), end - at - prefix.size());
}

ExpectedEnd Interrupted() {
    ExpectedEnd end;
    end.exitCode = 2;
    end.panicText = "CTRL_C_EVENT";
    return end;
}

// Where the standard job is when the test acts.
enum class Moment : uint8_t { InputTransfer, Command, OutputTransfer };
struct MomentCase {
    const char* name;
    Moment moment;
};
constexpr MomentCase kMoments[] = {
    {"during the input transfer", Moment::InputTransfer},
    {"during a command", Moment::Command},
    {"during the output transfer", Moment::OutputTransfer},
};

class InterruptionTest : public FaultRunTest {
protected:
    // Starts the held job and waits until its second command runs.
    std::unique_ptr<ChildProcess> StartHeldJob(ProcessOptions options = {}, const std::vector<std::string>& path = {}) {
        StandardJob job;
        job.holdSecondCommand = true;
        WriteStandardScript(job, path);
        options.timeoutSeconds = 60;
        std::unique_ptr<ChildProcess> client = StartClient(options);
        EXPECT_TRUE(WaitUntil([this] { return FileExists(ResultPath("held")); })) << "the second command never ran";
        return client;
    }

    // Starts the standard job on a fresh agent and returns once it has
    // reached `moment`: for a transfer the agent answers each piece late
    // (and a relay sees the first one pass), for a command the second one
    // holds.
    std::unique_ptr<ChildProcess> StartAt(Moment moment) {
        ClearRunFiles();
        relay.reset();
        if (moment == Moment::Command) return RestartAgent({}) ? StartHeldJob() : nullptr;
        const bool input = moment == Moment::InputTransfer;
        const std::string delayed = input ? "input-write:300" : "output-transfer:300";
        if (!RestartAgent({"--test-delay", delayed, "--keep-alive-ms", "100"})) return nullptr;
        const int wanted = input ? kInputWrite : kOutputTransfer;
        reached = false;
        NewRelay().onRequest = [this, wanted](const WireMessage& request) {
            if (request.type == wanted) reached = true;
        };
        StartRelay();
        StandardJob job;
        job.inputBytes = 1000000;
        WriteStandardScript(job);
        ProcessOptions options;
        options.timeoutSeconds = 60;
        std::unique_ptr<ChildProcess> client = StartClient(options);
        EXPECT_TRUE(WaitUntil([this] { return reached.load(); })) << "the transfer never started";
        return client;
    }

    // Once the client has ended: the relay has carried all it will.
    ProcessResult WaitForClient(ChildProcess& client) {
        const ProcessResult run = ConsoleText(client.Wait());
        if (relay != nullptr) relay->Stop();
        return run;
    }

    std::atomic<bool> reached{false};
};

TEST_F(InterruptionTest, ControlCMidJobEndsTheRunInAPanicReport) {
    for (const MomentCase& c : kMoments) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<ChildProcess> client = StartAt(c.moment);
        ASSERT_NE(client, nullptr);
        client->Signal(SIGINT);
        const ProcessResult run = WaitForClient(*client);
        // The agent's work area goes, with a command that still waited in it.
        ExpectEnd(run, Interrupted());
        if (c.moment == Moment::InputTransfer) {
            EXPECT_LT(relay->Requests(kInputWrite).size(), 16u) << "the transfer was cut short";
        }
    }
}

TEST_F(InterruptionTest, TheAgentKilledMidJobFailsTheJob) {
    for (const MomentCase& c : kMoments) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<ChildProcess> client = StartAt(c.moment);
        ASSERT_NE(client, nullptr);
        ASSERT_EQ(kill(agent.pid(), SIGKILL), 0);
        const ProcessResult run = WaitForClient(*client);
        const std::string failure = FailureOf(run);
        EXPECT_TRUE(BrokeOff(failure, Url())) << run.out;
        // Its sockets close a little before the system reports it ended.
        ASSERT_TRUE(WaitUntil([this] { return !agent.Running(); }));
        // A command's keeper ends it once the agent is gone.
        ExpectEnd(run, JobFailed(failure), false);
        // A killed agent cannot clean up; the next one on its work directory does.
        EXPECT_EQ(WorkAreas().size(), 1u);
        ASSERT_TRUE(RestartAgent({}));
        EXPECT_EQ(WorkAreas(), std::vector<std::string>{});
    }
}

// A private sshd, the ssh wrapper that reaches it, and the agent behind it.
class SshInterruptionTest : public InterruptionTest {
protected:
    void SetUp() override {
        InterruptionTest::SetUp();
        if (kClientUnderWine) GTEST_SKIP() << "ssh hops under Wine run through the ssh.exe stand-in of wine_ssh_tests";
        if (!SshServerInstalled()) GTEST_SKIP() << kSshServerProgram << " is not installed; the ssh tests need OpenSSH";
        ASSERT_EQ(server.Start(sshDirectory.path()), "");
        servers = {server.pid()};
        WriteSshWrapper(sshDirectory.path(), server, sshDirectory / "client_key");
        ASSERT_TRUE(RestartAgent({}));
        url = "kvs://localhost:" + std::to_string(agent.port());
    }

    // Starts the held job over the forward; the ssh process that carries it is `ssh`.
    std::unique_ptr<ChildProcess> StartHeldJobOverSsh() {
        ProcessOptions options;
        const char* path = std::getenv("PATH");
        options.environment["PATH"] = sshDirectory / "bin" + ":" + (path != nullptr ? path : "");
        options.unsetEnvironment = {"SSH_AUTH_SOCK", "KV_SSH_SERVER_LIST"};
        std::unique_ptr<ChildProcess> client = StartHeldJob(options, {url});
        ssh = ChildNamed(client->pid(), "ssh");
        EXPECT_GT(ssh, 0) << "no ssh below the client";
        return client;
    }

    TempDir sshDirectory;
    SshServer server;
    std::string url;
    int ssh = -1;
};

TEST_F(SshInterruptionTest, SshKilledMidJobFailsTheJob) {
    std::unique_ptr<ChildProcess> client = StartHeldJobOverSsh();
    ASSERT_GT(ssh, 0);
    ASSERT_EQ(kill(ssh, SIGKILL), 0);
    const ProcessResult run = client->Wait();
    const std::string failure = FailureOf(run);
    EXPECT_TRUE(BrokeOff(failure, url)) << run.out;
    // The stream may end before the system reports ssh as ended: the
    // teardown then ends it itself and has nothing to say; otherwise it
    // reports the signal's exit code.
    ExpectedEnd end = JobFailed(failure);
    const std::string sshEnded = "The ssh command line for " + url + " failed, error 137";
    if (run.out.find(sshEnded + "\n") != std::string::npos) end.lines.insert(end.lines.begin() + 1, sshEnded);
    ExpectEnd(run, end);
    EXPECT_EQ(SshStarts(sshDirectory.path()).size(), 1u) << "the forward is not started again";
}

TEST_F(SshInterruptionTest, ControlCMidJobTakesTheForwardAlong) {
    std::unique_ptr<ChildProcess> client = StartHeldJobOverSsh();
    ASSERT_GT(ssh, 0);
    client->Signal(SIGINT);
    const ProcessResult run = client->Wait();
    ExpectEnd(run, Interrupted());
}

}  // namespace
}  // namespace kestrel::test
