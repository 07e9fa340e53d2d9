// Placeholder until the full expansion builder lands: literal arguments only.
#pragma once

#include <cstdint>

#include "client/requests.h"

namespace kestrel {

struct Job;
struct Command;

struct CommandWork {
    const Command* command = nullptr;
    bool done = false;
};

enum class CommandBuild : uint8_t { Ready, Skip, InvalidPath, NoMemory, TooLong };

CommandBuild BeginCommand(CommandWork& work, const Job& job, const Command& command);
CommandBuild WriteExecute(const CommandWork& work, const Job& job, uint8_t jobId, const char* separator,
                          uint32_t separatorLength, PayloadWriter& writer);
bool NextCombination(CommandWork& work);
void ReleaseCommandWork(CommandWork& work);
const char* CommandDisplayText(const CommandWork& work);

}  // namespace kestrel
