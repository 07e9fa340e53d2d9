// Job records and their temporary files: the job table, the open-file
// budget kept by closing the least recently used records' files, and the
// command files that join the job log when the command is closed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "logs/build_log_records.h"
#include "logs/job_key.h"
#include "platform/clock.h"
#include "runtime/messages.h"
#include "runtime/temp_files.h"
#include "runtime/utf8.h"
#include "runtime/growing_array.h"

namespace kestrel {

namespace {

constexpr uint32_t kFirstRecordCapacity = 10;
constexpr uint32_t kDescriptionUnits = kTempLogDescriptionUnits - 1;

uint32_t FilesOf(const JobRecord& job) {
    return (job.jobLog.file() != nullptr ? 1u : 0u) + (job.stdoutSpool.file() != nullptr ? 1u : 0u) +
           (job.stderrSpool.file() != nullptr ? 1u : 0u);
}

void Unlink(BuildLogConnection& c, JobRecord& job) {
    if (!job.inRecent) return;
    (job.recentPrevious ? job.recentPrevious->recentNext : c.recentHead) = job.recentNext;
    (job.recentNext ? job.recentNext->recentPrevious : c.recentTail) = job.recentPrevious;
    job.recentPrevious = job.recentNext = nullptr;
    job.inRecent = false;
}

void PushFront(BuildLogConnection& c, JobRecord& job) {
    job.recentPrevious = nullptr;
    job.recentNext = c.recentHead;
    (c.recentHead ? c.recentHead->recentPrevious : c.recentTail) = &job;
    c.recentHead = &job;
    job.inRecent = true;
}

// A released spool's file no longer counts against the connection's limit.
void ReleaseSpool(BuildLogConnection& c, JobRecord& job, LogSpool& spool) {
    if (job.filesOpen && spool.file() != nullptr) c.openFiles -= 1;
    spool.Release();
}

bool Reopen(TempLog* file, int& error) { return file == nullptr || TempFileTable::Reopen(file, error); }

void CloseFile(TempLog* file) {
    if (file != nullptr) TempFileTable::Close(file);
}

// The job name as a temporary file's description: valid UTF-8 of at most
// 255 UTF-16 units, so that a long or broken name cannot stop the log.
void MakeDescription(const OwnedText& name, char* out) {
    uint32_t units = 0;
    uint32_t written = 0;
    for (uint32_t at = 0; at < name.length;) {
        uint32_t code = 0xFFFD;
        uint32_t subpart = 1;
        const uint32_t taken = DecodeUtf8(reinterpret_cast<const uint8_t*>(name.bytes) + at, name.length - at, code, &subpart);
        const uint32_t need = code >= 0x10000 ? 2 : 1;
        if (units + need > kDescriptionUnits) break;
        written += EncodeUtf8(taken ? code : 0xFFFD, reinterpret_cast<uint8_t*>(out) + written);
        units += need;
        at += taken ? taken : subpart;
    }
    out[written] = '\0';
}

}  // namespace

TempLog* CreateJobFile(const JobRecord& job, const char* kind) {
    char description[kDescriptionUnits * 3 + 1];
    MakeDescription(job.jobName, description);
    TempLog* file = ProcessTempFiles().Create(description, kind);
    if (file == nullptr) PostMessageText(kInsufficientMemoryForClient);
    return file;
}

bool OwnedText::Set(const uint8_t* text, uint32_t count) {
    char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(count) + 1));
    if (copy == nullptr) return false;
    if (count > 0) std::memcpy(copy, text, count);
    copy[count] = '\0';
    Clear();
    bytes = copy;
    length = count;
    return true;
}

bool OwnedText::Set(const char* text) {
    return Set(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)));
}

void OwnedText::Clear() {
    std::free(bytes);
    bytes = nullptr;
    length = 0;
}

LogAction StopWithWriteFailure() {
    PostMessageText(kBuildLogWriteFailed);
    return LogAction::Stop;
}

LogAction StopWithMemoryFailure() {
    PostMessageText(kInsufficientMemoryForClient);
    return LogAction::Stop;
}

int32_t ErrorTimeBias(const BuildLogSettings& settings) {
    return settings.fixedErrorBias ? settings.errorBias : platform::TimeZoneBiasMinutes();
}

JobRecord* FindJob(BuildLogConnection& c, uint8_t jobId) {
    char key[3];
    MakeJobKey(jobId, key);
    return static_cast<JobRecord*>(c.jobs.Find(key));
}

