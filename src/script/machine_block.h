// Machine blocks: a name and the paths (chains of hops) that reach one build
// machine. Job blocks turn a bare address into a one-hop machine through
// parseMachineAddress.
#pragma once

#include <cstdint>

#include "script/block_framework.h"
#include "script/objects.h"

namespace kestrel {

// The machine for a job's machine line that names no known machine: "host"
// or "host:port", one direct hop. Null with `message` set when the text is
// not an address or memory ran out.
Machine* parseMachineAddress(const char* text, uint32_t length, BlockMessage& message);

// Top-level "machine " + name.
bool OpenMachineBlock(ScriptReader& reader);

}  // namespace kestrel
