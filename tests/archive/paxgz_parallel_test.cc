// The writer with worker threads: whatever the piece boundaries, the archive
// is one gzip member holding exactly the tar stream the single stream makes,
// our reader extracts it, and the pieces' dictionaries keep the ratio.
#include <filesystem>

#include <gtest/gtest.h>
#include <zlib.h>

#include "archive/archive_test_support.h"
#include "support/test_support.h"

namespace kestrel::test {
namespace {

constexpr uint32_t kPiece = 32768;
constexpr uint32_t kBlock = 512;

// The tar stream of exactly one gzip member: inflating stops at the member's
// end, and nothing may follow it. Empty when the member is damaged or short.
std::string SingleMember(const std::string& archive, bool& trailingBytes) {
    z_stream stream{};
    if (inflateInit2(&stream, 31) != Z_OK) return "";
    std::string out;
    std::string buffer(65536, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(archive.data()));
    stream.avail_in = static_cast<uInt>(archive.size());
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer.data());
        stream.avail_out = static_cast<uInt>(buffer.size());
        result = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer.data(), buffer.size() - stream.avail_out);
    }
    trailingBytes = stream.avail_in != 0;
    inflateEnd(&stream);
    return result == Z_STREAM_END ? out : "";
}

// Text that compresses like sources: words drawn from a small vocabulary.
std::string Words(size_t count, uint32_t seed) {
    static const char* const kWords[] = {"int ", "return ", "value", "(", ");\n", "if ", "for ", "const ",
                                         "uint32_t ", "{\n", "}\n", "size", " = ", "+ 1", "stream", "piece"};
    std::string text;
    uint32_t state = seed * 2654435761u + 1;
    while (text.size() < count) {
        state = state * 1103515245u + 12345u;
        text += kWords[(state >> 16) % 16];
    }
    text.resize(count);
    return text;
}

struct FileSpec {
    const char* name;
    uint64_t size;
    char content;  // 't' text, 'r' random, 'e' a 8 KiB random run repeated
};

// From tar offset 512 on (own stream: the first header block) the stream is cut
// into 32 KiB pieces; sizes below are chosen against that grid (one file: 512
// header + data rounded to 512 + 1024 trailer).
struct Case {
    const char* name;
    std::vector<FileSpec> files;
    uint32_t outputSize;
    uint32_t workers;
    bool completeAtOnce;
};

const Case kCases[] = {
    {"no entries: a block in each half", {}, 65525, 2, false},
    {"parallel part exactly one piece, then an empty last piece", {{"f", kPiece - kBlock * 2, 't'}}, 65525, 2, false},
    {"one byte over a piece", {{"f", kPiece - kBlock * 2 + 1, 't'}}, 4096, 2, true},
    {"empty files and a directory", {{"d/", 0, 't'}, {"d/a", 0, 't'}, {"b", 0, 't'}, {"c", 1, 'r'}}, 65525, 1,
     false},
    {"file over several pieces, tiny output writes", {{"big", 5 * kPiece + 100, 'r'}, {"after", 700, 't'}}, 7, 3,
     true},
    {"many files, more pieces than the ring", {{"a", 100000, 't'}, {"b", 70000, 'r'}, {"c", 300000, 't'},
                                               {"d", 3, 't'}, {"e", 250000, 'e'}}, 65525, 2, false},
};

void BuildTree(const std::string& root, const std::vector<FileSpec>& files) {
    std::filesystem::create_directories(PathOf(root));
    uint32_t seed = 1;
    for (const FileSpec& file : files) {
        const std::string path = root + "/" + file.name;
        if (path.back() == '/') {
            std::filesystem::create_directories(PathOf(path));
            continue;
        }
        std::string bytes;
        if (file.content == 'r') bytes = RandomBytes(file.size, ++seed);
        if (file.content == 't') bytes = Words(file.size, ++seed);
        if (file.content == 'e') {
            const std::string run = RandomBytes(8192, ++seed);
            while (bytes.size() < file.size) bytes += run;
            bytes.resize(file.size);
        }
        WriteFile(path, bytes);
    }
}

