// The top-level dispatcher and a whole script of the kinds available.

#include "script_fixture.h"

namespace kestrel::test {
namespace {

class TopLevelTest : public ScriptTest {};

TEST_F(TopLevelTest, AKeywordWithoutItsNameGetsTheBlocksMessage) {
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {
        {"data", "Data block name cannot be empty"},
        {"data    ", "Data block name cannot be empty"},
        {"file list", "File list name cannot be empty"},
        {"file list  ", "File list name cannot be empty"},
        {"machine", "Machine block name cannot be empty"},
        {"machine ", "Machine block name cannot be empty"},
        {"import", "No file specified to import"},
        {"import   ", "No file specified to import"},
        {"step", "Step must have a name"},
        {"step ", "Step must have a name"},
        {"job", "Job must have a name"},
        {"job  ", "Job must have a name"},
        {"project", "The project must have a name"},
        {"project ", "The project must have a name"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf(std::string("# first\n\n") + c.line + "\n"), c.message + At(3)) << c.line;
    }
}

TEST_F(TopLevelTest, AnythingElseIsAnUnrecognizedLine) {
    for (const char* line : {"dat", "datum x", "file listx", "file   list", "Data x", "machines x", "x data y"}) {
        EXPECT_EQ(ErrorOf(std::string("data ok\n") + line + "\n"), std::string("Unrecognized line ") + line + At(2))
            << line;
    }
}

TEST_F(TopLevelTest, KeywordSpacesMatchRuns) {
    EXPECT_EQ(ErrorOf("file   list   x\n    file\n        a.c\ndata    d\n"), "");
    ASSERT_NE(Files("x"), nullptr);
    EXPECT_EQ(Entries(*Files("x")), (std::vector<std::string>{dir / "a.c"}));
    EXPECT_NE(Data("d"), nullptr);
}

TEST_F(TopLevelTest, AScriptOfDataFileListsAndMachines) {
    ASSERT_EQ(ErrorOf("# tools and sources\n"
                      "data tools\n"
                      "    value\n"
                      "        compiler = cl\n"
                      "file list sources\n"
                      "    file\n"
                      "        src/main.c\n"
                      "        src/util.c\n"
                      "machine builder\n"
                      "    path\n"
                      "        kv://gateway:6000\n"
                      "        kvi://builder1\n"
                      "    path list\n"
                      "        kv://builder2\n"),
              "");
    ASSERT_NE(Data("tools"), nullptr);
    EXPECT_EQ(Values(Data("tools")->members.Find("compiler")), (std::vector<std::string>{"cl"}));
    ASSERT_NE(Files("sources"), nullptr);
    EXPECT_EQ(Entries(*Files("sources")), (std::vector<std::string>{dir / "src/main.c", dir / "src/util.c"}));
    const Machine* builder = FindMachine("builder");
    ASSERT_NE(builder, nullptr);
    ASSERT_EQ(builder->pathCount(), 2u);
    const Hop* gateway = builder->first[0].hops;
    ASSERT_NE(gateway, nullptr);
    EXPECT_STREQ(gateway->host, "gateway");
    ASSERT_NE(gateway->next, nullptr);
    EXPECT_STREQ(gateway->next->host, "builder1");
    EXPECT_EQ(gateway->next->next, nullptr);
    EXPECT_STREQ(builder->first[1].hops->host, "builder2");
}

TEST_F(TopLevelTest, MessagesNameTheMainScriptByItsNormalizedPath) {
    Write("sub/build.txt", "data\n");
    std::string error;
    EXPECT_FALSE(Parse("./sub/../sub/build.txt", &error));
    EXPECT_EQ(error, "Data block name cannot be empty" + At(1, "sub/build.txt"));
}

}  // namespace
}  // namespace kestrel::test
