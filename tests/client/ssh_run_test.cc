// A whole run over a kvs:// path: ssh's port forward to a real OpenSSH
// server carries the handshake and the job, and nothing of ssh is left
// when the run is over.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "client/run_harness.h"
#include "prep/ssh_server.h"

namespace kestrel::test {
namespace {

class SshRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SshServerInstalled()) GTEST_SKIP() << kSshServerProgram << " is not installed; the ssh tests need OpenSSH";
        const char* path = std::getenv("PATH");
        savedPath_ = path != nullptr ? path : "";
        setenv("PATH", (temp / "bin" + ":" + savedPath_).c_str(), 1);
        unsetenv("SSH_AUTH_SOCK");
        unsetenv("KV_SSH_SERVER_LIST");
        ASSERT_EQ(server.Start(temp.path()), "");
        ASSERT_TRUE(agents.Start(agent, {})) << agent.failure;
    }
    void TearDown() override {
        if (!savedPath_.empty()) setenv("PATH", savedPath_.c_str(), 1);
    }

    TempDir temp;
    SshServer server;
    TestAgents agents;
    AgentProcess agent;
    std::string savedPath_;
};

TEST_F(SshRunTest, HandshakeAndJobTravelThroughTheForward) {
    WriteSshWrapper(temp.path(), server, temp / "client_key");
    const std::string url = "kvs://localhost:" + std::to_string(agent.port());
    TempDir dir;
    WriteFile(dir / "build.kv", "machine m\n    path\n        " + url +
                                    "\njob main\n    machine\n        m\n    command break on error\n        true\n");
    const RunResult run = RunClientInProcess(dir.path(), "build.kv");
    EXPECT_EQ(run.schemaErrors, "") << run.buildLog;
    ASSERT_TRUE(run.started) << run.startMessage;
    EXPECT_FALSE(run.jobFailed) << server.Log();
    ASSERT_EQ(run.logs.size(), 1u);
    const std::vector<std::string> records = run.logs[0].WithoutPolls();
    ASSERT_GE(records.size(), 3u);
    const std::string hop = "hop " + url + " kind 5 address 16 ssh ssh -N -L 127.0.0.1:";
    EXPECT_EQ(records[1].rfind(hop, 0), 0u) << records[1];
    EXPECT_NE(records[1].find(":127.0.0.1:" + std::to_string(agent.port()) + " localhost"), std::string::npos);
    EXPECT_EQ(records[2], "version 0.1.2024.0");
    EXPECT_EQ(records.back(), "EndJob 1 status 0 failed 0");
    EXPECT_EQ(ChildProcesses({server.pid(), agent.pid()}), std::vector<std::string>{});
}

TEST_F(SshRunTest, RefusedKeyFailsWithSshsOwnReason) {
    WriteSshWrapper(temp.path(), server, temp / "stranger_key");
    TempDir dir;
    WriteFile(dir / "build.kv", "machine m\n    path\n        kvs://localhost:" + std::to_string(agent.port()) +
                                    "\njob main\n    machine\n        m\n    command break on error\n        true\n");
    const RunResult run = RunClientInProcess(dir.path(), "build.kv");
    EXPECT_EQ(run.schemaErrors, "") << run.buildLog;
    EXPECT_TRUE(run.jobFailed);
    ASSERT_EQ(run.logs.size(), 1u);
    const std::vector<std::string> records = run.logs[0].WithoutPolls();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_NE(records[1].find(" kind 4 code 111 Cannot connect: "), std::string::npos) << records[1];
    EXPECT_NE(records[1].find("Permission denied (publickey)."), std::string::npos) << records[1];
    EXPECT_EQ(ChildProcesses({server.pid(), agent.pid()}), std::vector<std::string>{});
}

}  // namespace
}  // namespace kestrel::test
