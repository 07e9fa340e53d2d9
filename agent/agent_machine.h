// What all connections of the agent share: the options, the work directory,
// the free capacity, the connection places, the live connections (so that
// shutdown can reach them), the job keepers (so that orphans of a lost one
// are found, and so that idle ones wait for the next command) and whether
// the machine counts as configured securely.
#pragma once

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "agent/newcomers.h"
#include "agent/options.h"
#include "agent/os/files.h"
#include "agent/os/process.h"
#include "agent/os/tcp.h"

namespace kestrel::agent {

// What a new connection gets at accept.
enum class Place : uint8_t {
    Served,   // one of the connection places: it may be admitted
    Refused,  // one of a few places for answering its Hello with a rejection
    None,     // closed at once
};

// A new connection's place, and its ticket among the connections that have
// not finished their Hello (0 with Place::None).
struct Admission {
    Place place = Place::None;
    uint64_t ticket = 0;
};

// A session held until room frees for its waiting job. Freed room goes to
// waiters in the order they came, each given what it needs while that fits,
// so that only those that can start are woken. What a waiter was given stays
// reserved for its session until a job takes it or the session gives it back.
struct RoomWaiter {
    uint32_t units = 0;
    uint32_t granted = 0;
    std::condition_variable grant;
};

class AgentMachine {
public:
    explicit AgentMachine(const AgentOptions& options);
    ~AgentMachine();
    AgentMachine(const AgentMachine&) = delete;
    AgentMachine& operator=(const AgentMachine&) = delete;

    const AgentOptions& Options() const { return options_; }
    // The agent's own environment, where every job's environment starts.
    const std::map<std::string, std::string>& BaseEnvironment() const { return baseEnvironment_; }

    // Opens (creating it when missing) and locks the work directory, then
    // removes what an earlier run left behind. Areas that cannot be removed
    // are moved aside and reported; only an unusable directory fails.
    bool OpenWorkDirectory(std::string& message);
    int WorkDirectoryFd() const { return workFd_; }
    const std::string& WorkDirectoryPath() const { return workPath_; }
    // Uses an already open directory (the fuzz harness); no lock, no clean-up.
    void UseWorkDirectory(int fd, const std::string& path);

    // A fresh name for a work area.
    std::string NewAreaName();
    // A new, empty work area under a fresh name: an ended job's area that
    // was kept when there is one, else a new directory.
    bool MakeWorkArea(std::string& name, int& error);
    // An ended job's area: emptied and kept for a later job while few are
    // kept, otherwise removed as RemoveWorkArea does.
    void RetireWorkArea(const std::string& name, os::RemovalTick tick, void* context);
    // Removes a job's work area; when that fails it says so on standard
    // error and moves the area aside, to be removed at the next start.
    void RemoveWorkArea(const std::string& name, os::RemovalTick tick, void* context);

    // Capacity, in units of 1/256 of the machine: each job reserves its
    // share once and releases it once.
    bool Reserve(uint32_t units);
    void Release(uint32_t units);
    uint32_t FreeUnits();
    // Queues the waiter, or grants it at once when its units are free.
    void JoinRoomQueue(RoomWaiter& waiter);
    // Waits up to `limit` for the grant; true once granted.
    bool AwaitRoom(RoomWaiter& waiter, std::chrono::milliseconds limit);
    // Leaves the queue; the units granted (0 when none), now the caller's.
    uint32_t LeaveRoomQueue(RoomWaiter& waiter);
    // A job starts on `units` of the `granted` ones; the rest are released.
    void StartOnGranted(uint32_t granted, uint32_t units);
    // Units granted and not used go back.
    void ReturnGranted(uint32_t granted);

    // Connection places, counted from accept on: at most `limit` served
    // connections (--max-connections, or less when descriptors are short).
    void SetPlaceLimit(uint32_t limit) { placeLimit_ = limit; }
    // A new connection on `fd`: a free place, or the place of a connection
    // that has not finished its Hello and is closed to make room (when the
    // places are taken, or when its address already has
    // --max-pending-per-address such connections). Connections that
    // finished their Hello are never closed for this.
    Admission Admit(int fd, const os::SocketAddress& peer);
    // The Hello is done: the connection is never closed to make room from
    // now on. False when it already was (it must end without an answer).
    bool FinishHello(uint64_t ticket);
    // Closes the connection's socket and gives its place back, unless the
    // place went to the connection that pushed this one out.
    void EndConnection(uint64_t ticket, Place place, int& fd);
    // Out of descriptors at accept: closes a connection that has not
    // finished its Hello (unless one is already closing) and waits a little
    // for its descriptor to come free. False when there is none to close.
    bool FreeDescriptorForAccept();

