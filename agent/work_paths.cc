#include "agent/work_paths.h"

#include <mutex>

#include "archive/safe_path.h"

namespace kestrel::agent {

WirePathCheck SplitWirePath(const WireString& text, bool utf16, const std::string& separator,
                            bool allowEmpty, WirePath& path) {
    path = WirePath{};
    ComponentList list;
    bool outOfMemory = false;
    const UnsafePath problem =
        CheckPathText(text.bytes, text.length, reinterpret_cast<const uint8_t*>(separator.data()),
                      static_cast<uint32_t>(separator.size()), utf16, allowEmpty, list, outOfMemory);
    if (outOfMemory) return WirePathCheck::NoMemory;
    if (problem == UnsafePath::kEmpty) return WirePathCheck::Empty;
    if (problem != UnsafePath::kNone) return WirePathCheck::Unsafe;
    for (uint32_t i = 0; i < list.Count(); ++i) {
        const PathComponentView& view = list.Items()[i];
        char name[1024];
        uint32_t length = 0;
        int error = 0;
        if (!ComponentToUtf8(view, utf16, name, sizeof name, length, error)) return WirePathCheck::Unsafe;
        path.components.emplace_back(name, length);
        path.wireComponents.emplace_back(reinterpret_cast<const char*>(view.bytes), view.length);
    }
    return WirePathCheck::Ok;
}

std::string JoinUtf8(const std::vector<std::string>& components) {
    std::string joined;
    for (const std::string& component : components) joined += (joined.empty() ? "" : "/") + component;
    return joined;
}

}  // namespace kestrel::agent
