// Commands: Execute starts a job's process; Poll reports what its streams
// said, how it ended, and the machine's free capacity while a job waits.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "agent/os/errors.h"
#include "agent/os/files.h"
#include "agent/session.h"
#include "agent/wire_text.h"
#include "agent/work_paths.h"
#include "client/responses.h"

namespace kestrel::agent {

namespace {

constexpr uint32_t kInvalidJob = 1;
constexpr uint32_t kNoStep = 2;
constexpr uint32_t kExecuteCorrupt = 3;
constexpr uint32_t kExecuteNoMemory = 4;
constexpr uint32_t kAlreadyRunning = 5;
constexpr uint32_t kExecuteError = 6;
constexpr uint32_t kVariableNotSet = 7;
constexpr uint32_t kOutputInProgress = 9;

// A stream gives at most this much to one Poll, so that several streams and
// jobs share a response; what stays behind is reported as throttled.
constexpr uint32_t kStreamShare = 32768;
// Room kept for the end events of a job: two stream ends and the return.
constexpr uint32_t kEndEventsRoom = 12 + 12 + 14;
// The longest a Poll waits for room: a client that ends its run normally
// waits for the answer before it says goodbye.
constexpr uint32_t kRoomHoldMs = 5000;
constexpr uint32_t kDataEventHeader = 12;  // event, job, elapsed, length
constexpr uint32_t kThrottleEventSize = 10;
constexpr uint32_t kExitEventSize = 14;

constexpr char kDefaultSearchPath[] = "/usr/local/bin:/usr/bin:/bin";

// The program a command names: a path as it is, a bare name through the
// job's PATH (relative entries are taken from the working directory).
bool FindProgram(const std::string& name, const std::map<std::string, std::string>& environment, int directoryFd,
                 std::string& program) {
    if (name.find('/') != std::string::npos) {
        program = name;
        return true;
    }
    const auto found = environment.find("PATH");
    const std::string search = found != environment.end() ? found->second : kDefaultSearchPath;
    size_t start = 0;
    for (;;) {
        const size_t end = search.find(':', start);
        std::string directory = search.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (directory.empty()) directory = ".";
        const std::string candidate = directory + "/" + name;
        if (os::IsExecutableFile(directoryFd, candidate.c_str())) {
            program = candidate;
            return true;
        }
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}

uint8_t* WriteEventHead(uint8_t* at, uint8_t code, uint8_t jobId, uint64_t elapsed) {
    at[0] = code;
    at[1] = jobId;
    WriteU64(at + 2, elapsed);
    return at + 10;
}

// What an Execute request asks for.
struct ExecuteRequest {
    WireString directory;
    std::vector<std::string> arguments;  // the program first
};

// The flag byte, the bitmap or the UTF-16 pad, the working directory and the
// arguments; an argument whose bit is set in the bitmap names a variable of
// the job's environment. 0, or the status that refuses the request.
uint32_t ParseExecute(const uint8_t* payload, uint32_t length, bool utf16,
                      const std::map<std::string, std::string>& environment, ExecuteRequest& out) {
    const uint8_t* bitmap = nullptr;
    uint32_t bitmapBytes = 0;
    uint32_t offset = 0;
    if (payload[2] == 1) {
        if (length < 4) return kExecuteCorrupt;
        bitmapBytes = payload[3];
        bitmap = payload + 4;
        offset = 4 + bitmapBytes;
        if (offset > length || (utf16 && offset % 2 != 0)) return kExecuteCorrupt;
    } else if (payload[2] == 0) {
        offset = 3;
        if (utf16) {
            if (length < 4 || payload[3] != 0) return kExecuteCorrupt;
            offset = 4;
        }
    } else {
        return kExecuteCorrupt;
    }
    if (!ReadWireString(payload, length, offset, utf16, out.directory)) return kExecuteCorrupt;
    // Bit i of the bitmap belongs to string i after the working directory: the program first.
    while (offset < length) {
        WireString text;
        std::string argument;
        if (!ReadWireString(payload, length, offset, utf16, text) || !WireToUtf8(text, utf16, argument))
            return kExecuteCorrupt;
        const uint32_t index = static_cast<uint32_t>(out.arguments.size());
        if (index / 8 < bitmapBytes && (bitmap[index / 8] >> (index % 8) & 1) != 0) {
            const auto value = environment.find(argument);
            if (value == environment.end()) return kVariableNotSet;
            argument = value->second;
        }
        out.arguments.push_back(std::move(argument));
    }
    if (out.arguments.empty() || out.arguments[0].empty()) return kExecuteCorrupt;
    return 0;
}

}  // namespace

void Session::OnExecute(const Request& request) {
    if (request.length < 2) return Status(kExecuteCorrupt);
    AgentJob* job = FindJob(request);
    if (job == nullptr) return Status(kInvalidJob);
    if (request.length < 3) return Status(kExecuteCorrupt);
    if (!job->stepStarted) return Status(kNoStep);
    if (job->output && job->output->started && !job->output->finished) return Status(kOutputInProgress);
    if (job->command && !job->command->exitReported) return Status(kAlreadyRunning);
    ExecuteRequest parsed;
    if (const uint32_t refused = ParseExecute(request.payload, request.length, Utf16(), job->environment, parsed)) {
        return Status(refused);
    }
    int directoryFd = -1;
    if (!EnterWorkingDirectory(*job, parsed.directory, directoryFd)) return;
    // From here on the command is accepted; a process that cannot be started
    // is the next Poll's news, like any other end of the command.
    RetireCommand(*job);
    std::unique_ptr<RunningCommand> command = LaunchCommand(*job, parsed.arguments, directoryFd);
    os::CloseDescriptor(directoryFd);
    const std::string& program = parsed.arguments[0];
    if (command->startError != 0) {
        Log("job " + std::to_string(job->id) + " cannot start " + program + ": " + std::strerror(command->startError));
    } else {
        Log("job " + std::to_string(job->id) + " runs " + program);
    }
    job->command = std::move(command);
    Status(0);
}

// Opens the working directory beneath the work area; answers the request
// itself when it cannot.
bool Session::EnterWorkingDirectory(const AgentJob& job, const WireString& directoryText, int& directoryFd) {
    std::string directoryShown;
    WireToUtf8(directoryText, Utf16(), directoryShown);
    WirePath directory;
    const std::string separator = ResponseText(machine_.Options().separator, Utf16());
    switch (SplitWirePath(directoryText, Utf16(), separator, true, directory)) {
    case WirePathCheck::Ok: break;
    case WirePathCheck::NoMemory:
        Status(kExecuteNoMemory);
        return false;
    default:
        StatusWithError(kExecuteError, os::kErrorInvalid, "The working directory " + directoryShown + " leaves the work area");
        return false;
    }
    int error = 0;
    if (!os::OpenDirectoryBeneath(job.areaFd, directory.components, directoryFd, error)) {
        StatusWithError(kExecuteError, error,
                        "Cannot enter the working directory " + directoryShown + ": " + std::strerror(error));
        return false;
    }
    return true;
}

// Starts the program in the working directory with the job's environment.
// A start that fails leaves its error in the command, for Poll to report.
std::unique_ptr<RunningCommand> Session::LaunchCommand(const AgentJob& job, std::vector<std::string>& arguments,
                                                       int directoryFd) {
    auto command = std::make_unique<RunningCommand>();
    command->started = std::chrono::steady_clock::now();
    command->outputEnded = command->errorEnded = true;
    std::string program;
    if (!machine_.spawnProcesses) {
        command->startError = os::kErrorNotPermitted;
        return command;
    }
    if (!FindProgram(arguments[0], job.environment, directoryFd, program)) {
        command->startError = os::kErrorNotFound;
        return command;
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> assignments;
    assignments.reserve(job.environment.size());
    for (const auto& [name, value] : job.environment) assignments.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& assignment : assignments) envp.push_back(assignment.data());
    envp.push_back(nullptr);
    int error = 0;
    if (machine_.StartCommand(os::CommandStart{program.c_str(), argv.data(), envp.data(), directoryFd},
                              command->child, error)) {
        command->outputEnded = command->errorEnded = false;
    } else {
        command->startError = error;
    }
    return command;
}

// The keeper's reports; a start that failed in the keeper becomes the
// command's start error, its streams over with it.
void Session::TakeStartReport(const AgentJob& job, RunningCommand& command) {
    machine_.TakeKeeperReports(command.child);
    if (command.child.startError == 0) return;
    command.startError = command.child.startError;
    os::CloseDescriptor(command.child.output);
    os::CloseDescriptor(command.child.error);
    command.outputEnded = command.errorEnded = true;
    Log("job " + std::to_string(job.id) + " cannot start its command: " + std::strerror(command.startError));
}

bool Session::AnythingRunning() const {
    for (const auto& [id, job] : jobs_) {
        if (job->command && !job->command->exitReported) return true;
    }
    return false;
}

// Appends the news of one job's command. An end of stream comes with the
// stream's last data; the return comes only after both ends, so that it is
// always the last event the client sees of the command.
uint32_t Session::TakeCommandEvents(AgentJob& job, uint32_t reserve) {
    RunningCommand* command = job.command.get();
    if (command == nullptr || command->exitReported) return 0;
    if (command->startError == 0) TakeStartReport(job, *command);
    if (command->startError != 0) {
        if (reply_.Room() < reserve + kExitEventSize) return 0;
        WriteU32(WriteEventHead(reply_.Extend(kExitEventSize), kPollStartFailed, job.id, command->ElapsedNanoseconds()),
                 static_cast<uint32_t>(command->startError));
        command->exitReported = true;
        return 1;
    }
    uint32_t events = 0;
    for (int stream = 0; stream < 2; ++stream) {
        bool& ended = stream == 0 ? command->outputEnded : command->errorEnded;
        int& fd = stream == 0 ? command->child.output : command->child.error;
        if (ended) continue;
        const uint32_t room = reply_.Room() > reserve + kEndEventsRoom + kDataEventHeader
                                  ? reply_.Room() - reserve - kEndEventsRoom - kDataEventHeader
                                  : 0;
        const uint32_t share = std::min(room, kStreamShare);
        uint8_t* event = share > 0 ? reply_.Extend(kDataEventHeader + share) : nullptr;
        uint32_t total = 0;
        bool end = false;
        while (event != nullptr && total < share) {
            uint32_t got = 0;
            int error = 0;
            const os::PipeRead result = os::ReadPipe(fd, event + kDataEventHeader + total, share - total, got, error);
            if (result == os::PipeRead::Data) {
                total += got;
                continue;
            }
            // A failed read cannot be retried: the stream is over for us. Once
            // the command's group is gone, what is left holding the stream
            // is no part of the command: the stream ends when drained.
            end = result == os::PipeRead::End || result == os::PipeRead::Failed || command->StreamsMayEnd();
            break;
        }
        if (event != nullptr && (total > 0 || end)) {
            const uint8_t code = static_cast<uint8_t>((stream == 0 ? kPollStdout : kPollStderr) + (end ? 1 : 0));
            WriteU16(WriteEventHead(event, code, job.id, command->ElapsedNanoseconds()), static_cast<uint16_t>(total));
            reply_.Shrink(share - total);
            ++events;
        } else if (event != nullptr) {
            reply_.Shrink(kDataEventHeader + share);
        }
        if (end) {
            ended = true;
            os::CloseDescriptor(fd);
        } else if (total == share && os::PendingPipeBytes(fd) > 0 && reply_.Room() >= reserve + kThrottleEventSize) {
            uint8_t* throttle = reply_.Extend(kThrottleEventSize);
            WriteEventHead(throttle, stream == 0 ? kPollStdoutThrottled : kPollStderrThrottled, job.id,
                           command->ElapsedNanoseconds());
            ++events;
        }
    }
    if (command->Ended() && reply_.Room() >= kExitEventSize) {
        uint8_t* event = reply_.Extend(kExitEventSize);
        const os::ExitStatus& exit = command->child.exit;
        const uint8_t code = exit.signalled ? kPollSignalled : kPollReturned;
        WriteU32(WriteEventHead(event, code, job.id, command->ElapsedNanoseconds()), static_cast<uint32_t>(exit.value));
        command->exitReported = true;
        ++events;
    }
    return events;
}

// A client that backs off while a command stays quiet would otherwise learn
// of its end only after its pause: a Poll after a longer pause is held longer
// (ten times the pause, at most a second), answered at once when news comes.
std::chrono::milliseconds Session::PollHold() const {
    const std::chrono::milliseconds least(machine_.Options().pollHoldMs);
    if (least.count() == 0 || !polled_) return least;
    const auto pause =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - lastPollAnswer_);
    return std::clamp(10 * pause, least, std::max(least, std::chrono::milliseconds(1000)));
}

// The least room a job of this connection waits for; 0 when none waits.
uint32_t Session::LeastRoomWanted() const {
    uint32_t least = 0;
    for (const auto& [id, units] : waitingForCapacity_) least = least == 0 ? units : std::min(least, units);
    return least;
}

void Session::WaitForNews(std::chrono::milliseconds hold) {
    auto left = hold;
    // Room freed for a waiting job is news too: it is looked for more often.
    const uint32_t roomWanted = LeastRoomWanted();
    const auto slice = std::chrono::milliseconds(std::min<uint32_t>(machine_.Options().keepAliveMs, roomWanted ? 5 : 50));
    while (left.count() > 0 && !machine_.Stopping()) {
        if (roomWanted != 0 && machine_.FreeUnits() >= roomWanted) return;
        std::vector<int> fds;
        for (auto& [id, job] : jobs_) {
            RunningCommand* command = job->command.get();
            if (command == nullptr || command->exitReported) continue;
            if (command->startError != 0) return;
            TakeStartReport(*job, *command);
            if (command->startError != 0 || command->Ended() || command->StreamsMayEnd()) return;
            if (!command->outputEnded) fds.push_back(command->child.output);
            if (!command->errorEnded) fds.push_back(command->child.error);
            // The keeper's reports wake the wait as well.
            fds.push_back(command->child.control);
        }
        if (fds.empty()) return;
        const auto step = std::min(left, slice);
        const auto begin = std::chrono::steady_clock::now();
        if (os::WaitForPipes(fds.data(), static_cast<uint32_t>(fds.size()), static_cast<int>(step.count()))) return;
        left -= std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
        Tick();
    }
}

// A session whose job waits for room, with nothing else to report, is held
// until the machine sets room aside for it: otherwise its client would learn
// of freed room only after its own back-off, up to seconds later.
void Session::WaitForRoom() {
    const uint32_t least = LeastRoomWanted();
    RoomWaiter waiter;
    waiter.units = least;
    machine_.JoinRoomQueue(waiter);
    Log("a Poll waits for " + std::to_string(least) + " units");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRoomHoldMs);
    const int socket = transport_.SocketFd();
    const auto slice = std::chrono::milliseconds(std::min<uint32_t>(machine_.Options().keepAliveMs, 50));
    while (!machine_.AwaitRoom(waiter, slice)) {
        // A client that went (or, against the rules, says something) ends the hold.
        if (machine_.Stopping() || std::chrono::steady_clock::now() >= deadline) break;
        if (socket >= 0 && os::WaitForPipes(&socket, 1, 0)) break;
        Tick();
    }
    grantedUnits_ += machine_.LeaveRoomQueue(waiter);
}

