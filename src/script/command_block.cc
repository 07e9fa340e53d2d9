#include "script/command_block.h"

#include <cstdlib>
#include <cstring>

#include "script/expansion.h"
#include "script/line_text.h"
#include "script/script_reader.h"
#include "runtime/growing_array.h"

namespace kestrel {

namespace {

constexpr uint32_t kFirstBindings = 10;

CommandContext& ContextOf(ScriptReader& reader) { return *static_cast<CommandContext*>(reader.top->object); }

// ---- Frames ----------------------------------------------------------------

bool CommandBlockLine(ScriptReader& reader) { return commandLine(reader, ContextOf(reader)); }
bool ArgumentBlockLine(ScriptReader& reader) { return argumentLine(reader, ContextOf(reader)); }
bool IncludeBlockLine(ScriptReader& reader) { return includeArgument(reader, ContextOf(reader)); }
bool EndCommandFrame(ScriptReader& reader) { return endCommand(ContextOf(reader)); }
bool EndCommandBlockFrame(ScriptReader& reader) { return endCommandBlock(ContextOf(reader)); }
bool EndIncludeFrame(ScriptReader& reader) { return endIncludeStep(ContextOf(reader)); }

void ReleaseCommandBlock(ScriptReader& reader) {
    CommandContext& context = ContextOf(reader);
    context.mode = 0;
    context.commandCount = 0;
}

void ReleaseInclude(ScriptReader& reader) {
    CommandContext& context = ContextOf(reader);
    context.includedStep = nullptr;
    context.nextFormal = nullptr;
    context.bindingCount = 0;
}

const char* DescribeLines(void* object) { return static_cast<CommandContext*>(object)->message.text; }
const char* DescribeBlock(void* object) { return static_cast<CommandContext*>(object)->blockMessage.text; }

constinit const BlockHandler kCommandBlockHandler{
    {}, CommandBlockLine, EndCommandBlockFrame, ReleaseCommandBlock, DescribeBlock,
};
constinit const BlockHandler kCommandHandler{{}, ArgumentBlockLine, EndCommandFrame, nullptr, DescribeLines};
constinit const BlockHandler kIncludeStepHandler{{}, IncludeBlockLine, EndIncludeFrame, ReleaseInclude, DescribeLines};

// ---- Command block modes -------------------------------------------------

bool UnknownModeText(ScriptReader& reader, uint32_t from) {
    const CountedString text = LineSpan(reader, from, reader.lineLength);
    ContextOf(reader).blockMessage.format(kStepMemoryMessage, "Unknown command block parameter: {0}",
                                          {{FormatCountedString, &text}});
    return false;
}

// The mode keyword ends at the cursor: one "s" may follow, then only spaces.
bool SetMode(ScriptReader& reader, uint32_t mode) {
    uint32_t position = reader.cursor + 1;
    if (position < reader.lineLength && reader.line[position] == 's') ++position;
    position = SkipSpaces(reader, position);
    if (position < reader.lineLength) return UnknownModeText(reader, position);
    ContextOf(reader).mode = mode;
    return true;
}

bool CompleteWithError(ScriptReader& reader) { return SetMode(reader, kCommandCompleteWithError); }
bool BreakOnError(ScriptReader& reader) { return SetMode(reader, kCommandBreakOnError); }
bool IgnoreError(ScriptReader& reader) { return SetMode(reader, kCommandIgnoreError); }

// No mode keyword: the text from the first non-space is reported.
bool NoMode(ScriptReader& reader) { return UnknownModeText(reader, ContextOf(reader).optionStart); }

constexpr Keyword kModeKeywords[] = {
    {"complete with error", CompleteWithError},
    {"break on error", BreakOnError},
    {"ignore error", IgnoreError},
};

// ---- Arguments -------------------------------------------------------------

// The line from the cursor is one argument of the current command: literal
// runs up to each '<', each followed by an expansion.
bool ParseArgument(ScriptReader& reader, CommandContext& context) {
    Command& command = context.currentCommand();
    uint32_t at = reader.cursor;
    for (;;) {
        ArgumentPart* part = AppendPart(command);
        if (part == nullptr) return context.outOfMemory();
        if (context.argumentStartPending) {
            part->flags |= kPartArgumentStart;
            context.argumentStartPending = false;
        }
        const char* open = static_cast<const char*>(std::memchr(reader.line + at, '<', reader.lineLength - at));
        const uint32_t literalEnd = open != nullptr ? static_cast<uint32_t>(open - reader.line) : reader.lineLength;
        part->literal = context.target->text.add(reader.line + at, literalEnd - at, kLiteralPoolFirstSize);
        if (part->literal == nullptr) return context.outOfMemory();
        if (open == nullptr) break;
        context.currentPart = command.partCount() - 1;
        reader.cursor = literalEnd;
        if (!parseExpansion(reader, context)) return false;
        at = reader.cursor;
    }
    // The part opened after the last expansion holds nothing.
    const ArgumentPart& last = command.partsEnd[-1];
    if (last.literal[0] == '\0' && last.reference == nullptr) --command.partsEnd;
    return true;
}

// ---- Include step ----------------------------------------------------------

const char* BoundActual(const CommandContext& context, const char* formal) {
    for (uint32_t i = 0; i < context.bindingCount; ++i) {
        if (context.bindings[i].formal == formal) return context.bindings[i].actual;
    }
    return nullptr;
}

bool AppendBinding(CommandContext& context, const char* formal, const char* actual) {
    if (!RoomForOneMore(context.bindings, context.bindingCount, context.bindingCapacity, kFirstBindings)) return false;
    context.bindings[context.bindingCount++] = ParameterBinding{formal, actual};
    return true;
}

// Points a copied link at the copy of the part it named in the source.
ArgumentPart* CopiedLink(const ArgumentPart* link, const Command& source, Command& copy) {
    return link != nullptr ? copy.parts + (link - source.parts) : nullptr;
}

bool CopyCommand(CommandContext& context, const Command& source) {
    Command* copy = AppendCommand(*context.target);
    if (copy == nullptr || !ReserveParts(*copy, source.partCount())) return context.outOfMemory();
    copy->environmentCount = source.environmentCount;
    copy->environmentMapSize = source.environmentMapSize;
    copy->flags = source.flags;
    for (const ArgumentPart* part = source.parts; part != source.partsEnd; ++part) {
        ArgumentPart* made = AppendPart(*copy);  // never grows: the room was reserved
        made->flags = part->flags;
        made->literal = context.target->text.add(part->literal, static_cast<uint32_t>(std::strlen(part->literal)),
                                                 kLiteralPoolFirstSize);
        if (made->literal == nullptr) return context.outOfMemory();
        if (part->reference != nullptr && (part->flags & kPartEnvironment) != 0) {
            made->reference =
                context.intern(context.owner, part->reference, static_cast<uint32_t>(std::strlen(part->reference)));
            if (made->reference == nullptr) return context.outOfMemory();
        } else if (part->reference != nullptr) {
            // Every formal is bound before the copy starts, and a step's
            // references are always its own formals.
            made->reference = BoundActual(context, part->reference);
            if (made->reference == nullptr) return context.fail("INTERNAL ERROR: Unbound step parameter (40917)");
        }
        made->innerEnumeration = CopiedLink(part->innerEnumeration, source, *copy);
        made->outerEnumeration = CopiedLink(part->outerEnumeration, source, *copy);
        made->alongPartner = CopiedLink(part->alongPartner, source, *copy);
    }
    return true;
}

}  // namespace

CommandContext::~CommandContext() {
    withinTable.Destroy();
    std::free(bindings);
}

bool CommandContext::init(CommandList& list, LookupAction lookupAction, InternAction internAction, void* ownerRecord) {
    target = &list;
    lookup = lookupAction;
    intern = internAction;
    owner = ownerRecord;
    return withinTable.Init();
}

bool CommandContext::fail(const char* pattern, std::initializer_list<FormatArg> args) {
    message.format(kStepMemoryMessage, pattern, args);
    return false;
}

bool CommandContext::outOfMemory() {
    message.setStatic(kStepMemoryMessage);
    return false;
}

bool openCommandBlock(ScriptReader& reader, CommandContext& context) {
    if (!pushBlock(reader, kCommandBlockHandler, &context)) return false;
    context.mode = 0;
    context.commandCount = 0;
    const uint32_t start = SkipSpaces(reader, reader.cursor + 1);
    if (start == reader.lineLength) {
        context.blockMessage.setStatic("No parameters provided for command block");
        return false;
    }
    context.optionStart = start;
    reader.cursor = start;
    return matchKeywords(reader, KeywordTrieOf<kModeKeywords>.table(), NoMode);
}

bool commandLine(ScriptReader& reader, CommandContext& context) {
    if (!pushBlock(reader, kCommandHandler, &context)) return false;
    Command* command = AppendCommand(*context.target);
    if (command == nullptr) return context.outOfMemory();
    ++context.commandCount;
    command->flags = context.mode;
    context.current = context.target->count() - 1;
    context.argumentStartPending = false;
    return ParseArgument(reader, context);
}

bool argumentLine(ScriptReader& reader, CommandContext& context) {
    context.argumentStartPending = true;
    return ParseArgument(reader, context);
}

bool endCommand(CommandContext& context) { return checkCommand(context, context.currentCommand()); }

bool endCommandBlock(CommandContext& context) {
    if (context.commandCount == 0) {
        context.blockMessage.setStatic("Command block cannot be empty");
        return false;
    }
    context.currentCommand().flags |= kCommandLastOfBlock;
    return true;
}

bool openIncludeStep(ScriptReader& reader, CommandContext& context, const Step* includingStep) {
    if (!pushBlock(reader, kIncludeStepHandler, &context)) return false;
    context.includedStep = nullptr;
    context.nextFormal = nullptr;
    context.bindingCount = 0;
    const uint32_t start = SkipSpaces(reader, reader.cursor + 1);
    const uint32_t end = TrimmedEnd(reader, start);
    if (start >= end) return context.fail("A step name must be specified within the include line");
    const char* name = TerminateSpan(reader, start, end);
    void* record = reader.context->blocks.Find(name);
    if (record == nullptr) return context.fail("The step {0} could not be found", {{FormatString, name}});
    if (KindOf(record) != BlockKind::Step) return context.fail("{0} must be a step", {{FormatString, name}});
    if (record == includingStep) return context.fail("Step cannot include itself");
    context.includedStep = static_cast<Step*>(record);
    context.nextFormal = context.includedStep->firstParameter();
    return true;
}

bool includeArgument(ScriptReader& reader, CommandContext& context) {
    if (context.nextFormal == nullptr) return context.fail("Too many parameters passed to included step");
    const char* resolved = nullptr;
    switch (context.lookup(context.owner, reader.line, reader.lineLength, resolved)) {
        case NameLookup::Found:
            break;
        case NameLookup::Missing:
            return context.fail("Cannot find step include parameter {0}", {{FormatString, reader.lineText()}});
        case NameLookup::NoMemory:
            return context.outOfMemory();
    }
    if (!AppendBinding(context, context.nextFormal, resolved)) return context.outOfMemory();
    context.nextFormal = NextParameter(context.nextFormal);
    return true;
}

bool endIncludeStep(CommandContext& context) {
    if (context.nextFormal != nullptr) return context.fail("Incomplete parameter list passed to included step");
    const CommandList& source = context.includedStep->commands;
    for (const Command* command = source.commands; command != source.commandsEnd; ++command) {
        if (!CopyCommand(context, *command)) return false;
    }
    return true;
}

}  // namespace kestrel
