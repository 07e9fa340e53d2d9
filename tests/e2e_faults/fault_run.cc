#include "e2e_faults/fault_run.h"

#include <sys/prctl.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "agent/agent_fixture.h"
#include "archive/archive_test_support.h"
#include "driver/panic.h"

namespace kestrel::test {

namespace {

constexpr char kFailedPrefix[] = "Machine failed with connection error: ";

std::string PanicNotice() {
    return std::string("Panicking...\n") + "The Kestrelvane client has panicked due to an internal bug\n" +
           "Please email the panic.bin file to " + kSupportAddress + "\n" +
           "NOTE: The panic.bin file will contain IP addresses, command lines and file names.\n" +
           "      It will not contain file contents.\n\n";
}

// A sanitizer, or a failed check of its own, speaks on standard error.
bool ReportsAFault(const std::string& errors) {
    for (const char* mark : {"Sanitizer", "runtime error:", "INTERNAL ERROR"})
        if (errors.find(mark) != std::string::npos) return true;
    return false;
}

std::string Indented(const std::string& indent, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += indent + line + "\n";
    return text;
}

std::string ShellCommand(const std::string& script) { return "    /bin/sh\n      -c\n      " + script + "\n"; }

}  // namespace

ExpectedEnd Succeeded() {
    ExpectedEnd end;
    end.lines = {"The job main succeeded", "All jobs successfully completed"};
    return end;
}

ExpectedEnd JobFailed(const std::string& failure, const std::string& errorType) {
    ExpectedEnd end;
    end.failure = failure;
    end.errorType = errorType;
    end.lines = {kFailedPrefix + failure, "At least one job failed"};
    return end;
}

ExpectedEnd ProtocolPanic(const std::string& failure) {
    ExpectedEnd end;
    end.exitCode = 2;
    end.failure = failure;
    end.errorType = "protocol";
    end.lines = {kFailedPrefix + failure};
    end.panicText = "protocol error";
    return end;
}

std::string WithUrl(const std::string& format, const std::string& url) {
    std::string text = format;
    for (size_t at = text.find("{0}"); at != std::string::npos; at = text.find("{0}", at + url.size()))
        text.replace(at, 3, url);
    return text;
}

std::string PanicMessageLine(const std::string& directory, const std::string& scratch) {
    if (!FileExists(directory + "/panic.bin")) return "";
    std::filesystem::create_directories(scratch);
    const ReaderRun unpacked = RunReader(ReadFile(directory + "/panic.bin"), scratch);
    if (!unpacked.ok) return "";
    const std::map<std::string, std::string> tree = ReadTree(scratch);
    const auto message = tree.find("panic.message.txt");
    if (message == tree.end()) return "";
    // UTF-16LE text of ASCII lines: every second byte is the character.
    std::string line;
    for (size_t i = 0; i + 1 < message->second.size() && message->second[i] != '\n'; i += 2) line += message->second[i];
    return line;
}

void FaultRunTest::SetUp() {
    // Orphans of the client (ssh, the panic relaunch, anything a command
    // left) then become children of this process instead of init's.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    WriteFile(results / "tools.env", "KV_DEV=from-tools\n");
    agentOptions = {"--dev-env", "tools=" + (results / "tools.env")};
}

void FaultRunTest::TearDown() {
    // Whatever a failed case left must not hold the tree open for the next one.
    std::vector<int> except = servers;
    except.push_back(agent.pid());
    for (const std::string& line : ChildProcesses(except)) {
        const int pid = std::atoi(line.c_str());
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    // The last agent's exit is checked like every other one.
    if (agent.Running()) StopAgentCleanly();
    EndToEndTest::TearDown();
}

void FaultRunTest::WriteStandardScript(const StandardJob& job, const std::vector<std::string>& path) {
    Write("in/a.txt", "hello\n");
    Write("in/data.bin", NoiseBytes(job.inputBytes, 7));
    const std::vector<std::string> hops = path.empty() ? std::vector<std::string>{Url()} : path;
    std::vector<std::string> outputs = {"out/result.txt", "out/data.bin"};
    if (job.missingOutput) outputs.push_back("out/missing.txt");
    std::string hold;
    if (job.holdSecondCommand) {
        const std::string held = ShellQuote(ResultPath("held"));
        const std::string release = ShellQuote(ResultPath("release"));
        hold = "; touch " + held + "; i=0; while [ ! -e " + release + " ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done";
    }
    std::string script = "machine m\n  path\n" + Indented("    ", hops);
    script += "job main\n  machine\n    m\n  input\n    in/a.txt\n    in/data.bin\n  output\n" + Indented("    ", outputs);
    if (job.missingOutput) script += "  failed output\n    out/result.txt\n";
    script += "  environment replace\n    MODE = fault\n  environment prefix\n    LIST = one,\n"
              "  environment suffix\n    LIST = ,two\n  development environment tools\n";
    script += "  command break on error\n";
    script += ShellCommand("echo first-out; echo first-err >&2");
    script += ShellCommand("echo second-out $MODE $LIST $KV_DEV; echo second-err >&2" + hold);
    script += ShellCommand(
        "mkdir -p out && cat in/a.txt > out/result.txt && cp in/data.bin out/data.bin && echo third-out && "
        "echo third-err >&2");
    Write("build.txt", script);
}

bool FaultRunTest::RestartAgent(const std::vector<std::string>& faults) {
    if (agent.Running()) {
        if (!StopAgentCleanly()) return false;
    } else {
        // A killed agent's keepers report into its standard error too.
        const std::string errors = agent.Errors();
        EXPECT_FALSE(ReportsAFault(errors)) << errors;
    }
    std::vector<std::string> arguments = {"--work-dir", agentWork.path()};
    arguments.insert(arguments.end(), agentOptions.begin(), agentOptions.end());
    arguments.insert(arguments.end(), faults.begin(), faults.end());
    const bool started = agent.Start(arguments);
    EXPECT_TRUE(started) << agent.failure;
    return started;
}

bool FaultRunTest::StopAgentCleanly() {
    const int status = agent.Stop();
    const std::string errors = agent.Errors();
    EXPECT_EQ(status, 0) << errors;
    EXPECT_FALSE(ReportsAFault(errors)) << errors;
    return status == 0 && !ReportsAFault(errors);
}

std::unique_ptr<ChildProcess> FaultRunTest::StartClient(ProcessOptions options) {
    options.workingDirectory = work.path();
    return std::make_unique<ChildProcess>(ClientCommand({"--automated", "build.txt"}, binary),
                                          ClientOptions(options, temporary.path()));
}

ProcessResult FaultRunTest::RunClient(ProcessOptions options) {
    // Every run here ends within seconds; a hang is killed and shows as 137.
    options.timeoutSeconds = 60;
    const ProcessResult run = ConsoleText(StartClient(options)->Wait());
    if (relay != nullptr) relay->Stop();
    return run;
}

void FaultRunTest::ExpectEnd(const ProcessResult& run, const ExpectedEnd& expected, bool agentAlive) {
    EXPECT_EQ(run.exitCode, expected.exitCode) << run.out << run.err;
    if (expected.exitCode == 2) {
        std::string out = "Scheduling jobs\nRunning jobs\n";
        for (const std::string& line : expected.lines) out += line + "\n";
        EXPECT_EQ(run.out, out);
        EXPECT_EQ(run.err, PanicNotice());
        ExpectPanicReport(expected);
    } else {
        EXPECT_EQ(run.out, PlainOutput(expected.lines));
        EXPECT_EQ(run.err, "");
        ExpectBuildLog(expected);
    }
    ExpectNothingLeft(agentAlive);
}

void FaultRunTest::ExpectBuildLog(const ExpectedEnd& expected) {
    const std::string log = work / "build_log.xml";
    ASSERT_TRUE(FileExists(log));
    EXPECT_EQ(SchemaErrors(log), "");
    const std::string document = ReadFile(log);
    if (!expected.failure.empty()) {
        EXPECT_NE(document.find("type=\"" + expected.errorType + "\""), std::string::npos) << document;
        EXPECT_NE(document.find(">" + expected.failure + "</kv:error>"), std::string::npos) << document;
    } else {
        EXPECT_EQ(document.find("<kv:error"), std::string::npos) << document;
    }
}

void FaultRunTest::ExpectPanicReport(const ExpectedEnd& expected) {
    // The panic comes before the build log would be written.
    EXPECT_FALSE(FileExists(work / "build_log.xml"));
    EXPECT_EQ(PanicMessageLine(work.path(), results / "panic"), expected.panicText + "\tmessage\tpanic.message.txt");
    RemoveTree(results / "panic");
    // The relaunch packed its map's message and removed both.
    EXPECT_FALSE(FileExists(work / "panic.map.bin"));
    EXPECT_FALSE(FileExists(work / "panic.message.txt"));
}

void FaultRunTest::ExpectNothingLeft(bool agentAlive) {
    EXPECT_EQ(TemporaryLogs(temporary.path()), std::vector<std::string>{});
    EXPECT_EQ(LeftoverProcesses(), std::vector<std::string>{});
    if (agentAlive) {
        EXPECT_TRUE(WaitUntil([this] { return WorkAreas().empty(); })) << ::testing::PrintToString(WorkAreas());
    }
}

void FaultRunTest::ClearRunFiles() {
    for (const char* name : {"build_log.xml", "panic.bin", "panic.map.bin", "panic.message.txt", "out"})
        RemoveTree(At(name));
    for (const char* name : {"held", "release"}) RemoveTree(ResultPath(name));
}

std::vector<std::string> FaultRunTest::LeftoverProcesses() {
    std::vector<int> except = servers;
    except.push_back(agent.pid());
    std::vector<std::string> left;
    WaitUntil([&] {
        left.clear();
        for (const std::string& line : ChildProcesses(except)) {
            const int pid = std::atoi(line.c_str());
            // An ended orphan is ours to reap.
            if (line.back() == 'Z' && waitpid(pid, nullptr, WNOHANG) == pid) continue;
            left.push_back(line);
        }
        return left.empty();
    });
    return left;
}

std::vector<std::string> FaultRunTest::WorkAreas() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(agentWork.path())) {
        // The agent's lock stays while it runs, and so may emptied areas kept
        // for later jobs; everything else is a job's.
        const std::string name = entry.path().filename().string();
        if (name == ".kestrel-agent.lock") continue;
        if (name.rfind("spare-", 0) == 0 && std::filesystem::is_empty(entry.path())) continue;
        names.push_back(name);
    }
    return names;
}

}  // namespace kestrel::test
