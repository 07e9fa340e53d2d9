// Placeholder until the input archive transfer lands: jobs without inputs.
#include "client/stages.h"
#include "script/job.h"

namespace kestrel {

void StartInputTransfer(RemoteJob& job) {
    if (job.job->preparedInputCount == 0) {
        MoveJob(job, Stage::StepStart);
        return SendStepStart(job);
    }
    UnlinkJob(job);
    FailJob(job, 0, "Input transfer is not available in this build");
}

void ContinueInputTransfer(RemoteJob&) {}
void ReleaseInputTransfer(RemoteJob&) {}

}  // namespace kestrel
