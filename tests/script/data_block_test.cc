// Data blocks: value and path members, includes of data blocks and file
// lists, and every message of the block.

#include <cstdlib>

#include "script_fixture.h"

namespace kestrel::test {
namespace {

class DataBlockTest : public ScriptTest {
protected:
    const void* Member(const char* block, const char* member) const {
        const DataBlock* data = Data(block);
        return data != nullptr ? data->members.Find(member) : nullptr;
    }
};

TEST_F(DataBlockTest, ValueLinesSplitAtTheFirstEquals) {
    ASSERT_EQ(ErrorOf("data d\n"
                      "    values\n"
                      "        cc = cl\n"
                      "        cc = icl\n"
                      "        tight= x\n"
                      "        spaced = x\n"
                      "        two words = a = b  \n"
                      "        list=one\n"
                      "        list=two\n"
                      "        list=three\n"
                      "        KVbuild = ok\n"),
              "");
    EXPECT_EQ(Values(Member("d", "cc")), (std::vector<std::string>{"cl", "icl"}));
    EXPECT_EQ(Values(Member("d", "tight")), (std::vector<std::string>{" x"}));
    EXPECT_EQ(Values(Member("d", "spaced")), (std::vector<std::string>{"x"}));
    EXPECT_EQ(Values(Member("d", "two words")), (std::vector<std::string>{"a = b  "}));
    EXPECT_EQ(Values(Member("d", "list")), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(Values(Member("d", "KVbuild")), (std::vector<std::string>{"ok"}));
}

TEST_F(DataBlockTest, ManyValuesGrowTheList) {
    std::string script = "data d\n  value\n";
    std::vector<std::string> expected;
    for (int i = 0; i < 500; ++i) {
        expected.push_back("value number " + std::to_string(i));
        script += "    v = " + expected.back() + "\n";
    }
    ASSERT_EQ(ErrorOf(script), "");
    EXPECT_EQ(Values(Member("d", "v")), expected);
}

TEST_F(DataBlockTest, PathLinesJoinTheScriptDirectoryAndNormalize) {
    Write("s/build.txt",
          "data d\n"
          "  path\n"
          "    src = ../src/a.c\n"
          "    src = ./b\\c.h\n"
          "    <odd> = x\n");
    std::string error;
    ASSERT_TRUE(Parse("s/build.txt", &error)) << error;
    EXPECT_EQ(Paths(Member("d", "src")),
              (std::vector<std::string>{"base:" + dir / "s", dir / "src/a.c", dir / "s/b/c.h"}));
    EXPECT_EQ(Paths(Member("d", "<odd>")), (std::vector<std::string>{"base:" + dir / "s", dir / "s/x"}));
}

TEST_F(DataBlockTest, BlockAndLineMessages) {
    const std::string twoDeep = "data d\n  value\n    ";
    struct Case {
        std::string script;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"data d\ndata d\n", "Data block name d already used" + At(2)},
        {"file list d\ndata d   \n", "Data block name d already used" + At(2)},
        {"data d\n  valuex\n", "Unknown line in data block: valuex" + At(2)},
        {"data d\n  other\n", "Unknown line in data block: other" + At(2)},
        {"data d\n  value x\n", "No parameters allowed for value block" + At(2)},
        {"data d\n  values  x\n", "No parameters allowed for value block" + At(2)},
        {"data d\n  valuess\n", "No parameters allowed for value block" + At(2)},
        {"data d\n  path x\n", "No parameters allowed for path block" + At(2)},
        {twoDeep + "= x\n", "Data has no name" + At(3)},
        {twoDeep + "name\n", "Data name has no value" + At(3)},
        {twoDeep + "name   \n", "Data name has no value" + At(3)},
        {twoDeep + "name =   \n", "Data name has no value" + At(3)},
        {twoDeep + "name=\n", "Data name has no value" + At(3)},
        {twoDeep + "a<b = x\n", "A data label may not contain a < or >" + At(3)},
        {twoDeep + "a>b = x\n", "A data label may not contain a < or >" + At(3)},
        {twoDeep + "KV build = x\n", "Names beginning with 'KV ' are reserved" + At(3)},
        {"data d\n  path\n    KV x = y\n", "Names beginning with 'KV ' are reserved" + At(3)},
        {"data d\n  path\n    = y\n", "Data has no name" + At(3)},
        {"data d\n  path\n    p\n", "Data p has no value" + At(3)},
        {"data d\n  path\n    p = a\n  value\n    p = x\n",
         "The name p has already been assigned to non-value data" + At(5)},
        {"data d\n  value\n    p = a\n  path\n    p = x\n",
         "The name p has already been assigned to non-path data" + At(5)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf(c.script), c.error) << c.script;
    }
}

TEST_F(DataBlockTest, PathValuesMustBeRelativeAndStayBelowTheRoot) {
    for (const char* value : {"/etc/passwd", "C:/x", "\\x", "\\\\server\\share\\x"}) {
        EXPECT_EQ(ErrorOf(std::string("data d\n  path\n    p = ") + value + "\n"),
                  "Files in a data path values cannot have absolute paths" + At(3))
            << value;
    }
    std::string above = "../x";  // one more level than the directory has
    for (const char* c = dir.path().c_str(); *c != '\0'; ++c) {
        if (*c == kNativeSeparator) above = "../" + above;
    }
    EXPECT_EQ(ErrorOf("data d\n  path\n    p = " + above + "\n"),
              "The path could not be normalized, the path points above the root" + At(3));
}

TEST_F(DataBlockTest, IncludesMergeMembersByName) {
    Write("lib/defs.txt",
          "data shared\n"
          "  value\n"
          "    cc = cl\n"
          "  path\n"
          "    src = a.c\n");
    ASSERT_EQ(ErrorOf("import lib/defs.txt\n"
                      "data mine\n"
                      "  value\n"
                      "    cc = gcc\n"
                      "  path\n"
                      "    src = b.c\n"
                      "  include\n"
                      "    shared\n"
                      "data fresh\n"
                      "  includes\n"
                      "    shared\n"),
              "");
    // Existing members: values appended, paths appended with the other base still marked.
    EXPECT_EQ(Values(Member("mine", "cc")), (std::vector<std::string>{"gcc", "cl"}));
    EXPECT_EQ(Paths(Member("mine", "src")),
              (std::vector<std::string>{"base:" + dir.path(), dir / "b.c", "base:" + dir / "lib", dir / "lib/a.c"}));
    // New members: values copied whole, paths under this script's directory without the other base.
    EXPECT_EQ(Values(Member("fresh", "cc")), (std::vector<std::string>{"cl"}));
    EXPECT_EQ(Paths(Member("fresh", "src")), (std::vector<std::string>{"base:" + dir.path(), dir / "lib/a.c"}));
}

TEST_F(DataBlockTest, IncludesMergeMembersInDeclarationOrder) {
    // Enough members, their names in no order of their own, that table order
    // and declaration order could not agree by chance.
    std::string script = "data source\n  value\n";
    std::vector<std::string> names, values;
    for (int i = 0; i < 40; ++i) {
        names.push_back("m" + std::to_string((i * 37) % 41));
        values.push_back("v" + std::to_string(i));
        script += "    " + names.back() + " = " + values.back() + "\n";
    }
    script += "data all\n  include with name all\n    source\n";
    script += "data copy\n  include\n    source\n";
    ASSERT_EQ(ErrorOf(script), "");
    // A named include gathers the values member by member.
    EXPECT_EQ(Values(Member("all", "all")), values);
    // A plain include declares the members anew, in the same order.
    const DataBlock* copy = Data("copy");
    ASSERT_NE(copy, nullptr);
    std::vector<std::string> copied;
    for (uint32_t i = 0; i < copy->declaredCount; ++i) copied.push_back(copy->declared[i].name);
    EXPECT_EQ(copied, names);
    // Of two members that cannot merge, the first declared is reported.
    EXPECT_EQ(ErrorOf("data source\n  value\n    x = 1\n  path\n    y = p.c\n  value\n    z = 2\n"
                      "data d\n  path\n    x = q\n  value\n    y = 1\n  include\n    source\n"),
              "Cannot add the value x to the non-value member x" + At(14));
}

TEST_F(DataBlockTest, NamedIncludesOfFileListsBecomePathMembers) {
    ASSERT_EQ(ErrorOf("file list srcs\n"
                      "  file\n"
                      "    x/../a.c\n"
                      "    b.c\n"
                      "data d\n"
                      "  include   with   name   files  \n"
                      "    srcs\n"
                      "  includes with name files\n"
                      "    srcs\n"),
              "");
    EXPECT_EQ(Paths(Member("d", "files")),
              (std::vector<std::string>{"base:" + dir.path(), dir / "a.c", dir / "b.c", dir / "a.c", dir / "b.c"}));
}

TEST_F(DataBlockTest, IncludeMessages) {
    const std::string defs =
        "data values\n  value\n    v = 1\n"
        "data paths\n  path\n    v = p\n"
        "file list files\n  file\n    f.c\n";
    struct Case {
        std::string lines;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"  include x\n", "Invalid include parameter x in the data block"},
        {"  includex\n", "Invalid include parameter x in the data block"},
        {"  include with name\n", "Invalid include parameter with name in the data block"},
        {"  include with name   \n", "Empty name in include with name block"},
        {"  include\n    nothing\n", "Cannot find block nothing"},
        {"  include\n    d\n", "The data block cannot include itself"},
        {"  include\n    files\n", "The file list files cannot be included without a name"},
        {"  value\n    n = 1\n  include with name n\n    files\n", "Cannot add a file list to the non-path member n"},
        {"  value\n    v = 1\n  include\n    paths\n", "Cannot add the path v to the non-path member v"},
        {"  path\n    v = q\n  include\n    values\n", "Cannot add the value v to the non-value member v"},
        {"  path\n    n = q\n  include with name n\n    values\n", "Cannot add the value v to the non-value member n"},
    };
    for (const Case& c : cases) {
        const std::string script = defs + "data d\n" + c.lines;
        int lastLine = 0;
        for (char ch : script) lastLine += ch == '\n';
        EXPECT_EQ(ErrorOf(script), c.error + At(lastLine)) << c.lines;
    }
}

TEST_F(DataBlockTest, OnlyDataBlocksAndFileListsCanBeIncluded) {
    // The step parser is not in this build: register a record of that kind directly.
    auto* step = static_cast<BlockKind*>(std::malloc(sizeof(BlockKind)));
    *step = BlockKind::Step;
    ASSERT_TRUE(InsertNamed(context.blocks, "compile", 7, step, [](NameTableEntry* entry) {
        std::free(entry->value);
        std::free(const_cast<char*>(entry->key));
    }));
    Write("build.txt", "data d\n  include\n    compile\n");
    std::string error;
    EXPECT_FALSE(Parse("build.txt", &error));
    EXPECT_EQ(error, "Cannot include block compile as data" + At(3));
}

}  // namespace
}  // namespace kestrel::test
