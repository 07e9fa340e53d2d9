#include "report/chain.h"

#include <algorithm>

namespace kestrel::report {

// The log shows when each job started and ended and what it produced, but
// not what it read, so the chain is found from the times alone. A job is
// started once everything it needs exists, so what it waited for last is the
// job that ended last at or before its start. The chain begins at the job
// that ended last and steps back to that job each time, until no job ended
// before the current one started. Jobs refused before they started took no
// time and are left out.
std::vector<bool> WaitingChain(const std::vector<JobRecord>& jobs) {
    std::vector<bool> marked(jobs.size(), false);
    std::vector<size_t> byEnd;
    for (size_t i = 0; i < jobs.size(); ++i)
        if (jobs[i].started) byEnd.push_back(i);
    if (byEnd.empty()) return marked;
    std::stable_sort(byEnd.begin(), byEnd.end(), [&](size_t a, size_t b) { return jobs[a].End() < jobs[b].End(); });
    size_t current = byEnd.back();
    for (;;) {
        marked[current] = true;
        const int64_t start = jobs[current].start;
        // The first job ending after `start`; the one before it ended last at or before it.
        const auto after = std::upper_bound(byEnd.begin(), byEnd.end(), start,
                                            [&](int64_t time, size_t index) { return time < jobs[index].End(); });
        // Jobs that took no time end where they start: never step to one
        // already on the chain.
        auto previous = after;
        while (previous != byEnd.begin() && marked[*(previous - 1)]) --previous;
        if (previous == byEnd.begin()) break;
        current = *(previous - 1);
    }
    return marked;
}

}  // namespace kestrel::report
