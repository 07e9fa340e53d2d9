#include "agent/os/process_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace kestrel::agent::os {

namespace {

// The parent from /proc/PID/stat: "pid (name) state ppid ...", where the
// name may hold spaces and parentheses.
bool ReadParent(const char* pid, pid_t& parent) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[512];
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return false;
    text[got] = '\0';
    const char* nameEnd = std::strrchr(text, ')');
    if (nameEnd == nullptr || nameEnd[1] != ' ' || nameEnd[2] == '\0' || nameEnd[3] != ' ') return false;
    parent = static_cast<pid_t>(std::strtol(nameEnd + 4, nullptr, 10));
    return true;
}

// Every process's parent.
void ReadParents(std::multimap<pid_t, pid_t>& childrenOf) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return;
    while (const dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        pid_t parent = 0;
        if (ReadParent(entry->d_name, parent)) {
            childrenOf.emplace(parent, static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10)));
        }
    }
    closedir(proc);
}

}  // namespace

void ListDescendants(pid_t root, std::vector<pid_t>& descendants, const std::vector<pid_t>& pruned) {
    descendants.clear();
    std::multimap<pid_t, pid_t> childrenOf;
    ReadParents(childrenOf);
    descendants.push_back(root);
    for (size_t next = 0; next < descendants.size(); ++next) {
        const auto [first, last] = childrenOf.equal_range(descendants[next]);
        for (auto at = first; at != last; ++at) {
            if (!std::binary_search(pruned.begin(), pruned.end(), at->second)) descendants.push_back(at->second);
        }
    }
    descendants.erase(descendants.begin());
}

}  // namespace kestrel::agent::os
