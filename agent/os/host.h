// Who and where the agent runs: its user, its process, its environment and
// the system it runs on.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace kestrel::agent::os {

uint32_t UserId();
// The user's login name, or "uid N" when it has none.
std::string UserName();
uint32_t ProcessId();

// The agent's own environment variables (entries without a name left out).
void ReadEnvironment(std::map<std::string, std::string>& environment);

// The system's name ("Linux") and the machine's architecture; empty when unknown.
void DescribeSystem(std::string& name, std::string& machine);

}  // namespace kestrel::agent::os
