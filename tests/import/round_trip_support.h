// Whole imports of real builds: the build system's tools run here, the
// script run by build/kestrel on a local kestrel-agent, and the objects of
// both builds compared.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace kestrel::test {

// Runs a build tool in `directory`; a failure fails the test with its output.
ProcessResult RunTool(const std::vector<std::string>& argv, const std::string& directory, int timeoutSeconds = 600);

// build/kestrel-import with the arguments.
ProcessResult RunImporter(const std::vector<std::string>& arguments, const std::string& directory);

// The bytes of every *.o file below `directory`, by path relative to it.
std::map<std::string, std::string> ObjectFiles(const std::string& directory);

// Removes every *.o and *.a file below `directory`, and the named programs.
void RemoveBuildOutputs(const std::string& directory, const std::vector<std::string>& programs);

}  // namespace kestrel::test