WriterOptions Parallel(const Case& c) {
    WriterOptions options;
    options.stagingSize = kBlock;
    options.outputSize = c.outputSize;
    options.completeAtOnce = c.completeAtOnce;
    options.encoding = nullptr;  // no global header: the offsets above hold
    options.separator.clear();
    options.parallel.from = 1;
    options.parallel.workers = c.workers;
    options.parallel.pieceSize = kPiece;
    return options;
}

TEST(PaxgzParallel, PiecesJoinIntoOneMemberOfTheSameTarStream) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        BuildTree(dir / "src", c.files);
        const std::vector<TestEntry> entries = EntriesFromTree(dir / "src");
        WriterOptions options = Parallel(c);
        const WriterRun parallel = RunWriter(entries, options);
        ASSERT_TRUE(parallel.ok) << parallel.chain0 << ": " << parallel.chain1;
        EXPECT_TRUE(parallel.finished);
        EXPECT_TRUE(parallel.wentParallel);
        options.parallel.from = 0;
        const WriterRun single = RunWriter(entries, options);
        ASSERT_TRUE(single.ok);
        ASSERT_FALSE(single.wentParallel);

        bool trailing = true;
        const std::string tar = SingleMember(parallel.Archive(), trailing);
        EXPECT_FALSE(trailing);
        EXPECT_TRUE(tar == Gunzip(single.Archive())) << "tar streams differ, sizes " << tar.size();
        // The dictionaries keep repeats across pieces cheap: near one stream's size.
        EXPECT_LE(parallel.Archive().size(), single.Archive().size() + single.Archive().size() / 50 + 256);
        for (size_t i = 0; i + 1 < parallel.writes.size(); ++i) {
            ASSERT_EQ(parallel.writes[i].size(), c.outputSize) << "write " << i;
        }

        std::filesystem::create_directories(PathOf(dir / "out"));
        const ReaderRun read = RunReader(parallel.Archive(), dir / "out");
        ASSERT_TRUE(read.ok) << read.chain0 << ": " << read.chain1;
        EXPECT_TRUE(read.finished);
        EXPECT_EQ(TreeDifference(ReadTree(dir / "out"), ReadTree(dir / "src")), "");
    }
}

TEST(PaxgzParallel, BelowTheThresholdTheBytesAreTheSingleStreams) {
    TempDir dir;
    BuildTree(dir / "src", {{"a", 200000, 't'}, {"b", 50000, 'r'}});
    const std::vector<TestEntry> entries = EntriesFromTree(dir / "src");
    WriterOptions options;
    options.parallel.workers = 2;
    options.parallel.pieceSize = kPiece;
    options.parallel.from = 300000;  // more than the whole tar stream
    const WriterRun below = RunWriter(entries, options);
    options.parallel.from = 0;
    const WriterRun never = RunWriter(entries, options);
    ASSERT_TRUE(below.ok);
    EXPECT_FALSE(below.wentParallel);
    EXPECT_EQ(below.writes, never.writes);
}

TEST(PaxgzParallel, ThroughTheEventLoopAndWhenClosedMidway) {
    TempDir dir;
    BuildTree(dir / "src", {{"a", 400000, 't'}, {"b", 3 * kPiece, 'r'}});
    const std::vector<TestEntry> entries = EntriesFromTree(dir / "src");
    WriterOptions options;
    options.parallel = {64 * 1024, 2, kPiece};
    const WriterRun looped = RunWriterWithLoop(entries, dir / "looped.tgz", options);
    ASSERT_TRUE(looped.ok) << looped.chain0 << ": " << looped.chain1;
    EXPECT_TRUE(looped.wentParallel);
    bool trailing = true;
    const std::string tar = SingleMember(looped.Archive(), trailing);
    EXPECT_FALSE(trailing);
    options.parallel.from = 0;
    EXPECT_TRUE(tar == Gunzip(RunWriter(entries, options).Archive()));

    // Closing with pieces in flight stops and joins the workers.
    options.parallel.from = 1;
    options.stagingSize = kBlock;
    options.outputSize = 1000;
    options.stopAfterWrites = 3;
    const WriterRun stopped = RunWriter(entries, options);
    EXPECT_TRUE(stopped.wentParallel);
    EXPECT_FALSE(stopped.finished);
    EXPECT_EQ(stopped.writes.size(), 3u);
}

}  // namespace
}  // namespace kestrel::test
