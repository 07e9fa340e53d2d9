#include "script/data_block.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "script/line_text.h"
#include "script/script_arena.h"
#include "script/script_paths.h"
#include "script/script_reader.h"

namespace kestrel {

namespace {

constexpr const char* kAboveRoot = "The path could not be normalized, the path points above the root";

DataContext& ContextOf(ScriptReader& reader) { return *static_cast<DataContext*>(reader.top->object); }

// Sets `message` and returns false, for `return Fail(...)`.
bool Fail(DataContext& context, BlockMessage& message, const char* pattern,
          std::initializer_list<FormatArg> args = {}) {
    message.format(context.memoryMessage, pattern, args);
    return false;
}

bool OutOfMemory(DataContext& context, BlockMessage& message) {
    message.setStatic(context.memoryMessage);
    return false;
}

// A value or path line split at its first '='.
struct DataLine {
    uint32_t nameEnd = 0;     // the name is [0, nameEnd)
    uint32_t valueStart = 0;  // the value is [valueStart, lineLength) when hasValue
    bool hasValue = false;
};

// The name runs to the last non-space before the first '='. When spaces
// stand between the name and '=', spaces after '=' are skipped too.
DataLine SplitDataLine(const ScriptReader& reader) {
    DataLine split;
    const char* equals = static_cast<const char*>(std::memchr(reader.line, '=', reader.lineLength));
    if (equals == nullptr) {
        split.nameEnd = TrimmedEnd(reader, 0);
        return split;
    }
    const uint32_t at = static_cast<uint32_t>(equals - reader.line);
    split.nameEnd = at;
    while (split.nameEnd > 0 && reader.line[split.nameEnd - 1] == ' ') --split.nameEnd;
    split.valueStart = split.nameEnd == at ? at + 1 : SkipSpaces(reader, at + 1);
    split.hasValue = split.valueStart < reader.lineLength;
    return split;
}

bool IsReserved(const DataContext& context, const char* name, uint32_t length) {
    return (context.flags & DataContext::kReservedCheck) != 0 && length >= 4 && std::memcmp(name, "KV ", 3) == 0;
}

bool InsertMember(DataContext& context, const char* name, void* member) {
    if (!AddMember(*context.target, name, static_cast<uint32_t>(std::strlen(name)), member)) {
        DestroyMember(member);
        return false;
    }
    return true;
}

// A new path member over `directory` holding the non-base entries of `source`.
PathAppendResult CopyPathMember(const PathList& source, const Path& directory, ScriptArena& arena,
                                PathList*& created) {
    created = NewPathList(directory, arena);
    if (created == nullptr) return PathAppendResult::NoMemory;
    for (uint32_t i = 0; i < source.pathCount; ++i) {
        if ((source.paths[i].flags & kPathBaseEntry) != 0) continue;
        const PathAppendResult result = AppendPathCopy(*created, source.paths[i], false);
        if (result != PathAppendResult::Appended) {
            DestroyPathList(created);
            created = nullptr;
            return result;
        }
    }
    return PathAppendResult::Appended;
}

bool ReportAppend(DataContext& context, PathAppendResult result) {
    if (result == PathAppendResult::Appended) return true;
    if (result == PathAppendResult::AboveRoot) return Fail(context, context.includeMessage, kAboveRoot);
    return OutOfMemory(context, context.includeMessage);
}

// Merges one member of an included data block into the target member `name`.
bool MergeMember(ScriptReader& reader, DataContext& context, const char* sourceName, void* source, const char* name) {
    BlockMessage& message = context.includeMessage;
    void* existing = context.target->members.Find(name);
    const bool sourceIsValues = MemberKindOf(source) == MemberKind::Values;
    if (existing == nullptr) {
        if (sourceIsValues) {
            const auto& values = *static_cast<const ValueList*>(source);
            ValueList* copy = NewValueList(static_cast<uint32_t>(values.end - values.start));
            if (copy == nullptr || !AppendValues(*copy, values)) {
                DestroyValueList(copy);
                return OutOfMemory(context, message);
            }
            return InsertMember(context, name, copy) || OutOfMemory(context, message);
        }
        PathList* copy = nullptr;
        const PathAppendResult result = CopyPathMember(*static_cast<const PathList*>(source), reader.directory,
                                                           *reader.context->arena, copy);
        if (result != PathAppendResult::Appended) return ReportAppend(context, result);
        return InsertMember(context, name, copy) || OutOfMemory(context, message);
    }
    if (MemberKindOf(existing) == MemberKind::Values) {
        if (!sourceIsValues) {
            return Fail(context, message, "Cannot add the path {0} to the non-path member {1}",
                        {{FormatString, sourceName}, {FormatString, name}});
        }
        return AppendValues(*static_cast<ValueList*>(existing), *static_cast<const ValueList*>(source)) ||
               OutOfMemory(context, message);
    }
    if (sourceIsValues) {
        return Fail(context, message, "Cannot add the value {0} to the non-value member {1}",
                    {{FormatString, sourceName}, {FormatString, name}});
    }
    // Appended whole, base entries included and still marked.
    auto& target = *static_cast<PathList*>(existing);
    const auto& paths = *static_cast<const PathList*>(source);
    for (uint32_t i = 0; i < paths.pathCount; ++i) {
        const PathAppendResult result = AppendPathCopy(target, paths.paths[i], true);
        if (result != PathAppendResult::Appended) return ReportAppend(context, result);
    }
    return true;
}

// Members merge in the order the included block declares them.
bool IncludeDataBlock(ScriptReader& reader, DataContext& context, const DataBlock& source) {
    for (uint32_t i = 0; i < source.declaredCount; ++i) {
        const DeclaredMember& declared = source.declared[i];
        const char* name = context.withName != nullptr ? context.withName : declared.name;
        if (!MergeMember(reader, context, declared.name, declared.member, name)) return false;
    }
    return true;
}

bool IncludeFileList(ScriptReader& reader, DataContext& context, const FileList& source, const char* sourceName) {
    BlockMessage& message = context.includeMessage;
    if (context.withName == nullptr) {
        return Fail(context, message, "The file list {0} cannot be included without a name",
                    {{FormatString, sourceName}});
    }
    void* existing = context.target->members.Find(context.withName);
    if (existing != nullptr && MemberKindOf(existing) == MemberKind::Values) {
        return Fail(context, message, "Cannot add a file list to the non-path member {0}",
                    {{FormatString, context.withName}});
    }
    PathList* created = nullptr;
    PathList* target = static_cast<PathList*>(existing);
    if (target == nullptr) {
        target = created = NewPathList(reader.directory, *reader.context->arena);
        if (target == nullptr) return OutOfMemory(context, message);
    }
    for (uint32_t i = 0; i < source.count; ++i) {
        const PathAppendResult result = AppendPathCopy(*target, source.entries[i], false);
        if (result != PathAppendResult::Appended) {
            DestroyPathList(created);
            return ReportAppend(context, result);
        }
    }
    if (created != nullptr && !InsertMember(context, context.withName, created)) return OutOfMemory(context, message);
    return true;
}

// ---- Frames ----------------------------------------------------------------

bool ValueBlockLine(ScriptReader& reader) { return valueLine(reader, ContextOf(reader)); }
bool PathBlockLine(ScriptReader& reader) { return pathLine(reader, ContextOf(reader)); }
bool IncludeBlockLine(ScriptReader& reader) { return includeLine(reader, ContextOf(reader)); }

const char* DescribeValueBlock(void* object) { return static_cast<DataContext*>(object)->valueMessage.text; }
const char* DescribePathBlock(void* object) { return static_cast<DataContext*>(object)->pathMessage.text; }
const char* DescribeIncludeBlock(void* object) { return static_cast<DataContext*>(object)->includeMessage.text; }

const char* DescribeDataBlock(void* object) {
    if (object == nullptr) return "Insufficient memory for data";
    return static_cast<DataContext*>(object)->message.text;
}

void ReleaseDataBlock(ScriptReader& reader) { delete static_cast<DataContext*>(reader.top->object); }

bool UnknownDataLine(ScriptReader& reader) {
    DataContext& context = ContextOf(reader);
    const CountedString text = WholeLine(reader);
    return Fail(context, context.message, "Unknown line in data block: {0}", {{FormatCountedString, &text}});
}

// "value" or "path": one "s" may follow, then only spaces.
bool OpenMemberBlock(ScriptReader& reader, const BlockHandler& handler, BlockMessage DataContext::*message,
                     const char* parametersText) {
    DataContext& context = ContextOf(reader);
    const KeywordTail tail = ReadKeywordTail(reader);
    if (tail == KeywordTail::Unknown) return UnknownDataLine(reader);
    if (!pushBlock(reader, handler, &context)) return false;
    if (tail == KeywordTail::Parameters) return Fail(context, context.*message, parametersText);
    return true;
}

bool OpenValueLines(ScriptReader& reader) {
    return OpenMemberBlock(reader, kValueBlockHandler, &DataContext::valueMessage,
                           "No parameters allowed for value block");
}

bool OpenPathLines(ScriptReader& reader) {
    return OpenMemberBlock(reader, kPathBlockHandler, &DataContext::pathMessage,
                           "No parameters allowed for path block");
}

bool InvalidIncludeParameter(ScriptReader& reader) {
    DataContext& context = ContextOf(reader);
    const CountedString text = LineSpan(reader, SkipSpaces(reader, context.includeParameter), reader.lineLength);
    return Fail(context, context.includeMessage, "Invalid include parameter {0} in the data block",
                {{FormatCountedString, &text}});
}

bool IncludeWithName(ScriptReader& reader) {
    DataContext& context = ContextOf(reader);
    const uint32_t start = reader.cursor + 1;
    const uint32_t end = TrimmedEnd(reader, start);
    if (start >= end) return Fail(context, context.includeMessage, "Empty name in include with name block");
    char* name = CopyText(reader.line + start, end - start);
    if (name == nullptr) return OutOfMemory(context, context.includeMessage);
    context.setWithName(name);
    return true;
}

constexpr Keyword kWithNameKeywords[] = {{" with name ", IncludeWithName}};

// "include", one optional "s", then nothing or " with name " and a member name.
bool OpenIncludeLines(ScriptReader& reader) {
    DataContext& context = ContextOf(reader);
    if (!pushBlock(reader, kDataIncludeBlockHandler, &context)) return false;
    context.setWithName(nullptr);
    uint32_t position = reader.cursor + 1;
    if (position < reader.lineLength && reader.line[position] == 's') ++position;
    context.includeParameter = position;
    if (SkipSpaces(reader, position) == reader.lineLength) return true;
    reader.cursor = position;
    return matchKeywords(reader, KeywordTrieOf<kWithNameKeywords>.table(), InvalidIncludeParameter);
}

constexpr Keyword kDataBlockKeywords[] = {
    {"include", OpenIncludeLines},
    {"value", OpenValueLines},
    {"path", OpenPathLines},
};

constinit const BlockHandler kDataBlockHandler{
    KeywordTrieOf<kDataBlockKeywords>.table(), UnknownDataLine, nullptr, ReleaseDataBlock, DescribeDataBlock,
};

}  // namespace

constinit const BlockHandler kValueBlockHandler{{}, ValueBlockLine, nullptr, nullptr, DescribeValueBlock};
constinit const BlockHandler kPathBlockHandler{{}, PathBlockLine, nullptr, nullptr, DescribePathBlock};
constinit const BlockHandler kDataIncludeBlockHandler{{}, IncludeBlockLine, nullptr, nullptr, DescribeIncludeBlock};

DataContext::~DataContext() { std::free(withName); }

void DataContext::setWithName(char* name) {
    std::free(withName);
    withName = name;
}

bool valueLine(ScriptReader& reader, DataContext& context) {
    BlockMessage& message = context.valueMessage;
    if (reader.lineLength > 0 && reader.line[0] == '=') return Fail(context, message, "Data has no name");
    const DataLine split = SplitDataLine(reader);
    const uint32_t valueLength = split.hasValue ? reader.lineLength - split.valueStart : 0;
    const char* name = TerminateSpan(reader, 0, split.nameEnd);
    const char* value = reader.line + split.valueStart;
    if (!split.hasValue && (context.flags & DataContext::kValueOptional) == 0) {
        return Fail(context, message, "Data {0} has no value", {{FormatString, name}});
    }
    void* existing = context.target->members.Find(name);
    if (existing != nullptr) {
        if (MemberKindOf(existing) != MemberKind::Values) {
            return Fail(context, message, "The name {0} has already been assigned to non-value data",
                        {{FormatString, name}});
        }
        if (!split.hasValue) return true;
        return AppendValue(*static_cast<ValueList*>(existing), value, valueLength) || OutOfMemory(context, message);
    }
    if (std::strpbrk(name, "<>") != nullptr) return Fail(context, message, "A data label may not contain a < or >");
    if (IsReserved(context, name, split.nameEnd)) {
        return Fail(context, message, "Names beginning with 'KV ' are reserved");
    }
    ValueList* values = NewValueList(valueLength);
    if (values == nullptr || (split.hasValue && !AppendValue(*values, value, valueLength))) {
        DestroyValueList(values);
        return OutOfMemory(context, message);
    }
    return InsertMember(context, name, values) || OutOfMemory(context, message);
}

bool pathLine(ScriptReader& reader, DataContext& context) {
    BlockMessage& message = context.pathMessage;
    if (reader.lineLength > 0 && reader.line[0] == '=') return Fail(context, message, "Data has no name");
    const DataLine split = SplitDataLine(reader);
    const char* name = TerminateSpan(reader, 0, split.nameEnd);
    if (!split.hasValue) return Fail(context, message, "Data {0} has no value", {{FormatString, name}});
    const char* value = reader.line + split.valueStart;
    const uint32_t valueLength = reader.lineLength - split.valueStart;
    void* existing = context.target->members.Find(name);
    if (existing != nullptr && MemberKindOf(existing) != MemberKind::Paths) {
        return Fail(context, message, "The name {0} has already been assigned to non-path data",
                    {{FormatString, name}});
    }
    if (existing == nullptr && IsReserved(context, name, split.nameEnd)) {
        return Fail(context, message, "Names beginning with 'KV ' are reserved");
    }
    if (IsAbsoluteScriptText(value, valueLength)) {
        return Fail(context, message, "Files in a data path values cannot have absolute paths");
    }
    PathList* created = nullptr;
    PathList* paths = static_cast<PathList*>(existing);
    if (paths == nullptr) {
        paths = created = NewPathList(reader.directory, *reader.context->arena);
        if (paths == nullptr) return OutOfMemory(context, message);
    }
    const PathAppendResult result = AppendRelativePath(*paths, value, valueLength);
    if (result != PathAppendResult::Appended) {
        DestroyPathList(created);
        if (result == PathAppendResult::AboveRoot) return Fail(context, message, kAboveRoot);
        return OutOfMemory(context, message);
    }
    if (created != nullptr && !InsertMember(context, name, created)) return OutOfMemory(context, message);
    return true;
}

bool includeLine(ScriptReader& reader, DataContext& context) {
    BlockMessage& message = context.includeMessage;
    const char* name = reader.lineText();
    void* block = reader.context->blocks.Find(name);
    if (block == nullptr) return Fail(context, message, "Cannot find block {0}", {{FormatString, name}});
    switch (KindOf(block)) {
        case BlockKind::DataBlock:
            if (block == context.target) return Fail(context, message, "The data block cannot include itself");
            return IncludeDataBlock(reader, context, *static_cast<const DataBlock*>(block));
        case BlockKind::FileList:
            return IncludeFileList(reader, context, *static_cast<const FileList*>(block), name);
        default:
            return Fail(context, message, "Cannot include block {0} as data", {{FormatString, name}});
    }
}

bool OpenDataBlock(ScriptReader& reader) {
    auto* context = new (std::nothrow) DataContext();
    if (!pushBlock(reader, kDataBlockHandler, context)) return false;
    if (context == nullptr) return false;
    context->flags = DataContext::kReservedCheck;
    const uint32_t start = reader.cursor + 1;
    const uint32_t end = TrimmedEnd(reader, start);
    if (start >= end) return Fail(*context, context->message, "Data block name cannot be empty");
    const char* name = TerminateSpan(reader, start, end);
    if (reader.context->blocks.Find(name) != nullptr) {
        return Fail(*context, context->message, "Data block name {0} already used", {{FormatString, name}});
    }
    DataBlock* block = NewDataBlock(reader.context->arena);
    if (block == nullptr) return OutOfMemory(*context, context->message);
    if (!InsertNamed(reader.context->blocks, name, end - start, block, DestroyDataBlockEntry)) {
        DestroyDataBlock(block);
        return OutOfMemory(*context, context->message);
    }
    context->target = block;
    return true;
}

}  // namespace kestrel
