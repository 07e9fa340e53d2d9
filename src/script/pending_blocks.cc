#include "script/pending_blocks.h"

#include "script/line_text.h"
#include "script/script_reader.h"

namespace kestrel {

namespace {

bool NotSupported(ScriptReader& reader, const char* emptyName, const char* notSupported) {
    const uint32_t start = reader.cursor + 1;
    const bool named = start < TrimmedEnd(reader, start);
    reader.context->setMessage(named ? notSupported : emptyName, false);
    return false;
}

}  // namespace

bool OpenProjectBlock(ScriptReader& reader) {
    return NotSupported(reader, "The project must have a name", "Project blocks are not supported yet");
}

}  // namespace kestrel
