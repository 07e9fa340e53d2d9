#include "agent/agent_machine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "agent/allow_list.h"
#include "agent/os/errors.h"
#include "agent/os/files.h"
#include "agent/os/host.h"
#include "agent/os/tcp.h"
#include "platform/process.h"

namespace kestrel::agent {

namespace {

constexpr char kAreaPrefix[] = "job-";
// Areas that could not be removed, out of the way of new ones.
constexpr char kAsidePrefix[] = "aside-";
// Connections beyond the places that still get a rejection for their Hello;
// beyond these they are closed at once.
constexpr uint32_t kRefusalPlaces = 8;
// Connections pushed out to make room that may still hold their descriptor:
// beyond these, the accept waits for them (but not longer than the wait).
// A flood then goes at the pace at which their threads end, and descriptors
// and threads stay bounded.
constexpr size_t kPushedOutAtOnce = 8;
constexpr auto kPushedOutWait = std::chrono::seconds(1);
// How long a keeper may take to end its command's processes.
constexpr uint32_t kKeeperEndMs = 15000;
// The agent's own binary, run again as a job keeper.
constexpr char kKeeperBinary[] = "/proc/self/exe";

bool StartsWith(const std::string& name, const char* prefix) { return name.rfind(prefix, 0) == 0; }

}  // namespace

AgentMachine::AgentMachine(const AgentOptions& options)
    : options_(options), placeLimit_(options.maxConnections), freeUnits_(options.capacity) {
    os::ReadEnvironment(baseEnvironment_);
}

AgentMachine::~AgentMachine() {
    os::CloseDescriptor(lockFd_);
    if (ownsWorkFd_) os::CloseDescriptor(workFd_);
}

bool AgentMachine::OpenWorkDirectory(std::string& message) {
    workPath_ = options_.workDirectory;
    int error = 0;
    if (workPath_.empty()) {
        std::string temporary;
        platform::TemporaryDirectory(temporary, error);  // never fails on POSIX
        workPath_ = temporary + "/kestrel-agent." + std::to_string(os::UserId());
    }
    if (!os::OpenWorkDirectory(workPath_, workFd_, error)) {
        message = "Cannot open the work directory " + workPath_ + ": " + std::strerror(error);
        return false;
    }
    ownsWorkFd_ = true;
    if (!os::LockWorkDirectory(workFd_, lockFd_, error)) {
        message = error == os::kErrorLockHeld ? "The work directory " + workPath_ + " is in use by another agent"
                                       : "Cannot lock the work directory " + workPath_ + ": " + std::strerror(error);
        return false;
    }
    std::vector<std::string> names;
    if (!os::ListDirectory(workFd_, names, error)) {
        message = "Cannot read the work directory " + workPath_ + ": " + std::strerror(error);
        return false;
    }
    for (const std::string& name : names) {
        if (!StartsWith(name, kAreaPrefix) && !StartsWith(name, kAsidePrefix)) continue;
        std::string failure;
        if (RemoveOrMoveAside(name, failure)) {
            Log("removed the old work area " + name);
        } else {
            std::fprintf(stderr, "kestrel-agent: %s\n", failure.c_str());
        }
    }
    return true;
}

// False with `message` when the area is still there, under its name or aside.
bool AgentMachine::RemoveOrMoveAside(const std::string& name, std::string& message) {
    int error = 0;
    if (os::RemoveTree(workFd_, name.c_str(), nullptr, nullptr, error)) return true;
    message = "Cannot remove the work area " + workPath_ + "/" + name + ": " + std::strerror(error);
    if (StartsWith(name, kAsidePrefix)) return false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string aside =
            kAsidePrefix + std::to_string(os::ProcessId()) + "-" + std::to_string(++asideCounter_);
        if (os::RenameEntry(workFd_, name.c_str(), aside.c_str(), error)) {
            message += "; moved aside as " + aside;
            return false;
        }
        if (error != os::kErrorExists) break;
    }
    message += std::string("; it cannot be moved aside either: ") + std::strerror(error);
    return false;
}

