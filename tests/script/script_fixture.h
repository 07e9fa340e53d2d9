// Runs real script files from a temporary directory through a ScriptReader
// and the parser context, and reads back what the blocks registered.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "script/command_list.h"
#include "script/job.h"
#include "script/objects.h"
#include "script/script_reader.h"
#include "support/test_support.h"

namespace kestrel::test {

class ScriptTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes `bytes` to `name` in the temporary directory; returns the full path.
    std::string Write(const std::string& name, const std::string& bytes);
    // Reads `name` (relative to the temporary directory) as the main script
    // and finishes it. On failure the reader's error text is in `error`.
    bool Parse(const std::string& name, std::string* error = nullptr, const BlockHandler* base = nullptr);
    // Writes build.txt with `bytes` and parses it into a fresh context; returns
    // the error text ("" when it parsed).
    std::string ErrorOf(const std::string& bytes);
    // ", file <dir>/<name>, line <n>"
    std::string At(int line, const std::string& name = "build.txt") const;

    const DataBlock* Data(const char* name) const;
    const FileList* Files(const char* name) const;
    const Machine* FindMachine(const char* name) const;
    Job* FindJob(const char* name) const;
    const Step* FindStep(const char* name) const;

    TempDir dir;
    ParserContext context{};
};

// Path texts written with '/' as this system renders them.
std::vector<std::string> Native(std::vector<std::string> paths);

std::vector<std::string> Values(const void* member);
// Each path rendered; base entries get a leading "base:".
std::vector<std::string> Paths(const void* member);
std::vector<std::string> Entries(const FileList& list);
std::string Render(const Path& path);
// A command as text: each part's literal, then its expansion as <name> or
// <name#flags> (hexadecimal, without the argument-start flag); arguments
// are separated by " | ".
std::string Describe(const Command& command);
std::vector<std::string> Commands(const CommandList& list);

}  // namespace kestrel::test
