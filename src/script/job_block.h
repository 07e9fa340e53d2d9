// Job blocks: the machines a job runs on, its input, output and failed-output
// files, its data and environment edits, and its commands (written in the
// job or copied from included steps). The result is a Job in the parser
// context's block table; prepareJob readies it for the scheduler.
#pragma once

namespace kestrel {

struct ScriptReader;

// Top-level "job " + name.
bool OpenJobBlock(ScriptReader& reader);

}  // namespace kestrel
