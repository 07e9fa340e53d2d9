// Project blocks: a name that selects a whole build. A project lists jobs and
// earlier projects in two lists, build and test; the scheduler runs what the
// build list reaches and then what the test list reaches, the test jobs
// always (scheduler/job_scheduler.h).
#pragma once

#include <cstdint>

#include "runtime/name_table.h"
#include "script/block_framework.h"

namespace kestrel {

inline constexpr const char* kProjectMemoryMessage = "Insufficient memory for project block";

// Job or Project records in script order; the same record may appear more
// than once. First size 10, then doubling.
struct ProjectList {
    void** first = nullptr;
    void** end = nullptr;
    void** limit = nullptr;

    uint32_t count() const { return static_cast<uint32_t>(end - first); }
};

struct Project {
    BlockKind kind = BlockKind::Project;
    char* name = nullptr;  // a copy of the key in ParserContext::blocks
    ProjectList build;
    ProjectList test;
    // The scheduler's: set once the project's lists have been visited.
    uint32_t flags = 0;
};

// A project with empty lists; null when memory ran out.
Project* NewProject(const char* name, uint32_t length);
// False when the list cannot grow.
bool AppendProjectEntry(ProjectList& list, void* record);
// Frees the lists and the name, not the records they point at.
void DestroyProject(Project* project);
void DestroyProjectEntry(NameTableEntry* entry);

struct ScriptReader;

// Top-level "project " + name.
bool OpenProjectBlock(ScriptReader& reader);

}  // namespace kestrel
