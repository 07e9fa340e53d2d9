// From a job's command to the payloads of its Execute requests: the command's
// argument parts are bound to the job's data once, then each combination of
// the command's enumerations is written as one payload.
//
// Use: BeginCommand; unless it says otherwise, WriteExecute and send; after
// the command ended, NextCombination and, while it is true, WriteExecute
// again. The work area is reused from command to command and freed by
// ReleaseCommandWork.
#pragma once

#include <cstdint>

#include "client/requests.h"
#include "runtime/path.h"
#include "script/command_list.h"
#include "script/job.h"

namespace kestrel {

// The client's bit in CommandWork::flags, beside the command's own flags:
// no further Execute is due for this command.
inline constexpr uint32_t kCommandDone = 0x10;
// CommandWork::innermost of a command without enumerations.
inline constexpr uint32_t kNoEnumeration = UINT32_MAX;

// One item per argument part of the current command.
struct CommandWorkItem {
    const ArgumentPart* part = nullptr;
    // The bound ValueList or PathList; null for a literal-only part, an
    // environment part and a missing member.
    const void* member = nullptr;
    uint32_t valueCount = 0;  // values of the member, base entries of a path list not counted
    uint32_t position = 0;    // ordinal of the current value
    const char* value = nullptr;  // ValueList: the current value
    Path* const* path = nullptr;  // PathList: the current entry of the prepared array
    // The part names a member the job does not have, or one without values.
    bool missing = false;
    // An environment part: the string it became in the last payload written
    // (0 the executable, the working directory not counted).
    uint32_t stringIndex = 0;
};

struct CommandWork {
    CommandWorkItem* items = nullptr;  // heap, reused across commands
    uint32_t capacity = 0;
    uint32_t count = 0;  // the command's part count
    const Command* command = nullptr;
    uint32_t flags = 0;  // the command's flags, plus kCommandDone
    // Item of the enumeration nothing is enumerated within.
    uint32_t innermost = kNoEnumeration;
    // Where the strings begin in the last payload written (after the bitmap
    // or the pad byte): what the connection log records from.
    uint32_t stringsOffset = 0;
    // One argument string as UTF-8 while it is assembled; heap, reused.
    char* text = nullptr;
    uint32_t textCapacity = 0;
};

enum class CommandBuild : uint8_t {
    Ready,
    // A required or enumerated part has no member (or none with a value): no Execute.
    Skip,
    // A path value or the working directory is not a relative UTF-8 path, a
    // path member was never prepared, or a string is not UTF-8 for a UTF-16 machine.
    InvalidPath,
    NoMemory,
    // The strings do not fit in one message, or an environment expansion
    // comes after more strings than the log's bitmap can count.
    TooLong,
};

// Binds the command's parts to the job's data (Job::data members by
// ArgumentPart::reference; environment parts are not bound) and puts every
// enumeration at its first value. A member that exists but has no value
// counts as missing. Skip (with kCommandDone set) when a required or
// enumerated part's member is missing.
CommandBuild BeginCommand(CommandWork& work, const Job& job, const Command& command);

// Writes the whole Execute payload for the current combination into
// `writer` (from its start; `writer.utf16` gives the machine's encoding):
// type 13, the job ID, the environment flag, the bitmap with its count byte
// (or the UTF-16 pad byte), then the working directory (Job::relativeDirectory
// joined with `separator`, UTF-8, 1 to 3 bytes; empty without components),
// the executable and every parameter, each with the terminator of the
// machine's encoding. Repeating arguments are stepped through here and left
// at their first values again. An executable made only of missing parts is
// written as an empty string rather than dropped, and the directory name of a
// one-component path is ".".
CommandBuild WriteExecute(CommandWork& work, const Job& job, uint8_t jobId, const char* separator,
                          uint32_t separatorLength, PayloadWriter& writer);

// The connection log keeps an Execute with the payload's head, but its bitmap
// marks strings (bit i: string i, the executable 0) where the wire's marks
// argument parts: the reader of the log sees only strings, and parts before
// an environment expansion may have become no string or several. An
// environment expansion is always a whole argument of one string, so the
// two agree only while no earlier argument was dropped or repeated.
inline constexpr uint32_t kExecuteLogHeadBuffer = kMessageHeaderSize + 4 + 255;
// Writes that head for the payload WriteExecute wrote last into `buffer`
// (kExecuteLogHeadBuffer bytes); the record goes on with the payload's bytes
// from CommandWork::stringsOffset. `utf16` is the log's encoding, which pads
// the bitmap as the payload does.
PayloadWriter WriteExecuteLogHead(const CommandWork& work, uint8_t jobId, bool utf16, uint8_t* buffer);

// Moves to the next combination of the command's enumerations (the innermost
// fastest; along parts follow their partner). False when every enumeration
// has wrapped, or the command has none: the command is then done
// (kCommandDone set).
bool NextCombination(CommandWork& work);

void ReleaseCommandWork(CommandWork& work);

}  // namespace kestrel
