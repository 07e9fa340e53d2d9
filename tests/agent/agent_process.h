// A kestrel-agent child for the tests: started on a free loopback port,
// its standard error kept in a file, stopped (and reaped) on destruction
// whatever happened in between.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::test {

class AgentProcess {
public:
    AgentProcess() = default;
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // Starts the agent with "--listen 127.0.0.1:0" plus `arguments` (a later
    // --listen wins) and waits for its "listening on" line. `wrapper` runs
    // it (prlimit, setpriv ...). False (with the reason in `failure`) when it
    // did not come up.
    bool Start(const std::vector<std::string>& arguments, const std::string& binary = "",
               const std::vector<std::string>& wrapper = {});

    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }

    // SIGTERM, then the exit status (SIGKILL after 30 s). -1 when not running.
    int Stop();
    // What the agent wrote to standard error so far.
    std::string Errors() const;
    // Whether the process is still running (an ended one is reaped).
    bool Running();
    // The exit status of a process that ended by itself (-1: none seen).
    int exitStatus() const { return exitStatus_; }

    std::string failure;

private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string errorFile_;
    int exitStatus_ = -1;
};

// Starts the agent with `arguments` and returns its exit code and output,
// for command-line checks that end by themselves.
struct AgentRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};
AgentRun RunAgentToEnd(const std::vector<std::string>& arguments);

}  // namespace kestrel::test
