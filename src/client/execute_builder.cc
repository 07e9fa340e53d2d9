#include "client/execute_builder.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace kestrel {

namespace {

constexpr uint32_t kFirstItemCapacity = 8;
constexpr uint32_t kFirstTextCapacity = 256;
// A bitmap larger than this cannot be counted in the Execute's count byte.
constexpr uint32_t kMaxBitmapBytes = 255;

bool IsEnumeration(const ArgumentPart& part) { return (part.flags & kPartEnumerate) != 0; }

bool IsPlainEnumeration(const ArgumentPart& part) {
    return (part.flags & (kPartEnumerate | kPartAlong)) == kPartEnumerate;
}

bool IsEnvironment(const ArgumentPart& part) { return (part.flags & kPartEnvironment) != 0; }

bool HasLiteral(const ArgumentPart& part) { return part.literal != nullptr && part.literal[0] != '\0'; }

bool StartsArgument(const ArgumentPart& part) { return (part.flags & kPartArgumentStart) != 0; }

// The item of a part that a link of the command names; null for a link
// outside the command.
CommandWorkItem* ItemOf(const CommandWork& work, const ArgumentPart* part) {
    if (part == nullptr || part < work.command->parts || part >= work.command->parts + work.count) return nullptr;
    return &work.items[part - work.command->parts];
}

// ---- Values of a bound member --------------------------------------------

bool IsBaseEntry(const Path* path) { return (path->flags & kPathBaseEntry) != 0; }

Path* const* FirstPathValue(Path* const* at, Path* const* end) {
    while (at != end && IsBaseEntry(*at)) ++at;
    return at;
}

uint32_t CountValues(const ValueList& list) {
    uint32_t count = 0;
    if (list.start == nullptr) return 0;
    for (const char* value = list.start; value < list.end; value += std::strlen(value) + 1) ++count;
    return count;
}

uint32_t CountPathValues(const PathList& list) {
    uint32_t count = 0;
    for (Path* const* at = list.prepared; at != list.preparedEnd; ++at) count += IsBaseEntry(*at) ? 0 : 1;
    return count;
}

void Rewind(CommandWorkItem& item) {
    item.position = 0;
    if (MemberKindOf(item.member) == MemberKind::Values) {
        item.value = static_cast<const ValueList*>(item.member)->start;
    } else {
        const auto* list = static_cast<const PathList*>(item.member);
        item.path = FirstPathValue(list->prepared, list->preparedEnd);
    }
}

// The next value; false (and back at the first value) after the last one.
bool Advance(CommandWorkItem& item) {
    if (item.member == nullptr || item.position + 1 >= item.valueCount) {
        if (item.member != nullptr) Rewind(item);
        return false;
    }
    ++item.position;
    if (MemberKindOf(item.member) == MemberKind::Values) {
        item.value += std::strlen(item.value) + 1;
    } else {
        const auto* list = static_cast<const PathList*>(item.member);
        item.path = FirstPathValue(item.path + 1, list->preparedEnd);
    }
    return true;
}

// Binds one part. Literal-only and environment parts stay unbound; a member
// that is absent or has no value leaves the part missing.
CommandBuild Bind(CommandWorkItem& item, const Job& job, const ArgumentPart& part) {
    new (&item) CommandWorkItem();
    item.part = &part;
    if (part.reference == nullptr || IsEnvironment(part)) return CommandBuild::Ready;
    const void* member = job.data.members.Find(part.reference);
    uint32_t count = 0;
    if (member != nullptr && MemberKindOf(member) == MemberKind::Values) {
        count = CountValues(*static_cast<const ValueList*>(member));
    } else if (member != nullptr) {
        const auto& list = *static_cast<const PathList*>(member);
        // Preparation gives every path member a command uses its prepared array.
        if (list.prepared == nullptr) return CommandBuild::InvalidPath;
        count = CountPathValues(list);
    }
    if (count == 0) {
        item.missing = true;
        return CommandBuild::Ready;
    }
    item.member = member;
    item.valueCount = count;
    Rewind(item);
    return CommandBuild::Ready;
}

// ---- Assembling one string ------------------------------------------------

// The UTF-8 text of one string in the work area's buffer.
struct StringText {
    CommandWork& work;
    uint32_t length = 0;
    CommandBuild failure = CommandBuild::Ready;
};

bool Grow(StringText& text, uint64_t needed) {
    if (needed > kMaxRequestPayload) {
        // Its encoded form is at least as long: it cannot fit in a payload.
        text.failure = CommandBuild::TooLong;
        return false;
    }
    uint64_t capacity = text.work.textCapacity > 0 ? text.work.textCapacity : kFirstTextCapacity;
    while (capacity < needed) capacity *= 2;
    if (capacity > kMaxRequestPayload) capacity = kMaxRequestPayload;
    auto* grown = static_cast<char*>(std::realloc(text.work.text, capacity));
    if (grown == nullptr) {
        text.failure = CommandBuild::NoMemory;
        return false;
    }
    text.work.text = grown;
    text.work.textCapacity = static_cast<uint32_t>(capacity);
    return true;
}

bool Append(StringText& text, const char* bytes, uint32_t count) {
    if (text.failure != CommandBuild::Ready) return false;
    const uint64_t needed = static_cast<uint64_t>(text.length) + count;
    if (needed > text.work.textCapacity && !Grow(text, needed)) return false;
    if (count > 0) std::memcpy(text.work.text + text.length, bytes, count);
    text.length += count;
    return true;
}

bool AppendString(StringText& text, const char* string) {
    return string == nullptr || Append(text, string, static_cast<uint32_t>(std::strlen(string)));
}

// The component's length without its extension: cut before the last '.',
// unless that '.' is the first character.
uint32_t BaseNameLength(const PathComponent& component) {
    for (uint32_t at = component.length; at > 1; --at) {
        if (component.text[at - 1] == '.') return at - 1;
    }
    return component.length;
}

// Expansion writes relative UTF-8 paths only; anything else cannot be
// written for the machine.
bool IsWritablePath(const Path& path) {
    constexpr uint32_t kRoots = kPathAbsolute | kPathDriveRoot | kPathUncRoot;
    return (path.flags & (kPathWide | kRoots)) == 0;
}

void AppendComponents(StringText& text, const PathComponent* first, const PathComponent* last,
                      const PathComponent* cut, const char* separator, uint32_t separatorLength) {
    for (const PathComponent* c = first; c != nullptr; c = c->next) {
        if (c != first) Append(text, separator, separatorLength);
        Append(text, c->text, c == cut ? BaseNameLength(*c) : c->length);
        if (c == last) break;
    }
}

CommandBuild AppendPathValue(StringText& text, const Path& path, uint32_t options, const char* separator,
                             uint32_t separatorLength) {
    if (!IsWritablePath(path) || path.first == nullptr) return CommandBuild::InvalidPath;
    const PathComponent* first = path.first;
    const PathComponent* last = path.last;
    if ((options & kPartFileName) != 0) {
        first = last;
    } else if ((options & kPartDirectoryName) != 0) {
        // A file directly in the working directory lies in ".", and an empty
        // string would end the parameter list where the log reads it.
        if (first == last) return Append(text, ".", 1) ? CommandBuild::Ready : text.failure;
        last = last->previous;
    }
    const PathComponent* cut = (options & kPartBaseName) != 0 ? path.last : nullptr;
    AppendComponents(text, first, last, cut, separator, separatorLength);
    return text.failure;
}

// The part's literal and its current value (an along part writes its
// partner's value with its own options; an environment part its name).
CommandBuild AppendPart(StringText& text, const CommandWork& work, const CommandWorkItem& item,
                        const char* separator, uint32_t separatorLength) {
    const ArgumentPart& part = *item.part;
    AppendString(text, part.literal);
    if (IsEnvironment(part)) AppendString(text, part.reference);
    const CommandWorkItem* source = &item;
    if ((part.flags & kPartAlong) != 0) source = ItemOf(work, part.alongPartner);
    if (source == nullptr || source->member == nullptr) return text.failure;
    if (MemberKindOf(source->member) == MemberKind::Values) {
        AppendString(text, source->value);
        return text.failure;
    }
    if (text.failure != CommandBuild::Ready) return text.failure;
    return AppendPathValue(text, **source->path, part.flags, separator, separatorLength);
}

CommandBuild Emit(PayloadWriter& writer, const StringText& text) {
    if (text.failure != CommandBuild::Ready) return text.failure;
    switch (AddExecuteString(writer, text.work.text, text.length)) {
        case TextAppend::Done:
            return CommandBuild::Ready;
        case TextAppend::TooLong:
            return CommandBuild::TooLong;
        case TextAppend::InvalidText:
            break;
    }
    return CommandBuild::InvalidPath;
}

// ---- Arguments ---------------------------------------------------------------

uint32_t ArgumentEnd(const CommandWork& work, uint32_t begin) {
    uint32_t end = begin + 1;
    while (end < work.count && !StartsArgument(*work.items[end].part)) ++end;
    return end;
}

// Every part names a missing member and has no literal to keep.
bool IsDropped(const CommandWork& work, uint32_t begin, uint32_t end) {
    for (uint32_t i = begin; i < end; ++i) {
        const CommandWorkItem& item = work.items[i];
        if (!item.missing || HasLiteral(*item.part)) return false;
    }
    return true;
}

bool Repeats(const CommandWorkItem& item) { return !IsEnumeration(*item.part) && item.valueCount > 1; }

// The next combination of the argument's repeating parts, the last one
// fastest; false once all have wrapped (each is then at its first value).
bool NextRepetition(CommandWork& work, uint32_t begin, uint32_t end) {
    for (uint32_t i = end; i > begin; --i) {
        CommandWorkItem& item = work.items[i - 1];
        if (Repeats(item) && Advance(item)) return true;
    }
    return false;
}

void RewindRepetitions(CommandWork& work, uint32_t begin, uint32_t end) {
    for (uint32_t i = begin; i < end; ++i) {
        if (Repeats(work.items[i])) Rewind(work.items[i]);
    }
}

// Whether a bitmap of `bytes` bytes, with the pad byte a UTF-16 message puts
// after it when the strings would start at an odd offset, fits its count byte.
bool Countable(uint32_t bytes, bool utf16) {
    return (utf16 && (4 + bytes) % 2 != 0 ? bytes + 1 : bytes) <= kMaxBitmapBytes;
}

// Remembers which string an environment part becomes (its argument's one
// string), for the log's bitmap; false when that bitmap could not count it.
bool NoteEnvironmentStrings(CommandWork& work, uint32_t begin, uint32_t end, uint32_t strings, bool utf16) {
    for (uint32_t i = begin; i < end; ++i) {
        if (!IsEnvironment(*work.items[i].part)) continue;
        if (!Countable(ExecuteBitmapBytes(strings), utf16)) return false;
        work.items[i].stringIndex = strings;
    }
    return true;
}

// `strings` counts the strings written so far (the executable first).
CommandBuild WriteArgument(CommandWork& work, uint32_t begin, uint32_t end, const char* separator,
                           uint32_t separatorLength, PayloadWriter& writer, uint32_t& strings) {
    // The executable is kept even when nothing of it is left: an empty one
    // fails to start, where dropping it would run the first parameter.
    if (begin > 0 && IsDropped(work, begin, end)) return CommandBuild::Ready;
    if (!NoteEnvironmentStrings(work, begin, end, strings, writer.utf16)) return CommandBuild::TooLong;
    do {
        StringText text{work};
        for (uint32_t i = begin; i < end && text.failure == CommandBuild::Ready; ++i) {
            text.failure = AppendPart(text, work, work.items[i], separator, separatorLength);
        }
        const CommandBuild written = Emit(writer, text);
        if (written != CommandBuild::Ready) {
            RewindRepetitions(work, begin, end);
            return written;
        }
        ++strings;
    } while (NextRepetition(work, begin, end));
    return CommandBuild::Ready;
}

CommandBuild WriteDirectory(CommandWork& work, const Path& directory, const char* separator,
                            uint32_t separatorLength, PayloadWriter& writer) {
    StringText text{work};
    if (directory.first != nullptr) {
        if (!IsWritablePath(directory)) return CommandBuild::InvalidPath;
        AppendComponents(text, directory.first, directory.last, nullptr, separator, separatorLength);
    }
    return Emit(writer, text);
}

// Type, job ID, the environment flag and the bitmap (or the pad byte).
CommandBuild WriteHead(const CommandWork& work, uint8_t jobId, PayloadWriter& writer) {
    uint32_t bitmapBytes = 0;
    for (uint32_t i = 0; i < work.count; ++i) {
        if (IsEnvironment(*work.items[i].part)) bitmapBytes = ExecuteBitmapBytes(i);
    }
    if (bitmapBytes > 0 && work.command->environmentMapSize > bitmapBytes) {
        bitmapBytes = work.command->environmentMapSize;
    }
    if (bitmapBytes > kMaxBitmapBytes) return CommandBuild::TooLong;
    uint8_t bitmap[kMaxBitmapBytes] = {};
    for (uint32_t i = 0; i < work.count; ++i) {
        if (IsEnvironment(*work.items[i].part)) SetBitmapBit(bitmap, i);
    }
    return BeginExecute(writer, jobId, bitmap, bitmapBytes) ? CommandBuild::Ready : CommandBuild::TooLong;
}

bool ReserveItems(CommandWork& work, uint32_t count) {
    if (count <= work.capacity) return true;
    uint32_t capacity = work.capacity > 0 ? work.capacity * 2 : kFirstItemCapacity;
    if (capacity < count) capacity = count;
    auto* items = static_cast<CommandWorkItem*>(std::malloc(static_cast<size_t>(capacity) * sizeof(CommandWorkItem)));
    if (items == nullptr) return false;
    std::free(work.items);
    work.items = items;
    work.capacity = capacity;
    return true;
}

}  // namespace

