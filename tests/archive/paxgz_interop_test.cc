// Archives cross-checked with tools nobody here wrote: GNU tar and python's
// tarfile read what we write, and we read what GNU tar and tarfile write.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// A tree with the names and sizes that stress the format.
void BuildTree(const std::string& root) {
    for (int d = 0; d < 8; ++d) {
        for (int f = 0; f < 40; ++f) {
            const size_t sizes[] = {0, 1, 511, 512, 513, 4096, 70'001, 1000};
            const size_t size = sizes[(d + f) % 8] + static_cast<size_t>(f);
            WriteFile(root + "/dir" + std::to_string(d) + "/file" + std::to_string(f) + ".dat",
                      RandomBytes(size, static_cast<uint32_t>(d * 100 + f)));
        }
    }
    std::string deep = root;
    for (int level = 0; level < 30; ++level) deep += "/level" + std::to_string(level);
    WriteFile(deep + "/leaf.txt", "deep");
    WriteFile(root + "/" + std::string(100, 'n'), "name of exactly 100 bytes");
    WriteFile(root + "/" + std::string(101, 'm'), "name of 101 bytes");
    WriteFile(root + "/" + std::string(77, 'a') + "/" + std::string(77, 'b') + "/prefix155", "155");
    WriteFile(root + "/" + std::string(78, 'a') + "/" + std::string(77, 'b') + "/prefix156", "156");
    WriteFile(root + "/\xC3\xBCn\xC3\xAF\x63\xC3\xB8\x64\xC3\xA9/\xE5\x90\x8D\xE5\x89\x8D.txt", "non-ASCII");
    WriteFile(root + "/emoji-\xF0\x9F\x98\x80.bin", RandomBytes(3000, 99));
    WriteFile(root + "/empty", "");
    WriteFile(root + "/one", "1");
    std::filesystem::create_directories(root + "/empty-directory");
    SetModificationTime(root + "/one", 1'600'000'000, 250'000'000);
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

// The first path that differs between two trees, for failure messages.
std::string Difference(const std::map<std::string, std::string>& actual,
                       const std::map<std::string, std::string>& expected) {
    for (const auto& [path, bytes] : expected) {
        const auto found = actual.find(path);
        if (found == actual.end()) return "missing " + path;
        if (found->second != bytes) return "content of " + path;
    }
    for (const auto& item : actual) {
        if (expected.count(item.first) == 0) return "unexpected " + item.first;
    }
    return "";
}

constexpr const char* kPythonExtract = R"(
import sys, tarfile
with tarfile.open(sys.argv[1], 'r:gz') as archive:
    archive.extractall(sys.argv[2])
)";

TEST(PaxgzInterop, TarAndPythonExtractOurArchives) {
    TempDir dir;
    BuildTree(dir / "src");
    const std::vector<TestEntry> entries = EntriesFromTree(dir / "src");
    const WriterRun run = RunWriter(entries);
    ASSERT_TRUE(run.ok) << run.chain0 << ": " << run.chain1;
    WriteFile(dir / "ours.tgz", run.Archive());
    const auto expected = ReadTree(dir / "src");
    ASSERT_GT(expected.size(), 350u);

    std::filesystem::create_directories(dir / "by-tar");
    const ProcessResult tar = Tar({"-xzf", dir / "ours.tgz", "-C", dir / "by-tar"});
    ASSERT_EQ(tar.exitCode, 0) << tar.err;
    EXPECT_EQ(Difference(ReadTree(dir / "by-tar"), expected), "");
    // The fractional mtime record survives.
    const Timestamp one = ModificationTime(dir / "by-tar/one");
    EXPECT_EQ(one.seconds, 1'600'000'000);
    EXPECT_EQ(one.nanoseconds, 250'000'000);

    const ProcessResult python = Python(kPythonExtract, {dir / "ours.tgz", dir / "by-python"});
    ASSERT_EQ(python.exitCode, 0) << python.err;
    EXPECT_EQ(Difference(ReadTree(dir / "by-python"), expected), "");
}

TEST(PaxgzInterop, TarExtractsWhatTheEventLoopWrote) {
    TempDir dir;
    BuildTree(dir / "src");
    WriterOptions options;
    options.stagingSize = 8192;
    options.outputSize = 8192;
    const WriterRun run = RunWriterWithLoop(EntriesFromTree(dir / "src"), dir / "looped.tgz", options);
    ASSERT_TRUE(run.ok) << run.chain0 << ": " << run.chain1;
    std::filesystem::create_directories(dir / "out");
    const ProcessResult tar = Tar({"-xzf", dir / "looped.tgz", "-C", dir / "out"});
    ASSERT_EQ(tar.exitCode, 0) << tar.err;
    EXPECT_EQ(Difference(ReadTree(dir / "out"), ReadTree(dir / "src")), "");
}

TEST(PaxgzInterop, WeReadWhatTarAndPythonWrite) {
    TempDir dir;
    BuildTree(dir / "src");
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
            EXPECT_EQ(Difference(ReadTree(out), expected), "") << name;
        }
    }
}

TEST(PaxgzInterop, OurRoundTripInBothEncodings) {
    TempDir dir;
    BuildTree(dir / "src");
    std::vector<TestEntry> entries = EntriesFromTree(dir / "src");
    const WriterRun utf8 = RunWriter(entries);
    ASSERT_TRUE(utf8.ok);
    std::filesystem::create_directories(dir / "utf8");
    ReaderOptions smallPieces;
    smallPieces.pieceSize = 1000;
    ReaderRun run = RunReader(utf8.Archive(), dir / "utf8", smallPieces);
    ASSERT_TRUE(run.ok) << run.chain0 << ": " << run.chain1;
    EXPECT_EQ(Difference(ReadTree(dir / "utf8"), ReadTree(dir / "src")), "");

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
    std::filesystem::create_directories(dir / "utf16");
    run = RunReader(utf16.Archive(), dir / "utf16");
    ASSERT_TRUE(run.ok) << run.chain0 << ": " << run.chain1;
    EXPECT_TRUE(run.utf16);
    auto expected = ReadTree(dir / "src");
    std::erase_if(expected, [](const auto& item) { return item.first.find('\xF0') != std::string::npos; });
    EXPECT_EQ(Difference(ReadTree(dir / "utf16"), expected), "");
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
