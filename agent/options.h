// The agent's command line: where it listens and works, what it announces
// in the handshake, the development environments and tunnel targets it
// knows, and the fault injection that tests use.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "agent/allow_list.h"

namespace kestrel::agent {

// Message kinds that the test faults name: a request's type code, or the Hello.
inline constexpr uint32_t kHelloKind = 256;
inline constexpr uint32_t kMessageKinds = 257;

enum class KeepAliveFault : uint8_t { None, Current, Stale };

// What the agent does wrong, on purpose, when it answers one kind of message.
struct MessageFaults {
    bool corrupt = false;        // a payload that breaks the response's row
    bool wrongId = false;        // another connection id in the header
    bool wrongSequence = false;  // another sequence in the header
    KeepAliveFault keepAlive = KeepAliveFault::None;  // a keep-alive first
    uint32_t delayMs = 0;        // the answer comes late (with keep-alives)
};

struct TestFaults {
    bool reject = false;
    std::string rejectReason;
    uint32_t recalculate = 0;  // "recalculate" answers before "accept", per connection
    uint32_t closeAt = 0;      // close when request K (after the Hello) arrives; 0: never
    MessageFaults perKind[kMessageKinds];
};

struct DevelopmentEnvironment {
    std::string name;  // as the script writes it
    std::vector<std::pair<std::string, std::string>> assignments;
};

struct TunnelTarget {
    std::string name;  // the part after "kvi://"
    std::string host;
    uint16_t port = 0;
};

struct AgentOptions {
    std::string listenHost = "127.0.0.1";
    uint16_t listenPort = 5017;
    std::string workDirectory;  // empty: a directory under $TMPDIR
    bool utf16 = false;
    std::string separator = "/";
    uint32_t capacity = 256;  // units of 1/256 of the machine
    std::vector<AllowedNetwork> allow;  // empty: everyone who reaches the port
    uint32_t maxConnections = 64;
    // Connections from one address (IPv6: one /64) that have not finished
    // their Hello, at once. A client's stays so for one round trip: room for
    // many opened together (parallel clients, a server relaying through a
    // tunnel, a shared NAT address), and still no more than half the default
    // places for one address.
    uint32_t maxPendingPerAddress = 32;
    uint32_t keepAliveMs = 30000;
    uint32_t pollHoldMs = 50;
    uint32_t tunnelConnectMs = 10000;
    // A connection must have sent its Hello this soon after accept.
    uint32_t helloTimeoutMs = 10000;
    // Silence allowed between requests and inside one: a little longer than
    // the client's own 90-second time-out, so that the client gives up first.
    uint32_t idleTimeoutMs = 100000;
    bool verbose = false;
    std::vector<DevelopmentEnvironment> developmentEnvironments;
    std::vector<TunnelTarget> tunnels;
    TestFaults faults;
};

enum class ParseOutcome { Run, Help, Failed };

// Fills `options` from the arguments (argv[0] excluded). On failure `message`
// says what is wrong.
ParseOutcome ParseAgentOptions(int argc, const char* const* argv, AgentOptions& options, std::string& message);

// The text of --help.
const char* AgentUsage();

// Reads a development environment file: NAME=VALUE lines; empty lines and
// lines starting with '#' are skipped.
bool LoadDevelopmentEnvironment(const std::string& path, DevelopmentEnvironment& environment, std::string& message);

// A message kind by name ("poll", "start-job", "hello", ...) or type number.
bool ParseMessageKind(const std::string& text, uint32_t& kind);

}  // namespace kestrel::agent
