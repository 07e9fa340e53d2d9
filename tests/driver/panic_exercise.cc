// Test-only program: makes a crashed run with temporary logs and panics, so
// the report and its relaunch can be checked end to end.
//
//   panic_exercise --panic                      the relaunch (as kestrel's)
//   panic_exercise --corrupt-build-log          a run's end whose connection log
//                                               is corrupt: build_log.xml, then
//                                               the panic
//   panic_exercise LOGS [DELETED] [THREADS]     LOGS temporary logs with content,
//                                               the file of log number DELETED
//                                               (1-based; 0: none) removed behind
//                                               the table's back, then THREADS
//                                               threads panic at once
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/direct_client.h"
#include "driver/build_log_step.h"
#include "driver/panic.h"
#include "logs/connection_log.h"
#include "runtime/messages.h"
#include "runtime/temp_files.h"

namespace {

// A connection log whose last record starts with a byte no record starts with.
int CorruptBuildLog() {
    kestrel::SetDisplayMode(false);
    kestrel::ConnectionLog log;
    const uint8_t bad = 0x90;
    if (!log.Create("kv://builder") || !log.Start("builder", 0) || !log.BeginFirstHop("kv://builder") ||
        !log.AppendHopReached(nullptr, 0) || !log.Commit() || !log.BeginRecord(&bad, 1) || !log.Commit())
        return 3;
    static kestrel::DirectClient client;
    static kestrel::HandedLog handed{log.HandOver(), false};
    client.handedLogs = &handed;
    client.handedLogCount = 1;
    client.openFileBudget = 100;
    kestrel::WriteBuildLog(client);
    return 4;  // never reached: the corrupt log ends in a panic
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--panic") == 0) return kestrel::RunPanicRelaunch();
    if (argc >= 2 && std::strcmp(argv[1], "--corrupt-build-log") == 0) return CorruptBuildLog();
    const int logs = argc >= 2 ? std::atoi(argv[1]) : 0;
    const int deleted = argc >= 3 ? std::atoi(argv[2]) : 0;
    const int threads = argc >= 4 ? std::atoi(argv[3]) : 1;
    for (int i = 1; i <= logs; ++i) {
        const std::string description = "log number " + std::to_string(i);
        kestrel::TempLog* log = kestrel::ProcessTempFiles().Create(description.c_str(), i % 2 ? "stdout" : "connlog");
        if (log == nullptr) return 3;
        // Left unflushed on purpose: the panic must flush it.
        std::fprintf(log->stream, "content of log %d\n", i);
        // Closed first: Windows removes no file that is still open.
        if (i == deleted) {
            kestrel::TempFileTable::Close(log);
            std::remove(log->path);
        }
    }
    std::vector<std::thread> panicking;
    for (int i = 0; i < threads; ++i) panicking.emplace_back([] { kestrel::Panic("exercise panic"); });
    for (std::thread& thread : panicking) thread.join();
    return 4;  // never reached: Panic ends the process
}
