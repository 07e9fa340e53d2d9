// Splits, normalizes, relates and renders arbitrary path texts. Renderings
// must report consistent lengths and a normalized path must stay normalized.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/path.h"

namespace {

std::string RenderAll(const kestrel::Path& path) {
    const uint32_t length = path.Render(nullptr, 0);
    std::string text(length, '\0');
    if (path.Render(text.data(), length) != length) std::abort();
    return text;
}

void CheckNoDots(const kestrel::Path& path) {
    for (const kestrel::PathComponent* c = path.RootEnd(); c != nullptr; c = c->next) {
        if (c->length == 0) std::abort();
        if (c->length == 1 && c->text[0] == '.') std::abort();
        if (c->length == 2 && c->text[0] == '.' && c->text[1] == '.' && (path.flags & kestrel::kPathAbsolute)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Two texts: before and after the first NUL byte.
    const char* bytes = reinterpret_cast<const char*>(data);
    const size_t split = std::strlen(std::string(bytes, size).c_str());
    const std::string first(bytes, split);
    const std::string second = split < size ? std::string(bytes + split + 1, size - split - 1) : std::string();

    kestrel::Path path;
    kestrel::Path base;
    if (path.SetFromText(first.c_str(), static_cast<uint32_t>(first.size()), "/\\") &&
        base.SetFromText(second.c_str(), static_cast<uint32_t>(second.size()), "/\\")) {
        RenderAll(path);
        if (path.Normalize()) {
            CheckNoDots(path);
            const std::string once = RenderAll(path);
            if (!path.Normalize() || RenderAll(path) != once) std::abort();
            if (base.Normalize()) {
                uint32_t reason = 0;
                if (path.MakeRelative(base, reason)) RenderAll(path);
            }
        }
        // Partial room never writes past it.
        char small[7];
        std::memset(small, 0x5A, sizeof small);
        path.Render(small, 6);
        if (small[6] != 0x5A) std::abort();
    }
    path.Release();
    base.Release();
    return 0;
}
