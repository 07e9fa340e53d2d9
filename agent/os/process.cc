#include "agent/os/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <thread>
#include <vector>

#include "agent/os/keeper.h"
#include "agent/os/process_table.h"
#include "runtime/little_endian.h"

extern char** environ;

namespace kestrel::agent::os {

namespace {

void CloseEnd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// The keeper's descriptors 0 to 3 are set one after the other from this:
// it may not be one of those numbers.
bool MoveAboveKeeperFds(int& fd, int& error) {
    if (fd > kKeeperControlFd) return true;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kKeeperControlFd + 1);
    if (moved < 0) {
        error = errno;
        return false;
    }
    close(fd);
    fd = moved;
    return true;
}

bool ReadReport(int fd, KeeperReport& report, uint32_t& value, bool& ended) {
    uint8_t packet[kKeeperReportSize];
    ssize_t got;
    do {
        got = recv(fd, packet, sizeof packet, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    ended = got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    if (got != static_cast<ssize_t>(sizeof packet)) return false;
    report = static_cast<KeeperReport>(ReadU32(packet));
    value = ReadU32(packet + 4);
    return true;
}

// Waits up to `waitMs` for the keeper to end, then kills it; reaps it.
void ReapKeeper(ChildProcess& child, uint32_t waitMs) {
    if (child.keeper <= 0) return;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    // Readable once the keeper has ended: a wait without polling, where the
    // system has it.
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, child.keeper, 0));
    int status = 0;
    for (;;) {
        const pid_t result = waitpid(child.keeper, &status, WNOHANG);
        if (result == child.keeper) break;
        if (result < 0 && errno != EINTR) {
            child.keeper = -1;
            if (ended >= 0) close(ended);
            return;
        }
        const auto left = giveUp - std::chrono::steady_clock::now();
        if (left <= std::chrono::milliseconds(0)) {
            kill(child.keeper, SIGKILL);
            while (waitpid(child.keeper, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        if (ended >= 0) {
            pollfd watch{ended, POLLIN, 0};
            poll(&watch, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    if (ended >= 0) close(ended);
    child.keeper = -1;
    child.orphansLeft = WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == kKeeperLeftProcesses);
    if (!child.exited) {
        // The command's own end went with the keeper: report the keeper's.
        child.exited = true;
        child.exit.signalled = WIFSIGNALED(status);
        child.exit.value = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
    }
}

void AppendString(std::vector<uint8_t>& text, const char* string) {
    text.insert(text.end(), string, string + std::strlen(string) + 1);
}

// The command's program, arguments and environment as the keeper reads them.
bool CommandText(const CommandStart& start, std::vector<uint8_t>& text) {
    uint32_t arguments = 0;
    uint32_t entries = 0;
    while (start.argv[arguments] != nullptr) ++arguments;
    while (start.envp[entries] != nullptr) ++entries;
    text.resize(8);
    WriteU32(text.data(), arguments);
    WriteU32(text.data() + 4, entries);
    AppendString(text, start.program);
    for (uint32_t i = 0; i < arguments; ++i) AppendString(text, start.argv[i]);
    for (uint32_t i = 0; i < entries; ++i) AppendString(text, start.envp[i]);
    return text.size() <= kKeeperMostText;
}

bool SendCommandHead(int control, uint32_t length, const int (&fds)[kKeeperCommandFds], int& error) {
    uint8_t head[kKeeperCommandHeadSize];
    WriteU32(head, kKeeperRunCommand);
    WriteU32(head + 4, length);
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof fds)] = {};
    iovec part{head, sizeof head};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = space;
    message.msg_controllen = sizeof space;
    cmsghdr* rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof fds);
    std::memcpy(CMSG_DATA(rights), fds, sizeof fds);
    ssize_t sent;
    do {
        sent = sendmsg(control, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent == static_cast<ssize_t>(sizeof head)) return true;
    error = sent < 0 ? errno : EIO;
    return false;
}

bool SendCommandText(int control, const std::vector<uint8_t>& text, int& error) {
    for (size_t offset = 0; offset < text.size();) {
        const size_t length = std::min<size_t>(text.size() - offset, kKeeperTextPacket);
        ssize_t sent;
        do {
            sent = send(control, text.data() + offset, length, MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        if (sent != static_cast<ssize_t>(length)) {
            error = sent < 0 ? errno : EIO;
            return false;
        }
        offset += length;
    }
    return true;
}

void Apply(ChildProcess& child, KeeperReport report, uint32_t value) {
    switch (report) {
    case KeeperReport::Exited:
    case KeeperReport::Signalled:
        child.exited = true;
        child.exit.signalled = report == KeeperReport::Signalled;
        child.exit.value = static_cast<int>(value);
        break;
    case KeeperReport::Started: child.command = static_cast<pid_t>(value); break;
    case KeeperReport::StartFailed:
        // Nothing was started: nothing is left, and the keeper is idle again.
        child.startError = value != 0 ? static_cast<int>(value) : EIO;
        child.exited = child.groupGone = child.idle = true;
        break;
    case KeeperReport::GroupGone: child.groupGone = true; break;
    case KeeperReport::Idle: child.idle = true; break;
    default: break;
    }
}

}  // namespace

void InitSpawnAttributes(posix_spawnattr_t& attributes) {
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
}

bool StartIdleKeeper(const char* binary, IdleKeeper& keeper, int& error) {
    int control[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, control) != 0) {
        error = errno;
        return false;
    }
    if (!MoveAboveKeeperFds(control[1], error)) {
        CloseEnd(control[0]);
        CloseEnd(control[1]);
        return false;
    }
    char* argv[] = {const_cast<char*>(binary), const_cast<char*>(kJobKeeperOption), nullptr};
    // Standard error stays ours, for what the keeper has to complain of.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, control[1], kKeeperControlFd);
    posix_spawnattr_t attributes;
    InitSpawnAttributes(attributes);
    pid_t pid = -1;
    const int result = posix_spawn(&pid, binary, &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    CloseEnd(control[1]);
    if (result != 0) {
        CloseEnd(control[0]);
        error = result;
        return false;
    }
    keeper.pid = pid;
    keeper.control = control[0];
    return true;
}

HandOver SendCommand(const IdleKeeper& keeper, const CommandStart& start, ChildProcess& child, int& error) {
    std::vector<uint8_t> text;
    if (!CommandText(start, text)) {
        error = E2BIG;
        return HandOver::Failed;
    }
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        error = errno;
        for (int* fd : {&out[0], &out[1], &err[0], &err[1]}) CloseEnd(*fd);
        return HandOver::Failed;
    }
    const int passed[kKeeperCommandFds] = {out[1], err[1], start.directoryFd};
    const bool sent = SendCommandHead(keeper.control, static_cast<uint32_t>(text.size()), passed, error) &&
                      SendCommandText(keeper.control, text, error);
    CloseEnd(out[1]);
    CloseEnd(err[1]);
    if (!sent) {
        CloseEnd(out[0]);
        CloseEnd(err[0]);
        return HandOver::KeeperLost;
    }
    SetNonBlocking(out[0]);
    SetNonBlocking(err[0]);
    child = ChildProcess{};
    child.keeper = keeper.pid;
    child.control = keeper.control;
    child.output = out[0];
    child.error = err[0];
    return HandOver::Sent;
}

void DismissKeeper(IdleKeeper& keeper) {
    ChildProcess child;
    child.keeper = keeper.pid;
    child.exited = true;
    CloseEnd(keeper.control);
    ReapKeeper(child, 1000);
    keeper.pid = -1;
}

bool IdleKeeperGone(const IdleKeeper& keeper) {
    pollfd watch{keeper.control, POLLIN, 0};
    return poll(&watch, 1, 0) != 0;
}

bool AwaitIdle(ChildProcess& child, int waitMs) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        TakeKeeperReports(child);
        if (child.idle || child.control < 0) return child.idle;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd watch{child.control, POLLIN, 0};
        poll(&watch, 1, static_cast<int>(left));
    }
}

void TakeKeeperReports(ChildProcess& child) {
    if (child.control < 0) return;
    for (;;) {
        KeeperReport report;
        uint32_t value = 0;
        bool ended = false;
        if (ReadReport(child.control, report, value, ended)) {
            Apply(child, report, value);
            continue;
        }
        if (!ended) return;
        child.keeperEnded = true;
        CloseEnd(child.control);
        ReapKeeper(child, 1000);
        // Without its keeper nobody can tell whether the group lives on.
        child.groupGone = true;
        return;
    }
}

void EndCommandProcesses(ChildProcess& child, uint32_t waitMs) {
    // The keeper kills everything once its control socket closes.
    CloseEnd(child.control);
    ReapKeeper(child, waitMs);
    CloseEnd(child.output);
    CloseEnd(child.error);
}

PipeRead ReadPipe(int fd, uint8_t* buffer, uint32_t room, uint32_t& count, int& error) {
    count = 0;
    for (;;) {
        const ssize_t got = read(fd, buffer, room);
        if (got > 0) {
            count = static_cast<uint32_t>(got);
            return PipeRead::Data;
        }
        if (got == 0) return PipeRead::End;
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return PipeRead::Empty;
        error = errno;
        return PipeRead::Failed;
    }
}

uint32_t PendingPipeBytes(int fd) {
    int pending = 0;
    if (ioctl(fd, FIONREAD, &pending) != 0 || pending < 0) return 0;
    return static_cast<uint32_t>(pending);
}

bool WaitForPipes(const int* fds, uint32_t count, int timeoutMs) {
    std::vector<pollfd> watch;
    for (uint32_t i = 0; i < count; ++i) {
        if (fds[i] >= 0) watch.push_back({fds[i], POLLIN, 0});
    }
    if (watch.empty()) return false;
    return poll(watch.data(), watch.size(), timeoutMs) > 0;
}

bool IsExecutableFile(int directoryFd, const char* path) {
    struct stat status;
    if (fstatat(directoryFd, path, &status, 0) != 0 || !S_ISREG(status.st_mode)) return false;
    return faccessat(directoryFd, path, X_OK, AT_EACCESS) == 0;
}

bool BecomeChildSubreaper(int& error) {
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) == 0) return true;
    error = errno;
    return false;
}

bool EndUnknownDescendants(const std::vector<pid_t>& known) {
    std::vector<pid_t> strays;
    ListDescendants(getpid(), strays, known);
    for (pid_t pid : strays) kill(pid, SIGKILL);
    // Those that are ours are reaped now or by the next call; the others by their parents, or by us once orphaned.
    for (pid_t pid : strays) {
        int status = 0;
        waitpid(pid, &status, WNOHANG);
    }
    return !strays.empty();
}

}  // namespace kestrel::agent::os
