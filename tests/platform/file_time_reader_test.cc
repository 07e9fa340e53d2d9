// FileTimeReader keeps directories open and reads names below them; every
// answer must be the one a plain read of the whole path gives.

#include "platform/file_time_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "file_time_answers.h"
#include "support/test_support.h"

namespace kestrel::platform {
namespace {

TEST(FileTimeReaderTest, AnswersAsAReadOfTheWholePath) {
    test::TempDir dir;
    test::WriteFile(dir / "a/one.c", "1");
    test::WriteFile(dir / "a/two.c", "2");
    test::WriteFile(dir / "b/three.c", "3");
    test::WriteFile(dir / "plain", "x");
    test::SetModificationTime(dir / "a/one.c", 1000);
    test::SetModificationTime(dir / "a/two.c", 2000);
    test::SetModificationTime(dir / "b/three.c", 3000);
    const std::string tooLong(300, 'n');
    const std::vector<std::string> paths = {
        dir / "a/one.c",   dir / "a/two.c",         dir / "b/three.c",   dir / "a/one.c",  // back to a kept directory
        dir / "a/gone.c",  dir / "gone/x.c",        dir / "gone/y.c",    // below a directory that is not there
        dir / "gone/deeper/x.c", dir / "gone/deeper/y.c", dir / "a/gone/x.c",
        dir / "plain/x.c",                                               // below a file
        dir / "a",                                                       // a directory
        dir / (tooLong + "/x.c"), dir / ("a/" + tooLong),                // names the system refuses
        std::filesystem::path(dir.path()).root_path().string(),         // the root of the file system
    };
    FileTimeReader reader;
    for (const std::string& path : paths) EXPECT_EQ(ThroughReader(reader, path), Whole(path)) << path;
    int64_t time = 0;
    int error = 0;
    EXPECT_EQ(reader.Read((dir / "a/one.c").c_str(), time, error), FileTimeResult::Present);
    EXPECT_EQ(time, UnixToFileTime(1000, 0));
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
        test::SetModificationTime(path, 1000 + i);
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
