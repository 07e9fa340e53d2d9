// The events of Poll records: output bytes and timing marks go into the
// lines of the command's two streams, the command's end and failures into
// its stderr file at once.
#include "logs/build_log_records.h"
#include "runtime/temp_files.h"

namespace kestrel {

namespace {

enum PollEvent : uint8_t {
    kStdoutData = 0,
    kStdoutEnd = 1,
    kStderrData = 2,
    kStderrEnd = 3,
    kReturned = 4,
    kSignalled = 5,
    kStartupFailed = 6,
    kClockError = 7,
    kChildCommError = 8,
    kChildRequestError = 9,
    kTerminateFailure = 10,
    kStatusCheckFailure = 11,
    kStillRunning = 12,
    kStdoutThrottled = 13,
    kStderrThrottled = 14,
};

// Events 4 to 11, each one line of the stderr file.
const char* const kEventElements[] = {
    "      <kv:return value=\"{0}\" elapsed=\"{1}\"/>\n",
    "      <kv:signal value=\"{0}\" elapsed=\"{1}\"/>\n",
    "      <kv:StartupFailed ErrorCode=\"{0}\" elapsed=\"{1}\"/>\n",
    "      <kv:ClockError value=\"{0}\" elapsed=\"{1}\"/>\n",
    "      <kv:ChildCommError value=\"{0}\" elapsed=\"{1}\"/>\n",
    "      <kv:ChildRequestError value=\"{0}\" elapsed=\"{1}\" message=\"",
    "      <kv:TerminateFailure value=\"{0}\" elapsed=\"{1}\" message=\"",
    "      <kv:StatusCheckFailure value=\"{0}\" elapsed=\"{1}\" message=\"",
};

// The machine does not check the job of these events; one for a job that is
// unknown or runs no command has no command to show it in and is left out.
bool IsUncheckedEvent(uint8_t code) {
    return code == kStdoutData || code == kStderrData || code == kStdoutThrottled || code == kStderrThrottled;
}

LogAction StreamFailure(const OutputStream& stream) {
    return stream.outOfMemory ? StopWithMemoryFailure() : StopWithWriteFailure();
}

LogAction AddMark(OutputStream& stream, const char* format, std::initializer_list<FormatArg> args) {
    char mark[160];
    const uint32_t size = FormatText(mark, sizeof mark, format, args);
    return AddToLine(stream, mark, size - 1) ? LogAction::Continue : StreamFailure(stream);
}

LogAction RenderData(JobRecord& job, const LogPollEvent& e) {
    OutputStream& stream = e.code <= kStdoutEnd ? job.out : job.err;
    const bool ended = e.code == kStdoutEnd || e.code == kStderrEnd;
    const LogAction marked =
        AddMark(stream, ended ? "<kv:elapsed EOF=\"true\" offset=\"{0}\" seconds=\"{1}\"/>" : "<kv:elapsed offset=\"{0}\" seconds=\"{1}\"/>",
                {{FormatU64, &stream.offset}, {FormatElapsed, &e.elapsed}});
    if (marked != LogAction::Continue) return marked;
    if (!RenderOutput(stream, e.data.bytes, e.data.length)) return StreamFailure(stream);
    if (ended && !EndOutput(stream)) return StreamFailure(stream);
    return LogAction::Continue;
}

LogAction WriteEventElement(JobRecord& job, const LogPollEvent& e) {
    XmlWriter w(job.stderrSpool);
    w.Format(kEventElements[e.code - kReturned], {{FormatU32, &e.value}, {FormatElapsed, &e.elapsed}});
    if (e.code >= kChildRequestError) w.Escaped(Xml(e.data)).Raw("\"/>\n");
    return w.ok() ? LogAction::Continue : StopWithWriteFailure();
}

}  // namespace

LogAction OnPollEvent(void* context, const LogPollEvent& e) {
    BuildLogConnection& c = *static_cast<BuildLogConnection*>(context);
    if (e.code == kStillRunning || e.code > kStderrThrottled) return LogAction::Continue;
    JobRecord* job = FindJob(c, e.jobId);
    if (job == nullptr) return IsUncheckedEvent(e.code) ? LogAction::Continue : LogAction::Corrupt;
    if (!job->commandOpen) return LogAction::Continue;
    if (!UseJob(c, *job)) return LogAction::Stop;
    if (e.code <= kStderrEnd) return RenderData(*job, e);
    if (e.code <= kStatusCheckFailure) return WriteEventElement(*job, e);
    OutputStream& stream = e.code == kStdoutThrottled ? job->out : job->err;
    return AddMark(stream, "<kv:throttle ThrottleOnElapsed=\"{0}\"/>", {{FormatElapsed, &e.elapsed}});
}

}  // namespace kestrel
