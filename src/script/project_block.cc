#include "script/project_block.h"

#include <cstdlib>
#include <new>

#include "script/line_text.h"
#include "script/script_reader.h"

namespace kestrel {

namespace {

constexpr uint32_t kFirstProjectEntries = 10;

struct ProjectState {
    Project* project = nullptr;  // owned by the block table once inserted
    BlockMessage message;
    BlockMessage testMessage;
    BlockMessage buildMessage;
    uint32_t flags = 0;
};

ProjectState& StateOf(ScriptReader& reader) { return *static_cast<ProjectState*>(reader.top->object); }

bool Fail(BlockMessage& message, const char* pattern, std::initializer_list<FormatArg> args = {}) {
    message.format(kProjectMemoryMessage, pattern, args);
    return false;
}

bool OutOfMemory(BlockMessage& message) {
    message.setStatic(kProjectMemoryMessage);
    return false;
}

bool UnknownProjectLine(ScriptReader& reader) {
    const CountedString text = WholeLine(reader);
    return Fail(StateOf(reader).message, "Unknown line in project: {0}", {{FormatCountedString, &text}});
}

// The whole line names a job or an earlier project.
bool ListLine(ScriptReader& reader, ProjectList& list, BlockMessage& message) {
    ProjectState& state = StateOf(reader);
    const char* name = reader.lineText();
    void* record = reader.context->blocks.Find(name);
    if (record == nullptr) return Fail(message, "The project or job {0} was not found", {{FormatString, name}});
    if (record == state.project) return Fail(message, "A project cannot include itself");
    const BlockKind kind = KindOf(record);
    if (kind != BlockKind::Job && kind != BlockKind::Project) {
        return Fail(message, "{0} is not a project or job", {{FormatString, name}});
    }
    return AppendProjectEntry(list, record) || OutOfMemory(message);
}

bool BuildLine(ScriptReader& reader) {
    ProjectState& state = StateOf(reader);
    return ListLine(reader, state.project->build, state.buildMessage);
}

bool TestLine(ScriptReader& reader) {
    ProjectState& state = StateOf(reader);
    return ListLine(reader, state.project->test, state.testMessage);
}

const char* DescribeBuild(void* object) { return static_cast<ProjectState*>(object)->buildMessage.text; }
const char* DescribeTest(void* object) { return static_cast<ProjectState*>(object)->testMessage.text; }

constinit const BlockHandler kBuildHandler{{}, BuildLine, nullptr, nullptr, DescribeBuild};
constinit const BlockHandler kTestHandler{{}, TestLine, nullptr, nullptr, DescribeTest};

// Behind "build" or "test": one "s" may follow, then only spaces.
bool OpenList(ScriptReader& reader, const BlockHandler& handler, BlockMessage ProjectState::*message,
              const char* parametersText) {
    ProjectState& state = StateOf(reader);
    uint32_t position = reader.cursor + 1;
    if (position < reader.lineLength && reader.line[position] == 's') ++position;
    if (position < reader.lineLength && reader.line[position] != ' ') return UnknownProjectLine(reader);
    if (!pushBlock(reader, handler, &state)) return false;
    if (SkipSpaces(reader, position) < reader.lineLength) return Fail(state.*message, parametersText);
    return true;
}

bool OpenBuild(ScriptReader& reader) {
    return OpenList(reader, kBuildHandler, &ProjectState::buildMessage, "No parameters allowed for build block");
}

bool OpenTest(ScriptReader& reader) {
    return OpenList(reader, kTestHandler, &ProjectState::testMessage, "No parameters allowed for test block");
}

const char* DescribeProject(void* object) {
    if (object == nullptr) return kProjectMemoryMessage;
    return static_cast<ProjectState*>(object)->message.text;
}

void ReleaseProject(ScriptReader& reader) { delete static_cast<ProjectState*>(reader.top->object); }

constexpr Keyword kProjectKeywords[] = {
    {"build", OpenBuild},
    {"test", OpenTest},
};

constinit const BlockHandler kProjectHandler{
    KeywordTrieOf<kProjectKeywords>.table(), UnknownProjectLine, nullptr, ReleaseProject, DescribeProject,
};

void ReleaseList(ProjectList& list) {
    std::free(list.first);
    list = ProjectList{};
}

}  // namespace

Project* NewProject(const char* name, uint32_t length) {
    auto* project = new (std::nothrow) Project();
    if (project == nullptr) return nullptr;
    project->name = CopyText(name, length);
    if (project->name == nullptr) {
        delete project;
        return nullptr;
    }
    return project;
}

bool AppendProjectEntry(ProjectList& list, void* record) {
    if (list.end == list.limit) {
        const size_t count = list.count();
        const size_t capacity = list.first == nullptr ? kFirstProjectEntries : 2 * count;
        auto* grown = static_cast<void**>(std::realloc(list.first, capacity * sizeof(void*)));
        if (grown == nullptr) return false;
        list.first = grown;
        list.end = grown + count;
        list.limit = grown + capacity;
    }
    *list.end++ = record;
    return true;
}

void DestroyProject(Project* project) {
    if (project == nullptr) return;
    ReleaseList(project->build);
    ReleaseList(project->test);
    std::free(project->name);
    delete project;
}

void DestroyProjectEntry(NameTableEntry* entry) {
    DestroyProject(static_cast<Project*>(entry->value));
    std::free(const_cast<char*>(entry->key));
}

bool OpenProjectBlock(ScriptReader& reader) {
    auto* state = new (std::nothrow) ProjectState();
    if (!pushBlock(reader, kProjectHandler, state)) return false;
    if (state == nullptr) return false;
    const uint32_t start = reader.cursor + 1;
    const uint32_t end = TrimmedEnd(reader, start);
    if (start >= end) return Fail(state->message, "The project must have a name");
    const char* name = TerminateSpan(reader, start, end);
    if (reader.context->blocks.Find(name) != nullptr) {
        return Fail(state->message, "The project name {0} is in use", {{FormatString, name}});
    }
    Project* project = NewProject(name, end - start);
    if (project == nullptr) return OutOfMemory(state->message);
    // In the table at once, so that a list naming the project itself is caught.
    if (!InsertNamed(reader.context->blocks, name, end - start, project, DestroyProjectEntry)) {
        DestroyProject(project);
        return OutOfMemory(state->message);
    }
    state->project = project;
    return true;
}

}  // namespace kestrel
