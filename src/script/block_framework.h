// The block framework: the parser context that receives every named object,
// the handler records that block kinds plug in, the stack frames of open
// blocks, and the operations that open, match and close blocks.
#pragma once

#include <cstdint>

#include "runtime/format.h"
#include "runtime/name_table.h"
#include "script/keywords.h"

namespace kestrel {

struct ScriptReader;
class ScriptArena;

// Called when a block closes; false rejects the block and ends the parse.
using BlockEndAction = bool (*)(ScriptReader& reader);
// Frees the parse-time state of the innermost frame (reader.top->object).
using BlockReleaseAction = void (*)(ScriptReader& reader);
// The block's error text, or null/empty when it has none.
using BlockDescribe = const char* (*)(void* object);

// Static data, one per block kind.
struct BlockHandler {
    KeywordTable keywords;         // lines directly inside the block; empty: every line to onLine
    BlockAction onLine;            // lines that match no keyword; required
    BlockEndAction onEnd;          // null: always succeeds
    BlockReleaseAction onRelease;  // null: nothing to free
    BlockDescribe describe;        // null: no text
};

struct BlockFrame {
    BlockHandler handler;
    void* object;     // parse-time state; null when its allocation failed
    uint32_t indent;  // indentation of the block's lines
};

// A reader holds the base frame and at most three nested blocks.
inline constexpr uint32_t kFrameCount = 4;

// A heap or static text with the flag that says which.
struct BlockMessage {
    const char* text = nullptr;
    bool owned = false;

    BlockMessage() = default;
    BlockMessage(const BlockMessage&) = delete;
    BlockMessage& operator=(const BlockMessage&) = delete;
    ~BlockMessage() { clear(); }

    void clear();
    void setStatic(const char* constant);
    // Formats a heap text; when memory runs out the static `fallback` is used.
    void format(const char* fallback, const char* pattern, std::initializer_list<FormatArg> args = {});
    bool empty() const { return text == nullptr || text[0] == '\0'; }
};

// Kinds at the start of every record in ParserContext::blocks.
enum class BlockKind : uint32_t {
    FileList = 0,
    DataBlock = 1,
    Step = 2,
    Job = 3,
    Project = 4,
};

inline BlockKind KindOf(const void* record) { return *static_cast<const BlockKind*>(record); }

// One per run. The tables own their keys and values (destructors registered
// with each entry); the direct client later moves the machines out.
struct ParserContext {
    static constexpr uint32_t kMessageOwned = 1;
    static constexpr uint32_t kMachinesOwned = 2;

    NameTable blocks;               // data blocks, file lists, steps, jobs, projects
    NameTable machines;             // machine name (or bare address) -> Machine
    NameTable imports;              // identity text of every script file read
    ScriptArena* arena = nullptr;   // held: the paths of the jobs
    // The entries of the file block being read (one at most is open at a
    // time), added to their list in one piece when the block ends.
    struct Path* pendingEntries = nullptr;
    uint32_t pendingCount = 0;
    uint32_t pendingCapacity = 0;
    const char* message = nullptr;  // set by the top-level line check
    uint32_t flags = 0;

    // Three empty tables (slots come with their first entries) and the
    // arena; flags machinesOwned. False when memory ran out.
    bool init();
    void release();

    // Replaces the message; `owned` says whether it is a heap text.
    void setMessage(const char* text, bool owned);
};

// Copies `length` bytes of `text` into a new NUL-terminated heap text (std::malloc).
char* CopyText(const char* text, uint32_t length);

// Inserts `record` under a heap copy of `name`; the entry's destructor frees
// both. False when memory ran out (the record is then still the caller's).
bool InsertNamed(NameTable& table, const char* name, uint32_t length, void* record, NameTableDestructor destroyRecord);

// Opens a block: marks the reader's line as having opened one, makes the next
// frame innermost with `handler` and `object`, indented like the current line.
// Fails the reader when the three nested levels are in use (nothing pushed).
bool pushBlock(ScriptReader& reader, const BlockHandler& handler, void* object);

// Runs the keyword matcher over the line from the reader's cursor.
bool matchKeywords(ScriptReader& reader, KeywordTable table, BlockAction defaultAction);

// The line-end procedure for a line with content: closes the blocks the
// indentation leaves, checks it, and dispatches the line.
bool endLine(ScriptReader& reader);

}  // namespace kestrel
