#include "script/objects.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "script/script_arena.h"
#include "script/script_paths.h"
#include "runtime/growing_array.h"

namespace kestrel {

namespace {

// Most members hold one short value.
constexpr uint32_t kValueListMinimum = 64;
constexpr uint32_t kValueListExtra = 34;
// The base entry and the first path; the text and nodes come from the arena.
constexpr uint32_t kPathListFirstPaths = 2;
// Most jobs list a few files; an empty list allocates nothing.
constexpr uint32_t kFileListFirstEntries = 2;
constexpr uint32_t kMachineFirstPaths = 5;
constexpr uint32_t kFirstDeclaredMembers = 4;

void FreeEntryKey(NameTableEntry* entry) { std::free(const_cast<char*>(entry->key)); }

// Room for `length` bytes of path text.
char* TakeText(PathList& list, uint32_t length) { return list.arena->NewText(length); }

// A free slot at the end of the path array; null when it cannot grow.
Path* TakePathSlot(PathList& list) {
    // Paths are plain records (components never point back), so they move as bytes.
    if (!RoomForOneMore(list.paths, list.pathCount, list.pathCapacity, kPathListFirstPaths)) return nullptr;
    Path* slot = &list.paths[list.pathCount];
    new (slot) Path();
    slot->allocator = list.arena->Nodes();
    return slot;
}

}  // namespace

// ---- ValueList -------------------------------------------------------------

ValueList* NewValueList(uint32_t firstValueLength) {
    auto* list = new (std::nothrow) ValueList();
    if (list == nullptr) return nullptr;
    uint64_t size = static_cast<uint64_t>(firstValueLength) + kValueListExtra;
    if (size < kValueListMinimum) size = kValueListMinimum;
    list->start = static_cast<char*>(std::malloc(size));
    if (list->start == nullptr) {
        delete list;
        return nullptr;
    }
    list->end = list->start;
    list->limit = list->start + size;
    *list->end = '\0';
    return list;
}

bool AppendTerminatedString(char*& start, char*& end, char*& limit, const char* text, uint32_t length,
                            size_t firstSize) {
    const size_t used = static_cast<size_t>(end - start);
    const size_t needed = used + length + 2;  // the text's NUL and the extra NUL
    const size_t size = static_cast<size_t>(limit - start);
    if (needed > size) {
        size_t grownSize = start == nullptr ? firstSize : 2 * size;
        if (grownSize < needed) grownSize = needed;
        char* grown = static_cast<char*>(std::realloc(start, grownSize));
        if (grown == nullptr) return false;
        start = grown;
        end = grown + used;
        limit = grown + grownSize;
    }
    std::memcpy(end, text, length);
    end[length] = '\0';
    end += length + 1;
    *end = '\0';
    return true;
}

bool AppendValue(ValueList& list, const char* value, uint32_t length) {
    return AppendTerminatedString(list.start, list.end, list.limit, value, length);
}

bool AppendValues(ValueList& list, const ValueList& source) {
    for (const char* value = source.start; value < source.end; value += std::strlen(value) + 1) {
        if (!AppendValue(list, value, static_cast<uint32_t>(std::strlen(value)))) return false;
    }
    return true;
}

void DestroyValueList(ValueList* list) {
    if (list == nullptr) return;
    std::free(list->start);
    delete list;
}

// ---- PathList --------------------------------------------------------------

PathList* NewPathList(const Path& baseDirectory, ScriptArena& arena) {
    auto* list = new (std::nothrow) PathList();
    if (list == nullptr) return nullptr;
    list->arena = &arena;
    Path* slot = TakePathSlot(*list);
    const uint32_t length = baseDirectory.Render(nullptr, 0);
    char* text = slot != nullptr ? TakeText(*list, length) : nullptr;
    if (text != nullptr) baseDirectory.Render(text, length);
    const bool ok = text != nullptr && SplitNativePath(*slot, text, length);
    if (!ok) {
        DestroyPathList(list);
        return nullptr;
    }
    slot->flags |= kPathBaseEntry;
    list->pathCount = 1;
    return list;
}

PathAppendResult AppendRelativePath(PathList& list, const char* text, uint32_t length) {
    const Path& base = list.paths[0];
    const uint32_t baseLength = base.Render(nullptr, 0);
    // The base entry's text followed by the relative text, in the list's text area.
    char* joined = TakeText(list, baseLength + 1 + length);
    if (joined == nullptr) return PathAppendResult::NoMemory;
    base.Render(joined, baseLength);
    joined[baseLength] = kNativeSeparator;
    std::memcpy(joined + baseLength + 1, text, length);
    Path* slot = TakePathSlot(list);
    if (slot == nullptr) return PathAppendResult::NoMemory;
    if (!SplitNativePath(*slot, joined, baseLength) ||
        !AppendScriptComponents(*slot, joined + baseLength + 1, length)) {
        slot->Release();
        return PathAppendResult::NoMemory;
    }
    if (!slot->Normalize()) {
        slot->Release();
        return PathAppendResult::AboveRoot;
    }
    ++list.pathCount;
    return PathAppendResult::Appended;
}

PathAppendResult AppendPathCopy(PathList& list, const Path& path, bool keepFlags) {
    const uint32_t length = path.Render(nullptr, 0);
    char* text = TakeText(list, length);
    if (text == nullptr) return PathAppendResult::NoMemory;
    path.Render(text, length);
    Path* slot = TakePathSlot(list);
    if (slot == nullptr) return PathAppendResult::NoMemory;
    if (!SplitNativePath(*slot, text, length)) {
        slot->Release();
        return PathAppendResult::NoMemory;
    }
    if (!slot->Normalize()) {
        slot->Release();
        return PathAppendResult::AboveRoot;
    }
    if (keepFlags) slot->flags |= path.flags & kPathBaseEntry;
    ++list.pathCount;
    return PathAppendResult::Appended;
}

void DestroyPathList(PathList* list) {
    if (list == nullptr) return;
    for (uint32_t i = 0; i < list->pathCount; ++i) list->paths[i].Release();
    std::free(list->paths);
    // `prepared` is in the arena of the job that prepared the list.
    delete list;
}

void DestroyMember(void* member) {
    if (member == nullptr) return;
    if (MemberKindOf(member) == MemberKind::Values) {
        DestroyValueList(static_cast<ValueList*>(member));
    } else {
        DestroyPathList(static_cast<PathList*>(member));
    }
}

// A member whose name is in the arena.
void DestroyArenaNamedMember(NameTableEntry* entry) { DestroyMember(entry->value); }

void DestroyMemberEntry(NameTableEntry* entry) {
    DestroyMember(entry->value);
    FreeEntryKey(entry);
}

// ---- DataBlock -------------------------------------------------------------

DataBlock* NewDataBlock(ScriptArena* arena) {
    auto* block = new (std::nothrow) DataBlock();
    if (block != nullptr) block->arena = arena;
    return block;
}

bool AddMember(DataBlock& block, const char* name, uint32_t length, void* member) {
    if (!RoomForOneMore(block.declared, block.declaredCount, block.declaredCapacity, kFirstDeclaredMembers)) return false;
    char* key = block.arena != nullptr ? block.arena->CopyText(name, length) : CopyText(name, length);
    if (key == nullptr) return false;
    if (!block.members.Insert(key, member, block.arena != nullptr ? DestroyArenaNamedMember : DestroyMemberEntry)) {
        if (block.arena == nullptr) std::free(key);
        return false;
    }
    // The key belongs to the table entry, which lives as long as the block.
    block.declared[block.declaredCount++] = DeclaredMember{key, member};
    return true;
}

void ReleaseMembers(DataBlock& block) {
    block.members.Destroy();
    std::free(block.declared);
    block.declared = nullptr;
    block.declaredCount = block.declaredCapacity = 0;
}

void DestroyDataBlock(DataBlock* block) {
    if (block == nullptr) return;
    ReleaseMembers(*block);
    delete block;
}

void DestroyDataBlockEntry(NameTableEntry* entry) {
    DestroyDataBlock(static_cast<DataBlock*>(entry->value));
    FreeEntryKey(entry);
}

// ---- FileList --------------------------------------------------------------

FileList* NewFileList() { return new (std::nothrow) FileList(); }

bool AppendFileEntry(FileList& list, Path& entry) {
    // Doubled whenever an append would leave no free slot.
    if (list.count + 1 >= list.capacity) {
        const uint64_t capacity = list.capacity == 0 ? kFileListFirstEntries : 2ull * list.capacity;
        if (capacity > UINT32_MAX / sizeof(Path)) return false;
        // An array in the arena cannot grow in place: it moves to the heap.
        Path* old = list.entriesInArena ? list.entries : nullptr;
        auto* grown = static_cast<Path*>(std::realloc(old != nullptr ? nullptr : list.entries, capacity * sizeof(Path)));
        if (grown == nullptr) return false;
        if (old != nullptr) std::memcpy(static_cast<void*>(grown), old, list.count * sizeof(Path));
        list.entries = grown;
        list.entriesInArena = false;
        list.capacity = static_cast<uint32_t>(capacity);
    }
    new (&list.entries[list.count]) Path(entry);
    entry = Path{};
    ++list.count;
    return true;
}

void ReleaseFileListEntries(FileList& list) {
    // Entries with their texts and nodes in the arena give nothing back here.
    for (uint32_t i = 0; i < list.count; ++i) list.entries[i].Release();
    if (!list.entriesInArena) std::free(list.entries);
    // `prepared` is in the arena of the job that prepared the list.
    list.entries = nullptr;
    list.entriesInArena = false;
    list.prepared = list.preparedEnd = nullptr;
    list.count = list.capacity = 0;
}

void DestroyFileList(FileList* list) {
    if (list == nullptr) return;
    ReleaseFileListEntries(*list);
    delete list;
}

void DestroyFileListEntry(NameTableEntry* entry) {
    DestroyFileList(static_cast<FileList*>(entry->value));
    FreeEntryKey(entry);
}

// ---- Machines --------------------------------------------------------------

Hop* NewHop(const char* prefix, const char* text, uint32_t textLength, const char* suffix, const char* host,
            uint32_t hostLength, HopProtocol protocol, uint16_t port) {
    const size_t prefixLength = std::strlen(prefix);
    const size_t suffixLength = std::strlen(suffix);
    const size_t urlLength = prefixLength + textLength + suffixLength;
    const size_t size = sizeof(Hop) + urlLength + 1 + hostLength + 1;
    void* memory = std::malloc(size);
    if (memory == nullptr) return nullptr;
    auto* hop = static_cast<Hop*>(memory);
    char* url = reinterpret_cast<char*>(hop + 1);
    std::memcpy(url, prefix, prefixLength);
    std::memcpy(url + prefixLength, text, textLength);
    std::memcpy(url + prefixLength + textLength, suffix, suffixLength);
    url[urlLength] = '\0';
    char* hostText = url + urlLength + 1;
    std::memcpy(hostText, host, hostLength);
    hostText[hostLength] = '\0';
    hop->url = url;
    hop->host = hostText;
    hop->next = nullptr;
    hop->protocol = protocol;
    hop->port = port;
    return hop;
}

void DestroyHops(Hop* first) {
    while (first != nullptr) {
        Hop* next = first->next;
        std::free(first);
        first = next;
    }
}

Machine* NewMachine(const char* name, uint32_t length) {
    auto* machine = new (std::nothrow) Machine();
    if (machine == nullptr) return nullptr;
    machine->name = CopyText(name, length);
    machine->first = new (std::nothrow) MachinePath[kMachineFirstPaths];
    if (machine->name == nullptr || machine->first == nullptr) {
        DestroyMachine(machine);
        return nullptr;
    }
    machine->end = machine->first;
    machine->limit = machine->first + kMachineFirstPaths;
    return machine;
}

MachinePath* AppendMachinePath(Machine& machine) {
    if (machine.end == machine.limit) {
        const size_t count = machine.pathCount();
        const size_t capacity = count * 2;
        auto* grown = new (std::nothrow) MachinePath[capacity];
        if (grown == nullptr) return nullptr;
        for (size_t i = 0; i < count; ++i) grown[i] = machine.first[i];
        delete[] machine.first;
        machine.first = grown;
        machine.end = grown + count;
        machine.limit = grown + capacity;
    }
    MachinePath* path = machine.end++;
    *path = MachinePath{};
    path->machineName = machine.name;
    return path;
}

void DestroyMachine(Machine* machine) {
    if (machine == nullptr) return;
    for (MachinePath* path = machine->first; path != machine->end; ++path) {
        if (path->releaseConnection != nullptr) path->releaseConnection(*path);
        DestroyHops(path->hops);
    }
    delete[] machine->first;
    std::free(machine->name);
    delete machine;
}

void DestroyMachineEntry(NameTableEntry* entry) {
    DestroyMachine(static_cast<Machine*>(entry->value));
    FreeEntryKey(entry);
}

}  // namespace kestrel
