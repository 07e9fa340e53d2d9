// Imports: "import " + path reads another script file into the same parser
// context, once per file however often and from wherever it is imported.
#pragma once

#include <cstdint>

#include "platform/file_reading.h"
#include "runtime/name_table.h"

namespace kestrel {

struct ScriptReader;

// Room for "{device}:{inode}" with both numbers in decimal, and the NUL.
inline constexpr uint32_t kIdentityTextSize = 44;

// The key of a file in ParserContext::imports.
void FormatIdentity(const platform::FileIdentity& identity, char (&text)[kIdentityTextSize]);
// Enters a copy of `key`; false when memory ran out.
bool InsertIdentity(NameTable& imports, const char* key);

// Top-level "import " + path.
bool OpenImport(ScriptReader& reader);

}  // namespace kestrel
