// A private OpenSSH server for the ssh hop tests, and the client side that
// reaches it: host and user keys made in a temporary directory, sshd on a
// free loopback port with its own configuration, and an `ssh` wrapper put
// first on the search path that adds the test's client configuration and
// runs the real ssh, so that the thread's command line stays as it is.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::test {

inline constexpr const char* kSshServerProgram = "/usr/sbin/sshd";
inline constexpr const char* kSshClientProgram = "/usr/bin/ssh";

bool SshServerInstalled();

class SshServer {
public:
    SshServer() = default;
    ~SshServer();  // stops and reaps sshd
    SshServer(const SshServer&) = delete;
    SshServer& operator=(const SshServer&) = delete;

    // Makes the keys in `directory` ("client_key" is authorized, "stranger_key"
    // is not), writes the configuration and starts sshd. Empty on success,
    // else what went wrong.
    std::string Start(const std::string& directory);

    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    // What sshd has logged so far.
    std::string Log() const;
    // Waits up to 10 s for `text` to appear in the log.
    bool WaitForLog(const std::string& text) const;
    // A known-hosts line for `host` on this server's port.
    std::string KnownHostsLine(const std::string& host) const;

private:
    std::string directory_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string hostKey_;  // the public half
};

// Writes `directory`/bin/ssh: records its arguments (one line per start,
// each argument in brackets) in `directory`/ssh_starts, then runs the real
// ssh with a client configuration for `server` that uses `identity`.
void WriteSshWrapper(const std::string& directory, const SshServer& server, const std::string& identity);
// Writes `directory`/bin/ssh as a script that records its arguments the same
// way and then runs `body`.
void WriteScriptWrapper(const std::string& directory, const std::string& body);
// The recorded starts, one per line.
std::vector<std::string> SshStarts(const std::string& directory);

// The name of the user running the tests.
std::string CurrentUser();

// A free loopback port (bound with port 0 and released).
uint16_t FreeLoopbackPort();

}  // namespace kestrel::test
