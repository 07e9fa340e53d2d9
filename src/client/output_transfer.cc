// Placeholder until the output archive transfer lands: jobs without outputs.
#include "client/stages.h"
#include "script/job.h"

namespace kestrel {

void StartOutput(RemoteJob& job) {
    ResetPollDelay(*job.connection);
    const bool failed = (job.flags & kRemoteJobFailed) != 0;
    const uint32_t count = failed ? job.job->preparedFailedOutputCount : job.job->preparedOutputCount;
    if (count == 0) return EndJobSoon(job);
    UnlinkJob(job);
    FailJob(job, 0, "Output transfer is not available in this build");
}

void ContinueOutput(RemoteJob&) {}
void ReleaseOutputTransfer(RemoteJob&) {}

}  // namespace kestrel
