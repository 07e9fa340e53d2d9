#include "client/run_harness.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "client/direct_client.h"
#include "eventloop/event_loop.h"
#include "logs/build_log_writer.h"
#include "logs/connection_log_reader.h"
#include "prep/preparation.h"
#include "runtime/messages.h"
#include "runtime/path.h"
#include "runtime/temp_files.h"
#include "runtime/utf16.h"
#include "runtime/utf8.h"
#include "script/block_framework.h"
#include "script/script_paths.h"
#include "script/script_reader.h"

namespace kestrel::test {

namespace {

std::string Text(const LogText& text, bool utf16) {
    if (!utf16) return std::string(reinterpret_cast<const char*>(text.bytes), text.length);
    std::string out;
    const uint32_t units = text.length / 2;
    for (uint32_t at = 0; at < units;) {
        uint32_t code = 0xFFFD;
        uint32_t taken = DecodeUtf16Le(text.bytes + 2 * at, units - at, code);
        if (taken == 0) {
            code = 0xFFFD;
            taken = 1;
        }
        uint8_t bytes[4];
        out.append(reinterpret_cast<const char*>(bytes), EncodeUtf8(code, bytes));
        at += taken;
    }
    return out;
}

std::string Utf8(const LogText& text) { return Text(text, false); }

struct Decoder {
    HandedOverLog* log;
    bool utf16;
    void Add(std::string line) { log->records.push_back(std::move(line)); }
};

Decoder& Of(void* context) { return *static_cast<Decoder*>(context); }

const char* kJobStatusNames[] = {"", "", "", "", "", "", "", "StepStart", "SetDevelopmentEnvironment",
                                 "", "OutputReset", "OutputTransfer", "InputWrite"};
const char* kEnvironmentNames[] = {"", "PrefixEnvironment", "SuffixEnvironment", "ReplaceEnvironment"};

ConnectionLogHandlers Handlers(Decoder& decoder) {
    ConnectionLogHandlers h{};
    h.context = &decoder;
    h.header = [](void* c, const LogHeaderRecord& r) {
        Of(c).Add("machine " + Utf8(r.machineName) + " PathID " + std::to_string(r.pathId));
        return LogAction::Continue;
    };
    h.hop = [](void* c, const LogHopRecord& r) {
        std::string line = "hop " + Utf8(r.url) + " kind " + std::to_string(r.kind);
        if (r.kind == 0 || r.kind == 5) line += " address " + std::to_string(r.address.length);
        if (r.kind == 5) line += " ssh " + Utf8(r.sshCommandLine);
        if (r.kind == 4) line += " code " + std::to_string(r.errorCode) + " " + Utf8(r.text);
        Of(c).Add(line);
        return LogAction::Continue;
    };
    h.version = [](void* c, const LogVersionRecord& r) {
        Of(c).Add("version " + std::to_string(r.major) + "." + std::to_string(r.minor) + "." + std::to_string(r.build) +
                  "." + std::to_string(r.patch));
        return LogAction::Continue;
    };
    h.startJob = [](void* c, const LogStartJobRecord& r) {
        Of(c).Add("StartJob " + std::to_string(r.jobId) + " status " + std::to_string(r.status) + " job " +
                  Utf8(r.jobName));
        return LogAction::Continue;
    };
    h.environment = [](void* c, const LogEnvironmentRecord& r) {
        Decoder& d = Of(c);
        d.Add(std::string(kEnvironmentNames[r.type]) + " " + std::to_string(r.jobId) + " " + Text(r.name, d.utf16) +
              "=" + Text(r.value, d.utf16) + " status " + std::to_string(r.status));
        return LogAction::Continue;
    };
    h.endJob = [](void* c, const LogEndJobRecord& r) {
        Of(c).Add("EndJob " + std::to_string(r.jobId) + " status " + std::to_string(r.status) + " failed " +
                  ((r.jobState & 0x4000) != 0 ? "1" : "0"));
        return LogAction::Continue;
    };
    h.jobStatus = [](void* c, const LogJobStatusRecord& r) {
        std::string line = std::string(kJobStatusNames[r.type]) + " " + std::to_string(r.jobId);
        if (r.type == 8) line += " " + Utf8(r.environment);
        Of(c).Add(line + " status " + std::to_string(r.status));
        return LogAction::Continue;
    };
    h.execute = [](void* c, const LogExecuteRecord& r) {
        Decoder& d = Of(c);
        std::string line = "Execute " + std::to_string(r.jobId) + " " + Text(r.directory, d.utf16) + "|" +
                           Text(r.executable, d.utf16);
        for (uint32_t i = 0; i < r.parameterCount; ++i)
            line += (r.IsEnvironmentArgument(i + 1) ? "|$" : "|") + Text(r.parameters[i], d.utf16);
        d.Add(line + " status " + std::to_string(r.status));
        return LogAction::Continue;
    };
    h.addOutput = [](void* c, const LogAddOutputRecord& r) {
        Decoder& d = Of(c);
        std::string line = std::string(r.failedOutputList ? "AddFailedOutput " : "AddOutput ") + std::to_string(r.jobId);
        for (uint32_t i = 0; i < r.pathCount; ++i) line += " " + Text(r.paths[i], d.utf16);
        line += " status " + std::to_string(r.status);
        if (r.status >= 6) line += " '" + Utf8(r.text) + "'";
        d.Add(line);
        return LogAction::Continue;
    };
    h.pollEvent = [](void* c, const LogPollEvent& e) {
        if (e.code <= 3) {
            std::string& sink = e.code <= 1 ? Of(c).log->output[e.jobId] : Of(c).log->errors[e.jobId];
            sink.append(reinterpret_cast<const char*>(e.data.bytes), e.data.length);
        }
        return LogAction::Continue;
    };
    h.pollEnd = [](void* c) {
        Of(c).Add("Poll");
        return LogAction::Continue;
    };
    h.connectionError = [](void* c, const LogConnectionErrorRecord& r) {
        Of(c).Add(std::string(r.kind == 0xFF ? "connection error " : "protocol error ") +
                  std::to_string(r.errorCode) + " " + Utf8(r.message));
        return LogAction::Continue;
    };
    h.jobError = [](void* c, const LogJobErrorRecord& r) {
        std::string job = r.job.jobId == 0xFF ? Utf8(r.job.name) : std::to_string(r.job.jobId);
        std::string line = "job error " + std::to_string(r.kind) + " " + job + " " + std::to_string(r.errorCode) +
                           " " + Utf8(r.message);
        if (r.kind == 0xFB) line += " subject " + Utf8(r.subject);
        for (uint32_t i = 0; i < r.chainCount; ++i) line += " chain " + Utf8(r.chain[i]);
        if (r.kind == 0xFA || r.kind == 0xF9) line += " path " + Utf8(r.path);
        Of(c).Add(line);
        return LogAction::Continue;
    };
    return h;
}

HandedOverLog Decode(const HandedLog& handed) {
    HandedOverLog log;
    log.utf16 = handed.utf16;
    ConnectionLogReader reader;
    if (!reader.Open(handed.file->path, handed.utf16)) {
        log.readResult = reader.message != nullptr ? reader.message : "cannot open";
        return log;
    }
    Decoder decoder{&log, handed.utf16};
    switch (reader.Read(Handlers(decoder))) {
    case LogReadResult::Done: log.readResult = "done"; break;
    case LogReadResult::Corrupt: log.readResult = "corrupt"; break;
    default: log.readResult = reader.message != nullptr ? reader.message : "failed"; break;
    }
    return log;
}

bool ParseScript(ParserContext& context, const std::string& directory, const std::string& scriptName,
                 std::string& error) {
    Path base;
    if (!SplitNativePath(base, directory.data(), static_cast<uint32_t>(directory.size()))) {
        error = "cannot split the directory";
        return false;
    }
    auto reader = std::make_unique<ScriptReader>();
    bool parsed = reader->init(context) && reader->open(scriptName.c_str(), base) && reader->finish();
    if (!parsed) error = reader->errorText();
    reader->release();
    base.Release();
    return parsed;
}

// Aborts the run when it takes longer than it may (or on the test's request).
class Watchdog {
public:
    Watchdog(DirectClient& client, int milliseconds) : client_(client) {
        thread_ = std::thread([this, milliseconds] {
            std::unique_lock<std::mutex> hold(lock_);
            if (!done_.wait_for(hold, std::chrono::milliseconds(milliseconds), [this] { return finished_; })) {
                fired_ = true;
                Abort(client_);
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }
    bool fired() const { return fired_; }

private:
    DirectClient& client_;
    std::mutex lock_;
    std::condition_variable done_;
    bool finished_ = false;
    std::atomic<bool> fired_{false};
    std::thread thread_;
};

void WriteAndValidateBuildLog(BuildLogWriter& writer, const DirectClient& client, const std::string& directory,
                              RunResult& result) {
    const std::string path = directory + "/build_log.xml";
    std::FILE* out = std::fopen(path.c_str(), "w+b");
    if (out == nullptr) {
        result.schemaErrors = "cannot create " + path;
        return;
    }
    BuildLogSettings settings;
    settings.start = {client.startTime, client.startBias};
    const bool generated = writer.Generate(out, settings);
    std::fclose(out);
    result.buildLog = ReadFile(path);
    if (!generated || writer.corrupt()) {
        result.schemaErrors = "generation failed";
        return;
    }
    const ProcessResult lint =
        RunProcess({"/usr/bin/xmllint", "--noout", "--schema", SourceDir() + "/docs/build_log.xsd", path});
    if (lint.exitCode != 0) result.schemaErrors = lint.err.empty() ? "xmllint failed" : lint.err;
}

}  // namespace

std::vector<std::string> HandedOverLog::WithoutPolls() const {
    std::vector<std::string> kept;
    for (const std::string& record : records)
        if (record != "Poll") kept.push_back(record);
    return kept;
}

RunResult RunClientInProcess(const std::string& directory, const std::string& scriptName, const RunOptions& options) {
    RunResult result;
    SetDisplayMode(false);
    ParserContext context{};
    if (!context.init()) return result;
    std::string error;
    if (!ParseScript(context, directory, scriptName, error)) {
        result.startMessage = error;
        context.release();
        return result;
    }
    auto client = std::make_unique<DirectClient>();
    int32_t code = 0;
    if (!client->OpenPreparationPipe(code)) return result;
    ClientStartParameters parameters;
    parameters.jobName = options.job.empty() ? nullptr : options.job.c_str();
    parameters.context = &context;
    parameters.openFileBudget = 100;
    parameters.compareFileTimes = !options.rebuild;
    parameters.automated = true;
    result.started = client->Start(parameters, result.allOutputMade);
    context.release();
    if (!result.started || result.allOutputMade) {
        if (!result.started && client->message != nullptr) result.startMessage = client->message;
        client->Destroy();
        client->ClosePreparationPipe();
        return result;
    }
    PreparationThread::ReadServerList(client->preparation, code);
    PreparationThread::Start(client->preparation, code);
    {
        const int limit = options.abortAfterMilliseconds > 0 ? options.abortAfterMilliseconds
                                                             : options.watchdogSeconds * 1000;
        Watchdog watchdog(*client, limit);
        EventLoop loop;
        IoObject* initial[] = {&client->preparationPipe, nullptr};
        result.loopFailed = !loop.Run(initial, &code);
        result.abortedByWatchdog = watchdog.fired() && options.abortAfterMilliseconds == 0;
    }
    PreparationThread::ReleaseServerList(client->preparation);
    result.jobFailed = (client->resultFlags & kClientJobFailed) != 0;
    result.protocolFailureSeen = (client->stateFlags & kClientProtocolFailureSeen) != 0;
    BuildLogWriter writer(100);
    for (uint32_t i = 0; i < client->handedLogCount; ++i) {
        result.logs.push_back(Decode(client->handedLogs[i]));
        writer.AddConnection(client->handedLogs[i].file, client->handedLogs[i].utf16);
    }
    client->handedLogCount = 0;
    WriteAndValidateBuildLog(writer, *client, directory, result);
    writer.CleanUp();
    client->Destroy();
    return result;
}

}  // namespace kestrel::test
