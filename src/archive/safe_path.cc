#include "archive/safe_path.h"

#include <cstring>

#include "platform/files.h"
#include "platform/native_paths.h"
#include "platform/system_errors.h"
#include "runtime/error_codes.h"
#include "runtime/utf16.h"
#include "runtime/utf8.h"

namespace kestrel {

namespace {

uint32_t UnitSize(bool utf16) { return utf16 ? 2 : 1; }

uint32_t UnitAt(const PathComponentView& component, uint32_t index, bool utf16) {
    if (!utf16) return component.bytes[index];
    return static_cast<uint32_t>(component.bytes[2 * index]) |
           (static_cast<uint32_t>(component.bytes[2 * index + 1]) << 8);
}

uint32_t UnitCount(const PathComponentView& component, bool utf16) {
    return component.length / UnitSize(utf16);
}

bool IsDots(const PathComponentView& component, bool utf16, uint32_t dots) {
    if (UnitCount(component, utf16) != dots || component.length % UnitSize(utf16) != 0) return false;
    for (uint32_t i = 0; i < dots; ++i) {
        if (UnitAt(component, i, utf16) != '.') return false;
    }
    return true;
}

bool IsAsciiLetter(uint32_t unit) { return (unit >= 'a' && unit <= 'z') || (unit >= 'A' && unit <= 'Z'); }

// Roots that the other machine's file system would honour, whatever our separator.
UnsafePath RootOf(const PathComponentView& first, bool utf16) {
    const uint32_t units = UnitCount(first, utf16);
    if (units >= 1 && UnitAt(first, 0, utf16) == '\\') {
        return units >= 2 && UnitAt(first, 1, utf16) == '\\' ? UnsafePath::kUncRoot : UnsafePath::kAbsolute;
    }
    if (units >= 2 && UnitAt(first, 1, utf16) == ':' && IsAsciiLetter(UnitAt(first, 0, utf16))) {
        return UnsafePath::kDriveRoot;
    }
    return UnsafePath::kNone;
}

uint32_t AsciiUpper(uint32_t unit) { return unit >= 'a' && unit <= 'z' ? unit - 32 : unit; }

// Whether the first `length` units of the component spell `name`, ignoring case.
bool StartsWithName(const PathComponentView& component, bool utf16, const char* name, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i)
        if (AsciiUpper(UnitAt(component, i, utf16)) != static_cast<uint8_t>(name[i])) return false;
    return true;
}

// A digit 1 to 9 or a superscript 1, 2 or 3, as units [at, end).
bool IsPortDigit(const PathComponentView& component, bool utf16, uint32_t at, uint32_t end) {
    const uint32_t unit = UnitAt(component, at, utf16);
    if (end - at == 1) return (unit >= '1' && unit <= '9') || (utf16 && (unit == 0xB9 || unit == 0xB2 || unit == 0xB3));
    if (utf16 || end - at != 2 || unit != 0xC2) return false;
    const uint32_t next = UnitAt(component, at + 1, utf16);
    return next == 0xB9 || next == 0xB2 || next == 0xB3;
}

// Whether the component's name before its first dot (trailing spaces
// ignored) is one of the names that open a device instead of a file.
bool IsDeviceName(const PathComponentView& component, bool utf16) {
    static constexpr const char* kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    const uint32_t units = UnitCount(component, utf16);
    uint32_t stem = 0;
    while (stem < units && UnitAt(component, stem, utf16) != '.') ++stem;
    while (stem > 0 && UnitAt(component, stem - 1, utf16) == ' ') --stem;
    for (const char* device : kDevices)
        if (stem == std::strlen(device) && StartsWithName(component, utf16, device, stem)) return true;
    // COM1 to COM9 and LPT1 to LPT9.
    return stem > 3 && (StartsWithName(component, utf16, "COM", 3) || StartsWithName(component, utf16, "LPT", 3)) &&
           IsPortDigit(component, utf16, 3, stem);
}

// Names the system would read as something other than a plain name below
// the extraction root: another separator, a named stream or drive (':'),
// characters it refuses, trailing dots or spaces (dropped, so ".. " would
// climb), and device names.
bool BreaksDeviceRules(const PathComponentView& component, bool utf16) {
    const uint32_t units = UnitCount(component, utf16);
    for (uint32_t i = 0; i < units; ++i) {
        const uint32_t unit = UnitAt(component, i, utf16);
        if (unit < 32 || std::strchr("\\:*?\"<>|", static_cast<int>(unit)) != nullptr) return true;
    }
    const uint32_t last = UnitAt(component, units - 1, utf16);
    if ((last == '.' || last == ' ') && !IsDots(component, utf16, 1) && !IsDots(component, utf16, 2)) return true;
    return IsDeviceName(component, utf16);
}

bool HasBadUnit(const PathComponentView& component, bool utf16) {
    if (component.length % UnitSize(utf16) != 0) return true;
    const uint32_t units = UnitCount(component, utf16);
    for (uint32_t i = 0; i < units; ++i) {
        const uint32_t unit = UnitAt(component, i, utf16);
        if (unit == 0 || unit == '/') return true;
    }
    return false;
}

}  // namespace

