// build_log.trace.json in the Trace Event format: one complete event per job,
// one process per machine, one thread per concurrent slot of that machine.
#pragma once

#include <cstdio>

#include "report/build_log.h"

namespace kestrel::report {

// False when a write failed.
bool WriteTrace(const BuildLog& log, std::FILE* out);

}  // namespace kestrel::report
