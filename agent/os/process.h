// Commands of a job as child processes: started in a directory of the work
// area with their own environment, standard output and error on pipes that
// the agent drains when it is polled, in a process group of their own so
// that ending the job ends everything they started.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace kestrel::agent::os {

struct ChildProcess {
    pid_t pid = -1;
    int output = -1;  // read ends, non-blocking
    int error = -1;
};

// `program` is a path (relative paths are taken from `directoryFd`); argv and
// envp are null-terminated. Standard input reads from /dev/null.
bool SpawnChild(const char* program, char* const* argv, char* const* envp, int directoryFd, ChildProcess& child,
                int& error);

enum class PipeRead : uint8_t { Data, Empty, End, Failed };
// One non-blocking read of at most `room` bytes.
PipeRead ReadPipe(int fd, uint8_t* buffer, uint32_t room, uint32_t& count, int& error);

// Bytes waiting in a pipe.
uint32_t PendingPipeBytes(int fd);

// Waits up to `timeoutMs` until one of `fds` (-1 entries skipped) is readable or hung up.
bool WaitForPipes(const int* fds, uint32_t count, int timeoutMs);

struct ExitStatus {
    bool signalled = false;
    int value = 0;  // the exit value, or the signal number
};

// Reaps the child if it has ended; false while it runs.
bool TryReap(pid_t pid, ExitStatus& status);

// Kills the child's whole process group and reaps the child.
void KillAndReap(pid_t pid);

// Kills what is left of the process group of a child already reaped.
void KillGroup(pid_t pid);

// Whether `path` (relative to `directoryFd`) names a regular file we may execute.
bool IsExecutableFile(int directoryFd, const char* path);

}  // namespace kestrel::agent::os
