// Test-only program: makes a crashed run with temporary logs and panics, so
// the report and its relaunch can be checked end to end.
//
//   panic_exercise --panic                      the relaunch (as kestrel's)
//   panic_exercise LOGS [DELETED] [THREADS]     LOGS temporary logs with content,
//                                               the file of log number DELETED
//                                               (1-based; 0: none) removed behind
//                                               the table's back, then THREADS
//                                               threads panic at once
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/panic.h"
#include "runtime/temp_files.h"

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--panic") == 0) return kestrel::RunPanicRelaunch();
    const int logs = argc >= 2 ? std::atoi(argv[1]) : 0;
    const int deleted = argc >= 3 ? std::atoi(argv[2]) : 0;
    const int threads = argc >= 4 ? std::atoi(argv[3]) : 1;
    for (int i = 1; i <= logs; ++i) {
        const std::string description = "log number " + std::to_string(i);
        kestrel::TempLog* log = kestrel::ProcessTempFiles().Create(description.c_str(), i % 2 ? "stdout" : "connlog");
        if (log == nullptr) return 3;
        // Left unflushed on purpose: the panic must flush it.
        std::fprintf(log->stream, "content of log %d\n", i);
        if (i == deleted) unlink(log->path);
    }
    std::vector<std::thread> panicking;
    for (int i = 0; i < threads; ++i) panicking.emplace_back([] { kestrel::Panic("exercise panic"); });
    for (std::thread& thread : panicking) thread.join();
    return 4;  // never reached: Panic ends the process
}
