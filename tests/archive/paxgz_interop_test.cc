// Archives read back by another reader than the writer's own tests: our
// reader over both name encodings, and GNU tar over what the writer made on
// this system (tar_reads_windows_archives.sh where tar cannot be run from
// here; paxgz_interop_posix_test.cc runs it directly).
#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "archive/archive_test_support.h"
#include "support/test_support.h"

namespace kestrel::test {
namespace {

TEST(PaxgzInterop, OurRoundTripInBothEncodings) {
    TempDir dir;
    BuildStressTree(dir / "src");
    std::vector<TestEntry> entries = EntriesFromTree(dir / "src");
    const WriterRun utf8 = RunWriter(entries);
    ASSERT_TRUE(utf8.ok);
    std::filesystem::create_directories(PathOf(dir / "utf8"));
    ReaderOptions smallPieces;
    smallPieces.pieceSize = 1000;
    ReaderRun run = RunReader(utf8.Archive(), dir / "utf8", smallPieces);
    ASSERT_TRUE(run.ok) << run.chain0 << ": " << run.chain1;
    EXPECT_EQ(TreeDifference(ReadTree(dir / "utf8"), ReadTree(dir / "src")), "");

    // Utf16() covers the BMP only: leave out the one name outside it.
    std::erase_if(entries, [](const TestEntry& entry) { return entry.name.find('\xF0') != std::string::npos; });
    // The directory part joins its components with the archive's separator.
    for (TestEntry& entry : entries) {
        std::replace(entry.directory.begin(), entry.directory.end(), '/', '\\');
        entry.directory = Utf16(entry.directory);
        entry.name = Utf16(entry.name);
    }
    WriterOptions options;
    options.encoding = "UTF-16LE";
    options.separator = std::string("\\\0", 2);
    const WriterRun utf16 = RunWriter(entries, options);
    ASSERT_TRUE(utf16.ok);
    std::filesystem::create_directories(PathOf(dir / "utf16"));
    run = RunReader(utf16.Archive(), dir / "utf16");
    ASSERT_TRUE(run.ok) << run.chain0 << ": " << run.chain1;
    EXPECT_TRUE(run.utf16);
    auto expected = ReadTree(dir / "src");
    std::erase_if(expected, [](const auto& item) { return item.first.find('\xF0') != std::string::npos; });
    EXPECT_EQ(TreeDifference(ReadTree(dir / "utf16"), expected), "");
}

// The writer's archives, direct and through the event loop, left for GNU
// tar: with KESTREL_ARCHIVES_FOR_TAR naming a folder of the build machine,
// the tree and both archives stay there for tar_reads_windows_archives.sh,
// which extracts them with tar and compares the trees. Either way our own
// reader must find the tree in both.
TEST(PaxgzInterop, ArchivesLeftForTar) {
    TempDir temp;
    const char* kept = std::getenv("KESTREL_ARCHIVES_FOR_TAR");
    const std::string dir = kept != nullptr ? BuildMachinePath(kept) : temp.path();
    BuildStressTree(dir + kNativeSeparator + "src");
    const std::vector<TestEntry> entries = EntriesFromTree(dir + kNativeSeparator + "src");
    const WriterRun direct = RunWriter(entries);
    ASSERT_TRUE(direct.ok) << direct.chain0 << ": " << direct.chain1;
    WriteFile(dir + kNativeSeparator + "direct.tgz", direct.Archive());
    WriterOptions small;
    small.stagingSize = 8192;
    small.outputSize = 8192;
    const WriterRun looped = RunWriterWithLoop(entries, dir + kNativeSeparator + "looped.tgz", small);
    ASSERT_TRUE(looped.ok) << looped.chain0 << ": " << looped.chain1;

    const auto expected = ReadTree(dir + kNativeSeparator + "src");
    ASSERT_GT(expected.size(), 350u);
    for (const WriterRun* run : {&direct, &looped}) {
        TempDir out;
        const ReaderRun read = RunReader(run->Archive(), out.path());
        ASSERT_TRUE(read.ok) << read.chain0 << ": " << read.chain1;
        EXPECT_TRUE(read.finished);
        EXPECT_EQ(TreeDifference(ReadTree(out.path()), expected), "");
    }
}

}  // namespace
}  // namespace kestrel::test
