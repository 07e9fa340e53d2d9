// Paths that arrive in requests (a command's working directory, the outputs
// asked for): split at the machine's separator and checked with the same
// rule as archive entries, so that nothing named over the wire leads out of
// the job's work area.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "agent/agent_machine.h"
#include "agent/wire_text.h"

namespace kestrel::agent {

enum class WirePathCheck : uint8_t {
    Ok,
    Unsafe,    // absolute, a drive or share root, ".." above the area, a bad component
    Empty,     // nothing left (where a name is required)
    NoMemory,
};

struct WirePath {
    std::vector<std::string> components;      // UTF-8, for the file system
    std::vector<std::string> wireComponents;  // as received, in the machine's encoding
};

// `separator` is the machine's separator in its wire encoding.
WirePathCheck SplitWirePath(const WireString& text, bool utf16, const std::string& separator,
                            bool allowEmpty, WirePath& path);

// The components joined with "/", for messages.
std::string JoinUtf8(const std::vector<std::string>& components);

}  // namespace kestrel::agent
