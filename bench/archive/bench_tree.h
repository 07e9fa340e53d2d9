// Generated source-like trees and the plain drivers the archive benchmarks share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/paxgz_writer.h"

namespace kestrel::bench {

struct TreeFile {
    std::string directory;  // relative, "/"-joined, may be empty
    std::string name;
    uint64_t size;
};

// Writes `fileCount` files of compressible text totalling about `totalBytes`
// under `root` (fixed seed: the same tree every time) and lists them.
std::vector<TreeFile> GenerateTree(const std::string& root, uint32_t fileCount, uint64_t totalBytes);

// `fileCount` files shaped like a link's object files: 50 to 500 KiB each of
// code-like bytes and symbol text (fixed seed), listed.
std::vector<TreeFile> GenerateObjects(const std::string& root, uint32_t fileCount);

// Our writer over the tree, synchronously, into `fd`. Returns the archive size (0 on failure).
uint64_t WriteArchive(const std::string& root, const std::vector<TreeFile>& files, int fd,
                      const PaxgzParallelConfig& parallel = {});

// Our writer through an event loop of its own (overlapped reads and writes);
// non-zero on success.
uint64_t WriteArchiveWithLoop(const std::string& root, const std::vector<TreeFile>& files, int fd,
                              const PaxgzParallelConfig& parallel = {});

// Our reader from the archive at `archive` into the existing directory `out`.
bool ReadArchive(const std::string& archive, const std::string& out);

std::string MakeTempDirectory();
void RemoveTree(const std::string& path);
int RunShell(const std::string& command);

}  // namespace kestrel::bench
