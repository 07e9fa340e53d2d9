// The archive layout byte for byte, the buffer discipline, and the writer's failures.
#include <zlib.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "archive/archive_test_support.h"
#include "archive/zlib_slots.h"
#include "platform/system_errors.h"
#include "support/test_support.h"

namespace kestrel::test {
namespace {

std::string FormatOctal(uint64_t value, size_t digits = 6) {
    std::string text(digits, '0');
    for (size_t i = digits; i > 0; --i, value >>= 3) text[i - 1] = static_cast<char>('0' + (value & 7));
    return text;
}

std::string PadField(const std::string& text, size_t length) {
    std::string field = text;
    field.resize(length, '\0');
    return field;
}

struct Member {
    std::string header;
    std::string data;
};

uint64_t Octal(const std::string& field) {
    uint64_t value = 0;
    for (char c : field) {
        if (c < '0' || c > '7') break;
        value = value * 8 + static_cast<uint64_t>(c - '0');
    }
    return value;
}

// Splits a tar stream into header blocks and their data, up to the trailer.
std::vector<Member> Members(const std::string& tar) {
    std::vector<Member> members;
    size_t offset = 0;
    while (offset + 512 <= tar.size() && tar.substr(offset, 512) != std::string(512, '\0')) {
        Member member{tar.substr(offset, 512), ""};
        const uint64_t size = Octal(member.header.substr(124, 12));
        const char type = member.header[156];
        const uint64_t stored = (type == '0' || type == 'x' || type == 'g') ? size : 0;
        member.data = tar.substr(offset + 512, stored);
        offset += 512 + (stored + 511) / 512 * 512;
        members.push_back(member);
    }
    return members;
}

bool ChecksumMatches(const std::string& block) {
    uint32_t sum = 0;
    for (size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(block[i]);
    return block.substr(148, 6) == FormatOctal(sum & 0x1FFFF) && block[154] == '\0' && block[155] == ' ';
}

TestEntry Empty(const std::string& directory, const std::string& name) {
    TestEntry item;
    item.directory = directory;
    item.name = name;
    return item;
}

TestEntry DataFile(const TempDir& dir, const std::string& name, const std::string& bytes) {
    const std::string path = dir / ("data-" + name);
    WriteFile(path, bytes);
    TestEntry item;
    item.name = name;
    item.size = bytes.size();
    item.file = path;
    return item;
}

WriterOptions Bare() {
    WriterOptions options;
    options.encoding = nullptr;
    options.separator.clear();
    return options;
}

TEST(PaxgzWriter, ArchiveWithoutEntriesIsTheGzipOfTheTrailer) {
    const WriterRun run = RunWriter({});
    ASSERT_TRUE(run.ok) << run.chain0;
    EXPECT_TRUE(run.finished);
    ASSERT_EQ(run.writes.size(), 1u);
    // Level 6, window bits 31, memory level 9: byte for byte what zlib makes of 1024 zeros.
    EXPECT_EQ(run.Archive(), Gzip(std::string(1024, '\0')));
}

TEST(PaxgzWriter, GlobalHeaderIsWrittenOnceBeforeTheFirstEntry) {
    const WriterRun run = RunWriter({Empty("", "a"), Empty("", "b")});
    ASSERT_TRUE(run.ok) << run.chain0;
    const std::string tar = Gunzip(run.Archive());
    ASSERT_EQ(tar.size(), 6u * 512);
    const std::string global = tar.substr(0, 512);
    EXPECT_EQ(global.substr(0, 100), PadField("global.hdr", 100));
    EXPECT_EQ(global.substr(100, 8), std::string("0000444\0", 8));
    EXPECT_EQ(global.substr(108, 8), std::string("7777777\0", 8));
    EXPECT_EQ(global.substr(116, 8), std::string("7777777\0", 8));
    EXPECT_EQ(global.substr(124, 12), std::string("00000000052\0", 12));
    EXPECT_EQ(global.substr(136, 12), std::string("00000000000\0", 12));
    EXPECT_EQ(global[156], 'g');
    EXPECT_EQ(global.substr(257, 8), std::string("ustar\0" "00", 8));
    EXPECT_EQ(global.substr(265), std::string(512 - 265, '\0'));
    EXPECT_TRUE(ChecksumMatches(global));
    EXPECT_EQ(tar.substr(512, 512), PadToBlock("20 hdrcharset=UTF-8\n22 x-path-separator=/\n"));
    EXPECT_EQ(tar.substr(1024, 100), PadField("a", 100));
    EXPECT_EQ(tar.substr(1536, 100), PadField("b", 100));
    EXPECT_EQ(tar.substr(2048), ZeroBlocks(2));
}

TEST(PaxgzWriter, EmptyAndOneByteFiles) {
    TempDir dir;
    const WriterRun run = RunWriter({Empty("", "f0"), DataFile(dir, "f1", "x")}, Bare());
    ASSERT_TRUE(run.ok) << run.chain0;
    const std::string tar = Gunzip(run.Archive());
    ASSERT_EQ(tar.size(), 5u * 512);
    const std::string empty = tar.substr(0, 512);
    EXPECT_EQ(empty.substr(0, 100), PadField("f0", 100));
    EXPECT_EQ(empty.substr(100, 8), std::string("0000777\0", 8));
    EXPECT_EQ(empty.substr(108, 8), std::string("0000000\0", 8));
    EXPECT_EQ(empty.substr(124, 12), std::string("00000000000\0", 12));
    EXPECT_EQ(empty.substr(136, 12), FormatOctal(1'700'000'000, 11) + std::string(1, '\0'));
    EXPECT_EQ(empty[156], '0');
    EXPECT_EQ(empty.substr(157, 100), std::string(100, '\0'));
    EXPECT_EQ(empty.substr(257, 8), std::string("ustar\0" "00", 8));
    EXPECT_TRUE(ChecksumMatches(empty));
    const std::string one = tar.substr(512, 512);
    EXPECT_EQ(one.substr(124, 12), std::string("00000000001\0", 12));
    EXPECT_TRUE(ChecksumMatches(one));
    EXPECT_EQ(tar.substr(1024, 512), "x" + std::string(511, '\0'));
    EXPECT_EQ(tar.substr(1536), ZeroBlocks(2));
}

TEST(PaxgzWriter, NamesFillTheUstarFieldsUpTo100And155Bytes) {
    const std::string name100(100, 'n');
    const std::string dir155(155, 'd');
    const WriterRun run = RunWriter({Empty(dir155, name100), Empty(dir155 + "e", "x"), Empty("", name100 + "m"),
                                     Empty("sub", "tab\there"), Empty("d\xC3\xAF", "plain")},
                                    Bare());
    ASSERT_TRUE(run.ok) << run.chain0;
    const std::vector<Member> members = Members(Gunzip(run.Archive()));
    ASSERT_EQ(members.size(), 9u);
    EXPECT_EQ(members[0].header.substr(0, 100), name100);
    EXPECT_EQ(members[0].header.substr(345, 155), dir155);
    EXPECT_EQ(members[0].header[156], '0');

    const std::vector<std::pair<size_t, std::string>> expected = {
        {1, PaxRecord("path", dir155 + "e/x")},
        {3, PaxRecord("path", name100 + "m")},
        {5, PaxRecord("path", "sub/tab\there")},
        {7, PaxRecord("path", "d\xC3\xAF/plain")},
    };
    for (const auto& [index, record] : expected) {
        EXPECT_EQ(members[index].header[156], 'x');
        EXPECT_EQ(members[index].data, record);
        EXPECT_EQ(members[index + 1].header.substr(0, 100), std::string(100, '\0'));
        EXPECT_EQ(members[index + 1].header.substr(345, 155), std::string(155, '\0'));
    }
}

TEST(PaxgzWriter, ExtendedHeadersAreNumberedOverTheWholeArchive) {
    std::vector<TestEntry> entries;
    for (int i = 0; i < 6; ++i) {
        TestEntry item = Empty("", "e" + std::to_string(i));
        if (i % 2 == 0) item.atime = 9;  // entries 1, 3, 5 need no extended header
        entries.push_back(item);
    }
    entries.push_back(Empty("", std::string(120, 'L')));
    const WriterRun run = RunWriter(entries);
    ASSERT_TRUE(run.ok) << run.chain0;
    std::vector<std::string> names;
    for (const Member& member : Members(Gunzip(run.Archive()))) {
        if (member.header[156] == 'x') names.push_back(member.header.substr(0, member.header.find('\0')));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"extended.0.hdr", "extended.1.hdr", "extended.2.hdr",
                                               "extended.3.hdr"}));
    EXPECT_EQ(run.extendedHeaders, 4u);
}

TEST(PaxgzWriter, TimesWithFractionsTravelInRecords) {
    TestEntry quarter = Empty("", "quarter");
    quarter.mtime = 1000;
    quarter.mtimeNanoseconds = 250'000'000;
    TestEntry half = Empty("", "half");
    half.mtime = 7;
    half.mtimeNanoseconds = 500'000'000;
    TestEntry tiny = Empty("", "tiny");
    tiny.mtime = 7;
    tiny.mtimeNanoseconds = 1;
    TestEntry accessed = Empty("", "accessed");
    accessed.atime = 9;
    TestEntry far = Empty("", "far");
    far.mtime = 8'589'934'592;  // 8^11: twelve octal digits
    const WriterRun run = RunWriter({quarter, half, tiny, accessed, far}, Bare());
    ASSERT_TRUE(run.ok) << run.chain0;
    const std::vector<Member> members = Members(Gunzip(run.Archive()));
    ASSERT_EQ(members.size(), 10u);
    EXPECT_EQ(members[0].data, "17 mtime=1000.25\n");
    EXPECT_EQ(members[0].header.substr(124, 12), std::string("00000000021\0", 12));
    EXPECT_EQ(members[1].header.substr(136, 12), std::string(12, '\0'));
    EXPECT_EQ(members[2].data, "13 mtime=7.5\n");
    EXPECT_EQ(members[4].data, "21 mtime=7.000000001\n");
    EXPECT_EQ(members[6].data, "11 atime=9\n");
    EXPECT_EQ(members[7].header.substr(136, 12), FormatOctal(1'700'000'000, 11) + std::string(1, '\0'));
    EXPECT_EQ(members[8].data, "20 mtime=8589934592\n");
    EXPECT_EQ(members[9].header.substr(136, 12), std::string(12, '\0'));
}

TEST(PaxgzWriter, LargeIdsTravelInRecords) {
    TestEntry fits = Empty("", "fits");
    fits.uid = 2'097'151;
    fits.gid = 2'097'151;
    TestEntry large = Empty("", "large");
    large.uid = 2'097'152;
    large.gid = 4'000'000'000u;
    const WriterRun run = RunWriter({fits, large}, Bare());
    ASSERT_TRUE(run.ok) << run.chain0;
    const std::vector<Member> members = Members(Gunzip(run.Archive()));
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(members[0].header.substr(108, 16), std::string("7777777\0" "7777777\0", 16));
    EXPECT_EQ(members[1].data, "15 uid=2097152\n18 gid=4000000000\n");
    EXPECT_EQ(members[1].header.substr(124, 12), std::string("00000000041\0", 12));
    EXPECT_EQ(members[2].header.substr(108, 16), std::string(16, '\0'));
}

TEST(PaxgzWriter, Utf16ArchivesCarryEveryNameInAPathRecord) {
    WriterOptions options;
    options.encoding = "UTF-16LE";
    options.separator = std::string("\\\0", 2);
    const WriterRun run = RunWriter({Empty(Utf16("sub"), Utf16("file.txt")), Empty("", Utf16("top"))}, options);
    ASSERT_TRUE(run.ok) << run.chain0;
    const std::vector<Member> members = Members(Gunzip(run.Archive()));
    ASSERT_EQ(members.size(), 5u);
    EXPECT_EQ(members[0].data, "23 hdrcharset=UTF-16LE\n" + std::string("23 x-path-separator=\\\0\n", 23));
    EXPECT_EQ(members[1].data, PaxRecord("path", Utf16("sub") + std::string("\\\0", 2) + Utf16("file.txt")));
    EXPECT_EQ(members[2].header.substr(0, 100), std::string(100, '\0'));
    EXPECT_EQ(members[3].data, PaxRecord("path", Utf16("top")));
}

// Every destination write is exactly O bytes except the last, whatever S.
TEST(PaxgzWriter, OutputBlocksAreFullExceptTheLast) {
    TempDir dir;
    std::vector<TestEntry> entries = {DataFile(dir, "noise", RandomBytes(300'000, 1)),
                                      DataFile(dir, "text", std::string(70'000, 'a')), Empty("deep", "e")};
    entries[2].atime = 3;
    WriterOptions large;
    large.outputSize = 1 << 20;
    const WriterRun whole = RunWriter(entries, large);
    ASSERT_TRUE(whole.ok) << whole.chain0;
    ASSERT_EQ(whole.writes.size(), 1u);
    const std::string archive = whole.Archive();
    const uint32_t total = static_cast<uint32_t>(archive.size());

    WriterOptions exact;
    exact.outputSize = total;
    const WriterRun one = RunWriter(entries, exact);
    ASSERT_EQ(one.writes.size(), 1u);
    EXPECT_EQ(one.Archive(), archive);

    WriterOptions lessOne;
    lessOne.outputSize = total - 1;
    const WriterRun two = RunWriter(entries, lessOne);
    ASSERT_EQ(two.writes.size(), 2u);
    EXPECT_EQ(two.writes[0].size(), total - 1);
    EXPECT_EQ(two.writes[1].size(), 1u);
    EXPECT_EQ(two.Archive(), archive);

    // Headers and file data straddling many small stagings, odd output size,
    // destination completing inside the call.
    WriterOptions small;
    small.stagingSize = 512;
    small.outputSize = 1000;
    small.completeAtOnce = true;
    const WriterRun many = RunWriter(entries, small);
    ASSERT_TRUE(many.ok) << many.chain0;
    for (size_t i = 0; i + 1 < many.writes.size(); ++i) ASSERT_EQ(many.writes[i].size(), 1000u) << i;
    EXPECT_GE(many.writes.back().size(), 1u);
    EXPECT_EQ(many.Archive(), archive);
    EXPECT_EQ(many.progress, 370'000u);
}

TEST(PaxgzWriter, LongRecordsStraddleStagings) {
    // A 3000-byte path record spans six blocks; with S = 1024 it crosses stagings.
    const std::string directory(2900, 'p');
    WriterOptions small;
    small.stagingSize = 1024;
    const WriterRun run = RunWriter({Empty(directory, "leaf"), Empty("", "after")}, small);
    ASSERT_TRUE(run.ok) << run.chain0;
    const std::vector<Member> members = Members(Gunzip(run.Archive()));
    ASSERT_EQ(members.size(), 4u);
    EXPECT_EQ(members[1].data, PaxRecord("path", directory + "/leaf"));
    EXPECT_EQ(members[2].header[156], '0');
    EXPECT_EQ(members[3].header.substr(0, 5), "after");
}

TEST(PaxgzWriter, WritesTheSameArchiveThroughTheEventLoop) {
    TempDir dir;
    WriteFile(dir / "tree/a/b/c.txt", RandomBytes(100'000, 7));
    WriteFile(dir / "tree/a/empty", "");
    WriteFile(dir / "tree/top", std::string(5000, 'z'));
    const std::vector<TestEntry> entries = EntriesFromTree(dir / "tree");
    WriterOptions options;
    options.stagingSize = 8192;
    options.outputSize = 8192;
    const WriterRun direct = RunWriter(entries, options);
    const WriterRun looped = RunWriterWithLoop(entries, dir / "out.tgz", options);
    ASSERT_TRUE(direct.ok) << direct.chain0;
    ASSERT_TRUE(looped.ok) << looped.chain0 << " " << looped.chain1;
    EXPECT_TRUE(looped.finished);
    EXPECT_EQ(looped.Archive(), direct.Archive());
    EXPECT_EQ(looped.progress, 105'000u);
}

TEST(PaxgzWriter, FilesThatChangeSizeWhileReadFailTheArchive) {
    TempDir dir;
    TestEntry shrunk = DataFile(dir, "shrunk", "short");
    shrunk.size = 1000;
    TestEntry grown = DataFile(dir, "grown", std::string(2000, 'g'));
    grown.size = 1000;
    for (const TestEntry& item : {shrunk, grown}) {
        for (bool loop : {false, true}) {
            const WriterRun run = loop ? RunWriterWithLoop({item}, dir / "out.tgz") : RunWriter({item});
            EXPECT_FALSE(run.ok) << item.name;
            EXPECT_EQ(run.kind, 2u);
            EXPECT_EQ(run.code, platform::kErrorInputOutput);
            EXPECT_EQ(run.chain0, "file read failed");
            EXPECT_EQ(run.chain1, "file changed size while it was read");
        }
    }
}

// The writer owns every file handed to it and closes it, also when the file
// fails it, whether or not it reads through the event loop.
TEST(PaxgzWriter, EveryFileItIsGivenIsClosed) {
    TempDir dir;
    for (const std::string mode : {"direct", "loop"}) {
        SCOPED_TRACE(mode);
        const TestEntry small = DataFile(dir, mode + "-small", "alpha");
        const TestEntry large = DataFile(dir, mode + "-large", RandomBytes(70'000, 3));
        TestEntry shrunk = DataFile(dir, mode + "-shrunk", "short");
        shrunk.size = 1000;
        const bool loop = mode == "loop";
        const WriterRun run = loop ? RunWriterWithLoop({small, large}, dir / "out.tgz") : RunWriter({small, large});
        EXPECT_TRUE(run.ok) << run.chain0;
        const WriterRun failed = loop ? RunWriterWithLoop({shrunk}, dir / "out.tgz") : RunWriter({shrunk});
        EXPECT_FALSE(failed.ok);
        const TestEntry* const given[] = {&small, &large, &shrunk};
        for (const TestEntry* entry : given) EXPECT_FALSE(HeldOpen(entry->file)) << entry->name;
    }
}

TEST(PaxgzWriter, FailuresCarryKindDetailAndCode) {
    WriterOptions longName;
    const std::string encoding(257, 'E');
    longName.encoding = encoding.c_str();
    WriterRun run = RunWriter({Empty("", "a")}, longName);
    EXPECT_EQ(run.kind, 0u);
    EXPECT_EQ(run.detail, 1u);
    EXPECT_EQ(run.code, 8);
    EXPECT_EQ(run.chain0, "creating paxgz headers failed");
    EXPECT_EQ(run.chain1, "encoding name length too long");

    const std::string longest(256, 'E');
    longName.encoding = longest.c_str();
    EXPECT_TRUE(RunWriter({Empty("", "a")}, longName).ok);

    WriterOptions source;
    source.failSourceAt = "b";
    run = RunWriter({Empty("", "a"), Empty("", "b")}, source);
    EXPECT_EQ(run.kind, 5u);
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.chain0, "file open failed");

    WriterOptions issue;
    issue.failIssue = true;
    run = RunWriter({}, issue);
    EXPECT_EQ(run.kind, 6u);
    EXPECT_EQ(run.code, 5);
    EXPECT_EQ(run.chain0, "archive request failed");

    WriterOptions completion;
    completion.failCompletion = true;
    run = RunWriter({}, completion);
    EXPECT_EQ(run.kind, 3u);
    EXPECT_EQ(run.code, 28);
    EXPECT_EQ(run.chain0, "archive write failed");

    WriterOptions oddStaging;
    oddStaging.stagingSize = 1000;
    run = RunWriter({}, oddStaging);
    EXPECT_EQ(run.kind, 8u);
    EXPECT_EQ(run.code, EINVAL);
    EXPECT_EQ(run.chain0, "invalid paxgz writer state");
}

TEST(PaxgzWriter, ResumeWithoutAPendingWriteIsAnInvalidState) {
    auto writer = std::make_unique<PaxgzWriter>();
    EXPECT_FALSE(writer->Resume());
    EXPECT_EQ(writer->ErrorKind(), 8u);
    EXPECT_STREQ(writer->Describe(0), "invalid paxgz writer state");
    EXPECT_EQ(writer->Describe(2), nullptr);
}

// zlib gets memory only from the fixed slots: a configuration that asks for
// other sizes, or a second stream on slots already taken, fails to start.
TEST(PaxgzWriter, ZlibMemoryComesOnlyFromTheFixedSlots) {
    auto memory = std::make_unique<uint8_t[]>(kDeflateSlotBytes);
    DeflateSlots slots(memory.get(), kDeflateLayout);
    z_stream first{};
    slots.Attach(first);
    ASSERT_EQ(deflateInit2(&first, 6, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY), Z_OK);
    z_stream second{};
    slots.Attach(second);
    EXPECT_EQ(deflateInit2(&second, 6, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY), Z_MEM_ERROR);
    deflateEnd(&first);
    z_stream smaller{};
    slots.Attach(smaller);
    EXPECT_EQ(deflateInit2(&smaller, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_MEM_ERROR);
    z_stream again{};
    slots.Attach(again);
    EXPECT_EQ(deflateInit2(&again, 6, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY), Z_OK);
    deflateEnd(&again);
}

}  // namespace
}  // namespace kestrel::test
