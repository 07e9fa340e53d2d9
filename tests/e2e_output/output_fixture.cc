#include "e2e_output/output_fixture.h"

#include <sys/stat.h>

#include <filesystem>

namespace kestrel::test {

namespace fs = std::filesystem;

namespace {

void ExpectNoSanitizerReport(const std::string& errors, const std::string& who) {
    for (const char* complaint : {"Sanitizer", "runtime error:"})
        EXPECT_EQ(errors.find(complaint), std::string::npos) << who << ":\n" << errors;
}

void AddFileBlock(std::string& text, const char* keyword, const std::vector<std::string>& files) {
    if (files.empty()) return;
    text += std::string("    ") + keyword + "\n";
    for (const std::string& file : files) text += "        " + file + "\n";
}

}  // namespace

CommandLine Shell(const std::string& script) { return {"sh", "-c", script}; }

std::string MachineBlock(const std::string& name, uint16_t port) {
    return "machine " + name + "\n    path\n        kv://127.0.0.1:" + std::to_string(port) + "\n";
}

std::string JobBlock(const JobSpec& job) {
    std::string text = "job " + job.name + "\n    machine\n";
    for (const std::string& machine : job.machines) text += "        " + machine + "\n";
    AddFileBlock(text, "input", job.inputs);
    AddFileBlock(text, "output", job.outputs);
    AddFileBlock(text, "failed output", job.failedOutputs);
    for (const CommandLine& command : job.commands) {
        text += "    command break on error\n";
        for (size_t i = 0; i < command.size(); ++i) text += (i == 0 ? "        " : "            ") + command[i] + "\n";
    }
    return text;
}

int64_t ModifiedNs(const std::string& path) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return -1;
    return static_cast<int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
}

Tree Snapshot(const std::string& root) {
    Tree tree;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); it != fs::recursive_directory_iterator();
         it.increment(error)) {
        const std::string path = it->path().string();
        TreeItem item;
        if (it->is_symlink()) {
            item.kind = 'l';
            item.content = fs::read_symlink(it->path()).string();
        } else if (it->is_directory()) {
            item.kind = 'd';
        } else if (it->is_regular_file()) {
            item.kind = 'f';
            item.content = ReadFile(path);
        } else {
            item.kind = 'o';
        }
        item.modifiedNs = item.kind == 'd' ? 0 : ModifiedNs(path);
        tree[it->path().lexically_relative(root).generic_string()] = item;
    }
    return tree;
}

void OutputE2eTest::SetUp() {
    project = temp / "project";
    fs::create_directories(project);
}

void OutputE2eTest::TearDown() {
    for (auto& agent : agents) {
        if (!agent->Running()) continue;
        EXPECT_EQ(agent->Stop(), 0);
        ExpectNoSanitizerReport(agent->Errors(), "kestrel-agent");
    }
}

AgentProcess& OutputE2eTest::StartAgent(const std::vector<std::string>& extra) {
    const std::string work = temp / ("agent" + std::to_string(agents.size()));
    std::vector<std::string> arguments = {"--work-dir", work};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    agents.push_back(std::make_unique<AgentProcess>());
    AgentProcess& agent = *agents.back();
    EXPECT_TRUE(agent.Start(arguments)) << agent.failure;
    return agent;
}

ProcessResult OutputE2eTest::RunKestrel(const std::string& script, int timeoutSeconds) {
    WriteFile(ProjectPath("build.kv"), script);
    ProcessOptions options;
    options.workingDirectory = project;
    options.timeoutSeconds = timeoutSeconds;
    RemoveTree(ProjectPath("build_log.xml"));
    ProcessResult result = ConsoleText(RunProcess(ClientCommand({"--automated", "build.kv"}), ClientOptions(options)));
    ExpectNoSanitizerReport(result.err, "kestrel");
    ExpectValidBuildLog(result);
    return result;
}

void OutputE2eTest::ExpectValidBuildLog(const ProcessResult& result) {
    // The connection logs of every run, output records included, read back whole.
    EXPECT_EQ(result.out.find("The connection log is corrupt"), std::string::npos) << result.out;
    const std::string document = ProjectPath("build_log.xml");
    if (!FileExists(document)) return;
    const ProcessResult lint =
        RunProcess({"/usr/bin/xmllint", "--noout", "--schema", SourceDir() + "/docs/build_log.xsd", document});
    EXPECT_EQ(lint.exitCode, 0) << lint.err;
}

ProcessResult OutputE2eTest::RunOnPeer(ScriptedPeer& peer, const JobSpec& job, bool connectionFails) {
    std::string failure;
    if (!peer.Start(failure)) {
        ADD_FAILURE() << failure;
        return {};
    }
    ProcessResult result = RunKestrel(MachineBlock("local", peer.port()) + JobBlock(job), 120);
    peer.Wait();
    EXPECT_EQ(peer.problem(), connectionFails ? "the client closed the connection early" : "");
    return result;
}

}  // namespace kestrel::test
