// Job preparation: the job root over the script directory and every file,
// sorted and de-duplicated prepared lists relative to it, the paths the
// scheduler rebuilds from them, command parameter files, and the messages.

#include "script/prepare_job.h"

#include <cstdlib>
#include <cstring>

#include "script/script_paths.h"
#include "script_fixture.h"

namespace kestrel::test {
namespace {

class PrepareJobTest : public ScriptTest {
protected:
    // Parses `script` written at `name` and prepares the job j; returns the
    // preparation's message ("" when it succeeded).
    std::string Prepare(const std::string& name, const std::string& script) {
        context.release();
        EXPECT_TRUE(context.init());
        Write(name, script);
        std::string error;
        if (!Parse(name, &error)) return "parse: " + error;
        job = FindJob("j");
        if (job == nullptr) return "no job";
        BlockMessage message;
        if (!prepareJob(*job, message)) return message.text;
        return "";
    }
    static std::vector<std::string> Rendered(const Path* paths, uint32_t count) {
        std::vector<std::string> texts;
        for (uint32_t i = 0; i < count; ++i) texts.push_back(Render(paths[i]));
        return texts;
    }
    std::vector<std::string> Absolute(const Path* paths, uint32_t count) const {
        std::vector<std::string> texts;
        for (uint32_t i = 0; i < count; ++i) {
            std::string text(RenderPreparedPath(*job, paths[i], nullptr, 0), '\0');
            RenderPreparedPath(*job, paths[i], text.data(), static_cast<uint32_t>(text.size()));
            texts.push_back(text);
        }
        return texts;
    }
    static std::vector<std::string> Written(const FileList& list) {
        std::vector<std::string> texts;
        for (Path** p = list.prepared; p != list.preparedEnd; ++p) texts.push_back(Render(**p));
        return texts;
    }
    // Components of native path text; a drive counts as one.
    static uint32_t Depth(const std::string& path) {
        uint32_t depth = 0;
        for (size_t i = 0; i < path.size(); ++i)
            depth += path[i] != kNativeSeparator && (i == 0 || path[i - 1] == kNativeSeparator);
        return depth;
    }
    // "/", or the drive ("C:\") where the system has drives.
    std::string Root() const { return TextOf(PathOf(dir.path()).root_path()); }
    // How many directories the temporary directory is below the root.
    uint32_t LevelsBelowTheRoot() const { return Depth(dir.path()) - Depth(Root()); }

