// Ready-made pieces around the writer and reader for callers that work with
// local files: writing a whole archive into a file through an event loop of
// its own (panic.bin), and the create operation that extracts beneath a root.
#pragma once

#include <cstdint>

#include "archive/paxgz_reader.h"
#include "archive/paxgz_writer.h"
#include "archive/safe_path.h"

namespace kestrel {

struct PaxgzFileRunResult {
    bool loopFailed = false;   // the event loop itself failed; loopError says why
    int32_t loopError = 0;
    bool writeFailed = false;  // a write to the archive file failed; writeError says why
    int32_t writeError = 0;
};

// Runs an event loop until `writer` has written the whole archive into `file`
// (closed at the end, also on failure). File reads and the archive writes are
// overlapped operations of that loop. `config` is used as given except for its
// loop and write callback. True when the archive is complete; otherwise the
// writer's error (or `result`) tells what failed. The writer is closed.
bool WritePaxgzToFile(PaxgzWriter& writer, const PaxgzWriterConfig& config, platform::FileHandle file,
                      PaxgzFileRunResult& result);

// The create operation of an extraction into `root`: directories are made
// (existing ones kept), regular files replace whatever file was there, and
// every other kind is refused with kErrorInvalidParameter (87), as the
// output transfer does.
bool CreateEntryBeneath(ExtractionRoot& root, const PaxgzReadEntry& entry, platform::FileHandle& file,
                        int32_t& error);

}  // namespace kestrel
