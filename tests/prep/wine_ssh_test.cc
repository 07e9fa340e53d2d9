// kestrel.exe of a Windows build under Wine with a kvs:// first hop, against
// a real agent. A Windows program under Wine cannot watch the build
// machine's own ssh, so ssh.exe is the stand-in of tests/ssh_standin, first
// on Wine's search path: it forwards without encryption, fails or hangs as
// told, and logs each start. Checked: the command line the client gives it,
// the retry after an early exit and the failure text taken from its standard
// error, and that no stand-in outlives the run however the client ends.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_fixture.h"
#include "e2e/e2e_fixture.h"

namespace kestrel::test {
namespace {

constexpr char kWine[] = KESTREL_WINE;
constexpr char kWineServer[] = KESTREL_WINESERVER;
constexpr char kPrefix[] = KESTREL_WINE_PREFIX;
constexpr char kStandInFolder[] = SSH_STANDIN_FOLDER;
constexpr char kLogVariable[] = "KESTREL_SSH_STANDIN_LOG";

std::string WindowsPath(const std::string& path) {
    std::string windows = "Z:" + path;
    for (char& c : windows)
        if (c == '/') c = '\\';
    return windows;
}

std::map<std::string, std::string> WineEnvironment() {
    return {{"WINEPREFIX", kPrefix}, {"WINEDEBUG", "-all"}, {"WINEDLLOVERRIDES", "mscoree,mshtml="}};
}

// The text with the "\r" of Windows line ends dropped.
std::string Unixed(std::string text) {
    std::erase(text, '\r');
    return text;
}

// One start of the stand-in, from its log.
struct Start {
    int pid = 0;
    int parent = 0;
    std::string commandLine;
};

// Local port and destination of a command line of the client's form; false
// when it is not of that form, or its remote end is not `remotePort`.
bool ReadCommandLine(const std::string& line, uint16_t remotePort, std::string& localPort, std::string& destination) {
    const std::string head = "ssh -N -L 127.0.0.1:";
    const std::string middle = ":127.0.0.1:" + std::to_string(remotePort) + " ";
    if (line.rfind(head, 0) != 0) return false;
    const size_t colon = line.find(middle, head.size());
    if (colon == std::string::npos) return false;
    localPort = line.substr(head.size(), colon - head.size());
    destination = line.substr(colon + middle.size());
    return !localPort.empty() && localPort.find_first_not_of("0123456789") == std::string::npos;
}

class WineSshTest : public ::testing::Test {
protected:
    // A prefix of its own, with its server kept up between the runs of a
    // case: the first Wine program after a fresh server starts Wine's
    // services, which would inherit a run's output, so they start here with
    // nothing to inherit.
    static void SetUpTestSuite() {
        std::filesystem::create_directories(kPrefix);
        ProcessOptions options;
        options.environment = WineEnvironment();
        // A new prefix takes its time to be made.
        options.timeoutSeconds = 120;
        RunProcess({"/bin/sh", "-c",
                    std::string(kWineServer) + " -p60 </dev/null >/dev/null 2>&1; " + kWine +
                        " wineboot --init </dev/null >/dev/null 2>&1"},
                   options);
    }

    static void TearDownTestSuite() {
        ProcessOptions options;
        options.environment = WineEnvironment();
        RunProcess({kWineServer, "-k"}, options);
    }

    void SetUp() override {
        ASSERT_TRUE(FileExists(KESTREL_WINDOWS_CLIENT)) << KESTREL_WINDOWS_CLIENT;
        ASSERT_TRUE(FileExists(std::string(kStandInFolder) + "/ssh.exe"));
        ASSERT_TRUE(agent.Start({"--work-dir", agentWork.path()})) << agent.failure;
        url = "kvs://builder:" + std::to_string(agent.port());
    }

    void TearDown() override {
        if (agent.Running()) agent.Stop();
        // A case that failed must not leave its stand-ins to the next one.
        for (int pid : RunningStandIns()) kill(pid, SIGKILL);
    }

    // build.txt: one job on a machine reached by the ssh hop; its command
    // says it ran and, when `hold`, waits up to a minute for "release".
    void WriteScript(bool hold) {
        const std::string ran = ShellQuote(results / "ran");
        const std::string held = ShellQuote(results / "held");
        const std::string release = ShellQuote(results / "release");
        std::string command = "echo ran > " + ran;
        if (hold)
            command += "; touch " + held + "; i=0; while [ ! -e " + release +
                       " ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done";
        JobSpec job;
        job.commands = {Shell(command)};
        WriteFile(work / "build.txt", "machine m\n  path\n    " + url + "\n" + JobBlock(job));
    }

