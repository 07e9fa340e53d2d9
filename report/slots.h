// Concurrent slots: jobs that ran at the same time on one machine get
// different slots, and each job takes the lowest slot free at its start, so
// that the jobs of one slot never overlap.
#pragma once

#include <cstdint>
#include <vector>

#include "report/build_log.h"

namespace kestrel::report {

// For each job of `members` (indices into `jobs`), its slot from 0; the
// result is indexed like `jobs` (jobs outside `members` keep 0). `count`
// receives the number of slots used.
void AssignSlots(const std::vector<JobRecord>& jobs, const std::vector<size_t>& members, std::vector<uint32_t>& slots,
                 uint32_t& count);

}  // namespace kestrel::report
