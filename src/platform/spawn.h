// Starting child programs that outlive the decisions of their parent.
#pragma once

#include <string>
#include <vector>

namespace kestrel::platform {

// Starts `argv[0]` (a path) with the arguments and does not wait for it. The
// child gets the default handling of interrupts and broken pipes (on POSIX an
// empty signal mask and default SIGINT and SIGPIPE), whatever this process
// blocks or ignores. False with the system's code on failure.
bool SpawnDetached(const std::vector<std::string>& argv, int* error = nullptr);

}  // namespace kestrel::platform
