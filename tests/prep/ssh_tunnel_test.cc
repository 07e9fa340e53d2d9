// ssh first hops against a real OpenSSH server, and against ssh programs
// that fail in the ways a user meets.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "agent/agent_process.h"
#include "prep/prep_fixture.h"
#include "prep/ssh_server.h"
#include "runtime/error_codes.h"
#include "support/test_support.h"

namespace kestrel::test {
namespace {

class SshTunnelTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* path = std::getenv("PATH");
        savedPath_ = path != nullptr ? path : "";
        setenv("PATH", (temp / "bin" + ":" + savedPath_).c_str(), 1);
        unsetenv("SSH_AUTH_SOCK");
        unsetenv("KV_SSH_SERVER_LIST");
    }
    void TearDown() override {
        setenv("PATH", savedPath_.c_str(), 1);
        unsetenv("KV_SSH_SERVER_LIST");
    }

    // One request through a fresh thread; the harness is kept for Stop.
    PreparationResponse Prepare(PreparationHarness& harness, PreparationRequest& request) {
        request.firstHop = &hop;
        int32_t error = 0;
        EXPECT_TRUE(PreparationThread::ReadServerList(harness.queue, error));
        PreparationThread::Submit(harness.queue, request);
        if (!harness.opened() || !harness.Start()) return {nullptr, 999, 0};
        const auto answers = harness.Collect(1);
        return answers.empty() ? PreparationResponse{nullptr, 998, 0} : answers[0];
    }

    std::string Forward(uint16_t localPort) const {
        return "127.0.0.1:" + std::to_string(localPort) + ":127.0.0.1:" + std::to_string(hop.port);
    }

    // Children of the test other than sshd and the agent.
    std::vector<std::string> LeftoverChildren() { return ChildProcesses({server.pid(), agent.pid()}); }

    TempDir temp;
    SshServer server;
    AgentProcess agent;
    std::string hopUrl = "kvs://builder:7000";
    Hop hop = MakeHop(HopProtocol::Tunnel, "builder", 7000, "kvs://builder:7000");

private:
    std::string savedPath_;
};

// sshd and an agent behind it, reached through the wrapper with the
// authorized key.
class SshServerTest : public SshTunnelTest {
protected:
    void SetUp() override {
        SshTunnelTest::SetUp();
        if (!SshServerInstalled()) GTEST_SKIP() << kSshServerProgram << " is not installed; the ssh tests need OpenSSH";
        ASSERT_EQ(server.Start(temp.path()), "");
        ASSERT_TRUE(agent.Start({"--work-dir", temp / "work"})) << agent.failure;
        UseIdentity("client_key");
        hopUrl = "kvs://localhost:" + std::to_string(agent.port());
        hop = MakeHop(HopProtocol::Tunnel, "localhost", agent.port(), hopUrl.c_str());
    }
    void UseIdentity(const std::string& key) { WriteSshWrapper(temp.path(), server, temp / key); }
};

TEST_F(SshServerTest, ForwardReachesAnAgentThatAcceptsTheHello) {
    const std::string user = CurrentUser();
    setenv("KV_SSH_SERVER_LIST", ("ghost@elsewhere;" + user + "@localhost").c_str(), 1);
    PreparationHarness harness;
    PreparationRequest request;
    const PreparationResponse answer = Prepare(harness, request);
    ASSERT_EQ(answer.status, kPreparedConnected) << "error " << answer.error << "\n" << server.Log();
    ASSERT_TRUE(request.socket.valid());
    EXPECT_TRUE(IsNonBlocking(request.socket));
    EXPECT_TRUE(IsLoopbackAddress(request));

    const uint16_t localPort = PortOf(request);
    ASSERT_NE(request.sshCommandLine, nullptr);
    const std::string destination = user + "@localhost";
    EXPECT_STREQ(request.sshCommandLine, ("ssh -N -L " + Forward(localPort) + " " + destination).c_str());
    EXPECT_EQ(SshStarts(temp.path()),
              std::vector<std::string>{"[-N][-L][" + Forward(localPort) + "][" + destination + "]"});
    EXPECT_EQ(request.sshFailureText, nullptr);
    EXPECT_EQ(ExchangeHello(request.socket), "accept");
    EXPECT_TRUE(server.WaitForLog("Accepted publickey for " + user + " from 127.0.0.1")) << server.Log();

    ASSERT_TRUE(PreparationThread::Stop(harness.queue, 30000));
    CapturedOutput messages;
    PreparationThread::EndSsh(request, hopUrl.c_str());
    EXPECT_EQ(messages.Text(), "");  // a running ssh is ended without a message
    EXPECT_EQ(request.sshCommandLine, nullptr);
    EXPECT_FALSE(request.sshProcess.valid());
    EXPECT_EQ(LeftoverChildren(), std::vector<std::string>{});
    platform::CloseSocket(request.socket);
}

