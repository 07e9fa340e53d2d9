// Paths of the imported build: every file is known by its normalised
// absolute path here, and written into the script relative to the script's
// directory. "The project" is the set of directories whose files are sent
// with the jobs (the source and build directories); anything else (the
// compiler, system headers and libraries) belongs to the machine.
#pragma once

#include <string>
#include <vector>

namespace kestrel::importer {

// `text` taken relative to `directory` when it is not absolute, with "." and
// ".." resolved; empty when it climbs above the root.
std::string AbsolutePath(const std::string& directory, const std::string& text);

// `path` as seen from `directory` (both absolute and normalised): "a/b",
// "../x", or "." for the directory itself.
std::string RelativePath(const std::string& path, const std::string& directory);

// Whether `path` is `directory` or lies below it.
bool IsWithin(const std::string& path, const std::string& directory);

// All but the last component ("/" for a file at the root).
std::string ParentPath(const std::string& path);

class Project {
public:
    // Adds a directory (absolute, normalised) whose files are the project's.
    void AddRoot(const std::string& directory);
    bool Contains(const std::string& path) const;
    const std::vector<std::string>& roots() const { return roots_; }

private:
    std::vector<std::string> roots_;
};

}  // namespace kestrel::importer
