// The work directory and the job work areas in it. Everything here works
// relative to directory descriptors and never follows a symbolic link, so
// that what a command left in its area cannot redirect the agent's own
// writes and removals elsewhere.
#pragma once

#include <sys/stat.h>

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

// Renames `from` to `to` within one directory; `to` must not exist.
bool RenameEntry(int directoryFd, const char* from, const char* to, int& error);

// Creates a new directory `name` in `parentFd`; it must not exist.
bool MakeDirectory(int parentFd, const char* name, int& error);

// Opens the path made of `components` below `rootFd`, each intermediate one a
// real directory. The last component is opened with `flags` and O_NOFOLLOW;
// with no components the root itself is opened again.
bool OpenBeneath(int rootFd, const std::vector<std::string>& components, int flags, int& fd, int& error);

bool StatDescriptor(int fd, struct stat& status, int& error);

// The status of the last component, without following it.
bool StatBeneath(int rootFd, const std::vector<std::string>& components, struct stat& status, int& error);

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
