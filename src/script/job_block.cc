#include "script/job_block.h"

#include <cstring>
#include <new>

#include "script/command_block.h"
#include "script/data_block.h"
#include "script/file_list.h"
#include "script/job.h"
#include "script/line_text.h"
#include "script/machine_block.h"
#include "script/script_paths.h"
#include "script/script_reader.h"

namespace kestrel {

namespace {

struct JobState {
    Job* job = nullptr;  // owned by the block table
    CommandContext commands;
    DataContext data;         // "value", "path" and "include data"
    DataContext environment;  // the three environment edit blocks
    FileListState files;      // inputs, outputs and failed outputs
    BlockMessage message;
    BlockMessage machineMessage;
    uint32_t parameterStart = 0;  // where the text after an include keyword starts
    bool concurrencySet = false;
};

JobState& StateOf(ScriptReader& reader) { return *static_cast<JobState*>(reader.top->object); }

bool Fail(BlockMessage& message, const char* pattern, std::initializer_list<FormatArg> args = {}) {
    message.format(kJobMemoryMessage, pattern, args);
    return false;
}

bool OutOfMemory(BlockMessage& message) {
    message.setStatic(kJobMemoryMessage);
    return false;
}

bool UnknownJobLine(ScriptReader& reader) {
    const CountedString text = WholeLine(reader);
    return Fail(StateOf(reader).message, "Unknown line in job: {0}", {{FormatCountedString, &text}});
}

// Expansion names in a job name members of its data, resolved only when a
// command runs; the names themselves are kept in the job's strings.
NameLookup InternJobName(void* owner, const char* name, uint32_t length, const char*& resolved) {
    resolved = static_cast<Job*>(owner)->strings.intern(name, length, kStringPoolFirstSize);
    return resolved != nullptr ? NameLookup::Found : NameLookup::NoMemory;
}

const char* InternJobString(void* owner, const char* name, uint32_t length) {
    return static_cast<Job*>(owner)->strings.intern(name, length, kStringPoolFirstSize);
}

// Behind a block keyword in a job: one "s" may follow, then only spaces;
// false with the message set otherwise.
bool BlockKeywordTail(ScriptReader& reader, const char* parametersText) {
    uint32_t position = reader.cursor + 1;
    if (position < reader.lineLength && reader.line[position] == 's') ++position;
    if (position < reader.lineLength && reader.line[position] != ' ') return UnknownJobLine(reader);
    if (SkipSpaces(reader, position) < reader.lineLength) return Fail(StateOf(reader).message, parametersText);
    return true;
}

// ---- Machines ----------------------------------------------------------------

// A known machine name, or else an address that becomes a machine shared by
// every job that writes it.
bool MachineLine(ScriptReader& reader) {
    JobState& state = StateOf(reader);
    const char* name = reader.lineText();
    auto* machine = static_cast<Machine*>(reader.context->machines.Find(name));
    if (machine == nullptr) {
        machine = parseMachineAddress(name, reader.lineLength, state.machineMessage);
        if (machine == nullptr) return false;
        if (!InsertNamed(reader.context->machines, name, reader.lineLength, machine, DestroyMachineEntry)) {
            DestroyMachine(machine);
            return OutOfMemory(state.machineMessage);
        }
    }
    return AppendJobMachine(*state.job, machine) || OutOfMemory(state.machineMessage);
}

const char* DescribeMachines(void* object) { return static_cast<JobState*>(object)->machineMessage.text; }

constinit const BlockHandler kJobMachineHandler{{}, MachineLine, nullptr, nullptr, DescribeMachines};

bool OpenMachines(ScriptReader& reader) {
    if (!BlockKeywordTail(reader, "No parameters allowed for machine block")) return false;
    return pushBlock(reader, kJobMachineHandler, &StateOf(reader));
}

// ---- Files and data ------------------------------------------------------------

bool OpenFiles(ScriptReader& reader, FileList Job::*list, const BlockHandler& handler, const char* parametersText) {
    JobState& state = StateOf(reader);
    if (!BlockKeywordTail(reader, parametersText)) return false;
    state.files.target = &(state.job->*list);
    return pushBlock(reader, handler, &state.files);
}

bool OpenInputs(ScriptReader& reader) {
    return OpenFiles(reader, &Job::inputs, kFileBlockHandler, "No parameters allowed for input block");
}
bool OpenOutputs(ScriptReader& reader) {
    return OpenFiles(reader, &Job::outputs, kFileBlockHandler, "No parameters allowed for output block");
}
bool OpenFailedOutputs(ScriptReader& reader) {
    return OpenFiles(reader, &Job::failedOutputs, kFileBlockHandler, "No parameters allowed for failed output block");
}

bool OpenValues(ScriptReader& reader) {
    if (!BlockKeywordTail(reader, "No parameters allowed for value block")) return false;
    return pushBlock(reader, kValueBlockHandler, &StateOf(reader).data);
}

bool OpenPaths(ScriptReader& reader) {
    if (!BlockKeywordTail(reader, "No parameters allowed for path block")) return false;
    return pushBlock(reader, kPathBlockHandler, &StateOf(reader).data);
}

bool OpenEnvironment(ScriptReader& reader, DataBlock Job::*edits, const char* parametersText) {
    JobState& state = StateOf(reader);
    if (!BlockKeywordTail(reader, parametersText)) return false;
    state.environment.target = &(state.job->*edits);
    return pushBlock(reader, kValueBlockHandler, &state.environment);
}

bool OpenPrefixes(ScriptReader& reader) {
    return OpenEnvironment(reader, &Job::environmentPrefix, "No parameters allowed for environment prefix block");
}
bool OpenSuffixes(ScriptReader& reader) {
    return OpenEnvironment(reader, &Job::environmentSuffix, "No parameters allowed for environment suffix block");
}
bool OpenReplacements(ScriptReader& reader) {
    return OpenEnvironment(reader, &Job::environmentReplace, "No parameters allowed for environment replace block");
}

// ---- Include lines -------------------------------------------------------------

bool PlainOrUnknownDataInclude(ScriptReader& reader) {
    JobState& state = StateOf(reader);
    uint32_t position = state.parameterStart;
    if (position < reader.lineLength && reader.line[position] == 's') ++position;
    position = SkipSpaces(reader, position);
    if (position < reader.lineLength) {
        const CountedString text = LineSpan(reader, position, reader.lineLength);
        return Fail(state.message, "Unknown job include parameter: {0}", {{FormatCountedString, &text}});
    }
    if (!pushBlock(reader, kDataIncludeBlockHandler, &state.data)) return false;
    state.data.setWithName(nullptr);
    return true;
}

bool DataIncludeWithName(ScriptReader& reader) {
    JobState& state = StateOf(reader);
    if (!pushBlock(reader, kDataIncludeBlockHandler, &state.data)) return false;
    state.data.setWithName(nullptr);
    const uint32_t start = reader.cursor + 1;
    const uint32_t end = TrimmedEnd(reader, start);
    if (start >= end) return Fail(state.data.includeMessage, "Empty name in include with name block");
    char* name = CopyText(reader.line + start, end - start);
    if (name == nullptr) return OutOfMemory(state.data.includeMessage);
    state.data.setWithName(name);
    return true;
}

constexpr Keyword kWithNameKeywords[] = {{" with name ", DataIncludeWithName}};

bool IncludeData(ScriptReader& reader) {
    StateOf(reader).parameterStart = reader.cursor + 1;
    ++reader.cursor;
    return matchKeywords(reader, KeywordTrieOf<kWithNameKeywords>.table(), PlainOrUnknownDataInclude);
}

bool IncludeStep(ScriptReader& reader) { return openIncludeStep(reader, StateOf(reader).commands, nullptr); }

bool IncludeInputs(ScriptReader& reader) {
    return OpenFiles(reader, &Job::inputs, kFileListIncludeBlockHandler, "No parameters allowed for including input");
}
bool IncludeOutputs(ScriptReader& reader) {
    return OpenFiles(reader, &Job::outputs, kFileListIncludeBlockHandler, "No parameters allowed for including output");
}
bool IncludeFailedOutputs(ScriptReader& reader) {
    return OpenFiles(reader, &Job::failedOutputs, kFileListIncludeBlockHandler,
                     "No parameters allowed for including failed output");
}

bool OtherInclude(ScriptReader& reader) {
    JobState& state = StateOf(reader);
    const char* text = reader.lineText() + state.parameterStart;
    if (std::strcmp(text, "step") == 0 || std::strcmp(text, "steps") == 0) {
        return Fail(state.message, "A step name must be specified within the include step line");
    }
    return Fail(state.message, "Unknown job include parameter: {0}", {{FormatString, text}});
}

constexpr Keyword kJobIncludeKeywords[] = {
    {"data", IncludeData},    {"step ", IncludeStep},     {"steps ", IncludeStep},
    {"input", IncludeInputs}, {"output", IncludeOutputs}, {"failed output", IncludeFailedOutputs},
};

bool IncludeLine(ScriptReader& reader) {
    JobState& state = StateOf(reader);
    uint32_t position = reader.cursor + 1;
    if (position < reader.lineLength && reader.line[position] == 's') ++position;
    if (position < reader.lineLength && reader.line[position] != ' ') return UnknownJobLine(reader);
    position = SkipSpaces(reader, position);
    if (position == reader.lineLength) return Fail(state.message, "Missing job include parameter");
    state.parameterStart = position;
    reader.cursor = position;
    return matchKeywords(reader, KeywordTrieOf<kJobIncludeKeywords>.table(), OtherInclude);
}

// ---- Single-line settings ------------------------------------------------------

bool DevelopmentEnvironment(ScriptReader& reader) {
    JobState& state = StateOf(reader);
    Job& job = *state.job;
    if (job.developmentEnvironment != nullptr) {
        return Fail(state.message, "Only one development environment may be specified");
    }
    const uint32_t after = reader.cursor + 1;
    const uint32_t start = SkipSpaces(reader, after);
    if (start == reader.lineLength) return Fail(state.message, "Missing development environment name");
    if (start == after) return UnknownJobLine(reader);
    // As written, trailing spaces included.
    job.developmentEnvironment = CopyText(reader.line + start, reader.lineLength - start);
    if (job.developmentEnvironment == nullptr) return OutOfMemory(state.message);
    job.developmentEnvironmentSize = reader.lineLength - start + 1;
    return true;
}

bool SetConcurrency(ScriptReader& reader, uint8_t factor) {
    JobState& state = StateOf(reader);
    if (SkipSpaces(reader, reader.cursor + 1) < reader.lineLength) {
        return Fail(state.message, "No additional parameters allowed for the concurrency factor");
    }
    if (state.concurrencySet) return Fail(state.message, "Only one concurrency factor may be specified");
    state.job->concurrencyFactor = factor;
    state.concurrencySet = true;
    return true;
}

bool Minimum(ScriptReader& reader) { return SetConcurrency(reader, kConcurrencyMinimum); }
bool Low(ScriptReader& reader) { return SetConcurrency(reader, kConcurrencyLow); }
bool Medium(ScriptReader& reader) { return SetConcurrency(reader, kConcurrencyMedium); }
bool High(ScriptReader& reader) { return SetConcurrency(reader, kConcurrencyHigh); }
bool Maximum(ScriptReader& reader) { return SetConcurrency(reader, kConcurrencyMaximum); }

bool NoConcurrencyLevel(ScriptReader& reader) {
    JobState& state = StateOf(reader);
    if (state.parameterStart == reader.lineLength) {
        return Fail(state.message, "A parameter for the concurrency factor is required");
    }
    const CountedString text = LineSpan(reader, state.parameterStart, reader.lineLength);
    return Fail(state.message, "Unknown concurrency factor parameter: {0}", {{FormatCountedString, &text}});
}

constexpr Keyword kConcurrencyKeywords[] = {
    {"minimum", Minimum}, {"low", Low}, {"medium", Medium}, {"high", High}, {"maximum", Maximum},
};

bool Concurrency(ScriptReader& reader) {
    JobState& state = StateOf(reader);
    const uint32_t after = reader.cursor + 1;
    if (after == reader.lineLength) return Fail(state.message, "A parameter for the concurrency factor is required");
    state.parameterStart = SkipSpaces(reader, after);
    reader.cursor = state.parameterStart;
    return matchKeywords(reader, KeywordTrieOf<kConcurrencyKeywords>.table(), NoConcurrencyLevel);
}

bool Persistent(ScriptReader& reader) {
    JobState& state = StateOf(reader);
    const uint32_t after = reader.cursor + 1;
    if (after < reader.lineLength && reader.line[after] != ' ') return UnknownJobLine(reader);
    if (SkipSpaces(reader, after) < reader.lineLength) {
        return Fail(state.message, "No parameters allowed for the persistent block");
    }
    return Fail(state.message, "Persistent builds are disabled in the beta");
}

bool OpenCommands(ScriptReader& reader) { return openCommandBlock(reader, StateOf(reader).commands); }

// ---- The job block -------------------------------------------------------------

bool JobLineCheck(ScriptReader& reader) {
    if (std::strcmp(reader.lineText(), "command") == 0) {
        return Fail(StateOf(reader).message, "No parameters provided for command block");
    }
    return UnknownJobLine(reader);
}

bool CompleteJob(ScriptReader& reader) {
    JobState& state = StateOf(reader);
    Job& job = *state.job;
    if (job.machineCount() == 0) return Fail(state.message, "At least one machine must be specified for each job");
    uint32_t length = 0;
    job.directoryText = RenderPath(reader.directory, length);
    if (job.directoryText == nullptr || !SplitNativePath(job.rootDirectory, job.directoryText, length)) {
        return OutOfMemory(state.message);
    }
    return true;
}

const char* DescribeJob(void* object) {
    if (object == nullptr) return kJobMemoryMessage;
    return static_cast<JobState*>(object)->message.text;
}

void ReleaseJob(ScriptReader& reader) { delete static_cast<JobState*>(reader.top->object); }

constexpr Keyword kJobKeywords[] = {
    {"machine", OpenMachines},
    {"input", OpenInputs},
    {"output", OpenOutputs},
    {"failed output", OpenFailedOutputs},
    {"include", IncludeLine},
    {"value", OpenValues},
    {"path", OpenPaths},
    {"environment prefix", OpenPrefixes},
    {"environment suffix", OpenSuffixes},
    {"environment replace", OpenReplacements},
    {"development environment", DevelopmentEnvironment},
    {"concurrency", Concurrency},
    {"persistent", Persistent},
    {"command ", OpenCommands},
    {"commands ", OpenCommands},
};

constinit const BlockHandler kJobHandler{
    KeywordTrieOf<kJobKeywords>.table(), JobLineCheck, CompleteJob, ReleaseJob, DescribeJob,
};

bool ConnectState(JobState& state, Job& job) {
    state.job = &job;
    state.data.target = &job.data;
    state.data.flags = DataContext::kReservedCheck;
    state.data.memoryMessage = kJobMemoryMessage;
    state.environment.flags = DataContext::kValueOptional;
    state.environment.memoryMessage = kJobMemoryMessage;
    state.files.memoryMessage = kJobMemoryMessage;
    return state.commands.init(job.commands, InternJobName, InternJobString, &job);
}

}  // namespace

bool OpenJobBlock(ScriptReader& reader) {
    auto* state = new (std::nothrow) JobState();
    if (!pushBlock(reader, kJobHandler, state)) return false;
    if (state == nullptr) return false;
    const uint32_t start = reader.cursor + 1;
    if (start >= TrimmedEnd(reader, start)) return Fail(state->message, "Job must have a name");
    // Trailing spaces count towards the limit.
    if (reader.lineLength - start > kMaxJobNameLength) return Fail(state->message, "Job name is too long");
    const uint32_t end = TrimmedEnd(reader, start);
    const char* name = TerminateSpan(reader, start, end);
    if (reader.context->blocks.Find(name) != nullptr) {
        return Fail(state->message, "Job name {0} already in use", {{FormatString, name}});
    }
    Job* job = NewJob(name, end - start, reader.context->arena);
    if (job == nullptr) return OutOfMemory(state->message);
    job->scriptDirectoryDepth = job->rootDepth = reader.directoryDepth();
    if (!InsertNamed(reader.context->blocks, name, end - start, job, DestroyJobEntry)) {
        DestroyJob(job);
        return OutOfMemory(state->message);
    }
    if (!ConnectState(*state, *job)) return OutOfMemory(state->message);
    return true;
}

}  // namespace kestrel
