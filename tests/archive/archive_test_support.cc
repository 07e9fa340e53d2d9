#include "archive/archive_test_support.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "archive/paxgz_file.h"
#include "archive/safe_path.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace kestrel::test {

namespace fs = std::filesystem;

namespace {

// Directories before their contents, names sorted by their UTF-8 bytes.
void Collect(const std::string& root, const std::string& relative, std::vector<TestEntry>& out) {
    const std::string directory = relative.empty() ? root : root + kNativeSeparator + NativePath(relative);
    for (const DirectoryEntry& child : ListDirectory(directory)) {
        const std::string path = directory + kNativeSeparator + child.name;
        platform::FileFacts facts{};
        platform::FileHandle fd;
        int error = 0;
        if (!platform::OpenForReading(path.c_str(), fd, facts, error)) throw std::runtime_error("cannot open " + path);
        platform::CloseFile(fd);
        TestEntry item;
        item.directory = relative;
        item.name = child.name;
        item.kind = facts.directory ? PaxgzEntryKind::kDirectory : PaxgzEntryKind::kRegularFile;
        item.size = facts.size;
        item.file = path;
        item.mtime = facts.modifiedSeconds;
        item.mtimeNanoseconds = facts.modifiedNanoseconds;
        item.atime = facts.accessedSeconds;
        item.atimeNanoseconds = facts.accessedNanoseconds;
        out.push_back(item);
        if (facts.directory) Collect(root, relative.empty() ? child.name : relative + "/" + child.name, out);
    }
}

struct WriterHarness {
    const std::vector<TestEntry>* entries;
    const WriterOptions* options;
    size_t next = 0;
    WriterRun* run;
    PaxgzWriter* writer;
    uint8_t* output;
    bool pending = false;
    bool stopped = false;
};

bool NextEntry(void* context, PaxgzEntry& entry, platform::FileHandle& file, bool& haveEntry, int32_t& error) {
    auto* harness = static_cast<WriterHarness*>(context);
    file = platform::kNoFile;
    if (harness->next == harness->entries->size()) {
        haveEntry = false;
        return true;
    }
    const TestEntry& item = (*harness->entries)[harness->next++];
    if (!harness->options->failSourceAt.empty() && item.name == harness->options->failSourceAt) {
        error = 2;
        return false;
    }
    entry.directory = reinterpret_cast<const uint8_t*>(item.directory.data());
    entry.directoryLength = static_cast<uint32_t>(item.directory.size());
    entry.name = reinterpret_cast<const uint8_t*>(item.name.data());
    entry.nameLength = static_cast<uint32_t>(item.name.size());
    entry.uid = item.uid;
    entry.gid = item.gid;
    entry.size = item.size;
    entry.modifiedSeconds = item.mtime;
    entry.modifiedNanoseconds = item.mtimeNanoseconds;
    entry.accessedSeconds = item.atime;
    entry.accessedNanoseconds = item.atimeNanoseconds;
    entry.kind = item.kind;
    if (item.kind == PaxgzEntryKind::kRegularFile && item.size > 0) {
        platform::FileFacts facts{};
        int openError = 0;
        if (!platform::OpenForReading(item.file.c_str(), file, facts, openError)) {
            error = openError;
            return false;
        }
    }
    haveEntry = true;
    return true;
}

PaxgzWriteResult Write(void* context, const uint8_t* bytes, uint32_t count, int32_t& error) {
    auto* harness = static_cast<WriterHarness*>(context);
    if (harness->options->failIssue) {
        error = 5;
        return PaxgzWriteResult::kFailed;
    }
    if (harness->options->failCompletion) {
        harness->writer->WriteFailed(28);
        return PaxgzWriteResult::kPending;
    }
    harness->run->writes.emplace_back(reinterpret_cast<const char*>(bytes), count);
    if (harness->options->stopAfterWrites != 0 && harness->run->writes.size() >= harness->options->stopAfterWrites) {
        harness->stopped = true;
        return PaxgzWriteResult::kPending;
    }
    if (harness->options->completeAtOnce) return PaxgzWriteResult::kCompleted;
    harness->pending = true;
    return PaxgzWriteResult::kPending;
}

void Progress(void* context, uint64_t bytesRead) { static_cast<WriterHarness*>(context)->run->progress = bytesRead; }

void WriterFailed(void*) {}

void Finish(WriterRun& run, const PaxgzWriter& writer) {
    run.finished = writer.Finished();
    run.kind = writer.ErrorKind();
    run.detail = writer.ErrorDetail();
    run.code = writer.ErrorCode();
    run.extendedHeaders = writer.ExtendedHeaderCount();
    run.wentParallel = writer.WentParallel();
    if (writer.HasFailed()) {
        run.chain0 = writer.Describe(0) ? writer.Describe(0) : "";
        run.chain1 = writer.Describe(1) ? writer.Describe(1) : "";
    }
}

PaxgzWriterConfig MakeConfig(WriterHarness& harness, std::vector<uint8_t>& staging, std::vector<uint8_t>& output,
                             const WriterOptions& options) {
    PaxgzWriterConfig config;
    config.context = &harness;
    config.nextEntry = &NextEntry;
    config.write = &Write;
    config.progress = &Progress;
    config.failed = &WriterFailed;
    config.staging = staging.data();
    config.stagingSize = options.stagingSize;
    config.output = output.data();
    config.outputSize = options.outputSize;
    config.encoding = options.encoding;
    config.parallel = options.parallel;
    if (!options.separator.empty()) {
        config.separator = reinterpret_cast<const uint8_t*>(options.separator.data());
        config.separatorLength = static_cast<uint32_t>(options.separator.size());
    }
    return config;
}

}  // namespace

