// Imports: each file is read once whatever the route (including the main
// script itself), relative names resolve against the importing file, and
// errors inside imported files name both places.

#include "script_fixture.h"

namespace kestrel::test {
namespace {

class ImportTest : public ScriptTest {};

TEST_F(ImportTest, ImportedBlocksAreRegisteredBeforeTheNextLine) {
    Write("lib/defs.txt", "data tools\n  value\n    cc = cl\n");
    ASSERT_EQ(ErrorOf("import lib/defs.txt\ndata mine\n  include\n    tools\n"), "");
    EXPECT_NE(Data("tools"), nullptr);
    EXPECT_NE(Data("mine")->members.Find("cc"), nullptr);
}

TEST_F(ImportTest, EveryFileIsReadOnceWhateverTheRoute) {
    // A diamond (b and c both import d), a repeated import, a file importing
    // itself, a name with dots on the way, and a cycle back to the main
    // script: each would register its blocks twice if read twice. Where
    // letter case makes no other file, another spelling is another route.
    Write("b.txt", "import d.txt\nfile list b\n");
    Write("c.txt", "import d.txt\nimport c.txt\nimport build.txt\nfile list c\n");
    Write("d.txt", "data d\n  value\n    v = 1\nimport b.txt\n");
    const std::string otherSpelling = kFileNamesIgnoreCase ? "import D.TXT\nimport SUB/../B.txt\n" : "";
    ASSERT_EQ(
        ErrorOf("import b.txt\nimport c.txt\nimport b.txt\n" + otherSpelling + "import ./x/../d.txt\ndata main\n"), "");
    EXPECT_NE(Files("b"), nullptr);
    EXPECT_NE(Files("c"), nullptr);
    EXPECT_NE(Data("d"), nullptr);
    EXPECT_NE(Data("main"), nullptr);
}

TEST_F(ImportTest, ALongChainOfImportsIsReadWhole) {
    // Every reader on the chain waits for the files it imports; each file's
    // import is its last line in one half of the chain and comes before a
    // block in the other, so both ways of nesting are taken.
    constexpr int kFiles = 800;
    for (int i = 1; i < kFiles; ++i) {
        const std::string next = i + 1 < kFiles ? "import f" + std::to_string(i + 1) + ".txt\n" : "";
        const std::string block = "data d" + std::to_string(i) + "\n";
        Write("f" + std::to_string(i) + ".txt", i % 2 == 0 ? block + next : next + block);
    }
    ASSERT_EQ(ErrorOf("import f1.txt\ndata main\n"), "");
    for (int i = 1; i < kFiles; ++i) ASSERT_NE(Data(("d" + std::to_string(i)).c_str()), nullptr) << i;
    EXPECT_NE(Data("main"), nullptr);
}

TEST_F(ImportTest, TheMainScriptImportedAgainIsNotReadAgain) {
    Write("sub/a.txt", "import ../build.txt\ndata a\n");
    ASSERT_EQ(ErrorOf("data main\nimport sub/a.txt\nimport build.txt\n"), "");
    EXPECT_NE(Data("a"), nullptr);
}

TEST_F(ImportTest, NamesResolveAgainstTheImportingFile) {
    Write("sub/a.txt", "import b.txt\nimport deeper/c.txt\n");
    Write("sub/b.txt", "data b\n");
    Write("sub/deeper/c.txt", "import ../../top.txt\nfile list c\n  file\n    x.c\n");
    Write("top.txt", "data top\n");
    ASSERT_EQ(ErrorOf("import   sub\\a.txt   \n"), "");
    EXPECT_NE(Data("b"), nullptr);
    EXPECT_NE(Data("top"), nullptr);
    EXPECT_EQ(Entries(*Files("c")), (std::vector<std::string>{dir / "sub/deeper/x.c"}));
}

TEST_F(ImportTest, ImportLineMessages) {
    std::string above = "../x";  // one more level than the directory has
    for (const char* c = dir.path().c_str(); *c != '\0'; ++c) {
        if (*c == kNativeSeparator) above = "../" + above;
    }
    EXPECT_EQ(ErrorOf("import " + above + "\n"), "Attempted to import the invalid path " + above + At(1));
    Write("a.txt", "data a\n");
    EXPECT_EQ(ErrorOf("data x\nimport a.txt\n  data y\n"), "The import block cannot have content" + At(3));
}

TEST_F(ImportTest, ErrorsInImportedFilesNameEveryFileOnTheWay) {
    Write("sub/a.txt", "# comment\ndata fine\n\nimport b.txt\n");
    Write("sub/b.txt", "file list l\n  file\n    ok.c\n  oops\n");
    EXPECT_EQ(ErrorOf("data first\nimport sub/a.txt\ndata never\n"),
              "Unknown line in file list: oops" + At(4, "sub/b.txt") + ",\nimported from" + At(4, "sub/a.txt") +
                  ",\nimported from" + At(2));
    // The blocks read before the failure stay registered; the rest were never read.
    EXPECT_NE(Data("fine"), nullptr);
    EXPECT_EQ(Data("never"), nullptr);
}

TEST_F(ImportTest, AnImportedTopLevelMessageIsShownOnce) {
    Write("a.txt", "data ok\nbogus line\n");
    EXPECT_EQ(ErrorOf("import a.txt\n"), "Unrecognized line bogus line" + At(2, "a.txt") + ",\nimported from" + At(1));
}

TEST_F(ImportTest, FilesThatCannotBeRead) {
    EXPECT_EQ(ErrorOf("import missing.txt\n"),
              "Cannot open script " + (dir / "missing.txt") + ", error 2,\nimported from" + At(1));
    Write("folder/x.txt", "");
    EXPECT_EQ(ErrorOf("import folder\n"), std::string("Cannot ") + kDirectoryAsFile.failedStep + " script " +
                                              (dir / "folder") + ", error " + std::to_string(kDirectoryAsFile.code) +
                                              ",\nimported from" + At(1));
    Write("bad.txt", "data a\n\xC0\x80\n");
    EXPECT_EQ(ErrorOf("data z\nimport bad.txt\n"),
              "Non-UTF-8 character in file " + (dir / "bad.txt") + ", line 2,\nimported from" + At(2));
}

}  // namespace
}  // namespace kestrel::test
