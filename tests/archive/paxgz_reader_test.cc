// The reader's strict checks, with their kinds, details and codes, over
// hand-built tar streams; and extraction that never leaves its root.
#include <cerrno>

#include <gtest/gtest.h>

#include "archive/archive_test_support.h"
#include "archive/safe_path.h"
#include "support/test_support.h"

namespace kestrel::test {
namespace {

std::string File(const std::string& name, const std::string& data) {
    return TarHeader(name, '0', data.size()) + PadToBlock(data);
}

std::string Archive(const std::string& tar) { return Gzip(tar + ZeroBlocks(2)); }

// A global header that splits the names that follow at '\\'.
const std::string kBackslashNames = PaxHeader('g', PaxRecord("x-path-separator", "\\"));

void ExpectParseFailure(const ReaderRun& run, uint32_t detail, const std::string& text, int32_t code = EINVAL) {
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.kind, 0u);
    EXPECT_EQ(run.detail, detail);
    EXPECT_EQ(run.code, code);
    EXPECT_EQ(run.chain0, "parsing paxgz headers failed");
    EXPECT_EQ(run.chain1, text);
}

TEST(PaxgzReader, TwoZeroBlocksEndTheArchiveAndReportWhatFollows) {
    TempDir dir;
    ReaderRun run = RunReader(Gzip(ZeroBlocks(2)), dir.path());
    EXPECT_TRUE(run.ok);
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.afterTrailer, 0u);
    EXPECT_TRUE(run.entries.empty());

    // Another tool's record padding: zeros after the trailer are the caller's business.
    run = RunReader(Gzip(File("a", "1") + ZeroBlocks(2) + std::string(3000, '\0')), dir.path());
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.afterTrailer, 3000u);
    EXPECT_EQ(ReadFile(dir / "a"), "1");
}