JobRecord* NewJobRecord(BuildLogConnection& c, uint8_t jobId) {
    if (!RoomForOneMore(c.records, c.recordCount, c.recordCapacity, kFirstRecordCapacity)) return nullptr;
    auto* job = new (std::nothrow) JobRecord{};
    if (job == nullptr) return nullptr;
    job->jobId = jobId;
    MakeJobKey(jobId, job->key);
    job->out.name = "out";
    job->err.name = "err";
    // The key may still lead to an earlier job of the same ID, which stays
    // as it is; only the table entry moves to the new record.
    c.jobs.Remove(job->key);
    if (!c.jobs.Insert(job->key, job, nullptr)) {
        delete job;
        return nullptr;
    }
    c.records[c.recordCount++] = job;
    return job;
}

void CloseJobFiles(BuildLogConnection& c, JobRecord& job) {
    if (job.filesOpen) {
        CloseFile(job.jobLog.file());
        CloseFile(job.stdoutSpool.file());
        CloseFile(job.stderrSpool.file());
        c.openFiles -= FilesOf(job);
        job.filesOpen = false;
    }
    Unlink(c, job);
}

void MakeRoom(BuildLogConnection& c, const JobRecord* keep, uint32_t opening) {
    while (c.openFiles + opening > c.openLimit && c.recentTail != nullptr && c.recentTail != keep)
        CloseJobFiles(c, *c.recentTail);
}

bool UseJob(BuildLogConnection& c, JobRecord& job) {
    Unlink(c, job);
    PushFront(c, job);
    if (!job.filesOpen) {
        MakeRoom(c, &job, FilesOf(job));
        int error = 0;
        if (!Reopen(job.jobLog.file(), error) || !Reopen(job.stdoutSpool.file(), error) ||
            !Reopen(job.stderrSpool.file(), error)) {
            CloseFile(job.jobLog.file());
            CloseFile(job.stdoutSpool.file());
            CloseFile(job.stderrSpool.file());
            const int32_t code = error;
            PostMessageText(kTempFileReopenFailed, {{FormatI32, &code}});
            std::fflush(stderr);
            return false;
        }
        job.filesOpen = true;
        c.openFiles += FilesOf(job);
    }
    return true;
}

bool CreateCommandFiles(BuildLogConnection& c, JobRecord& job) {
    if (!job.stdoutSpool.Begin(c, job, "stdout")) return false;
    if (!job.stderrSpool.Begin(c, job, "stderr")) {
        ReleaseSpool(c, job, job.stdoutSpool);
        return false;
    }
    job.out.spool = &job.stdoutSpool;
    job.err.spool = &job.stderrSpool;
    job.commandOpen = true;
    return true;
}

LogAction CloseCommand(BuildLogConnection& c, JobRecord& job) {
    if (!job.commandOpen) return LogAction::Continue;
    XmlWriter log(job.jobLog);
    const bool copied = job.stdoutSpool.CopyInto(log) && job.stderrSpool.CopyInto(log);
    ReleaseSpool(c, job, job.stdoutSpool);
    ReleaseSpool(c, job, job.stderrSpool);
    job.commandOpen = false;
    ResetOutput(job.out);
    ResetOutput(job.err);
    job.out.spool = job.err.spool = nullptr;
    if (!copied || !log.Raw("    </kv:command>\n").ok()) return StopWithWriteFailure();
    return LogAction::Continue;
}

LogAction FinishJobs(BuildLogConnection& c) {
    for (uint32_t i = 0; i < c.recordCount; ++i) {
        JobRecord& job = *c.records[i];
        if (job.commandOpen) {
            if (!UseJob(c, job)) return LogAction::Stop;
            const LogAction closed = CloseCommand(c, job);
            if (closed != LogAction::Continue) return closed;
        }
        CloseJobFiles(c, job);
    }
    return LogAction::Continue;
}

bool CreateJobLog(BuildLogConnection& c, JobRecord& job) { return job.jobLog.Begin(c, job, "joblog"); }

void DestroyJobRecord(JobRecord* job) {
    job->jobLog.Release();
    job->stdoutSpool.Release();
    job->stderrSpool.Release();
    FreeOutput(job->out);
    FreeOutput(job->err);
    job->machineName.Clear();
    job->jobName.Clear();
    job->errorReason.Clear();
    job->errorPath.Clear();
    job->developmentEnvironment.Clear();
    delete job;
}

}  // namespace kestrel