CommandBuild BeginCommand(CommandWork& work, const Job& job, const Command& command) {
    work.command = &command;
    work.flags = command.flags & ~kCommandDone;
    work.count = 0;
    work.innermost = kNoEnumeration;
    const uint32_t count = command.partCount();
    if (!ReserveItems(work, count)) return CommandBuild::NoMemory;
    work.count = count;
    for (uint32_t i = 0; i < count; ++i) {
        const ArgumentPart& part = command.parts[i];
        const CommandBuild bound = Bind(work.items[i], job, part);
        if (bound != CommandBuild::Ready) return bound;
        if (work.items[i].missing && (part.flags & (kPartEnumerate | kPartRequired)) != 0) {
            work.flags |= kCommandDone;
            return CommandBuild::Skip;
        }
        if (IsPlainEnumeration(part) && part.innerEnumeration == nullptr) work.innermost = i;
    }
    return CommandBuild::Ready;
}

CommandBuild WriteExecute(CommandWork& work, const Job& job, uint8_t jobId, const char* separator,
                          uint32_t separatorLength, PayloadWriter& writer) {
    CommandBuild result = WriteHead(work, jobId, writer);
    if (result != CommandBuild::Ready) return result;
    work.stringsOffset = writer.length;
    result = WriteDirectory(work, job.relativeDirectory, separator, separatorLength, writer);
    uint32_t strings = 0;
    for (uint32_t begin = 0; begin < work.count && result == CommandBuild::Ready;) {
        const uint32_t end = ArgumentEnd(work, begin);
        result = WriteArgument(work, begin, end, separator, separatorLength, writer, strings);
        begin = end;
    }
    return result;
}

