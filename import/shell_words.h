// Command lines as the build system hands them to /bin/sh: split into words
// by the POSIX quoting rules, and into the commands of an "&&" chain. What
// needs the shell beyond that (pipes, lists, redirections, expansions) is
// refused with the construct named, since a job runs its commands directly.
#pragma once

#include <string>
#include <vector>

namespace kestrel::importer {

using Words = std::vector<std::string>;

// The commands of `line` in order, each as its words after quote removal;
// the no-op ":" commands that CMake wraps its chains in are dropped. False
// with `problem` when the line needs more than that.
bool SplitShellChain(const std::string& line, std::vector<Words>& commands, std::string& problem);

}  // namespace kestrel::importer
