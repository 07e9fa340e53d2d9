// Data blocks: named lists of values and paths. The value, path and include
// lines are shared with job blocks, which keep their own DataContext records
// and push the same block handlers on them.
#pragma once

#include <cstdint>

#include "script/block_framework.h"
#include "script/objects.h"

namespace kestrel {

// Parse-time state of a block that fills a DataBlock. Value, path and
// include frames all point at the context; only its owner frees it.
struct DataContext {
    static constexpr uint32_t kReservedCheck = 1;  // names beginning with "KV " are rejected
    static constexpr uint32_t kValueOptional = 2;  // a value line without '=' is accepted

    DataBlock* target = nullptr;
    BlockMessage message;  // the owning block's own lines
    BlockMessage valueMessage;
    BlockMessage pathMessage;
    BlockMessage includeMessage;
    char* withName = nullptr;       // member name of a named include, owned
    uint32_t includeParameter = 0;  // where the text after "include" starts, for messages
    uint32_t flags = 0;
    // The owner's out-of-memory text ("Insufficient memory for data", "... for job").
    const char* memoryMessage = "Insufficient memory for data";

    DataContext() = default;
    DataContext(const DataContext&) = delete;
    DataContext& operator=(const DataContext&) = delete;
    ~DataContext();
    void setWithName(char* name);
};

// Frames whose object is a DataContext; every line goes to the line handler.
extern const BlockHandler kValueBlockHandler;
extern const BlockHandler kPathBlockHandler;
extern const BlockHandler kDataIncludeBlockHandler;

// One line of a value, path or include block.
bool valueLine(ScriptReader& reader, DataContext& context);
bool pathLine(ScriptReader& reader, DataContext& context);
bool includeLine(ScriptReader& reader, DataContext& context);

// Top-level "data " + name.
bool OpenDataBlock(ScriptReader& reader);

}  // namespace kestrel
