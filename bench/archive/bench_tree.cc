#include "bench_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "archive/paxgz_file.h"
#include "archive/paxgz_reader.h"
#include "archive/paxgz_writer.h"
#include "platform/files.h"

namespace kestrel::bench {

namespace fs = std::filesystem;

namespace {

constexpr const char* kWords[] = {
    "int",      "return",   "const",   "struct",  "if",     "else",    "for",     "while",   "static",
    "uint32_t", "void",     "bool",    "auto",    "std",    "string",  "vector",  "nullptr", "true",
    "false",    "template", "class",   "public",  "private", "namespace", "include", "size", "count",
    "buffer",   "length",   "offset",  "error",   "result", "value",   "entry",   "path",    "file",
    "=",        "==",       "+=",      "(",       ")",      "{",       "}",       ";",       "->",
    "0",        "1",        "512",     "65536",   "//",     "kestrel", "archive", "writer",  "reader",
};

void WriteText(const std::string& path, uint64_t size, std::mt19937& random) {
    std::string text;
    text.reserve(size + 64);
    uint32_t column = 0;
    char identifier[16];
    while (text.size() < size) {
        // About a third of the tokens are identifiers of their own, like names in real sources.
        const char* word = kWords[random() % (sizeof(kWords) / sizeof(kWords[0]))];
        if (random() % 3 == 0) {
            const uint32_t length = 3 + random() % 10;
            for (uint32_t i = 0; i < length; ++i) identifier[i] = static_cast<char>('a' + random() % 26);
            identifier[length] = '\0';
            word = identifier;
        }
        text += word;
        column += static_cast<uint32_t>(std::strlen(word)) + 1;
        if (column > 60 + random() % 30) {
            text += '\n';
            text.append(4 * (random() % 4), ' ');
            column = 0;
        } else {
            text += ' ';
        }
    }
    text.resize(size);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

struct Source {
    const std::string* root;
    const std::vector<TreeFile>* files;
    size_t next = 0;
};

bool NextEntry(void* context, PaxgzEntry& entry, platform::FileHandle& fd, bool& haveEntry, int32_t& error) {
    auto* source = static_cast<Source*>(context);
    fd = platform::kNoFile;
    if (source->next == source->files->size()) {
        haveEntry = false;
        return true;
    }
    const TreeFile& file = (*source->files)[source->next++];
    const std::string path = *source->root + "/" + file.directory + "/" + file.name;
    platform::FileFacts facts{};
    int code = 0;
    if (!platform::OpenForReading(path.c_str(), fd, facts, code)) {
        error = code;
        return false;
    }
    entry = PaxgzEntry{};
    entry.directory = reinterpret_cast<const uint8_t*>(file.directory.data());
    entry.directoryLength = static_cast<uint32_t>(file.directory.size());
    entry.name = reinterpret_cast<const uint8_t*>(file.name.data());
    entry.nameLength = static_cast<uint32_t>(file.name.size());
    entry.size = facts.size;
    entry.modifiedSeconds = facts.modifiedSeconds;
    entry.modifiedNanoseconds = facts.modifiedNanoseconds;
    entry.kind = PaxgzEntryKind::kRegularFile;
    haveEntry = true;
    return true;
}

struct Sink {
    int fd;
    uint64_t written = 0;
};

struct WriteContext {
    Source source;
    Sink sink;
};

bool Next(void* context, PaxgzEntry& entry, platform::FileHandle& fd, bool& haveEntry, int32_t& error) {
    return NextEntry(&static_cast<WriteContext*>(context)->source, entry, fd, haveEntry, error);
}

PaxgzWriteResult Write(void* context, const uint8_t* bytes, uint32_t count, int32_t& error) {
    auto* write = static_cast<WriteContext*>(context);
    uint32_t done = 0;
    while (done < count) {
        const ssize_t result = ::write(write->sink.fd, bytes + done, count - done);
        if (result <= 0) {
            error = errno;
            return PaxgzWriteResult::kFailed;
        }
        done += static_cast<uint32_t>(result);
    }
    write->sink.written += count;
    return PaxgzWriteResult::kCompleted;
}

}  // namespace

std::vector<TreeFile> GenerateTree(const std::string& root, uint32_t fileCount, uint64_t totalBytes) {
    std::mt19937 random(2024);
    std::vector<TreeFile> files;
    const uint64_t average = totalBytes / fileCount;
    for (uint32_t i = 0; i < fileCount; ++i) {
        TreeFile file;
        file.directory = "src/module" + std::to_string(i / 50) + "/part" + std::to_string(i / 10 % 5);
        file.name = "file" + std::to_string(i) + (i % 2 ? ".cc" : ".h");
        file.size = average / 2 + random() % average;
        fs::create_directories(root + "/" + file.directory);
        WriteText(root + "/" + file.directory + "/" + file.name, file.size, random);
        files.push_back(file);
    }
    return files;
}

std::vector<TreeFile> GenerateObjects(const std::string& root, uint32_t fileCount) {
    std::mt19937 random(2025);
    std::vector<TreeFile> files;
    for (uint32_t i = 0; i < fileCount; ++i) {
        TreeFile file{"obj/lib" + std::to_string(i / 20), "unit" + std::to_string(i) + ".o",
                      50 * 1024 + random() % (450 * 1024)};
        fs::create_directories(root + "/" + file.directory);
        std::string bytes;
        bytes.reserve(file.size + 4096);
        while (bytes.size() < file.size) {
            // Code: a skewed byte mix with repeated short sequences; then symbols.
            const uint32_t codeBytes = 1024 + random() % 4096;
            for (uint32_t b = 0; b < codeBytes; ++b) {
                const uint32_t pick = random();
                bytes += static_cast<char>(pick % 4 == 0 ? pick >> 24 : (pick >> 8) % 48);
            }
            const uint32_t symbols = 4 + random() % 16;
            for (uint32_t s = 0; s < symbols; ++s) {
                bytes += "_ZN7kestrel";
                bytes += std::to_string(random() % 500);
                bytes += "Writer";
                bytes += std::to_string(random() % 30);
                bytes += '\0';
            }
        }
        bytes.resize(file.size);
        const int fd = open((root + "/" + file.directory + "/" + file.name).c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const bool written = fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        if (fd >= 0) close(fd);
        if (!written) return {};
        files.push_back(file);
    }
    return files;
}

namespace {

PaxgzWriterConfig MakeWriterConfig(WriteContext& context, std::vector<uint8_t>& staging,
                                   std::vector<uint8_t>& output, const PaxgzParallelConfig& parallel) {
    PaxgzWriterConfig config;
    config.context = &context;
    config.nextEntry = &Next;
    config.write = &Write;
    config.staging = staging.data();
    config.stagingSize = static_cast<uint32_t>(staging.size());
    config.output = output.data();
    config.outputSize = static_cast<uint32_t>(output.size());
    config.encoding = "UTF-8";
    config.separator = reinterpret_cast<const uint8_t*>("/");
    config.separatorLength = 1;
    config.parallel = parallel;
    return config;
}

}  // namespace

uint64_t WriteArchive(const std::string& root, const std::vector<TreeFile>& files, int fd,
                      const PaxgzParallelConfig& parallel) {
    WriteContext context{{&root, &files}, {fd}};
    std::vector<uint8_t> staging(65536);
    std::vector<uint8_t> output(65525);
    auto writer = std::make_unique<PaxgzWriter>();
    const bool ok = writer->Start(MakeWriterConfig(context, staging, output, parallel)) && writer->Finished();
    writer->Close();
    return ok ? context.sink.written : 0;
}

uint64_t WriteArchiveWithLoop(const std::string& root, const std::vector<TreeFile>& files, int fd,
                              const PaxgzParallelConfig& parallel) {
    WriteContext context{{&root, &files}, {fd}};
    std::vector<uint8_t> staging(65536);
    std::vector<uint8_t> output(65525);
    auto writer = std::make_unique<PaxgzWriter>();
    PaxgzFileRunResult result;
    const platform::FileHandle copy{dup(fd)};
    const bool ok = WritePaxgzToFile(*writer, MakeWriterConfig(context, staging, output, parallel), copy, result);
    return ok ? 1 : 0;
}

namespace {

struct ReadContext {
    ExtractionRoot root;
    bool needsInput = false;
    bool done = false;
};

bool Create(void* context, const PaxgzReadEntry& entry, platform::FileHandle& fd, int32_t& error) {
    return CreateEntryBeneath(static_cast<ReadContext*>(context)->root, entry, fd, error);
}
void NeedInput(void* context) { static_cast<ReadContext*>(context)->needsInput = true; }
void Done(void* context) { static_cast<ReadContext*>(context)->done = true; }
void Finished(void* context, uint32_t) { static_cast<ReadContext*>(context)->done = true; }

}  // namespace

bool ReadArchive(const std::string& archive, const std::string& out) {
    ReadContext context;
    int error = 0;
    if (!context.root.Open(out.c_str(), error)) return false;
    const int fd = open(archive.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::vector<uint8_t> input(65536);
    std::vector<uint8_t> output(65536);
    auto reader = std::make_unique<PaxgzReader>();
    PaxgzReaderConfig config;
    config.context = &context;
    config.input = input.data();
    config.inputSize = static_cast<uint32_t>(input.size());
    config.output = output.data();
    config.outputSize = static_cast<uint32_t>(output.size());
    config.create = &Create;
    config.needInput = &NeedInput;
    config.failed = &Done;
    config.finished = &Finished;
    bool ok = reader->Start(config);
    context.needsInput = true;
    while (ok && !context.done && context.needsInput) {
        const ssize_t count = read(fd, input.data(), input.size());
        if (count < 0) {
            ok = false;
            break;
        }
        context.needsInput = false;
        ok = reader->Process(static_cast<uint32_t>(count), count == 0);
    }
    close(fd);
    ok = ok && reader->Finished();
    reader->Close();
    return ok;
}

std::string MakeTempDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kestrel-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
}

void RemoveTree(const std::string& path) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

int RunShell(const std::string& command) { return std::system(command.c_str()); }

}  // namespace kestrel::bench
