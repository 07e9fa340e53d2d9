#include "e2e/e2e_fixture.h"

#include <filesystem>

namespace kestrel::test {

std::string JobBlock(const JobSpec& job) {
    std::string text = "job " + job.name + "\n  machine\n";
    for (const std::string& machine : job.machines) text += "    " + machine + "\n";
    if (!job.inputs.empty()) {
        text += "  input\n";
        for (const std::string& input : job.inputs) text += "    " + input + "\n";
    }
    if (!job.outputs.empty()) {
        text += "  output\n";
        for (const std::string& output : job.outputs) text += "    " + output + "\n";
    }
    if (!job.commands.empty()) {
        text += "  command " + job.mode + "\n";
        for (const std::vector<std::string>& command : job.commands) {
            // The first argument is the command line, the others are indented under it.
            for (size_t i = 0; i < command.size(); ++i) text += (i == 0 ? "    " : "      ") + command[i] + "\n";
        }
    }
    return text;
}

std::string MachineBlock(const std::string& name, uint16_t port) {
    return "machine " + name + "\n  path\n    kv://127.0.0.1:" + std::to_string(port) + "\n";
}

std::vector<std::string> Shell(const std::string& script) { return {"/bin/sh", "-c", script}; }

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string PlainOutput(const std::vector<std::string>& lines) {
    std::string text = "Scheduling jobs\nRunning jobs\n";
    for (size_t i = 0; i < lines.size(); ++i) {
        // The outcome line comes once the build log has been written.
        const bool outcome = lines[i] == "At least one job failed" || lines[i] == "All jobs successfully completed";
        if (i + 1 == lines.size() && outcome) text += "Generating the build log\n";
        text += lines[i] + "\n";
    }
    return text;
}

std::string SchemaErrors(const std::string& document) {
    const ProcessResult lint =
        RunProcess({"/usr/bin/xmllint", "--noout", "--schema", SourceDir() + "/docs/build_log.xsd", document});
    return lint.exitCode == 0 ? "" : lint.err + lint.out;
}

std::vector<std::string> TemporaryLogs(const std::string& directory) {
    std::vector<std::string> logs;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        if (entry.path().filename().string().rfind("KVLOG.", 0) == 0) logs.push_back(entry.path().string());
    return logs;
}

void EndToEndTest::TearDown() {
    if (relay != nullptr) relay->Stop();
    if (agent.Running()) agent.Stop();
    if (HasFailure()) std::fprintf(stderr, "agent said:\n%s\n", agent.Errors().c_str());
}

void EndToEndTest::StartAgent(const std::vector<std::string>& extra) {
    std::vector<std::string> arguments = {"--work-dir", agentWork.path()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    ASSERT_TRUE(agent.Start(arguments)) << agent.failure;
}

WireRelay& EndToEndTest::NewRelay() {
    relay = std::make_unique<WireRelay>();
    return *relay;
}

void EndToEndTest::StartRelay() { ASSERT_TRUE(relay->Start(agent.port())); }

uint16_t EndToEndTest::MachinePort() const {
    return relay != nullptr && relay->port() != 0 ? relay->port() : agent.port();
}

std::string EndToEndTest::Machine(const std::string& name) const { return MachineBlock(name, MachinePort()); }

void EndToEndTest::Write(const std::string& relative, const std::string& bytes) { WriteFile(At(relative), bytes); }

std::string EndToEndTest::Result(const std::string& name) const {
    return FileExists(ResultPath(name)) ? ReadFile(ResultPath(name)) : "";
}

ProcessResult EndToEndTest::RunKestrel(const std::vector<std::string>& options, const std::string& script,
                                       int timeoutSeconds) {
    std::vector<std::string> arguments{"--automated"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back(script);
    ProcessOptions process;
    process.workingDirectory = work.path();
    process.timeoutSeconds = timeoutSeconds;
    ProcessResult result =
        ConsoleText(RunProcess(ClientCommand(arguments, binary), ClientOptions(process, temporary.path())));
    // What passed the relay is complete once the client is gone.
    if (relay != nullptr) relay->Stop();
    // A run that reached its end leaves a valid build log and no temporary file.
    const std::string document = work / "build_log.xml";
    if (result.exitCode == 0 && FileExists(document)) {
        EXPECT_EQ(SchemaErrors(document), "");
    }
    if (result.exitCode != 2) {
        EXPECT_EQ(TemporaryLogs(temporary.path()), std::vector<std::string>{});
    }
    return result;
}

ProcessResult EndToEndTest::RunJobs(const std::vector<JobSpec>& jobs, const std::vector<std::string>& options) {
    std::string script = Machine();
    for (const JobSpec& job : jobs) script += JobBlock(job);
    Write("build.txt", script);
    return RunKestrel(options);
}

}  // namespace kestrel::test
