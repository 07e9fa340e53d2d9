#include "agent/os/keeper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/uio.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <thread>
#include <vector>

#include "agent/os/process.h"
#include "agent/os/process_table.h"
#include "runtime/little_endian.h"

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

// A command as the agent sent it: its descriptors (received close-on-exec)
// and its text, with the pointers into it that the start takes.
struct CommandRequest {
    int fds[kKeeperCommandFds] = {-1, -1, -1};  // output, error, working directory
    std::vector<char> text;
    const char* program = nullptr;
    std::vector<char*> argv;
    std::vector<char*> envp;

    ~CommandRequest() {
        for (int fd : fds) {
            if (fd >= 0) close(fd);
        }
    }
};

// `count` strings, each ending in a 0 byte, from `text` at `offset`.
bool TakeStrings(std::vector<char>& text, size_t& offset, uint32_t count, std::vector<char*>& out) {
    for (uint32_t i = 0; i < count; ++i) {
        if (offset >= text.size()) return false;
        char* begin = text.data() + offset;
        const void* end = std::memchr(begin, 0, text.size() - offset);
        if (end == nullptr) return false;
        out.push_back(begin);
        offset = static_cast<const char*>(end) - text.data() + 1;
    }
    out.push_back(nullptr);
    return true;
}

bool ParseCommandText(CommandRequest& request) {
    std::vector<char>& text = request.text;
    if (text.size() < 8) return false;
    const uint32_t arguments = ReadU32(reinterpret_cast<const uint8_t*>(text.data()));
    const uint32_t entries = ReadU32(reinterpret_cast<const uint8_t*>(text.data()) + 4);
    std::vector<char*> program;
    size_t offset = 8;
    if (!TakeStrings(text, offset, 1, program) || !TakeStrings(text, offset, arguments, request.argv) ||
        !TakeStrings(text, offset, entries, request.envp) || offset != text.size())
        return false;
    request.program = program[0];
    return true;
}

// Waits for the agent's next command. False when the agent closed its end
// or is gone, or sent what is no command.
bool ReceiveCommand(CommandRequest& request) {
    uint8_t head[kKeeperCommandHeadSize];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kKeeperCommandFds)];
    iovec part{head, sizeof head};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do {
        got = recvmsg(kKeeperControlFd, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    int received = 0;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
        const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
            if (received < kKeeperCommandFds) {
                request.fds[received++] = fd;
            } else {
                close(fd);
            }
        }
    }
    if (got != static_cast<ssize_t>(sizeof head) || received != kKeeperCommandFds ||
        (message.msg_flags & MSG_CTRUNC) != 0 || ReadU32(head) != kKeeperRunCommand)
        return false;
    const uint32_t length = ReadU32(head + 4);
    if (length > kKeeperMostText) return false;
    request.text.resize(length);
    for (size_t have = 0; have < length;) {
        do {
            got = recv(kKeeperControlFd, request.text.data() + have, length - have, 0);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return false;
        have += static_cast<size_t>(got);
    }
    return ParseCommandText(request);
}

// Standard input stays the keeper's own (/dev/null); output and error go to
// the pipes, in the working directory.
bool StartCommand(const CommandRequest& request, pid_t& pid, int& error) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, request.fds[0], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, request.fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addfchdir_np(&actions, request.fds[2]);
    posix_spawnattr_t attributes;
    InitSpawnAttributes(attributes);
    const int result = posix_spawn(&pid, request.program, &actions, &attributes, request.argv.data(),
                                   request.envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
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

void Drain(int fd) {
    signalfd_siginfo info;
    while (read(fd, &info, sizeof info) > 0) {
    }
}

enum class Watch : uint8_t { Idle, AgentGone };

// Reports the command's end and its group's, until nothing is left below
// the keeper, or the agent closes its end.
Watch WatchCommand(pid_t command, int childFd) {
    bool exited = false;
    bool groupGone = false;
    for (;;) {
        pollfd watch[2] = {{kKeeperControlFd, POLLIN, 0}, {childFd, POLLIN, 0}};
        const int timeout = exited && !groupGone ? kGroupCheckMs : -1;
        if (poll(watch, childFd >= 0 ? 2 : 1, childFd >= 0 ? timeout : kGroupCheckMs) < 0 && errno != EINTR)
            return Watch::AgentGone;
        // The agent sends nothing while a command runs: readable means it
        // closed its end, or is gone.
        if (watch[0].revents != 0) return Watch::AgentGone;
        if (childFd >= 0) Drain(childFd);
        const bool childrenLeft = ReapChildren(command, exited);
        if (exited && !groupGone && (!childrenLeft || (kill(-command, 0) != 0 && errno == ESRCH))) {
            Report(KeeperReport::GroupGone, 0);
            groupGone = true;
        }
        if (exited && groupGone && !childrenLeft) return Watch::Idle;
    }
}

}  // namespace

int RunJobKeeper() {
    for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(signal, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    fcntl(kKeeperControlFd, F_SETFD, FD_CLOEXEC);
    sigset_t childSignals;
    sigemptyset(&childSignals);
    sigaddset(&childSignals, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childSignals, nullptr);
    const int childFd = signalfd(-1, &childSignals, SFD_CLOEXEC | SFD_NONBLOCK);

    for (;;) {
        pid_t command = -1;
        int error = 0;
        bool started = false;
        {
            CommandRequest request;
            if (!ReceiveCommand(request)) return 0;
            started = StartCommand(request, command, error);
            // The command's streams end when its processes close them, not
            // when the keeper does: it keeps none of them.
        }
        if (!started) {
            Report(KeeperReport::StartFailed, static_cast<uint32_t>(error));
            continue;
        }
        Report(KeeperReport::Started, static_cast<uint32_t>(command));
        if (WatchCommand(command, childFd) == Watch::AgentGone) {
            return EndDescendants(command) ? 0 : kKeeperLeftProcesses;
        }
        Report(KeeperReport::Idle, 0);
    }
}

}  // namespace kestrel::agent::os
