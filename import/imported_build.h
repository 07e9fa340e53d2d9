// What an import found, before it is written out: the jobs in an order in
// which each comes after the jobs that make its inputs.
#pragma once

#include <string>
#include <vector>

#include "import/shell_words.h"

namespace kestrel::importer {

enum class JobKind { kCompile, kArchive, kLink, kOther };

struct ImportedJob {
    std::string name;
    JobKind kind = JobKind::kOther;
    std::vector<std::string> inputs;   // absolute paths of the project
    std::vector<std::string> outputs;  // absolute paths of the project
    std::vector<Words> commands;       // as the job runs them
};

struct ImportedBuild {
    std::string source;                 // what the script was made from, for its first line
    std::vector<ImportedJob> jobs;      // in dependency order
    std::vector<std::string> leftHere;  // the --local commands, "OUTPUT: COMMAND"
};

// What the commands do, judged by the programs they run.
JobKind KindOf(const std::vector<Words>& commands);

// Whether the commands make a thin archive (ar's T modifier): one that names
// its members instead of holding them, so that whoever reads it reads them.
bool MakesThinArchive(const std::vector<Words>& commands);

// "compile out/a.o": the kind and what the job makes.
std::string JobName(JobKind kind, const std::string& output);

}  // namespace kestrel::importer
