// Real scripts in a temporary directory, parsed into a parser context and
// handed to a JobScheduler, with real files whose times the test sets.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scheduler/job_scheduler.h"
#include "script/script_fixture.h"

namespace kestrel::test {

class SchedulerTest : public ScriptTest {
protected:
    void TearDown() override;

    // Parses build.txt (the script must parse), then Schedule and Decide;
    // returns "" or the scheduler's message.
    std::string Run(const std::string& script, const char* name, bool compareTimes = true);
    // Creates `name` (relative to the directory) with the given time in
    // seconds since 1970.
    void File(const std::string& name, int64_t seconds);
    // Job names in queue order.
    std::vector<std::string> Ready() const;
    std::vector<std::string> Waiting() const;
    // Takes every ready job, in order.
    std::vector<std::string> TakeAll();
    // Reports `name` (relative to the directory) as produced.
    void Produced(const std::string& name);

    JobScheduler scheduler;
};

// "machine m" and a job block: name, inputs, outputs (either may be empty).
std::string JobText(const std::string& name, const std::vector<std::string>& inputs,
                    const std::vector<std::string>& outputs);
std::string ProjectText(const std::string& name, const std::vector<std::string>& build,
                        const std::vector<std::string>& test = {});
// Nothing listens on port 1: jobs that run fail at once, and the run ends.
inline const std::string kMachine = "machine m\n  path\n    kv://127.0.0.1:1\n";

}  // namespace kestrel::test
