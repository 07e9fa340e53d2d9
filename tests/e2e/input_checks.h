// What the input transfer tests look at: the files as a command on the agent
// found them, the archive the client sent (taken off the relay), and the
// InputWrite pieces it came in.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace kestrel::test {

// One line of `find -printf '%y %s %T@ %P'`.
struct AgentEntry {
    char type = '?';    // f, d, ...
    uint64_t size = 0;
    std::string time;   // seconds.fraction as find prints it
};
using AgentTree = std::map<std::string, AgentEntry>;

// A command that checks manifest.sha256 (sha256sum -c) and lists the work
// area; it leaves check.txt, check.rc and tree.txt in `resultDir` and exits
// with sha256sum's status.
std::vector<std::string> CheckingCommand(const std::string& resultDir);
AgentTree ParseTree(const std::string& text);
// A time as find's %T@ prints it.
std::string FindTime(int64_t seconds, long nanoseconds);

// Writes manifest.sha256 (sha256sum's lines) for `files` below `directory`.
void WriteManifest(const std::string& directory, const std::vector<std::string>& files);

// The archive bytes of the client's InputWrite requests (of `jobId`, or of
// every job when 0), in order.
std::string SentArchive(const WireRelay& relay, uint8_t jobId = 0);
// The gzip member inflated; empty when it is not one whole member.
std::string Inflate(const std::string& gzip);
// GNU tar's listing of a tar stream (names only, as stored).
std::vector<std::string> TarNames(const std::string& tar);

// Every InputWrite payload of `jobId` (0: of all jobs) is the type byte, the
// job ID and 65525 archive bytes, but the last, which holds 1 to 65525.
// Returns the archive byte count of each piece.
std::vector<uint32_t> PieceSizes(const WireRelay& relay, uint8_t jobId = 0);
void ExpectPieceRule(const WireRelay& relay, uint8_t jobId = 0);

// What the connection logs said, read back from the logs a panic report
// packed into panic.bin (the run is made to panic at its end, so that its
// logs outlive it).
struct LoggedStatus {
    uint8_t type = 0;
    uint8_t jobId = 0;
    uint32_t status = 0;
    uint32_t errorCode = 0;
    std::string text;
};
struct LoggedJobError {
    uint8_t kind = 0;
    uint32_t errorCode = 0;
    std::string message;
    std::string subject;
    std::vector<std::string> chain;
    std::string path;
};
struct LoggedRun {
    bool read = false;  // panic.bin held a connection log that read to its end
    std::vector<LoggedStatus> statuses;
    std::vector<LoggedJobError> jobErrors;
};
// `directory` holds panic.bin; the logs are unpacked into `scratch`.
LoggedRun LogsOfPanic(const std::string& directory, const std::string& scratch);

}  // namespace kestrel::test
