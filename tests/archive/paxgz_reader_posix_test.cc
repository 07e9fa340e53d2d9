// Extraction beside symbolic links, which only POSIX file systems give
// every user: a link is never followed, whoever planted it.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "archive/archive_test_support.h"
#include "support/test_support.h"

namespace kestrel::test {
namespace {

std::string File(const std::string& name, const std::string& data) {
    return TarHeader(name, '0', data.size()) + PadToBlock(data);
}

std::string Archive(const std::string& tar) { return Gzip(tar + ZeroBlocks(2)); }

TEST(PaxgzReader, ExtractionNeverFollowsSymbolicLinks) {
    TempDir outside;
    TempDir dir;
    WriteFile(outside / "secret", "keep");
    ASSERT_EQ(symlink(outside.path().c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(symlink((outside / "secret").c_str(), (dir / "file").c_str()), 0);

    // Through a linked directory: refused by the file system walk.
    ReaderRun run = RunReader(Archive(File("link/planted", "evil")), dir.path());
    EXPECT_EQ(run.kind, 4u);
    EXPECT_TRUE(run.code == ELOOP || run.code == ENOTDIR) << run.code;
    EXPECT_FALSE(FileExists(outside / "planted"));

    // Over a link to a file: the link is replaced, its target untouched.
    run = RunReader(Archive(File("file", "new")), dir.path());
    ASSERT_TRUE(run.ok) << run.chain1;
    EXPECT_EQ(ReadFile(outside / "secret"), "keep");
    EXPECT_EQ(ReadFile(dir / "file"), "new");
    struct stat status;
    ASSERT_EQ(lstat((dir / "file").c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));

    // A directory entry through the link is refused as well.
    run = RunReader(Archive(TarHeader("link/sub/", '5', 0)), dir.path());
    EXPECT_EQ(run.kind, 4u);
    EXPECT_FALSE(FileExists(outside / "sub"));
}

}  // namespace
}  // namespace kestrel::test