PayloadWriter WriteExecuteLogHead(const CommandWork& work, uint8_t jobId, bool utf16, uint8_t* buffer) {
    uint8_t bitmap[kMaxBitmapBytes] = {};
    uint32_t bitmapBytes = 0;
    for (uint32_t i = 0; i < work.count; ++i) {
        const CommandWorkItem& item = work.items[i];
        if (!IsEnvironment(*item.part)) continue;
        SetBitmapBit(bitmap, item.stringIndex);
        if (ExecuteBitmapBytes(item.stringIndex) > bitmapBytes) bitmapBytes = ExecuteBitmapBytes(item.stringIndex);
    }
    PayloadWriter head = BeginPayload(buffer, utf16, kExecuteLogHeadBuffer - kMessageHeaderSize);
    // WriteExecute refused a payload whose string bitmap would not fit.
    if (!BeginExecute(head, jobId, bitmap, bitmapBytes)) head.length = 0;
    return head;
}

bool NextCombination(CommandWork& work) {
    CommandWorkItem* item = work.innermost == kNoEnumeration ? nullptr : &work.items[work.innermost];
    while (item != nullptr) {
        if (Advance(*item)) return true;
        item = ItemOf(work, item->part->outerEnumeration);
    }
    work.flags |= kCommandDone;
    return false;
}

void ReleaseCommandWork(CommandWork& work) {
    std::free(work.items);
    std::free(work.text);
    work = CommandWork{};
}

}  // namespace kestrel
