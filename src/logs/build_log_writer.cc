#include "logs/build_log_writer.h"

#include <cstdlib>
#include <new>

#include "logs/build_log_records.h"
#include "platform/clock.h"
#include "platform/host_name.h"
#include "runtime/messages.h"
#include "runtime/temp_files.h"
#include "runtime/utf8.h"

namespace kestrel {

namespace {

constexpr uint32_t kMinimumOpenFiles = 3;
// The computer-name query fills 128 UTF-16 units with its NUL, and the
// name is shown when it fits 128 bytes of UTF-8 with its NUL.
constexpr uint32_t kHostNameUnits = 127;
constexpr uint32_t kHostNameBytes = 127;

ConnectionLogHandlers MachineHandlers(BuildLogConnection& connection) {
    ConnectionLogHandlers h;
    h.context = &connection;
    h.header = OnHeader;
    h.hop = OnHop;
    h.version = OnVersion;
    h.connectionError = OnConnectionError;
    h.startJob = OnStartJob;
    h.environment = OnEnvironment;
    h.endJob = OnEndJob;
    h.jobStatus = OnJobStatus;
    h.addOutput = OnAddOutput;
    h.execute = OnExecute;
    h.jobError = OnJobError;
    h.pollEvent = OnPollEvent;
    return h;
}

void WriteRoot(BuildLogGeneration& g) {
    const BuildLogSettings& s = g.settings;
    char hostBuffer[256];
    const char* host = s.hostName != nullptr ? s.hostName : BuildHostName(hostBuffer, sizeof hostBuffer);
    const int64_t now = s.now != 0 ? s.now : platform::LocalFileTimeNow();
    const int64_t running = TimeSpan(now, s.start.fileTime);
    XmlWriter& w = g.document;
    w.Raw("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    w.Raw("<kv:BuildLog xmlns:kv=\"").Raw(kBuildLogNamespace).Raw("\" version=\"").Raw(kBuildLogVersion).Raw("\" ");
    w.Format("StartTime=\"{0}\" ", {{FormatTimestamp, &s.start}});
    w.Raw("BuildHost=\"").Escaped(host).Raw("\" ");
    w.Format("RunningTime=\"{0}\">\n", {{FormatDuration, &running}});
}

// Reads one connection log into its machine element and its jobs' records.
bool ReadConnection(BuildLogGeneration& g, BuildLogConnection& c, bool& corrupt) {
    c.generation = &g;
    ConnectionLogReader reader;
    if (!reader.Open(c.log->path, c.utf16)) {
        PostMessageText("{0}", {{FormatString, reader.message}});
        return false;
    }
    const LogReadResult result = reader.Read(MachineHandlers(c));
    reader.Close();
    switch (result) {
    case LogReadResult::Done:
        break;
    case LogReadResult::Corrupt:
        corrupt = true;
        PostMessageText(kConnectionLogCorrupt);
        std::fflush(stderr);
        return false;
    case LogReadResult::Stopped:
        return false;
    case LogReadResult::Failed:
        PostMessageText("{0}", {{FormatString, reader.message}});
        return false;
    }
    CloseOpenHop(c);
    if (!g.document.Raw("  </kv:machine>\n").ok()) {
        PostMessageText(kBuildLogWriteFailed);
        return false;
    }
    return FinishJobs(c) == LogAction::Continue;
}

// Takes the job with the earliest start time among the first jobs of every
// connection; on equal times the connection that ended first.
JobRecord* NextJobByStartTime(BuildLogConnection* const* connections, uint32_t count) {
    BuildLogConnection* earliest = nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        BuildLogConnection* c = connections[i];
        if (c->sortedHead != nullptr && (earliest == nullptr || c->sortedHead->startTime < earliest->sortedHead->startTime))
            earliest = c;
    }
    if (earliest == nullptr) return nullptr;
    JobRecord* job = earliest->sortedHead;
    earliest->sortedHead = job->sortedNext;
    if (earliest->sortedHead == nullptr) earliest->sortedTail = nullptr;
    return job;
}

}  // namespace

const char* BuildHostName(char* buffer, uint32_t room) {
    uint32_t length = 0;
    if (!platform::FullyQualifiedHostName(buffer, room, length)) return kHostNameQueryFailed;
    uint32_t units = 0;
    for (uint32_t at = 0; at < length;) {
        uint32_t code = 0;
        const uint32_t taken = DecodeUtf8(reinterpret_cast<const uint8_t*>(buffer) + at, length - at, code);
        if (taken == 0) return kHostNameNotConvertible;
        units += code >= 0x10000 ? 2 : 1;
        at += taken;
    }
    if (units > kHostNameUnits) return kHostNameQueryFailed;
    if (length > kHostNameBytes) return kHostNameNotConvertible;
    return buffer;
}

BuildLogWriter::BuildLogWriter(int32_t openFileBudget, size_t spoolMemory) : budget_(openFileBudget) {
    allowance_.perSpool = spoolMemory;
    allowance_.total = spoolMemory == 0 ? 0 : kSpoolMemoryTotal;
}

BuildLogWriter::~BuildLogWriter() { CleanUp(); }

bool BuildLogWriter::AddConnection(TempLog* log, bool utf16) {
    if (log == nullptr) return false;
    if (count_ == capacity_) {
        const uint32_t capacity = capacity_ ? capacity_ * 2 : 1;
        auto* grown = static_cast<BuildLogConnection**>(std::realloc(connections_, capacity * sizeof *connections_));
        if (grown == nullptr) return false;
        connections_ = grown;
        capacity_ = capacity;
    }
    auto* entry = new (std::nothrow) BuildLogConnection{};
    if (entry == nullptr) return false;
    if (!entry->jobs.Init()) {
        delete entry;
        return false;
    }
    TempFileTable::Close(log);
    entry->log = log;
    entry->utf16 = utf16;
    entry->allowance = &allowance_;
    connections_[count_++] = entry;
    return true;
}

bool BuildLogWriter::Generate(std::FILE* out, const BuildLogSettings& settings) {
    BuildLogGeneration g{XmlWriter(out), settings};
    WriteRoot(g);
    if (!g.document.ok()) {
        PostMessageText(kBuildLogWriteFailed);
        return false;
    }
    uint32_t limit = kMinimumOpenFiles;
    if (count_ > 0 && budget_ > 0 && static_cast<uint32_t>(budget_) / count_ > limit) limit = static_cast<uint32_t>(budget_) / count_;
    for (uint32_t i = 0; i < count_; ++i) {
        connections_[i]->openLimit = limit;
        if (!ReadConnection(g, *connections_[i], corrupt_)) return false;
    }
    while (JobRecord* job = NextJobByStartTime(connections_, count_))
        if (!WriteJobElement(g, *job)) return false;
    g.document.Raw("</kv:BuildLog>\n");
    if (!g.document.ok() || std::fflush(out) != 0) {
        PostMessageText(kBuildLogWriteFailed);
        return false;
    }
    return true;
}

void BuildLogWriter::CleanUp() {
    for (uint32_t i = 0; i < count_; ++i) {
        BuildLogConnection* c = connections_[i];
        for (uint32_t j = 0; j < c->recordCount; ++j) DestroyJobRecord(c->records[j]);
        std::free(c->records);
        c->jobs.Destroy();
        c->machineName.Clear();
        if (c->log != nullptr) TempFileTable::Delete(c->log);
        delete c;
    }
    std::free(connections_);
    connections_ = nullptr;
    count_ = capacity_ = 0;
}

}  // namespace kestrel
