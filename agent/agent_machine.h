// What all connections of the agent share: the options, the work directory,
// the free capacity, the live connections (so that shutdown can reach them)
// and the lock around the archive code, whose buffers come from a pool that
// is not thread-safe.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <map>
#include <set>
#include <string>

#include "agent/options.h"

namespace kestrel::agent {

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
    // removes the work areas an earlier run left behind.
    bool OpenWorkDirectory(std::string& message);
    int WorkDirectoryFd() const { return workFd_; }
    const std::string& WorkDirectoryPath() const { return workPath_; }
    // Uses an already open directory (the fuzz harness); no lock, no clean-up.
    void UseWorkDirectory(int fd, const std::string& path);

    // A fresh name for a work area.
    std::string NewAreaName();

    // Capacity, in units of 1/256 of the machine.
    bool Reserve(uint32_t units);
    void Release(uint32_t units);
    uint32_t FreeUnits();

    // Live connections: admission and shutdown.
    bool Admit();   // false when --max-connections are served already
    void Leave();
    // Every connection thread, admitted or not, counts until it ends.
    void ThreadStarted();
    void ThreadEnded();
    void Track(int fd);
    void Untrack(int fd);
    // Ends every connection (and tunnel) at once and waits for their threads;
    // false when some were still running after `waitMs`.
    bool ShutDown(uint32_t waitMs);
    bool Stopping() const { return stopping_.load(); }
    uint64_t NextConnectionNumber() { return ++connectionNumber_; }

    // Whether this machine may start processes (off only in the fuzz harness).
    bool spawnProcesses = true;

    // One line to standard error when --verbose is on.
    void Log(const std::string& line) const;

private:
    const AgentOptions& options_;
    std::map<std::string, std::string> baseEnvironment_;
    int workFd_ = -1;
    int lockFd_ = -1;
    bool ownsWorkFd_ = false;
    std::string workPath_;
    std::atomic<uint64_t> areaCounter_{0};
    std::atomic<uint64_t> connectionNumber_{0};
    std::atomic<bool> stopping_{false};

    std::mutex mutex_;
    std::condition_variable connectionsEnded_;
    uint32_t freeUnits_;
    uint32_t connections_ = 0;
    uint32_t threads_ = 0;
    std::set<int> trackedFds_;

};

}  // namespace kestrel::agent
