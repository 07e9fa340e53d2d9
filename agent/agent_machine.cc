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
// Emptied areas waiting for the next job: creating and removing a directory
// costs the file system far more than renaming one (milliseconds against
// microseconds on a busy ext4), more than all else a small job costs here.
constexpr char kSparePrefix[] = "spare-";
constexpr size_t kMostSpareAreas = 16;
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
// Keepers kept waiting for a command: started ahead of need up to the
// least, given back after their command while there are fewer than the
// most. Now and then those beyond the least and one for each job end: a
// client's jobs come and go in bursts.
constexpr size_t kLeastIdleKeepers = 2;
constexpr size_t kMostIdleKeepers = 64;
// A command that is over leaves its keeper idle within this time.
constexpr int kIdleWaitMs = 20;

bool StartsWith(const std::string& name, const char* prefix) { return name.rfind(prefix, 0) == 0; }

}  // namespace

AgentMachine::AgentMachine(const AgentOptions& options)
    : options_(options),
      placeLimit_(options.maxConnections),
      freeUnits_(options.capacity) {
    os::ReadEnvironment(baseEnvironment_);
}

AgentMachine::~AgentMachine() {
    DismissIdleKeepers();
    if (workFd_ >= 0) RemoveSpareAreas();
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
        if (!StartsWith(name, kAreaPrefix) && !StartsWith(name, kAsidePrefix) && !StartsWith(name, kSparePrefix))
            continue;
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

bool AgentMachine::MakeWorkArea(std::string& name, int& error) {
    std::string spare;
    if (TakeSpareArea(spare)) {
        name = NewAreaName();
        if (os::RenameEntry(workFd_, spare.c_str(), name.c_str(), error)) return true;
        RemoveWorkArea(spare, nullptr, nullptr);
    }
    // A name may still be taken by an area that could not be removed.
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = NewAreaName();
        if (os::MakeDirectory(workFd_, name.c_str(), error)) return true;
        if (error != os::kErrorExists) return false;
    }
    return false;
}

void AgentMachine::RetireWorkArea(const std::string& name, os::RemovalTick tick, void* context) {
    bool wanted = false;
    {
        std::lock_guard<std::mutex> hold(areaMutex_);
        wanted = spareAreas_.size() < kMostSpareAreas && !stopping_;
    }
    int error = 0;
    const std::string spare = kSparePrefix + std::to_string(++areaCounter_);
    if (wanted && os::EmptyTree(workFd_, name.c_str(), tick, context, error) &&
        os::RenameEntry(workFd_, name.c_str(), spare.c_str(), error)) {
        std::lock_guard<std::mutex> hold(areaMutex_);
        spareAreas_.push_back(spare);
        return;
    }
    RemoveWorkArea(name, tick, context);
}

bool AgentMachine::TakeSpareArea(std::string& name) {
    std::lock_guard<std::mutex> hold(areaMutex_);
    if (spareAreas_.empty()) return false;
    name = std::move(spareAreas_.back());
    spareAreas_.pop_back();
    return true;
}

void AgentMachine::RemoveSpareAreas() {
    std::string name;
    while (TakeSpareArea(name)) RemoveWorkArea(name, nullptr, nullptr);
}

bool AgentMachine::Reserve(uint32_t units) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (units > freeUnits_) return false;
    freeUnits_ -= units;
    ++jobs_;
    return true;
}

void AgentMachine::Release(uint32_t units) {
    std::lock_guard<std::mutex> hold(mutex_);
    freeUnits_ += units;
    if (jobs_ > 0) --jobs_;
    GrantRoom();
}

uint32_t AgentMachine::FreeUnits() {
    std::lock_guard<std::mutex> hold(mutex_);
    return freeUnits_;
}

void AgentMachine::GrantRoom() {
    for (auto waiter = roomWaiters_.begin(); waiter != roomWaiters_.end() && freeUnits_ > 0;) {
        RoomWaiter& next = **waiter;
        if (next.units > freeUnits_) {
            ++waiter;
            continue;
        }
        freeUnits_ -= next.units;
        next.granted = next.units;
        next.grant.notify_one();
        waiter = roomWaiters_.erase(waiter);
    }
}

void AgentMachine::JoinRoomQueue(RoomWaiter& waiter) {
    std::lock_guard<std::mutex> hold(mutex_);
    waiter.granted = 0;
    roomWaiters_.push_back(&waiter);
    GrantRoom();
}

bool AgentMachine::AwaitRoom(RoomWaiter& waiter, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> hold(mutex_);
    return waiter.grant.wait_for(hold, limit, [&waiter] { return waiter.granted != 0; });
}

uint32_t AgentMachine::LeaveRoomQueue(RoomWaiter& waiter) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (waiter.granted == 0) roomWaiters_.remove(&waiter);
    return waiter.granted;
}

void AgentMachine::StartOnGranted(uint32_t granted, uint32_t units) {
    std::lock_guard<std::mutex> hold(mutex_);
    freeUnits_ += granted - units;
    ++jobs_;
    GrantRoom();
}