TEST_F(SshServerTest, ServerListUserIsTheOneSshdSees) {
    // The first entry for this host wins: sshd is asked for a user it does not know.
    setenv("KV_SSH_SERVER_LIST", ("ghost@localhost;" + CurrentUser() + "@localhost").c_str(), 1);
    PreparationHarness harness;
    PreparationRequest request;
    const PreparationResponse answer = Prepare(harness, request);
    EXPECT_EQ(answer.status, kPreparationCannotConnect);
    EXPECT_TRUE(server.WaitForLog("Invalid user ghost from 127.0.0.1")) << server.Log();
    ASSERT_NE(request.sshFailureText, nullptr);
    EXPECT_NE(std::string(request.sshFailureText).find("Permission denied (publickey)."), std::string::npos)
        << request.sshFailureText;
    ASSERT_TRUE(PreparationThread::Stop(harness.queue, 30000));
    CapturedOutput messages;
    PreparationThread::EndSsh(request, hopUrl.c_str());
    EXPECT_EQ(messages.Text(), "The ssh command line for " + hopUrl + " failed, error 255\n");
}

TEST_F(SshServerTest, RefusedKeyAnswersStatus8WithSshsReason) {
    UseIdentity("stranger_key");
    PreparationHarness harness;
    PreparationRequest request;
    const PreparationResponse answer = Prepare(harness, request);
    EXPECT_EQ(answer.status, kPreparationCannotConnect);
    EXPECT_EQ(answer.error, static_cast<uint32_t>(std::errc::connection_refused));
    EXPECT_FALSE(request.socket.valid());
    ASSERT_NE(request.sshFailureText, nullptr);
    EXPECT_NE(std::string(request.sshFailureText).find("Permission denied (publickey)."), std::string::npos)
        << request.sshFailureText;
    // Two ssh processes, each on a port of its own.
    const std::vector<std::string> starts = SshStarts(temp.path());
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_NE(starts[0], starts[1]);

    ASSERT_TRUE(PreparationThread::Stop(harness.queue, 30000));
    CapturedOutput messages;
    PreparationThread::EndSsh(request, hopUrl.c_str());
    EXPECT_EQ(messages.Text(), "The ssh command line for " + hopUrl + " failed, error 255\n");
    EXPECT_EQ(LeftoverChildren(), std::vector<std::string>{});
}

TEST_F(SshTunnelTest, SshThatExitsAtOnceTwiceAnswersStatus8) {
    WriteScriptWrapper(temp.path(), "echo 'ssh: Could not resolve hostname builder: Name or service not known' >&2\nexit 1");
    PreparationHarness harness;
    PreparationRequest request;
    const PreparationResponse answer = Prepare(harness, request);
    EXPECT_EQ(answer.request, &request);
    EXPECT_EQ(answer.status, kPreparationCannotConnect);
    EXPECT_EQ(answer.error, static_cast<uint32_t>(std::errc::connection_refused));
    ASSERT_NE(request.sshFailureText, nullptr);
    EXPECT_STREQ(request.sshFailureText, "ssh: Could not resolve hostname builder: Name or service not known");

    const std::vector<std::string> starts = SshStarts(temp.path());
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_NE(starts[0], starts[1]);  // a new local port for the second attempt
    for (const std::string& start : starts) EXPECT_EQ(start.rfind("[-N][-L][127.0.0.1:", 0), 0u) << start;
    ASSERT_NE(request.sshCommandLine, nullptr);
    EXPECT_NE(starts[1].find(std::to_string(PortOf(request))), std::string::npos);  // the second one is kept

    ASSERT_TRUE(PreparationThread::Stop(harness.queue, 30000));
    CapturedOutput messages;
    PreparationThread::EndSsh(request, hopUrl.c_str());
    EXPECT_EQ(messages.Text(), "The ssh command line for " + hopUrl + " failed, error 1\n");
    EXPECT_EQ(LeftoverChildren(), std::vector<std::string>{});
}

