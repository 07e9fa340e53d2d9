#include "agent/agent_machine.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "agent/os/files.h"
#include "agent/os/tcp.h"
#include "platform/process.h"

extern char** environ;

namespace kestrel::agent {

namespace {

constexpr char kAreaPrefix[] = "job-";

}  // namespace

AgentMachine::AgentMachine(const AgentOptions& options) : options_(options), freeUnits_(options.capacity) {
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (equals == nullptr || equals == *entry) continue;
        baseEnvironment_.emplace(std::string(*entry, static_cast<size_t>(equals - *entry)), std::string(equals + 1));
    }
}

AgentMachine::~AgentMachine() {
    os::CloseDescriptor(lockFd_);
    if (ownsWorkFd_) os::CloseDescriptor(workFd_);
}

bool AgentMachine::OpenWorkDirectory(std::string& message) {
    workPath_ = options_.workDirectory;
    if (workPath_.empty()) workPath_ = platform::TemporaryDirectory() + "/kestrel-agent." + std::to_string(getuid());
    int error = 0;
    if (!os::OpenWorkDirectory(workPath_, workFd_, error)) {
        message = "Cannot open the work directory " + workPath_ + ": " + std::strerror(error);
        return false;
    }
    ownsWorkFd_ = true;
    if (!os::LockWorkDirectory(workFd_, lockFd_, error)) {
        message = error == EWOULDBLOCK ? "The work directory " + workPath_ + " is in use by another agent"
                                       : "Cannot lock the work directory " + workPath_ + ": " + std::strerror(error);
        return false;
    }
    std::vector<std::string> names;
    if (!os::ListDirectory(workFd_, names, error)) {
        message = "Cannot read the work directory " + workPath_ + ": " + std::strerror(error);
        return false;
    }
    for (const std::string& name : names) {
        if (name.rfind(kAreaPrefix, 0) != 0) continue;
        if (!os::RemoveTree(workFd_, name.c_str(), nullptr, nullptr, error)) {
            message = "Cannot remove the old work area " + workPath_ + "/" + name + ": " + std::strerror(error);
            return false;
        }
        Log("removed the old work area " + name);
    }
    return true;
}

void AgentMachine::UseWorkDirectory(int fd, const std::string& path) {
    workFd_ = fd;
    workPath_ = path;
    ownsWorkFd_ = false;
}

std::string AgentMachine::NewAreaName() { return kAreaPrefix + std::to_string(++areaCounter_); }

bool AgentMachine::Reserve(uint32_t units) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (units > freeUnits_) return false;
    freeUnits_ -= units;
    return true;
}

void AgentMachine::Release(uint32_t units) {
    std::lock_guard<std::mutex> hold(mutex_);
    freeUnits_ += units;
}

uint32_t AgentMachine::FreeUnits() {
    std::lock_guard<std::mutex> hold(mutex_);
    return freeUnits_;
}

bool AgentMachine::Admit() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (connections_ >= options_.maxConnections) return false;
    ++connections_;
    return true;
}

void AgentMachine::Leave() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (connections_ > 0) --connections_;
}

void AgentMachine::ThreadStarted() {
    std::lock_guard<std::mutex> hold(mutex_);
    ++threads_;
}

void AgentMachine::ThreadEnded() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (threads_ > 0) --threads_;
    connectionsEnded_.notify_all();
}

void AgentMachine::Track(int fd) {
    std::lock_guard<std::mutex> hold(mutex_);
    trackedFds_.insert(fd);
    // A connection that arrives while shutting down ends at once.
    if (stopping_) os::ShutdownSocket(fd);
}

void AgentMachine::Untrack(int fd) {
    std::lock_guard<std::mutex> hold(mutex_);
    trackedFds_.erase(fd);
}

bool AgentMachine::ShutDown(uint32_t waitMs) {
    std::unique_lock<std::mutex> hold(mutex_);
    stopping_ = true;
    for (int fd : trackedFds_) os::ShutdownSocket(fd);
    return connectionsEnded_.wait_for(hold, std::chrono::milliseconds(waitMs), [this] { return threads_ == 0; });
}

void AgentMachine::Log(const std::string& line) const {
    if (!options_.verbose) return;
    std::fprintf(stderr, "kestrel-agent: %s\n", line.c_str());
}

}  // namespace kestrel::agent
