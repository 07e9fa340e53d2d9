#include "runtime/path.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/process.h"
#include "runtime/error_codes.h"

namespace kestrel {

namespace {

const char kDotDot[] = "..";
const char16_t kWideDotDot[] = u"..";

void ReleaseToPool(void*, void* node) { SegmentPool::Free(node); }

const NodeAllocator kProcessNodes{
    [](void*) { return ProcessSegmentPool().Allocate(); },
    ReleaseToPool,
    nullptr,
};

// Unit `index` of a component; UTF-16 text may sit at any byte address.
uint32_t UnitAt(const PathComponent* component, uint32_t index, bool wide) {
    if (!wide) return static_cast<unsigned char>(component->text[index]);
    char16_t unit;
    std::memcpy(&unit, component->text + 2 * index, sizeof unit);
    return unit;
}

uint32_t UnitCount(const PathComponent* component, bool wide) {
    return wide ? component->length / 2 : component->length;
}

bool IsDot(const PathComponent* c, bool wide) { return UnitCount(c, wide) == 1 && UnitAt(c, 0, wide) == '.'; }

bool IsDotDot(const PathComponent* c, bool wide) {
    return UnitCount(c, wide) == 2 && UnitAt(c, 0, wide) == '.' && UnitAt(c, 1, wide) == '.';
}

bool IsQuestionMark(const PathComponent* c, bool wide) {
    return UnitCount(c, wide) == 1 && UnitAt(c, 0, wide) == '?';
}

bool IsDrive(const PathComponent* c, bool wide) { return UnitCount(c, wide) == 2 && UnitAt(c, 1, wide) == ':'; }

PathComponent* Skip(PathComponent* component, uint32_t count) {
    while (component != nullptr && count-- > 0) component = component->next;
    return component;
}

// How many leading components form the root: the drive; server and share;
// or, behind a long-path prefix, "?" and the drive, or "?", "UNC", server and share.
uint32_t RootComponentCount(const Path& path) {
    if ((path.flags & (kPathDriveRoot | kPathUncRoot)) == 0 || path.first == nullptr) return 0;
    const bool wide = path.IsWide();
    if (IsQuestionMark(path.first, wide)) {
        if (path.first->next != nullptr && IsDrive(path.first->next, wide)) return 2;
        if ((path.flags & kPathUncRoot) != 0) return 4;
    }
    return (path.flags & kPathUncRoot) != 0 ? 2 : 1;
}

void Unlink(Path& path, PathComponent* component) {
    if (component->previous != nullptr)
        component->previous->next = component->next;
    else
        path.first = component->next;
    if (component->next != nullptr)
        component->next->previous = component->previous;
    else
        path.last = component->previous;
    component->next = component->previous = nullptr;
}

void AddToChain(Path& path, PathComponent* component) {
    component->chainLink = nullptr;
    if (path.chainTail != nullptr)
        path.chainTail->chainLink = component;
    else
        path.chainHead = component;
    path.chainTail = component;
}

// Links `component` into the list after `after`, or at the front when null.
void InsertAfter(Path& path, PathComponent* after, PathComponent* component) {
    component->previous = after;
    component->next = after != nullptr ? after->next : path.first;
    if (component->next != nullptr)
        component->next->previous = component;
    else
        path.last = component;
    if (after != nullptr)
        after->next = component;
    else
        path.first = component;
}

template <typename Unit>
bool IsSeparator(Unit unit, const Unit* separators) {
    for (const Unit* s = separators; *s != 0; ++s)
        if (*s == unit) return true;
    return false;
}

// One pass over the text. A component is opened at its first non-separator
// unit, so consecutive, leading and trailing separators never make empty ones.
template <typename Unit>
bool Split(Path& path, const Unit* text, uint32_t count, const Unit* separators) {
    constexpr uint32_t kUnit = sizeof(Unit);
    path.flags &= ~(kPathDriveRoot | kPathUncRoot);
    path.text = reinterpret_cast<const char*>(text);
    const bool uncPrefix = count >= 2 && text[0] == Unit('\\') && text[1] == Unit('\\');
    PathComponent* open = nullptr;
    bool closedAny = false;
    for (uint32_t i = 0; i < count; ++i) {
        if (!IsSeparator(text[i], separators)) {
            if (open == nullptr) {
                open = path.NewComponent(reinterpret_cast<const char*>(text + i), 0);
                if (open == nullptr) return false;
                path.Append(open);
            }
            open->length += kUnit;
            continue;
        }
        if (open == nullptr) {
            if (!closedAny) path.flags |= kPathAbsolute;
            continue;
        }
        if (!closedAny) {
            if (uncPrefix)
                path.flags |= kPathAbsolute | kPathUncRoot;
            else if (open->length == 2 * kUnit && text[i - 1] == Unit(':'))
                path.flags |= kPathAbsolute | kPathDriveRoot;
        }
        open = nullptr;
        closedAny = true;
    }
    return true;
}

}  // namespace

bool SameComponent(const PathComponent* a, const PathComponent* b) {
    return a->length == b->length && std::memcmp(a->text, b->text, a->length) == 0;
}

bool Path::SetFromText(const char* bytes, uint32_t length, const char* separators, const NodeAllocator* nodes) {
    if (nodes != nullptr) allocator = nodes;
    flags &= ~kPathWide;
    SetSeparator(&kNativeSeparator, 1);
    return Split(*this, bytes, length, separators);
}

bool Path::SetFromText(const char16_t* units, uint32_t count, const char16_t* separators, const NodeAllocator* nodes) {
    if (nodes != nullptr) allocator = nodes;
    flags |= kPathWide;
    const char16_t wideSeparator = kNativeSeparator;
    SetSeparator(reinterpret_cast<const char*>(&wideSeparator), 2);
    return Split(*this, units, count, separators);
}

void Path::SetSeparator(const char* bytes, uint32_t length) {
    separatorLength = length > 2 ? 2 : length;
    std::memcpy(separator, bytes, separatorLength);
}

PathComponent* Path::NewComponent(const char* bytes, uint32_t length) {
    const NodeAllocator* nodes = allocator != nullptr ? allocator : &kProcessNodes;
    auto* component = static_cast<PathComponent*>(nodes->allocate(nodes->context));
    if (component == nullptr) return nullptr;
    // The allocator has set `block`; everything else is ours.
    component->chainLink = component->next = component->previous = nullptr;
    component->text = bytes;
    component->length = length;
    return component;
}

void Path::Append(PathComponent* component) {
    AddToChain(*this, component);
    InsertAfter(*this, last, component);
}

void Path::Prepend(PathComponent* component) {
    AddToChain(*this, component);
    const uint32_t rootCount = RootComponentCount(*this);
    InsertAfter(*this, rootCount > 0 ? Skip(first, rootCount - 1) : nullptr, component);
}

PathComponent* Path::RootEnd() const { return Skip(first, RootComponentCount(*this)); }

bool Path::Normalize() {
    const bool wide = IsWide();
    PathComponent* recentNormal = nullptr;
    PathComponent* component = RootEnd();
    while (component != nullptr) {
        if (IsDot(component, wide)) {
            PathComponent* next = component->next;
            Unlink(*this, component);
            component = next;
            continue;
        }
        if (!IsDotDot(component, wide)) {
            recentNormal = component;
            component = component->next;
            continue;
        }
        if ((flags & kPathAbsolute) != 0 && component == RootEnd()) return false;
        if (recentNormal == nullptr) {  // a relative path may start with ".."
            component = component->next;
            continue;
        }
        const bool removingRootEnd = recentNormal == RootEnd();
        PathComponent* before = recentNormal->previous;
        Unlink(*this, recentNormal);
        Unlink(*this, component);
        recentNormal = nullptr;
        // The component before is looked at again: it may be the new most
        // recent normal component, or a ".." that stays.
        component = removingRootEnd ? RootEnd() : before;
    }
    return true;
}

bool Path::MakeRelative(const Path& base, uint32_t& reason) {
    if (((flags ^ base.flags) & kPathWide) != 0) {
        reason = kRelativeEncodingsDiffer;
        return false;
    }
    if (((flags ^ base.flags) & kPathAbsolute) != 0) {
        reason = kRelativeAbsoluteness;
        return false;
    }
    // A drive or share root only matches the same root; a path with one and a
    // path without one have nothing in common.
    const uint32_t rootCount = RootComponentCount(*this);
    const uint32_t baseRootCount = RootComponentCount(base);
    bool rootsMatch = rootCount == baseRootCount;
    const PathComponent* mine = first;
    const PathComponent* theirs = base.first;
    for (uint32_t i = 0; rootsMatch && i < rootCount; ++i) {
        rootsMatch = mine != nullptr && theirs != nullptr && SameComponent(mine, theirs);
        if (rootsMatch) {
            mine = mine->next;
            theirs = theirs->next;
        }
    }
    if (!rootsMatch) {
        reason = kRelativeRootsDiffer;
        return false;
    }
    PathComponent* kept = first;
    const PathComponent* baseRest = base.first;
    while (kept != nullptr && baseRest != nullptr && SameComponent(kept, baseRest)) {
        kept = kept->next;
        baseRest = baseRest->next;
    }
    uint32_t ups = 0;
    for (const PathComponent* c = baseRest; c != nullptr; c = c->next) ++ups;

    // Every node is allocated before anything changes, so a failure leaves
    // the path as it was.
    const bool wide = IsWide();
    const char* dotDot = wide ? reinterpret_cast<const char*>(kWideDotDot) : kDotDot;
    const uint32_t dotDotLength = wide ? 4 : 2;
    // A path equal to its base becomes ".", the first half of "..".
    const uint32_t needed = ups > 0 ? ups : (kept == nullptr ? 1 : 0);
    PathComponent* fresh = nullptr;  // linked through `next` until used
    for (uint32_t i = 0; i < needed; ++i) {
        PathComponent* component = NewComponent(dotDot, ups > 0 ? dotDotLength : dotDotLength / 2);
        if (component == nullptr) {
            const NodeAllocator* nodes = allocator != nullptr ? allocator : &kProcessNodes;
            for (PathComponent* c = fresh; c != nullptr;) {
                PathComponent* next = c->next;
                if (nodes->release != nullptr) nodes->release(nodes->context, c);
                c = next;
            }
            reason = kRelativeNoMemory;
            return false;
        }
        component->next = fresh;
        fresh = component;
    }

    // The root and the common components are detached from the list; they
    // stay on the allocation chain until the path is released.
    if (kept != nullptr) {
        kept->previous = nullptr;
    } else {
        last = nullptr;
    }
    first = kept;
    flags &= ~(kPathAbsolute | kPathDriveRoot | kPathUncRoot);
    while (fresh != nullptr) {
        PathComponent* next = fresh->next;
        Prepend(fresh);
        fresh = next;
    }
    return true;
}

uint32_t Path::Render(char* buffer, uint32_t room) const {
    uint32_t count = 0;
    auto emit = [&](const void* bytes, uint32_t length) {
        if (static_cast<uint64_t>(count) + length <= room) std::memcpy(buffer + count, bytes, length);
        count += length;
    };
    const bool wide = IsWide();
    if ((flags & kPathUncRoot) != 0) {
        static const char16_t kWidePrefix[] = u"\\\\";
        emit(wide ? static_cast<const void*>(kWidePrefix) : "\\\\", wide ? 4 : 2);
    } else if ((flags & (kPathAbsolute | kPathDriveRoot)) == kPathAbsolute) {
        emit(separator, separatorLength);
    }
    for (const PathComponent* c = first; c != nullptr; c = c->next) {
        if (c != first) emit(separator, separatorLength);
        emit(c->text, c->length);
    }
    if ((flags & (kPathDriveRoot | kPathUncRoot)) != 0 && RootEnd() == nullptr) emit(separator, separatorLength);
    return count;
}

void Path::Release() {
    const NodeAllocator* nodes = allocator != nullptr ? allocator : &kProcessNodes;
    // Nodes of an arena go with the arena: nothing to walk.
    for (PathComponent* c = nodes->release != nullptr ? chainHead : nullptr; c != nullptr;) {
        PathComponent* next = c->chainLink;
        nodes->release(nodes->context, c);
        c = next;
    }
    if (ownsText) std::free(const_cast<char*>(text));
    *this = Path{};
}

bool CurrentDirectoryPath(Path& path, int& error) {
    std::string directory;
    if (!platform::CurrentDirectory(directory, error)) return false;
    const uint32_t length = static_cast<uint32_t>(directory.size());
    char* text = static_cast<char*>(std::malloc(length + 1));
    if (text == nullptr) {
        error = kErrorNotEnoughMemory;
        return false;
    }
    std::memcpy(text, directory.c_str(), length + 1);
    path = Path{};
    const bool split = path.SetFromText(text, length, platform::kPathSeparators);
    path.ownsText = true;
    if (!split) {
        path.Release();
        error = kErrorNotEnoughMemory;
        return false;
    }
    return true;
}

}  // namespace kestrel
