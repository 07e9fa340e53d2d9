#include "platform/session_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <initializer_list>

#include "platform/exit_gate.h"

extern char** environ;

namespace kestrel::platform {

namespace {

pid_t Native(ProcessHandle process) { return static_cast<pid_t>(process.native); }

// The session processes that run, for TerminateAllSessionProcesses: one slot
// per process (0: free). A run has one per ssh hop in use; a process beyond
// the slots is still ended at its teardown, only not by a panic.
constexpr size_t kTrackedProcesses = 1024;
std::atomic<pid_t> gRunning[kTrackedProcesses];

void Track(pid_t pid) {
    for (std::atomic<pid_t>& slot : gRunning) {
        pid_t free = 0;
        if (slot.compare_exchange_strong(free, pid)) return;
    }
}

// Before the process is collected, so that its id cannot have been reused.
void Untrack(pid_t pid) {
    for (std::atomic<pid_t>& slot : gRunning) {
        pid_t tracked = pid;
        if (slot.compare_exchange_strong(tracked, 0)) return;
    }
}

// Standard input and output on the null device, standard error into the
// file, nothing else: a descriptor the child kept would hold our sockets open.
int DescribeStreams(posix_spawn_file_actions_t& actions, int errorOutput) {
    int result = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (result == 0) result = posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (result == 0) result = posix_spawn_file_actions_adddup2(&actions, errorOutput, 2);
    if (result == 0) result = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    return result;
}

// A session of its own (so no controlling terminal), an empty signal mask
// and default handling of what this process blocks or ignores.
int DescribeAttributes(posix_spawnattr_t& attributes) {
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGPIPE, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGWINCH}) sigaddset(&defaults, signal);
    int result = posix_spawnattr_setsigmask(&attributes, &none);
    if (result == 0) result = posix_spawnattr_setsigdefault(&attributes, &defaults);
    if (result == 0)
        result = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                                           POSIX_SPAWN_SETSIGDEF);
    return result;
}

int32_t ExitCodeOf(const siginfo_t& info) {
    if (info.si_code == CLD_EXITED) return info.si_status;
    return 128 + info.si_status;
}

}  // namespace

bool StartSessionProcess(const char* const* arguments, FileHandle errorOutput, ProcessHandle& process,
                         int32_t& error) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int result = posix_spawn_file_actions_init(&actions);
    if (result != 0) {
        error = result;
        return false;
    }
    result = posix_spawnattr_init(&attributes);
    if (result != 0) {
        posix_spawn_file_actions_destroy(&actions);
        error = result;
        return false;
    }
    result = DescribeStreams(actions, static_cast<int>(errorOutput.native));
    if (result == 0) result = DescribeAttributes(attributes);
    pid_t child = -1;
    if (result == 0)
        result = posix_spawnp(&child, arguments[0], &actions, &attributes, const_cast<char* const*>(arguments),
                              environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        error = result;
        return false;
    }
    process.native = child;
    Track(child);
    return true;
}

bool ProcessHasEnded(ProcessHandle process, bool& ended, int32_t& exitCode, int32_t& error) {
    siginfo_t info{};
    // WNOWAIT leaves the process to CloseProcess, as a handle would.
    while (waitid(P_PID, static_cast<id_t>(Native(process)), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno != EINTR) {
            error = errno;
            return false;
        }
    }
    ended = info.si_pid != 0;
    if (ended) StopAtExitGate();
    if (ended) exitCode = ExitCodeOf(info);
    return true;
}

bool TerminateSessionProcess(ProcessHandle process, int32_t& error) {
    // The session leader's group holds whatever it started as well.
    if (kill(-Native(process), SIGKILL) == 0) return true;
    if (kill(Native(process), SIGKILL) == 0) return true;
    error = errno;
    return false;
}

void CloseProcess(ProcessHandle& process) {
    if (!process.valid()) return;
    Untrack(Native(process));
    int status = 0;
    while (waitpid(Native(process), &status, 0) < 0 && errno == EINTR) {
    }
    process = kNoProcess;
}

void AbandonProcess(ProcessHandle& process) {
    if (process.valid()) Untrack(Native(process));
    process = kNoProcess;
}

void TerminateAllSessionProcesses() {
    for (std::atomic<pid_t>& slot : gRunning) {
        const pid_t pid = slot.load();
        if (pid > 0) kill(-pid, SIGKILL);
    }
}

}  // namespace kestrel::platform
