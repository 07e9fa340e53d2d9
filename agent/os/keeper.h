// The job keeper: a small process between the agent and each command. It is
// a child subreaper, so whatever the command starts stays below it (a new
// session or a double fork included), and it ends all of that when the
// agent closes its control socket, or goes away. It reports on the socket
// (a sequenced packet socket, one report per packet) when the command has
// started, when it has exited and when its process group is gone.
#pragma once

#include <cstdint>

namespace kestrel::agent::os {

// The agent runs itself with this option to become a keeper:
// kestrel-agent --job-keeper PROGRAM ARG0 ARG...
inline constexpr char kJobKeeperOption[] = "--job-keeper";
// The keeper's end of the control socket.
inline constexpr int kKeeperControlFd = 3;
// The agent's standard error, where the keeper's own complaints go once the
// command has its streams: the keeper must not hold those open.
inline constexpr int kKeeperDiagnosticsFd = 4;

enum class KeeperReport : uint32_t {
    Started = 1,      // value: the command's process id (its group's id too)
    StartFailed = 2,  // value: the errno of the start
    Exited = 3,       // value: the exit value
    Signalled = 4,    // value: the signal number
    GroupGone = 5,    // nothing is left of the command's process group
};

inline constexpr uint32_t kKeeperReportSize = 8;  // report, value (little-endian u32s)

// The keeper's exit code when processes it could not end are left (they
// fall to the agent).
inline constexpr int kKeeperLeftProcesses = 3;

// The keeper's main: `argv` is PROGRAM ARG0 ARG...; the environment and the
// working directory are the command's. Returns the keeper's exit code.
int RunJobKeeper(int argc, char** argv);

}  // namespace kestrel::agent::os
