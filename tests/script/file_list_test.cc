// File lists: entries as written under the script's directory, includes of
// other lists, and every message of the block.

#include "script_fixture.h"

namespace kestrel::test {
namespace {

class FileListTest : public ScriptTest {};

TEST_F(FileListTest, EntriesStayAsWrittenBelowTheScriptDirectory) {
    Write("s/build.txt",
          "file list headers\n"
          "  files\n"
          "    ../inc/a.h\n"
          "    sub\\b.h\n"
          "    ./c.h\n"
          "    has space.h  \n");
    std::string error;
    ASSERT_TRUE(Parse("s/build.txt", &error)) << error;
    ASSERT_NE(Files("headers"), nullptr);
    EXPECT_EQ(Entries(*Files("headers")), (std::vector<std::string>{dir / "s/../inc/a.h", dir / "s/sub/b.h",
                                                                    dir / "s/./c.h", dir / "s/has space.h  "}));
}

TEST_F(FileListTest, IncludesCopyTheEntriesAtTheTimeOfTheLine) {
    std::string script = "file list many\n  file\n";
    std::vector<std::string> expected;
    for (int i = 0; i < 25; ++i) {
        script += "    f" + std::to_string(i) + ".c\n";
        expected.push_back(dir / ("f" + std::to_string(i) + ".c"));
    }
    script += "file list more\n  include\n    many\n  file\n    last.c\n  includes\n    many\n";
    ASSERT_EQ(ErrorOf(script), "");
    EXPECT_EQ(Entries(*Files("many")), expected);
    std::vector<std::string> more = expected;
    more.push_back(dir / "last.c");
    more.insert(more.end(), expected.begin(), expected.end());
    EXPECT_EQ(Entries(*Files("more")), more);
}

TEST_F(FileListTest, AJobsFileBlocksAddToItsListsInScriptOrder) {
    // Each block's lines join the list when the block ends; a block cut
    // short by an error leaves nothing behind (AddressSanitizer checks).
    ASSERT_EQ(ErrorOf("file list common\n  file\n    c1.h\n    c2.h\n"
                      "job j\n  machine\n    m:1\n  input\n    a.c\n    b.c\n  include input\n    common\n"
                      "  output\n    a.o\n  input\n    d.c\n"),
              "");
    const Job* job = FindJob("j");
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(Entries(job->inputs), (std::vector<std::string>{dir / "a.c", dir / "b.c", dir / "c1.h", dir / "c2.h",
                                                              dir / "d.c"}));
    EXPECT_EQ(Entries(job->outputs), (std::vector<std::string>{dir / "a.o"}));
    EXPECT_EQ(ErrorOf("job j\n  machine\n    m:1\n  input\n    a.c\n    /b.c\n"),
              "Files in a file list cannot have absolute paths" + At(6));
}

TEST_F(FileListTest, Messages) {
    struct Case {
        std::string script;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"file list a\nfile list a  \n", "File list name a already used" + At(2)},
        {"data a\nfile list a\n", "File list name a already used" + At(2)},
        {"file list a\n  other line\n", "Unknown line in file list: other line" + At(2)},
        {"file list a\n  filex\n", "Unrecognized line filex" + At(2)},
        {"file list a\n  include.\n", "Unrecognized line include." + At(2)},
        {"file list a\n  includes.\n", "No parameters allowed for include block" + At(2)},
        {"file list a\n  file x\n", "No parameters allowed for file block" + At(2)},
        {"file list a\n  filess\n", "No parameters allowed for file block" + At(2)},
        {"file list a\n  include x\n", "No parameters allowed for include block" + At(2)},
        {"file list a\n  file\n    /x.h\n", "Files in a file list cannot have absolute paths" + At(3)},
        {"file list a\n  file\n    C:/x.h\n", "Files in a file list cannot have absolute paths" + At(3)},
        {"file list a\n  file\n    \\x.h\n", "Files in a file list cannot have absolute paths" + At(3)},
        {"file list a\n  include\n    b\n", "Unknown file list b" + At(3)},
        {"data d\nfile list a\n  include\n    d\n", "d not a file list" + At(4)},
        {"file list a\n  include\n    a\n", "File list cannot include itself" + At(3)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf(c.script), c.error) << c.script;
    }
}

TEST_F(FileListTest, EmptyListsAndBlocksAreValid) {
    ASSERT_EQ(ErrorOf("file list a\nfile list b\n  file\n  include\nfile list c\n  include\n    a\n"), "");
    EXPECT_EQ(Files("a")->count, 0u);
    EXPECT_EQ(Files("c")->count, 0u);
}

}  // namespace
}  // namespace kestrel::test
