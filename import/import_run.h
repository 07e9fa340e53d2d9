// One run of kestrel-import: its command line, the import, and the script
// written whole or not at all.
#pragma once

#include <string>
#include <vector>

#include "import/script_writer.h"

namespace kestrel::importer {

struct ImportOptions {
    std::string ninjaDirectory;         // --ninja DIR
    std::vector<std::string> targets;   // after --ninja DIR
    std::string compilationDatabase;    // --compdb FILE
    std::vector<MachineOption> machines;
    std::string compileConcurrency;
    std::string linkConcurrency;
    std::vector<std::string> local;     // --local OUTPUT
    std::vector<std::string> sources;   // --source DIR
    std::string output;                 // --output FILE; empty: standard output
    bool help = false;
};

extern const char kImportUsage[];

// False with a message for people (the usage follows it).
bool ParseImportArguments(const std::vector<std::string>& arguments, ImportOptions& options, std::string& message);

// The script for `options`, made relative to `workingDirectory` when it
// goes to standard output. False with every problem found.
bool MakeScript(const ImportOptions& options, const std::string& workingDirectory, std::string& script,
                std::vector<std::string>& problems);

// MakeScript, then the script into --output (through a new file renamed
// over it) or onto standard output; nothing is written when it fails.
// Returns the exit status: 0, or 1 with the problems on standard error.
int RunImport(const ImportOptions& options, const std::string& workingDirectory);

}  // namespace kestrel::importer
