// Command-line expansions: a name between '<' and '>' inside a command
// argument, optionally preceded by a second '<' and a list of options, and
// the checks made on a command's expansions once the command is complete.
#pragma once

#include "script/command_block.h"

namespace kestrel {

// Parses the expansion at the cursor (on its '<') into the context's current
// part; on success the cursor stands just past the closing '>'.
bool parseExpansion(ScriptReader& reader, CommandContext& context);

// Checks the options and the enumeration order of a complete command, links
// its enumerations and sets its environment counts and flags.
bool checkCommand(CommandContext& context, Command& command);

}  // namespace kestrel