    // Every connection thread counts until it ends.
    void ThreadStarted();
    void ThreadEnded();
    void Track(int fd);
    void Untrack(int fd);
    // Ends every connection (and tunnel) at once and waits for their threads;
    // false when some were still running after `waitMs`.
    bool ShutDown(uint32_t waitMs);
    bool Stopping() const { return stopping_.load(); }
    uint64_t NextConnectionNumber() { return ++connectionNumber_; }

    // Loopback only, or clients restricted by --allow: what Capabilities says.
    void SetConfiguredSecurely(bool secure) { configuredSecurely_ = secure; }
    bool ConfiguredSecurely() const { return configuredSecurely_; }

    // Whether this machine may start processes (off only in the fuzz harness).
    bool spawnProcesses = true;

    // Commands, through their keepers: started, asked and ended here so that
    // the machine knows which of its children are keepers. A command goes to
    // an idle keeper, started ahead of need; a keeper whose command has left
    // nothing behind goes back to wait for another as soon as it says so.
    // Whether the command started comes with the keeper's reports.
    bool StartCommand(const os::CommandStart& start, os::ChildProcess& child, int& error);
    void TakeKeeperReports(os::ChildProcess& child);
    // Takes the keeper's reports; true while it still looks after processes
    // of its command.
    bool StillKeeping(os::ChildProcess& child);
    void EndCommandProcesses(os::ChildProcess& child);
    // Starts keepers until a few are waiting.
    void StartKeepersAhead();
    // Ends the idle keepers (when the agent stops).
    void DismissIdleKeepers();
    // Ends the idle keepers beyond a few and one for each job.
    void TrimIdleKeepers();
    // A keeper died or gave up: what it looked after came to us, the subreaper.
    bool StraysWanted() const { return straysWanted_.load(); }
    // Kills what is below us but not below a keeper, and reaps what of it is
    // ours; true while there was any.
    bool EndStrays();

    // One line to standard error when --verbose is on.
    void Log(const std::string& line) const;

private:
    void ForgetKeeper(pid_t keeper, bool killed);
    // A waiting keeper when `waiting` and there is one, else a new one.
    bool TakeKeeper(bool waiting, os::IdleKeeper& keeper, int& error);
    void GiveBackKeeper(os::ChildProcess& child);
    void ReleaseKeeper(os::ChildProcess& child);
    void DismissKeeper(os::IdleKeeper& keeper);
    void DismissIdleKeepersBeyond(size_t kept);
    bool RemoveOrMoveAside(const std::string& name, std::string& message);
    void PushOut(const Newcomers::Entry& entry, bool placeGoesOn, const char* why);
    void AwaitPushedOut(std::unique_lock<std::mutex>& hold);
    void GrantRoom();  // under mutex_
    bool TakeSpareArea(std::string& name);
    void RemoveSpareAreas();

    const AgentOptions& options_;
    std::map<std::string, std::string> baseEnvironment_;
    int workFd_ = -1;
    int lockFd_ = -1;
    bool ownsWorkFd_ = false;
    std::string workPath_;
    std::atomic<uint64_t> areaCounter_{0};
    std::mutex areaMutex_;
    std::vector<std::string> spareAreas_;
    std::atomic<uint64_t> asideCounter_{0};
    std::atomic<uint64_t> connectionNumber_{0};
    std::atomic<bool> stopping_{false};
    bool configuredSecurely_ = false;
    uint32_t placeLimit_;

    std::mutex mutex_;
    std::condition_variable connectionsEnded_;
    uint32_t freeUnits_;
    std::atomic<uint32_t> jobs_{0};  // jobs that hold capacity
    std::list<RoomWaiter*> roomWaiters_;
    uint32_t served_ = 0;
    uint32_t refused_ = 0;
    uint32_t threads_ = 0;
    Newcomers newcomers_;
    // Connections pushed out whose threads have not closed them yet, and
    // whether their place went on to the newcomer.
    std::map<uint64_t, bool> pushedOut_;
    uint64_t pushedOutClosed_ = 0;
    std::set<int> trackedFds_;

    std::mutex keeperMutex_;
    std::set<pid_t> keepers_;  // every keeper, idle ones too
    std::vector<os::IdleKeeper> idleKeepers_;
    std::atomic<bool> straysWanted_{false};
};

}  // namespace kestrel::agent
