// An ssh hop: ssh forwards a free loopback port to the hop's port on the
// destination, and the thread connects to that port once ssh listens on it.
#include <cstdlib>
#include <cstring>

#include "platform/process.h"
#include "platform/scratch_file.h"
#include "platform/session_process.h"
#include "platform/tcp_sockets.h"
#include "prep/preparation_steps.h"
#include "prep/ssh_failure_text.h"
#include "runtime/error_codes.h"
#include "runtime/format.h"
#include "runtime/utf8.h"
#include "script/objects.h"

namespace kestrel::preparation {

namespace {

constexpr const char* kSshCommandLine = "ssh -N -L 127.0.0.1:{0}:127.0.0.1:{1} {2}";
// "ssh", "-N", "-L", the forward, the destination.
constexpr uint32_t kSshArgumentCount = 5;

enum class Attempt : uint8_t {
    kAnswered,  // connected or failed; the answer is written
    kSshEnded,  // ssh ended before its port answered; no answer yet
    kStopped,   // the stop request came first; no answer
};

uint32_t Code(int32_t error) { return static_cast<uint32_t>(error); }

bool IsUtf8(const char* text, uint32_t length) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text);
    for (uint32_t at = 0, code = 0; at < length;) {
        const uint32_t step = DecodeUtf8(bytes + at, length - at, code);
        if (step == 0) return false;
        at += step;
    }
    return true;
}

// The command line, followed in the same block by a copy of it cut into the
// argument vector at its first four spaces (the destination may hold more).
// Answers status 9 and returns false when it cannot be made.
bool BuildCommandLine(PreparationQueue& queue, PreparationRequest& request, const char* host, uint16_t localPort) {
    const uint32_t destinationSize = PreparationThread::SshDestination(queue.serverList, host, nullptr, 0) + 1;
    char* destination = static_cast<char*>(std::malloc(destinationSize));
    if (destination == nullptr) {
        PreparationThread::Respond(queue, request, kPreparationSshCommandLine, Code(kErrorNotEnoughMemory));
        return false;
    }
    PreparationThread::SshDestination(queue.serverList, host, destination, destinationSize);
    const uint16_t hopPort = request.firstHop->port;
    const std::initializer_list<FormatArg> args = {
        {FormatU16, &localPort}, {FormatU16, &hopPort}, {FormatString, destination}};
    const uint32_t size = FormatText(nullptr, 0, kSshCommandLine, args);
    char* line = static_cast<char*>(std::malloc(static_cast<size_t>(size) * 2));
    if (line == nullptr) {
        std::free(destination);
        PreparationThread::Respond(queue, request, kPreparationSshCommandLine, Code(kErrorNotEnoughMemory));
        return false;
    }
    FormatText(line, size, kSshCommandLine, args);
    const bool option = destination[0] == '-';
    std::free(destination);
    if (!IsUtf8(line, size - 1)) {
        std::free(line);
        PreparationThread::Respond(queue, request, kPreparationSshCommandLine, Code(kErrorNoUnicodeTranslation));
        return false;
    }
    // ssh would take such a destination for one of its options.
    if (option) {
        std::free(line);
        PreparationThread::Respond(queue, request, kPreparationSshCommandLine, Code(kErrorInvalidParameter));
        return false;
    }
    std::memcpy(line + size, line, size);
    request.sshCommandLine = line;
    return true;
}

void SplitArguments(const PreparationRequest& request, const char* arguments[kSshArgumentCount + 1]) {
    char* copy = request.sshCommandLine + std::strlen(request.sshCommandLine) + 1;
    uint32_t count = 0;
    arguments[count++] = copy;
    for (char* at = copy; *at != '\0' && count < kSshArgumentCount; ++at) {
        if (*at != ' ') continue;
        *at = '\0';
        arguments[count++] = at + 1;
    }
    arguments[count] = nullptr;
}