std::vector<TestEntry> EntriesFromTree(const std::string& root) {
    std::vector<TestEntry> out;
    Collect(root, "", out);
    return out;
}

std::string WriterRun::Archive() const {
    std::string all;
    for (const auto& piece : writes) all += piece;
    return all;
}

WriterRun RunWriter(const std::vector<TestEntry>& entries, const WriterOptions& options) {
    WriterRun run;
    auto writer = std::make_unique<PaxgzWriter>();
    std::vector<uint8_t> staging(options.stagingSize);
    std::vector<uint8_t> output(options.outputSize);
    WriterHarness harness{&entries, &options, 0, &run, writer.get(), output.data()};
    const PaxgzWriterConfig config = MakeConfig(harness, staging, output, options);
    bool ok = writer->Start(config);
    while (ok && harness.pending && !harness.stopped) {
        harness.pending = false;
        ok = writer->Resume();
    }
    run.ok = ok && !writer->HasFailed();
    Finish(run, *writer);
    writer->Close();
    return run;
}

WriterRun RunWriterWithLoop(const std::vector<TestEntry>& entries, const std::string& archivePath,
                            const WriterOptions& options) {
    WriterRun run;
    auto writer = std::make_unique<PaxgzWriter>();
    std::vector<uint8_t> staging(options.stagingSize);
    std::vector<uint8_t> output(options.outputSize);
    WriterHarness harness{&entries, &options, 0, &run, writer.get(), output.data()};
    const PaxgzWriterConfig config = MakeConfig(harness, staging, output, options);
    platform::FileHandle archive;
    int error = 0;
    if (!platform::CreateForWriting(archivePath.c_str(), archive, error)) {
        throw std::runtime_error("cannot create " + archivePath);
    }
    PaxgzFileRunResult result;
    run.ok = WritePaxgzToFile(*writer, config, archive, result);
    platform::CloseFile(archive);
    Finish(run, *writer);
    run.writes.push_back(ReadFile(archivePath));
    return run;
}

