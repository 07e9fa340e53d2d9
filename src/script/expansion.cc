#include "script/expansion.h"

#include <cstdint>
#include <cstring>
#include <span>

#include "script/line_text.h"
#include "script/script_reader.h"

namespace kestrel {

namespace {

constexpr const char* kNotTerminated = "Expansion not terminated";
constexpr const char* kBadOrder = "Incorrect enumeration order in command line";

CommandContext& ContextOf(ScriptReader& reader) { return *static_cast<CommandContext*>(reader.top->object); }

ArgumentPart& CurrentPart(CommandContext& context) { return context.currentCommand().parts[context.currentPart]; }

uint32_t FindByte(const ScriptReader& reader, uint32_t from, char byte) {
    const void* found = std::memchr(reader.line + from, byte, reader.lineLength - from);
    return found != nullptr ? static_cast<uint32_t>(static_cast<const char*>(found) - reader.line) : reader.lineLength;
}

bool EndsOption(const ScriptReader& reader, uint32_t position) {
    return position < reader.lineLength && (reader.line[position] == ',' || reader.line[position] == '>');
}

// ---- Options ---------------------------------------------------------------

bool InvalidOption(ScriptReader& reader) {
    CommandContext& context = ContextOf(reader);
    const uint32_t start = SkipSpaces(reader, context.optionStart);
    // An option list cut off by the end of the line has no text to show.
    if (start == reader.lineLength) return context.fail(kNotTerminated);
    if (start < reader.lineLength && reader.line[start] == '>') return context.fail("Empty expansion option");
    const CountedString text = LineSpan(reader, start, FindByte(reader, start, '>'));
    return context.fail("Invalid expansion option {0}", {{FormatCountedString, &text}});
}

// The option keyword ends at the cursor; an optional plural "s" and spaces
// may follow before the ',' or '>' that ends it.
bool OptionTail(ScriptReader& reader, uint32_t flags, bool plural) {
    uint32_t position = reader.cursor + 1;
    if (plural && position < reader.lineLength && reader.line[position] == 's') ++position;
    position = SkipSpaces(reader, position);
    if (!EndsOption(reader, position)) return InvalidOption(reader);
    CurrentPart(ContextOf(reader)).flags |= flags;
    reader.cursor = position;
    return true;
}

bool Required(ScriptReader& reader) { return OptionTail(reader, kPartRequired, false); }
bool BaseName(ScriptReader& reader) { return OptionTail(reader, kPartBaseName, true); }
bool DirectoryName(ScriptReader& reader) { return OptionTail(reader, kPartDirectoryName, true); }
bool FileName(ScriptReader& reader) { return OptionTail(reader, kPartFileName, true); }
bool Environment(ScriptReader& reader) { return OptionTail(reader, kPartEnvironment, false); }
bool Along(ScriptReader& reader) { return OptionTail(reader, kPartEnumerate | kPartAlong, false); }

// "enumerate within" + name: the name runs to the next '>' or ','.
bool Within(ScriptReader& reader) {
    CommandContext& context = ContextOf(reader);
    const uint32_t after = reader.cursor + 1;
    if (after < reader.lineLength && reader.line[after] != ' ' && !EndsOption(reader, after)) {
        return InvalidOption(reader);
    }
    uint32_t end = after;
    while (end < reader.lineLength && reader.line[end] != '>' && reader.line[end] != ',') ++end;
    if (end == reader.lineLength) return context.fail(kNotTerminated);
    const uint32_t start = SkipSpaces(reader, after);
    uint32_t nameEnd = end;
    while (nameEnd > start && reader.line[nameEnd - 1] == ' ') --nameEnd;
    if (start >= nameEnd) return context.fail("No parameter specified for within");
    const char* resolved = nullptr;
    switch (context.lookup(context.owner, reader.line + start, nameEnd - start, resolved)) {
        case NameLookup::Found:
            break;
        case NameLookup::Missing: {
            const CountedString name = LineSpan(reader, start, nameEnd);
            return context.fail("Cannot find parameter {0} for within", {{FormatCountedString, &name}});
        }
        case NameLookup::NoMemory:
            return context.outOfMemory();
    }
    // Part indexes stand in for the parts, which may still move (never 0 as a value).
    void* declaringPart = reinterpret_cast<void*>(static_cast<uintptr_t>(context.currentPart) + 1);
    if (!context.withinTable.Insert(resolved, declaringPart, nullptr)) return context.outOfMemory();
    CurrentPart(context).flags |= kPartEnumerate;
    reader.cursor = end;
    return true;
}

constexpr Keyword kEnumerationKeywords[] = {
    {"along", Along},
    {"within", Within},
};

// "enumerate": alone, or followed by spaces and "along" or "within".
bool Enumerate(ScriptReader& reader) {
    uint32_t position = reader.cursor + 1;
    if (position < reader.lineLength && reader.line[position] == 's') ++position;
    const uint32_t next = SkipSpaces(reader, position);
    if (EndsOption(reader, next)) {
        CurrentPart(ContextOf(reader)).flags |= kPartEnumerate;
        reader.cursor = next;
        return true;
    }
    if (next == position || next == reader.lineLength) return InvalidOption(reader);
    reader.cursor = next;
    return matchKeywords(reader, KeywordTrieOf<kEnumerationKeywords>.table(), InvalidOption);
}

constexpr Keyword kOptionKeywords[] = {
    {"enumerate", Enumerate},          {"required", Required},  {"base name", BaseName},
    {"directory name", DirectoryName}, {"file name", FileName}, {"environment", Environment},
};

// The cursor is on the '<' or ',' before the option.
bool ReadOption(ScriptReader& reader, CommandContext& context) {
    context.optionStart = reader.cursor + 1;
    reader.cursor = SkipSpaces(reader, context.optionStart);
    return matchKeywords(reader, KeywordTrieOf<kOptionKeywords>.table(), InvalidOption);
}

// ---- The name --------------------------------------------------------------

bool ReadName(ScriptReader& reader, CommandContext& context, uint32_t position) {
    const uint32_t start = SkipSpaces(reader, position);
    if (start == reader.lineLength || reader.line[start] == '>') return context.fail("Empty parameter expansion");
    const uint32_t close = FindByte(reader, start, '>');
    if (close == reader.lineLength) return context.fail(kNotTerminated);
    uint32_t end = close;
    while (end > start && reader.line[end - 1] == ' ') --end;
    ArgumentPart& part = CurrentPart(context);
    if ((part.flags & kPartEnvironment) != 0) {
        part.reference = context.intern(context.owner, reader.line + start, end - start);
        if (part.reference == nullptr) return context.outOfMemory();
    } else {
        switch (context.lookup(context.owner, reader.line + start, end - start, part.reference)) {
            case NameLookup::Found:
                break;
            case NameLookup::Missing: {
                const CountedString name = LineSpan(reader, start, end);
                return context.fail("Parameter {0} cannot be found", {{FormatCountedString, &name}});
            }
            case NameLookup::NoMemory:
                return context.outOfMemory();
        }
    }
    reader.cursor = close + 1;
    return true;
}

// ---- Command checks --------------------------------------------------------

bool IsPlainEnumeration(const ArgumentPart& part) {
    return (part.flags & (kPartEnumerate | kPartAlong)) == kPartEnumerate;
}

bool CheckEnvironment(CommandContext& context, Command& command, uint32_t index) {
    const ArgumentPart& part = command.parts[index];
    constexpr uint32_t kValueChanging =
        kPartEnumerate | kPartRequired | kPartBaseName | kPartDirectoryName | kPartFileName;
    if ((part.flags & kValueChanging) != 0) {
        return context.fail("The environment expansion cannot be used with expansion options that change the value");
    }
    const bool startsArgument = index == 0 || (part.flags & kPartArgumentStart) != 0;
    const bool endsArgument =
        index + 1 == command.partCount() || (command.parts[index + 1].flags & kPartArgumentStart) != 0;
    if (part.literal[0] != '\0' || !startsArgument || !endsArgument) {
        return context.fail("The environment expansion must be alone within the argument");
    }
    return true;
}

// The plain enumerations must form one chain from the outermost inwards.
bool CheckEnumerationChain(CommandContext& context, Command& command, uint32_t plainCount) {
    ArgumentPart* outermost = nullptr;
    uint32_t withoutInner = 0;
    uint32_t withoutOuter = 0;
    for (ArgumentPart* part = command.parts; part != command.partsEnd; ++part) {
        if (!IsPlainEnumeration(*part)) continue;
        if (part->innerEnumeration == nullptr) ++withoutInner;
        if (part->outerEnumeration == nullptr) {
            ++withoutOuter;
            outermost = part;
        }
    }
    bool chained = withoutInner == 1 && withoutOuter == 1;
    uint32_t visited = 0;
    for (ArgumentPart* part = chained ? outermost : nullptr; part != nullptr; part = part->innerEnumeration) {
        if (!IsPlainEnumeration(*part) || (part->flags & kPartVisited) != 0) {
            chained = false;
            break;
        }
        part->flags |= kPartVisited;
        ++visited;
    }
    for (ArgumentPart* part = command.parts; part != command.partsEnd; ++part) part->flags &= ~kPartVisited;
    if (!chained || visited != plainCount) return context.fail(kBadOrder);
    return true;
}

}  // namespace

bool parseExpansion(ScriptReader& reader, CommandContext& context) {
    const uint32_t afterOpen = reader.cursor + 1;
    context.expansionStart = afterOpen;
    uint32_t position = SkipSpaces(reader, afterOpen);
    if (position < reader.lineLength && (reader.line[position] == '<' || reader.line[position] == ',')) {
        reader.cursor = position;
        do {
            if (!ReadOption(reader, context)) return false;
        } while (reader.line[reader.cursor] == ',');
        position = reader.cursor + 1;  // past the '>' that ends the option list
    }
    return ReadName(reader, context, position);
}

bool checkCommand(CommandContext& context, Command& command) {
    uint32_t lastEnvironment = 0;
    uint32_t plainCount = 0;
    for (uint32_t i = 0; i < command.partCount(); ++i) {
        ArgumentPart& part = command.parts[i];
        if ((part.flags & kPartDirectoryName) != 0 && (part.flags & kPartFileName) != 0) {
            return context.fail("The directory and file name expansion options were both specified");
        }
        if ((part.flags & kPartEnvironment) != 0) {
            ++command.environmentCount;
            lastEnvironment = i;
            if (!CheckEnvironment(context, command, i)) return false;
        }
        if ((part.flags & kPartAlong) != 0) {
            for (ArgumentPart& partner : std::span(command.parts, command.partCount())) {
                if (IsPlainEnumeration(partner) && std::strcmp(partner.reference, part.reference) == 0) {
                    part.alongPartner = &partner;
                    break;
                }
            }
            if (part.alongPartner == nullptr) {
                return context.fail("An enumerate along expansion option not paired with an enumerate");
            }
        } else if ((part.flags & kPartEnumerate) != 0) {
            ++plainCount;
            void* declared = context.withinTable.Find(part.reference);
            if (declared == nullptr) continue;
            ArgumentPart& within = command.parts[reinterpret_cast<uintptr_t>(declared) - 1];
            if (part.innerEnumeration != nullptr || within.outerEnumeration != nullptr) return context.fail(kBadOrder);
            part.innerEnumeration = &within;
            within.outerEnumeration = &part;
            context.withinTable.Remove(part.reference);
        }
    }
    // A declaration no enumerate took up.
    if (context.withinTable.live != 0) return context.fail(kBadOrder);
    command.environmentMapSize = lastEnvironment / 8 + 1;
    if (plainCount == 0) return true;
    command.flags |= kCommandEnumerates;
    return CheckEnumerationChain(context, command, plainCount);
}

}  // namespace kestrel
