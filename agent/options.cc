#include "agent/options.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "agent/os/errors.h"

namespace kestrel::agent {

namespace {

constexpr char kUsage[] =
    "Usage: kestrel-agent [options]\n"
    "\n"
    "A build machine: it answers build clients (and relays them to other agents)\n"
    "on one TCP port, runs their jobs in private work areas and sends the outputs back.\n"
    "\n"
    "Options:\n"
    "  --listen ADDRESS[:PORT]   where to listen (default 127.0.0.1:5017); port 0 picks a\n"
    "                            free port. The first line on standard output is\n"
    "                            \"listening on ADDRESS:PORT\". Listening beyond loopback\n"
    "                            lets everyone who can reach the port run commands as\n"
    "                            this user, unless --allow restricts who may connect.\n"
    "  --allow CIDR              serve only clients whose address lies in CIDR\n"
    "                            (ADDRESS/BITS, or one ADDRESS); may be repeated. Others\n"
    "                            are disconnected at once.\n"
    "  --work-dir DIR            where the job work areas live (default $TMPDIR/kestrel-agent.UID).\n"
    "                            Areas left over by an earlier run are removed at start-up;\n"
    "                            one agent per directory.\n"
    "  --encoding NAME           the text encoding announced to clients: UTF-8 (default) or\n"
    "                            UTF-16LE; every text on the wire then uses it.\n"
    "  --separator CHAR          the path separator announced to clients (default /).\n"
    "  --capacity UNITS          the machine's capacity in units of 1/256 of the machine\n"
    "                            (default 256). A job needs its concurrency factor in units\n"
    "                            (256 for factor 0); a job that does not fit waits.\n"
    "  --dev-env NAME=FILE       a development environment: FILE holds NAME=VALUE lines that\n"
    "                            are applied to the environment of a job that selects NAME.\n"
    "                            May be repeated.\n"
    "  --tunnel NAME=HOST:PORT   an agent that clients may reach through this one as\n"
    "                            kvi://NAME. May be repeated.\n"
    "  --max-connections N       connections served at once, counted from their accept\n"
    "                            (default 64). Fewer when the limit of open files is too\n"
    "                            low for them (said at start-up). When every place is\n"
    "                            taken, or no descriptor is left, a new connection closes\n"
    "                            one that has not finished its Hello, chosen at random\n"
    "                            among those of the addresses that hold the most; only\n"
    "                            when every place holds a connection past its Hello is the\n"
    "                            new one rejected.\n"
    "  --max-pending-per-address N\n"
    "                            connections from one address (IPv6: one /64 network)\n"
    "                            that have not finished their Hello, at once (default 32);\n"
    "                            a newer one closes one of them, chosen at random.\n"
    "  --keep-alive-ms MS        keep-alive interval while a request takes long (default 30000).\n"
    "  --poll-hold-ms MS         how long a Poll waits for news before it answers that\n"
    "                            nothing is new (default 50); after a pause of the client,\n"
    "                            ten times the pause, up to 1000 ms. 0: never waits.\n"
    "  --verbose                 log connections, requests and keep-alive echoes to standard error.\n"
    "  --help                    show this text.\n"
    "\n"
    "Test options (fault injection; never use them on a real build machine). TYPE is a\n"
    "request name (hello, start-job, prefix-environment, suffix-environment,\n"
    "replace-environment, end-job, end-connection, step-start,\n"
    "set-development-environment, add-output, output-reset, output-transfer,\n"
    "input-write, execute, encoding, separators, version, capabilities, tunnel, poll)\n"
    "or its type number. Faults apply to every answer to that request type.\n"
    "  --test-reject REASON            answer every Hello with \"reject\" and REASON.\n"
    "  --test-recalculate N            answer the first N Hellos of a connection with\n"
    "                                  \"recalculate\".\n"
    "  --test-keep-alive TYPE:current  send a keep-alive with the request's sequence before\n"
    "                                  the answer and wait for its echo.\n"
    "  --test-keep-alive TYPE:stale    send a keep-alive with an earlier sequence first.\n"
    "  --test-delay TYPE:MS            answer MS milliseconds late, with keep-alives.\n"
    "  --test-corrupt TYPE             answer with a payload that breaks the response layout.\n"
    "  --test-close-at K               close the connection when request K after the Hello\n"
    "                                  arrives, without answering it.\n"
    "  --test-wrong-id TYPE            answer with another connection id.\n"
    "  --test-wrong-sequence TYPE      answer with another sequence.\n"
    "  --test-hello-timeout-ms MS      close a connection that has not sent its Hello MS\n"
    "                                  milliseconds after its accept (default 10000).\n"
    "  --test-idle-timeout-ms MS       close a connection that stays silent for MS\n"
    "                                  milliseconds between requests or inside one\n"
    "                                  (default 100000).\n";

struct KindName {
    const char* name;
    uint32_t kind;
};

constexpr KindName kKindNames[] = {
    {"hello", kHelloKind},
    {"start-job", 0},
    {"prefix-environment", 1},
    {"suffix-environment", 2},
    {"replace-environment", 3},
    {"end-job", 5},
    {"end-connection", 6},
    {"step-start", 7},
    {"set-development-environment", 8},
    {"add-output", 9},
    {"output-reset", 10},
    {"output-transfer", 11},
    {"input-write", 12},
    {"execute", 13},
    {"encoding", 17},
    {"separators", 18},
    {"version", 19},
    {"capabilities", 21},
    {"tunnel", 22},
    {"poll", 26},
};

bool ParseNumber(const std::string& text, uint64_t maximum, uint64_t& value) {
    if (text.empty() || text.size() > 12) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value <= maximum;
}

bool ParseU32(const std::string& text, uint32_t maximum, uint32_t& value) {
    uint64_t wide = 0;
    if (!ParseNumber(text, maximum, wide)) return false;
    value = static_cast<uint32_t>(wide);
    return true;
}

// "host:port", "[v6]:port" or, when `portRequired` is false, just "host".
bool ParseHostPort(const std::string& text, bool portRequired, std::string& host, uint16_t& port) {
    std::string rest;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
    } else {
        const size_t colon = text.rfind(':');
        host = colon == std::string::npos ? text : text.substr(0, colon);
        rest = colon == std::string::npos ? "" : text.substr(colon);
    }
    if (host.empty()) return false;
    if (rest.empty()) return !portRequired;
    if (rest[0] != ':') return false;
    uint32_t value = 0;
    if (!ParseU32(rest.substr(1), 65535, value)) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

bool SplitPair(const std::string& text, char mark, std::string& left, std::string& right) {
    const size_t at = text.find(mark);
    if (at == std::string::npos || at == 0 || at + 1 == text.size()) return false;
    left = text.substr(0, at);
    right = text.substr(at + 1);
    return true;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string StripTunnelScheme(const std::string& name) {
    if (Lower(name.substr(0, 6)) == "kvi://") return name.substr(6);
    return name;
}

bool ApplyFault(const std::string& option, const std::string& value, AgentOptions& options, std::string& message) {
    TestFaults& faults = options.faults;
    uint32_t kind = 0;
    if (option == "--test-reject") {
        faults.reject = true;
        faults.rejectReason = value;
        return true;
    }
    if (option == "--test-recalculate") {
        if (ParseU32(value, 1000000, faults.recalculate)) return true;
    } else if (option == "--test-hello-timeout-ms") {
        if (ParseU32(value, 3600000, options.helloTimeoutMs) && options.helloTimeoutMs > 0) return true;
    } else if (option == "--test-idle-timeout-ms") {
        if (ParseU32(value, 3600000, options.idleTimeoutMs) && options.idleTimeoutMs > 0) return true;
    } else if (option == "--test-close-at") {
        if (ParseU32(value, 1000000000, faults.closeAt) && faults.closeAt > 0) return true;
    } else if (option == "--test-keep-alive") {
        std::string type, which;
        if (SplitPair(value, ':', type, which) && ParseMessageKind(type, kind) && (which == "current" || which == "stale")) {
            faults.perKind[kind].keepAlive = which == "current" ? KeepAliveFault::Current : KeepAliveFault::Stale;
            return true;
        }
    } else if (option == "--test-delay") {
        std::string type, milliseconds;
        if (SplitPair(value, ':', type, milliseconds) && ParseMessageKind(type, kind) &&
            ParseU32(milliseconds, 3600000, faults.perKind[kind].delayMs))
            return true;
    } else if (option == "--test-corrupt" || option == "--test-wrong-id" || option == "--test-wrong-sequence") {
        if (ParseMessageKind(value, kind)) {
            MessageFaults& f = faults.perKind[kind];
            (option == "--test-corrupt" ? f.corrupt : option == "--test-wrong-id" ? f.wrongId : f.wrongSequence) = true;
            return true;
        }
    }
    message = "Invalid value for " + option + ": " + value;
    return false;
}

bool ApplyOption(const std::string& option, const std::string& value, AgentOptions& options, std::string& message) {
    const auto invalid = [&] {
        message = "Invalid value for " + option + ": " + value;
        return false;
    };
    if (option == "--listen") {
        std::string host;
        uint16_t port = options.listenPort;
        if (!ParseHostPort(value, false, host, port)) return invalid();
        options.listenHost = host;
        options.listenPort = port;
    } else if (option == "--work-dir") {
        if (value.empty()) return invalid();
        options.workDirectory = value;
    } else if (option == "--encoding") {
        const std::string name = Lower(value);
        if (name == "utf-8") {
            options.utf16 = false;
        } else if (name == "utf-16le") {
            options.utf16 = true;
        } else {
            return invalid();
        }
    } else if (option == "--separator") {
        // One printable character that cannot be part of a name.
        const unsigned char c = value.size() == 1 ? static_cast<unsigned char>(value[0]) : 0;
        if (c <= ' ' || c >= 0x7F || std::isalnum(c) || c == '.' || c == '-' || c == '_') return invalid();
        options.separator = value;
    } else if (option == "--capacity") {
        if (!ParseU32(value, 255 * 256, options.capacity) || options.capacity == 0) return invalid();
    } else if (option == "--allow") {
        AllowedNetwork network;
        if (!ParseAllowedNetwork(value, network)) return invalid();
        options.allow.push_back(network);
    } else if (option == "--dev-env") {
        std::string name, path;
        if (!SplitPair(value, '=', name, path)) return invalid();
        DevelopmentEnvironment environment;
        environment.name = name;
        if (!LoadDevelopmentEnvironment(path, environment, message)) return false;
        options.developmentEnvironments.push_back(std::move(environment));
    } else if (option == "--tunnel") {
        std::string name, address;
        TunnelTarget target;
        if (!SplitPair(value, '=', name, address) || !ParseHostPort(address, true, target.host, target.port))
            return invalid();
        target.name = StripTunnelScheme(name);
        if (target.name.empty()) return invalid();
        options.tunnels.push_back(target);
    } else if (option == "--max-connections") {
        if (!ParseU32(value, 100000, options.maxConnections) || options.maxConnections == 0) return invalid();
    } else if (option == "--max-pending-per-address") {
        if (!ParseU32(value, 100000, options.maxPendingPerAddress) || options.maxPendingPerAddress == 0)
            return invalid();
    } else if (option == "--keep-alive-ms") {
        if (!ParseU32(value, 80000, options.keepAliveMs) || options.keepAliveMs == 0) return invalid();
    } else if (option == "--poll-hold-ms") {
        if (!ParseU32(value, 10000, options.pollHoldMs)) return invalid();
    } else if (option.rfind("--test-", 0) == 0) {
        return ApplyFault(option, value, options, message);
    } else {
        message = "Unknown option " + option;
        return false;
    }
    return true;
}

bool TakesNoValue(const std::string& option) { return option == "--verbose" || option == "--help"; }

}  // namespace

const char* AgentUsage() { return kUsage; }

bool ParseMessageKind(const std::string& text, uint32_t& kind) {
    for (const KindName& entry : kKindNames) {
        if (text == entry.name) {
            kind = entry.kind;
            return true;
        }
    }
    return ParseU32(text, 255, kind);
}

bool LoadDevelopmentEnvironment(const std::string& path, DevelopmentEnvironment& environment, std::string& message) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        message = "Cannot read the development environment file " + path + ": " + std::strerror(os::LastError());
        return false;
    }
    std::string line;
    uint32_t number = 0;
    while (std::getline(file, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0) {
            message = "Development environment file " + path + ", line " + std::to_string(number) +
                      ": expected NAME=VALUE";
            return false;
        }
        environment.assignments.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    return true;
}

ParseOutcome ParseAgentOptions(int argc, const char* const* argv, AgentOptions& options, std::string& message) {
    for (int i = 0; i < argc; ++i) {
        std::string option = argv[i];
        std::string value;
        const size_t equals = option.find('=');
        const bool inlineValue = option.rfind("--", 0) == 0 && equals != std::string::npos;
        if (inlineValue) {
            value = option.substr(equals + 1);
            option = option.substr(0, equals);
        }
        if (option == "--help") return ParseOutcome::Help;
        if (TakesNoValue(option)) {
            if (inlineValue) {
                message = "The option " + option + " takes no value";
                return ParseOutcome::Failed;
            }
            options.verbose = true;
            continue;
        }
        if (option.rfind("--", 0) != 0) {
            message = "Unexpected argument " + option;
            return ParseOutcome::Failed;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                message = "The option " + option + " needs a value";
                return ParseOutcome::Failed;
            }
            value = argv[++i];
        }
        if (!ApplyOption(option, value, options, message)) return ParseOutcome::Failed;
    }
    return ParseOutcome::Run;
}

}  // namespace kestrel::agent
