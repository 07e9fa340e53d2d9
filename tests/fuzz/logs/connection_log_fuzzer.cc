// Arbitrary files given to the connection log reader, in either encoding:
// it must end normally, as corrupt, or on a handler's word, and hand out
// only bytes it has read.
#include <cstdint>
#include <cstdio>

#include "logs/connection_log_reader.h"

namespace kestrel {
namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

volatile uint32_t sink;

void Touch(const LogText& text) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < text.length; ++i) sum += text.bytes[i];
    sink = sink + sum;
}

template <typename Record>
LogAction Fine(void*, const Record&) {
    return LogAction::Continue;
}

ConnectionLogHandlers Handlers() {
    ConnectionLogHandlers h;
    h.header = [](void*, const LogHeaderRecord& r) { Touch(r.machineName); return LogAction::Continue; };
    h.startJob = [](void*, const LogStartJobRecord& r) {
        Require(r.status <= 8);
        Touch(r.machineName);
        Touch(r.jobName);
        return LogAction::Continue;
    };
    h.environment = [](void*, const LogEnvironmentRecord& r) { Touch(r.name); Touch(r.value); return LogAction::Continue; };
    h.endJob = Fine<LogEndJobRecord>;
    h.jobStatus = [](void*, const LogJobStatusRecord& r) { Touch(r.environment); Touch(r.text); return LogAction::Continue; };
    h.addOutput = [](void*, const LogAddOutputRecord& r) {
        Require(r.status <= 8);
        for (uint32_t i = 0; i < r.pathCount; ++i) Touch(r.paths[i]);
        Touch(r.text);
        return LogAction::Continue;
    };
    h.execute = [](void*, const LogExecuteRecord& r) {
        Require(r.status <= 9);
        Touch(r.directory);
        Touch(r.executable);
        for (uint32_t i = 0; i < r.parameterCount; ++i) {
            Require(r.parameters[i].length > 0);
            Touch(r.parameters[i]);
            sink = sink + r.IsEnvironmentArgument(i + 1);
        }
        Touch(r.text);
        return LogAction::Continue;
    };
    h.version = Fine<LogVersionRecord>;
    h.hop = [](void*, const LogHopRecord& r) {
        Require(r.kind <= 5 && r.address.length <= 128);
        Touch(r.url);
        Touch(r.address);
        Touch(r.text);
        Touch(r.sshCommandLine);
        return LogAction::Continue;
    };
    h.pollEvent = [](void*, const LogPollEvent& e) {
        Require(e.code <= 17 && e.code != 15);
        Touch(e.data);
        // A handler may find an event's job unknown.
        return e.jobId == 0xEE ? LogAction::Corrupt : LogAction::Continue;
    };
    h.connectionError = [](void*, const LogConnectionErrorRecord& r) { Touch(r.message); return LogAction::Continue; };
    h.jobError = [](void*, const LogJobErrorRecord& r) {
        Touch(r.job.name);
        Touch(r.message);
        Touch(r.subject);
        Touch(r.path);
        for (uint32_t i = 0; i < r.chainCount; ++i) Touch(r.chain[i]);
        return LogAction::Continue;
    };
    return h;
}

}  // namespace
}  // namespace kestrel

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    if (size < 2) return 0;
    std::FILE* stream = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "rb");
    if (stream == nullptr) return 0;
    ConnectionLogReader reader;
    reader.Attach(stream, (data[0] & 1) != 0);
    const LogReadResult result = reader.Read(Handlers());
    Require(result == LogReadResult::Done || result == LogReadResult::Corrupt);
    Require((result == LogReadResult::Corrupt) == reader.corrupt);
    reader.Close();
    std::fclose(stream);
    return 0;
}
