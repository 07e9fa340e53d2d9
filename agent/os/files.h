// The work directory and the job work areas in it. Everything here works
// relative to directory descriptors and never follows a symbolic link, so
// that what a command left in its area cannot redirect the agent's own
// writes and removals elsewhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::agent::os {

// Creates `path` (and its parents) when missing and opens it.
bool OpenWorkDirectory(const std::string& path, int& fd, int& error);

// Takes an exclusive lock on a lock file in the directory: one agent per work directory.
bool LockWorkDirectory(int directoryFd, int& lockFd, int& error);

// Names of the entries of a directory, "." and ".." left out.
bool ListDirectory(int directoryFd, std::vector<std::string>& names, int& error);

// Called between entries during long removals (the agent sends keep-alives).
using RemovalTick = void (*)(void* context);

// Removes `name` inside `parentFd` with everything below it, holding at most
// three descriptors whatever the depth. Symbolic links are removed, never
// followed; unreadable directories are made readable first.
bool RemoveTree(int parentFd, const char* name, RemovalTick tick, void* context, int& error);
// Like RemoveTree, but the directory `name` stays, empty and with mode 0700.
// Fails when `name` is not a directory.
bool EmptyTree(int parentFd, const char* name, RemovalTick tick, void* context, int& error);

// Renames `from` to `to` within one directory; `to` must not exist.
bool RenameEntry(int directoryFd, const char* from, const char* to, int& error);

// Creates a new directory `name` in `parentFd`; it must not exist.
bool MakeDirectory(int parentFd, const char* name, int& error);

// Open the path made of `components` below `rootFd`, each intermediate one a
// real directory and the last one never a symbolic link; with no components
// the root itself is opened again. A directory:
bool OpenDirectoryBeneath(int rootFd, const std::vector<std::string>& components, int& fd, int& error);
// Anything, for reading, without waiting (a FIFO in a file's place cannot stall us):
bool OpenForReadingBeneath(int rootFd, const std::vector<std::string>& components, int& fd, int& error);

enum class EntryKind : uint8_t { RegularFile, Directory, Other };

// What the agent needs to know of a file system entry.
struct EntryStatus {
    EntryKind kind = EntryKind::Other;
    uint64_t size = 0;
    uint64_t modifiedSeconds = 0;  // times before 1970 read as 0
    uint32_t modifiedNanoseconds = 0;
};

bool StatDescriptor(int fd, EntryStatus& status, int& error);

// The status of the last component, without following it.
bool StatBeneath(int rootFd, const std::vector<std::string>& components, EntryStatus& status, int& error);

// Sets the modification and access times of a regular file below `rootFd`.
bool SetTimesBeneath(int rootFd, const std::vector<std::string>& components, uint64_t modifiedSeconds,
                     uint32_t modifiedNanoseconds, uint64_t accessedSeconds, uint32_t accessedNanoseconds,
                     int& error);

// The most descriptors this process may hold (0: no limit), and how many it holds now.
uint64_t DescriptorLimit();
uint32_t OpenDescriptorCount();

// The one way to close a descriptor of any kind (file, pipe, socket): -1 is
// left behind and ignored.
void CloseDescriptor(int& fd);

}  // namespace kestrel::agent::os
