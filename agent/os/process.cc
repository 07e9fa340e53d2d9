#include "agent/os/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <initializer_list>
#include <thread>
#include <vector>

#include "agent/os/keeper.h"
#include "agent/os/process_table.h"
#include "runtime/little_endian.h"

namespace kestrel::agent::os {

namespace {

// A keeper that does not report within this time is taken for broken.
constexpr int kStartReportMs = 60000;

void CloseEnd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// The keeper's descriptors 0 to 4 are set one after the other from these:
// none of them may be one of those numbers.
bool MoveAboveKeeperFds(int& fd, int& error) {
    if (fd > kKeeperDiagnosticsFd) return true;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kKeeperDiagnosticsFd + 1);
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
    int status = 0;
    for (;;) {
        const pid_t result = waitpid(child.keeper, &status, WNOHANG);
        if (result == child.keeper) break;
        if (result < 0 && errno != EINTR) {
            child.keeper = -1;
            return;
        }
        if (std::chrono::steady_clock::now() >= giveUp) {
            kill(child.keeper, SIGKILL);
            while (waitpid(child.keeper, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    child.keeper = -1;
    child.orphansLeft = WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == kKeeperLeftProcesses);
    if (!child.exited) {
        // The command's own end went with the keeper: report the keeper's.
        child.exited = true;
        child.exit.signalled = WIFSIGNALED(status);
        child.exit.value = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
    }
}

void Apply(ChildProcess& child, KeeperReport report, uint32_t value) {
    switch (report) {
    case KeeperReport::Exited:
    case KeeperReport::Signalled:
        child.exited = true;
        child.exit.signalled = report == KeeperReport::Signalled;
        child.exit.value = static_cast<int>(value);
        break;
    case KeeperReport::GroupGone: child.groupGone = true; break;
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

bool StartKeeper(const CommandStart& start, ChildProcess& child, int& error) {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    int control[2] = {-1, -1};
    bool made = pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0 &&
                socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, control) == 0;
    if (!made) error = errno;
    made = made && MoveAboveKeeperFds(out[1], error) && MoveAboveKeeperFds(err[1], error) &&
           MoveAboveKeeperFds(control[1], error);
    if (!made) {
        for (int* fd : {&out[0], &out[1], &err[0], &err[1], &control[0], &control[1]}) CloseEnd(*fd);
        return false;
    }
    std::vector<char*> argv = {const_cast<char*>(start.keeperBinary), const_cast<char*>(kJobKeeperOption),
                               const_cast<char*>(start.program)};
    for (char* const* argument = start.argv; *argument != nullptr; ++argument) argv.push_back(*argument);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, kKeeperDiagnosticsFd);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_adddup2(&actions, control[1], kKeeperControlFd);
    posix_spawn_file_actions_addfchdir_np(&actions, start.directoryFd);

    posix_spawnattr_t attributes;
    InitSpawnAttributes(attributes);

    pid_t pid = -1;
    const int result = posix_spawn(&pid, start.keeperBinary, &actions, &attributes, argv.data(), start.envp);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    CloseEnd(out[1]);
    CloseEnd(err[1]);
    CloseEnd(control[1]);
    if (result != 0) {
        CloseEnd(out[0]);
        CloseEnd(err[0]);
        CloseEnd(control[0]);
        error = result;
        return false;
    }
    SetNonBlocking(out[0]);
    SetNonBlocking(err[0]);
    child = ChildProcess{};
    child.keeper = pid;
    child.control = control[0];
    child.output = out[0];
    child.error = err[0];
    return true;
}

bool AwaitCommandStart(ChildProcess& child, int& error) {
    KeeperReport report = KeeperReport::StartFailed;
    uint32_t value = EIO;
    bool ended = false;
    pollfd watch{child.control, POLLIN, 0};
    int ready;
    do {
        ready = poll(&watch, 1, kStartReportMs);
    } while (ready < 0 && errno == EINTR);
    const bool reported = ready > 0 && ReadReport(child.control, report, value, ended);
    if (reported && report == KeeperReport::Started) {
        child.command = static_cast<pid_t>(value);
        return true;
    }
    error = reported && report == KeeperReport::StartFailed ? static_cast<int>(value) : EIO;
    CloseEnd(child.control);
    CloseEnd(child.output);
    CloseEnd(child.error);
    child.exited = true;
    ReapKeeper(child, 1000);
    return false;
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
