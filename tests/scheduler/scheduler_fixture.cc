#include "scheduler/scheduler_fixture.h"

namespace kestrel::test {

void SchedulerTest::TearDown() {
    scheduler.Release();
    ScriptTest::TearDown();
}

std::string SchedulerTest::Run(const std::string& script, const char* name, bool compareTimes) {
    const std::string error = ErrorOf(script);
    EXPECT_EQ(error, "");
    if (!error.empty()) return "<parse failed>";
    if (scheduler.Schedule(context, name, compareTimes) && scheduler.Decide()) return "";
    return scheduler.message != nullptr ? scheduler.message : "<no message>";
}

void SchedulerTest::File(const std::string& name, int64_t seconds) {
    WriteFile(dir / name, name);
    SetModificationTime(dir / name, seconds);
}

std::vector<std::string> SchedulerTest::Ready() const {
    std::vector<std::string> names;
    for (const Job* job = scheduler.readyHead; job != nullptr; job = job->queueNext) names.push_back(job->name);
    return names;
}

std::vector<std::string> SchedulerTest::Waiting() const {
    std::vector<std::string> names;
    for (const Job* job = scheduler.waitingHead; job != nullptr; job = job->queueNext) names.push_back(job->name);
    return names;
}

std::vector<std::string> SchedulerTest::TakeAll() {
    std::vector<std::string> names;
    while (Job* job = scheduler.TakeReadyJob()) {
        EXPECT_EQ(job->queueState, kJobTaken);
        names.push_back(job->name);
    }
    return names;
}

void SchedulerTest::Produced(const std::string& name) {
    const std::string path = dir / name;
    EXPECT_TRUE(scheduler.OutputProduced(path.data(), static_cast<uint32_t>(path.size())));
}

std::string JobText(const std::string& name, const std::vector<std::string>& inputs,
                    const std::vector<std::string>& outputs) {
    std::string text = "job " + name + "\n  machine\n    m\n";
    if (!inputs.empty()) {
        text += "  input\n";
        for (const std::string& input : inputs) text += "    " + input + "\n";
    }
    if (!outputs.empty()) {
        text += "  output\n";
        for (const std::string& output : outputs) text += "    " + output + "\n";
    }
    return text;
}

std::string ProjectText(const std::string& name, const std::vector<std::string>& build,
                        const std::vector<std::string>& test) {
    std::string text = "project " + name + "\n";
    if (!build.empty()) {
        text += "  build\n";
        for (const std::string& entry : build) text += "    " + entry + "\n";
    }
    if (!test.empty()) {
        text += "  test\n";
        for (const std::string& entry : test) text += "    " + entry + "\n";
    }
    return text;
}

}  // namespace kestrel::test
