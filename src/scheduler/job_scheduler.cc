#include "scheduler/job_scheduler.h"

#include <cstdlib>
#include <cstring>

#include "scheduler/case_fold.h"
#include "scheduler/dependency.h"
#include "script/prepare_job.h"
#include "script/project_block.h"
#include "runtime/growing_array.h"

namespace kestrel {

namespace {

constexpr uint32_t kFirstPreparedJobs = 20;
// Project::flags
constexpr uint32_t kProjectVisited = 1;
constexpr uint32_t kProjectCounted = 2;

// File lines of the jobs a project reaches (each project once): at least as
// many as the distinct files they name.
uint64_t CountFileLines(Project& project) {
    if ((project.flags & kProjectCounted) != 0) return 0;
    project.flags |= kProjectCounted;
    uint64_t lines = 0;
    for (const ProjectList* list : {&project.build, &project.test}) {
        for (void* const* entry = list->first; entry != list->end; ++entry) {
            if (KindOf(*entry) == BlockKind::Project) {
                lines += CountFileLines(*static_cast<Project*>(*entry));
                continue;
            }
            const Job& job = *static_cast<const Job*>(*entry);
            lines += job.inputs.count + job.outputs.count;
        }
    }
    return lines;
}

// A buffer of at least `size` bytes; false when memory ran out (the old one stays).
bool Reserve(char*& buffer, uint32_t& capacity, uint64_t size) {
    if (size <= capacity) return true;
    uint64_t grown = capacity == 0 ? 256 : 2ull * capacity;
    if (grown < size) grown = size;
    if (grown > UINT32_MAX) return false;
    char* fresh = static_cast<char*>(std::realloc(buffer, grown));
    if (fresh == nullptr) return false;
    buffer = fresh;
    capacity = static_cast<uint32_t>(grown);
    return true;
}

// Grows the names buffer to at least `size` bytes; false when memory ran out.
bool GrowNames(JobScheduler& s, uint64_t size) {
    uint64_t grown = s.namesSize == 0 ? 4096 : 2ull * s.namesSize;
    if (grown < size) grown = size;
    if (grown > UINT32_MAX) return false;
    char* fresh = static_cast<char*>(std::realloc(s.names, grown));
    if (fresh == nullptr) return false;
    s.names = fresh;
    s.namesSize = static_cast<uint32_t>(grown);
    return true;
}

class Selector {
public:
    Selector(JobScheduler& scheduler, ParserContext& context) : scheduler_(scheduler), context_(context) {}

    bool prepareAndQueue(Job& job);
    bool visit(Project& project);

private:
    bool prepare(Job& job);
    bool keep(Job& job);
    bool queue(Job& job);
    bool collectNames(const Job& job);
    bool registerOutput(Job& job, uint32_t index, const FileName& name);
    bool registerInput(Job& job, uint32_t index, const FileName& name);

