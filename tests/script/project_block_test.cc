// Project blocks: build and test lists of jobs and earlier projects, and
// every message of the block.

#include "script/project_block.h"

#include "script_fixture.h"

namespace kestrel::test {
namespace {

class ProjectBlockTest : public ScriptTest {
protected:
    const Project* FindProject(const char* name) const {
        const void* record = context.blocks.Find(name);
        if (record == nullptr || KindOf(record) != BlockKind::Project) return nullptr;
        return static_cast<const Project*>(record);
    }
};

const std::string kJobs =
    "machine m\n  path\n    kv://h\n"
    "job a\n  machine\n    m\n"
    "job b\n  machine\n    m\n";

TEST_F(ProjectBlockTest, ListsKeepJobsAndProjectsInScriptOrder) {
    std::string script = kJobs +
                         "project base\n"
                         "  build\n"
                         "    a\n"
                         "project all\n"
                         "  builds  \n"
                         "    b\n"
                         "    base\n"
                         "    b\n"
                         "  tests\n"
                         "    a\n"
                         "  build\n"
                         "    a\n";
    // Enough entries to outgrow the first array.
    script += "project many\n  test\n";
    for (int i = 0; i < 25; ++i) script += i % 2 == 0 ? "    a\n" : "    b\n";
    ASSERT_EQ(ErrorOf(script), "");
    const Project* all = FindProject("all");
    ASSERT_NE(all, nullptr);
    EXPECT_STREQ(all->name, "all");
    const void* a = FindJob("a");
    const void* b = FindJob("b");
    const void* base = FindProject("base");
    ASSERT_EQ(all->build.count(), 4u);
    EXPECT_EQ(all->build.first[0], b);
    EXPECT_EQ(all->build.first[1], base);
    EXPECT_EQ(all->build.first[2], b);
    EXPECT_EQ(all->build.first[3], a);
    ASSERT_EQ(all->test.count(), 1u);
    EXPECT_EQ(all->test.first[0], a);

    const Project* many = FindProject("many");
    ASSERT_NE(many, nullptr);
    EXPECT_EQ(many->build.count(), 0u);
    ASSERT_EQ(many->test.count(), 25u);
    for (uint32_t i = 0; i < 25; ++i) EXPECT_EQ(many->test.first[i], i % 2 == 0 ? a : b) << i;
}

TEST_F(ProjectBlockTest, EmptyProjectsAreValid) {
    ASSERT_EQ(ErrorOf("project none\n  build\n  test\nproject bare\n"), "");
    ASSERT_NE(FindProject("none"), nullptr);
    EXPECT_EQ(FindProject("none")->build.count() + FindProject("none")->test.count(), 0u);
    EXPECT_NE(FindProject("bare"), nullptr);
}

TEST_F(ProjectBlockTest, NamesMustBeNewAndPresent) {
    EXPECT_EQ(ErrorOf(kJobs + "project a\n"), "The project name a is in use" + At(10));
    EXPECT_EQ(ErrorOf("project p  \nproject p\n"), "The project name p is in use" + At(2));
    EXPECT_EQ(ErrorOf("project p\n  build\n    later\njob later\n  machine\n    m\n"),
              "The project or job later was not found" + At(3));
    EXPECT_EQ(ErrorOf("project p\n  test\n    p\n"), "A project cannot include itself" + At(3));
    EXPECT_EQ(ErrorOf("data d\n  value\n    v = 1\nproject p\n  build\n    d\n"), "d is not a project or job" + At(6));
    EXPECT_EQ(ErrorOf("step s\n  command break on error\n    x\nproject p\n  test\n    s\n"),
              "s is not a project or job" + At(6));
    EXPECT_EQ(ErrorOf("file list f\n  file\n    x.c\nproject p\n  build\n    f\n"),
              "f is not a project or job" + At(6));
    // A job cannot take a project's name either.
    EXPECT_EQ(ErrorOf("project p\njob p\n  machine\n    m\n"), "Job name p already in use" + At(2));
}

TEST_F(ProjectBlockTest, KeywordLinesAreCheckedToTheirEnd) {
    EXPECT_EQ(ErrorOf("project p\n  build all\n"), "No parameters allowed for build block" + At(2));
    EXPECT_EQ(ErrorOf("project p\n  builds   x\n"), "No parameters allowed for build block" + At(2));
    EXPECT_EQ(ErrorOf("project p\n  test  now\n"), "No parameters allowed for test block" + At(2));
    for (const char* line : {"buildx", "buildsx", "tested", "testss", "other", "build:"}) {
        EXPECT_EQ(ErrorOf(std::string("project p\n  ") + line + "\n"),
                  std::string("Unknown line in project: ") + line + At(2))
            << line;
    }
}

}  // namespace
}  // namespace kestrel::test
