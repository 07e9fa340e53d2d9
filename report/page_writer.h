// build_log.html: one file with its style, script and data inside, so that it
// opens anywhere without a network.
#pragma once

#include <cstdio>
#include <string>

#include "report/build_log.h"
#include "report/details_writer.h"

namespace kestrel::report {

// The summary line's facts.
struct Summary {
    size_t succeeded = 0;
    size_t failed = 0;
    size_t errors = 0;
    int64_t wallTime = 0;  // ticks
    std::string busiestMachine;
    int64_t busiestTime = 0;  // ticks of job running time on it
};
Summary Summarise(const BuildLog& log);

// False when a write failed.
bool WritePage(const BuildLog& log, DetailsWriter& details, std::FILE* out);

}  // namespace kestrel::report