    JobScheduler& scheduler_;
    ParserContext& context_;
};

bool Selector::prepare(Job& job) {
    BlockMessage reason;
    if (!prepareJob(job, reason)) {
        return scheduler_.fail("Cannot prepare job {0}, {1}", {{FormatString, job.name}, {FormatString, reason.text}});
    }
    return keep(job);
}

// The scheduler owns the job from here on: it leaves the context's table.
bool Selector::keep(Job& job) {
    JobScheduler& s = scheduler_;
    if (!RoomForOneMore(s.preparedJobs, s.preparedCount, s.preparedCapacity, kFirstPreparedJobs)) return s.outOfMemory();
    s.preparedJobs[s.preparedCount++] = &job;
    std::free(const_cast<char*>(context_.blocks.Remove(job.name)));
    return true;
}

// A record for `name`, entered in the table; null (message set) when memory
// ran out.
ScheduledFile* NewFile(JobScheduler& s, const FileName& name) {
    const char* key = s.names + name.keyOffset;
    ScheduledFile* file = NewScheduledFile(*s.records, key, name.keyLength, s.names + name.pathOffset, name.pathLength);
    // The arena frees the record: the entry needs no destructor.
    if (file != nullptr && s.files.Insert(file->key, file, nullptr, name.hash)) return file;
    s.outOfMemory();
    return nullptr;
}

bool Selector::registerOutput(Job& job, uint32_t index, const FileName& name) {
    JobScheduler& s = scheduler_;
    const char* path = s.names + name.pathOffset;
    auto* file = static_cast<ScheduledFile*>(s.files.Find(s.names + name.keyOffset, name.hash));
    if (file != nullptr && file->produced()) {
        return s.fail("The jobs {0} and {1} both create {2}",
                      {{FormatString, file->producer.job->name}, {FormatString, job.name}, {FormatString, path}});
    }
    if (file == nullptr) {
        file = NewFile(s, name);
        if (file == nullptr) return false;
    }
    file->flags |= file->spelledAs(path, name.pathLength) ? ScheduledFile::kPathOfProducer
                                                          : ScheduledFile::kSpellingsDiffer;
    file->producer = DependencyPair{&job, &job.outputSlots[index]};
    job.outputFiles[index] = file;
    // Jobs queued earlier that need this file now wait for this job.
    for (uint32_t i = 0; i < file->consumerCount; ++i) {
        Job& consumer = *file->consumers[i].job;
        if (consumer.queueState == kJobReady) {
            s.unlinkReady(consumer);
            s.pushWaiting(consumer);
            consumer.pendingCount = 1;
        } else if (consumer.queueState == kJobWaiting) {
            ++consumer.pendingCount;
        } else {
            return s.fail("INTERNAL ERROR: Unexpected queue membership (16291)");
        }
    }
    return true;
}

bool Selector::registerInput(Job& job, uint32_t index, const FileName& name) {
    JobScheduler& s = scheduler_;
    auto* file = static_cast<ScheduledFile*>(s.files.Find(s.names + name.keyOffset, name.hash));
    if (file == nullptr) {
        file = NewFile(s, name);
        if (file == nullptr) return false;
        // The first need of a file no job creates (yet): its place in the check.
        if (s.neededTail != nullptr)
            s.neededTail->nextNeeded = file;
        else
            s.neededHead = file;
        s.neededTail = file;
    } else if (!file->spelledAs(s.names + name.pathOffset, name.pathLength)) {
        file->flags |= ScheduledFile::kSpellingsDiffer;
    }
    if (!AddConsumer(*s.records, *file, &job, &job.timeSlots[index])) return s.outOfMemory();
    if (file->produced()) {
        ++job.pendingCount;
        job.queueState = kJobWaiting;
    }
    return true;
}

// The path and key of every prepared output, then every input, of `job`
// into the scheduler's names, each key's home slot asked for on the way.
bool Selector::collectNames(const Job& job) {
    JobScheduler& s = scheduler_;
    const uint32_t count = job.preparedOutputCount + job.preparedInputCount;
    if (count > s.fileNameCapacity) {
        auto* grown = static_cast<FileName*>(std::realloc(s.fileNames, count * sizeof(FileName)));
        if (grown == nullptr) return s.outOfMemory();
        s.fileNames = grown;
        s.fileNameCapacity = count;
    }
    uint32_t used = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const Path& prepared =
            i < job.preparedOutputCount ? job.preparedOutputs[i] : job.preparedInputs[i - job.preparedOutputCount];
        if (!s.keyOf(job, prepared)) return false;
        const uint64_t needed = static_cast<uint64_t>(used) + s.pathLength + s.keyLength + 2;
        if (needed > s.namesSize && !GrowNames(s, needed)) return s.outOfMemory();
        FileName& name = s.fileNames[i];
        name.pathOffset = used;
        name.pathLength = s.pathLength;
        std::memcpy(s.names + used, s.pathText, s.pathLength + 1);
        used += s.pathLength + 1;
        name.keyOffset = used;
        name.keyLength = s.keyLength;
        std::memcpy(s.names + used, s.key, s.keyLength + 1);
        used += s.keyLength + 1;
        name.hash = NameTableHash(s.key);
        s.files.Prefetch(name.hash);
    }
    return true;
}

bool Selector::queue(Job& job) {
    if ((job.flags & kJobQueued) != 0) return true;
    JobScheduler& s = scheduler_;
    job.queueState = kJobReady;
    job.flags |= kJobQueued;
    if ((s.flags & JobScheduler::kCompareTimes) != 0) job.flags |= kJobCheckUpToDate;
    if (job.preparedOutputCount != 0) {
        job.outputFiles = static_cast<ScheduledFile**>(s.records->Take(job.preparedOutputCount * sizeof(ScheduledFile*)));
        if (job.outputFiles == nullptr) return s.outOfMemory();
    }
    if (!collectNames(job)) return false;
    for (uint32_t i = 0; i < job.preparedOutputCount; ++i)
        if (!registerOutput(job, i, s.fileNames[i])) return false;
    for (uint32_t i = 0; i < job.preparedInputCount; ++i)
        if (!registerInput(job, i, s.fileNames[job.preparedOutputCount + i])) return false;
    if (job.queueState == kJobWaiting) {
        s.pushWaiting(job);
    } else {
        s.appendReady(job);
    }
    // Nothing to compare: such a job always runs.
    if (job.preparedInputCount == 0 || job.preparedOutputCount == 0) job.flags &= ~kJobCheckUpToDate;
    return true;
}

bool Selector::prepareAndQueue(Job& job) {
    if ((job.flags & kJobQueued) != 0) return true;
    return prepare(job) && queue(job);
}

bool Selector::visit(Project& project) {
    // A second visit could change nothing: every job it reaches is queued.
    if ((project.flags & kProjectVisited) != 0) return true;
    project.flags |= kProjectVisited;
    auto visitList = [this](const ProjectList& list) {
        for (void* const* entry = list.first; entry != list.end; ++entry) {
            const bool done = KindOf(*entry) == BlockKind::Job ? prepareAndQueue(*static_cast<Job*>(*entry))
                                                               : visit(*static_cast<Project*>(*entry));
            if (!done) return false;
        }
        return true;
    };
    if (!visitList(project.build)) return false;
    // Test jobs always run.
    const uint32_t saved = scheduler_.flags & JobScheduler::kCompareTimes;
    scheduler_.flags &= ~JobScheduler::kCompareTimes;
    const bool visited = visitList(project.test);
    scheduler_.flags |= saved;
    return visited;
}

}  // namespace

