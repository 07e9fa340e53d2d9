// Command blocks and include-step blocks, shared by steps and jobs. A command
// block holds one command per line, with further arguments on lines indented
// under it; an include-step block binds a step's parameters, one argument
// line each, and copies the step's commands when it closes.
#pragma once

#include <cstdint>

#include "runtime/name_table.h"
#include "script/block_framework.h"
#include "script/command_list.h"

namespace kestrel {

inline constexpr const char* kStepMemoryMessage = "Insufficient memory for step";

enum class NameLookup : uint8_t { Found, Missing, NoMemory };

// Resolves an expansion or include argument name for the owner (a step or a
// job); `resolved` is the owner's own, stable copy of the name.
using LookupAction = NameLookup (*)(void* owner, const char* name, uint32_t length, const char*& resolved);
// Stores a name in the owner's string pool; null when memory ran out.
using InternAction = const char* (*)(void* owner, const char* name, uint32_t length);

struct ParameterBinding {
    const char* formal;  // in the included step's parameter list
    const char* actual;  // resolved in the including step or job
};

// Parse-time companion of a CommandList; one in every step and job block state.
struct CommandContext {
    Step* includedStep = nullptr;          // named by the open include-step block
    ParameterBinding* bindings = nullptr;  // first size 10, then doubling
    uint32_t bindingCount = 0;
    uint32_t bindingCapacity = 0;
    const char* nextFormal = nullptr;  // bound by the next argument line
    CommandList* target = nullptr;
    uint32_t current = 0;      // index of the command being parsed
    uint32_t currentPart = 0;  // index of the part whose expansion is parsed
    // Pending "enumerate within" declarations of the current command: the
    // resolved name -> index of the declaring part + 1 (parts may still move).
    NameTable withinTable;
    LookupAction lookup = nullptr;
    InternAction intern = nullptr;
    void* owner = nullptr;
    BlockMessage message;       // command lines, expansions, include-step blocks
    BlockMessage blockMessage;  // the command block's own line and its end check
    uint32_t expansionStart = 0;
    uint32_t optionStart = 0;
    uint32_t commandCount = 0;  // commands in the open command block
    uint32_t mode = 0;          // error mode of the open command block
    bool argumentStartPending = false;

    CommandContext() = default;
    CommandContext(const CommandContext&) = delete;
    CommandContext& operator=(const CommandContext&) = delete;
    ~CommandContext();

    // The within table; false when memory ran out.
    bool init(CommandList& list, LookupAction lookupAction, InternAction internAction, void* ownerRecord);
    Command& currentCommand() { return target->commands[current]; }
    // Sets `message` and returns false.
    bool fail(const char* pattern, std::initializer_list<FormatArg> args = {});
    bool outOfMemory();
};

// "command " or "commands " followed by an error mode; the cursor is on the
// keyword's last space.
bool openCommandBlock(ScriptReader& reader, CommandContext& context);
// A line directly inside a command block: a new command and its first argument.
bool commandLine(ScriptReader& reader, CommandContext& context);
// A line under a command line: one more argument.
bool argumentLine(ScriptReader& reader, CommandContext& context);
// The command and its argument lines are complete: checks its expansions.
bool endCommand(CommandContext& context);
bool endCommandBlock(CommandContext& context);

// "include step " + name (and its variants); the cursor is on the keyword's
// last space. `includingStep` is null in a job.
bool openIncludeStep(ScriptReader& reader, CommandContext& context, const Step* includingStep);
// One line of the include block: the argument of the next formal parameter.
bool includeArgument(ScriptReader& reader, CommandContext& context);
// Copies the included step's commands with the parameters bound.
bool endIncludeStep(CommandContext& context);

}  // namespace kestrel
