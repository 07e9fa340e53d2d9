#include "script/file_list.h"

#include <cstring>
#include <new>

#include "script/line_text.h"
#include "script/script_arena.h"
#include "script/script_paths.h"
#include "script/script_reader.h"
#include "runtime/growing_array.h"

namespace kestrel {

namespace {

FileListState& StateOf(ScriptReader& reader) { return *static_cast<FileListState*>(reader.top->object); }

bool Fail(FileListState& state, BlockMessage& message, const char* pattern,
          std::initializer_list<FormatArg> args = {}) {
    message.format(state.memoryMessage, pattern, args);
    return false;
}

bool OutOfMemory(FileListState& state, BlockMessage& message) {
    message.setStatic(state.memoryMessage);
    return false;
}

bool FileBlockLine(ScriptReader& reader) { return fileLine(reader, StateOf(reader)); }
bool AddPendingEntries(ScriptReader& reader);
bool IncludeBlockLine(ScriptReader& reader) { return fileListIncludeLine(reader, StateOf(reader)); }

const char* DescribeFileBlock(void* object) { return static_cast<FileListState*>(object)->fileMessage.text; }
const char* DescribeIncludeBlock(void* object) { return static_cast<FileListState*>(object)->includeMessage.text; }

const char* DescribeFileList(void* object) {
    if (object == nullptr) return "Insufficient memory for file list";
    return static_cast<FileListState*>(object)->message.text;
}

void ReleaseFileList(ScriptReader& reader) { delete static_cast<FileListState*>(reader.top->object); }

bool UnknownFileListLine(ScriptReader& reader) {
    FileListState& state = StateOf(reader);
    const CountedString text = WholeLine(reader);
    return Fail(state, state.message, "Unknown line in file list: {0}", {{FormatCountedString, &text}});
}

// "file" or "include": one "s" may follow, then only spaces.
bool OpenLines(ScriptReader& reader, const BlockHandler& handler, BlockMessage FileListState::*message,
               const char* parametersText) {
    FileListState& state = StateOf(reader);
    const KeywordTail tail = ReadKeywordTail(reader);
    if (tail == KeywordTail::Unknown) {
        const CountedString text = WholeLine(reader);
        return Fail(state, state.message, "Unrecognized line {0}", {{FormatCountedString, &text}});
    }
    if (!pushBlock(reader, handler, &state)) return false;
    if (tail == KeywordTail::Parameters) return Fail(state, state.*message, parametersText);
    return true;
}

bool OpenFileLines(ScriptReader& reader) {
    return OpenLines(reader, kFileBlockHandler, &FileListState::fileMessage, "No parameters allowed for file block");
}

bool OpenIncludeLines(ScriptReader& reader) {
    return OpenLines(reader, kFileListIncludeBlockHandler, &FileListState::includeMessage,
                     "No parameters allowed for include block");
}

constexpr Keyword kFileListKeywords[] = {
    {"include", OpenIncludeLines},
    {"file", OpenFileLines},
};

constinit const BlockHandler kFileListHandler{
    KeywordTrieOf<kFileListKeywords>.table(), UnknownFileListLine, nullptr, ReleaseFileList, DescribeFileList,
};

}  // namespace

constinit const BlockHandler kFileBlockHandler{{}, FileBlockLine, AddPendingEntries, nullptr, DescribeFileBlock};
constinit const BlockHandler kFileListIncludeBlockHandler{{}, IncludeBlockLine, AddPendingEntries, nullptr,
                                                           DescribeIncludeBlock};

namespace {

// Where a line's components are: split at '\\' and '/', runs of
// separators making no empty component. False when there are more than fit.
struct LineComponents {
    static constexpr uint32_t kMost = 64;
    uint32_t start[kMost];
    uint32_t length[kMost];
    uint32_t count = 0;
};

bool SplitLine(const char* line, uint32_t length, LineComponents& components) {
    uint32_t i = 0;
    while (i < length) {
        while (i < length && (line[i] == '/' || line[i] == '\\')) ++i;
        const uint32_t start = i;
        while (i < length && line[i] != '/' && line[i] != '\\') ++i;
        if (i == start) break;
        if (components.count == LineComponents::kMost) return false;
        components.start[components.count] = start;
        components.length[components.count++] = i - start;
    }
    return true;
}

// The nodes of an entry, all of them in one piece of the arena, linked as
// the path model links what it appends one by one: the allocation chain and
// the list in the same order.
bool LinkNodes(ScriptArena& arena, Path& entry, const char* const* texts, const uint32_t* lengths, uint32_t count) {
    if (count == 0) return true;
    auto* nodes = static_cast<PathComponent*>(arena.Take(count * sizeof(PathComponent)));
    if (nodes == nullptr) return false;
    for (uint32_t i = 0; i < count; ++i) {
        PathComponent* next = i + 1 < count ? &nodes[i + 1] : nullptr;
        nodes[i] = PathComponent{next, next, i > 0 ? &nodes[i - 1] : nullptr, texts[i], lengths[i], nullptr};
    }
    entry.chainHead = entry.first = &nodes[0];
    entry.chainTail = entry.last = &nodes[count - 1];
    return true;
}

// The entry the script directory and the line make, with the nodes and
// texts from the arena: the directory's components point into one copy of
// its text for the whole block (the reader has split it already), and only
// the line is copied and split. Components the entry has in common with the
// one before it (lines in a row mostly start alike: src/module/...) take
// that one's text, so that comparing them later compares pointers.
bool JoinInArena(ScriptReader& reader, FileListState& state, ScriptArena& arena, Path& entry) {
    const CountedString directory = reader.directoryText();
    if (state.directory == nullptr || state.directoryLength != directory.length ||
        std::memcmp(state.directory, directory.bytes, directory.length) != 0) {
        state.directory = arena.CopyText(directory.bytes, directory.length);
        if (state.directory == nullptr) return false;
        state.directoryLength = directory.length;
    }
    char* line = arena.CopyText(reader.line, reader.lineLength);
    if (line == nullptr) return false;
    entry.allocator = arena.Nodes();
    entry.flags = reader.directory.flags;
    entry.text = line;
    LineComponents split;
    const uint32_t depth = reader.directoryDepth();
    if (depth > LineComponents::kMost || !SplitLine(line, reader.lineLength, split) ||
        depth + split.count > LineComponents::kMost) {
        // Deeper than the local arrays: one node at a time.
        for (const PathComponent* c = reader.directory.first; c != nullptr; c = c->next) {
            PathComponent* component = entry.NewComponent(state.directory + (c->text - directory.bytes), c->length);
            if (component == nullptr) return false;
            entry.Append(component);
        }
        return AppendScriptComponents(entry, line, reader.lineLength);
    }
    const char* texts[LineComponents::kMost];
    uint32_t lengths[LineComponents::kMost];
    uint32_t count = 0;
    for (const PathComponent* c = reader.directory.first; c != nullptr; c = c->next, ++count) {
        texts[count] = state.directory + (c->text - directory.bytes);
        lengths[count] = c->length;
    }
    const ParserContext& context = *reader.context;
    const FileList& list = *state.target;
    const PathComponent* before = context.pendingCount != 0 ? context.pendingEntries[context.pendingCount - 1].first
                                  : list.count != 0        ? list.entries[list.count - 1].first
                                                           : nullptr;
    for (uint32_t i = 0; i < count && before != nullptr; ++i) before = before->next;
    bool shared = true;
    bool dots = false;
    for (uint32_t i = 0; i < split.count; ++i, ++count) {
        const char* text = line + split.start[i];
        const uint32_t length = split.length[i];
        dots = dots || (text[0] == '.' && (length == 1 || (length == 2 && text[1] == '.')));
        shared = shared && before != nullptr && before->length == length &&
                 std::memcmp(before->text, text, length) == 0;
        texts[count] = shared ? before->text : text;
        lengths[count] = length;
        if (before != nullptr) before = before->next;
    }
    // The directory's own components are normalized.
    entry.flags |= kPathDotsKnown | (dots ? kPathHasDots : 0);
    return LinkNodes(arena, entry, texts, lengths, count);
}

// Entries of a list with an arena wait in the context until their block
// ends; the list's array then grows once, to what it holds. False when
// memory ran out.
bool AddEntry(ParserContext& context, FileList& list, Path& entry) {
    if (list.arena == nullptr) return AppendFileEntry(list, entry);
    if (!RoomForOneMore(context.pendingEntries, context.pendingCount, context.pendingCapacity, 64)) return false;
    // Paths move as bytes: their components never point back at them.
    std::memcpy(static_cast<void*>(&context.pendingEntries[context.pendingCount++]), &entry, sizeof(Path));
    entry = Path{};
    return true;
}

// onEnd of the file and include blocks.
bool AddPendingEntries(ScriptReader& reader) {
    ParserContext& context = *reader.context;
    if (context.pendingCount == 0) return true;
    FileListState& state = *static_cast<FileListState*>(reader.top->object);
    FileList& list = *state.target;
    // A new array in the arena, sized to what the list then holds (one free
    // slot stays after the entries, as appending one by one leaves it); a
    // list filled by several blocks leaves its earlier array behind there.
    const uint64_t capacity = static_cast<uint64_t>(list.count) + context.pendingCount + 1;
    auto* grown = capacity <= UINT32_MAX / sizeof(Path) ? static_cast<Path*>(list.arena->Take(capacity * sizeof(Path)))
                                                        : nullptr;
    if (grown == nullptr) {
        const bool including = reader.top->handler.onLine == IncludeBlockLine;
        return OutOfMemory(state, including ? state.includeMessage : state.fileMessage);
    }
    if (list.count != 0) std::memcpy(static_cast<void*>(grown), list.entries, list.count * sizeof(Path));
    std::memcpy(static_cast<void*>(grown + list.count), context.pendingEntries, context.pendingCount * sizeof(Path));
    if (!list.entriesInArena) std::free(list.entries);
    list.entries = grown;
    list.entriesInArena = true;
    list.count += context.pendingCount;
    list.capacity = static_cast<uint32_t>(capacity);
    context.pendingCount = 0;
    return true;
}

}  // namespace

bool fileLine(ScriptReader& reader, FileListState& state) {
    BlockMessage& message = state.fileMessage;
    if (IsAbsoluteScriptText(reader.line, reader.lineLength)) {
        return Fail(state, message, "Files in a file list cannot have absolute paths");
    }
    // Kept as written below the script's directory; job preparation normalizes it.
    Path entry;
    ScriptArena* arena = state.target->arena;
    const CountedString directory = reader.directoryText();
    const bool joined = arena != nullptr
                            ? JoinInArena(reader, state, *arena, entry)
                            : JoinScriptPath(directory.bytes, directory.length, reader.line, reader.lineLength, entry);
    if (!joined) {
        entry.Release();
        return OutOfMemory(state, message);
    }
    if (!AddEntry(*reader.context, *state.target, entry)) {
        entry.Release();
        return OutOfMemory(state, message);
    }
    return true;
}

bool fileListIncludeLine(ScriptReader& reader, FileListState& state) {
    BlockMessage& message = state.includeMessage;
    const char* name = reader.lineText();
    void* block = reader.context->blocks.Find(name);
    if (block == nullptr) return Fail(state, message, "Unknown file list {0}", {{FormatString, name}});
    if (KindOf(block) != BlockKind::FileList) {
        return Fail(state, message, "{0} not a file list", {{FormatString, name}});
    }
    if (block == state.target) return Fail(state, message, "File list cannot include itself");
    const auto& source = *static_cast<const FileList*>(block);
    for (uint32_t i = 0; i < source.count; ++i) {
        Path copy;
        if (!CopyNativePath(source.entries[i], copy, state.target->arena)) return OutOfMemory(state, message);
        if (!AddEntry(*reader.context, *state.target, copy)) {
            copy.Release();
            return OutOfMemory(state, message);
        }
    }
    return true;
}

bool OpenFileList(ScriptReader& reader) {
    auto* state = new (std::nothrow) FileListState();
    if (!pushBlock(reader, kFileListHandler, state)) return false;
    if (state == nullptr) return false;
    const uint32_t start = reader.cursor + 1;
    const uint32_t end = TrimmedEnd(reader, start);
    if (start >= end) return Fail(*state, state->message, "File list name cannot be empty");
    const char* name = TerminateSpan(reader, start, end);
    if (reader.context->blocks.Find(name) != nullptr) {
        return Fail(*state, state->message, "File list name {0} already used", {{FormatString, name}});
    }
    FileList* list = NewFileList();
    if (list == nullptr) return OutOfMemory(*state, state->message);
    // The context holds the arena as long as the list.
    list->arena = reader.context->arena;
    if (!InsertNamed(reader.context->blocks, name, end - start, list, DestroyFileListEntry)) {
        DestroyFileList(list);
        return OutOfMemory(*state, state->message);
    }
    state->target = list;
    return true;
}

}  // namespace kestrel