bool JobScheduler::Schedule(ParserContext& context, const char* jobName, bool compareTimes) {
    files.Init();
    records = ScriptArena::New();
    if (records == nullptr) return outOfMemory();
    if (compareTimes) flags |= kCompareTimes;

    const char* name = jobName != nullptr ? jobName : "main";
    void* record = context.blocks.Find(name);
    if (record == nullptr) return fail("The job {0} cannot be found", {{FormatString, name}});
    Selector selector(*this, context);
    switch (KindOf(record)) {
        case BlockKind::Job:
            // A job named directly always runs.
            flags &= ~kCompareTimes;
            return selector.prepareAndQueue(*static_cast<Job*>(record));
        case BlockKind::Project: {
            // Room for every file at once: the table is not rebuilt while it
            // fills. Without the room it grows as usual.
            const uint64_t lines = CountFileLines(*static_cast<Project*>(record));
            files.Reserve(lines < UINT32_MAX / 2 ? static_cast<uint32_t>(lines) : UINT32_MAX / 2);
            if (!selector.visit(*static_cast<Project*>(record))) return false;
            if (preparedCount == 0) return fail("The project {0} holds no job", {{FormatString, name}});
            return true;
        }
        default:
            return fail("{0} is not a job or project", {{FormatString, name}});
    }
}

Job* JobScheduler::TakeReadyJob() {
    Job* job = readyHead;
    if (job == nullptr) return nullptr;
    unlinkReady(*job);
    job->queueState = kJobTaken;
    return job;
}

void JobScheduler::Release() {
    for (uint32_t i = 0; i < preparedCount; ++i) {
        preparedJobs[i]->outputFiles = nullptr;  // in `records`
        DestroyJob(preparedJobs[i]);
    }
    std::free(preparedJobs);
    preparedJobs = nullptr;
    preparedCount = preparedCapacity = 0;
    readyHead = readyTail = waitingHead = nullptr;
    files.Destroy();
    if (records != nullptr) records->Drop();
    records = nullptr;
    neededHead = neededTail = nullptr;
    rootJob = nullptr;
    clearMessage();
    std::free(pathText);
    std::free(key);
    std::free(names);
    std::free(fileNames);
    pathText = key = names = nullptr;
    fileNames = nullptr;
    pathTextSize = keySize = namesSize = fileNameCapacity = 0;
    flags = 0;
}

// ---- Messages ------------------------------------------------------------------

void JobScheduler::clearMessage() {
    if ((flags & kMessageOwned) != 0) std::free(const_cast<char*>(message));
    message = nullptr;
    flags &= ~kMessageOwned;
}

bool JobScheduler::outOfMemory() {
    clearMessage();
    message = kSchedulerMemoryMessage;
    return false;
}

bool JobScheduler::fail(const char* format, std::initializer_list<FormatArg> args) {
    clearMessage();
    const uint32_t size = FormatText(nullptr, 0, format, args);
    char* text = static_cast<char*>(std::malloc(size));
    if (text == nullptr) return outOfMemory();
    FormatText(text, size, format, args);
    message = text;
    flags |= kMessageOwned;
    return false;
}

bool JobScheduler::appendMessageLine(const char* format, std::initializer_list<FormatArg> args) {
    if (message == nullptr) {
        fail(format, args);
        return message != kSchedulerMemoryMessage;
    }
    if ((flags & kMessageOwned) == 0) return outOfMemory();
    const size_t used = std::strlen(message);
    const uint32_t size = FormatText(nullptr, 0, format, args);
    char* text = static_cast<char*>(std::realloc(const_cast<char*>(message), used + 1 + size));
    if (text == nullptr) return outOfMemory();
    text[used] = '\n';
    FormatText(text + used + 1, size, format, args);
    message = text;
    return true;
}

// ---- Keys ----------------------------------------------------------------------

bool JobScheduler::reservePathText(uint64_t size) {
    return Reserve(pathText, pathTextSize, size) || outOfMemory();
}

