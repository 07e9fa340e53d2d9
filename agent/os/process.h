// Commands of a job as child processes. Each command runs under a job
// keeper (agent/os/keeper.h), a child of ours started ahead of need, that
// starts it in the working directory with its own environment and process
// group, standard output and error on pipes that the agent drains when it is
// polled. The keeper tells when the command has exited and when its group is
// gone, ends every process the command started when the agent ends it, and
// takes the next command once nothing is left below it.
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
    bool idle = false;  // nothing is left below the keeper: it may take another command
    int startError = 0;  // the keeper could not start the command (it has then exited)
};

// A keeper waiting for a command.
struct IdleKeeper {
    pid_t pid = -1;    // our child
    int control = -1;  // the keeper's socket
};

// What the keeper runs: `program` is a path (relative paths are taken from
// `directoryFd`, which also becomes the working directory); argv and envp
// are null-terminated. Standard input reads from /dev/null.
struct CommandStart {
    const char* program;
    char* const* argv;
    char* const* envp;
    int directoryFd;
};

// Starts a keeper (`binary` is the agent's own) that waits for a command.
// Quick: the caller may hold a lock around it.
bool StartIdleKeeper(const char* binary, IdleKeeper& keeper, int& error);

enum class HandOver : uint8_t {
    Sent,         // the keeper has the command: `child` is its process, its start is reported
    KeeperLost,   // the keeper is gone, or cannot be trusted with another command
    Failed,       // no pipes for the command; the keeper is still idle
};
// Gives the command to an idle keeper, with new pipes for its streams.
HandOver SendCommand(const IdleKeeper& keeper, const CommandStart& start, ChildProcess& child, int& error);

// Closes an idle keeper's socket, which ends it, and reaps it.
void DismissKeeper(IdleKeeper& keeper);

// An idle keeper says nothing: a socket with news means it is gone.
bool IdleKeeperGone(const IdleKeeper& keeper);

// Spawn attributes for the keeper and its command: no signal blocked, the
// signals the agent and the keeper ignore or block back to their usual
// behaviour, and a process group of its own (out of the starter's, so that
// the starter's terminal signals do not reach it, and so that the group's
// end is the program's end). Destroy them after the spawn.
void InitSpawnAttributes(posix_spawnattr_t& attributes);

// A command that has exited and whose group is gone leaves its keeper idle
// in a moment: waits up to `waitMs` for it to say so. True when it is idle.
bool AwaitIdle(ChildProcess& child, int waitMs);

// Takes the keeper's reports without waiting: whether the command started
// comes with them, so that nobody waits for its program to be loaded. When
// the keeper has ended it is reaped; a keeper that died before the
// command's end reports that end as its own.
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
