// The agent's main loop: listens, starts a thread per connection, and on a
// termination signal ends every connection (and so every job) before it exits.
#pragma once

#include "agent/options.h"

namespace kestrel::agent {

// Returns the process exit code: 0 after an orderly stop, 1 when start-up failed.
int RunServer(const AgentOptions& options);

}  // namespace kestrel::agent
