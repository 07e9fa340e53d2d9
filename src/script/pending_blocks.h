// Top-level block kinds whose parsers are not part of this build yet. Each
// opener reports its empty-name message, or that the kind is not supported.
#pragma once

namespace kestrel {

struct ScriptReader;

// "project " + name
bool OpenProjectBlock(ScriptReader& reader);

}  // namespace kestrel
