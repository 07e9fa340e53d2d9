#include "driver/panic.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "display/console_display.h"
#include "driver/panic_archive.h"
#include "driver/panic_map.h"
#include "platform/exit_gate.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/session_process.h"
#include "platform/spawn.h"
#include "platform/streams.h"
#include "runtime/format.h"
#include "runtime/temp_files.h"

namespace kestrel {

namespace {

// 0: no panic yet; 1: the first caller is recording; 2: recorded.
std::atomic<int> gPanicState{0};

// The map and the flushed logs are what the relaunch packs up.
void RecordPanic(const char* text) {
    std::FILE* map = std::fopen(kPanicMapName, "wb");
    if (map != nullptr) {
        WritePanicMap(map, text, ProcessTempFiles());
        std::fclose(map);
    }
    ProcessTempFiles().FlushAll();
    // The running executable, whatever argv[0] said or the directory is now.
    platform::SpawnDetached({platform::ExecutablePath(), "--panic"});
}

void PrintNotice() {
    std::fprintf(stderr,
                 "The Kestrelvane client has panicked due to an internal bug\n"
                 "Please email the panic.bin file to %s\n"
                 "NOTE: The panic.bin file will contain IP addresses, command lines and file names.\n"
                 "      It will not contain file contents.\n\n",
                 kSupportAddress);
}

}  // namespace

void Panic(const char* text) {
    int expected = 0;
    if (gPanicState.compare_exchange_strong(expected, 1)) {
        // What was printed before the panic must not be lost with the process.
        std::fflush(stdout);
        // The report goes to the user's own screen, in its own modes.
        ConsoleDisplay::RestoreTerminal();
        // Plain mode's messages so far are in stdout's buffer, which _exit drops.
        std::fflush(stdout);
        RecordPanic(text);
        gPanicState.store(2);
    } else {
        // A second caller waits for the first one's map and relaunch, so that a
        // panic always leaves exactly one complete report behind.
        while (gPanicState.load() != 2) platform::SleepMilliseconds(1);
    }
    // The ssh forwards run in sessions of their own and would outlive us.
    // Last, behind the closed gate, so that the run cannot see its
    // connections go and carry on to a normal end before the exit.
    platform::CloseExitGate();
    platform::TerminateAllSessionProcesses();
    platform::ExitImmediately(2);
}

int RunPanicRelaunch() {
    std::fputs("Panicking...\n", stderr);
    PanicRecord* collected = nullptr;
    int error = 0;
    std::FILE* map = platform::OpenStream(kPanicMapName, "rb", error);
    if (map == nullptr) {
        std::fprintf(stderr, "Cannot open the panic file mapping, error %u\n", static_cast<unsigned>(error));
    } else {
        std::FILE* messageFile = platform::OpenStream(kPanicMessageName, "wb", error);
        if (messageFile == nullptr) {
            std::fprintf(stderr, "Cannot create the panic message file, error %u\n", static_cast<unsigned>(error));
            std::fclose(map);
        } else {
            ConvertPanicMap(map, messageFile, collected);
            std::fclose(messageFile);
            std::fclose(map);
            int ignored = 0;
            platform::RemoveFile(kPanicMapName, ignored);
        }
    }
    BuildPanicArchive(collected);
    for (const PanicRecord* record = collected; record != nullptr; record = record->next) {
        int ignored = 0;
        if (!record->path.empty())
            platform::RemoveFile(FormatToString("{0}", {{FormatWideString, record->path.c_str()}}).c_str(), ignored);
    }
    FreePanicRecords(collected);
    PrintNotice();
    return 0;
}

}  // namespace kestrel
