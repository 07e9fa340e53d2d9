// Positions over the reader's current line, for handlers that work in place
// on the line buffer.
#pragma once

#include <cstdint>

#include "runtime/format.h"
#include "script/script_reader.h"

namespace kestrel {

inline uint32_t SkipSpaces(const ScriptReader& reader, uint32_t position) {
    while (position < reader.lineLength && reader.line[position] == ' ') ++position;
    return position;
}

// One past the last non-space at or after `start` (`start` when there is none).
inline uint32_t TrimmedEnd(const ScriptReader& reader, uint32_t start) {
    uint32_t end = reader.lineLength;
    while (end > start && reader.line[end - 1] == ' ') --end;
    return end;
}

inline CountedString LineSpan(const ScriptReader& reader, uint32_t start, uint32_t end) {
    return CountedString{reader.line + start, end - start};
}

inline CountedString WholeLine(const ScriptReader& reader) { return LineSpan(reader, 0, reader.lineLength); }

// Terminates the span in place (the line buffer always has a byte to spare)
// and returns its text. Later messages see the line cut there.
inline const char* TerminateSpan(ScriptReader& reader, uint32_t start, uint32_t end) {
    reader.line[end] = '\0';
    return reader.line + start;
}

// What follows a block keyword that may take one "s" and then only spaces.
enum class KeywordTail : uint8_t {
    Plain,       // nothing but spaces
    Unknown,     // another character directly after the keyword
    Parameters,  // anything after the optional "s" that is not a space
};

// Looks behind the keyword that ends at the cursor.
inline KeywordTail ReadKeywordTail(const ScriptReader& reader) {
    uint32_t position = reader.cursor + 1;
    if (position < reader.lineLength) {
        if (reader.line[position] == 's') {
            ++position;
        } else if (reader.line[position] != ' ') {
            return KeywordTail::Unknown;
        }
    }
    return SkipSpaces(reader, position) < reader.lineLength ? KeywordTail::Parameters : KeywordTail::Plain;
}

}  // namespace kestrel