    Job* job = nullptr;
};

const std::string kJob = "job j\n  machine\n    m:1\n";

TEST_F(PrepareJobTest, InputsInSiblingAndParentDirectoriesMoveTheRootUp) {
    ASSERT_EQ(Prepare("s/build.txt", kJob + "  input\n    a.c\n    ../lib/b.h\n    ../lib/b.h\n"), "");
    EXPECT_EQ(Render(job->rootDirectory), dir.path());
    EXPECT_EQ(job->rootDepth, Depth(dir.path()));
    EXPECT_EQ(job->scriptDirectoryDepth, Depth(dir.path()) + 1);
    EXPECT_EQ(Render(job->relativeDirectory), "s");
    ASSERT_EQ(job->preparedInputCount, 2u);
    EXPECT_EQ(Rendered(job->preparedInputs, 2), Native({"lib/b.h", "s/a.c"}));
    EXPECT_EQ(Absolute(job->preparedInputs, 2), (std::vector<std::string>{dir / "lib/b.h", dir / "s/a.c"}));
    EXPECT_EQ(Written(job->inputs), (std::vector<std::string>{dir / "s/../lib/b.h", dir / "s/a.c"}));
    EXPECT_EQ(job->preparedOutputCount, 0u);
    ASSERT_NE(job->timeSlots, nullptr);
    EXPECT_EQ(job->timeSlots[0], -1);
    EXPECT_EQ(job->timeSlots[1], -1);
    EXPECT_EQ(job->outputSlots, job->timeSlots + 2);

    // Preparing again leaves everything as it is.
    BlockMessage message;
    EXPECT_TRUE(prepareJob(*job, message));
    EXPECT_EQ(Rendered(job->preparedInputs, job->preparedInputCount), Native({"lib/b.h", "s/a.c"}));
}

TEST_F(PrepareJobTest, OutputsAboveTheScriptDirectoryAndFailedOutputsCountToo) {
    ASSERT_EQ(Prepare("a/b/build.txt", kJob + "  output\n    ../../out/x.o\n    y.o\n"), "");
    EXPECT_EQ(Render(job->rootDirectory), dir.path());
    EXPECT_EQ(Render(job->relativeDirectory), NativePath("a/b"));
    EXPECT_EQ(Rendered(job->preparedOutputs, job->preparedOutputCount), Native({"a/b/y.o", "out/x.o"}));
    EXPECT_EQ(job->preparedInputCount, 0u);
    EXPECT_EQ(job->outputSlots, job->timeSlots);
    EXPECT_EQ(job->outputSlots[1], -1);

    ASSERT_EQ(Prepare("a/b/build.txt", kJob + "  input\n    i.c\n  failed output\n    ../log.txt\n"), "");
    EXPECT_EQ(Render(job->rootDirectory), dir / "a");
    EXPECT_EQ(Render(job->relativeDirectory), "b");
    EXPECT_EQ(Rendered(job->preparedFailedOutputs, job->preparedFailedOutputCount),
              (std::vector<std::string>{"log.txt"}));
    EXPECT_EQ(Written(job->failedOutputs), (std::vector<std::string>{dir / "a/b/../log.txt"}));
    EXPECT_EQ(Rendered(job->preparedInputs, job->preparedInputCount), Native({"b/i.c"}));
}

TEST_F(PrepareJobTest, FilesWrittenTwiceAppearOnceInPathOrder) {
    ASSERT_EQ(
        Prepare("build.txt", kJob + "  input\n    x.c\n    ./x.c\n    a.c\n    a/b\n    B.c\n    a\n    sub/../x.c\n"),
        "");
    // Bytes compare unsigned; a name that is a prefix of another sorts first.
    EXPECT_EQ(Rendered(job->preparedInputs, job->preparedInputCount), Native({"B.c", "a", "a/b", "a.c", "x.c"}));
    // The first spelling in script order is the one kept for reading the file.
    EXPECT_EQ(Written(job->inputs),
              (std::vector<std::string>{dir / "B.c", dir / "a", dir / "a/b", dir / "a.c", dir / "x.c"}));
    EXPECT_EQ(Render(job->rootDirectory), dir.path());
    EXPECT_EQ(Render(job->relativeDirectory), "");
}

TEST_F(PrepareJobTest, PathsThatClimbAboveTheRootCannotBeNormalized) {
    std::string climb;
    for (uint32_t i = 0; i <= LevelsBelowTheRoot(); ++i) climb += "../";
    climb += "x";
    // The path as the system writes it.
    EXPECT_EQ(Prepare("build.txt", kJob + "  input\n    " + climb + "\n"),
              "Cannot normalize input file " + NativePath(climb));
    EXPECT_EQ(Prepare("build.txt", kJob + "  output\n    ok.o\n    a/./../" + climb + "\n"),
              "Cannot normalize output file " + NativePath("a/./../" + climb));
    EXPECT_EQ(Prepare("build.txt", kJob + "  failed output\n    " + climb + "\n"),
              "Cannot normalize failed output file " + NativePath(climb));
    // An entry from a list written elsewhere is shown whole.
    Write("other/list.txt", "file list far\n  file\n    ../" + climb + "\n");
    EXPECT_EQ(Prepare("s/build.txt", "import ../other/list.txt\n" + kJob + "  include input\n    far\n"),
              "Cannot normalize input file " + dir / ("other/../" + climb));
}

TEST_F(PrepareJobTest, FilesUpToTheFileSystemRootGiveTheRootDirectory) {
    std::string climb;
    for (uint32_t i = 0; i < LevelsBelowTheRoot(); ++i) climb += "../";
    ASSERT_EQ(Prepare("build.txt", kJob + "  output\n    " + climb + "top.o\n"), "");
    const std::string root = Root();
    EXPECT_EQ(job->rootDepth, Depth(root));
    EXPECT_EQ(Render(job->rootDirectory), root);
    EXPECT_EQ(Render(job->relativeDirectory), dir.path().substr(root.size()));
    EXPECT_EQ(Rendered(job->preparedOutputs, 1), (std::vector<std::string>{"top.o"}));
    EXPECT_EQ(Absolute(job->preparedOutputs, 1), (std::vector<std::string>{root + "top.o"}));
}

TEST_F(PrepareJobTest, CommandParameterFilesAreRelativeToTheScriptDirectory) {
    Write("d/data.txt", "data shared\n  path\n    src = src/x.c\n    src = ../s/y.c\n");
    ASSERT_EQ(Prepare("s/build.txt", "import ../d/data.txt\n" + kJob +
                                         "  include data\n    shared\n"
                                         "  path\n    unused = u.c\n"
                                         "  value\n    cc = gcc\n"
                                         "  command ignore error\n"
                                         "    <cc> <src> <src>\n"
                                         "    <<enumerate>src> <missing>\n"),
              "");
    EXPECT_EQ(Render(job->rootDirectory), dir.path());
    EXPECT_EQ(Render(job->relativeDirectory), "s");
    const auto* src = static_cast<const PathList*>(job->data.members.Find("src"));
    ASSERT_NE(src, nullptr);
    // Prepared once however often it is used: the base entry and both paths.
    ASSERT_EQ(src->preparedEnd - src->prepared, 3);
    EXPECT_EQ(Render(*src->prepared[0]), ".");
    EXPECT_NE(src->prepared[0]->flags & kPathBaseEntry, 0u);
    EXPECT_EQ(Render(*src->prepared[1]), NativePath("../d/src/x.c"));
    EXPECT_EQ(src->prepared[1]->flags & kPathBaseEntry, 0u);
    EXPECT_EQ(Render(*src->prepared[2]), "y.c");
    const auto* unused = static_cast<const PathList*>(job->data.members.Find("unused"));
    ASSERT_NE(unused, nullptr);
    EXPECT_EQ(unused->prepared, nullptr);
}

TEST_F(PrepareJobTest, ABaseEntryOfAnAppendedListStillCountsForTheRoot) {
    Write("far/away/data.txt", "data shared\n  path\n    src = x.c\n");
    ASSERT_EQ(Prepare("s/build.txt", "import ../far/away/data.txt\n" + kJob +
                                         "  path\n    src = mine.c\n"
                                         "  include data\n    shared\n"
                                         "  command ignore error\n    <src>\n"),
              "");
    const auto* src = static_cast<const PathList*>(job->data.members.Find("src"));
    ASSERT_EQ(src->preparedEnd - src->prepared, 4);
    EXPECT_EQ(Render(*src->prepared[2]), NativePath("../far/away"));
    EXPECT_NE(src->prepared[2]->flags & kPathBaseEntry, 0u);
    EXPECT_EQ(Render(*src->prepared[3]), NativePath("../far/away/x.c"));
    EXPECT_EQ(Render(job->rootDirectory), dir.path());
}

TEST_F(PrepareJobTest, AJobFromAnImportedScriptIsRootedAtThatScript) {
    Write("sub/jobs.txt", kJob + "  input\n    ../shared/h.h\n    a.c\n");
    ASSERT_EQ(Prepare("build.txt", "import sub/jobs.txt\n"), "");
    EXPECT_EQ(Render(job->rootDirectory), dir.path());
    EXPECT_EQ(Render(job->relativeDirectory), "sub");
    EXPECT_EQ(Rendered(job->preparedInputs, job->preparedInputCount),
              Native({"shared/h.h", "sub/a.c"}));
}

// Scripts read here never produce drive roots, but paths from a script
// written for another system may hold them: a job handed such paths must
// get a drive as its root, or the message that names the file on the other
// drive, never a root cut inside a drive.
class DrivePrepareJobTest : public PrepareJobTest {
protected:
    void SetUp() override {
        PrepareJobTest::SetUp();
        ASSERT_EQ(ErrorOf(kJob), "");
        job = FindJob("j");
        ASSERT_NE(job, nullptr);
        job->rootDirectory.Release();
        std::free(job->directoryText);
        job->directoryText = CopyText("C:/w/s", 6);
        ASSERT_TRUE(job->rootDirectory.SetFromText(job->directoryText, 6, "\\/"));
    }
    static Path DrivePath(const char* text) {
        Path path;
        char* copy = CopyText(text, static_cast<uint32_t>(std::strlen(text)));
        EXPECT_TRUE(path.SetFromText(copy, static_cast<uint32_t>(std::strlen(text)), "\\/"));
        path.text = copy;
        path.ownsText = true;
        EXPECT_NE(path.flags & kPathDriveRoot, 0u) << text;
        return path;
    }
    void Add(FileList& list, const char* text) {
        Path path = DrivePath(text);
        ASSERT_TRUE(AppendFileEntry(list, path));
    }
};

TEST_F(DrivePrepareJobTest, FilesOnOneDriveAreRootedAtMostAtTheDrive) {
    Add(job->outputs, "C:\\w\\s\\a.o");
    Add(job->outputs, "C:/z/b.o");
    BlockMessage message;
    ASSERT_TRUE(prepareJob(*job, message)) << message.text;
    EXPECT_EQ(job->rootDepth, 1u);
    EXPECT_EQ(Render(job->rootDirectory), NativePath("C:/"));
    EXPECT_EQ(Render(job->relativeDirectory), NativePath("w/s"));
    EXPECT_EQ(Rendered(job->preparedOutputs, 2), Native({"w/s/a.o", "z/b.o"}));
    EXPECT_EQ(Absolute(job->preparedOutputs, 2), Native({"C:/w/s/a.o", "C:/z/b.o"}));
}

TEST_F(DrivePrepareJobTest, AFileOnAnotherDriveIsNamedInTheMessage) {
    Add(job->inputs, "C:/w/s/a.c");
    Add(job->outputs, "D:/z/b.o");
    BlockMessage message;
    ASSERT_FALSE(prepareJob(*job, message));
    EXPECT_EQ(message.text, "the output file " + NativePath("D:/z/b.o") + " is from a different drive than job j");
    // A failed preparation is not repeated.
    EXPECT_FALSE(prepareJob(*job, message));
}

TEST_F(PrepareJobTest, ADrivePathBesideANativeScriptDirectoryIsOnAnotherDrive) {
    ASSERT_EQ(ErrorOf(kJob + "  input\n    a.c\n"), "");
    job = FindJob("j");
    static const char kOtherDrive[] = "D:\\z\\b.o";
    Path foreign;
    char* text = CopyText(kOtherDrive, sizeof kOtherDrive - 1);
    ASSERT_TRUE(foreign.SetFromText(text, sizeof kOtherDrive - 1, "\\/"));
    foreign.text = text;
    foreign.ownsText = true;
    ASSERT_TRUE(AppendFileEntry(job->failedOutputs, foreign));
    BlockMessage message;
    ASSERT_FALSE(prepareJob(*job, message));
    EXPECT_EQ(message.text,
              "the failed output file " + NativePath("D:/z/b.o") + " is from a different drive than job j");
}

// Sorting looks at the first eight bytes of each path below the depth they
// share before it compares whole paths: names that agree in those bytes, a
// component that is a prefix of another, names ending inside the eight
// bytes, and bytes from 0x80 must still come out in the path order.
TEST_F(PrepareJobTest, PathsAgreeingInTheirFirstBytesStillSortByWholeComponents) {
    const std::vector<std::string> sorted = {
        "abcdefg",        "abcdefg/h",       "abcdefg/h/i",  "abcdefg.c",   "abcdefgh",      "abcdefgh/a",
        "abcdefghi",      "abcdefghi/x",     "abcdefghij",   "b",           "b/c",           "b0",
        "long/name/here", "long/name/here2", "\xC3\xA4/x",  "\xC3\xA4.c"};
    std::string script = kJob + "  input\n";
    for (size_t i = sorted.size(); i-- > 0;) script += "    " + sorted[(i * 7) % sorted.size()] + "\n";
    ASSERT_EQ(Prepare("build.txt", script), "");
    EXPECT_EQ(Rendered(job->preparedInputs, job->preparedInputCount), Native(sorted));
}

TEST_F(PrepareJobTest, ManyFilesSortLikeTheirNames) {
    std::string script = kJob + "  input\n";
    std::vector<std::string> expected;
    for (int i = 999; i >= 0; --i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%03d/x.c", i);
        script += std::string("    ") + name + "\n    ./" + name + "\n";
        expected.insert(expected.begin(), name);
    }
    ASSERT_EQ(Prepare("build.txt", script), "");
    EXPECT_EQ(Rendered(job->preparedInputs, job->preparedInputCount), Native(expected));
    EXPECT_EQ(Written(job->inputs).size(), 1000u);
    for (uint32_t i = 0; i < job->preparedInputCount; ++i) ASSERT_EQ(job->timeSlots[i], -1);
}

}  // namespace
}  // namespace kestrel::test