void AgentMachine::RemoveWorkArea(const std::string& name, os::RemovalTick tick, void* context) {
    int error = 0;
    if (os::RemoveTree(workFd_, name.c_str(), tick, context, error)) return;
    std::string message;
    if (!RemoveOrMoveAside(name, message)) std::fprintf(stderr, "kestrel-agent: %s\n", message.c_str());
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

Admission AgentMachine::Admit(int fd, const os::SocketAddress& peer) {
    const std::string party = PeerParty(peer);
    std::unique_lock<std::mutex> hold(mutex_);
    const bool crowded = newcomers_.CountFrom(party) >= options_.maxPendingPerAddress;
    if (!crowded && served_ < placeLimit_) {
        ++served_;
        return Admission{Place::Served, newcomers_.Add(fd, party, ShowHost(peer), true)};
    }
    AwaitPushedOut(hold);
    Newcomers::Entry out;
    if (newcomers_.TakeGivingWay(crowded ? &party : nullptr, !crowded, out)) {
        // A rejection place is only passed on when no served one is free.
        const bool served = out.served || served_ < placeLimit_;
        const bool placeGoesOn = served == out.served;
        PushOut(out, placeGoesOn, crowded ? "its address has too many of them" : "every place is taken");
        if (!placeGoesOn) ++served_;
        return Admission{served ? Place::Served : Place::Refused, newcomers_.Add(fd, party, ShowHost(peer), served)};
    }
    if (refused_ < kRefusalPlaces) {
        ++refused_;
        return Admission{Place::Refused, newcomers_.Add(fd, party, ShowHost(peer), false)};
    }
    return Admission{};
}

void AgentMachine::PushOut(const Newcomers::Entry& entry, bool placeGoesOn, const char* why) {
    os::ResetSocket(entry.fd);
    pushedOut_[entry.ticket] = placeGoesOn;
    Log("closed a connection from " + entry.shown + " that had not finished its Hello: " + why);
}

void AgentMachine::AwaitPushedOut(std::unique_lock<std::mutex>& hold) {
    connectionsEnded_.wait_for(hold, kPushedOutWait, [this] { return pushedOut_.size() < kPushedOutAtOnce; });
}

bool AgentMachine::FinishHello(uint64_t ticket) {
    if (ticket == 0) return true;
    std::lock_guard<std::mutex> hold(mutex_);
    return newcomers_.Remove(ticket);
}

void AgentMachine::EndConnection(uint64_t ticket, Place place, int& fd) {
    std::lock_guard<std::mutex> hold(mutex_);
    // Out of the list before the descriptor goes: its number may come back
    // with the next accept.
    newcomers_.Remove(ticket);
    os::CloseDescriptor(fd);
    bool placeGoesOn = false;
    const auto found = pushedOut_.find(ticket);
    if (found != pushedOut_.end()) {
        placeGoesOn = found->second;
        pushedOut_.erase(found);
        ++pushedOutClosed_;
        connectionsEnded_.notify_all();
    }
    if (placeGoesOn) return;
    if (place == Place::Served && served_ > 0) --served_;
    if (place == Place::Refused && refused_ > 0) --refused_;
}

bool AgentMachine::FreeDescriptorForAccept() {
    std::unique_lock<std::mutex> hold(mutex_);
    if (pushedOut_.empty()) {
        Newcomers::Entry out;
        if (!newcomers_.TakeGivingWay(nullptr, false, out)) return false;
        PushOut(out, false, "no descriptor is left");
    }
    const uint64_t closed = pushedOutClosed_;
    connectionsEnded_.wait_for(hold, kPushedOutWait, [&] { return pushedOutClosed_ != closed; });
    return true;
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

bool AgentMachine::StartCommand(const os::CommandStart& start, os::ChildProcess& child, int& error) {
    os::CommandStart withKeeper = start;
    withKeeper.keeperBinary = kKeeperBinary;
    {
        // Started and known in one step: the stray sweep never sees a keeper it does not know.
        std::lock_guard<std::mutex> hold(keeperMutex_);
        if (!os::StartKeeper(withKeeper, child, error)) return false;
        keepers_.insert(child.keeper);
    }
    const pid_t keeper = child.keeper;
    const bool started = os::AwaitCommandStart(child, error);
    if (!started) ForgetKeeper(keeper, child.orphansLeft);
    return started;
}

void AgentMachine::TakeKeeperReports(os::ChildProcess& child) {
    const pid_t keeper = child.keeper;
    os::TakeKeeperReports(child);
    if (keeper > 0 && child.keeper < 0) ForgetKeeper(keeper, child.orphansLeft);
}

void AgentMachine::EndCommandProcesses(os::ChildProcess& child) {
    const pid_t keeper = child.keeper;
    os::EndCommandProcesses(child, kKeeperEndMs);
    if (keeper > 0) ForgetKeeper(keeper, child.orphansLeft);
}

void AgentMachine::ForgetKeeper(pid_t keeper, bool killed) {
    std::lock_guard<std::mutex> hold(keeperMutex_);
    keepers_.erase(keeper);
    if (killed) straysWanted_ = true;
}

bool AgentMachine::EndStrays() {
    std::lock_guard<std::mutex> hold(keeperMutex_);
    const std::vector<pid_t> known(keepers_.begin(), keepers_.end());
    const bool found = os::EndUnknownDescendants(known);
    if (!found) straysWanted_ = false;
    return found;
}

void AgentMachine::Log(const std::string& line) const {
    if (!options_.verbose) return;
    std::fprintf(stderr, "kestrel-agent: %s\n", line.c_str());
}

}  // namespace kestrel::agent
