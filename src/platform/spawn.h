// Starting child programs that outlive the decisions of their parent.
#pragma once

#include <string>
#include <vector>

namespace kestrel::platform {

// Starts `argv[0]` (a path) with the arguments and does not wait for it. The
// child gets an empty signal mask and default SIGINT and SIGPIPE handling,
// whatever this process blocks or ignores. False with the errno on failure.
bool SpawnDetached(const std::vector<std::string>& argv, int* error = nullptr);

}  // namespace kestrel::platform