TEST_F(SshTunnelTest, SshRunsInASessionOfItsOwnWithOnlyItsThreeStreams) {
    // A descriptor this process leaves inheritable, which ssh must not get.
    const int inheritable = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(inheritable, 0);
    const std::string facts = temp / "facts";
    WriteScriptWrapper(temp.path(),
                       "{ cut -d' ' -f6 /proc/$$/stat; ls -l /proc/$$/fd/; cat; } > '" + facts +
                           "'\necho \"ssh reached its end\" >&2\nexit 3");
    PreparationHarness harness;
    PreparationRequest request;
    const PreparationResponse answer = Prepare(harness, request);
    close(inheritable);
    EXPECT_EQ(answer.status, kPreparationCannotConnect);
    EXPECT_STREQ(request.sshFailureText, "ssh reached its end");

    std::istringstream lines(ReadFile(facts));
    std::string session;
    std::getline(lines, session);
    const std::string listing((std::istreambuf_iterator<char>(lines)), std::istreambuf_iterator<char>());
    // Its own session: it leads it, so no terminal of ours is its controlling one.
    EXPECT_EQ(session, std::to_string(request.sshProcess.native));
    EXPECT_NE(listing.find(" 0 -> /dev/null"), std::string::npos) << listing;
    EXPECT_NE(listing.find(" 2 -> "), std::string::npos) << listing;
    EXPECT_EQ(listing.find("socket:"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("pipe:"), std::string::npos) << listing;

    ASSERT_TRUE(PreparationThread::Stop(harness.queue, 30000));
    CapturedOutput messages;
    PreparationThread::EndSsh(request, hopUrl.c_str());
    EXPECT_EQ(messages.Text(), "The ssh command line for " + hopUrl + " failed, error 3\n");
}

TEST_F(SshTunnelTest, SshMissingFromTheSearchPathAnswersStatus11) {
    setenv("PATH", (temp / "empty").c_str(), 1);
    PreparationHarness harness;
    PreparationRequest request;
    const PreparationResponse answer = Prepare(harness, request);
    EXPECT_EQ(answer.status, kPreparationSshStart);
    EXPECT_EQ(answer.error, static_cast<uint32_t>(std::errc::no_such_file_or_directory));
    ASSERT_TRUE(PreparationThread::Stop(harness.queue, 30000));
    CapturedOutput messages;
    PreparationThread::EndSsh(request, hopUrl.c_str());
    EXPECT_EQ(messages.Text(), "");
    EXPECT_EQ(request.sshCommandLine, nullptr);
}

TEST_F(SshTunnelTest, DestinationThatSshWouldTakeForAnOptionIsRefused) {
    WriteScriptWrapper(temp.path(), "exit 1");
    setenv("KV_SSH_SERVER_LIST", "-oProxyCommand=touch@builder", 1);
    PreparationHarness harness;
    PreparationRequest request;
    const PreparationResponse answer = Prepare(harness, request);
    EXPECT_EQ(answer.status, kPreparationSshCommandLine);
    EXPECT_EQ(answer.error, static_cast<uint32_t>(kErrorInvalidParameter));
    EXPECT_EQ(SshStarts(temp.path()), std::vector<std::string>{});
}

TEST_F(SshTunnelTest, StopCutsTheWaitForAForwardShort) {
    // An ssh that never opens its forward.
    WriteScriptWrapper(temp.path(), "exec sleep 60");
    PreparationHarness harness;
    PreparationRequest request;
    request.firstHop = &hop;
    PreparationThread::Submit(harness.queue, request);
    ASSERT_TRUE(harness.Start());
    for (int i = 0; i < 1000 && SshStarts(temp.path()).empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(SshStarts(temp.path()).size(), 1u);
    // Well inside the 10 s of tries: the thread ends without answering.
    ASSERT_TRUE(PreparationThread::Stop(harness.queue, 5000));
    EXPECT_TRUE(harness.Collect(1).empty());
    EXPECT_TRUE(harness.pipeEnded());
    ASSERT_TRUE(request.sshProcess.valid());
    CapturedOutput messages;
    PreparationThread::EndSsh(request, hopUrl.c_str());
    EXPECT_EQ(messages.Text(), "");
    EXPECT_EQ(LeftoverChildren(), std::vector<std::string>{});
}

}  // namespace
}  // namespace kestrel::test
