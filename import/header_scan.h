// The files a compile reads, from the compiler itself: the same command in
// its preprocessor-dependency form, for builds whose own record of them (the
// deps log) is missing.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "import/shell_words.h"

namespace kestrel::importer {

// The prerequisites of a make rule as compilers write them ("out: a b",
// continued over lines with a backslash), escapes removed, in order.
std::vector<std::string> RulePrerequisites(const std::string& rule);

// `compile` without what names its outputs (-o, -MD, -MF ...), asking for
// the rule on standard output instead; headers not made yet are named as
// written in the source (-MG).
Words DependencyCommand(const Words& compile);

// Whether the words are a compile of one source (a -c).
bool IsCompile(const Words& command);

// Runs `work(i)` for every i below `count` on up to `threads` threads.
void RunInParallel(size_t count, unsigned threads, const std::function<void(size_t)>& work);

// Runs DependencyCommand(compile) in `directory`; the prerequisites as the
// compiler named them. False with `problem` (what the compiler said) when it fails.
bool ScanHeaders(const Words& compile, const std::string& directory, std::vector<std::string>& files,
                 std::string& problem);

}  // namespace kestrel::importer
