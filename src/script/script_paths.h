// Paths as the script language uses them. Names written in a script are split
// at both '\\' and '/'; names that come from this system (the script's own
// location, rendered paths) are split at the system's own separators only,
// since a POSIX file name may hold a backslash.
#pragma once

#include <cstdint>

#include "runtime/path.h"

namespace kestrel {

class ScriptArena;

// Splits native path text. Drive and share roots are kept where the system
// has them and cleared where they mean nothing ("a:" is a POSIX name).
bool SplitNativePath(Path& path, const char* text, uint32_t length);

// Whether a path given on this system (the script argument) is absolute:
// a leading separator, or on systems with drives "C:" and a separator.
bool IsAbsoluteNativeText(const char* text);

// The last separator of native path text, or null.
const char* LastNativeSeparator(const char* text);

// Appends the components of script-written text (split at '\\' and '/'),
// pointing into `text`. False when a node cannot be allocated.
bool AppendScriptComponents(Path& path, const char* text, uint32_t length);

// Whether script-written text is absolute for the path model: a leading
// separator, a drive letter or a share.
bool IsAbsoluteScriptText(const char* text, uint32_t length);

// A new text of `prefix` followed by `rest`, with the prefix split natively
// and the rest as script text, into `path` (empty on entry). The path owns
// the text and its nodes, or, with an arena, has both from the arena.
// False when memory ran out (the path is then empty).
bool JoinScriptPath(const char* prefix, uint32_t prefixLength, const char* rest, uint32_t restLength, Path& path,
                    ScriptArena* arena = nullptr);

// `base` rendered, the native separator, then `text` (or `text` alone when base is null),
// as a new heap text. False when memory ran out.
bool JoinNativePath(const Path* base, const char* text, uint32_t length, char*& joined, uint32_t& joinedLength);

// The path rendered into a new NUL-terminated heap text; null when memory ran out.
char* RenderPath(const Path& path, uint32_t& length);

// A copy of `source` over a text of its own: rendered and split natively; the
// text and nodes from `arena` when one is given.
bool CopyNativePath(const Path& source, Path& copy, ScriptArena* arena = nullptr);

}  // namespace kestrel
