// The job keeper: a small process between the agent and each command. It is
// a child subreaper, so whatever the command starts stays below it (a new
// session or a double fork included), and it ends all of that when the
// agent closes its control socket, or goes away.
//
// Keepers are started ahead of need and wait on the control socket (a
// sequenced packet socket) for a command: the program, its arguments, its
// environment and, passed along, its output and error pipes and its working
// directory. Starting the command is then the only process start left on the
// way. The keeper reports, one report per packet, when the command has
// started, when it has exited and when its process group is gone; once
// nothing at all is left below it, it says it is idle and waits for the next
// command.
#pragma once

#include <cstdint>

namespace kestrel::agent::os {

// The agent runs itself with this option to become a keeper.
inline constexpr char kJobKeeperOption[] = "--job-keeper";
// The keeper's end of the control socket; its standard error is the agent's.
inline constexpr int kKeeperControlFd = 3;

enum class KeeperReport : uint32_t {
    Started = 1,      // value: the command's process id (its group's id too)
    StartFailed = 2,  // value: the errno of the start; the keeper is idle again
    Exited = 3,       // value: the exit value
    Signalled = 4,    // value: the signal number
    GroupGone = 5,    // nothing is left of the command's process group
    Idle = 6,         // nothing is left below the keeper: it takes another command
};

inline constexpr uint32_t kKeeperReportSize = 8;  // report, value (little-endian u32s)

// A command for the keeper: one packet with kKeeperRunCommand and the length
// of the text that follows, carrying the descriptors of the command's
// standard output, standard error and working directory, then the text in
// packets of at most kKeeperTextPacket bytes: the number of arguments and
// of environment entries (u32s), then the program, the arguments and the
// entries, each ending in a 0 byte.
inline constexpr uint32_t kKeeperRunCommand = 1;
inline constexpr uint32_t kKeeperCommandHeadSize = 8;
inline constexpr int kKeeperCommandFds = 3;
inline constexpr uint32_t kKeeperTextPacket = 32768;
// More than any system takes for arguments and environment together.
inline constexpr uint32_t kKeeperMostText = 64u << 20;

// The keeper's exit code when processes it could not end are left (they
// fall to the agent).
inline constexpr int kKeeperLeftProcesses = 3;

// The keeper's main; returns its exit code.
int RunJobKeeper();

}  // namespace kestrel::agent::os
