#include <gtest/gtest.h>

#include <string>

#include "platform/clock.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace kestrel::platform {
namespace {

TEST(Clock, FileTimeEpoch) {
    EXPECT_EQ(UnixToFileTime(0, 0), 116444736000000000);
    EXPECT_EQ(UnixToFileTime(1, 250'000'000), 116444736000000000 + 12'500'000);
}

std::string TemporaryOrEmpty() {
    std::string directory;
    int error = 0;
    return TemporaryDirectory(directory, error) ? directory : std::string();
}

TEST(Directories, TemporaryDirectoryFollowsTheUsersSetting) {
    test::TempDir chosen;
    {
        // Given with a trailing separator, answered without one.
        test::EnvironmentOverride variable(test::kTemporaryDirectoryVariable,
                                           chosen.path() + test::kNativeSeparator);
        EXPECT_EQ(TemporaryOrEmpty(), chosen.path());
    }
    EXPECT_NE(TemporaryOrEmpty(), chosen.path());
}

TEST(Directories, ExecutablePathNamesThisProgram) {
    const std::string path = ExecutablePath();
    EXPECT_EQ(path.substr(path.rfind(test::kNativeSeparator) + 1), test::Executable("platform_tests"));
    EXPECT_EQ(path, test::NativePath(path)) << "in the system's own form";
}

}  // namespace
}  // namespace kestrel::platform
