// The second phase of scheduling, which decides which jobs are up to date
// (external inputs, jobs that can never start, outputs newer than their
// inputs), and the releases that follow it while the jobs run.

#include <cstdlib>
#include <cstring>

#include "platform/cpu.h"
#include "platform/file_time_reader.h"
#include "runtime/error_codes.h"
#include "scheduler/dependency.h"
#include "scheduler/job_scheduler.h"

namespace kestrel {

namespace {

constexpr const char* kCannotRun =
    "The following jobs cannot run because at least one input file is another job's output:";

class Decider {
public:
    explicit Decider(JobScheduler& scheduler) : s_(scheduler) {}

    bool checkExternalInputs();
    bool removeUpToDateJobs();
    bool checkEveryJobCanStart();

private:
    bool checkFile(const ScheduledFile& file);
    // Fills the job's input slots still unread; false on a failure.
    bool readInputTimes(Job& job);
    // Whether every output is at least as new as the newest input.
    bool outputsUpToDate(Job& job, bool& upToDate);
    void releaseOutputs(Job& job);
    bool failCannotRun(Job* const* jobs, uint32_t count);

    JobScheduler& s_;
    // Files of one directory are read one after the other.
    platform::FileTimeReader times_;
};

bool Decider::checkFile(const ScheduledFile& file) {
    int64_t time = 0;
    int error = 0;
    switch (times_.Read(file.path, time, error)) {
        case platform::FileTimeResult::Present:
            for (uint32_t i = 0; i < file.consumerCount; ++i) {
                Job& job = *file.consumers[i].job;
                *file.consumers[i].slot = time;
                const auto newest = static_cast<uint64_t>(time);
                if (newest > job.newestInputTime) job.newestInputTime = newest;
            }
            return true;
        case platform::FileTimeResult::Missing:
            // Every missing file is listed before the phase fails.
            for (uint32_t i = 0; i < file.consumerCount; ++i) *file.consumers[i].slot = 0;
            s_.flags |= JobScheduler::kFoundError;
            return s_.appendMessageLine("The file {0} needed by {1} is missing",
                                        {{FormatString, file.path}, {FormatString, file.consumers[0].job->name}});
        case platform::FileTimeResult::Failed:
            break;
    }
    const int32_t code = error;
    s_.flags |= JobScheduler::kFoundError;
    return s_.fail("Cannot check if {0} exists, error {1}", {{FormatString, file.path}, {FormatI32, &code}});
}

// In the order the files were first needed: the order of queueing.
bool Decider::checkExternalInputs() {
    const ScheduledFile* file = s_.neededHead;
    // The list is not kept past this walk: released records leave it stale.
    s_.neededHead = s_.neededTail = nullptr;
    for (; file != nullptr; file = file->nextNeeded) {
        // The next record, and the first consumer this time goes to, are
        // fetched while the time is read.
        platform::Prefetch(file->nextNeeded);
        platform::Prefetch(file->consumers[0].slot);
        platform::Prefetch(file->consumers[0].job);
        if (!file->produced() && !checkFile(*file)) return false;
    }
    return (s_.flags & JobScheduler::kFoundError) == 0;
}

bool Decider::readInputTimes(Job& job) {
    for (uint32_t i = 0; i < job.preparedInputCount; ++i) {
        if (job.timeSlots[i] != -1) continue;
        if (!s_.renderPath(job, job.preparedInputs[i])) return false;
        int64_t time = 0;
        int error = 0;
        const platform::FileTimeResult result = times_.Read(s_.pathText, time, error);
        if (result != platform::FileTimeResult::Present) {
            // A file that vanished between the checks is reported as not found.
            const int32_t code = result == platform::FileTimeResult::Missing ? kErrorFileNotFound : error;
            return s_.fail("The input file {0} cannot be used after scheduling, error {1}",
                           {{FormatString, s_.pathText}, {FormatI32, &code}});
        }
        job.timeSlots[i] = time;
        if (static_cast<uint64_t>(time) > job.newestInputTime) job.newestInputTime = static_cast<uint64_t>(time);
    }
    return true;
}

bool Decider::outputsUpToDate(Job& job, bool& upToDate) {
    upToDate = true;
    for (uint32_t i = 0; i < job.preparedOutputCount; ++i) {
        int64_t& slot = job.outputSlots[i];
        if (slot == -1) {
            // The record keeps the path when it is spelled as this job spells it.
            const ScheduledFile& file = *job.outputFiles[i];
            const bool recorded = (file.flags & ScheduledFile::kPathOfProducer) != 0;
            if (!recorded && !s_.renderPath(job, job.preparedOutputs[i])) return false;
            const char* path = recorded ? file.path : s_.pathText;
            int error = 0;
            switch (times_.Read(path, slot, error)) {
                case platform::FileTimeResult::Present:
                    break;
                case platform::FileTimeResult::Missing:
                    slot = 0;
                    break;
                case platform::FileTimeResult::Failed: {
                    const int32_t code = error;
                    return s_.fail("The output file {0} cannot be used during scheduling, error {1}",
                                   {{FormatString, path}, {FormatI32, &code}});
                }
            }
        }
        if (static_cast<uint64_t>(slot) < job.newestInputTime) {
            upToDate = false;
            return true;
        }
    }
    return true;
}

// Consumers learn the output times read just now instead of reading them again.
void Decider::releaseOutputs(Job& job) {
    for (uint32_t i = 0; i < job.preparedOutputCount; ++i) s_.release(*job.outputFiles[i], job.outputSlots[i]);
}

// The walk takes in the jobs that skipped producers append behind it.
bool Decider::removeUpToDateJobs() {
    for (Job* job = s_.readyHead; job != nullptr;) {
        // The next job is fetched while this one's outputs are read.
        platform::Prefetch(job->queueNext);
        if ((job->flags & kJobCheckUpToDate) == 0) {
            job = job->queueNext;
            continue;
        }
        bool upToDate = false;
        if (!readInputTimes(*job) || !outputsUpToDate(*job, upToDate)) return false;
        if (!upToDate) {
            job = job->queueNext;
            continue;
        }
        releaseOutputs(*job);
        Job* next = job->queueNext;
        s_.unlinkReady(*job);
        job->flags |= kJobUpToDate;
        job = next;
    }
    return true;
}

bool Decider::failCannotRun(Job* const* jobs, uint32_t count) {
    s_.flags |= JobScheduler::kFoundError;
    if (!s_.fail(kCannotRun) && s_.message == kSchedulerMemoryMessage) return false;
    for (uint32_t i = 0; i < count; ++i)
        if (!s_.appendMessageLine("{0}", {{FormatString, jobs[i]->name}})) return false;
    return false;
}

// Plays the run forward: every ready job produces its outputs, which release
// their consumers, and so on. A waiting job never released this way waits for
// a job that can never start (a cycle), and would silently never run.
bool Decider::checkEveryJobCanStart() {
    if (s_.waitingHead == nullptr) return true;
    const size_t room = s_.preparedCount;
    auto** order = static_cast<Job**>(std::malloc(room * sizeof(Job*)));
    auto* saved = static_cast<uint32_t*>(std::malloc(room * sizeof(uint32_t)));
    if (order == nullptr || saved == nullptr) {
        std::free(order);
        std::free(saved);
        return s_.outOfMemory();
    }
    uint32_t waiting = 0;
    for (Job* job = s_.waitingHead; job != nullptr; job = job->queueNext) saved[waiting++] = job->pendingCount;
    uint32_t started = 0;
    for (Job* job = s_.readyHead; job != nullptr; job = job->queueNext) order[started++] = job;
    for (uint32_t next = 0; next < started; ++next) {
        Job& job = *order[next];
        for (uint32_t i = 0; i < job.preparedOutputCount; ++i) {
            const ScheduledFile& file = *job.outputFiles[i];
            if (!file.awaited()) continue;
            for (uint32_t c = 0; c < file.consumerCount; ++c) {
                Job* consumer = file.consumers[c].job;
                if (--consumer->pendingCount == 0) order[started++] = consumer;
            }
        }
    }
    // The jobs that stay stuck, in waiting-list order; then the counts come back.
    uint32_t stuck = 0;
    uint32_t index = 0;
    for (Job* job = s_.waitingHead; job != nullptr; job = job->queueNext) {
        if (job->pendingCount != 0) order[stuck++] = job;
        job->pendingCount = saved[index++];
    }
    std::free(saved);
    const bool ok = stuck == 0 || failCannotRun(order, stuck);
    std::free(order);
    return ok;
}

}  // namespace

bool JobScheduler::Decide() {
    Decider decider(*this);
    // With an empty ready queue the walk finds nothing and every waiting job is reported.
    return decider.checkExternalInputs() && decider.removeUpToDateJobs() && decider.checkEveryJobCanStart();
}

void JobScheduler::release(ScheduledFile& file, int64_t time) {
    if (!file.awaited()) return;
    file.flags |= ScheduledFile::kConsumersReleased;
    for (uint32_t i = 0; i < file.consumerCount; ++i) {
        Job& job = *file.consumers[i].job;
        int64_t& slot = *file.consumers[i].slot;
        if (time != -1 && slot == -1 && (file.flags & ScheduledFile::kSpellingsDiffer) == 0) {
            slot = time;
            if (static_cast<uint64_t>(time) > job.newestInputTime) job.newestInputTime = static_cast<uint64_t>(time);
        }
        if (job.pendingCount == 0 || --job.pendingCount != 0) continue;
        unlinkWaiting(job);
        if ((job.flags & kJobUpToDate) == 0) appendReady(job);
    }
}

bool JobScheduler::OutputProduced(const char* path, uint32_t length) {
    // The same spelling rules as the keys: normalized, then folded. A path
    // above its root names no file a job writes.
    Path parsed;
    bool ok = parsed.SetFromText(path, length, platform::kPathSeparators);
    if (ok && parsed.Normalize()) {
        const uint64_t rendered = parsed.Render(nullptr, 0);
        ok = reservePathText(rendered + 1);
        if (ok) {
            pathLength = parsed.Render(pathText, pathTextSize);
            pathText[pathLength] = '\0';
            ok = buildKey();
            auto* file = ok ? static_cast<ScheduledFile*>(files.Find(key)) : nullptr;
            if (file != nullptr) release(*file, -1);
        }
    }
    parsed.Release();
    return ok || outOfMemory();
}

}  // namespace kestrel