void Session::ReturnGrantedRoom() {
    machine_.ReturnGranted(grantedUnits_);
    grantedUnits_ = 0;
}

void Session::OnPoll() {
    // The capacity event needs two bytes at the end.
    constexpr uint32_t kCapacityRoom = 2;
    const std::chrono::milliseconds hold = PollHold();
    uint32_t events = 0;
    for (int round = 0; round < 2; ++round) {
        std::vector<AgentJob*> order;
        for (auto& [id, job] : jobs_) order.push_back(job.get());
        if (!order.empty()) std::rotate(order.begin(), order.begin() + pollRotation_++ % order.size(), order.end());
        for (size_t i = 0; i < order.size(); ++i) {
            const uint32_t othersReserve = static_cast<uint32_t>(order.size() - i - 1) * kEndEventsRoom;
            events += TakeCommandEvents(*order[i], othersReserve + kCapacityRoom);
        }
        if (events > 0 || round == 1 || !AnythingRunning()) break;
        WaitForNews(hold);
    }
    if (!waitingForCapacity_.empty()) {
        if (events == 0 && grantedUnits_ == 0 && hold.count() > 0 && !AnythingRunning()) WaitForRoom();
        const uint32_t free = machine_.FreeUnits() + grantedUnits_;
        if (free >= 256) {
            reply_.U8(kPollCapacityBlocks);
            reply_.U8(static_cast<uint8_t>(std::min<uint32_t>(free / 256, 255)));
        } else {
            reply_.U8(kPollCapacityUnits);
            reply_.U8(static_cast<uint8_t>(free));
        }
    }
    // A response is never empty: nothing new is said with event 12.
    if (reply_.Length() == 0) reply_.U8(kPollStillRunning);
    polled_ = true;
    lastPollAnswer_ = std::chrono::steady_clock::now();
}

}  // namespace kestrel::agent
