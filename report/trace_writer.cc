#include "report/trace_writer.h"

#include <map>
#include <string>
#include <vector>

#include "report/json_text.h"
#include "report/log_values.h"
#include "report/slots.h"

namespace kestrel::report {
namespace {

const char* StatusName(JobStatus status) {
    switch (status) {
        case JobStatus::kSucceeded: return "succeeded";
        case JobStatus::kFailed: return "failed";
        case JobStatus::kError: return "error";
    }
    return "error";
}

void AppendMetadata(std::string& out, const char* kind, size_t pid, uint32_t tid, const std::string& name) {
    out += "{\"ph\":\"M\",\"name\":\"";
    out += kind;
    out += "\",\"pid\":" + std::to_string(pid) + ",\"tid\":" + std::to_string(tid) + ",\"args\":{\"name\":";
    AppendJsonString(out, name);
    out += "}},\n";
}

// Drops the comma after the last event.
void EndList(std::string& text) {
    if (text.size() >= 2 && text[text.size() - 2] == ',') text.erase(text.size() - 2, 1);
}

}  // namespace

bool WriteTrace(const BuildLog& log, std::FILE* out) {
    // Machines by name: two connections to one machine share its process.
    std::map<std::string, std::vector<size_t>> byMachine;
    for (size_t i = 0; i < log.jobs.size(); ++i)
        byMachine[log.connections[log.jobs[i].connection].machine].push_back(i);
    std::vector<uint32_t> slots;
    std::vector<size_t> pids(log.jobs.size(), 0);
    std::string text = "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n";
    size_t pid = 0;
    for (const auto& [machine, members] : byMachine) {
        ++pid;
        uint32_t count = 0;
        AssignSlots(log.jobs, members, slots, count);
        AppendMetadata(text, "process_name", pid, 0, machine);
        for (uint32_t slot = 0; slot < count; ++slot) AppendMetadata(text, "thread_name", pid, slot + 1, "slot " + std::to_string(slot + 1));
        for (size_t index : members) pids[index] = pid;
    }
    bool good = true;
    for (size_t i = 0; i < log.jobs.size(); ++i) {
        const JobRecord& job = log.jobs[i];
        text += "{\"ph\":\"X\",\"name\":";
        AppendJsonString(text, job.name);
        text += ",\"cat\":\"";
        text += StatusName(job.status);
        text += "\",\"ts\":" + MicrosecondsText(job.start - log.start) + ",\"dur\":" + MicrosecondsText(job.running);
        text += ",\"pid\":" + std::to_string(pids[i]) + ",\"tid\":" + std::to_string(slots[i] + 1);
        text += ",\"args\":{\"status\":\"";
        text += StatusName(job.status);
        text += "\",\"connection\":";
        const Connection& connection = log.connections[job.connection];
        AppendJsonString(text, connection.machine + " path " + std::to_string(connection.pathId));
        if (!job.errorReason.empty()) {
            text += ",\"error\":";
            AppendJsonString(text, job.errorReason);
        }
        text += "}},\n";
        if (text.size() > (1u << 16) && i + 1 < log.jobs.size()) {
            good = good && std::fwrite(text.data(), 1, text.size(), out) == text.size();
            text.clear();
        }
    }
    EndList(text);
    text += "]}\n";
    return std::fwrite(text.data(), 1, text.size(), out) == text.size() && good;
}

}  // namespace kestrel::report
