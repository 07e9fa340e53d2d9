// The panic report tests' fixture: panic_exercise runs in a temporary
// directory of its own, and panic.bin is extracted from there.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "archive/archive_test_support.h"
#include "driver/panic.h"
#include "support/test_support.h"

namespace kestrel {

inline std::string ExerciseBinary() {
    const char separator = test::kNativeSeparator;
    return test::Executable(test::BuildDir() + separator + "tests" + separator + "panic_exercise");
}

inline const std::string kNotice = std::string("The Kestrelvane client has panicked due to an internal bug\n") +
                                   "Please email the panic.bin file to " + kSupportAddress + "\n" +
                                   "NOTE: The panic.bin file will contain IP addresses, command lines and file names.\n" +
                                   "      It will not contain file contents.\n\n";

inline std::string Utf16Line(const std::string& ascii) { return test::Utf16(ascii); }

inline std::vector<std::string> KvlogFiles(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(test::PathOf(directory)))
        if (test::TextOf(entry.path().filename()).rfind("KVLOG.", 0) == 0) names.push_back(test::TextOf(entry.path()));
    std::sort(names.begin(), names.end());
    return names;
}

class PanicReport : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(test::PathOf(temp / "tmp")); }

    test::ProcessResult Run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{ExerciseBinary()};
        argv.insert(argv.end(), args.begin(), args.end());
        test::ProcessOptions options;
        options.workingDirectory = temp.path();
        options.environment[test::kTemporaryDirectoryVariable] = temp / "tmp";
        return test::RunProcess(argv, options);
    }

    // Extracts panic.bin and returns the extracted tree.
    std::map<std::string, std::string> Extract() {
        std::filesystem::create_directories(test::PathOf(temp / "out"));
        const test::ReaderRun run = test::RunReader(test::ReadFile(temp / "panic.bin"), temp / "out");
        EXPECT_TRUE(run.ok) << run.chain0 << ": " << run.chain1;
        EXPECT_TRUE(run.utf16) << "panic.bin names its entries in UTF-16LE";
        return test::ReadTree(temp / "out");
    }

    test::TempDir temp;
};

}  // namespace kestrel