const char* UnsafePathText(UnsafePath problem) {
    switch (problem) {
    case UnsafePath::kNone: return "safe";
    case UnsafePath::kAbsolute: return "entry path is absolute";
    case UnsafePath::kDriveRoot: return "entry path has a drive root";
    case UnsafePath::kUncRoot: return "entry path has a UNC root";
    case UnsafePath::kAboveRoot: return "entry path climbs above the extraction root";
    case UnsafePath::kBadComponent: return "entry path has an invalid component";
    case UnsafePath::kEmpty: return "entry path is empty";
    }
    return "unknown path problem";
}

bool ComponentList::Append(const uint8_t* bytes, uint32_t length) {
    const uint32_t needed = (count_ + 1) * static_cast<uint32_t>(sizeof(PathComponentView));
    if (needed > storage_.capacity) {
        const uint32_t grown = needed < 256 ? 256 : needed * 2;
        if (!GrowArchiveBuffer(grown, count_ * static_cast<uint32_t>(sizeof(PathComponentView)), storage_)) {
            return false;
        }
    }
    Items()[count_++] = PathComponentView{bytes, length};
    return true;
}

bool SplitPathText(const uint8_t* text, uint32_t length, const uint8_t* separator, uint32_t separatorLength,
                   bool utf16, ComponentList& list, uint32_t& leadingSeparators) {
    const uint32_t unit = UnitSize(utf16);
    // A separator that is not whole units cannot occur in the text: no split.
    const bool splits = separatorLength > 0 && separatorLength % unit == 0;
    leadingSeparators = 0;
    bool seenComponent = false;
    uint32_t start = 0;
    uint32_t i = 0;
    while (i < length) {
        if (splits && length - i >= separatorLength && std::memcmp(text + i, separator, separatorLength) == 0) {
            if (i > start) {
                if (!list.Append(text + start, i - start)) return false;
                seenComponent = true;
            } else if (!seenComponent) {
                ++leadingSeparators;
            }
            i += separatorLength;
            start = i;
            continue;
        }
        i += unit;
    }
    if (length > start) return list.Append(text + start, length - start);
    return true;
}

UnsafePath CheckEntryPath(ComponentList& list, uint32_t leadingSeparators, bool utf16, bool allowEmpty) {
    if (leadingSeparators >= 2) return UnsafePath::kUncRoot;
    if (leadingSeparators == 1) return UnsafePath::kAbsolute;
    PathComponentView* items = list.Items();
    const uint32_t count = list.Count();
    if (count > 0) {
        const UnsafePath root = RootOf(items[0], utf16);
        if (root != UnsafePath::kNone) return root;
    }
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const PathComponentView component = items[i];
        if (HasBadUnit(component, utf16)) return UnsafePath::kBadComponent;
        if (IsDots(component, utf16, 1)) continue;
        if (IsDots(component, utf16, 2)) {
            if (kept == 0) return UnsafePath::kAboveRoot;
            --kept;
            continue;
        }
        items[kept++] = component;
    }
    list.Truncate(kept);
    if (kept == 0) return allowEmpty ? UnsafePath::kNone : UnsafePath::kEmpty;
    // "x/../C:" would put a drive first once joined again.
    const UnsafePath root = RootOf(items[0], utf16);
    if (root != UnsafePath::kNone || !platform::kNamesHaveDeviceRules) return root;
    for (uint32_t i = 0; i < kept; ++i)
        if (BreaksDeviceRules(items[i], utf16)) return UnsafePath::kBadComponent;
    return UnsafePath::kNone;
}

UnsafePath CheckPathText(const uint8_t* text, uint32_t length, const uint8_t* separator, uint32_t separatorLength,
                         bool utf16, bool allowEmpty, ComponentList& list, bool& outOfMemory) {
    list.Clear();
    outOfMemory = false;
    uint32_t leading = 0;
    if (!SplitPathText(text, length, separator, separatorLength, utf16, list, leading)) {
        outOfMemory = true;
        return UnsafePath::kBadComponent;
    }
    return CheckEntryPath(list, leading, utf16, allowEmpty);
}

