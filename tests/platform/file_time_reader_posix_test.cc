// FileTimeReader where POSIX file systems have more to say: symbolic links,
// which are followed, and names above the system's limit, which fail.

#include "platform/file_time_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "file_time_answers.h"
#include "support/test_support.h"

namespace kestrel::platform {
namespace {

// The link's own time, so that an answer that did not follow the link shows.
void SetTime(const std::string& path, int64_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

TEST(FileTimeReaderPosixTest, LinksAreFollowedAsAWholeReadFollowsThem) {
    test::TempDir dir;
    test::WriteFile(dir / "a/one.c", "1");
    test::WriteFile(dir / "a/two.c", "2");
    SetTime(dir / "a/one.c", 1000);
    SetTime(dir / "a/two.c", 2000);
    ASSERT_EQ(symlink("a", (dir / "link").c_str()), 0);
    ASSERT_EQ(symlink("a/two.c", (dir / "file-link").c_str()), 0);
    ASSERT_EQ(symlink("gone", (dir / "dangling").c_str()), 0);
    SetTime(dir / "link", 5000);
    SetTime(dir / "file-link", 6000);
    const std::vector<std::string> paths = {
        dir / "a/one.c", dir / "link/one.c", dir / "a/two.c", dir / "file-link", dir / "link/two.c",
        dir / "dangling", dir / "dangling/x.c", "/",
    };
    FileTimeReader reader;
    for (const std::string& path : paths) EXPECT_EQ(ThroughReader(reader, path), Whole(path)) << path;
    EXPECT_EQ(ThroughReader(reader, dir / "file-link"), (Answer{FileTimeResult::Present, UnixToFileTime(2000, 0), 0}));
}

TEST(FileTimeReaderPosixTest, ANameAboveTheSystemsLimitFails) {
    test::TempDir dir;
    const std::string tooLong(300, 'n');
    FileTimeReader reader;
    int64_t time = 0;
    int error = 0;
    EXPECT_EQ(reader.Read((dir / (tooLong + "/x.c")).c_str(), time, error), FileTimeResult::Failed);
    EXPECT_EQ(error, ENAMETOOLONG);
}

}  // namespace
}  // namespace kestrel::platform
