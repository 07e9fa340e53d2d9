// Commands as steps and jobs hold them: each command is a list of argument
// parts (literal text followed by an optional expansion), and a step is a
// named, parameterised list of commands that is copied into whatever
// includes it.
#pragma once

#include <cstdint>

#include "script/block_framework.h"
#include "script/objects.h"

namespace kestrel {

// Text that never moves once written: chunks, newest first, each chunk at
// least twice the size of the previous one. Holders keep plain pointers.
struct TextPool {
    TextChunk* chunks = nullptr;
    uint32_t lastCapacity = 0;

    // A NUL-terminated copy of `length` bytes; the first chunk holds at least
    // `firstSize` bytes. Null when memory ran out.
    const char* add(const char* text, uint32_t length, uint32_t firstSize);
    // The copy already in the pool when there is one, else a new copy.
    const char* intern(const char* text, uint32_t length, uint32_t firstSize);
    void release();
};

// First chunk sizes: most jobs and steps hold a few short texts.
inline constexpr uint32_t kStringPoolFirstSize = 64;
inline constexpr uint32_t kLiteralPoolFirstSize = 64;

// ArgumentPart::flags
inline constexpr uint32_t kPartEnumerate = 1;
inline constexpr uint32_t kPartRequired = 2;
inline constexpr uint32_t kPartBaseName = 4;
inline constexpr uint32_t kPartDirectoryName = 8;
inline constexpr uint32_t kPartFileName = 0x10;
inline constexpr uint32_t kPartVisited = 0x20;  // only while the enumeration order is checked
inline constexpr uint32_t kPartArgumentStart = 0x40;
inline constexpr uint32_t kPartEnvironment = 0x80;
inline constexpr uint32_t kPartAlong = 0x100;  // always together with kPartEnumerate

// Literal text and the expansion that follows it.
struct ArgumentPart {
    const char* literal;             // in the owning list's text pool; may be empty
    const char* reference;           // expanded name, or null for literal text only
    ArgumentPart* innerEnumeration;  // the part enumerated within this one
    ArgumentPart* outerEnumeration;  // the part this one is enumerated within
    ArgumentPart* alongPartner;      // the plain enumeration an along part follows
    uint32_t flags;
};

// Command::flags: the error mode of its command block, then what it holds.
inline constexpr uint32_t kCommandCompleteWithError = 1;
inline constexpr uint32_t kCommandBreakOnError = 2;
inline constexpr uint32_t kCommandIgnoreError = 4;
inline constexpr uint32_t kCommandEnumerates = 8;
inline constexpr uint32_t kCommandLastOfBlock = 0x20;

struct Command {
    ArgumentPart* parts;  // first size 2, then doubling
    ArgumentPart* partsEnd;
    ArgumentPart* partsLimit;
    uint32_t environmentCount;
    uint32_t environmentMapSize;  // bytes of the per-part environment bit map
    uint32_t flags;

    uint32_t partCount() const { return static_cast<uint32_t>(partsEnd - parts); }
};

struct CommandList {
    Command* commands = nullptr;  // first size 2, then doubling
    Command* commandsEnd = nullptr;
    Command* commandsLimit = nullptr;
    TextPool text;  // literal text of every part

    uint32_t count() const { return static_cast<uint32_t>(commandsEnd - commands); }
};

// A zeroed command at the end; null when memory ran out. Earlier Command
// records may move, their parts do not.
Command* AppendCommand(CommandList& list);
// A zeroed part at the end; null when memory ran out. Earlier parts may move,
// so links between parts are set only once a command is complete.
ArgumentPart* AppendPart(Command& command);
// Room for exactly `count` parts in a command that has none yet (for
// copies); false when memory ran out.
bool ReserveParts(Command& command, uint32_t count);
void ReleaseCommandList(CommandList& list);

// A step: formal parameters in declaration order and the commands that
// "include step" copies with the parameters bound.
struct Step {
    BlockKind kind = BlockKind::Step;
    // Each name NUL-terminated, then one extra NUL. Parts refer to these
    // copies, so the area grows only while the step's single parameter
    // block is open, before any command can name a parameter.
    char* parameterNames = nullptr;
    char* parameterEnd = nullptr;  // the extra NUL
    char* parameterLimit = nullptr;
    TextPool strings;  // environment variable names used by the commands
    CommandList commands;

    // The first formal parameter, or null when there is none.
    const char* firstParameter() const {
        return parameterNames != nullptr && *parameterNames != '\0' ? parameterNames : nullptr;
    }
};

// The formal parameter after `name`, or null.
const char* NextParameter(const char* name);
// The step's copy of the parameter of that name, or null.
const char* FindParameter(const Step& step, const char* name, uint32_t length);
// False when memory ran out.
bool AppendParameter(Step& step, const char* name, uint32_t length);

Step* NewStep();
void DestroyStep(Step* step);
void DestroyStepEntry(NameTableEntry* entry);

}  // namespace kestrel
