// The records a script declares, kept in the parser context's name tables.
// Every record in ParserContext::blocks begins with its BlockKind; members of
// a data block begin with their MemberKind. Records refer to each other by
// plain pointers; each table entry's destructor frees its key and its record.
#pragma once

#include <cstdint>

#include "runtime/name_table.h"
#include "runtime/path.h"
#include "script/block_framework.h"

namespace kestrel {

// ---- Data members ----------------------------------------------------------

enum class MemberKind : uint32_t {
    Values = 0,
    Paths = 1,
};

inline MemberKind MemberKindOf(const void* member) { return *static_cast<const MemberKind*>(member); }

// A member's values in order, each NUL-terminated, then one extra NUL at `end`.
// The value bytes live in a separate heap area so the record itself never
// moves and holders keep plain pointers.
struct ValueList {
    MemberKind kind = MemberKind::Values;
    char* start = nullptr;
    char* end = nullptr;    // the extra NUL
    char* limit = nullptr;  // one past the allocated area
};

// An empty list (no value yet); null when memory ran out.
ValueList* NewValueList(uint32_t firstValueLength);
// Appends `length` bytes and a NUL to a run of NUL-terminated strings kept
// in [start, end) with one extra NUL at `end`, growing the area (to at least
// `firstSize` the first time, doubling after) as needed. False when memory ran out.
bool AppendTerminatedString(char*& start, char*& end, char*& limit, const char* text, uint32_t length,
                            size_t firstSize = 0);

bool AppendValue(ValueList& list, const char* value, uint32_t length);
// Appends every value of `source`.
bool AppendValues(ValueList& list, const ValueList& source);
void DestroyValueList(ValueList* list);

// Marks the base entry of a path list: the directory of the script whose line
// created the member. Expansion skips it; job roots still take it into account.
inline constexpr uint32_t kPathBaseEntry = 0x10000000;
// Set on file-list entries built from a script line: whether a component is
// "." or "..", learnt while the line was split, so that preparation need not
// walk the entry again to know whether it must normalize it.
inline constexpr uint32_t kPathDotsKnown = 0x20000000;
inline constexpr uint32_t kPathHasDots = 0x40000000;

// Text that path components point into, in chunks that never move.
struct TextChunk {
    TextChunk* next;
    uint32_t used;
    uint32_t capacity;
    // `capacity` bytes follow.
    char* bytes() { return reinterpret_cast<char*>(this + 1); }
};

class ScriptArena;

struct PathList {
    MemberKind kind = MemberKind::Paths;
    Path* paths = nullptr;      // path 0 is a base entry
    Path** prepared = nullptr;  // set by job preparation, in the job's arena
    Path** preparedEnd = nullptr;
    uint32_t pathCapacity = 0;
    uint32_t pathCount = 0;
    // The texts and nodes of the paths; held by whoever holds the list (the
    // parser context, or the job whose data it is).
    ScriptArena* arena = nullptr;
};

// A list whose base entry is `baseDirectory`, its paths in `arena`; null
// when memory ran out.
PathList* NewPathList(const Path& baseDirectory, ScriptArena& arena);
// Why an append failed.
enum class PathAppendResult : uint8_t { Appended, AboveRoot, NoMemory };
// Joins script-written relative text to the base entry and normalizes it.
PathAppendResult AppendRelativePath(PathList& list, const char* text, uint32_t length);
// Appends a copy of an absolute path (another list's entry), normalized
// again; `keepFlags` carries the base mark along.
PathAppendResult AppendPathCopy(PathList& list, const Path& path, bool keepFlags);
void DestroyPathList(PathList* list);

// Destroys a member of either kind.
void DestroyMember(void* member);
// The destructor registered with every member table entry.
void DestroyMemberEntry(NameTableEntry* entry);

// ---- Data blocks and file lists (records of ParserContext::blocks) --------

// A member as the script declared it: the member table's key and record.
struct DeclaredMember {
    const char* name;
    void* member;
};

struct DataBlock {
    BlockKind kind = BlockKind::DataBlock;
    NameTable members;  // name -> ValueList or PathList
    // Every member once, in the order the script declared them: whatever
    // walks the members (includes, environment edits) walks this, so the
    // same script gives the same order on every machine.
    DeclaredMember* declared = nullptr;
    uint32_t declaredCount = 0;
    uint32_t declaredCapacity = 0;
    // The member names, when set (held by the block's owner); else heap copies.
    ScriptArena* arena = nullptr;
};

// Kind set, no member yet, names in `arena`; null when memory ran out.
DataBlock* NewDataBlock(ScriptArena* arena);
// Enters `member` under a copy of `name` and at the end of the declared
// order; the block then owns both. False when memory ran out (the member is
// then still the caller's).
bool AddMember(DataBlock& block, const char* name, uint32_t length, void* member);
// Destroys every member and the tables; the block is empty afterwards.
void ReleaseMembers(DataBlock& block);
void DestroyDataBlock(DataBlock* block);
void DestroyDataBlockEntry(NameTableEntry* entry);

struct FileList {
    BlockKind kind = BlockKind::FileList;
    // In script order, unnormalized. Each owns its text and nodes, or, when
    // the list has an arena (a job's lists), takes both from the arena.
    Path* entries = nullptr;
    Path** prepared = nullptr;  // set by job preparation, in the job's arena
    Path** preparedEnd = nullptr;
    uint32_t capacity = 0;
    uint32_t count = 0;
    ScriptArena* arena = nullptr;  // held by the list's owner
    bool entriesInArena = false;   // the array itself (sized to its entries) is the arena's
};

// An empty list; null when memory ran out.
FileList* NewFileList();
// Takes the path over (it owns its text and nodes, or has them from the
// list's arena). False when the array cannot grow.
bool AppendFileEntry(FileList& list, Path& entry);
// Releases the entries' components and texts, and the arrays.
void ReleaseFileListEntries(FileList& list);
void DestroyFileList(FileList* list);
void DestroyFileListEntry(NameTableEntry* entry);

// ---- Machines (records of ParserContext::machines) -------------------------

enum class HopProtocol : uint32_t {
    Direct = 0,  // "kv://": a server reached over TCP
    Tunnel = 1,  // "kvs://": a server reached through an ssh port forward
    Agent = 2,   // "kvi://": an agent behind the previous hop
};

inline constexpr uint16_t kDefaultMachinePort = 5017;

// One leg of a path. url and host point into the same allocation.
struct Hop {
    const char* url;  // the protocol prefix and the hop text as written
    const char* host;
    Hop* next;
    HopProtocol protocol;
    uint16_t port;  // 0 for an agent
};

// A new hop whose url is `prefix` + `text` + `suffix` and whose host is
// `host`; null when memory ran out.
Hop* NewHop(const char* prefix, const char* text, uint32_t textLength, const char* suffix, const char* host,
            uint32_t hostLength, HopProtocol protocol, uint16_t port);
void DestroyHops(Hop* first);

// The direct client's state of one path; defined by the client.
struct Connection;
struct MachinePath;
using ConnectionRelease = void (*)(MachinePath& path);

// One way of reaching a machine. The parser fills the first four fields; the
// rest is the direct client's, zero until it attaches its connection.
struct MachinePath {
    const char* machineName = nullptr;  // the machine's name (or its address)
    Hop* hops = nullptr;                // the first hop is contacted first
    uint32_t index = 0;                 // position in the machine
    uint32_t flags = 0;
    Connection* connection = nullptr;
    // Called by the machine's destructor when set: frees the connection and
    // closes what the client left open.
    ConnectionRelease releaseConnection = nullptr;
};

// Alternative paths to one machine: first size 5, then doubling.
struct Machine {
    char* name = nullptr;  // owned; every path's machineName points here
    MachinePath* first = nullptr;
    MachinePath* end = nullptr;
    MachinePath* limit = nullptr;

    uint32_t pathCount() const { return static_cast<uint32_t>(end - first); }
};

// A machine named by a copy of `name`, with room for 5 paths; null when memory ran out.
Machine* NewMachine(const char* name, uint32_t length);
// A zeroed path at the end (parse-time fields carried over when the array
// moves); null when memory ran out.
MachinePath* AppendMachinePath(Machine& machine);
void DestroyMachine(Machine* machine);
void DestroyMachineEntry(NameTableEntry* entry);

}  // namespace kestrel
