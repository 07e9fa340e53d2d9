// The path model: a path is a doubly linked list of components that point
// into a text buffer, with flags for the kind of root. Paths are split once,
// normalised once, compared component by component, made relative to a job
// root and rendered back with the separator of the machine that reads them.
// Drive (C:), UNC (\\server\share) and long-path (\\?\) roots are recognised
// whatever the host, since scripts and remote machines may use them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/native_paths.h"
#include "runtime/segment_pool.h"

namespace kestrel {

inline constexpr uint32_t kPathAbsolute = 1;
inline constexpr uint32_t kPathWide = 2;  // components are UTF-16 text, two bytes a unit
inline constexpr uint32_t kPathDriveRoot = 4;
inline constexpr uint32_t kPathUncRoot = 8;

// Separator of local paths on this system.
inline constexpr char kNativeSeparator = platform::kPathSeparator;

// Why MakeRelative failed.
enum PathRelativeReason : uint32_t {
    kRelativeRootsDiffer = 0,    // different drives or shares
    kRelativeEncodingsDiffer = 1,  // one path is UTF-16 and the other is not
    kRelativeAbsoluteness = 2,   // one path is absolute and the other is not
    kRelativeNoMemory = 3,
};

// One 48-byte node (a SegmentPool node, or one from the caller's allocator).
// The first and sixth words are where the segment pool keeps its own links.
struct PathComponent {
    PathComponent* chainLink;  // allocation chain of the owning path
    PathComponent* next;
    PathComponent* previous;
    const char* text;          // not terminated; UTF-16 units for a wide path
    uint32_t length;           // in bytes, never 0
    const void* block;         // owning pool block, set by the allocator
};
static_assert(sizeof(PathComponent) == kSegmentNodeSize);
static_assert(offsetof(PathComponent, block) == kSegmentBlockOffset);

// Where a path's nodes come from. `release` may be null when nodes live as
// long as the allocator's own memory (an arena freed as a whole).
struct NodeAllocator {
    void* (*allocate)(void* context);
    void (*release)(void* context, void* node);
    void* context;
};


struct Path {
    PathComponent* chainHead = nullptr;  // every node of the path, in allocation order
    PathComponent* chainTail = nullptr;
    PathComponent* first = nullptr;
    PathComponent* last = nullptr;
    const char* text = nullptr;          // the buffer the components point into
    uint32_t flags = 0;
    char separator[2] = {kNativeSeparator, 0};
    uint32_t separatorLength = 1;
    const NodeAllocator* allocator = nullptr;  // null: the process-wide segment pool
    bool ownsText = false;                     // Release frees `text`

    // Splits `length` bytes on any byte of `separators` (NUL-terminated) and
    // appends the components; clears the drive and UNC flags first. A leading
    // separator marks the path absolute, consecutive separators collapse and
    // a trailing one adds nothing. False only when a node cannot be
    // allocated; the components made so far stay. The separator becomes the
    // native one.
    bool SetFromText(const char* text, uint32_t length, const char* separators,
                     const NodeAllocator* nodes = nullptr);
    // The same over `units` UTF-16 units and a NUL-terminated table of
    // separator units; sets the UTF-16 flag and a two-byte separator.
    bool SetFromText(const char16_t* text, uint32_t units, const char16_t* separators,
                     const NodeAllocator* nodes = nullptr);

    // The first component after the root, or null.
    PathComponent* RootEnd() const;
    // Resolves "." and ".."; false when the path points above its root.
    bool Normalize();
    // Inserts `component` directly after a drive or UNC root, else at the
    // front, and adds it to the allocation chain.
    void Prepend(PathComponent* component);
    // Adds `component` at the end and to the allocation chain.
    void Append(PathComponent* component);
    // A node from the path's allocator over `text`, not yet in the path
    // (Prepend or Append it); null when the allocator fails.
    PathComponent* NewComponent(const char* text, uint32_t length);
    // Rewrites the path relative to `base`; on failure `reason` says why and
    // the path is unchanged.
    bool MakeRelative(const Path& base, uint32_t& reason);
    // Writes the text of the path piece by piece, each only when it fits
    // entirely in `room`; no terminator. Returns the full length in bytes.
    uint32_t Render(char* buffer, uint32_t room) const;
    // Gives every node back to its allocator (and frees an owned text); the
    // path is empty afterwards.
    void Release();

    bool IsWide() const { return (flags & kPathWide) != 0; }
    void SetSeparator(const char* bytes, uint32_t length);
};

// Byte-for-byte equality of two components.
bool SameComponent(const PathComponent* a, const PathComponent* b);

// The working directory as an absolute path that owns its text, split on the
// native separator. On failure `error` is the system's code, or
// kErrorNotEnoughMemory (8) when memory ran out.
bool CurrentDirectoryPath(Path& path, int& error);

}  // namespace kestrel
