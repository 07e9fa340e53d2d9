// A file reached through a symbolic link is the file it names: read once.

#include <unistd.h>

#include "script_fixture.h"

namespace kestrel::test {
namespace {

class ImportPosixTest : public ScriptTest {};

TEST_F(ImportPosixTest, AFileFoundThroughASymbolicLinkIsReadOnce) {
    Write("b.txt", "import d.txt\nfile list b\n");
    Write("d.txt", "data d\n  value\n    v = 1\nimport b.txt\n");
    ASSERT_EQ(symlink("d.txt", (dir / "alias.txt").c_str()), 0);
    ASSERT_EQ(symlink(".", (dir / "here").c_str()), 0);
    ASSERT_EQ(ErrorOf("import b.txt\nimport alias.txt\nimport here/d.txt\nimport here/alias.txt\ndata main\n"), "");
    EXPECT_NE(Files("b"), nullptr);
    EXPECT_NE(Data("d"), nullptr);
    EXPECT_NE(Data("main"), nullptr);
}

}  // namespace
}  // namespace kestrel::test
