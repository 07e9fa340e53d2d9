// Commands of a job as child processes. Each command runs under a job
// keeper (agent/os/keeper.h), a child of ours that starts it in the working
// directory with its own environment and process group, standard output and
// error on pipes that the agent drains when it is polled. The keeper tells
// when the command has exited and when its group is gone, and ends every
// process the command started when the agent ends it.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace kestrel::agent::os {

struct ExitStatus {
    bool signalled = false;
    int value = 0;  // the exit value, or the signal number
};

struct ChildProcess {
    pid_t keeper = -1;   // our child; -1 once reaped
    pid_t command = -1;  // the command's process and process group
    int control = -1;    // the keeper's socket
    int output = -1;     // read ends, non-blocking
    int error = -1;
    bool exited = false;  // the command's process has ended
    ExitStatus exit;
    bool groupGone = false;    // nothing is left of its process group
    bool keeperEnded = false;  // the keeper closed its socket
    bool orphansLeft = false; // the keeper died, or left processes: they came to us
};

// What the keeper runs: `program` is a path (relative paths are taken from
// `directoryFd`, which also becomes the working directory); argv and envp
// are null-terminated. Standard input reads from /dev/null.
struct CommandStart {
    const char* keeperBinary;  // the agent's own binary
    const char* program;
    char* const* argv;
    char* const* envp;
    int directoryFd;
};

// Starts the keeper. Quick: the caller may hold a lock around it.
bool StartKeeper(const CommandStart& start, ChildProcess& child, int& error);

// Spawn attributes for the keeper and its command: no signal blocked, the
// signals the agent and the keeper ignore or block back to their usual
// behaviour, and a process group of its own (out of the starter's, so that
// the starter's terminal signals do not reach it, and so that the group's
// end is the program's end). Destroy them after the spawn.
void InitSpawnAttributes(posix_spawnattr_t& attributes);

// Waits for the keeper's word that the command started. False with the
// start's error when it did not; the keeper has then ended and been reaped.
bool AwaitCommandStart(ChildProcess& child, int& error);

// Takes the keeper's reports without waiting. When the keeper has ended it
// is reaped; a keeper that died before the command's end reports that end
// as its own.
void TakeKeeperReports(ChildProcess& child);

// Ends every process of the command: closes the keeper's socket, which
// makes it kill them all, and reaps it (killing it when it takes longer
// than `waitMs`). Closes the pipes.
void EndCommandProcesses(ChildProcess& child, uint32_t waitMs);

enum class PipeRead : uint8_t { Data, Empty, End, Failed };
// One non-blocking read of at most `room` bytes.
PipeRead ReadPipe(int fd, uint8_t* buffer, uint32_t room, uint32_t& count, int& error);

// Bytes waiting in a pipe.
uint32_t PendingPipeBytes(int fd);

// Waits up to `timeoutMs` until one of `fds` (-1 entries skipped) is readable or hung up.
bool WaitForPipes(const int* fds, uint32_t count, int timeoutMs);

// Whether `path` (relative to `directoryFd`) names a regular file we may execute.
bool IsExecutableFile(int directoryFd, const char* path);

// Makes this process the reaper of its descendants' orphans.
bool BecomeChildSubreaper(int& error);

// Ends the processes below this one that are not below a `known` child
// (sorted): kills them and reaps those of them that are its children. True
// when there were any.
bool EndUnknownDescendants(const std::vector<pid_t>& known);

}  // namespace kestrel::agent::os