// Steps 1 and 2 of an attempt: a free port, the command line, ssh started.
bool StartSsh(PreparationQueue& queue, PreparationRequest& request, const char* host) {
    uint16_t localPort = 0;
    int32_t error = 0;
    if (!platform::FindFreeLoopbackPort(localPort, error)) {
        PreparationThread::Respond(queue, request, kPreparationSshCommandLine, Code(error));
        return false;
    }
    platform::LoopbackAddress(localPort, request.peerAddress, sizeof request.peerAddress,
                              request.peerAddressLength);
    if (!BuildCommandLine(queue, request, host, localPort)) return false;
    const char* arguments[kSshArgumentCount + 1];
    SplitArguments(request, arguments);
    if (!platform::CreateScratchFile(request.sshErrors, error) ||
        !platform::StartSessionProcess(arguments, request.sshErrors, request.sshProcess, error)) {
        platform::CloseScratchFile(request.sshErrors);
        PreparationThread::Respond(queue, request, kPreparationSshStart, Code(error));
        return false;
    }
    return true;
}

bool SshHasEnded(const PreparationRequest& request) {
    bool ended = false;
    int32_t exitCode = 0;
    int32_t error = 0;
    // A process whose state cannot be read is taken as running: the tries bound the wait.
    return platform::ProcessHasEnded(request.sshProcess, ended, exitCode, error) && ended;
}

enum class Forward : uint8_t { kConnected, kSshEnded, kTriesRanOut, kStopped };

Forward ConnectToForward(PreparationQueue& queue, PreparationRequest& request, platform::SocketHandle socket,
                         int32_t& lastError) {
    const uint32_t tries = queue.displayMode ? kSshConnectTriesDisplayMode : kSshConnectTriesPlainMode;
    for (uint32_t i = 0; i < tries; ++i) {
        if (queue.stopping.load()) return Forward::kStopped;
        platform::SleepMilliseconds(kSshConnectPauseMilliseconds);
        if (platform::ConnectTcpSocket(socket, request.peerAddress, request.peerAddressLength, lastError))
            return Forward::kConnected;
        if (SshHasEnded(request)) return Forward::kSshEnded;
    }
    return Forward::kTriesRanOut;
}

Attempt RunAttempt(PreparationQueue& queue, PreparationRequest& request, const char* host, int32_t& lastError) {
    if (!StartSsh(queue, request, host)) return Attempt::kAnswered;
    platform::SocketHandle socket;
    int32_t error = 0;
    if (!platform::CreateTcpSocket(socket, error)) {
        PreparationThread::Respond(queue, request, kPreparationNoSocket, Code(error));
        return Attempt::kAnswered;
    }
    switch (ConnectToForward(queue, request, socket, lastError)) {
        case Forward::kConnected:
            break;
        case Forward::kSshEnded:
            platform::CloseSocket(socket);
            return Attempt::kSshEnded;
        case Forward::kTriesRanOut:
            // ssh still runs; teardown ends it.
            platform::CloseSocket(socket);
            PreparationThread::Respond(queue, request, kPreparationCannotConnect, Code(lastError));
            return Attempt::kAnswered;
        case Forward::kStopped:
            platform::CloseSocket(socket);
            return Attempt::kStopped;
    }
    if (!platform::SetTcpSocketNonBlocking(socket, error)) {
        platform::CloseSocket(socket);
        PreparationThread::Respond(queue, request, kPreparationNonBlocking, Code(error));
        return Attempt::kAnswered;
    }
    request.socket = socket;
    PreparationThread::Respond(queue, request, kPreparedConnected, 0);
    return Attempt::kAnswered;
}

// The first ssh ended early: nothing of it is kept for the second attempt.
void DiscardAttempt(PreparationRequest& request) {
    platform::CloseProcess(request.sshProcess);
    platform::CloseScratchFile(request.sshErrors);
    std::free(request.sshCommandLine);
    request.sshCommandLine = nullptr;
}

}  // namespace

bool ConnectThroughSsh(PreparationQueue& queue, PreparationRequest& request, const char* host) {
    int32_t lastError = 0;
    for (uint32_t attempt = 1;; ++attempt) {
        switch (RunAttempt(queue, request, host, lastError)) {
            case Attempt::kAnswered:
                return true;
            case Attempt::kStopped:
                return false;
            case Attempt::kSshEnded:
                break;
        }
        if (attempt == 2) break;
        DiscardAttempt(request);
    }
    // The second ssh stays uncollected, so that teardown can report its exit code.
    request.sshFailureText = LastSshErrorLine(request.sshErrors);
    PreparationThread::Respond(queue, request, kPreparationCannotConnect, Code(lastError));
    return true;
}

}  // namespace kestrel::preparation