    // kestrel.exe --automated build.txt with the stand-in in `mode`.
    std::unique_ptr<ChildProcess> StartClient(const std::string& mode, const std::string& serverList = "") {
        ProcessOptions options;
        options.environment = WineEnvironment();
        options.environment["WINEPATH"] = WindowsPath(kStandInFolder);
        options.environment[kLogVariable] = WindowsPath(StandInLog());
        options.environment["KESTREL_SSH_STANDIN_HEARTBEAT"] = WindowsPath(standIn / "heartbeat");
        options.environment["KESTREL_SSH_STANDIN_MODE"] = mode;
        if (serverList.empty())
            options.unsetEnvironment = {"KV_SSH_SERVER_LIST"};
        else
            options.environment["KV_SSH_SERVER_LIST"] = serverList;
        options.workingDirectory = work.path();
        options.timeoutSeconds = 90;
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{kWine, KESTREL_WINDOWS_CLIENT, "--automated", "build.txt"}, options);
    }

    std::string StandInLog() const { return standIn / "starts.log"; }

    std::vector<Start> Starts() const {
        std::vector<Start> starts;
        if (!FileExists(StandInLog())) return starts;
        std::istringstream lines(ReadFile(StandInLog()));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("start ", 0) != 0) continue;
            std::istringstream fields(line.substr(6));
            Start start;
            fields >> start.pid >> start.parent;
            std::getline(fields >> std::ws, start.commandLine);
            starts.push_back(start);
        }
        return starts;
    }

    // The local ports the stand-ins listened on, in order.
    std::vector<std::string> ListeningPorts() const {
        std::vector<std::string> ports;
        std::istringstream lines(ReadFile(StandInLog()));
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("listening ", 0) == 0) ports.push_back(line.substr(line.rfind(' ') + 1));
        return ports;
    }

    // Every start was "ssh -N -L 127.0.0.1:L:127.0.0.1:R destination" with a
    // local port of its own; returns the local ports.
    std::vector<std::string> ExpectStarts(size_t count, const std::string& destination) const {
        const std::vector<Start> starts = Starts();
        EXPECT_EQ(starts.size(), count) << ReadFile(StandInLog());
        std::vector<std::string> ports;
        for (const Start& start : starts) {
            std::string localPort, startedFor;
            EXPECT_TRUE(ReadCommandLine(start.commandLine, agent.port(), localPort, startedFor)) << start.commandLine;
            EXPECT_EQ(startedFor, destination);
            for (const std::string& earlier : ports) EXPECT_NE(localPort, earlier);
            ports.push_back(localPort);
        }
        return ports;
    }

    // Stand-ins of this test that still run: Wine runs each Windows program
    // as a Linux process, named after the first word of its command line
    // ("ssh" when the client started it), with the environment it was given.
    std::vector<int> RunningStandIns() const {
        const std::string marker = std::string(kLogVariable) + "=" + WindowsPath(StandInLog());
        std::vector<int> running;
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const int pid = std::atoi(entry.path().filename().c_str());
            if (pid <= 0) continue;
            const std::string name = ReadProcessFile(entry.path() / "comm");
            if (name != "ssh\n" && name != "ssh.exe\n") continue;
            std::string environment = ReadProcessFile(entry.path() / "environ");
            std::replace(environment.begin(), environment.end(), '\0', '\n');
            if (("\n" + environment).find("\n" + marker + "\n") != std::string::npos) running.push_back(pid);
        }
        return running;
    }

    // No stand-in process is left, and none of them still writes its heartbeat.
    void ExpectNoStandInLeft() const {
        std::vector<int> running;
        EXPECT_TRUE(WaitUntil([&] { return (running = RunningStandIns()).empty(); }))
            << ::testing::PrintToString(running);
        const std::string heartbeat = standIn / "heartbeat";
        if (!FileExists(heartbeat)) return;
        const std::string before = ReadFile(heartbeat);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(ReadFile(heartbeat), before) << "a stand-in still beats";
    }

    void ExpectBuildLog(const std::string& failure) const {
        const std::string log = work / "build_log.xml";
        ASSERT_TRUE(FileExists(log));
        EXPECT_EQ(SchemaErrors(log), "");
        const std::string document = ReadFile(log);
        if (failure.empty()) {
            EXPECT_EQ(document.find("<kv:error"), std::string::npos) << document;
        } else {
            // Status 8 keeps the last connection error: the forward's port refused.
            EXPECT_NE(document.find("type=\"connection\""), std::string::npos) << document;
            EXPECT_NE(document.find("code=\"10061\">" + failure + "</kv:error>"), std::string::npos) << document;
        }
    }

    // The client's temporary logs go to the prefix's temporary folder.
    std::vector<std::string> TemporaryLogsLeft() const {
        std::vector<std::string> logs;
        const std::filesystem::path users = std::filesystem::path(kPrefix) / "drive_c/users";
        for (const auto& user : std::filesystem::directory_iterator(users)) {
            const std::filesystem::path temp = user.path() / "AppData/Local/Temp";
            if (!std::filesystem::is_directory(temp)) continue;
            for (const std::string& log : TemporaryLogs(temp.string())) logs.push_back(log);
        }
        return logs;
    }

    void ClearRun() {
        for (const char* name : {"build_log.xml", "panic.bin", "panic.map.bin", "panic.message.txt"})
            RemoveTree(work / name);
        for (const char* name : {"ran", "held", "release"}) RemoveTree(results / name);
        RemoveTree(standIn / "starts.log");
        RemoveTree(standIn / "heartbeat");
    }

    TempDir work;
    TempDir results;
    TempDir agentWork;
    TempDir standIn;  // its log and heartbeat
    AgentProcess agent;
    std::string url;
};