TEST(PaxgzReader, TheArchiveIsWholeOnlyWithItsGzipTrailer) {
    TempDir dir;
    const std::string archive = Gzip(File("a", "payload") + ZeroBlocks(2));
    // gzip ends with the CRC-32 of the data, then its length.
    std::string badCrc = archive;
    badCrc[badCrc.size() - 8] = static_cast<char>(badCrc[badCrc.size() - 8] ^ 0x01);
    std::string badLength = archive;
    badLength[badLength.size() - 1] = static_cast<char>(badLength[badLength.size() - 1] ^ 0x01);
    struct Case {
        const char* name;
        std::string bytes;
        uint32_t kind;
    } cases[] = {
        {"damaged CRC", badCrc, 1},
        {"damaged length", badLength, 1},
        {"cut inside the gzip trailer", archive.substr(0, archive.size() - 3), 11},
        {"cut before the end of the deflate stream", archive.substr(0, archive.size() - 10), 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Fed whole, and in pieces that split the trailer from the tar end.
        for (uint32_t pieceSize : {65536u, 7u}) {
            ReaderOptions options;
            options.pieceSize = pieceSize;
            const ReaderRun run = RunReader(c.bytes, dir.path(), options);
            EXPECT_FALSE(run.ok);
            EXPECT_FALSE(run.finished);
            EXPECT_EQ(run.kind, c.kind);
        }
    }
    // Intact, in pieces of one byte: finished once the last byte has come.
    ReaderOptions bytewise;
    bytewise.pieceSize = 1;
    const ReaderRun run = RunReader(archive, dir.path(), bytewise);
    EXPECT_TRUE(run.ok);
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(ReadFile(dir / "a"), "payload");
}

TEST(PaxgzReader, DamagedHeadersReadAsACorruptTrailer) {
    TempDir dir;
    std::string badSum = TarHeader("a", '0', 0);
    badSum[0] = 'b';  // checksum no longer matches
    ExpectParseFailure(RunReader(Archive(badSum), dir.path()), 4, "corrupt trailer read");

    // The right digits behind a leading space: the field must not start with one.
    std::string leadingSpace = TarHeader("a", '0', 0);
    leadingSpace.replace(148, 8, " " + leadingSpace.substr(148, 6) + std::string(1, '\0'));
    ExpectParseFailure(RunReader(Archive(leadingSpace), dir.path()), 4, "corrupt trailer read");

    std::string badMagic = TarHeader("a", '0', 0);
    badMagic[262] = ' ';
    FixChecksum(badMagic);
    ExpectParseFailure(RunReader(Archive(badMagic), dir.path()), 4, "corrupt trailer read");

    // A zero block followed by anything but another zero block.
    ExpectParseFailure(RunReader(Gzip(ZeroBlocks(1) + File("a", "x")), dir.path()), 4, "corrupt trailer read");
    EXPECT_FALSE(FileExists(dir / "a"));
}

TEST(PaxgzReader, ChecksumFieldMayEndInNulOrSpace) {
    TempDir dir;
    std::string spaceEnded = TarHeader("a", '0', 0);
    FixChecksum(spaceEnded);
    spaceEnded[154] = ' ';  // "dddddd  " as older writers leave it
    const ReaderRun run = RunReader(Archive(spaceEnded), dir.path());
    EXPECT_TRUE(run.ok) << run.chain1;
    EXPECT_TRUE(FileExists(dir / "a"));
}

TEST(PaxgzReader, UnknownTypeflagsStopTheReader) {
    TempDir dir;
    for (char typeflag : {'L', 'K', 'S', 'V'}) {
        ExpectParseFailure(RunReader(Archive(TarHeader("././@LongLink", typeflag, 0)), dir.path()), 5,
                           "unknown ustar record type");
    }
}

TEST(PaxgzReader, ExtendedHeaderSpanningManyCallsIsCollectedOnce) {
    TempDir dir;
    // Over 512 bytes of records: the larger header buffer.
    const std::string longName =
        std::string(200, 'q') + "/" + std::string(200, 'r') + "/" + std::string(200, 's') + "/" + std::string(100, 't');
    const std::string tar = PaxHeader('x', PaxRecord("path", longName) + PaxRecord("mtime", "1234.5")) +
                            File("ignored", "payload");
    for (uint32_t piece : {1u, 7u, 600u}) {
        ReaderOptions options;
        options.pieceSize = piece;
        options.outputSize = 1024;
        TempDir out;
        const ReaderRun run = RunReader(Archive(tar), out.path(), options);
        ASSERT_TRUE(run.ok) << piece << " " << run.chain0 << ": " << run.chain1;
        ASSERT_TRUE(run.finished);
        ASSERT_EQ(run.entries.size(), 1u);
        EXPECT_EQ(run.entries[0].path, longName);
        EXPECT_EQ(run.entries[0].mtime, 1234u);
        EXPECT_EQ(run.entries[0].mtimeNanoseconds, 500'000'000u);
        EXPECT_EQ(ReadFile(out / longName), "payload");
    }
}

TEST(PaxgzReader, ExtendedRecordsOverrideTheUstarFields) {
    TempDir dir;
    const std::string records = PaxRecord("uid", "4000000000") + PaxRecord("gid", "77") +
                                PaxRecord("size", "3") + PaxRecord("ctime", "1.5") +
                                PaxRecord("mtime", "1.1234567891");  // ten digits: the tenth is not read
    std::string header = TarHeader("f", '0', 999);
    const ReaderRun run = RunReader(Archive(PaxHeader('x', records) + header + PadToBlock("abc") +
                                            File("next", "n")),
                                    dir.path());
    ASSERT_TRUE(run.ok) << run.chain1;
    ASSERT_EQ(run.entries.size(), 2u);
    EXPECT_EQ(run.entries[0].uid, 4'000'000'000u);
    EXPECT_EQ(run.entries[0].gid, 77u);
    EXPECT_EQ(run.entries[0].size, 3u);
    EXPECT_EQ(run.entries[0].mtime, 1u);
    EXPECT_EQ(run.entries[0].mtimeNanoseconds, 123'456'789u);
    // Extended settings last for one entry.
    EXPECT_EQ(run.entries[1].uid, 01750u);
    EXPECT_EQ(run.entries[1].mtimeNanoseconds, 0u);
    EXPECT_EQ(ReadFile(dir / "f"), "abc");
}

TEST(PaxgzReader, MalformedPaxHeadersAreRefused) {
    TempDir dir;
    struct Case {
        std::string tar;
        uint32_t detail;
        std::string text;
    };
    std::string badSize = TarHeader("extended.0.hdr", 'x', 0);
    badSize.replace(124, 12, std::string("0000000008x\0", 12));
    FixChecksum(badSize);
    std::string hugeGlobal = TarHeader("global.hdr", 'g', 0);
    hugeGlobal.replace(124, 12, std::string("77777777777\0", 12));  // above 1,000,000,000
    FixChecksum(hugeGlobal);
    const std::vector<Case> cases = {
        {badSize, 2, "corrupt pax extended header read"},
        {hugeGlobal, 1, "corrupt pax global header read"},
        {PaxHeader('x', "5 a=b\n"), 3, "corrupt pax extended header contents read"},
        {PaxHeader('x', "99 path=x\n"), 3, "corrupt pax extended header contents read"},
        {PaxHeader('x', "0 a\n"), 3, "corrupt pax extended header contents read"},
        {PaxHeader('x', "7 novalue\n"), 3, "corrupt pax extended header contents read"},
        {PaxHeader('x', PaxRecord("mtime", "12x")), 3, "corrupt pax extended header contents read"},
        {PaxHeader('x', PaxRecord("size", "")), 3, "corrupt pax extended header contents read"},
        {PaxHeader('x', PaxRecord("uid", "4294967296")), 3, "corrupt pax extended header contents read"},
        {PaxHeader('x', PaxRecord("linkpath", "")), 3, "corrupt pax extended header contents read"},
        {PaxHeader('g', PaxRecord("hdrcharset", std::string(256, 'c'))), 7, "encoding name is too long"},
        {PaxHeader('g', PaxRecord("x-path-separator", "////")), 8, "separator in header too long"},
    };
    for (const Case& c : cases) {
        ExpectParseFailure(RunReader(Archive(c.tar + File("a", "")), dir.path()), c.detail, c.text);
    }
    // 255 bytes and 3 bytes are still accepted; unknown global keywords are skipped.
    const ReaderRun accepted = RunReader(
        Archive(PaxHeader('g', PaxRecord("hdrcharset", std::string(255, 'c')) + PaxRecord("comment", "hi") +
                                   PaxRecord("x-path-separator", "::/")) +
                File("a::/b", "")),
        dir.path());
    ASSERT_TRUE(accepted.ok) << accepted.chain1;
    EXPECT_EQ(accepted.entries[0].path, "a/b");
}

TEST(PaxgzReader, HeadersAboveTheCallersLimitAreCorrupt) {
    TempDir dir;
    // A record of exactly 2048 bytes: "2048 path=" is 10 bytes, the newline one.
    std::string path;
    for (int level = 0; level < 20; ++level) path += std::string(100, 'p') + "/";
    path += std::string(17, 'q');
    const std::string records = PaxRecord("path", path);
    ASSERT_EQ(records.size(), 2048u);
    const std::string tar = PaxHeader('x', records) + File("ignored", "");
    const std::string global = PaxHeader('g', PaxRecord("comment", std::string(3000, 'c'))) + File("a", "");
    struct Case {
        std::string tar;
        uint32_t limit;
        bool ok;
        uint32_t detail;
        std::string text;
    };
    const Case cases[] = {
        {tar, 2048, true, 0, ""},
        {tar, 2047, false, 2, "corrupt pax extended header read"},
        {tar, kPaxgzTransferHeaderRecords, true, 0, ""},
        {global, 3000, false, 1, "corrupt pax global header read"},
        {global, kPaxgzHeaderRecordsMaximum, true, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        ReaderOptions options;
        options.headerRecordLimit = c.limit;
        TempDir out;
        const ReaderRun run = RunReader(Archive(c.tar), out.path(), options);
        if (c.ok) {
            EXPECT_TRUE(run.ok) << run.chain1;
        } else {
            ExpectParseFailure(run, c.detail, c.text);
        }
    }
}

TEST(PaxgzReader, EncodingsAreSetByTheGlobalHeaderAndCheckedByTheCaller) {
    TempDir dir;
    const std::string separator("/\0", 2);
    const std::string global =
        PaxHeader('g', PaxRecord("hdrcharset", "UTF-16LE") + PaxRecord("x-path-separator", separator));
    // A ustar name in UTF-16 units, and a path record in UTF-16.
    std::string named = TarHeader("", '0', 2);
    const std::string name16 = Utf16("dir/f\xC3\xBC.t");
    named.replace(0, name16.size(), name16);
    FixChecksum(named);
    const std::string tar = global + named + PadToBlock("hi") + PaxHeader('x', PaxRecord("path", Utf16("dir/x"))) +
                            TarHeader("junk", '0', 0);
    const ReaderRun run = RunReader(Archive(tar), dir.path());
    ASSERT_TRUE(run.ok) << run.chain1;
    EXPECT_TRUE(run.utf16);
    ASSERT_EQ(run.entries.size(), 2u);
    EXPECT_EQ(run.entries[0].path, "dir/f\xC3\xBC.t");
    EXPECT_EQ(ReadFile(dir / "dir/f\xC3\xBC.t"), "hi");
    EXPECT_EQ(run.entries[1].path, "dir/x");

    ReaderOptions refusing;
    refusing.refuseEncodings = true;
    ExpectParseFailure(RunReader(Archive(global + File("a", "")), dir.path(), refusing), 9, "unknown encoding");

    // "UTF-8" after "UTF-16LE" switches back to byte names.
    const ReaderRun back = RunReader(
        Archive(global + PaxHeader('g', PaxRecord("hdrcharset", "UTF-8")) + File("plain", "")), dir.path());
    ASSERT_TRUE(back.ok) << back.chain1;
    EXPECT_FALSE(back.utf16);
    EXPECT_EQ(back.entries[0].path, "plain");
}

TEST(PaxgzReader, InputEndingEarlyIsAnUnexpectedEndOfFile) {
    TempDir dir;
    const std::string tar = File("big", std::string(5000, 'b')) + ZeroBlocks(2);
    const std::string cut = Gzip(tar.substr(0, 512 + 1000));  // the stream ends inside the data
    ReaderRun run = RunReader(cut, dir.path());
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.kind, 11u);
    EXPECT_EQ(run.chain0, "unexpected end of file");

    // The last piece marked while compressed bytes are still missing.
    const std::string whole = Gzip(tar);
    run = RunReader(whole.substr(0, whole.size() / 2), dir.path());
    EXPECT_EQ(run.kind, 11u);

    // Unmarked: the reader waits for more instead.
    ReaderOptions unmarked;
    unmarked.markLast = false;
    run = RunReader(whole.substr(0, whole.size() / 2), dir.path(), unmarked);
    EXPECT_TRUE(run.ok);
    EXPECT_FALSE(run.finished);
}

TEST(PaxgzReader, DecompressionErrorsCarryZlibsCodeAndMessage) {
    TempDir dir;
    std::string broken = Gzip(File("a", "data") + ZeroBlocks(2));
    broken[0] = 0x1e;
    const ReaderRun run = RunReader(broken, dir.path());
    EXPECT_EQ(run.kind, 1u);
    EXPECT_EQ(run.code, -3);  // Z_DATA_ERROR
    EXPECT_EQ(run.chain0, "decompression failed");
    EXPECT_EQ(run.chain1, "incorrect header check");
}

TEST(PaxgzReader, LinksAndOtherKindsReachTheCreateOperation) {
    TempDir dir;
    std::string dirWithData = TarHeader("d/", '5', 600);  // data blocks of a directory are passed over
    const std::string tar = dirWithData + PadToBlock(std::string(600, 'D')) + TarHeader("h", '1', 0, "", "d/t") +
                            PaxHeader('x', PaxRecord("linkpath", "far/away")) + TarHeader("s", '2', 0) +
                            TarHeader("fifo", '6', 0) + TarHeader("after", '7', 1) + PadToBlock("z");
    ReaderOptions recordOnly;
    recordOnly.createOnly = true;
    const ReaderRun run = RunReader(Archive(tar), dir.path(), recordOnly);
    ASSERT_TRUE(run.ok) << run.chain1;
    ASSERT_EQ(run.entries.size(), 5u);
    EXPECT_EQ(run.entries[0].kind, PaxgzEntryKind::kDirectory);
    EXPECT_EQ(run.entries[1].kind, PaxgzEntryKind::kHardLink);
    EXPECT_EQ(run.entries[1].linkTarget, "d/t");
    EXPECT_EQ(run.entries[2].kind, PaxgzEntryKind::kSymbolicLink);
    EXPECT_EQ(run.entries[2].linkTarget, "far/away");
    EXPECT_EQ(run.entries[3].kind, PaxgzEntryKind::kFifo);
    EXPECT_EQ(run.entries[4].kind, PaxgzEntryKind::kRegularFile);

    // The extracting create operation refuses links with error 87.
    const ReaderRun refused = RunReader(Archive(TarHeader("s", '2', 0, "", "/etc/passwd")), dir.path());
    EXPECT_EQ(refused.kind, 4u);
    EXPECT_EQ(refused.code, 87);
    EXPECT_EQ(refused.chain0, "file create failed");
    EXPECT_FALSE(FileExists(dir / "s"));

    // A link without a target is corrupt.
    ExpectParseFailure(RunReader(Archive(TarHeader("h", '1', 0)), dir.path(), recordOnly), 0,
                       "corrupt ustar header read");
}

TEST(PaxgzReader, BadNumericFieldsAreCorruptUstarHeaders) {
    TempDir dir;
    for (size_t offset : {100u, 108u, 116u, 124u, 136u}) {
        std::string header = TarHeader("a", '0', 0);
        header[offset + 2] = '9';
        FixChecksum(header);
        ExpectParseFailure(RunReader(Archive(header), dir.path()), 0, "corrupt ustar header read");
    }
}

TEST(PaxgzReader, UnsafePathsAreRefusedBeforeAnythingIsCreated) {
    TempDir dir;
    struct Case {
        std::string tar;
        uint32_t detail;
        std::string text;
    };
    const std::vector<Case> cases = {
        {File("/etc/kestrel-owned", "x"), 10, "entry path is absolute"},
        {TarHeader("x", '0', 0, "/abs"), 10, "entry path is absolute"},
        {File("\\windows\\x", "x"), 10, "entry path is absolute"},
        {File("C:/x", "x"), 11, "entry path has a drive root"},
        {File("c:relative", "x"), 11, "entry path has a drive root"},
        {File("//server/share/x", "x"), 12, "entry path has a UNC root"},
        {File("\\\\server\\share", "x"), 12, "entry path has a UNC root"},
        {File("\\\\?\\C:\\x", "x"), 12, "entry path has a UNC root"},
        {File("//?/C:/x", "x"), 12, "entry path has a UNC root"},
        {File("\\\\.\\pipe\\x", "x"), 12, "entry path has a UNC root"},
        {File("../escape", "x"), 13, "entry path climbs above the extraction root"},
        {File("a/../../escape", "x"), 13, "entry path climbs above the extraction root"},
        {TarHeader("../../x", '0', 0, "a"), 13, "entry path climbs above the extraction root"},
        {PaxHeader('x', PaxRecord("path", std::string("a\0b", 3))) + File("z", ""), 14,
         "entry path has an invalid component"},
        {File(".", ""), 15, "entry path is empty"},
        {File("a/..", ""), 15, "entry path is empty"},
        // The same roots in an archive whose names are split at '\\', as
        // an archive made on Windows is.
        {kBackslashNames + File("..\\escape", "x"), 13, "entry path climbs above the extraction root"},
        {kBackslashNames + File("a\\..\\..\\escape", "x"), 13, "entry path climbs above the extraction root"},
        {kBackslashNames + File("C:\\x", "x"), 11, "entry path has a drive root"},
        {kBackslashNames + File("\\x", "x"), 10, "entry path is absolute"},
        {kBackslashNames + File("\\\\srv\\share\\x", "x"), 12, "entry path has a UNC root"},
    };
    for (const Case& c : cases) {
        const ReaderRun run = RunReader(Archive(c.tar), dir.path());
        ExpectParseFailure(run, c.detail, c.text);
        EXPECT_TRUE(run.entries.empty());
    }
    EXPECT_TRUE(ReadTree(dir.path()).empty());
    // Names with dots on the way stay inside and are normalized.
    const ReaderRun fine = RunReader(Archive(TarHeader("./", '5', 0) + File("a/./b/../c", "1")), dir.path());
    ASSERT_TRUE(fine.ok) << fine.chain1;
    EXPECT_EQ(ReadFile(dir / "a/c"), "1");
    EXPECT_EQ(fine.entries[0].path, "");
}

// Names the system would read as a device, a named stream or a path of
// several names where it has such rules (Windows): refused before anything
// is created. Elsewhere they are plain names and extracted as they are.
TEST(PaxgzReader, DeviceNamesAndStreamsAreRefusedWhereTheSystemReadsThem) {
    const char* const names[] = {"CON",        "nul",  "COM1",        "aux.txt", "sub/LPT1.log",
                                 "a.txt:zone", "ab:c", "back\\slash", "sub/CONOUT$"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        TempDir dir;
        const ReaderRun run = RunReader(Archive(File(name, "x")), dir.path());
        if (kDeviceNamesReserved) {
            ExpectParseFailure(run, 14, "entry path has an invalid component");
            EXPECT_TRUE(run.entries.empty());
            EXPECT_TRUE(ReadTree(dir.path()).empty());
        } else {
            ASSERT_TRUE(run.ok) << run.chain1;
            EXPECT_EQ(ReadFile(dir / name), "x");
        }
    }
}

TEST(PaxgzReader, CallsOutOfOrderAreInvalidStates) {
    auto reader = std::make_unique<PaxgzReader>();
    EXPECT_FALSE(reader->Process(0, false));
    EXPECT_EQ(reader->ErrorKind(), 9u);
    EXPECT_STREQ(reader->Describe(0), "invalid archive state");
}

// The check that whoever resolves a name from the other machine calls, in
// both encodings.
TEST(SafePath, ChecksRelativePathsInBothEncodings) {
    struct Case {
        std::string text;
        bool utf16;
        UnsafePath expected;
        std::string normalized;
    };
    const std::string slash16("/\0", 2);
    const std::vector<Case> cases = {
        {"a/b/c", false, UnsafePath::kNone, "a|b|c"},
        {"a//b/./c/", false, UnsafePath::kNone, "a|b|c"},
        {"a/b/../../c", false, UnsafePath::kNone, "c"},
        {"a/b/../../../c", false, UnsafePath::kAboveRoot, ""},
        {"/a", false, UnsafePath::kAbsolute, ""},
        {"//a/b", false, UnsafePath::kUncRoot, ""},
        {"Z:", false, UnsafePath::kDriveRoot, ""},
        {"x/../D:/y", false, UnsafePath::kDriveRoot, ""},
        {"", false, UnsafePath::kEmpty, ""},
        {Utf16("a/b/../c"), true, UnsafePath::kNone, Utf16("a") + "|" + Utf16("c")},
        {Utf16("../x"), true, UnsafePath::kAboveRoot, ""},
        {Utf16("/x"), true, UnsafePath::kAbsolute, ""},
        {Utf16("C:/x"), true, UnsafePath::kDriveRoot, ""},
        {Utf16("a") + "b", true, UnsafePath::kBadComponent, ""},  // not whole units
    };
    for (const Case& c : cases) {
        ComponentList list;
        bool outOfMemory = false;
        const std::string& separator = c.utf16 ? slash16 : std::string("/");
        const UnsafePath problem = CheckPathText(reinterpret_cast<const uint8_t*>(c.text.data()),
                                                 static_cast<uint32_t>(c.text.size()),
                                                 reinterpret_cast<const uint8_t*>(separator.data()),
                                                 static_cast<uint32_t>(separator.size()), c.utf16, false, list,
                                                 outOfMemory);
        EXPECT_FALSE(outOfMemory);
        EXPECT_EQ(problem, c.expected) << c.text;
        if (problem != UnsafePath::kNone) continue;
        std::string joined;
        for (uint32_t i = 0; i < list.Count(); ++i) {
            if (i > 0) joined += "|";
            joined.append(reinterpret_cast<const char*>(list.Items()[i].bytes), list.Items()[i].length);
        }
        EXPECT_EQ(joined, c.normalized) << c.text;
    }
    // A separator that is not the slash leaves slashes inside components, which are refused.
    ComponentList list;
    bool outOfMemory = false;
    const std::string text = "a\\..%2F/../../etc";
    EXPECT_EQ(CheckPathText(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()),
                            reinterpret_cast<const uint8_t*>("\\"), 1, false, false, list, outOfMemory),
              UnsafePath::kBadComponent);
}

}  // namespace
}  // namespace kestrel::test
