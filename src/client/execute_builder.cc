#include "client/execute_builder.h"

#include <cstring>

#include "script/command_list.h"
#include "script/job.h"

namespace kestrel {

CommandBuild BeginCommand(CommandWork& work, const Job&, const Command& command) {
    work.command = &command;
    return CommandBuild::Ready;
}

CommandBuild WriteExecute(const CommandWork& work, const Job&, uint8_t jobId, const char*, uint32_t,
                          PayloadWriter& writer) {
    if (!BeginExecute(writer, jobId, nullptr, 0)) return CommandBuild::TooLong;
    if (AddExecuteString(writer, "", 0) != TextAppend::Done) return CommandBuild::TooLong;
    const Command& command = *work.command;
    for (const ArgumentPart* part = command.parts; part != command.partsEnd; ++part) {
        const char* text = part->literal != nullptr ? part->literal : "";
        if (AddExecuteString(writer, text, static_cast<uint32_t>(std::strlen(text))) != TextAppend::Done)
            return CommandBuild::TooLong;
    }
    return CommandBuild::Ready;
}

bool NextCombination(CommandWork&) { return false; }
void ReleaseCommandWork(CommandWork&) {}
const char* CommandDisplayText(const CommandWork& work) {
    return work.command != nullptr && work.command->parts != work.command->partsEnd && work.command->parts->literal
               ? work.command->parts->literal
               : "";
}

}  // namespace kestrel
