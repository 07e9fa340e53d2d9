// The build script of an import: the machines, one job per step of the
// build, and the project "main" that lists them all in dependency order, so
// that a plain `kestrel build.kv` builds everything imported. The same
// import gives the same bytes.
#pragma once

#include <string>
#include <vector>

#include "import/imported_build.h"

namespace kestrel::importer {

struct MachineOption {
    std::string name;
    std::string url;  // kv://host:port, kvs://host ...
};

struct ScriptSettings {
    std::vector<MachineOption> machines;  // the first takes every job but the compiles
    std::string compileConcurrency;       // a concurrency level, or empty for the default
    std::string linkConcurrency;
    std::string scriptDirectory;          // absolute; the script's paths are relative to it
    std::string scriptFile;               // absolute, or empty when it goes to standard output
};

// Whether `text` can be one line of a script as it is: valid UTF-8, no line
// ends or other control characters, not beginning with a space or '#'.
// `what` is set to the reason when it cannot.
bool FitsOnScriptLine(const std::string& text, std::string& what);

// False with one problem per job that cannot be written (naming the job).
bool WriteScript(const ImportedBuild& build, const ScriptSettings& settings, std::string& script,
                 std::vector<std::string>& problems);

}  // namespace kestrel::importer
