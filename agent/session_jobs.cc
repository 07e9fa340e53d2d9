// Job set-up and end: StartJob, SetDevelopmentEnvironment, the environment
// edits and EndJob.

#include <cstring>
#include <mutex>

#include "agent/os/errors.h"
#include "agent/os/files.h"
#include "agent/session.h"
#include "agent/wire_text.h"

namespace kestrel::agent {

namespace {

// StartJob statuses.
constexpr uint32_t kStartJobInUse = 2;
constexpr uint32_t kStartJobAreaNotCreated = 5;
constexpr uint32_t kStartJobAreaNotOpened = 6;
constexpr uint32_t kStartJobCorrupt = 7;
constexpr uint32_t kStartJobNoCapacity = 8;

// Shared by the development environment and the environment edits.
constexpr uint32_t kInvalidJob = 1;

constexpr uint32_t kDevelopmentUnknown = 2;
constexpr uint32_t kDevelopmentCorrupt = 3;
constexpr uint32_t kDevelopmentWrongTime = 4;
constexpr uint32_t kDevelopmentUnsupported = 6;

constexpr uint32_t kEditCorrupt = 3;
constexpr uint32_t kEditWrongTime = 4;

constexpr uint32_t kEndJobCorrupt = 2;

// A whole machine: what a job of concurrency factor 0 needs.
constexpr uint32_t kWholeMachine = 256;

void TickSession(void* context) { static_cast<Session*>(context)->Tick(); }

}  // namespace

void Session::OnStartJob(const Request& request) {
    if (request.length != 3 || request.payload[1] == 0 || request.payload[1] == 255) return Status(kStartJobCorrupt);
    const uint8_t id = request.payload[1];
    if (jobs_.count(id) != 0) return Status(kStartJobInUse);
    const uint32_t units = request.payload[2] == 0 ? kWholeMachine : request.payload[2];
    if (!TakeGrantedRoom(units) && !machine_.Reserve(units)) {
        waitingForCapacity_[id] = units;
        Log("job " + std::to_string(id) + " waits for " + std::to_string(units) + " units");
        return Status(kStartJobNoCapacity);
    }
    auto job = std::make_unique<AgentJob>();
    job->id = id;
    job->units = units;
    int error = 0;
    if (!machine_.MakeWorkArea(job->areaName, error)) {
        machine_.Release(units);
        Status(kStartJobAreaNotCreated);
        return reply_.U32(static_cast<uint32_t>(error));
    }
    if (!os::OpenDirectoryBeneath(machine_.WorkDirectoryFd(), {job->areaName}, job->areaFd, error)) {
        machine_.RemoveWorkArea(job->areaName, nullptr, nullptr);
        machine_.Release(units);
        Status(kStartJobAreaNotOpened);
        return reply_.U32(static_cast<uint32_t>(error));
    }
    job->environment = machine_.BaseEnvironment();
    waitingForCapacity_.erase(id);
    Log("job " + std::to_string(id) + " started in " + job->areaName);
    jobs_[id] = std::move(job);
    Status(0);
}

// Room set aside while a Poll was held is this job's when it is enough;
// otherwise it goes back before the job asks the machine.
bool Session::TakeGrantedRoom(uint32_t units) {
    if (grantedUnits_ >= units) {
        machine_.StartOnGranted(grantedUnits_, units);
        grantedUnits_ = 0;
        return true;
    }
    ReturnGrantedRoom();
    return false;
}

void Session::OnSetDevelopmentEnvironment(const Request& request) {
    if (request.length < 2) return Status(kDevelopmentCorrupt);
    AgentJob* job = FindJob(request);
    if (job == nullptr) return Status(kInvalidJob);
    if (job->stepStarted) return Status(kDevelopmentWrongTime);
    // The name's bytes as the script wrote them and one 0 byte, in either encoding.
    const uint8_t* name = request.payload + 2;
    const uint32_t length = request.length - 2;
    if (length < 2 || name[length - 1] != 0 || std::memchr(name, 0, length - 1) != nullptr)
        return Status(kDevelopmentCorrupt);
    const auto& known = machine_.Options().developmentEnvironments;
    if (known.empty()) return Status(kDevelopmentUnsupported);
    const std::string wanted(reinterpret_cast<const char*>(name), length - 1);
    for (const DevelopmentEnvironment& environment : known) {
        if (environment.name != wanted) continue;
        for (const auto& [variable, value] : environment.assignments) job->environment[variable] = value;
        Log("job " + std::to_string(job->id) + " uses the development environment " + wanted);
        return Status(0);
    }
    Status(kDevelopmentUnknown);
}

void Session::OnEnvironmentEdit(const Request& request) {
    if (request.length < 2) return Status(kEditCorrupt);
    AgentJob* job = FindJob(request);
    if (job == nullptr) return Status(kInvalidJob);
    if (job->stepStarted) return Status(kEditWrongTime);
    uint32_t offset = 2;
    WireString name, value;
    if (!ReadWireString(request.payload, request.length, offset, Utf16(), name) ||
        !ReadWireString(request.payload, request.length, offset, Utf16(), value) || offset != request.length)
        return Status(kEditCorrupt);
    std::string variable, text;
    if (!WireToUtf8(name, Utf16(), variable) || !WireToUtf8(value, Utf16(), text) || variable.empty() ||
        variable.find('=') != std::string::npos)
        return Status(kEditCorrupt);
    // Prefixes and suffixes join like search paths; an empty old value takes no separator.
    const auto found = job->environment.find(variable);
    const bool present = found != job->environment.end() && !found->second.empty();
    switch (static_cast<MessageType>(request.type)) {
    case MessageType::ReplaceEnvironment: job->environment[variable] = text; break;
    case MessageType::PrefixEnvironment: job->environment[variable] = present ? text + ":" + found->second : text; break;
    default: job->environment[variable] = present ? found->second + ":" + text : text; break;
    }
    Status(0);
}

void Session::OnEndJob(const Request& request) {
    if (request.length != 2) return Status(kEndJobCorrupt);
    AgentJob* job = FindJob(request);
    if (job == nullptr) return Status(kInvalidJob);
    const uint8_t id = job->id;
    EndJob(*job);
    jobs_.erase(id);
    Log("job " + std::to_string(id) + " ended");
    Status(0);
}

void Session::RetireCommand(AgentJob& job) {
    for (auto keeper = job.lingering.begin(); keeper != job.lingering.end();) {
        keeper = machine_.StillKeeping(*keeper) ? keeper + 1 : job.lingering.erase(keeper);
    }
    if (!job.command) return;
    os::ChildProcess& child = job.command->child;
    os::CloseDescriptor(child.output);
    os::CloseDescriptor(child.error);
    if (machine_.StillKeeping(child)) job.lingering.push_back(child);
    job.command.reset();
}

void Session::EndJob(AgentJob& job) {
    // Every process the job started ends before its area goes.
    if (job.command) machine_.EndCommandProcesses(job.command->child);
    job.command.reset();
    for (os::ChildProcess& keeper : job.lingering) machine_.EndCommandProcesses(keeper);
    job.lingering.clear();
    if (job.input) job.input->reader.Close();
    job.input.reset();
    job.output.reset();
    os::CloseDescriptor(job.areaFd);
    machine_.RetireWorkArea(job.areaName, TickSession, this);
    machine_.Release(job.units);
    job.units = 0;
}

}  // namespace kestrel::agent
