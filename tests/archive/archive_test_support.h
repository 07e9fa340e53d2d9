// Drivers for the paxgz writer and reader over real files, plus the raw tar
// pieces that reader tests need to build damaged archives by hand.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/paxgz_reader.h"
#include "archive/paxgz_writer.h"

namespace kestrel::test {

// One entry for the writer. A regular file with data is read from `file`.
struct TestEntry {
    std::string directory;  // directory part, in the archive's encoding
    std::string name;       // name part
    PaxgzEntryKind kind = PaxgzEntryKind::kRegularFile;
    uint64_t size = 0;
    std::string file;       // path of the data (regular files with size > 0)
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t mtime = 1'700'000'000;
    uint32_t mtimeNanoseconds = 0;
    uint64_t atime = 0;
    uint32_t atimeNanoseconds = 0;
};

// Entries for every file and directory below `root` (directories before their
// contents, names sorted), with sizes and times from the file system, the way
// the input transfer makes them.
std::vector<TestEntry> EntriesFromTree(const std::string& root);

struct WriterOptions {
    uint32_t stagingSize = 65536;
    uint32_t outputSize = 65525;
    const char* encoding = "UTF-8";  // null: no hdrcharset
    std::string separator = "/";     // empty: no x-path-separator
    // Destination behaviour: complete at once, or leave pending and resume
    // from outside (as the input transfer does).
    bool completeAtOnce = false;
    // Stop (close the writer) after this many destination writes; 0: never.
    uint32_t stopAfterWrites = 0;
    std::string failSourceAt;        // entry name whose source call fails (error 2)
    bool failIssue = false;          // the first write cannot be issued (error 5)
    bool failCompletion = false;     // the first write completes with error 28
    PaxgzParallelConfig parallel;    // worker threads for large archives (off)
};

struct WriterRun {
    bool ok = false;
    bool finished = false;
    uint32_t kind = 0;
    uint32_t detail = 0;
    int32_t code = 0;
    std::string chain0;
    std::string chain1;
    std::vector<std::string> writes;  // every destination write
    uint64_t progress = 0;            // the last progress report
    uint32_t extendedHeaders = 0;
    bool wentParallel = false;

    std::string Archive() const;
};

// Runs a writer synchronously (no event loop) over the entries.
WriterRun RunWriter(const std::vector<TestEntry>& entries, const WriterOptions& options = {});

// The archive from WritePaxgzToFile (event loop, overlapped reads and writes).
WriterRun RunWriterWithLoop(const std::vector<TestEntry>& entries, const std::string& archivePath,
                            const WriterOptions& options = {});

std::string Gunzip(const std::string& compressed);
std::string Gzip(const std::string& bytes);

struct ReaderOptions {
    uint32_t pieceSize = 65536;     // compressed bytes per Process call
    uint32_t outputSize = 65536;
    bool markLast = true;           // mark the last piece
    bool refuseEncodings = false;   // accept-encoding says no
    bool useLoop = false;           // file writes through an event loop
    bool createOnly = false;        // create operation records entries but makes nothing
    uint32_t headerRecordLimit = kPaxgzHeaderRecordsMaximum;
};

struct ReadEntryRecord {
    std::string path;               // components joined with "/" (UTF-8)
    PaxgzEntryKind kind;
    uint64_t size;
    uint64_t mtime;
    uint32_t mtimeNanoseconds;
    uint32_t uid;
    uint32_t gid;
    std::string linkTarget;
};

struct ReaderRun {
    bool ok = false;         // no failure
    bool finished = false;
    uint32_t afterTrailer = 0;
    uint32_t kind = 0;
    uint32_t detail = 0;
    int32_t code = 0;
    std::string chain0;
    std::string chain1;
    std::vector<ReadEntryRecord> entries;
    uint64_t progress = 0;
    bool utf16 = false;
};

// Extracts `archive` into `root` (created beneath with ExtractionRoot).
ReaderRun RunReader(const std::string& archive, const std::string& root, const ReaderOptions& options = {});

// Raw tar pieces, built independently of the writer.
std::string TarHeader(const std::string& name, char typeflag, uint64_t size, const std::string& prefix = "",
                      const std::string& linkname = "");
std::string PaxRecord(const std::string& keyword, const std::string& value);
std::string PaxHeader(char typeflag, const std::string& records);  // header block + padded data
std::string PadToBlock(const std::string& bytes);
std::string ZeroBlocks(uint32_t count);
void FixChecksum(std::string& block);

// A file tree as relative path -> contents ("/" suffix marks a directory).
std::map<std::string, std::string> ReadTree(const std::string& root);

// A tree with the names and sizes that stress the format below `root`: 320
// files of sizes around the block size, a path 30 directories deep, names of
// 100 and 101 bytes, paths that just fit and just miss the ustar prefix,
// names outside ASCII, empty files and directories, and "one" with the
// modification time 1600000000.25.
void BuildStressTree(const std::string& root);

// The first path that differs between two trees (ReadTree), or "".
std::string TreeDifference(const std::map<std::string, std::string>& actual,
                           const std::map<std::string, std::string>& expected);

// UTF-8 text to UTF-16LE bytes (BMP only, enough for tests).
std::string Utf16(const std::string& ascii);

std::string RandomBytes(size_t count, uint32_t seed);

}  // namespace kestrel::test
