#include "report/slots.h"

#include <algorithm>
#include <functional>
#include <queue>
#include <utility>

namespace kestrel::report {

void AssignSlots(const std::vector<JobRecord>& jobs, const std::vector<size_t>& members, std::vector<uint32_t>& slots,
                 uint32_t& count) {
    slots.resize(jobs.size(), 0);
    std::vector<size_t> order = members;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return jobs[a].start < jobs[b].start; });
    using Busy = std::pair<int64_t, uint32_t>;  // end, slot
    std::priority_queue<Busy, std::vector<Busy>, std::greater<>> busy;
    std::priority_queue<uint32_t, std::vector<uint32_t>, std::greater<>> free;
    count = 0;
    for (size_t index : order) {
        const JobRecord& job = jobs[index];
        while (!busy.empty() && busy.top().first <= job.start) {
            free.push(busy.top().second);
            busy.pop();
        }
        uint32_t slot = count;
        if (free.empty()) ++count;
        else {
            slot = free.top();
            free.pop();
        }
        slots[index] = slot;
        busy.push({std::max(job.End(), job.start), slot});
    }
}

}  // namespace kestrel::report
