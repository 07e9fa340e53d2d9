// Running the build system's own tools (ninja, the compiler) and keeping what
// they print. The importer is a Linux program; this folder is its only place
// that talks to the system about processes.
#pragma once

#include <string>
#include <vector>

namespace kestrel::importer {

struct ChildOutput {
    int exitCode = -1;  // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

// Runs argv[0] (looked up on PATH) with the arguments in `directory`, with
// standard input empty, and collects both streams. False with `problem` when
// the program could not be started at all.
bool RunChild(const std::vector<std::string>& argv, const std::string& directory, ChildOutput& result,
              std::string& problem);

}  // namespace kestrel::importer
