// A command as the build system runs it (in its own directory, with absolute
// paths where CMake writes them) turned into the command a job runs: at the
// script's directory on the machine, every path of the project written
// relative to it. Paths outside the project (the compiler, system headers,
// system libraries) are the machine's own and stay as they are.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "import/project_paths.h"
#include "import/shell_words.h"

namespace kestrel::importer {

struct CommandPlace {
    std::string directory;        // where the build system runs the command
    std::string scriptDirectory;  // where the job runs it
    const Project* project = nullptr;
    // Whether an absolute path names a file the build knows of (an input or
    // an output of some step), so that a bare relative word is read as a path.
    std::function<bool(const std::string&)> knownFile;
};

// Rewrites the commands of one chain. A "cd DIR" command moves the directory
// the following commands' relative paths are read from and is dropped. Files
// the commands read that the build system does not list (response files, a
// program of the project) are added to `reads` as absolute paths. False with
// `problem` when a path cannot be related to the script's directory.
bool RewriteChain(const std::vector<Words>& chain, CommandPlace place, std::vector<Words>& rewritten,
                  std::vector<std::string>& reads, std::string& problem);

}  // namespace kestrel::importer
