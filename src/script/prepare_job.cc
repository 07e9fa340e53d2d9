#include "script/prepare_job.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "script/script_arena.h"

namespace kestrel {

// One allocation of path copies made by preparation; the job keeps a chain.
struct PreparedPaths {
    PreparedPaths* next;
    Path* paths;
    uint32_t count;
};

namespace {

// The texts of one kind of file, for the failures of preparation.
struct MessageSet {
    const char* normalize;  // {0}: the path as written
    const char* drive;      // {0}: the path, {1}: the job name
    const char* encoding;
    const char* absolute;  // {0}: the path, {1}: the base
};

constexpr MessageSet kInputMessages{
    "Cannot normalize input file {0}",
    "the input file {0} is from a different drive than job {1}",
    "the input file encoding is incorrect",
    "one of {0} and {1} inputs are absolute, while the other is not",
};
constexpr MessageSet kOutputMessages{
    "Cannot normalize output file {0}",
    "the output file {0} is from a different drive than job {1}",
    "the output file encoding is incorrect",
    "one of {0} and {1} outputs are absolute, while the other is not",
};
constexpr MessageSet kFailedOutputMessages{
    "Cannot normalize failed output file {0}",
    "the failed output file {0} is from a different drive than job {1}",
    "the failed output file encoding is incorrect",
    "one of {0} and {1} failed outputs are absolute, while the other is not",
};
constexpr MessageSet kParameterMessages{
    "Cannot normalize command parameter file {0}",
    "the command parameter {0} is from a different drive than job {1}",
    "the command parameter file encoding is incorrect",
    "one of {0} and {1} command parameters are absolute, while the other is not",
};

uint32_t FormatPath(const void* path, char* out, uint32_t room) {
    return static_cast<const Path*>(path)->Render(out, room);
}

uint32_t CountComponents(const PathComponent* from) {
    uint32_t count = 0;
    for (; from != nullptr; from = from->next) ++count;
    return count;
}

// Components that form the root (a drive, or a server and share).
uint32_t RootComponentCount(const Path& path) {
    uint32_t count = 0;
    for (const PathComponent* c = path.first; c != nullptr && c != path.RootEnd(); c = c->next) ++count;
    return count;
}

// The bytes of two components as unsigned bytes over their common length.
// Components are mostly a few bytes long: a plain loop beats a call.
inline int CompareBytes(const PathComponent* x, const PathComponent* y, uint32_t length) {
    const auto* a = reinterpret_cast<const unsigned char*>(x->text);
    const auto* b = reinterpret_cast<const unsigned char*>(y->text);
    if (length > 16) return std::memcmp(a, b, length);
    for (uint32_t i = 0; i < length; ++i)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

// Components of one job's files mostly point into the same directory text,
// so equal pointers settle many comparisons.
bool SameText(const PathComponent* x, const PathComponent* y) {
    return x->length == y->length && (x->text == y->text || CompareBytes(x, y, x->length) == 0);
}

// Leading components two paths share.
uint32_t SharedDepth(const Path& a, const Path& b) {
    uint32_t depth = 0;
    for (const PathComponent *x = a.first, *y = b.first; x != nullptr && y != nullptr && SameText(x, y);
         x = x->next, y = y->next) {
        ++depth;
    }
    return depth;
}

// Component by component, bytes unsigned; a component or path that is a
// proper prefix of the other is smaller.
int ComparePaths(const Path& a, const Path& b) {
    const PathComponent* x = a.first;
    const PathComponent* y = b.first;
    for (; x != nullptr && y != nullptr; x = x->next, y = y->next) {
        if (x->text == y->text && x->length == y->length) continue;
        const uint32_t shorter = x->length < y->length ? x->length : y->length;
        const int bytes = CompareBytes(x, y, shorter);
        if (bytes != 0) return bytes;
        if (x->length != y->length) return x->length < y->length ? -1 : 1;
    }
    if (x == nullptr && y == nullptr) return 0;
    return x == nullptr ? -1 : 1;
}

// Stable merge sort of pointers; the paths never move.
void MergeSort(Path** items, Path** scratch, uint32_t count) {
    if (count < 2) return;
    const uint32_t half = count / 2;
    MergeSort(items, scratch, half);
    MergeSort(items + half, scratch, count - half);
    uint32_t left = 0;
    uint32_t right = half;
    uint32_t out = 0;
    while (left < half && right < count) {
        scratch[out++] = ComparePaths(*items[right], *items[left]) < 0 ? items[right++] : items[left++];
    }
    while (left < half) scratch[out++] = items[left++];
    while (right < count) scratch[out++] = items[right++];
    std::memcpy(items, scratch, count * sizeof(Path*));
}

// One prepared list between sorting and rewriting: the normalized absolute
// paths (entries, or normalized copies of them) in their final order, and
// the paths they become relative to the job root.
struct PendingList {
    Path** sources = nullptr;
    Path* prepared = nullptr;
    uint32_t count = 0;
};

// Whether normalizing would change the path.
bool HasDotComponents(const Path& path) {
    if ((path.flags & kPathDotsKnown) != 0) return (path.flags & kPathHasDots) != 0;
    for (const PathComponent* c = path.RootEnd(); c != nullptr; c = c->next) {
        if (c->text[0] == '.' && (c->length == 1 || (c->length == 2 && c->text[1] == '.'))) return true;
    }
    return false;
}

class Preparer {
public:
    Preparer(Job& job, BlockMessage& message) : job_(job), message_(message) {}
    ~Preparer() {
        for (PendingList* list : {&inputs_, &outputs_, &failedOutputs_}) std::free(list->sources);
    }
    Preparer(const Preparer&) = delete;
    Preparer& operator=(const Preparer&) = delete;

    bool run();

private:
    bool outOfMemory() {
        message_.setStatic(kJobMemoryMessage);
        return false;
    }
    // Copies live as long as the job: their nodes come from its arena.
    const NodeAllocator* nodes() const { return job_.arena != nullptr ? job_.arena->Nodes() : nullptr; }
    bool fail(const char* pattern, std::initializer_list<FormatArg> args = {}) {
        message_.format(kJobMemoryMessage, pattern, args);
        return false;
    }

    void* take(size_t size);
    PreparedPaths* newStorage(uint32_t count);
    bool copyNormalized(const Path& source, Path& copy);
    bool failNormalize(const MessageSet& messages, const Path& entry);
    bool makeRelative(Path& path, const Path& base, const MessageSet& messages);
    bool prepareFiles(FileList& list, const MessageSet& messages, PendingList& pending, Path*& prepared,
                      uint32_t& count);
    bool prepareParameters();
    bool preparePathList(PathList& list);
    bool setTimeSlots();
    bool setRoot();
    bool rewriteFiles(const PendingList& pending, const MessageSet& messages);
    bool appendBelowRoot(const Path& source, Path& relative);
    bool appendComponent(Path& path, const char* text, uint32_t length);
    void include(const Path& path) {
        const uint32_t shared = SharedDepth(job_.rootDirectory, path);
        if (shared < depth_) depth_ = shared;
    }

    Job& job_;
    BlockMessage& message_;
    uint32_t depth_ = 0;  // components shared by the script directory and every file so far
    PendingList inputs_;
    PendingList outputs_;
    PendingList failedOutputs_;
    bool outOfMemory_ = false;  // set by appendComponent
};

// Everything preparation keeps lives as long as the job: it comes from the
// job's arena and is never freed on its own.
void* Preparer::take(size_t size) { return job_.arena->Take(size); }

PreparedPaths* Preparer::newStorage(uint32_t count) {
    static_assert(sizeof(PreparedPaths) % alignof(Path) == 0);
    auto* storage = static_cast<PreparedPaths*>(take(sizeof(PreparedPaths) + static_cast<size_t>(count) * sizeof(Path)));
    if (storage == nullptr) return nullptr;
    storage->paths = reinterpret_cast<Path*>(storage + 1);
    for (uint32_t i = 0; i < count; ++i) new (&storage->paths[i]) Path();
    storage->count = count;
    storage->next = job_.preparedStorage;
    job_.preparedStorage = storage;
    return storage;
}

// A copy over the source's text (which lives as long as the job), with its
// flags, base mark included. False when a node cannot be allocated.
bool Preparer::copyNormalized(const Path& source, Path& copy) {
    copy.allocator = nodes();
    copy.flags = source.flags & ~(kPathDotsKnown | kPathHasDots);
    copy.SetSeparator(source.separator, source.separatorLength);
    copy.text = source.text;
    for (const PathComponent* c = source.first; c != nullptr; c = c->next) {
        PathComponent* component = copy.NewComponent(c->text, c->length);
        if (component == nullptr) return false;
        copy.Append(component);
    }
    return true;
}

// The entry as written: without the script directory's leading components
// when it starts with them, else whole.
bool Preparer::failNormalize(const MessageSet& messages, const Path& entry) {
    const uint32_t directoryDepth = CountComponents(job_.rootDirectory.first);
    if (SharedDepth(job_.rootDirectory, entry) < directoryDepth) {
        return fail(messages.normalize, {{FormatPath, &entry}});
    }
    Path written;
    written.SetSeparator(entry.separator, entry.separatorLength);
    const PathComponent* c = entry.first;
    for (uint32_t i = 0; i < directoryDepth; ++i) c = c->next;
    for (; c != nullptr; c = c->next) {
        PathComponent* component = written.NewComponent(c->text, c->length);
        if (component == nullptr) {
            written.Release();
            return outOfMemory();
        }
        written.Append(component);
    }
    fail(messages.normalize, {{FormatPath, &written}});
    written.Release();
    return false;
}

bool Preparer::makeRelative(Path& path, const Path& base, const MessageSet& messages) {
    uint32_t reason = kRelativeNoMemory;
    if (path.MakeRelative(base, reason)) return true;
    switch (reason) {
        case kRelativeRootsDiffer:
            return fail(messages.drive, {{FormatPath, &path}, {FormatString, job_.name}});
        case kRelativeEncodingsDiffer:
            return fail(messages.encoding);
        case kRelativeAbsoluteness:
            return fail(messages.absolute, {{FormatPath, &path}, {FormatPath, &base}});
        default:
            return outOfMemory();
    }
}

bool Preparer::prepareFiles(FileList& list, const MessageSet& messages, PendingList& pending, Path*& prepared,
                            uint32_t& count) {
    prepared = nullptr;
    count = 0;
    if (list.count == 0) return true;
    // The list is complete: the room it grew into for more entries goes back.
    if (!list.entriesInArena && list.capacity > list.count + 1) {
        if (auto* trimmed = static_cast<Path*>(std::realloc(list.entries, (list.count + 1) * sizeof(Path)))) {
            list.entries = trimmed;
            list.capacity = list.count + 1;
        }
    }
    // An entry without "." or ".." is already normalized and is sorted as it
    // is; the others are normalized copies, one slot per entry.
    PreparedPaths* copies = nullptr;
    for (uint32_t i = 0; i < list.count && copies == nullptr; ++i) {
        if (!HasDotComponents(list.entries[i])) continue;
        copies = newStorage(list.count);
        if (copies == nullptr) return outOfMemory();
    }
    auto** order = static_cast<Path**>(std::malloc(2 * static_cast<size_t>(list.count) * sizeof(Path*)));
    if (order == nullptr) return outOfMemory();
    pending.sources = order;
    for (uint32_t i = 0; i < list.count; ++i) {
        if (copies == nullptr || !HasDotComponents(list.entries[i])) {
            order[i] = &list.entries[i];
            continue;
        }
        if (!copyNormalized(list.entries[i], copies->paths[i])) return outOfMemory();
        if (!copies->paths[i].Normalize()) return failNormalize(messages, list.entries[i]);
        order[i] = &copies->paths[i];
    }
    MergeSort(order, order + list.count, list.count);
    // Equal paths are adjacent; the first in script order stays.
    uint32_t kept = 0;
    for (uint32_t i = 0; i < list.count; ++i) {
        if (kept > 0 && ComparePaths(*order[kept - 1], *order[i]) == 0) continue;
        order[kept++] = order[i];
    }
    PreparedPaths* storage = newStorage(kept);
    list.prepared = static_cast<Path**>(take(static_cast<size_t>(kept) * sizeof(Path*)));
    if (storage == nullptr || list.prepared == nullptr) return outOfMemory();
    const Path* entries = list.entries;
    for (uint32_t i = 0; i < kept; ++i) {
        const bool isEntry = order[i] >= entries && order[i] < entries + list.count;
        list.prepared[i] = &list.entries[isEntry ? order[i] - entries : order[i] - copies->paths];
        include(*order[i]);
    }
    list.preparedEnd = list.prepared + kept;
    // Filled by rewriteFiles once the job root is known.
    pending.prepared = prepared = storage->paths;
    pending.count = count = kept;
    return true;
}

// Every path of the member, base entry included, relative to the script
// directory: the commands run there.
bool Preparer::preparePathList(PathList& list) {
    PreparedPaths* storage = newStorage(list.pathCount);
    list.prepared = static_cast<Path**>(take(static_cast<size_t>(list.pathCount) * sizeof(Path*)));
    if (storage == nullptr || list.prepared == nullptr) return outOfMemory();
    list.preparedEnd = list.prepared;
    for (uint32_t i = 0; i < list.pathCount; ++i) {
        Path& copy = storage->paths[i];
        if (!copyNormalized(list.paths[i], copy)) return outOfMemory();
        if (!copy.Normalize()) return fail(kParameterMessages.normalize, {{FormatPath, &list.paths[i]}});
        include(copy);
        if (!makeRelative(copy, job_.rootDirectory, kParameterMessages)) return false;
        *list.preparedEnd++ = &copy;
    }
    return true;
}

bool Preparer::prepareParameters() {
    for (const Command* command = job_.commands.commands; command != job_.commands.commandsEnd; ++command) {
        for (const ArgumentPart* part = command->parts; part != command->partsEnd; ++part) {
            if (part->reference == nullptr || (part->flags & kPartEnvironment) != 0) continue;
            void* member = job_.data.members.Find(part->reference);
            if (member == nullptr || MemberKindOf(member) != MemberKind::Paths) continue;
            auto& list = *static_cast<PathList*>(member);
            if (list.prepared != nullptr || list.pathCount == 0) continue;
            if (!preparePathList(list)) return false;
        }
    }
    return true;
}

bool Preparer::setTimeSlots() {
    const uint64_t slots = static_cast<uint64_t>(job_.preparedInputCount) + job_.preparedOutputCount;
    if (slots == 0) return true;
    job_.timeSlots = static_cast<int64_t*>(take(slots * sizeof(int64_t)));
    if (job_.timeSlots == nullptr) return outOfMemory();
    for (uint64_t i = 0; i < slots; ++i) job_.timeSlots[i] = -1;
    job_.outputSlots = job_.timeSlots + job_.preparedInputCount;
    return true;
}

// Cuts the script directory down to the job root; the rest becomes the
// relative directory. Both keep pointing into directoryText.
bool Preparer::setRoot() {
    // A root never ends inside a drive or share: a file on another one
    // fails below with its own message rather than giving a wrong root.
    const uint32_t rootComponents = RootComponentCount(job_.rootDirectory);
    if (depth_ < rootComponents) depth_ = rootComponents;
    Path& root = job_.rootDirectory;
    Path& relative = job_.relativeDirectory;
    relative.SetSeparator(root.separator, root.separatorLength);
    relative.text = root.text;
    PathComponent* last = nullptr;
    PathComponent* c = root.first;
    for (uint32_t i = 0; i < depth_; ++i, c = c->next) last = c;
    for (const PathComponent* rest = c; rest != nullptr; rest = rest->next) {
        PathComponent* component = relative.NewComponent(rest->text, rest->length);
        if (component == nullptr) return outOfMemory();
        relative.Append(component);
    }
    // The cut components stay on the root's allocation chain until it is released.
    if (last != nullptr) {
        last->next = nullptr;
    } else {
        root.first = nullptr;
    }
    root.last = last;
    job_.rootDepth = depth_;
    return true;
}

// Below the root the relative path is the source's own components after
// the root: the prepared path takes them over as a view (it owns no node, and
// the source, an entry or a normalized copy, lives as long as the job). The
// root itself becomes ".". True also when the node for "." could not be
// allocated (outOfMemory_ says so). Anywhere else (another drive, another
// kind of root) false: the general rewrite gives the reason.
bool Preparer::appendBelowRoot(const Path& source, Path& relative) {
    constexpr uint32_t kRootFlags = kPathWide | kPathAbsolute | kPathDriveRoot | kPathUncRoot;
    const Path& root = job_.rootDirectory;
    if ((source.flags & kRootFlags) != (root.flags & kRootFlags)) return false;
    if (SharedDepth(source, root) != job_.rootDepth) return false;
    PathComponent* rest = source.first;
    for (uint32_t i = 0; i < job_.rootDepth; ++i) rest = rest->next;
    relative.allocator = nodes();
    relative.flags = source.flags & ~(kPathAbsolute | kPathDriveRoot | kPathUncRoot);
    relative.SetSeparator(source.separator, source.separatorLength);
    relative.text = source.text;
    if (rest == nullptr) {
        appendComponent(relative, ".", 1);
        return true;
    }
    relative.first = rest;
    relative.last = source.last;
    return true;
}

bool Preparer::appendComponent(Path& path, const char* text, uint32_t length) {
    PathComponent* component = path.NewComponent(text, length);
    if (component == nullptr) {
        outOfMemory_ = true;
        return false;
    }
    path.Append(component);
    return true;
}

bool Preparer::rewriteFiles(const PendingList& pending, const MessageSet& messages) {
    for (uint32_t i = 0; i < pending.count; ++i) {
        const Path& source = *pending.sources[i];
        Path& relative = pending.prepared[i];
        if (appendBelowRoot(source, relative)) {
            if (outOfMemory_) return outOfMemory();
            continue;
        }
        if (!copyNormalized(source, relative)) return outOfMemory();
        if (!makeRelative(relative, job_.rootDirectory, messages)) return false;
    }
    return true;
}

bool Preparer::run() {
    if (job_.directoryText == nullptr) return fail("INTERNAL ERROR: Job block not completed (52183)");
    depth_ = CountComponents(job_.rootDirectory.first);
    return prepareFiles(job_.inputs, kInputMessages, inputs_, job_.preparedInputs, job_.preparedInputCount) &&
           prepareFiles(job_.outputs, kOutputMessages, outputs_, job_.preparedOutputs, job_.preparedOutputCount) &&
           prepareFiles(job_.failedOutputs, kFailedOutputMessages, failedOutputs_, job_.preparedFailedOutputs,
                        job_.preparedFailedOutputCount) &&
           setTimeSlots() && prepareParameters() && setRoot() && rewriteFiles(inputs_, kInputMessages) &&
           rewriteFiles(outputs_, kOutputMessages) && rewriteFiles(failedOutputs_, kFailedOutputMessages);
}

}  // namespace

bool prepareJob(Job& job, BlockMessage& message) {
    if (job.preparation == kPrepared) return true;
    if (job.preparation == kPreparationFailed) {
        message.setStatic("INTERNAL ERROR: Job prepared again after a failure (52184)");
        return false;
    }
    const bool prepared = Preparer(job, message).run();
    job.preparation = prepared ? kPrepared : kPreparationFailed;
    return prepared;
}

bool NamesJobRoot(const Path& prepared) {
    // A relative path of "." names the root itself.
    return prepared.first == nullptr ||
           (prepared.first == prepared.last && prepared.first->length == 1 && prepared.first->text[0] == '.');
}

uint32_t RenderRootPrefix(const Job& job, char* buffer, uint32_t room, uint32_t& separatorLength) {
    const Path& root = job.rootDirectory;
    const uint32_t length = root.Render(buffer, room);
    // A bare root ("/", "C:/") already ends with its separator.
    const bool rootEndsWithSeparator = root.RootEnd() == nullptr && (root.flags & kPathAbsolute) != 0;
    separatorLength = rootEndsWithSeparator ? 0 : root.separatorLength;
    if (separatorLength != 0 && static_cast<uint64_t>(length) + separatorLength <= room) {
        std::memcpy(buffer + length, root.separator, separatorLength);
    }
    return length + separatorLength;
}

uint32_t RenderPreparedPath(const Job& job, const Path& prepared, char* buffer, uint32_t room) {
    uint32_t separatorLength = 0;
    const uint32_t length = RenderRootPrefix(job, buffer, room, separatorLength);
    if (NamesJobRoot(prepared)) return length - separatorLength;
    const uint32_t left = length < room ? room - length : 0;
    return length + prepared.Render(left > 0 ? buffer + length : nullptr, left);
}

// The memory itself belongs to the job's arena.
void ReleasePreparation(Job& job) {
    // Prepared paths own no text, and their nodes, where they have any of
    // their own, are the arena's too: nothing to give back path by path.
    job.preparedStorage = nullptr;
    for (FileList* list : {&job.inputs, &job.outputs, &job.failedOutputs}) list->prepared = list->preparedEnd = nullptr;
    for (uint32_t i = 0; i < job.data.declaredCount; ++i) {
        void* member = job.data.declared[i].member;
        if (MemberKindOf(member) != MemberKind::Paths) continue;
        auto& list = *static_cast<PathList*>(member);
        list.prepared = list.preparedEnd = nullptr;
    }
    job.timeSlots = job.outputSlots = nullptr;
    job.preparedInputs = job.preparedOutputs = job.preparedFailedOutputs = nullptr;
    job.preparedInputCount = job.preparedOutputCount = job.preparedFailedOutputCount = 0;
}

}  // namespace kestrel
