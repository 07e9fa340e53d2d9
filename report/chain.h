// The longest chain of waiting: the jobs the last job waited for, one after
// the other, back to the start of the run.
#pragma once

#include <vector>

#include "report/build_log.h"

namespace kestrel::report {

// Marks (true) the jobs on the chain, indexed like `jobs`.
std::vector<bool> WaitingChain(const std::vector<JobRecord>& jobs);

}  // namespace kestrel::report
