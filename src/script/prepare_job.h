// Job preparation: before a job runs, its inputs, outputs, failed outputs and
// the path data its commands expand are normalized and rewritten relative to
// the job root, the deepest directory that holds the script directory and
// all of those files. The job root becomes the job's work area on the
// machine.
//
// For the scheduler, after prepareJob succeeded, for each list (inputs shown):
//   job.preparedInputs[i], i < job.preparedInputCount: the file relative to
//     the job root, normalized; the list is sorted and has no duplicates.
//   RenderPreparedPath(job, job.preparedInputs[i], ...): the absolute
//     normalized path (the job root joined with the relative path), the
//     text to build file keys from.
//   job.inputs.prepared[i]: the entry the file came from: the script
//     directory joined with the path as the script wrote it, absolute but
//     not normalized (Path::Render gives its text), for reading file times.
//   job.timeSlots[i] and job.outputSlots[j]: -1.
// Prepared paths below the job root are views of their entries' components
// (first/last point into the entry, the path owns no node): they are read,
// rendered and compared, never changed.
#pragma once

#include <cstdint>

#include "script/block_framework.h"
#include "script/job.h"

namespace kestrel {

enum PreparationState : uint8_t {
    kNotPrepared = 0,
    kPrepared = 1,
    kPreparationFailed = 2,
};

// Prepares the job once; a second call after success does nothing. On
// failure `message` holds the reason (a heap text, or the constant
// kJobMemoryMessage) and the job must not be run; nothing is undone.
bool prepareJob(Job& job, BlockMessage& message);

// The job root joined with `prepared` (a path of one of the job's prepared
// lists). Like Path::Render: writes each piece only when it fits in `room`,
// writes no terminator, and returns the full length.
uint32_t RenderPreparedPath(const Job& job, const Path& prepared, char* buffer, uint32_t room);
// RenderPreparedPath in two pieces, for callers that render many paths of one
// job: the job root followed by the separator that joins a relative path to
// it (none after a bare root such as "/"; `separatorLength` says how many
// bytes), then the path itself after that prefix. A prepared path that
// names the root itself renders as the prefix without its separator.
uint32_t RenderRootPrefix(const Job& job, char* buffer, uint32_t room, uint32_t& separatorLength);
bool NamesJobRoot(const Path& prepared);

// Frees what preparation allocated (used when the job is destroyed).
void ReleasePreparation(Job& job);

}  // namespace kestrel
