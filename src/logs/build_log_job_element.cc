// The kv:job element of a started job: its attributes from the job record,
// its content copied from the job log.
#include <cstdio>

#include "logs/build_log_records.h"
#include "platform/streams.h"
#include "runtime/messages.h"
#include "runtime/temp_files.h"

namespace kestrel {

namespace {

constexpr uint32_t kCopyChunk = 512;

const char* ConcurrencyName(uint8_t factor) {
    switch (factor) {
    case 0: return "minimum";
    case 1: return "maximum";
    case 10: return "high";
    case 25: return "medium";
    case 128: return "low";
    default: return "unknown";
    }
}

void OptionalAttribute(XmlWriter& w, const char* name, const OwnedText& value) {
    if (value.has()) w.Raw(" ").Raw(name).Raw("=\"").Escaped(value.xml()).Raw("\"");
}

void StartTag(XmlWriter& w, const BuildLogSettings& settings, const JobRecord& job) {
    const LocalTime start{job.startTime, settings.start.biasMinutes};
    w.Raw("  <kv:job name=\"").Escaped(job.jobName.xml()).Raw("\" machine=\"").Escaped(job.machineName.xml());
    if (job.endStatus == 0) {
        w.Format("\" PathID=\"{2}\" status=\"{0}\" StartTime=\"{1}\" RunningTime=\"",
                 {{FormatString, job.failed ? "failed" : "succeeded"}, {FormatTimestamp, &start}, {FormatU32, &job.pathId}});
    } else {
        w.Format("\" PathID=\"{1}\" status=\"error\" StartTime=\"{0}\" RunningTime=\"",
                 {{FormatTimestamp, &start}, {FormatU32, &job.pathId}});
    }
    w.Format("{0}\" concurrency=\"{1}", {{FormatDuration, &job.runningTime}, {FormatString, ConcurrencyName(job.concurrency)}});
    if (job.delayStart != 0) {
        const int64_t delay = TimeSpan(job.startTime, job.delayStart);
        w.Format("\" DelayTime=\"{0}", {{FormatDuration, &delay}});
    }
    if (job.endStatus == 1) {
        w.Raw("\" ErrorReason=\"Job ID passed to end job is invalid\">\n");
        return;
    }
    if (job.endStatus == 2) {
        w.Raw("\" ErrorReason=\"End job request was corrupt\">\n");
        return;
    }
    w.Raw("\"");
    if (job.errorCode != 0) w.Format(" ErrorCode=\"{0}\"", {{FormatU32, &job.errorCode}});
    OptionalAttribute(w, "ErrorReason", job.errorReason);
    OptionalAttribute(w, "ErrorPath", job.errorPath);
    OptionalAttribute(w, "DevelopmentEnvironment", job.developmentEnvironment);
    w.Raw(">\n");
}

}  // namespace

bool WriteJobElement(BuildLogGeneration& generation, JobRecord& job) {
    XmlWriter& w = generation.document;
    if (job.jobLog.file() == nullptr) {
        StartTag(w, generation.settings, job);
        if (!job.jobLog.CopyInto(w) || !w.Raw("  </kv:job>\n").ok()) {
            PostMessageText(kBuildLogWriteFailed);
            return false;
        }
        return true;
    }
    int error = 0;
    // Its stream may have been closed for the open-file limit: read it afresh.
    std::FILE* content = platform::OpenStream(job.jobLog.file()->path, "rb", error);
    if (content == nullptr) {
        const int32_t code = error;
        PostMessageText(kJobLogOpenFailed, {{FormatI32, &code}});
        return false;
    }
    StartTag(w, generation.settings, job);
    char chunk[kCopyChunk];
    size_t count;
    while (w.ok() && (count = std::fread(chunk, 1, sizeof chunk, content)) > 0) w.Raw(chunk, count);
    const bool read = std::ferror(content) == 0;
    std::fclose(content);
    w.Raw("  </kv:job>\n");
    if (!read || !w.ok()) {
        PostMessageText(kBuildLogWriteFailed);
        return false;
    }
    return true;
}

}  // namespace kestrel
