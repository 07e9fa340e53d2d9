// File lists: named lists of files written relative to the script. The file
// and include lines are shared with the job's input, output and failed-output
// blocks, which push the same handlers on their own FileListState.
#pragma once

#include <cstdint>

#include "script/block_framework.h"
#include "script/objects.h"

namespace kestrel {

// Parse-time state of a block that fills a FileList. File and include
// frames point at it; only its owner frees it.
struct FileListState {
    BlockMessage message;  // the owning block's own lines
    BlockMessage fileMessage;
    BlockMessage includeMessage;
    FileList* target = nullptr;
    // For targets with an arena: the script directory's text in the arena,
    // shared by the entries of the block.
    const char* directory = nullptr;
    uint32_t directoryLength = 0;
    uint32_t flags = 0;
    // The owner's out-of-memory text.
    const char* memoryMessage = "Insufficient memory for file list";
};

// Frames whose object is a FileListState; every line goes to the line handler.
extern const BlockHandler kFileBlockHandler;
extern const BlockHandler kFileListIncludeBlockHandler;

// The whole line is a file relative to the script's directory.
bool fileLine(ScriptReader& reader, FileListState& state);
// The whole line names a file list whose entries are copied.
bool fileListIncludeLine(ScriptReader& reader, FileListState& state);

// Top-level "file list " + name.
bool OpenFileList(ScriptReader& reader);

}  // namespace kestrel
