#include "script/machine_block.h"

#include <cstring>
#include <new>

#include "script/line_text.h"
#include "script/script_reader.h"

namespace kestrel {

namespace {

constexpr const char* kMachineMemory = "Insufficient memory for machine";
constexpr const char* kInvalidPath = "Invalid machine path";

struct MachineState {
    static constexpr uint32_t kSinglePath = 1;   // lines of the open path block extend one path
    static constexpr uint32_t kPathStarted = 2;  // that path has its first hop

    Machine* paths = nullptr;  // under construction; handed to the table at the end
    uint32_t current = 0;      // index of the path that receives further hops
    BlockMessage message;      // the machine block's own lines and its end check
    BlockMessage pathMessage;  // lines of a path block
    uint32_t flags = 0;
    uint32_t pathCount = 0;

    MachineState() = default;
    MachineState(const MachineState&) = delete;
    MachineState& operator=(const MachineState&) = delete;
    ~MachineState() { DestroyMachine(paths); }
};

MachineState& StateOf(ScriptReader& reader) { return *static_cast<MachineState*>(reader.top->object); }

bool Fail(BlockMessage& message, const char* pattern, std::initializer_list<FormatArg> args = {}) {
    message.format(kMachineMemory, pattern, args);
    return false;
}

bool OutOfMemory(BlockMessage& message) {
    message.setStatic(kMachineMemory);
    return false;
}

// The parts of a hop text: host[:port][/].
struct HopText {
    uint32_t hostLength = 0;
    uint32_t port = 0;
    bool hasPort = false;
};

// Before a ':' every character but '/' is the host; after it at most five
// digits; a '/' only as the very last character.
bool ScanHopText(const char* text, uint32_t length, bool allowSlash, HopText& hop) {
    if (length == 0) return false;
    uint32_t i = 0;
    while (i < length && text[i] != ':' && text[i] != '/') ++i;
    hop.hostLength = i;
    if (i < length && text[i] == ':') {
        hop.hasPort = true;
        uint32_t digits = 0;
        for (++i; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
            if (++digits > 5) return false;
            hop.port = hop.port * 10 + static_cast<uint32_t>(text[i] - '0');
        }
        if (digits == 0 || hop.port < 1 || hop.port > 65535) return false;
    }
    if (i < length && text[i] == '/' && allowSlash) ++i;
    // An empty host can never be reached.
    return i == length && hop.hostLength > 0;
}

// ---- Path blocks -------------------------------------------------------------

bool AddHop(ScriptReader& reader, const char* prefix, HopProtocol protocol) {
    MachineState& state = StateOf(reader);
    const uint32_t start = reader.cursor + 1;
    const char* text = reader.line + start;
    const uint32_t length = reader.lineLength - start;
    HopText parsed;
    bool valid = ScanHopText(text, length, true, parsed);
    const char* failure = valid ? nullptr : kInvalidPath;
    if (valid && parsed.hasPort && protocol == HopProtocol::Agent) failure = "A port cannot be specified for an agent";
    if (failure != nullptr) {
        // The whole path list goes; the machine cannot be completed any more.
        DestroyMachine(state.paths);
        state.paths = nullptr;
        return Fail(state.pathMessage, failure);
    }
    uint16_t port = parsed.hasPort ? static_cast<uint16_t>(parsed.port) : kDefaultMachinePort;
    if (protocol == HopProtocol::Agent) port = 0;
    Hop* hop = NewHop(prefix, text, length, "", text, parsed.hostLength, protocol, port);
    if (hop == nullptr) return OutOfMemory(state.pathMessage);
    constexpr uint32_t kExtending = MachineState::kSinglePath | MachineState::kPathStarted;
    if ((state.flags & kExtending) == kExtending) {
        Hop** link = &state.paths->first[state.current].hops;
        while (*link != nullptr) link = &(*link)->next;
        *link = hop;
        return true;
    }
    MachinePath* path = AppendMachinePath(*state.paths);
    if (path == nullptr) {
        DestroyHops(hop);
        return OutOfMemory(state.pathMessage);
    }
    path->hops = hop;
    path->index = state.pathCount++;
    state.current = path->index;
    state.flags |= MachineState::kPathStarted;
    return true;
}

bool DirectHop(ScriptReader& reader) { return AddHop(reader, "kv://", HopProtocol::Direct); }
bool TunnelHop(ScriptReader& reader) { return AddHop(reader, "kvs://", HopProtocol::Tunnel); }
bool AgentHop(ScriptReader& reader) { return AddHop(reader, "kvi://", HopProtocol::Agent); }

bool UnknownProtocol(ScriptReader& reader) {
    const CountedString text = WholeLine(reader);
    return Fail(StateOf(reader).pathMessage, "Unknown protocol {0} within path block", {{FormatCountedString, &text}});
}

const char* DescribePathBlock(void* object) { return static_cast<MachineState*>(object)->pathMessage.text; }

constexpr Keyword kProtocolKeywords[] = {
    {"kv://", DirectHop},
    {"kvs://", TunnelHop},
    {"kvi://", AgentHop},
};

constinit const BlockHandler kPathBlockHandler{
    KeywordTrieOf<kProtocolKeywords>.table(), UnknownProtocol, nullptr, nullptr, DescribePathBlock,
};

// ---- The machine block -------------------------------------------------------

bool UnknownMachineLine(ScriptReader& reader) {
    const CountedString text = WholeLine(reader);
    return Fail(StateOf(reader).message, "Unknown line {0} within machine block", {{FormatCountedString, &text}});
}

bool PathParameters(ScriptReader& reader) {
    return Fail(StateOf(reader).pathMessage, "No parameters allowed for path block");
}

// "path", spaces, "list": every line of the block is a path of its own.
bool PathListMode(ScriptReader& reader) {
    MachineState& state = StateOf(reader);
    if (SkipSpaces(reader, reader.cursor + 1) < reader.lineLength) return PathParameters(reader);
    state.flags &= ~MachineState::kSinglePath;
    return true;
}

constexpr Keyword kPathModeKeywords[] = {{"list", PathListMode}};

bool OpenPathBlock(ScriptReader& reader) {
    MachineState& state = StateOf(reader);
    const uint32_t next = reader.cursor + 1;
    if (next < reader.lineLength && reader.line[next] != ' ') return UnknownMachineLine(reader);
    if (!pushBlock(reader, kPathBlockHandler, &state)) return false;
    state.flags = (state.flags & ~MachineState::kPathStarted) | MachineState::kSinglePath;
    const uint32_t rest = SkipSpaces(reader, next);
    if (rest == reader.lineLength) return true;
    reader.cursor = rest;
    return matchKeywords(reader, KeywordTrieOf<kPathModeKeywords>.table(), PathParameters);
}

bool EndMachineBlock(ScriptReader& reader) {
    MachineState& state = StateOf(reader);
    if (state.paths == nullptr || state.paths->pathCount() == 0) {
        return Fail(state.message, "Machine block may not be empty");
    }
    Machine* machine = state.paths;
    if (!InsertNamed(reader.context->machines, machine->name, static_cast<uint32_t>(std::strlen(machine->name)),
                     machine, DestroyMachineEntry)) {
        return OutOfMemory(state.message);
    }
    state.paths = nullptr;  // the table owns it now
    return true;
}

void ReleaseMachineBlock(ScriptReader& reader) { delete static_cast<MachineState*>(reader.top->object); }

const char* DescribeMachineBlock(void* object) {
    if (object == nullptr) return kMachineMemory;
    return static_cast<MachineState*>(object)->message.text;
}

constexpr Keyword kMachineKeywords[] = {{"path", OpenPathBlock}};

constinit const BlockHandler kMachineHandler{
    KeywordTrieOf<kMachineKeywords>.table(),
    UnknownMachineLine,
    EndMachineBlock,
    ReleaseMachineBlock,
    DescribeMachineBlock,
};

}  // namespace

Machine* parseMachineAddress(const char* text, uint32_t length, BlockMessage& message) {
    HopText parsed;
    // No '/' at all and a single ':' (the scan stops a host at the first ':').
    if (!ScanHopText(text, length, false, parsed)) {
        message.format(kMachineMemory, kInvalidPath);
        return nullptr;
    }
    Machine* machine = NewMachine(text, length);
    MachinePath* path = machine != nullptr ? AppendMachinePath(*machine) : nullptr;
    Hop* hop = path != nullptr ? NewHop("kv://", text, length, "/", text, parsed.hostLength, HopProtocol::Direct,
                                        parsed.hasPort ? static_cast<uint16_t>(parsed.port) : kDefaultMachinePort)
                               : nullptr;
    if (hop == nullptr) {
        DestroyMachine(machine);
        message.setStatic(kMachineMemory);
        return nullptr;
    }
    path->hops = hop;
    return machine;
}

bool OpenMachineBlock(ScriptReader& reader) {
    auto* state = new (std::nothrow) MachineState();
    if (!pushBlock(reader, kMachineHandler, state)) return false;
    if (state == nullptr) return false;
    const uint32_t start = reader.cursor + 1;
    const uint32_t end = TrimmedEnd(reader, start);
    if (start >= end) return Fail(state->message, "Machine block name cannot be empty");
    const char* name = TerminateSpan(reader, start, end);
    if (reader.context->machines.Find(name) != nullptr) {
        return Fail(state->message, "The machine name {0} is already in use", {{FormatString, name}});
    }
    state->paths = NewMachine(name, end - start);
    if (state->paths == nullptr) return OutOfMemory(state->message);
    return true;
}

}  // namespace kestrel
