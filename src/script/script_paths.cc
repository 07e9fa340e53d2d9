#include "script/script_paths.h"

#include <cstdlib>
#include <cstring>

#include "script/script_arena.h"

namespace kestrel {

namespace {

bool IsScriptSeparator(char c) { return c == '/' || c == '\\'; }

bool IsNativeSeparator(char c) { return std::strchr(platform::kPathSeparators, c) != nullptr && c != '\0'; }

}  // namespace

bool SplitNativePath(Path& path, const char* text, uint32_t length) {
    const bool split = path.SetFromText(text, length, platform::kPathSeparators);
    if (!platform::kPathsHaveDrives) path.flags &= ~(kPathDriveRoot | kPathUncRoot);
    return split;
}

bool IsAbsoluteNativeText(const char* text) {
    if (IsNativeSeparator(text[0])) return true;
    return platform::kPathsHaveDrives && text[0] != '\0' && text[1] == ':' && IsNativeSeparator(text[2]);
}

const char* LastNativeSeparator(const char* text) {
    const char* last = nullptr;
    for (const char* c = text; *c != '\0'; ++c)
        if (IsNativeSeparator(*c)) last = c;
    return last;
}

bool AppendScriptComponents(Path& path, const char* text, uint32_t length) {
    uint32_t i = 0;
    while (i < length) {
        while (i < length && IsScriptSeparator(text[i])) ++i;
        const uint32_t start = i;
        while (i < length && !IsScriptSeparator(text[i])) ++i;
        if (i == start) break;
        PathComponent* component = path.NewComponent(text + start, i - start);
        if (component == nullptr) return false;
        path.Append(component);
    }
    return true;
}

bool IsAbsoluteScriptText(const char* text, uint32_t length) {
    // The path model's rules without building the path: a leading separator
    // (which also covers a share), or a first component of two characters
    // ending in ':' that a separator closes.
    if (length > 0 && IsScriptSeparator(text[0])) return true;
    return length > 2 && text[1] == ':' && IsScriptSeparator(text[2]);
}

bool JoinScriptPath(const char* prefix, uint32_t prefixLength, const char* rest, uint32_t restLength, Path& path,
                    ScriptArena* arena) {
    const uint32_t length = prefixLength + restLength;
    char* text = arena != nullptr ? arena->CopyText(prefix, length)
                                  : static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (text == nullptr) return false;
    std::memcpy(text, prefix, prefixLength);
    std::memcpy(text + prefixLength, rest, restLength);
    text[length] = '\0';
    if (arena != nullptr) path.allocator = arena->Nodes();
    const bool ok =
        SplitNativePath(path, text, prefixLength) && AppendScriptComponents(path, text + prefixLength, restLength);
    path.text = text;
    path.ownsText = arena == nullptr;
    if (!ok) path.Release();
    return ok;
}

bool JoinNativePath(const Path* base, const char* text, uint32_t length, char*& joined, uint32_t& joinedLength) {
    const uint32_t baseLength = base != nullptr ? base->Render(nullptr, 0) : 0;
    const uint32_t separatorLength = base != nullptr ? 1 : 0;
    const size_t total = static_cast<size_t>(baseLength) + separatorLength + length;
    if (total >= UINT32_MAX) return false;
    joined = static_cast<char*>(std::malloc(total + 1));
    if (joined == nullptr) return false;
    if (base != nullptr) {
        base->Render(joined, baseLength);
        joined[baseLength] = kNativeSeparator;
    }
    std::memcpy(joined + baseLength + separatorLength, text, length);
    joined[total] = '\0';
    joinedLength = static_cast<uint32_t>(total);
    return true;
}

char* RenderPath(const Path& path, uint32_t& length) {
    length = path.Render(nullptr, 0);
    char* text = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (text == nullptr) return nullptr;
    path.Render(text, length);
    text[length] = '\0';
    return text;
}

bool CopyNativePath(const Path& source, Path& copy, ScriptArena* arena) {
    uint32_t length = 0;
    char* text = nullptr;
    if (arena == nullptr) {
        text = RenderPath(source, length);
    } else {
        length = source.Render(nullptr, 0);
        text = arena->NewText(length);
        if (text != nullptr) {
            source.Render(text, length);
            text[length] = '\0';
        }
        copy.allocator = arena->Nodes();
    }
    if (text == nullptr) return false;
    const bool ok = SplitNativePath(copy, text, length);
    copy.text = text;
    copy.ownsText = arena == nullptr;
    copy.flags |= source.flags & ~(kPathAbsolute | kPathDriveRoot | kPathUncRoot | kPathWide);
    if (!ok) copy.Release();
    return ok;
}

}  // namespace kestrel
