// The output transfer end to end: a project directory with a build script,
// the real kestrel run on it, real kestrel-agent processes (or a scripted
// peer) as its machines, and snapshots of the file system to compare.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/agent_process.h"
#include "e2e/client_under_test.h"
#include "e2e_output/scripted_peer.h"
#include "support/test_support.h"

namespace kestrel::test {

// The executable of a command, then its arguments.
using CommandLine = std::vector<std::string>;

// `sh -c script`; the script must not hold '<', which starts an expansion.
CommandLine Shell(const std::string& script);

struct JobSpec {
    std::string name = "main";
    std::vector<std::string> machines = {"local"};
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
    std::vector<std::string> failedOutputs;
    std::vector<CommandLine> commands;
};

std::string MachineBlock(const std::string& name, uint16_t port);
std::string JobBlock(const JobSpec& job);

// What a tree holds, by path relative to its root.
struct TreeItem {
    char kind = '?';  // 'f' file, 'd' directory, 'l' symbolic link, 'o' anything else
    std::string content;  // files: the bytes; links: the target
    int64_t modifiedNs = 0;
    bool operator==(const TreeItem&) const = default;
};
using Tree = std::map<std::string, TreeItem>;
Tree Snapshot(const std::string& root);
int64_t ModifiedNs(const std::string& path);

class OutputE2eTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // An agent in a work directory of its own under the test's directory.
    AgentProcess& StartAgent(const std::vector<std::string>& extra = {});
    // Writes build.kv into the project directory and runs kestrel on it there.
    ProcessResult RunKestrel(const std::string& script, int timeoutSeconds = 240);
    // Starts the peer, runs the job on it (as the machine "local") and waits
    // for the peer to finish its conversation, which must end with
    // EndConnection unless `connectionFails`.
    ProcessResult RunOnPeer(ScriptedPeer& peer, const JobSpec& job, bool connectionFails = false);

    std::string ProjectPath(const std::string& relative) const { return project + "/" + relative; }
    // The run's build_log.xml, when it wrote one, holds to the schema.
    void ExpectValidBuildLog(const ProcessResult& result);

    TempDir temp;
    std::string project;  // the script directory, temp/project
    std::vector<std::unique_ptr<AgentProcess>> agents;
};

}  // namespace kestrel::test
