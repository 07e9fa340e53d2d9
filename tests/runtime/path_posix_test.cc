// The working directory removed beneath the process, which POSIX allows.
#include "runtime/path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "support/test_support.h"

namespace kestrel {
namespace {

struct RemovedDirectoryFixture : ::testing::Test {
    test::TempDir temp;
    std::string saved;

    void SetUp() override {
        char buffer[PATH_MAX];
        ASSERT_NE(getcwd(buffer, sizeof buffer), nullptr);
        saved = buffer;
    }
    void TearDown() override { EXPECT_EQ(chdir(saved.c_str()), 0); }
};

TEST_F(RemovedDirectoryFixture, RemovedCurrentDirectoryGivesTheErrno) {
    const std::string gone = temp / "gone";
    test::WriteFile(gone + "/x", "");
    ASSERT_EQ(chdir(gone.c_str()), 0);
    test::RemoveTree(gone);
    Path path;
    int error = 0;
    EXPECT_FALSE(CurrentDirectoryPath(path, error));
    EXPECT_EQ(error, ENOENT);
}

}  // namespace
}  // namespace kestrel
