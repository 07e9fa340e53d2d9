// Arbitrary connection logs, in either encoding, turned into build_log.xml
// with a budget of three open files: generation ends (as done, corrupt or
// failed), the document so far holds only characters XML can carry, a
// finished one ends with its root's end tag, and clean-up leaves nothing.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "logs/build_log_text.h"
#include "logs/build_log_writer.h"
#include "runtime/temp_files.h"
#include "runtime/utf8.h"

namespace kestrel {
namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

std::string ReadAll(std::FILE* stream) {
    std::string text;
    std::rewind(stream);
    char chunk[4096];
    size_t count;
    while ((count = std::fread(chunk, 1, sizeof chunk, stream)) > 0) text.append(chunk, count);
    return text;
}

void RequireXmlCharacters(const std::string& document) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(document.data());
    for (size_t at = 0; at < document.size();) {
        uint32_t code = 0;
        const uint32_t taken = DecodeUtf8(bytes + at, static_cast<uint32_t>(document.size() - at), code);
        Require(taken > 0 && IsXmlCharacter(code));
        at += taken;
    }
}

}  // namespace
}  // namespace kestrel

// The writer posts why generation stopped; the fuzzer has no use for it.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    if (size < 2) return 0;
    TempLog* log = ProcessTempFiles().Create("fuzzed connection log", "connlog");
    if (log == nullptr) return 0;
    std::fwrite(data + 1, 1, size - 1, log->stream);
    BuildLogWriter writer(3);
    Require(writer.AddConnection(log, (data[0] & 1) != 0));
    std::FILE* out = std::tmpfile();
    if (out == nullptr) return 0;
    BuildLogSettings settings;
    settings.start = LocalTime{133'500'000'000'000'000, -60};
    settings.hostName = "fuzz";
    settings.now = settings.start.fileTime + 1;
    settings.fixedErrorBias = true;
    const bool generated = writer.Generate(out, settings);
    const std::string document = ReadAll(out);
    std::fclose(out);
    RequireXmlCharacters(document);
    const char kEnd[] = "</kv:BuildLog>\n";
    const bool ended = document.size() >= sizeof kEnd - 1 &&
                       document.compare(document.size() - (sizeof kEnd - 1), sizeof kEnd - 1, kEnd) == 0;
    Require(generated == ended);
    Require(!(generated && writer.corrupt()));
    writer.CleanUp();
    return 0;
}
