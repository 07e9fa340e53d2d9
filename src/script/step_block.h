// Step blocks: a named, parameterised group of commands that jobs and other
// steps include. Steps are expanded where they are included, so nothing
// refers to a step once the script is parsed.
#pragma once

namespace kestrel {

struct ScriptReader;

// Top-level "step " + name.
bool OpenStepBlock(ScriptReader& reader);

}  // namespace kestrel
