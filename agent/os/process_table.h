// The system's process table as parent links, read from /proc: which
// processes are below a given one.
#pragma once

#include <sys/types.h>

#include <vector>

namespace kestrel::agent::os {

// Every process below `root`, parents before their children, leaving out
// the `pruned` ones (sorted) and everything below them.
void ListDescendants(pid_t root, std::vector<pid_t>& descendants, const std::vector<pid_t>& pruned = {});

}  // namespace kestrel::agent::os
