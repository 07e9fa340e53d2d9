#include "agent/os/keeper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <initializer_list>
#include <thread>
#include <vector>

#include "agent/os/process.h"
#include "agent/os/process_table.h"
#include "runtime/little_endian.h"

extern char** environ;

namespace kestrel::agent::os {

namespace {

// While the command's process has exited but its group lives on, the group
// is looked at this often: members whose parent is not the keeper end
// without telling it.
constexpr int kGroupCheckMs = 100;
// How long ending everything may take before the keeper gives up (what is
// left then falls to the agent, a subreaper too).
constexpr auto kEndingTime = std::chrono::seconds(10);

void Report(KeeperReport report, uint32_t value) {
    uint8_t packet[kKeeperReportSize];
    WriteU32(packet, static_cast<uint32_t>(report));
    WriteU32(packet + 4, value);
    // A failure means the agent is gone: the control socket says so too.
    send(kKeeperControlFd, packet, sizeof packet, MSG_NOSIGNAL);
}

bool StartCommand(const char* program, char* const* argv, pid_t& pid, int& error) {
    posix_spawnattr_t attributes;
    InitSpawnAttributes(attributes);
    const int result = posix_spawn(&pid, program, nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    error = result;
    return result == 0;
}

// Reaps every child that has ended and reports the command's end. False
// once the keeper has no children left at all, and so no descendants.
bool ReapChildren(pid_t command, bool& commandExited) {
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(-1, &status, WNOHANG);
        if (ended == 0) return true;
        if (ended < 0) {
            if (errno == EINTR) continue;
            return errno != ECHILD;
        }
        if (ended != command) continue;
        commandExited = true;
        if (WIFSIGNALED(status)) {
            Report(KeeperReport::Signalled, static_cast<uint32_t>(WTERMSIG(status)));
        } else {
            Report(KeeperReport::Exited, static_cast<uint32_t>(WEXITSTATUS(status)));
        }
    }
}

// Kills every descendant until none is left: each round kills what the
// process table shows below the keeper and reaps what reached it, so that
// processes forked in between are caught by the next round. Orphans come to
// the keeper, so no children means no descendants. False when some were
// still there when it gave up.
bool EndDescendants(pid_t command) {
    const auto giveUp = std::chrono::steady_clock::now() + kEndingTime;
    std::vector<pid_t> below;
    bool exited = false;
    while (ReapChildren(command, exited)) {
        if (std::chrono::steady_clock::now() >= giveUp) return false;
        ListDescendants(getpid(), below);
        for (pid_t pid : below) kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The command's streams end when the command's processes close them, not
// when the keeper does: it keeps none of them.
void LetGoOfTheStreams() {
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    dup2(kKeeperDiagnosticsFd, STDERR_FILENO);
    close(kKeeperDiagnosticsFd);
}

void Drain(int fd) {
    signalfd_siginfo info;
    while (read(fd, &info, sizeof info) > 0) {
    }
}

}  // namespace

int RunJobKeeper(int argc, char** argv) {
    if (argc < 2) return 2;
    for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(signal, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    fcntl(kKeeperControlFd, F_SETFD, FD_CLOEXEC);
    fcntl(kKeeperDiagnosticsFd, F_SETFD, FD_CLOEXEC);
    sigset_t childSignals;
    sigemptyset(&childSignals);
    sigaddset(&childSignals, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childSignals, nullptr);
    const int childFd = signalfd(-1, &childSignals, SFD_CLOEXEC | SFD_NONBLOCK);

    pid_t command = -1;
    int error = 0;
    const bool started = StartCommand(argv[0], argv + 1, command, error);
    LetGoOfTheStreams();
    if (!started) {
        Report(KeeperReport::StartFailed, static_cast<uint32_t>(error));
        return 0;
    }
    Report(KeeperReport::Started, static_cast<uint32_t>(command));
    bool exited = false;
    bool groupGone = false;
    for (;;) {
        pollfd watch[2] = {{kKeeperControlFd, POLLIN, 0}, {childFd, POLLIN, 0}};
        const int timeout = exited && !groupGone ? kGroupCheckMs : -1;
        if (poll(watch, childFd >= 0 ? 2 : 1, childFd >= 0 ? timeout : kGroupCheckMs) < 0 && errno != EINTR) break;
        // The agent sends nothing: readable means it closed its end, or is gone.
        if (watch[0].revents != 0) break;
        if (childFd >= 0) Drain(childFd);
        const bool childrenLeft = ReapChildren(command, exited);
        if (exited && !groupGone && (!childrenLeft || (kill(-command, 0) != 0 && errno == ESRCH))) {
            Report(KeeperReport::GroupGone, 0);
            groupGone = true;
        }
        if (exited && groupGone && !childrenLeft) return 0;
    }
    return EndDescendants(command) ? 0 : kKeeperLeftProcesses;
}

}  // namespace kestrel::agent::os
