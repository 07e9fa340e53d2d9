#include "agent/os/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>
#include <vector>

namespace kestrel::agent::os {

namespace {

bool MakePipe(int ends[2], int& error) {
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = errno;
        return false;
    }
    return true;
}

}  // namespace

bool SpawnChild(const char* program, char* const* argv, char* const* envp, int directoryFd, ChildProcess& child,
                int& error) {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (!MakePipe(out, error)) return false;
    if (!MakePipe(err, error)) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addfchdir_np(&actions, directoryFd);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    // The agent ignores SIGPIPE and blocks the termination signals; commands get the usual behaviour.
    for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    pid_t pid = -1;
    const int result = posix_spawn(&pid, program, &actions, &attributes, argv, envp);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (result != 0) {
        close(out[0]);
        close(err[0]);
        error = result;
        return false;
    }
    fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);
    fcntl(err[0], F_SETFL, fcntl(err[0], F_GETFL) | O_NONBLOCK);
    child.pid = pid;
    child.output = out[0];
    child.error = err[0];
    return true;
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

bool TryReap(pid_t pid, ExitStatus& status) {
    // Never a wildcard: that would reap another job's command.
    if (pid <= 0) return false;
    int raw = 0;
    pid_t result;
    do {
        result = waitpid(pid, &raw, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result != pid) return false;
    status.signalled = WIFSIGNALED(raw);
    status.value = status.signalled ? WTERMSIG(raw) : WEXITSTATUS(raw);
    return true;
}

void KillAndReap(pid_t pid) {
    if (pid <= 0) return;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
}

void KillGroup(pid_t pid) {
    if (pid > 0) kill(-pid, SIGKILL);
}

bool IsExecutableFile(int directoryFd, const char* path) {
    struct stat status;
    if (fstatat(directoryFd, path, &status, 0) != 0 || !S_ISREG(status.st_mode)) return false;
    return faccessat(directoryFd, path, X_OK, AT_EACCESS) == 0;
}

}  // namespace kestrel::agent::os
