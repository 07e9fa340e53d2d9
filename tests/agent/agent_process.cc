#include "agent/agent_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/test_support.h"

extern char** environ;

namespace kestrel::test {

namespace {

std::string TempName(const char* tag) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kestrel-agent-" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = mkstemp(buffer.data());
    if (fd >= 0) close(fd);
    return buffer.data();
}

pid_t Spawn(const std::vector<std::string>& argv, int outFd, int errFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> pointers;
    std::vector<std::string> copy = argv;
    for (std::string& text : copy) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    pid_t pid = -1;
    const int result = posix_spawnp(&pid, pointers[0], &actions, &attributes, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return result == 0 ? pid : -1;
}

int WaitExit(pid_t pid, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return 128 + SIGKILL;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

AgentProcess::~AgentProcess() {
    Stop();
    if (!errorFile_.empty()) unlink(errorFile_.c_str());
}

bool AgentProcess::Start(const std::vector<std::string>& arguments, const std::string& binary,
                         const std::vector<std::string>& wrapper) {
    std::vector<std::string> argv = wrapper;
    argv.insert(argv.end(), {binary.empty() ? AgentBinary() : binary, "--listen", "127.0.0.1:0"});
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    if (!errorFile_.empty()) unlink(errorFile_.c_str());
    errorFile_ = TempName("stderr");
    const int errFd = open(errorFile_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    int out[2];
    if (errFd < 0 || pipe2(out, O_CLOEXEC) != 0) {
        failure = "cannot set up the agent's streams";
        return false;
    }
    pid_ = Spawn(argv, out[1], errFd);
    close(out[1]);
    close(errFd);
    if (pid_ < 0) {
        close(out[0]);
        failure = "cannot start " + argv[0];
        return false;
    }
    // The first line tells the port; the agent keeps the pipe, we only need the line.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd watch{out[0], POLLIN, 0};
        if (poll(&watch, 1, 100) <= 0) continue;
        char chunk[256];
        const ssize_t got = read(out[0], chunk, sizeof chunk);
        if (got <= 0) break;
        line.append(chunk, static_cast<size_t>(got));
    }
    close(out[0]);
    const size_t colon = line.rfind(':');
    if (line.rfind("listening on ", 0) != 0 || colon == std::string::npos) {
        failure = "no listening line: " + line + Errors();
        Stop();
        return false;
    }
    port_ = static_cast<uint16_t>(std::atoi(line.c_str() + colon + 1));
    return port_ != 0;
}

int AgentProcess::Stop() {
    if (pid_ < 0) return -1;
    kill(pid_, SIGTERM);
    const int status = WaitExit(pid_, 30);
    pid_ = -1;
    return status;
}

bool AgentProcess::Running() {
    if (pid_ < 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return false;
}

std::string AgentProcess::Errors() const {
    std::ifstream file(errorFile_);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

AgentRun RunAgentToEnd(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {AgentBinary()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const ProcessResult result = RunProcess(argv);
    return AgentRun{result.exitCode, result.out, result.err};
}

}  // namespace kestrel::test
