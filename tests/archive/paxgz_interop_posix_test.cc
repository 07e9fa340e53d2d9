// Archives cross-checked with tools nobody here wrote: GNU tar and python's
// tarfile read what we write, and we read what GNU tar and tarfile write.
// The tools are programs of this machine, run from here on POSIX only; the
// Windows build has its archives read by tar through tar_reads_windows_archives.sh.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "archive/archive_test_support.h"
#include "support/test_support.h"

namespace kestrel::test {
namespace {

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "/usr/bin/" + name;
}

ProcessResult Tar(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {FindProgram("tar")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProcess(argv);
}

ProcessResult Python(const std::string& script, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {FindProgram("python3"), "-c", script};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProcess(argv);
}

struct Timestamp {
    int64_t seconds;
    long nanoseconds;
};

Timestamp ModificationTime(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return {-1, 0};
    return {status.st_mtim.tv_sec, status.st_mtim.tv_nsec};
}

constexpr const char* kPythonExtract = R"(
import sys, tarfile
with tarfile.open(sys.argv[1], 'r:gz') as archive:
    archive.extractall(sys.argv[2])
)";

TEST(PaxgzInterop, TarAndPythonExtractOurArchives) {
    TempDir dir;
    BuildStressTree(dir / "src");
    const std::vector<TestEntry> entries = EntriesFromTree(dir / "src");
    const WriterRun run = RunWriter(entries);
    ASSERT_TRUE(run.ok) << run.chain0 << ": " << run.chain1;
    WriteFile(dir / "ours.tgz", run.Archive());
    const auto expected = ReadTree(dir / "src");
    ASSERT_GT(expected.size(), 350u);

    std::filesystem::create_directories(dir / "by-tar");
    const ProcessResult tar = Tar({"-xzf", dir / "ours.tgz", "-C", dir / "by-tar"});
    ASSERT_EQ(tar.exitCode, 0) << tar.err;
    EXPECT_EQ(TreeDifference(ReadTree(dir / "by-tar"), expected), "");
    // The fractional mtime record survives.
    const Timestamp one = ModificationTime(dir / "by-tar/one");
    EXPECT_EQ(one.seconds, 1'600'000'000);
    EXPECT_EQ(one.nanoseconds, 250'000'000);

    const ProcessResult python = Python(kPythonExtract, {dir / "ours.tgz", dir / "by-python"});
    ASSERT_EQ(python.exitCode, 0) << python.err;
    EXPECT_EQ(TreeDifference(ReadTree(dir / "by-python"), expected), "");
}

TEST(PaxgzInterop, TarExtractsWhatTheEventLoopWrote) {
    TempDir dir;
    BuildStressTree(dir / "src");
    WriterOptions options;
    options.stagingSize = 8192;
    options.outputSize = 8192;
    const WriterRun run = RunWriterWithLoop(EntriesFromTree(dir / "src"), dir / "looped.tgz", options);
    ASSERT_TRUE(run.ok) << run.chain0 << ": " << run.chain1;
    std::filesystem::create_directories(dir / "out");
    const ProcessResult tar = Tar({"-xzf", dir / "looped.tgz", "-C", dir / "out"});
    ASSERT_EQ(tar.exitCode, 0) << tar.err;
    EXPECT_EQ(TreeDifference(ReadTree(dir / "out"), ReadTree(dir / "src")), "");
}

TEST(PaxgzInterop, WeReadWhatTarAndPythonWrite) {
    TempDir dir;
    BuildStressTree(dir / "src");
    const auto expected = ReadTree(dir / "src");

    const ProcessResult tar = Tar({"--format=pax", "-czf", dir / "tar.tgz", "-C", dir / "src", "."});
    ASSERT_EQ(tar.exitCode, 0) << tar.err;
    const ProcessResult python = Python(R"(
import sys, tarfile
with tarfile.open(sys.argv[1], 'w:gz', format=tarfile.PAX_FORMAT) as archive:
    archive.add(sys.argv[2], arcname='.')
)",
                                        {dir / "python.tgz", dir / "src"});
    ASSERT_EQ(python.exitCode, 0) << python.err;

    for (const char* name : {"tar.tgz", "python.tgz"}) {
        for (bool loop : {false, true}) {
            const std::string out = dir / (std::string("out-") + name + (loop ? "-loop" : ""));
            std::filesystem::create_directories(out);
            ReaderOptions options;
            options.useLoop = loop;
            options.pieceSize = 65536;
            const ReaderRun run = RunReader(ReadFile(dir / name), out, options);
            ASSERT_TRUE(run.ok) << name << " " << run.chain0 << ": " << run.chain1;
            EXPECT_TRUE(run.finished);
            EXPECT_EQ(TreeDifference(ReadTree(out), expected), "") << name;
        }
    }
}

// The archive compressed on worker threads, pieces joined into one member.
TEST(PaxgzInterop, GzipAndTarAcceptTheWorkersArchive) {
    TempDir dir;
    BuildStressTree(dir / "src");
    WriteFile(dir / "src/big.bin", RandomBytes(300000, 7));
    WriteFile(dir / "src/zeros", std::string(200000, '\0'));
    WriterOptions options;
    options.parallel = {4096, 2, 32768};
    const WriterRun run = RunWriter(EntriesFromTree(dir / "src"), options);
    ASSERT_TRUE(run.ok) << run.chain0 << ": " << run.chain1;
    ASSERT_TRUE(run.wentParallel);
    WriteFile(dir / "ours.tgz", run.Archive());

    const ProcessResult gzip = RunProcess({FindProgram("gzip"), "-t", dir / "ours.tgz"});
    EXPECT_EQ(gzip.exitCode, 0) << gzip.err;
    std::filesystem::create_directories(dir / "by-tar");
    const ProcessResult tar = Tar({"-xzf", dir / "ours.tgz", "-C", dir / "by-tar"});
    ASSERT_EQ(tar.exitCode, 0) << tar.err;
    EXPECT_EQ(TreeDifference(ReadTree(dir / "by-tar"), ReadTree(dir / "src")), "");
}

// Sizes beyond 11 octal digits and ids beyond 7 travel in records that both
// tools understand. The 8 GiB file is sparse and only the archive's first
// pieces are produced: the headers come first.
TEST(PaxgzInterop, LargeSizesAndIdsAreReadByTarAndPython) {
    TempDir dir;
    const uint64_t size = (uint64_t{1} << 33) + 1;
    const int fd = open((dir / "sparse").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
    close(fd);
    TestEntry big;
    big.name = "big";
    big.size = size;
    big.file = dir / "sparse";
    big.uid = 2'097'152;
    big.gid = 4'000'000'000u;
    WriterOptions options;
    options.outputSize = 512;
    options.stopAfterWrites = 4;
    const WriterRun run = RunWriter({big}, options);
    ASSERT_EQ(run.writes.size(), 4u);
    EXPECT_FALSE(run.finished);
    const std::string prefix = Gunzip(run.Archive());
    ASSERT_GE(prefix.size(), 3u * 512);
    EXPECT_NE(prefix.find("size=8589934593\n"), std::string::npos);
    WriteFile(dir / "partial.tgz", run.Archive());

    const ProcessResult listing = Tar({"--numeric-owner", "-tvzf", dir / "partial.tgz"});
    EXPECT_NE(listing.out.find("2097152/4000000000"), std::string::npos) << listing.out << listing.err;
    EXPECT_NE(listing.out.find("8589934593"), std::string::npos) << listing.out;

    const ProcessResult python = Python(R"(
import sys, tarfile
with tarfile.open(sys.argv[1], 'r|gz') as archive:
    member = next(iter(archive))
    print(member.name, member.size, member.uid, member.gid)
)",
                                        {dir / "partial.tgz"});
    EXPECT_NE(python.out.find("big 8589934593 2097152 4000000000"), std::string::npos) << python.out << python.err;

    // Our reader agrees, and then meets the end of the input inside the data.
    ReaderOptions readerOptions;
    readerOptions.createOnly = true;
    const ReaderRun read = RunReader(run.Archive(), dir.path(), readerOptions);
    ASSERT_EQ(read.entries.size(), 1u);
    EXPECT_EQ(read.entries[0].size, size);
    EXPECT_EQ(read.entries[0].uid, 2'097'152u);
    EXPECT_EQ(read.kind, 11u);
}

}  // namespace
}  // namespace kestrel::test
