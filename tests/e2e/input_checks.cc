#include "e2e/input_checks.h"

#include <zlib.h>

#include <cstdio>
#include <sstream>

#include "archive/archive_test_support.h"
#include "logs/connection_log_reader.h"

namespace kestrel::test {

namespace {

constexpr uint32_t kInputWrite = 12;
constexpr uint32_t kFullPiece = 65525;

std::string Text(const LogText& text) { return std::string(reinterpret_cast<const char*>(text.bytes), text.length); }

LogAction OnStatus(void* context, const LogJobStatusRecord& record) {
    static_cast<LoggedRun*>(context)->statuses.push_back(
        {record.type, record.jobId, record.status, record.errorCode, Text(record.text)});
    return LogAction::Continue;
}

LogAction OnJobError(void* context, const LogJobErrorRecord& record) {
    LoggedJobError error{record.kind, record.errorCode, Text(record.message), Text(record.subject), {}, Text(record.path)};
    for (uint32_t i = 0; i < record.chainCount; ++i) error.chain.push_back(Text(record.chain[i]));
    static_cast<LoggedRun*>(context)->jobErrors.push_back(error);
    return LogAction::Continue;
}

}  // namespace

std::vector<std::string> CheckingCommand(const std::string& resultDir) {
    const std::string r = ShellQuote(resultDir);
    return Shell("sha256sum -c manifest.sha256 > " + r + "/check.txt 2>&1; echo $? > " + r +
                 "/check.rc; find . -mindepth 1 -printf '%y %s %T@ %P\\n' > " + r + "/tree.txt; exit $(cat " + r +
                 "/check.rc)");
}

AgentTree ParseTree(const std::string& text) {
    AgentTree tree;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        AgentEntry entry;
        fields >> entry.type >> entry.size >> entry.time;
        std::string path;
        fields.get();
        std::getline(fields, path);
        tree[path] = entry;
    }
    return tree;
}

std::string FindTime(int64_t seconds, long nanoseconds) {
    char text[40];
    std::snprintf(text, sizeof text, "%lld.%09ld0", static_cast<long long>(seconds), nanoseconds);
    return text;
}

void WriteManifest(const std::string& directory, const std::vector<std::string>& files) {
    std::vector<std::string> argv{"/usr/bin/sha256sum", "--"};
    argv.insert(argv.end(), files.begin(), files.end());
    ProcessOptions options;
    options.workingDirectory = directory;
    const ProcessResult result = RunProcess(argv, options);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    WriteFile(directory + "/manifest.sha256", result.out);
}

std::string SentArchive(const WireRelay& relay, uint8_t jobId) {
    std::string archive;
    for (const WireMessage& piece : relay.Requests(kInputWrite))
        if (jobId == 0 || piece.jobId == jobId) archive += piece.payload.substr(2);
    return archive;
}

std::string Inflate(const std::string& gzip) {
    z_stream stream{};
    if (inflateInit2(&stream, 31) != Z_OK) return "";
    std::string out;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gzip.data()));
    stream.avail_in = static_cast<uInt>(gzip.size());
    char buffer[65536];
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        result = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - stream.avail_out);
    }
    const bool whole = result == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    return whole ? out : "";
}

std::vector<std::string> TarNames(const std::string& tar) {
    ProcessOptions options;
    options.input = tar;
    const ProcessResult result = RunProcess({"/usr/bin/tar", "--list", "--quoting-style=literal", "-f", "-"}, options);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::vector<std::string> names;
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line)) names.push_back(line);
    return names;
}

std::vector<uint32_t> PieceSizes(const WireRelay& relay, uint8_t jobId) {
    std::vector<uint32_t> sizes;
    for (const WireMessage& piece : relay.Requests(kInputWrite))
        if (jobId == 0 || piece.jobId == jobId) sizes.push_back(piece.payloadLength - 2);
    return sizes;
}

void ExpectPieceRule(const WireRelay& relay, uint8_t jobId) {
    const std::vector<uint32_t> sizes = PieceSizes(relay, jobId);
    ASSERT_FALSE(sizes.empty());
    for (size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(sizes[i], kFullPiece) << "piece " << i;
    EXPECT_GE(sizes.back(), 1u);
    EXPECT_LE(sizes.back(), kFullPiece);
}

LoggedRun LogsOfPanic(const std::string& directory, const std::string& scratch) {
    LoggedRun logged;
    if (!FileExists(directory + "/panic.bin")) return logged;
    RemoveTree(scratch);
    if (RunProcess({"/bin/mkdir", "-p", scratch}).exitCode != 0) return logged;
    const ReaderRun unpacked = RunReader(ReadFile(directory + "/panic.bin"), scratch);
    EXPECT_TRUE(unpacked.ok) << unpacked.chain0 << ": " << unpacked.chain1;
    ConnectionLogHandlers handlers{};
    handlers.context = &logged;
    handlers.jobStatus = OnStatus;
    handlers.jobError = OnJobError;
    for (const auto& [name, content] : ReadTree(scratch)) {
        // The run's only temporary files are its connection logs, in UTF-8 here.
        if (name.rfind("KVLOG.", 0) != 0) continue;
        ConnectionLogReader reader;
        if (!reader.Open((scratch + "/" + name).c_str(), false)) continue;
        logged.read = reader.Read(handlers) == LogReadResult::Done;
    }
    return logged;
}

}  // namespace kestrel::test
