#include "driver/startup.h"

#include <cstdio>
#include <cstdlib>

#include "client/direct_client.h"
#include "display/console_display.h"
#include "driver/panic.h"
#include "platform/clock.h"
#include "eventloop/event_loop.h"
#include "driver/build_log_step.h"
#include "platform/crypto.h"
#include "platform/tcp_sockets.h"
#include "platform/process.h"
#include "platform/signals.h"
#include "prep/preparation.h"
#include "runtime/messages.h"
#include "runtime/path.h"
#include "runtime/temp_files.h"
#include "script/script_reader.h"

namespace kestrel {

namespace {

ProcessState gProcess;
// The direct client; the display's input thread may set its abort request.
DirectClient gClient;

void OnInterrupt() { Panic("CTRL_C_EVENT"); }

// Backspace in the display.
void OnAbort() { Abort(gClient); }



// Display mode needs a terminal on all three streams and no --automated.
void ChooseMode(ProcessState& process) {
    platform::SavedConsoleState state;
    if (!process.options.automated && platform::DetectConsole(state)) process.savedConsole = state;
    SetDisplayMode(process.savedConsole.has_value());
}

// Steps that prepare the process before any other thread exists. Returns
// false after printing the failure to standard error.
bool PrepareProcess(ProcessState& process) {
    ChooseMode(process);
    std::srand(static_cast<unsigned>(platform::LocalFileTimeNow()));
    if (!platform::InitializeCrypto()) return false;
    platform::CreateProcessMarker();
    int32_t socketError = 0;
    if (!platform::StartSocketLibrary(socketError)) {
        std::fprintf(stderr, "Cannot initialize winsock, error %u\n", static_cast<unsigned>(socketError));
        return false;
    }
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
    gClient.abortRequested = false;
    // Prints its own message on failure.
    const platform::SavedConsoleState* savedModes = process.savedConsole ? &*process.savedConsole : nullptr;
    return ConsoleDisplay::Start(OnAbort, savedModes, OnInterrupt);
}

// Reads and parses the script into `context`; posts the failure.
bool ReadScript(const StartupOptions& options, ParserContext& context) {
    ScriptReader reader;
    if (!reader.init(context)) {
        PostMessageText("Cannot initialize the tokenizer");
        reader.release();
        return false;
    }
    Path currentDirectory;
    int error = 0;
    if (!CurrentDirectoryPath(currentDirectory, error)) {
        const int32_t code = error;
        PostMessageText("Cannot setup the current directory, error {0}", {{FormatI32, &code}});
        reader.release();
        return false;
    }
    const char* scriptPath = options.scriptPath.c_str();
    const bool parsed = reader.open(scriptPath, currentDirectory) && reader.finish();
    if (!parsed)
        PostMessageText("Cannot parse {0}, {1}", {{FormatString, scriptPath}, {FormatString, reader.errorText()}});
    currentDirectory.Release();
    reader.release();
    return parsed;
}

// A final line: printed in plain mode, shown after the display in display mode.
void ShowOutcome(const char* text) {
    if (IsDisplayMode()) PostMessageText("{0}", {{FormatString, text}});
    else PrintStatusLine(text);
}

// From the scheduled jobs to the outcome line: the preparation thread, the
// event loop until the run has ended, the build log.
int RunJobs() {
    int32_t error = 0;
    if (!PreparationThread::ReadServerList(gClient.preparation, error)) {
        PostMessageText("Cannot get the KV_SSH_SERVER_LIST value, error {0}", {{FormatI32, &error}});
        gClient.Destroy();
        gClient.ClosePreparationPipe();
        return 1;
    }
    if (!PreparationThread::Start(gClient.preparation, error)) {
        PostMessageText("Cannot start the connection preparation thread\n");
        PreparationThread::ReleaseServerList(gClient.preparation);
        gClient.Destroy();
        gClient.ClosePreparationPipe();
        return 1;
    }
    EventLoop loop;
    IoObject* initial[] = {&gClient.preparationPipe, nullptr};
    if (!loop.Run(initial, &error)) {
        PostMessageText("Cannot wait for the client, error {0}", {{FormatI32, &error}});
        PreparationThread::ReleaseServerList(gClient.preparation);
        gClient.Destroy();
        return 1;
    }
    if ((gClient.stateFlags & kClientProtocolFailureSeen) != 0) Panic("protocol error");
    if (!WriteBuildLog(gClient)) {
        PreparationThread::ReleaseServerList(gClient.preparation);
        gClient.Destroy();
        return 1;
    }
    ShowOutcome((gClient.resultFlags & kClientJobFailed) != 0 ? "At least one job failed"
                                                              : "All jobs successfully completed");
    gClient.Destroy();
    return 0;
}

// From the script to the outcome line; every failure posts its message and
// returns 1, and the common shutdown follows in every case.
int RunBuild(ProcessState& process) {
    ParserContext context;
    if (!context.init()) {
        PostMessageText("Cannot initialize the parser context");
        return 1;
    }
    if (!ReadScript(process.options, context)) {
        context.release();
        return 1;
    }
    if (!IsDisplayMode()) PrintStatusLine("Scheduling jobs");
    int32_t pipeError = 0;
    if (!gClient.OpenPreparationPipe(pipeError)) {
        PostMessageText("Cannot initialize the preparation pipe, error {0}", {{FormatI32, &pipeError}});
        context.release();
        return 1;
    }
    ClientStartParameters parameters;
    parameters.jobName = process.options.hasJobName ? process.options.jobName.c_str() : nullptr;
    parameters.context = &context;
    parameters.openFileBudget = process.openFileBudget;
    parameters.compareFileTimes = !process.options.rebuild;
    parameters.automated = process.options.automated;
    bool allOutputMade = false;
    if (!gClient.Start(parameters, allOutputMade)) {
        PostMessageText("Cannot start the client, error {0}", {{FormatString, gClient.message}});
        context.release();
        gClient.Destroy();
        gClient.ClosePreparationPipe();
        return 1;
    }
    // The client has the machines and the scheduler the jobs.
    context.release();
    if (allOutputMade) {
        ShowOutcome("All output is already made");
        gClient.Destroy();
        gClient.ClosePreparationPipe();
        return 0;
    }
    return RunJobs();
}

// Restores the terminal, prints what was queued, removes temporary files and
// releases the libraries. Reached by every path once the display has started.
int CommonShutdown(ProcessState& process, int exitCode) {
    if (process.savedConsole) {
        ConsoleDisplay::Stop();
        std::lock_guard<std::mutex> hold(DisplayLock());
        platform::RestoreConsoleModes(*process.savedConsole);
        DrainQueuedMessages();
    }
    std::fflush(stdout);
    ProcessTempFiles().DeleteAll();
    platform::StopSocketLibrary();
    platform::CleanupCrypto();
    return exitCode;
}

}  // namespace

int RunKestrel(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage();
        return 1;
    }
    platform::PrepareErrorMode();
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
