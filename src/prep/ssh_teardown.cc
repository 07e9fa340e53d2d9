#include <cstdlib>

#include "platform/scratch_file.h"
#include "platform/session_process.h"
#include "prep/preparation.h"
#include "runtime/messages.h"

namespace kestrel {

namespace {

void PostAboutSsh(const char* format, const char* hopText, int32_t code) {
    PostMessageText(format, {{FormatString, hopText}, {FormatI32, &code}});
}

// Ends the process if it still runs; true when it may be collected now.
bool EndProcess(platform::ProcessHandle process, const char* hopText) {
    bool ended = false;
    int32_t exitCode = 0;
    int32_t error = 0;
    if (!platform::ProcessHasEnded(process, ended, exitCode, error)) {
        PostAboutSsh("Checking the status of the ssh command line for {0} failed, error {1}", hopText, error);
        return false;
    }
    if (ended) {
        if (exitCode != 0) PostAboutSsh("The ssh command line for {0} failed, error {1}", hopText, exitCode);
        return true;
    }
    if (!platform::TerminateSessionProcess(process, error)) {
        PostAboutSsh("The ssh command line for {0} could not be terminated, error {1}", hopText, error);
        return false;
    }
    return true;
}

}  // namespace

namespace PreparationThread {

void EndSsh(PreparationRequest& request, const char* hopText) {
    if (request.sshProcess.valid()) {
        // A process in an unknown state is let go rather than waited for.
        if (EndProcess(request.sshProcess, hopText))
            platform::CloseProcess(request.sshProcess);
        else
            platform::AbandonProcess(request.sshProcess);
    }
    platform::CloseScratchFile(request.sshErrors);
    std::free(request.sshCommandLine);
    request.sshCommandLine = nullptr;
    std::free(request.sshFailureText);
    request.sshFailureText = nullptr;
}

}  // namespace PreparationThread

}  // namespace kestrel
