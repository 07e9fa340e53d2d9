// The last step of a run: build_log.xml in the working directory, written
// from the connection logs the client handed over.
#pragma once

namespace kestrel {

struct DirectClient;

// False after posting why the file could not be created. A connection log
// found corrupt ends the process in a panic report ("connection log corrupt")
// once the document is closed; otherwise every temporary log is deleted.
bool WriteBuildLog(DirectClient& client);

}  // namespace kestrel
