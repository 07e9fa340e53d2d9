// The second phase of scheduling, and the releases that follow it while the
// jobs run.

#include <cstdlib>
#include <cstring>

#include "platform/file_times.h"
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
    bool checkFile(const DependencyRecord& consumers);
    // Fills the job's input slots still unread; false on a failure.
    bool readInputTimes(Job& job);
    // Whether every output is at least as new as the newest input.
    bool outputsUpToDate(Job& job, bool& upToDate);
    bool releaseOutputs(Job& job);
    bool failCannotRun(Job* const* jobs, uint32_t count);

    JobScheduler& s_;
};

bool Decider::checkFile(const DependencyRecord& consumers) {
    const DependencyPair& first = consumers.pairs[0];
    if (!s_.renderPath(*first.job, PathOfSlot(*first.job, first.slot))) return false;
    int64_t time = 0;
    int error = 0;
    switch (platform::ReadModificationTime(s_.pathText, time, error)) {
        case platform::FileTimeResult::Present:
            for (uint32_t i = 0; i < consumers.count; ++i) {
                Job& job = *consumers.pairs[i].job;
                *consumers.pairs[i].slot = time;
                const auto newest = static_cast<uint64_t>(time);
                if (newest > job.newestInputTime) job.newestInputTime = newest;
            }
            return true;
        case platform::FileTimeResult::Missing:
            // Every missing file is listed before the phase fails.
            for (uint32_t i = 0; i < consumers.count; ++i) *consumers.pairs[i].slot = 0;
            s_.flags |= JobScheduler::kFoundError;
            return s_.appendMessageLine("The file {0} needed by {1} is missing",
                                        {{FormatString, s_.pathText}, {FormatString, first.job->name}});
        case platform::FileTimeResult::Failed:
            break;
    }
    const int32_t code = error;
    s_.flags |= JobScheduler::kFoundError;
    return s_.fail("Cannot check if {0} exists, error {1}", {{FormatString, s_.pathText}, {FormatI32, &code}});
}

bool Decider::checkExternalInputs() {
    const NameTable& table = s_.unproducedConsumers;
    for (uint32_t i = 0; i < table.capacity; ++i) {
        const auto* consumers = static_cast<const DependencyRecord*>(table.entries[i].value);
        if (consumers != nullptr && !checkFile(*consumers)) return false;
    }
    return (s_.flags & JobScheduler::kFoundError) == 0;
}

bool Decider::readInputTimes(Job& job) {
    for (uint32_t i = 0; i < job.preparedInputCount; ++i) {
        if (job.timeSlots[i] != -1) continue;
        if (!s_.renderPath(job, job.preparedInputs[i])) return false;
        int64_t time = 0;
        int error = 0;
        const platform::FileTimeResult result = platform::ReadModificationTime(s_.pathText, time, error);
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
            if (!s_.renderPath(job, job.preparedOutputs[i])) return false;
            int error = 0;
            switch (platform::ReadModificationTime(s_.pathText, slot, error)) {
                case platform::FileTimeResult::Present:
                    break;
                case platform::FileTimeResult::Missing:
                    slot = 0;
                    break;
                case platform::FileTimeResult::Failed: {
                    const int32_t code = error;
                    return s_.fail("The output file {0} cannot be used during scheduling, error {1}",
                                   {{FormatString, s_.pathText}, {FormatI32, &code}});
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

bool Decider::releaseOutputs(Job& job) {
    for (uint32_t i = 0; i < job.preparedOutputCount; ++i) {
        if (!s_.keyOf(job, job.preparedOutputs[i])) return false;
        s_.releaseKey();
    }
    return true;
}

// The walk takes in the jobs that skipped producers append behind it.
bool Decider::removeUpToDateJobs() {
    for (Job* job = s_.readyHead; job != nullptr;) {
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
        if (!releaseOutputs(*job)) return false;
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
    bool ok = true;
    for (uint32_t next = 0; next < started && ok; ++next) {
        Job& job = *order[next];
        for (uint32_t i = 0; i < job.preparedOutputCount && ok; ++i) {
            ok = s_.keyOf(job, job.preparedOutputs[i]);
            if (!ok) break;
            const auto* consumers = static_cast<const DependencyRecord*>(s_.producedConsumers.Find(s_.key));
            for (uint32_t c = 0; consumers != nullptr && c < consumers->count; ++c) {
                Job* consumer = consumers->pairs[c].job;
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
    if (ok && stuck != 0) ok = failCannotRun(order, stuck);
    std::free(order);
    return ok;
}

}  // namespace

bool JobScheduler::Decide() {
    Decider decider(*this);
    // With an empty ready queue the walk finds nothing and every waiting job is reported.
    if (!decider.checkExternalInputs() || !decider.removeUpToDateJobs() || !decider.checkEveryJobCanStart())
        return false;
    producers.Destroy();
    flags &= ~kProducerTable;
    return true;
}

void JobScheduler::releaseKey() {
    auto* consumers = static_cast<DependencyRecord*>(producedConsumers.Find(key));
    if (consumers == nullptr) return;
    for (uint32_t i = 0; i < consumers->count; ++i) {
        Job& job = *consumers->pairs[i].job;
        if (job.pendingCount == 0 || --job.pendingCount != 0) continue;
        unlinkWaiting(job);
        if ((job.flags & kJobUpToDate) == 0) appendReady(job);
    }
    producedConsumers.Remove(key);
    DestroyDependencyRecord(consumers);
}

bool JobScheduler::OutputProduced(const char* path, uint32_t length) {
    // The same spelling rules as the keys: normalized, then folded. A path
    // above its root names no file a job writes.
    Path parsed;
    bool ok = parsed.SetFromText(path, length, "/");
    if (ok && parsed.Normalize()) {
        const uint64_t rendered = parsed.Render(nullptr, 0);
        ok = reservePathText(rendered + 1);
        if (ok) {
            pathLength = parsed.Render(pathText, pathTextSize);
            pathText[pathLength] = '\0';
            ok = buildKey();
            if (ok) releaseKey();
        }
    }
    parsed.Release();
    return ok || outOfMemory();
}

}  // namespace kestrel