void AgentMachine::ReturnGranted(uint32_t granted) {
    if (granted == 0) return;
    std::lock_guard<std::mutex> hold(mutex_);
    freeUnits_ += granted;
    GrantRoom();
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
    os::IdleKeeper keeper;
    // A keeper that died while it waited is replaced by a new one.
    for (int attempt = 0;; ++attempt) {
        if (!TakeKeeper(attempt == 0, keeper, error)) return false;
        const os::HandOver handOver = os::SendCommand(keeper, start, child, error);
        if (handOver == os::HandOver::Sent) break;
        if (handOver == os::HandOver::Failed) {
            child.idle = true;
            child.keeper = keeper.pid;
            child.control = keeper.control;
            GiveBackKeeper(child);
            return false;
        }
        DismissKeeper(keeper);
        if (attempt == 1) return false;
    }
    // While the keeper starts the command, not before.
    StartKeepersAhead();
    return true;
}

void AgentMachine::TakeKeeperReports(os::ChildProcess& child) {
    const pid_t keeper = child.keeper;
    os::TakeKeeperReports(child);
    if (keeper > 0 && child.keeper < 0) ForgetKeeper(keeper, child.orphansLeft);
    // The command's streams may still be drained: they are no part of the keeper.
    if (child.idle) ReleaseKeeper(child);
}

bool AgentMachine::StillKeeping(os::ChildProcess& child) {
    TakeKeeperReports(child);
    return child.keeper > 0;
}

void AgentMachine::EndCommandProcesses(os::ChildProcess& child) {
    if (!child.idle && child.exited && child.groupGone && child.control >= 0) {
        const pid_t keeper = child.keeper;
        os::AwaitIdle(child, kIdleWaitMs);
        if (keeper > 0 && child.keeper < 0) ForgetKeeper(keeper, child.orphansLeft);
    }
    if (child.idle) return GiveBackKeeper(child);
    const pid_t keeper = child.keeper;
    os::EndCommandProcesses(child, kKeeperEndMs);
    if (keeper > 0) ForgetKeeper(keeper, child.orphansLeft);
}

// Started and known in one step: the stray sweep never sees a keeper it does not know.
bool AgentMachine::TakeKeeper(bool waiting, os::IdleKeeper& keeper, int& error) {
    std::vector<os::IdleKeeper> dead;
    bool taken = false;
    {
        std::lock_guard<std::mutex> hold(keeperMutex_);
        while (waiting && !taken && !idleKeepers_.empty()) {
            keeper = idleKeepers_.back();
            idleKeepers_.pop_back();
            taken = !os::IdleKeeperGone(keeper);
            if (!taken) dead.push_back(keeper);
        }
        if (!taken) {
            taken = os::StartIdleKeeper(kKeeperBinary, keeper, error);
            if (taken) keepers_.insert(keeper.pid);
        }
    }
    for (os::IdleKeeper& gone : dead) DismissKeeper(gone);
    return taken;
}

void AgentMachine::StartKeepersAhead() {
    std::lock_guard<std::mutex> hold(keeperMutex_);
    while (idleKeepers_.size() < kLeastIdleKeepers) {
        os::IdleKeeper keeper;
        int error = 0;
        if (!os::StartIdleKeeper(kKeeperBinary, keeper, error)) return;
        keepers_.insert(keeper.pid);
        idleKeepers_.push_back(keeper);
    }
}

void AgentMachine::GiveBackKeeper(os::ChildProcess& child) {
    os::CloseDescriptor(child.output);
    os::CloseDescriptor(child.error);
    ReleaseKeeper(child);
}

// The keeper waits for the next command, or ends when very many others do.
// Fewer are kept only by the trim once a second: the number of jobs swings
// from one moment to the next, and a keeper ended too early is a process
// start that the next command waits for.
void AgentMachine::ReleaseKeeper(os::ChildProcess& child) {
    os::IdleKeeper keeper{child.keeper, child.control};
    child.keeper = -1;
    child.control = -1;
    if (keeper.pid <= 0) return;
    {
        std::lock_guard<std::mutex> hold(keeperMutex_);
        if (idleKeepers_.size() < kMostIdleKeepers && !stopping_) {
            idleKeepers_.push_back(keeper);
            return;
        }
    }
    DismissKeeper(keeper);
}

void AgentMachine::DismissKeeper(os::IdleKeeper& keeper) {
    const pid_t pid = keeper.pid;
    os::DismissKeeper(keeper);
    ForgetKeeper(pid, false);
}

void AgentMachine::DismissIdleKeepers() { DismissIdleKeepersBeyond(0); }

void AgentMachine::TrimIdleKeepers() { DismissIdleKeepersBeyond(kLeastIdleKeepers + jobs_.load()); }

void AgentMachine::DismissIdleKeepersBeyond(size_t kept) {
    std::vector<os::IdleKeeper> idle;
    {
        std::lock_guard<std::mutex> hold(keeperMutex_);
        // Those that died while they waited, then the longest idle.
        const auto alive = std::stable_partition(idleKeepers_.begin(), idleKeepers_.end(),
                                                 [](const os::IdleKeeper& keeper) { return os::IdleKeeperGone(keeper); });
        const size_t dead = static_cast<size_t>(alive - idleKeepers_.begin());
        const size_t living = idleKeepers_.size() - dead;
        const size_t beyond = dead + (living > kept ? living - kept : 0);
        idle.assign(idleKeepers_.begin(), idleKeepers_.begin() + static_cast<std::ptrdiff_t>(beyond));
        idleKeepers_.erase(idleKeepers_.begin(), idleKeepers_.begin() + static_cast<std::ptrdiff_t>(beyond));
    }
    // All sockets first: the keepers end side by side.
    for (os::IdleKeeper& keeper : idle) os::CloseDescriptor(keeper.control);
    for (os::IdleKeeper& keeper : idle) DismissKeeper(keeper);
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
