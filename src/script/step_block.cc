#include "script/step_block.h"

#include <cstring>
#include <new>

#include "script/command_block.h"
#include "script/line_text.h"
#include "script/script_reader.h"

namespace kestrel {

namespace {

struct StepState {
    static constexpr uint32_t kParametersDeclared = 1;

    Step* step = nullptr;  // owned by the block table
    BlockMessage message;
    BlockMessage parameterMessage;
    CommandContext commands;
    uint32_t flags = 0;
};

StepState& StateOf(ScriptReader& reader) { return *static_cast<StepState*>(reader.top->object); }

bool Fail(BlockMessage& message, const char* pattern, std::initializer_list<FormatArg> args = {}) {
    message.format(kStepMemoryMessage, pattern, args);
    return false;
}

bool OutOfMemory(BlockMessage& message) {
    message.setStatic(kStepMemoryMessage);
    return false;
}

// Expansions and include arguments in a step name its declared parameters.
NameLookup FindStepParameter(void* owner, const char* name, uint32_t length, const char*& resolved) {
    resolved = FindParameter(*static_cast<const Step*>(owner), name, length);
    return resolved != nullptr ? NameLookup::Found : NameLookup::Missing;
}

const char* InternStepString(void* owner, const char* name, uint32_t length) {
    return static_cast<Step*>(owner)->strings.intern(name, length, kStringPoolFirstSize);
}

// ---- Parameter block -------------------------------------------------------

bool ParameterLine(ScriptReader& reader) {
    StepState& state = StateOf(reader);
    const char* name = reader.lineText();
    if (FindParameter(*state.step, name, reader.lineLength) != nullptr) {
        return Fail(state.parameterMessage, "Duplicate parameter name {0}", {{FormatString, name}});
    }
    if (std::strpbrk(name, "<>") != nullptr)
        return Fail(state.parameterMessage, "A parameter may not contain a < or >");
    if (!AppendParameter(*state.step, name, reader.lineLength)) return OutOfMemory(state.parameterMessage);
    return true;
}

const char* DescribeParameters(void* object) { return static_cast<StepState*>(object)->parameterMessage.text; }

constinit const BlockHandler kParameterHandler{{}, ParameterLine, nullptr, nullptr, DescribeParameters};

bool OpenParameters(ScriptReader& reader) {
    StepState& state = StateOf(reader);
    if (!pushBlock(reader, kParameterHandler, &state)) return false;
    uint32_t position = reader.cursor + 1;
    if (position < reader.lineLength && reader.line[position] == 's') ++position;
    if (SkipSpaces(reader, position) < reader.lineLength) {
        return Fail(state.parameterMessage, "No parameters allowed for parameter block");
    }
    if ((state.flags & StepState::kParametersDeclared) != 0) {
        return Fail(state.parameterMessage, "Additional parameter blocks not permitted");
    }
    state.flags |= StepState::kParametersDeclared;
    return true;
}

// ---- The step block --------------------------------------------------------

bool OpenCommands(ScriptReader& reader) { return openCommandBlock(reader, StateOf(reader).commands); }

bool OpenInclude(ScriptReader& reader) {
    StepState& state = StateOf(reader);
    return openIncludeStep(reader, state.commands, state.step);
}

bool StepLineCheck(ScriptReader& reader) {
    StepState& state = StateOf(reader);
    const char* line = reader.lineText();
    if (std::strcmp(line, "command") == 0) return Fail(state.message, "No parameters provided for command block");
    if (std::strcmp(line, "include") == 0) return Fail(state.message, "No parameters provided for include block");
    if (std::strcmp(line, "include step") == 0) {
        return Fail(state.message, "A step name must be specified within the include line");
    }
    if (std::strncmp(line, "include ", 8) == 0) {
        return Fail(state.message, "Unknown include block parameter: {0}", {{FormatString, line + 8}});
    }
    return Fail(state.message, "Unknown line in step block: {0}", {{FormatString, line}});
}

const char* DescribeStep(void* object) {
    if (object == nullptr) return kStepMemoryMessage;
    return static_cast<StepState*>(object)->message.text;
}

void ReleaseStep(ScriptReader& reader) { delete static_cast<StepState*>(reader.top->object); }

constexpr Keyword kStepKeywords[] = {
    {"parameter", OpenParameters},    {"command ", OpenCommands},      {"commands ", OpenCommands},
    {"include step ", OpenInclude},   {"include steps ", OpenInclude}, {"includes step ", OpenInclude},
    {"includes steps ", OpenInclude},
};

constinit const BlockHandler kStepHandler{
    KeywordTrieOf<kStepKeywords>.table(), StepLineCheck, nullptr, ReleaseStep, DescribeStep,
};

}  // namespace

bool OpenStepBlock(ScriptReader& reader) {
    auto* state = new (std::nothrow) StepState();
    if (!pushBlock(reader, kStepHandler, state)) return false;
    if (state == nullptr) return false;
    const uint32_t start = reader.cursor + 1;
    const uint32_t end = TrimmedEnd(reader, start);
    if (start >= end) return Fail(state->message, "Step must have a name");
    const char* name = TerminateSpan(reader, start, end);
    if (reader.context->blocks.Find(name) != nullptr) {
        return Fail(state->message, "Step block name {0} already used", {{FormatString, name}});
    }
    Step* step = NewStep();
    if (step == nullptr) return OutOfMemory(state->message);
    if (!InsertNamed(reader.context->blocks, name, end - start, step, DestroyStepEntry)) {
        DestroyStep(step);
        return OutOfMemory(state->message);
    }
    // In the table at once, so that the step can be found by what follows and by itself.
    state->step = step;
    if (!state->commands.init(step->commands, FindStepParameter, InternStepString, step)) {
        return OutOfMemory(state->message);
    }
    return true;
}

}  // namespace kestrel