namespace {

// Path::Render for what preparation leaves below a job root: relative
// components joined by the separator, copied without a call per piece.
// Anything else (a root of its own, UTF-16 text) renders as usual.
uint32_t RenderRelative(const Path& path, char* buffer, uint32_t room) {
    if ((path.flags & (kPathAbsolute | kPathDriveRoot | kPathUncRoot | kPathWide)) != 0 || path.separatorLength != 1) {
        return path.Render(buffer, room);
    }
    uint32_t length = 0;
    for (const PathComponent* c = path.first; c != nullptr; c = c->next) length += c->length + 1;
    if (length != 0) --length;
    if (length > room) return length;
    char* at = buffer;
    for (const PathComponent* c = path.first; c != nullptr; c = c->next) {
        if (c != path.first) *at++ = path.separator[0];
        for (uint32_t i = 0; i < c->length; ++i) at[i] = c->text[i];
        at += c->length;
    }
    return length;
}

}  // namespace

// The job root and its separator start pathText and key; they are rendered
// and folded once for all the paths of a job.
bool JobScheduler::renderPath(const Job& job, const Path& prepared) {
    if (rootJob != &job) {
        rootJob = nullptr;
        uint32_t length = RenderRootPrefix(job, pathText, pathTextSize, rootSeparatorLength);
        if (length >= pathTextSize) {
            if (!reservePathText(static_cast<uint64_t>(length) + 1)) return false;
            length = RenderRootPrefix(job, pathText, pathTextSize, rootSeparatorLength);
        }
        if (!Reserve(key, keySize, FoldedRoom(length) + 1)) return outOfMemory();
        rootTextLength = length;
        rootKeyLength = FoldCase(pathText, length, key);
        rootJob = &job;
    }
    if (NamesJobRoot(prepared)) {
        pathLength = rootTextLength - rootSeparatorLength;
    } else {
        const uint32_t room = pathTextSize - rootTextLength;
        uint32_t length = RenderRelative(prepared, pathText + rootTextLength, room);
        if (length >= room) {
            if (!reservePathText(static_cast<uint64_t>(rootTextLength) + length + 1)) return false;
            length = RenderRelative(prepared, pathText + rootTextLength, pathTextSize - rootTextLength);
        }
        pathLength = rootTextLength + length;
    }
    pathText[pathLength] = '\0';
    return true;
}

bool JobScheduler::buildKey() {
    rootJob = nullptr;  // the whole key is rebuilt
    if (!Reserve(key, keySize, FoldedRoom(pathLength) + 1)) return outOfMemory();
    keyLength = FoldCase(pathText, pathLength, key);
    key[keyLength] = '\0';
    return true;
}

// Only the part after the root prefix is folded; the prefix's key is kept.
bool JobScheduler::keyOf(const Job& job, const Path& prepared) {
    if (!renderPath(job, prepared)) return false;
    if (NamesJobRoot(prepared)) {
        keyLength = rootKeyLength - rootSeparatorLength;
    } else {
        const uint32_t rest = pathLength - rootTextLength;
        if (!Reserve(key, keySize, rootKeyLength + FoldedRoom(rest) + 1)) return outOfMemory();
        keyLength = rootKeyLength + FoldCase(pathText + rootTextLength, rest, key + rootKeyLength);
    }
    key[keyLength] = '\0';
    return true;
}

// ---- Queues --------------------------------------------------------------------

void JobScheduler::appendReady(Job& job) {
    job.queueState = kJobReady;
    job.queueNext = nullptr;
    job.queuePrevious = readyTail;
    if (readyTail != nullptr)
        readyTail->queueNext = &job;
    else
        readyHead = &job;
    readyTail = &job;
}

void JobScheduler::unlinkReady(Job& job) {
    if (job.queuePrevious != nullptr)
        job.queuePrevious->queueNext = job.queueNext;
    else
        readyHead = job.queueNext;
    if (job.queueNext != nullptr)
        job.queueNext->queuePrevious = job.queuePrevious;
    else
        readyTail = job.queuePrevious;
    job.queueNext = job.queuePrevious = nullptr;
}

void JobScheduler::pushWaiting(Job& job) {
    job.queueState = kJobWaiting;
    job.queuePrevious = nullptr;
    job.queueNext = waitingHead;
    if (waitingHead != nullptr) waitingHead->queuePrevious = &job;
    waitingHead = &job;
}

void JobScheduler::unlinkWaiting(Job& job) {
    if (job.queuePrevious != nullptr)
        job.queuePrevious->queueNext = job.queueNext;
    else
        waitingHead = job.queueNext;
    if (job.queueNext != nullptr) job.queueNext->queuePrevious = job.queuePrevious;
    job.queueNext = job.queuePrevious = nullptr;
}

}  // namespace kestrel
