// Renders what the connection log reader delivers as one line per record,
// so that tests compare whole logs at once. Times are checked for being set
// and left out of the text.
#pragma once

#include <string>
#include <vector>

#include "logs/connection_log_reader.h"

namespace kestrel::test {

struct LogTranscript {
    std::vector<std::string> lines;
    bool timesSet = true;
    bool utf16 = false;
    std::string poll;  // the Poll record being assembled

    std::string Text(const LogText& text) const {
        std::string out;
        if (!utf16) return std::string(reinterpret_cast<const char*>(text.bytes), text.length);
        // ASCII only in these tests; anything else shows as '?'.
        for (uint32_t i = 0; i + 1 < text.length; i += 2) {
            const unsigned unit = text.bytes[i] | text.bytes[i + 1] << 8;
            out += unit < 0x80 ? static_cast<char>(unit) : '?';
        }
        return out;
    }
    static std::string Bytes(const LogText& text) { return std::string(reinterpret_cast<const char*>(text.bytes), text.length); }
    void Time(int64_t time) { timesSet = timesSet && time > 0; }
    static std::string N(uint64_t value) { return std::to_string(value); }

    ConnectionLogHandlers Handlers();
};

inline ConnectionLogHandlers LogTranscript::Handlers() {
    ConnectionLogHandlers h;
    h.context = this;
    h.header = [](void* c, const LogHeaderRecord& r) {
        auto& t = *static_cast<LogTranscript*>(c);
        t.lines.push_back("header " + Bytes(r.machineName) + " " + N(r.pathId));
        return LogAction::Continue;
    };
    h.startJob = [](void* c, const LogStartJobRecord& r) {
        auto& t = *static_cast<LogTranscript*>(c);
        t.Time(r.time);
        t.lines.push_back("startjob " + N(r.jobId) + " c" + N(r.concurrency) + " s" + N(r.status) + " e" + N(r.errorCode) +
                          " " + Bytes(r.machineName) + " " + N(r.pathId) + " " + Bytes(r.jobName));
        return LogAction::Continue;
    };
    h.environment = [](void* c, const LogEnvironmentRecord& r) {
        auto& t = *static_cast<LogTranscript*>(c);
        t.lines.push_back("env" + N(r.type) + " " + N(r.jobId) + " " + t.Text(r.name) + "=" + t.Text(r.value) + " s" + N(r.status));
        return LogAction::Continue;
    };
    h.endJob = [](void* c, const LogEndJobRecord& r) {
        auto& t = *static_cast<LogTranscript*>(c);
        t.Time(r.time);
        t.lines.push_back("endjob " + N(r.jobId) + " s" + N(r.status) + " state" + N(r.jobState));
        return LogAction::Continue;
    };
    h.jobStatus = [](void* c, const LogJobStatusRecord& r) {
        auto& t = *static_cast<LogTranscript*>(c);
        std::string line = "type" + N(r.type) + " " + N(r.jobId) + " s" + N(r.status);
        if (r.type == 8) line += " env=" + Bytes(r.environment);
        if (r.hasErrorCode) line += " e" + N(r.errorCode);
        if (r.text.bytes) line += " '" + Bytes(r.text) + "'";
        t.lines.push_back(line);
        return LogAction::Continue;
    };
    h.addOutput = [](void* c, const LogAddOutputRecord& r) {
        auto& t = *static_cast<LogTranscript*>(c);
        std::string line = "addoutput " + N(r.jobId);
        for (uint32_t i = 0; i < r.pathCount; ++i) line += " " + t.Text(r.paths[i]);
        line += r.failedOutputList ? " (failed list)" : "";
        line += " s" + N(r.status);
        if (r.status == 8) line += " e" + N(r.errorCode);
        if (r.status >= 6) line += " '" + Bytes(r.text) + "'";
        t.lines.push_back(line);
        return LogAction::Continue;
    };
    h.execute = [](void* c, const LogExecuteRecord& r) {
        auto& t = *static_cast<LogTranscript*>(c);
        std::string line = "execute " + N(r.jobId) + " bitmap" + N(r.bitmapBytes) + " dir=" + t.Text(r.directory) +
                           " exe=" + t.Text(r.executable);
        if (r.IsEnvironmentArgument(0)) line += "(env)";
        for (uint32_t i = 0; i < r.parameterCount; ++i)
            line += " " + t.Text(r.parameters[i]) + (r.IsEnvironmentArgument(i + 1) ? "(env)" : "");
        line += " s" + N(r.status);
        if (r.status == 6) line += " e" + N(r.errorCode) + " '" + Bytes(r.text) + "'";
        t.lines.push_back(line);
        return LogAction::Continue;
    };
    h.version = [](void* c, const LogVersionRecord& r) {
        auto& t = *static_cast<LogTranscript*>(c);
        t.lines.push_back("version " + N(r.major) + "." + N(r.minor) + "." + N(r.build) + "." + N(r.patch));
        return LogAction::Continue;
    };
    h.hop = [](void* c, const LogHopRecord& r) {
        auto& t = *static_cast<LogTranscript*>(c);
        std::string line = "hop " + Bytes(r.url) + " kind" + N(r.kind);
        if (r.kind == 0 || r.kind == 5) line += " address" + N(r.address.length);
        if (r.kind >= 1 && r.kind <= 4) t.Time(r.time);
        if (r.kind == 4) line += " e" + N(r.errorCode) + " '" + Bytes(r.text) + "'";
        if (r.kind == 5) line += " ssh='" + Bytes(r.sshCommandLine) + "'";
        t.lines.push_back(line);
        return LogAction::Continue;
    };
    h.pollEvent = [](void* c, const LogPollEvent& e) {
        auto& t = *static_cast<LogTranscript*>(c);
        t.poll += " [" + N(e.code);
        if (e.code <= 11 || e.code == 13 || e.code == 14) t.poll += " j" + N(e.jobId) + " t" + N(e.elapsed);
        if (e.code >= 4 && e.code <= 11) t.poll += " v" + N(e.value);
        if (e.code <= 3 || (e.code >= 9 && e.code <= 11)) t.poll += " '" + Bytes(e.data) + "'";
        if (e.code >= 16) t.poll += " n" + N(e.capacity);
        t.poll += "]";
        return LogAction::Continue;
    };
    h.pollEnd = [](void* c) {
        auto& t = *static_cast<LogTranscript*>(c);
        t.lines.push_back("poll" + t.poll);
        t.poll.clear();
        return LogAction::Continue;
    };
    h.connectionError = [](void* c, const LogConnectionErrorRecord& r) {
        auto& t = *static_cast<LogTranscript*>(c);
        t.Time(r.time);
        t.lines.push_back(std::string(r.kind == 0xFF ? "connection error " : "protocol error ") + N(r.errorCode) + " '" +
                          Bytes(r.message) + "'");
        return LogAction::Continue;
    };
    h.jobError = [](void* c, const LogJobErrorRecord& r) {
        auto& t = *static_cast<LogTranscript*>(c);
        t.Time(r.time);
        std::string line = "joberror " + N(r.kind) + " job" + N(r.job.jobId);
        if (r.job.jobId == 0xFF) line += "(" + Bytes(r.job.name) + ")";
        line += " e" + N(r.errorCode);
        if (r.kind == 0xFC || r.kind == 0xFB || r.kind == 0xFA) line += " '" + Bytes(r.message) + "'";
        if (r.kind == 0xFB) line += " subject='" + Bytes(r.subject) + "'";
        for (uint32_t i = 0; i < r.chainCount; ++i) line += " <" + Bytes(r.chain[i]) + ">";
        if (r.kind == 0xFA || r.kind == 0xF9) line += " path='" + Bytes(r.path) + "'";
        t.lines.push_back(line);
        return LogAction::Continue;
    };
    return h;
}

}  // namespace kestrel::test
