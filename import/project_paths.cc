#include "import/project_paths.h"

#include <algorithm>

#include "runtime/path.h"

namespace kestrel::importer {
namespace {

// The path model's nodes go back to their pool with the path.
struct PathHolder {
    Path path;
    ~PathHolder() { path.Release(); }
};

std::string Rendered(const Path& path) {
    std::string text(path.Render(nullptr, 0), '\0');
    path.Render(text.data(), static_cast<uint32_t>(text.size()));
    return text;
}

bool Split(const std::string& text, Path& path) {
    return path.SetFromText(text.data(), static_cast<uint32_t>(text.size()), "/");
}

}  // namespace

std::string AbsolutePath(const std::string& directory, const std::string& text) {
    const std::string joined = !text.empty() && text[0] == '/' ? text : directory + "/" + text;
    PathHolder holder;
    if (!Split(joined, holder.path) || !holder.path.Normalize()) return "";
    return Rendered(holder.path);
}

std::string RelativePath(const std::string& path, const std::string& directory) {
    PathHolder target;
    PathHolder base;
    uint32_t reason = 0;
    if (!Split(path, target.path) || !Split(directory, base.path) || !target.path.MakeRelative(base.path, reason)) {
        return path;
    }
    const std::string text = Rendered(target.path);
    return text.empty() ? "." : text;
}

bool IsWithin(const std::string& path, const std::string& directory) {
    if (directory == "/") return !path.empty() && path[0] == '/';
    return path.size() >= directory.size() && path.compare(0, directory.size(), directory) == 0 &&
           (path.size() == directory.size() || path[directory.size()] == '/');
}

std::string ParentPath(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void Project::AddRoot(const std::string& directory) {
    if (std::find(roots_.begin(), roots_.end(), directory) == roots_.end()) roots_.push_back(directory);
}

bool Project::Contains(const std::string& path) const {
    return std::any_of(roots_.begin(), roots_.end(), [&](const std::string& root) { return IsWithin(path, root); });
}

}  // namespace kestrel::importer
