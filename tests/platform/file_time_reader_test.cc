// FileTimeReader keeps directories open and reads names below them; every
// answer must be the one a plain read of the whole path gives.

#include "platform/file_time_reader.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "support/test_support.h"

namespace kestrel::platform {
namespace {

struct Answer {
    FileTimeResult result;
    int64_t time;
    int error;
    bool operator==(const Answer&) const = default;
};

void PrintTo(const Answer& answer, std::ostream* out) {
    *out << "{" << static_cast<int>(answer.result) << ", " << answer.time << ", " << answer.error << "}";
}

Answer ThroughReader(FileTimeReader& reader, const std::string& path) {
    Answer answer{FileTimeResult::Failed, 0, 0};
    answer.result = reader.Read(path.c_str(), answer.time, answer.error);
    if (answer.result == FileTimeResult::Missing) answer.error = 0;  // which of ENOENT and ENOTDIR is free
    return answer;
}

Answer Whole(const std::string& path) {
    Answer answer{FileTimeResult::Failed, 0, 0};
    answer.result = ReadModificationTime(path.c_str(), answer.time, answer.error);
    if (answer.result == FileTimeResult::Missing) answer.error = 0;
    return answer;
}

void SetTime(const std::string& path, int64_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

TEST(FileTimeReaderTest, AnswersAsAReadOfTheWholePath) {
    test::TempDir dir;
    test::WriteFile(dir / "a/one.c", "1");
    test::WriteFile(dir / "a/two.c", "2");
    test::WriteFile(dir / "b/three.c", "3");
    test::WriteFile(dir / "plain", "x");
    SetTime(dir / "a/one.c", 1000);
    SetTime(dir / "a/two.c", 2000);
    SetTime(dir / "b/three.c", 3000);
    ASSERT_EQ(symlink("a", (dir / "link").c_str()), 0);
    ASSERT_EQ(symlink("a/two.c", (dir / "file-link").c_str()), 0);
    const std::string tooLong(300, 'n');
    const std::vector<std::string> paths = {
        dir / "a/one.c",   dir / "a/two.c",         dir / "b/three.c",   dir / "a/one.c",  // back to a kept directory
        dir / "a/gone.c",  dir / "gone/x.c",        dir / "gone/y.c",    // below a directory that is not there
        dir / "gone/deeper/x.c", dir / "gone/deeper/y.c", dir / "a/gone/x.c",
        dir / "plain/x.c",                                               // below a file
        dir / "link/one.c", dir / "file-link",      dir / "a",           // links are followed; a directory
        dir / (tooLong + "/x.c"), dir / ("a/" + tooLong),                // names the system refuses
        "/",
    };
    FileTimeReader reader;
    for (const std::string& path : paths) EXPECT_EQ(ThroughReader(reader, path), Whole(path)) << path;
    int64_t time = 0;
    int error = 0;
    EXPECT_EQ(reader.Read((dir / "a/one.c").c_str(), time, error), FileTimeResult::Present);
    EXPECT_EQ(time, UnixToFileTime(1000, 0));
    EXPECT_EQ(reader.Read((dir / (tooLong + "/x.c")).c_str(), time, error), FileTimeResult::Failed);
    EXPECT_EQ(error, ENAMETOOLONG);
}

TEST(FileTimeReaderTest, MoreDirectoriesThanItKeepsOpen) {
    // Files two levels below 300 directories, read twice in turn, so that
    // kept directories are replaced and found again.
    // Each file has its own time, so an answer from the wrong directory shows.
    test::TempDir dir;
    constexpr int kDirectories = 300;
    for (int i = 0; i < kDirectories; ++i) {
        const std::string path = dir / ("d" + std::to_string(i) + "/e/f");
        test::WriteFile(path, "x");
        SetTime(path, 1000 + i);
    }
    FileTimeReader reader;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < kDirectories; ++i) {
            const std::string path = dir / ("d" + std::to_string(i) + "/e/f");
            ASSERT_EQ(ThroughReader(reader, path), (Answer{FileTimeResult::Present, UnixToFileTime(1000 + i, 0), 0}))
                << path;
        }
    }
}

}  // namespace
}  // namespace kestrel::platform