bool ComponentToUtf8(const PathComponentView& component, bool utf16, char* out, uint32_t room, uint32_t& length,
                     int& error) {
    length = 0;
    const auto fits = [&](uint32_t bytes) {
        if (length + bytes < room) return true;
        error = platform::kErrorNameTooLong;
        return false;
    };
    if (!utf16) {
        if (!fits(component.length)) return false;
        if (component.length > 0) std::memcpy(out, component.bytes, component.length);
        length = component.length;
        out[length] = '\0';
        return true;
    }
    if (component.length % 2 != 0) {
        error = platform::kErrorIllegalSequence;
        return false;
    }
    const uint32_t units = component.length / 2;
    for (uint32_t i = 0; i < units;) {
        uint32_t code = 0;
        const uint32_t taken = DecodeUtf16Le(component.bytes + 2 * i, units - i, code);
        if (taken == 0) {
            error = platform::kErrorIllegalSequence;
            return false;
        }
        uint8_t bytes[4];
        const uint32_t count = EncodeUtf8(code, bytes);
        if (!fits(count)) return false;
        std::memcpy(out + length, bytes, count);
        length += count;
        i += taken;
    }
    out[length] = '\0';
    return true;
}

// ---- ExtractionRoot ----

namespace {

constexpr uint32_t kNameRoom = 1024;

// A component as a name to create beneath a directory: also refuses what the
// check refuses, for callers that skipped it.
bool ComponentName(const PathComponentView& component, bool utf16, char* name, int& error) {
    uint32_t length = 0;
    if (!ComponentToUtf8(component, utf16, name, kNameRoom, length, error)) return false;
    if (length == 0 || std::memchr(name, '/', length) != nullptr || std::strlen(name) != length ||
        std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        error = kErrorInvalidValue;
        return false;
    }
    return true;
}

}  // namespace

bool ExtractionRoot::Open(const char* directory, int& error) {
    Close();
    return platform::OpenDirectory(directory, root_, error);
}

void ExtractionRoot::ForgetCachedParent() {
    platform::CloseFile(cachedParent_);
    cachedKeyLength_ = 0;
}

void ExtractionRoot::Close() {
    ForgetCachedParent();
    platform::CloseFile(root_);
}

bool ExtractionRoot::WalkDirectories(const PathComponentView* components, uint32_t count, bool utf16,
                                     platform::FileHandle& reached, int& error) {
    char name[kNameRoom];
    platform::FileHandle current = root_;
    for (uint32_t i = 0; i < count; ++i) {
        platform::FileHandle next;
        const bool ok = ComponentName(components[i], utf16, name, error) &&
                        platform::OpenChildDirectory(current, name, true, next, error);
        if (current != root_) platform::CloseFile(current);
        if (!ok) return false;
        current = next;
    }
    reached = current;
    return true;
}

bool ExtractionRoot::MakeDirectories(const PathComponentView* components, uint32_t count, bool utf16, int& error) {
    if (!root_.valid()) {
        error = platform::kErrorBadHandle;
        return false;
    }
    platform::FileHandle reached;
    if (!WalkDirectories(components, count, utf16, reached, error)) return false;
    if (reached != root_) platform::CloseFile(reached);
    return true;
}

bool ExtractionRoot::OpenParent(const PathComponentView* components, uint32_t count, bool utf16,
                                platform::FileHandle& parent, int& error) {
    char name[kNameRoom];
    // The key is the parent's UTF-8 path; a parent too long to key is not cached.
    char key[sizeof(cachedKey_)];
    uint32_t keyLength = 0;
    bool keyed = true;
    for (uint32_t i = 0; i < count && keyed; ++i) {
        uint32_t length = 0;
        if (!ComponentToUtf8(components[i], utf16, name, kNameRoom, length, error)) return false;
        if (keyLength + length + 1 > sizeof(key)) {
            keyed = false;
            break;
        }
        std::memcpy(key + keyLength, name, length);
        keyLength += length;
        key[keyLength++] = '/';
    }
    if (count == 0) {
        parent = root_;
        return true;
    }
    if (keyed && cachedParent_.valid() && keyLength == cachedKeyLength_ &&
        std::memcmp(key, cachedKey_, keyLength) == 0) {
        parent = cachedParent_;
        return true;
    }
    platform::FileHandle reached;
    if (!WalkDirectories(components, count, utf16, reached, error)) return false;
    ForgetCachedParent();
    cachedParent_ = reached;
    if (keyed) {
        std::memcpy(cachedKey_, key, keyLength);
        cachedKeyLength_ = keyLength;
    }
    parent = reached;
    return true;
}

bool ExtractionRoot::CreateFile(const PathComponentView* components, uint32_t count, bool utf16,
                                platform::FileHandle& file, int& error, uint32_t permissions) {
    file = platform::kNoFile;
    if (!root_.valid()) {
        error = platform::kErrorBadHandle;
        return false;
    }
    if (count == 0) {
        error = kErrorInvalidValue;
        return false;
    }
    platform::FileHandle parent;
    if (!OpenParent(components, count - 1, utf16, parent, error)) return false;
    char name[kNameRoom];
    if (!ComponentName(components[count - 1], utf16, name, error)) return false;
    return platform::CreateChildFile(parent, name, file, error, permissions);
}

}  // namespace kestrel
