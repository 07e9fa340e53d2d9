// Archive member names come from another machine. Before anything is created
// from one, it must be a relative path that stays inside the extraction root.
//
// Both extraction paths use this: the paxgz reader checks every entry before
// its create operation runs, and whoever resolves a name received any other
// way (an output path asked for over the wire) calls CheckEntryPath itself.
// ExtractionRoot then creates the files and directories without following
// symbolic links.
#pragma once

#include <cstdint>

#include "archive/archive_memory.h"
#include "platform/files.h"
#include "platform/handles.h"

namespace kestrel {

enum class UnsafePath : uint8_t {
    kNone = 0,
    kAbsolute,      // starts with a separator (or a backslash)
    kDriveRoot,     // first component is a drive: "C:", "c:name"
    kUncRoot,       // starts with two separators (or two backslashes)
    kAboveRoot,     // ".." climbs above the extraction root
    kBadComponent,  // a component holds NUL or '/', or is not whole UTF-16 units; where the
                    // system has device rules also '\\', ':', a device name or a trailing dot
    kEmpty,         // nothing left after normalization (allowed only where said)
};

const char* UnsafePathText(UnsafePath problem);

struct PathComponentView {
    const uint8_t* bytes;
    uint32_t length;  // bytes (two per unit in UTF-16 text)
};

// A growable array of components pointing into text owned by someone else.
class ComponentList {
public:
    ComponentList() = default;
    ~ComponentList() { FreeArchiveBuffer(storage_); }
    ComponentList(const ComponentList&) = delete;
    ComponentList& operator=(const ComponentList&) = delete;

    bool Append(const uint8_t* bytes, uint32_t length);  // false: out of memory
    void Clear() { count_ = 0; }
    void Truncate(uint32_t count) { count_ = count < count_ ? count : count_; }
    uint32_t Count() const { return count_; }
    PathComponentView* Items() { return reinterpret_cast<PathComponentView*>(storage_.data); }
    const PathComponentView* Items() const { return reinterpret_cast<const PathComponentView*>(storage_.data); }

private:
    ArchiveBuffer storage_{};
    uint32_t count_ = 0;
};

// Splits `length` bytes of `text` at every occurrence of `separator` (aligned
// to whole 16-bit units in UTF-16 text) and appends the non-empty components.
// `leadingSeparators` receives how many separators came before the first
// component. False only when memory ran out.
bool SplitPathText(const uint8_t* text, uint32_t length, const uint8_t* separator, uint32_t separatorLength,
                   bool utf16, ComponentList& list, uint32_t& leadingSeparators);

// The shared check. `leadingSeparators` is what SplitPathText reported for the
// path's first piece. On success the list is normalized in place: "." removed,
// "name/.." pairs removed. An empty result is refused unless `allowEmpty`.
UnsafePath CheckEntryPath(ComponentList& list, uint32_t leadingSeparators, bool utf16, bool allowEmpty);

// Split and check one text in a single call (for names that arrive whole).
// `outOfMemory` tells a failed split apart from a refusal (then kBadComponent).
UnsafePath CheckPathText(const uint8_t* text, uint32_t length, const uint8_t* separator, uint32_t separatorLength,
                         bool utf16, bool allowEmpty, ComponentList& list, bool& outOfMemory);

// Creates what an archive entry names beneath one directory, component by
// component relative to the directory opened last (platform/files.h): a
// symbolic link met on the way (planted by an earlier entry or already on
// disk) is an error, never followed. Failures give the system's code.
class ExtractionRoot {
public:
    ExtractionRoot() = default;
    ~ExtractionRoot() { Close(); }
    ExtractionRoot(const ExtractionRoot&) = delete;
    ExtractionRoot& operator=(const ExtractionRoot&) = delete;

    bool Open(const char* directory, int& error);
    void Close();

    // Every component as a directory; existing directories are kept.
    bool MakeDirectories(const PathComponentView* components, uint32_t count, bool utf16, int& error);

    // The parent directories, then a new empty file for writing in place of
    // whatever non-directory the last component named. `file` is the caller's.
    // `permissions`: see platform::CreateChildFile.
    bool CreateFile(const PathComponentView* components, uint32_t count, bool utf16, platform::FileHandle& file,
                    int& error, uint32_t permissions = platform::kDefaultFilePermissions);

private:
    // Opens (creating them) the directories beneath the root; `reached` is
    // the last, or the root itself when `count` is 0.
    bool WalkDirectories(const PathComponentView* components, uint32_t count, bool utf16,
                         platform::FileHandle& reached, int& error);
    bool OpenParent(const PathComponentView* components, uint32_t count, bool utf16, platform::FileHandle& parent,
                    int& error);
    void ForgetCachedParent();

    platform::FileHandle root_;
    // The directory of the last file created: consecutive files of one
    // directory are the common case.
    platform::FileHandle cachedParent_;
    char cachedKey_[4096];
    uint32_t cachedKeyLength_ = 0;
};

// UTF-16LE component to a NUL-terminated UTF-8 name. False for unpaired
// surrogates (platform::kErrorIllegalSequence in `error`) or names over
// `room` - 1 bytes (platform::kErrorNameTooLong).
bool ComponentToUtf8(const PathComponentView& component, bool utf16, char* out, uint32_t room, uint32_t& length,
                     int& error);

}  // namespace kestrel
