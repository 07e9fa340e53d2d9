// The two ways in: a ninja build directory (every step the targets need, with
// links and generated files) and a compilation database (its compiles alone).
#pragma once

#include <string>
#include <vector>

#include "import/imported_build.h"
#include "import/project_paths.h"

namespace kestrel::importer {

struct ImportRequest {
    std::string scriptDirectory;       // absolute
    std::vector<std::string> sources;  // more project directories (absolute), from --source
    std::vector<std::string> local;    // outputs whose steps stay here, as the build names them
    unsigned scanThreads = 2;          // compilers run at once to list headers
};

// False with the problems, each naming the edge or entry it concerns.
bool ImportNinja(const std::string& directory, const std::vector<std::string>& targets, const ImportRequest& request,
                 ImportedBuild& build, std::vector<std::string>& problems);

bool ImportCompilationDatabase(const std::string& file, const ImportRequest& request, ImportedBuild& build,
                               std::vector<std::string>& problems);

// The source directory CMake or Meson recorded in their build directory, or
// empty when neither did.
std::string RecordedSourceDirectory(const std::string& buildDirectory);

}  // namespace kestrel::importer
