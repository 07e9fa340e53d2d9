// The job records of a connection log: each updates its job's record and
// may add elements to the job's job log, from which the kv:job element is
// written at the end. StartJob refusals and failures of jobs that never
// started go straight into the machine element.
#include <cstdlib>

#include "logs/build_log_records.h"
#include "logs/connection_log.h"
#include "runtime/messages.h"
#include "runtime/temp_files.h"

namespace kestrel {

namespace {

constexpr uint32_t kMaxEndJobStatus = 2;

BuildLogConnection& Connection(void* context) { return *static_cast<BuildLogConnection*>(context); }

LogAction Written(XmlWriter& w) { return w.ok() ? LogAction::Continue : StopWithWriteFailure(); }

const char* const kStartJobReasons[] = {
    nullptr,
    "Cannot allocate a job for the connection",
    "Job ID already allocated for the connection",
    "Cannot allocate an environment block for the job",
    "Cannot get current time at job start",
    "Cannot create work area for the job",
    "Cannot open work area for the job",
    "Corrupt request allocating a job",
};

const char* const kEnvironmentElements[] = {nullptr, "PrefixEnvironment", "SuffixEnvironment", "ReplaceEnvironment"};

const char* const kExecuteMessages[] = {
    nullptr,
    "Invalid job ID specified while attempting to execute a process",
    "Cannot execute a process before a step has started",
    "Corrupt request when attempting to execute a process",
    "Insufficient memory when attempting to execute a process",
    "Process already running when attempting to execute a process",
    nullptr,  // the record's text
    "Executable specified by an environment variable that is not set",
    "An attempt to execute a process was made while a process setup is in progress",
    "An attempt to execute a process was made while an output transfer is in progress",
};

const char* const kStepStartReasons[] = {
    nullptr,
    "Cannot start the step on {0}, the job is invalid",
    "Cannot set file times while starting a step on {0}",
    "Cannot start a step or flush the input on {0}, error {1}",
    "Cannot start the step on {0}, insufficient memory",
    "Cannot start the step on {0}, the request was corrupt",
};

const char* const kInputWriteReasons[] = {
    nullptr,
    "Input transfer specified an invalid job to {0}",
    "Input transfer attempted to {0} after a step started",
    "Insufficient memory on {0} to complete the input transfer",
    "Cannot set file times while transferring input on {0}",
    "Cannot transfer input to {0}, error {1}",
};

const char* const kDevelopmentEnvironmentReasons[] = {
    nullptr,
    "The set development environment request specified an invalid job",
    "The development environment is not known by the server",
    "The set development environment request was corrupt",
    "The set development environment request happened at the wrong time",
    "Insufficient memory to set the development environment",
    "Development environments are not supported by the server",
};

struct OutputFailure {
    const char* reason;
    const char* element;  // null: the element carries the record's path or text
};

const OutputFailure kAddOutputFailures[] = {
    {nullptr, nullptr},
    {"Job specified in the add output request was invalid", "    <kv:OutputError error=\"invalid job\"/>\n"},
    {"An add output request was corrupt", "    <kv:OutputError error=\"invalid request format\"/>\n"},
    {"An add output request was made while the connection status was incorrect", "    <kv:OutputError error=\"invalid status\"/>\n"},
    {"Insufficient memory on the machine to add output", "    <kv:OutputError error=\"insufficient memory\"/>\n"},
    {"Output was added while output was being transferred", "    <kv:OutputError error=\"output in progress\"/>\n"},
    {"An output file was missing", nullptr},
    {"An output path was unacceptable to the machine", nullptr},
    {"An error occurred adding output", nullptr},
};

// These elements end without a newline.
const OutputFailure kOutputResetFailures[] = {
    {nullptr, nullptr},
    {"The job specified when resetting output was invalid", "    <kv:OutputResetError error=\"invalid job\"/>"},
    {"A reset output request was corrupt", "    <kv:OutputResetError error=\"invalid request format\"/>"},
    {"A reset output request was made while the connection status was incorrect", "    <kv:OutputResetError error=\"invalid status\"/>"},
    {"Output was reset while output was being transferred", "    <kv:OutputResetError error=\"output in request\"/>"},
};

const OutputFailure kOutputTransferFailures[] = {
    {nullptr, nullptr},
    {nullptr, nullptr},
    {"The job specified when transferring output was invalid", "    <kv:OutputDownloadError error=\"invalid job\"/>"},
    {"A request to transfer output was corrupt", "    <kv:OutputDownloadError error=\"invalid request format\"/>"},
    {"An output transfer request was made while the connection status was incorrect", "    <kv:OutputDownloadError error=\"invalid status\"/>"},
    {"An error occurred transferring output", nullptr},
};

// A job that records may write to: known, and started on the connection.
JobRecord* StartedJob(BuildLogConnection& c, uint8_t jobId) {
    JobRecord* job = FindJob(c, jobId);
    return job != nullptr && job->jobLog.begun() ? job : nullptr;
}

// Reopens the job's files if needed and closes its open command.
LogAction PrepareJobLog(BuildLogConnection& c, JobRecord& job, bool closeCommand) {
    if (!UseJob(c, job)) return LogAction::Stop;
    return closeCommand ? CloseCommand(c, job) : LogAction::Continue;
}

// Marks the job failed with a reason formatted from the machine name and
// the record's text.
bool Fail(JobRecord& job, uint32_t code, const char* format, LogText text = {}) {
    job.failed = true;
    job.errorCode = code;
    const CountedString counted{reinterpret_cast<const char*>(text.bytes), text.length};
    const char* machine = job.machineName.bytes ? job.machineName.bytes : "";
    const std::initializer_list<FormatArg> args = {{FormatString, machine}, {FormatCountedString, &counted}};
    const uint32_t size = FormatText(nullptr, 0, format, args);
    char* reason = static_cast<char*>(std::malloc(size));
    if (reason == nullptr) return false;
    FormatText(reason, size, format, args);
    const bool set = job.errorReason.Set(reinterpret_cast<const uint8_t*>(reason), size - 1);
    std::free(reason);
    return set;
}

// The chain strings after the first (the first is the ErrorReason), and
// the job's message of an input archive failure.
void ArchiveChainElements(XmlWriter& w, const LogJobErrorRecord& r) {
    const bool input = r.kind == kLogInputArchiveFailure;
    for (uint32_t i = 1; i < r.chainCount; ++i)
        w.Raw(input ? "    <kv:ClientInputError>" : "    <kv:ClientOutputError>")
            .Escaped(Xml(r.chain[i]))
            .Raw(input ? "</kv:ClientInputError>\n" : "</kv:ClientOutputError>\n");
    if (input) w.Raw("    <kv:ClientInputErrorMessage>").Escaped(Xml(r.message)).Raw("</kv:ClientInputErrorMessage>\n");
}

void InsertByStartTime(BuildLogConnection& c, JobRecord& job) {
    JobRecord* after = c.sortedTail;
    while (after != nullptr && after->startTime > job.startTime) after = after->sortedPrevious;
    job.sortedPrevious = after;
    job.sortedNext = after != nullptr ? after->sortedNext : c.sortedHead;
    (after != nullptr ? after->sortedNext : c.sortedHead) = &job;
    (job.sortedNext != nullptr ? job.sortedNext->sortedPrevious : c.sortedTail) = &job;
}

// The start of a job element inside the machine element: a job that did not
// start on this connection.
void UnstartedJobStart(BuildLogConnection& c, XmlText name, XmlText machine, uint32_t pathId, int64_t time,
                       XmlText reason) {
    XmlWriter& w = c.generation->document;
    const LocalTime start{time, c.generation->settings.start.biasMinutes};
    w.Raw("  <kv:job name=\"").Escaped(name).Raw("\" machine=\"").Escaped(machine);
    w.Format("\" PathID=\"{0}\" status=\"error\" StartTime=\"{1}\" duration=\"0.0\" ErrorReason=\"",
             {{FormatU32, &pathId}, {FormatTimestamp, &start}});
    w.Escaped(reason).Raw("\"");
}

LogAction StartJobRefused(BuildLogConnection& c, const LogStartJobRecord& r) {
    CloseOpenHop(c);
    XmlWriter& w = c.generation->document;
    UnstartedJobStart(c, Xml(r.jobName), Xml(r.machineName), r.pathId, r.time, Utf8Text(kStartJobReasons[r.status]));
    if (r.status >= 4 && r.status <= 6)
        w.Format(" ErrorCode=\"{0}\"/>\n", {{FormatU32, &r.errorCode}});
    else
        w.Raw("/>\n");
    return Written(w);
}

bool TakeStartFields(JobRecord& job, const LogStartJobRecord& r) {
    job.concurrency = r.concurrency;
    job.pathId = r.pathId;
    return job.machineName.Set(r.machineName) && job.jobName.Set(r.jobName);
}

LogAction StartJob(BuildLogConnection& c, const LogStartJobRecord& r) {
    JobRecord* job = FindJob(c, r.jobId);
    if (job == nullptr || !job->waiting) job = NewJobRecord(c, r.jobId);
    if (job == nullptr || !TakeStartFields(*job, r)) return StopWithMemoryFailure();
    job->waiting = false;
    job->startTime = r.time;
    job->runningTime = 0;
    job->errorCode = 0;
    job->endStatus = 0;
    if (!UseJob(c, *job) || !CreateJobLog(c, *job)) return LogAction::Stop;
    InsertByStartTime(c, *job);
    return LogAction::Continue;
}

// A job failure record for a job with no job element on this connection:
// shown in the machine element, like a refused start.
LogAction UnstartedJobError(BuildLogConnection& c, const LogJobErrorRecord& r, XmlText name) {
    CloseOpenHop(c);
    XmlWriter& w = c.generation->document;
    const bool archive = r.kind == kLogInputArchiveFailure || r.kind == kLogOutputArchiveFailure;
    const XmlText reason = archive ? (r.chainCount > 0 ? Xml(r.chain[0]) : XmlText{}) : Xml(r.message);
    UnstartedJobStart(c, name, c.machineName.xml(), c.pathId, r.time, reason);
    if (r.errorCode != 0) w.Format(" ErrorCode=\"{0}\"", {{FormatU32, &r.errorCode}});
    const LogText path = r.kind == kLogJobFileFailure ? r.subject : r.path;
    if (r.kind != kLogJobFailure && path.length > 0) w.Raw(" ErrorPath=\"").Escaped(Xml(path)).Raw("\"");
    if (!archive) return Written(w.Raw("/>\n"));
    w.Raw(">\n");
    ArchiveChainElements(w, r);
    return Written(w.Raw("  </kv:job>\n"));
}

LogAction ArchiveFailureElements(BuildLogConnection& c, JobRecord& job, const LogJobErrorRecord& r) {
    const LogAction prepared = PrepareJobLog(c, job, true);
    if (prepared != LogAction::Continue) return prepared;
    XmlWriter w(job.jobLog);
    ArchiveChainElements(w, r);
    if (!w.ok()) return StopWithWriteFailure();
    // The first chain text, the most general one, is the reason.
    if (r.chainCount == 0)
        job.errorReason.Clear();
    else if (!job.errorReason.Set(r.chain[0]))
        return StopWithMemoryFailure();
    return job.errorPath.Set(r.path) ? LogAction::Continue : StopWithMemoryFailure();
}

LogAction OutputFailureElement(JobRecord& job, const OutputFailure& failure, XmlText text, const char* open,
                               const char* close) {
    job.failed = true;
    job.errorCode = 0;
    if (!job.errorReason.Set(failure.reason)) return StopWithMemoryFailure();
    XmlWriter w(job.jobLog);
    if (failure.element != nullptr)
        w.Raw(failure.element);
    else
        w.Raw(open).Escaped(text).Raw(close);
    return Written(w);
}

LogAction OutputReset(BuildLogConnection& c, JobRecord& job, const LogJobStatusRecord& r) {
    job.keepOutputs = true;
    if (r.status == 0) return LogAction::Continue;
    const LogAction prepared = PrepareJobLog(c, job, false);
    if (prepared != LogAction::Continue) return prepared;
    return OutputFailureElement(job, kOutputResetFailures[r.status], XmlText{}, "", "");
}

LogAction OutputTransfer(BuildLogConnection& c, JobRecord& job, const LogJobStatusRecord& r) {
    const LogAction prepared = PrepareJobLog(c, job, true);
    if (prepared != LogAction::Continue || r.status <= 1) return prepared;
    return OutputFailureElement(job, kOutputTransferFailures[r.status], Xml(r.text),
                                "    <kv:OutputDownloadError error=\"", "\"/>");
}

}  // namespace

LogAction OnStartJob(void* context, const LogStartJobRecord& r) {
    BuildLogConnection& c = Connection(context);
    if (r.status == 0) return StartJob(c, r);
    if (r.status != 8) return StartJobRefused(c, r);
    // The machine had no room yet: a later StartJob with status 0 completes
    // this record, and the wait shows as the job's DelayTime.
    JobRecord* job = NewJobRecord(c, r.jobId);
    if (job == nullptr || !TakeStartFields(*job, r)) return StopWithMemoryFailure();
    job->waiting = true;
    job->delayStart = r.time;
    return LogAction::Continue;
}

LogAction OnEnvironment(void* context, const LogEnvironmentRecord& r) {
    BuildLogConnection& c = Connection(context);
    JobRecord* job = StartedJob(c, r.jobId);
    if (job == nullptr) return LogAction::Corrupt;
    const LogAction prepared = PrepareJobLog(c, *job, false);
    if (prepared != LogAction::Continue) return prepared;
    XmlWriter w(job->jobLog);
    w.Raw("    <kv:").Raw(kEnvironmentElements[r.type]).Raw(" name=\"").Escaped(Xml(r.name, c.utf16));
    w.Raw("\" value=\"").Escaped(Xml(r.value, c.utf16)).Raw("\"/>\n");
    return Written(w);
}

LogAction OnEndJob(void* context, const LogEndJobRecord& r) {
    BuildLogConnection& c = Connection(context);
    JobRecord* job = FindJob(c, r.jobId);
    // The writer logs no other EndJob status; another one is a broken file.
    if (job == nullptr || r.status > kMaxEndJobStatus) return LogAction::Corrupt;
    job->endStatus = r.status;
    job->runningTime = TimeSpan(r.time, job->startTime);
    if ((r.jobState & kJobStateFailed) != 0) job->failed = true;
    if (job->commandOpen) {
        const LogAction closed = PrepareJobLog(c, *job, true);
        if (closed != LogAction::Continue) return closed;
    }
    CloseJobFiles(c, *job);
    return LogAction::Continue;
}

LogAction OnJobStatus(void* context, const LogJobStatusRecord& r) {
    BuildLogConnection& c = Connection(context);
    JobRecord* job = FindJob(c, r.jobId);
    if (job == nullptr) return LogAction::Corrupt;
    bool set = true;
    switch (r.type) {
    case 7:  // StepStart
        if (r.status != 0) set = Fail(*job, r.hasErrorCode ? r.errorCode : 0, kStepStartReasons[r.status], r.text);
        break;
    case 12:  // InputWrite
        if (r.status != 0) set = Fail(*job, r.hasErrorCode ? r.errorCode : 0, kInputWriteReasons[r.status], r.text);
        break;
    case 8:  // SetDevelopmentEnvironment: the name is kept whatever the status
        set = job->developmentEnvironment.Set(r.environment);
        if (set && r.status != 0) set = Fail(*job, 0, kDevelopmentEnvironmentReasons[r.status]);
        break;
    case 10:
        if (!job->jobLog.begun()) return LogAction::Corrupt;
        return OutputReset(c, *job, r);
    default:  // 11: OutputTransfer
        if (!job->jobLog.begun()) return LogAction::Corrupt;
        return OutputTransfer(c, *job, r);
    }
    return set ? LogAction::Continue : StopWithMemoryFailure();
}

LogAction OnAddOutput(void* context, const LogAddOutputRecord& r) {
    BuildLogConnection& c = Connection(context);
    JobRecord* job = StartedJob(c, r.jobId);
    if (job == nullptr) return LogAction::Corrupt;
    const LogAction prepared = PrepareJobLog(c, *job, true);
    if (prepared != LogAction::Continue) return prepared;
    if (r.failedOutputList) job->keepOutputs = true;
    // A failed request takes its listed outputs away, unless they are the
    // failed-output list or the outputs were reset: the whole record is at
    // hand, so the lines are simply not written.
    XmlWriter w(job->jobLog);
    if (r.status == 0 || job->keepOutputs)
        for (uint32_t i = 0; i < r.pathCount; ++i)
            w.Raw("    <kv:output>").Escaped(Xml(r.paths[i], c.utf16)).Raw("</kv:output>\n");
    if (!w.ok()) return StopWithWriteFailure();
    if (r.status == 0) return LogAction::Continue;
    const OutputFailure& failure = kAddOutputFailures[r.status];
    if (r.status == 6) return OutputFailureElement(*job, failure, Xml(r.text), "    <kv:OutputError error=\"missing file\">", "</kv:OutputError>\n");
    if (r.status == 7) return OutputFailureElement(*job, failure, Xml(r.text), "    <kv:OutputError error=\"invalid path\">", "</kv:OutputError>\n");
    return OutputFailureElement(*job, failure, Xml(r.text), "    <kv:OutputError error=\"", "\"/>\n");
}

LogAction OnExecute(void* context, const LogExecuteRecord& r) {
    BuildLogConnection& c = Connection(context);
    JobRecord* job = StartedJob(c, r.jobId);
    if (job == nullptr) return LogAction::Corrupt;
    const LogAction prepared = PrepareJobLog(c, *job, true);
    if (prepared != LogAction::Continue) return prepared;
    XmlWriter w(job->jobLog);
    w.Raw("    <kv:command ");
    if (r.directory.length > 0) w.Raw("directory=\"").Escaped(Xml(r.directory, c.utf16)).Raw("\" ");
    // Bit i of the bitmap marks string i, the executable being string 0.
    w.Raw(r.IsEnvironmentArgument(0) ? "ExecutableFromEnvironment=\"" : "executable=\"");
    w.Escaped(Xml(r.executable, c.utf16)).Raw("\"");
    if (!w.ok()) return StopWithWriteFailure();
    if (!CreateCommandFiles(c, *job)) return LogAction::Stop;
    XmlWriter parameters(job->stdoutSpool);
    for (uint32_t i = 0; i < r.parameterCount; ++i) {
        parameters.Raw(r.IsEnvironmentArgument(i + 1) ? "      <kv:parameter xml:space=\"preserve\" environment=\""
                                                      : "      <kv:parameter xml:space=\"preserve\" value=\"");
        parameters.Escaped(Xml(r.parameters[i], c.utf16)).Raw("\"/>\n");
    }
    if (!parameters.ok()) return StopWithWriteFailure();
    if (r.status == 0) return Written(w.Raw(">\n"));
    job->failed = true;
    if (r.status == 6) {
        w.Raw(" ErrorMessage=\"").Escaped(Xml(r.text)).Format("\" ErrorCode=\"{0}\">\n", {{FormatU32, &r.errorCode}});
    } else {
        w.Raw(" ErrorMessage=\"").Raw(kExecuteMessages[r.status]).Raw("\">\n");
    }
    return Written(w);
}

LogAction OnJobError(void* context, const LogJobErrorRecord& r) {
    BuildLogConnection& c = Connection(context);
    // A job named instead of numbered never started on this connection.
    if (r.job.jobId == kLogNoJobId) return UnstartedJobError(c, r, Xml(r.job.name));
    JobRecord* job = FindJob(c, r.job.jobId);
    if (job == nullptr) return LogAction::Corrupt;
    if (!job->jobLog.begun()) return UnstartedJobError(c, r, job->jobName.xml());
    job->failed = true;
    job->runningTime = TimeSpan(r.time, job->startTime);
    job->errorCode = r.errorCode;
    switch (r.kind) {
    case kLogJobFailure:
        return job->errorReason.Set(r.message) ? LogAction::Continue : StopWithMemoryFailure();
    case kLogJobFileFailure:
        return job->errorReason.Set(r.message) && job->errorPath.Set(r.subject) ? LogAction::Continue
                                                                               : StopWithMemoryFailure();
    default:
        return ArchiveFailureElements(c, *job, r);
    }
}

}  // namespace kestrel