TEST_F(WineSshTest, JobRunsThroughTheForward) {
    struct Case {
        const char* name;
        std::string mode;
        std::string serverList;
        std::string destination;
        size_t starts;  // the first one failing early when 2
    };
    const Case cases[] = {
        {"no server list", "forward", "", "builder", 1},
        {"the list names the host", "forward", "ghost@elsewhere;alice@builder:bob@builder", "alice@builder", 1},
        {"the list names other hosts", "forward", "alice@Builder;bob@builder2;builder", "builder", 1},
        {"ssh fails once", "fail-once", "carol@builder", "carol@builder", 2},
    };
    WriteScript(false);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearRun();
        const ProcessResult run = StartClient(c.mode, c.serverList)->Wait();
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(Unixed(run.out), PlainOutput({"The job main succeeded", "All jobs successfully completed"}));
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(ReadFile(results / "ran"), "ran\n");
        ExpectBuildLog("");
        const std::vector<std::string> ports = ExpectStarts(c.starts, c.destination);
        // Only the last one listened, on the port of its command line.
        if (!ports.empty()) {
            EXPECT_EQ(ListeningPorts(), std::vector<std::string>{ports.back()});
        }
        ExpectNoStandInLeft();
        EXPECT_EQ(TemporaryLogsLeft(), std::vector<std::string>{});
    }
}

TEST_F(WineSshTest, ForwardThatNeverComesFailsTheJob) {
    struct Case {
        const char* name;
        std::string mode;
        size_t starts;
        std::string failure;     // the connection error the build log keeps
        std::string shown;       // the line after "Machine m ({url}): ", with Wine's words for 10061
        std::string sshMessage;  // "": none
    };
    const Case cases[] = {
        // Both attempts end before their port answers: the last words of
        // the second one say why.
        {"ssh exits at once", "fail-early", 2, "Cannot connect: ssh: connect to host builder port 22: Connection refused",
         "Cannot connect (Connection refused): ssh: connect to host builder port 22: Connection refused, error 10061",
         "The ssh command line for {0} failed, error 255"},
        // The tries run out while ssh still runs; teardown ends it quietly.
        {"ssh never listens", "hang", 1, "Cannot connect", "Cannot connect (Connection refused), error 10061", ""},
    };
    WriteScript(false);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearRun();
        const ProcessResult run = StartClient(c.mode)->Wait();
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        std::vector<std::string> lines = {"Machine m (" + url + "): " + c.shown};
        if (!c.sshMessage.empty()) {
            std::string message = c.sshMessage;
            lines.push_back(message.replace(message.find("{0}"), 3, url));
        }
        lines.push_back("At least one job failed");
        EXPECT_EQ(Unixed(run.out), PlainOutput(lines));
        EXPECT_FALSE(FileExists(results / "ran"));
        ExpectBuildLog(c.failure);
        ExpectStarts(c.starts, "builder");
        EXPECT_EQ(ListeningPorts(), std::vector<std::string>{});
        ExpectNoStandInLeft();
        EXPECT_EQ(TemporaryLogsLeft(), std::vector<std::string>{});
    }
}

TEST_F(WineSshTest, NoForwardOutlivesTheClient) {
    struct Case {
        const char* name;
        int signal;  // sent to kestrel.exe's Wine process; 0: TerminateProcess from Windows
        int exitCode;  // -1: whatever taskkill gives
    };
    const Case cases[] = {
        {"Ctrl+C", SIGINT, 2},
        {"killed", SIGKILL, 128 + SIGKILL},
        {"terminated", 0, -1},
    };
    WriteScript(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearRun();
        std::unique_ptr<ChildProcess> client = StartClient("forward");
        ASSERT_TRUE(WaitUntil([this] { return FileExists(results / "held"); })) << "the job never ran";
        ASSERT_EQ(RunningStandIns().size(), 1u);
        const std::vector<Start> starts = Starts();
        ASSERT_EQ(starts.size(), 1u);
        if (c.signal != 0) {
            client->Signal(c.signal);
        } else {
            ProcessOptions options;
            options.environment = WineEnvironment();
            const ProcessResult kill =
                RunProcess({kWine, "taskkill", "/f", "/pid", std::to_string(starts[0].parent)}, options);
            EXPECT_EQ(kill.exitCode, 0) << kill.out << kill.err;
        }
        const ProcessResult run = client->Wait();
        if (c.exitCode >= 0) {
            EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
        }
        if (c.signal == SIGINT) {
            EXPECT_NE(run.err.find("Panicking..."), std::string::npos) << run.err;
            EXPECT_TRUE(FileExists(work / "panic.bin"));
        }
        EXPECT_FALSE(FileExists(work / "build_log.xml"));
        ExpectNoStandInLeft();
        WriteFile(results / "release", "");
    }
}

}  // namespace
}  // namespace kestrel::test