std::string Gunzip(const std::string& compressed) {
    z_stream stream{};
    if (inflateInit2(&stream, 31) != Z_OK) throw std::runtime_error("inflateInit2");
    std::string out;
    std::vector<unsigned char> buffer(65536);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = buffer.data();
        stream.avail_out = static_cast<uInt>(buffer.size());
        result = inflate(&stream, Z_NO_FLUSH);
        out.append(reinterpret_cast<char*>(buffer.data()), buffer.size() - stream.avail_out);
        if (result == Z_BUF_ERROR && stream.avail_in == 0) break;  // a cut stream: what arrived
    }
    inflateEnd(&stream);
    return out;
}

std::string Gzip(const std::string& bytes) {
    z_stream stream{};
    if (deflateInit2(&stream, 6, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflate");
    std::string out(deflateBound(&stream, bytes.size()) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate finish");
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

namespace {

struct ReaderHarness {
    PaxgzReader* reader;
    const std::string* archive;
    const ReaderOptions* options;
    size_t fed = 0;
    std::vector<uint8_t> input;
    ReaderRun* run;
    ExtractionRoot root;
    bool needsInput = false;
    bool done = false;
};

std::string JoinComponents(const PaxgzReadEntry& entry) {
    std::string path;
    char name[1024];
    for (uint32_t i = 0; i < entry.componentCount; ++i) {
        uint32_t length = 0;
        int error = 0;
        if (!ComponentToUtf8(entry.components[i], entry.utf16, name, sizeof(name), length, error)) {
            name[0] = '?';
            length = 1;
        }
        if (i > 0) path += '/';
        path.append(name, length);
    }
    return path;
}

bool Create(void* context, const PaxgzReadEntry& entry, platform::FileHandle& file, int32_t& error) {
    auto* harness = static_cast<ReaderHarness*>(context);
    ReadEntryRecord record{JoinComponents(entry), entry.kind, entry.size, entry.modifiedSeconds,
                           entry.modifiedNanoseconds, entry.uid, entry.gid, ""};
    if (entry.linkTarget != nullptr) {
        record.linkTarget.assign(reinterpret_cast<const char*>(entry.linkTarget), entry.linkTargetLength);
    }
    harness->run->entries.push_back(record);
    if (harness->options->createOnly) {
        file = platform::kNoFile;
        if (entry.kind == PaxgzEntryKind::kRegularFile && entry.size > 0) {
            int openError = 0;
            if (!platform::CreateForWriting(kNullDevice, file, openError)) {
                error = openError;
                return false;
            }
        }
        return true;
    }
    return CreateEntryBeneath(harness->root, entry, file, error);
}

void NeedInput(void* context) { static_cast<ReaderHarness*>(context)->needsInput = true; }

void Progress(void* context, uint32_t bytes) { static_cast<ReaderHarness*>(context)->run->progress += bytes; }

void Failed(void* context) { static_cast<ReaderHarness*>(context)->done = true; }

void Finished(void* context, uint32_t after) {
    auto* harness = static_cast<ReaderHarness*>(context);
    harness->run->finished = true;
    harness->run->afterTrailer = after;
    harness->done = true;
}

bool AcceptEncoding(void* context, const uint8_t*, uint32_t) {
    return !static_cast<ReaderHarness*>(context)->options->refuseEncodings;
}

// Feeds the next piece; false when nothing is left to feed.
bool Feed(ReaderHarness& harness) {
    const size_t left = harness.archive->size() - harness.fed;
    const size_t count = std::min<size_t>(left, harness.options->pieceSize);
    std::memcpy(harness.input.data(), harness.archive->data() + harness.fed, count);
    harness.fed += count;
    const bool last = harness.options->markLast && harness.fed == harness.archive->size();
    harness.needsInput = false;
    return harness.reader->Process(static_cast<uint32_t>(count), last);
}

// Loop mode: each event-loop turn of this object feeds one piece when asked.
struct LoopFeeder {
    IoObject io;
    ReaderHarness* harness;
    PaxgzReaderConfig config;
};

void FeederTurn(IoObject* object) {
    auto* feeder = static_cast<LoopFeeder*>(object->owner);
    ReaderHarness& harness = *feeder->harness;
    const bool stop = harness.reader->HasFailed() || harness.done ||
                      (harness.needsInput && (harness.fed == harness.archive->size() || !Feed(harness)));
    if (stop) {
        EventLoop::Unregister(object);
        return;
    }
    // Yield: file writes that are ready go first.
    int32_t error = 0;
    EventLoop::Start(object, &error);
}

void FeederFailed(IoObject* object, int32_t) { EventLoop::Unregister(object); }

void FeederStart(IoObject* object) {
    auto* feeder = static_cast<LoopFeeder*>(object->owner);
    feeder->config.loop = object->loop;
    if (!feeder->harness->reader->Start(feeder->config) || !Feed(*feeder->harness)) {
        EventLoop::Unregister(object);
        return;
    }
    object->completionCallback = &FeederTurn;
    int32_t error = 0;
    EventLoop::Start(object, &error);
}

}  // namespace

ReaderRun RunReader(const std::string& archive, const std::string& rootPath, const ReaderOptions& options) {
    ReaderRun run;
    auto reader = std::make_unique<PaxgzReader>();
    auto harness = std::make_unique<ReaderHarness>();
    harness->reader = reader.get();
    harness->archive = &archive;
    harness->options = &options;
    harness->input.resize(std::max<uint32_t>(options.pieceSize, 1));
    harness->run = &run;
    std::vector<uint8_t> output(options.outputSize);
    int error = 0;
    if (!options.createOnly && !harness->root.Open(rootPath.c_str(), error)) {
        throw std::runtime_error("cannot open extraction root " + rootPath);
    }
    PaxgzReaderConfig config;
    config.context = harness.get();
    config.input = harness->input.data();
    config.inputSize = static_cast<uint32_t>(harness->input.size());
    config.output = output.data();
    config.outputSize = options.outputSize;
    config.create = &Create;
    config.needInput = &NeedInput;
    config.progress = &Progress;
    config.failed = &Failed;
    config.finished = &Finished;
    config.acceptEncoding = &AcceptEncoding;
    config.headerRecordLimit = options.headerRecordLimit;

    if (options.useLoop) {
        LoopFeeder feeder{};
        feeder.harness = harness.get();
        feeder.config = config;
        feeder.io.flags = kIoKindNoHandle;
        feeder.io.owner = &feeder;
        feeder.io.completionCallback = &FeederStart;
        feeder.io.failureCallback = &FeederFailed;
        EventLoop loop;
        IoObject* initial[] = {&feeder.io, nullptr};
        int32_t loopError = 0;
        if (!loop.Run(initial, &loopError)) throw std::runtime_error("event loop failed");
    } else if (reader->Start(config)) {
        bool ok = Feed(*harness);
        while (ok && !harness->done && harness->needsInput && harness->fed < archive.size()) ok = Feed(*harness);
        // An unmarked end: the reader keeps waiting for input that never comes.
    }
    run.ok = !reader->HasFailed();
    run.kind = reader->ErrorKind();
    run.detail = reader->ErrorDetail();
    run.code = reader->ErrorCode();
    run.utf16 = reader->Utf16Names();
    if (reader->HasFailed()) {
        run.chain0 = reader->Describe(0) ? reader->Describe(0) : "";
        run.chain1 = reader->Describe(1) ? reader->Describe(1) : "";
    }
    reader->Close();
    return run;
}

std::string PadToBlock(const std::string& bytes) {
    std::string out = bytes;
    out.resize((bytes.size() + 511) / 512 * 512, '\0');
    return out;
}

std::string ZeroBlocks(uint32_t count) { return std::string(512 * count, '\0'); }

namespace {

void PutOctal(std::string& block, size_t offset, size_t digits, uint64_t value) {
    for (size_t i = digits; i > 0; --i) {
        block[offset + i - 1] = static_cast<char>('0' + (value & 7));
        value >>= 3;
    }
}

}  // namespace

void FixChecksum(std::string& block) {
    std::memset(&block[148], ' ', 8);
    uint32_t sum = 0;
    for (unsigned char byte : block.substr(0, 512)) sum += byte;
    PutOctal(block, 148, 6, sum & 0x1FFFF);
    block[154] = '\0';
    block[155] = ' ';
}

std::string TarHeader(const std::string& name, char typeflag, uint64_t size, const std::string& prefix,
                      const std::string& linkname) {
    std::string block(512, '\0');
    block.replace(0, std::min<size_t>(name.size(), 100), name.substr(0, 100));
    block.replace(100, 7, "0000644");
    block.replace(108, 7, "0001750");
    block.replace(116, 7, "0001750");
    PutOctal(block, 124, 11, size);
    block.replace(136, 11, "14540305400");
    block[156] = typeflag;
    block.replace(157, std::min<size_t>(linkname.size(), 100), linkname.substr(0, 100));
    block.replace(257, 6, std::string("ustar\0", 6));
    block.replace(263, 2, "00");
    block.replace(345, std::min<size_t>(prefix.size(), 155), prefix.substr(0, 155));
    FixChecksum(block);
    return block;
}

std::string PaxRecord(const std::string& keyword, const std::string& value) {
    const size_t content = keyword.size() + value.size() + 3;
    size_t length = content + std::to_string(content).size();
    if (std::to_string(length).size() > std::to_string(content).size()) ++length;
    return std::to_string(length) + " " + keyword + "=" + value + "\n";
}

std::string PaxHeader(char typeflag, const std::string& records) {
    return TarHeader(typeflag == 'g' ? "global.hdr" : "extended.0.hdr", typeflag, records.size()) +
           PadToBlock(records);
}

namespace {

void ReadTreeBelow(const std::string& root, const std::string& relative, std::map<std::string, std::string>& tree) {
    const std::string directory = relative.empty() ? root : root + kNativeSeparator + NativePath(relative);
    for (const DirectoryEntry& child : ListDirectory(directory)) {
        const std::string name = relative.empty() ? child.name : relative + "/" + child.name;
        const std::string path = directory + kNativeSeparator + child.name;
        if (child.link) {
            tree[name + "@"] = TextOf(fs::read_symlink(PathOf(path)));
        } else if (child.directory) {
            tree[name + "/"] = "";
            ReadTreeBelow(root, name, tree);
        } else {
            tree[name] = ReadFile(path);
        }
    }
}

}  // namespace

std::map<std::string, std::string> ReadTree(const std::string& root) {
    std::map<std::string, std::string> tree;
    ReadTreeBelow(root, "", tree);
    return tree;
}

void BuildStressTree(const std::string& root) {
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
    std::filesystem::create_directories(PathOf(root + "/empty-directory"));
    SetModificationTime(root + "/one", 1'600'000'000, 250'000'000);
}

std::string TreeDifference(const std::map<std::string, std::string>& actual,
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

std::string Utf16(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        uint32_t code = byte;
        size_t extra = 0;
        if (byte >= 0xE0) {
            code = byte & 0x0F;
            extra = 2;
        } else if (byte >= 0xC0) {
            code = byte & 0x1F;
            extra = 1;
        }
        for (size_t k = 1; k <= extra; ++k) code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += extra + 1;
        out += static_cast<char>(code & 0xFF);
        out += static_cast<char>(code >> 8);
    }
    return out;
}

std::string RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string out(count, '\0');
    for (auto& byte : out) byte = static_cast<char>(generator() & 0xFF);
    return out;
}

}  // namespace kestrel::test
