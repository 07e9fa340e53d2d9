// Temporary logs hold command lines and output: on POSIX their mode keeps
// other users out.
#include "runtime/temp_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

#include "support/test_support.h"

namespace kestrel {
namespace {

TEST(TempFilesPosix, CreateMakesAFileOnlyItsOwnerMayUse) {
    test::TempDir temp;
    test::EnvironmentOverride temporaryDirectory("TMPDIR", temp.path());
    auto table = std::make_unique<TempFileTable>();
    TempLog* entry = table->Create("job", "connlog");
    ASSERT_NE(entry, nullptr);
    struct stat info;
    ASSERT_EQ(stat(entry->path, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "logs hold command lines: owner only";
    table->DeleteAll();
}

}  // namespace
}  // namespace kestrel
