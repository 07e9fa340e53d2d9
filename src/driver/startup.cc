#include "driver/startup.h"

#include <cstdio>
#include <cstdlib>

#include "driver/panic.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/process.h"
#include "platform/signals.h"
#include "runtime/messages.h"

namespace kestrel {

namespace {

ProcessState gProcess;

void OnInterrupt() { Panic("CTRL_C_EVENT"); }

// Display mode needs a terminal on all three streams and no --automated.
void ChooseMode(ProcessState& process) {
    platform::SavedConsoleState state;
    if (!process.options.automated && platform::DetectConsole(state)) process.savedConsole = state;
    // The full-screen display is not part of this build yet: run in plain mode.
    process.savedConsole.reset();
    SetDisplayMode(process.savedConsole.has_value());
}

// Steps that prepare the process before any other thread exists. Returns
// false after printing the failure to standard error.
bool PrepareProcess(ProcessState& process) {
    ChooseMode(process);
    std::srand(static_cast<unsigned>(platform::LocalFileTimeNow()));
    if (!platform::InitializeCrypto()) return false;
    platform::CreateProcessMarker();
    platform::IgnoreBrokenPipe();
    const uint32_t acceptedFiles = platform::RaiseOpenFileLimit();
    if (acceptedFiles == 0) {
        std::fputs("Cannot set file maximum\n", stderr);
        return false;
    }
    process.openFileBudget = static_cast<int32_t>(acceptedFiles) - 100;
    if (!platform::StartSignalThread(OnInterrupt)) {
        std::fputs("Cannot prepare for panic", stderr);
        return false;
    }
    return true;
}

// From the script to the outcome line; every failure posts its message and
// returns 1, and the common shutdown follows in every case.
int RunBuild(ProcessState& process) {
    (void)process;
    PostMessageText("Cannot parse {0}, {1}",
                    {{FormatString, process.options.scriptPath.c_str()},
                     {FormatString, "reading build scripts is not available in this build"}});
    return 1;
}

// Restores the terminal, prints what was queued, removes temporary files and
// releases the libraries. Reached by every path once the display has started.
int CommonShutdown(ProcessState& process, int exitCode) {
    if (process.savedConsole) {
        std::lock_guard<std::mutex> hold(DisplayLock());
        platform::RestoreConsoleModes(*process.savedConsole);
        DrainQueuedMessages();
    }
    std::fflush(stdout);
    platform::CleanupCrypto();
    return exitCode;
}

}  // namespace

const ProcessState& CurrentProcess() { return gProcess; }

int RunKestrel(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage();
        return 1;
    }
    switch (ParseCommandLine(argc, argv, gProcess.options)) {
        case CommandLineResult::PanicRelaunch:
            return RunPanicRelaunch();
        case CommandLineResult::Usage:
            PrintUsage();
            return 1;
        case CommandLineResult::Run:
            break;
    }
    if (!PrepareProcess(gProcess)) return 1;
    const int exitCode = RunBuild(gProcess);
    return CommonShutdown(gProcess, exitCode);
}

}  // namespace kestrel
