// Session processes on Windows: each runs in a console window of its own,
// where the user can answer its prompts (an ssh password), titled with its
// last argument (the ssh destination), and in a job object of its own, which
// holds whatever it starts. The jobs end their processes when they are
// closed, which the system does when this process ends however it ends, so
// no forward outlives the program.
#include "platform/session_process.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/command_line_win32.h"
#include "platform/exit_gate.h"
#include "platform/wide_text_win32.h"

namespace kestrel::platform {

namespace {

// The exit code of a process ended by TerminateSessionProcess or a panic.
constexpr UINT kTerminatedExitCode = 1;

// The session processes that run, for TerminateAllSessionProcesses and for
// finding a process's job: one slot per process (process null: free). A run
// has one per ssh hop in use; a process beyond the slots is still ended at
// its teardown and with the program, only not by a panic.
constexpr size_t kTrackedProcesses = 1024;
struct Tracked {
    std::atomic<HANDLE> process;
    std::atomic<HANDLE> job;
};
Tracked gRunning[kTrackedProcesses];

void Track(HANDLE process, HANDLE job) {
    for (Tracked& slot : gRunning) {
        HANDLE free = nullptr;
        if (slot.process.compare_exchange_strong(free, process)) {
            slot.job.store(job);
            return;
        }
    }
}

// Forgets the process and returns its job (null when it was not tracked).
HANDLE Untrack(HANDLE process) {
    for (Tracked& slot : gRunning) {
        if (slot.process.load() != process) continue;
        HANDLE job = slot.job.exchange(nullptr);
        slot.process.store(nullptr);
        return job;
    }
    return nullptr;
}

HANDLE JobOf(HANDLE process) {
    for (Tracked& slot : gRunning)
        if (slot.process.load() == process) return slot.job.load();
    return nullptr;
}

// Closes the handle on scope exit.
struct OwnedHandle {
    HANDLE handle = nullptr;
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE value) : handle(value == INVALID_HANDLE_VALUE ? nullptr : value) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() {
        if (handle != nullptr) CloseHandle(handle);
    }
    HANDLE Release() {
        HANDLE value = handle;
        handle = nullptr;
        return value;
    }
};

bool Fail(DWORD code, int32_t& error) {
    error = static_cast<int32_t>(code);
    return false;
}

// A job whose processes all end when its last handle is closed.
bool CreateKillingJob(OwnedHandle& job, int32_t& error) {
    job.handle = CreateJobObjectW(nullptr, nullptr);
    if (job.handle == nullptr) return Fail(GetLastError(), error);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.handle, JobObjectExtendedLimitInformation, &limits, sizeof limits))
        return Fail(GetLastError(), error);
    return true;
}

// The handles the child gets: the null device for standard input and
// output, a copy of `errorOutput` for standard error; both inheritable.
bool MakeChildStreams(FileHandle errorOutput, OwnedHandle& nullDevice, OwnedHandle& errors, int32_t& error) {
    // The value of "none" would name this process to DuplicateHandle.
    if (!errorOutput.valid()) return Fail(ERROR_INVALID_HANDLE, error);
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    nullDevice.handle = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherited, OPEN_EXISTING, 0, nullptr);
    if (nullDevice.handle == INVALID_HANDLE_VALUE) {
        nullDevice.handle = nullptr;
        return Fail(GetLastError(), error);
    }
    const HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, HandleOf(errorOutput.native), self, &errors.handle, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        errors.handle = nullptr;
        return Fail(GetLastError(), error);
    }
    return true;
}

// Attributes that restrict inheritance to `handles` (which must stay alive
// as long as the list is used).
class InheritedHandleList {
public:
    bool Prepare(HANDLE* handles, size_t count, int32_t& error) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!InitializeProcThreadAttributeList(list_, 1, 0, &size)) {
            list_ = nullptr;
            return Fail(GetLastError(), error);
        }
        if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, count * sizeof(HANDLE),
                                       nullptr, nullptr))
            return Fail(GetLastError(), error);
        return true;
    }
    ~InheritedHandleList() {
        if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
    }
    LPPROC_THREAD_ATTRIBUTE_LIST list() const { return list_; }

private:
    std::vector<unsigned char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

bool CommandLine(const char* const* arguments, std::wstring& line, std::wstring& title, int32_t& error) {
    std::vector<std::wstring> wide;
    for (const char* const* argument = arguments; *argument != nullptr; ++argument) {
        DWORD code = 0;
        if (!WidenText(*argument, wide.emplace_back(), code)) return Fail(code, error);
    }
    if (wide.empty()) return Fail(ERROR_INVALID_PARAMETER, error);
    line = QuoteCommandLine(wide);
    title = wide.back();
    return true;
}

// Suspended until it is in its job, so that nothing it starts escapes it.
bool CreateSuspended(std::wstring& line, std::wstring& title, const OwnedHandle& nullDevice,
                     const OwnedHandle& errors, PROCESS_INFORMATION& started, int32_t& error) {
    HANDLE inherited[] = {nullDevice.handle, errors.handle};
    InheritedHandleList attributes;
    if (!attributes.Prepare(inherited, 2, error)) return false;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.lpTitle = title.data();
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nullDevice.handle;
    startup.StartupInfo.hStdOutput = nullDevice.handle;
    startup.StartupInfo.hStdError = errors.handle;
    startup.lpAttributeList = attributes.list();
    // No application name: the program is looked up as the system does for
    // a command line (".exe" added, the search path walked).
    const DWORD flags =
        CREATE_NEW_CONSOLE | CREATE_DEFAULT_ERROR_MODE | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                        &startup.StartupInfo, &started))
        return Fail(GetLastError(), error);
    return true;
}

}  // namespace

bool StartSessionProcess(const char* const* arguments, FileHandle errorOutput, ProcessHandle& process,
                         int32_t& error) {
    std::wstring line, title;
    if (!CommandLine(arguments, line, title, error)) return false;
    OwnedHandle job, nullDevice, errors;
    if (!CreateKillingJob(job, error) || !MakeChildStreams(errorOutput, nullDevice, errors, error)) return false;
    PROCESS_INFORMATION started{};
    if (!CreateSuspended(line, title, nullDevice, errors, started, error)) return false;
    OwnedHandle child(started.hProcess), thread(started.hThread);
    if (!AssignProcessToJobObject(job.handle, child.handle)) {
        const DWORD code = GetLastError();
        TerminateProcess(child.handle, kTerminatedExitCode);
        WaitForSingleObject(child.handle, INFINITE);
        return Fail(code, error);
    }
    Track(child.handle, job.handle);
    ResumeThread(thread.handle);
    job.Release();
    process.native = NativeValue(child.Release());
    return true;
}

bool ProcessHasEnded(ProcessHandle process, bool& ended, int32_t& exitCode, int32_t& error) {
    const HANDLE handle = HandleOf(process.native);
    // Waiting rather than comparing the code with STILL_ACTIVE, which a
    // process may also exit with.
    const DWORD state = WaitForSingleObject(handle, 0);
    if (state == WAIT_TIMEOUT) {
        ended = false;
        return true;
    }
    StopAtExitGate();
    DWORD code = 0;
    if (state != WAIT_OBJECT_0 || !GetExitCodeProcess(handle, &code)) return Fail(GetLastError(), error);
    ended = true;
    exitCode = static_cast<int32_t>(code);
    return true;
}

bool TerminateSessionProcess(ProcessHandle process, int32_t& error) {
    const HANDLE handle = HandleOf(process.native);
    const HANDLE job = JobOf(handle);
    if (job != nullptr && TerminateJobObject(job, kTerminatedExitCode)) return true;
    if (TerminateProcess(handle, kTerminatedExitCode)) return true;
    return Fail(GetLastError(), error);
}

void CloseProcess(ProcessHandle& process) {
    if (!process.valid()) return;
    const HANDLE handle = HandleOf(process.native);
    const HANDLE job = Untrack(handle);
    WaitForSingleObject(handle, INFINITE);
    // Ends what the process left running in its job.
    if (job != nullptr) CloseHandle(job);
    CloseHandle(handle);
    process = kNoProcess;
}

void AbandonProcess(ProcessHandle& process) {
    // Its handles stay open, as an uncollected child does: the job still
    // ends it with the program.
    if (process.valid()) Untrack(HandleOf(process.native));
    process = kNoProcess;
}

void TerminateAllSessionProcesses() {
    for (Tracked& slot : gRunning) {
        const HANDLE job = slot.job.load();
        if (job != nullptr) {
            TerminateJobObject(job, kTerminatedExitCode);
            continue;
        }
        const HANDLE process = slot.process.load();
        if (process != nullptr) TerminateProcess(process, kTerminatedExitCode);
    }
}

}  // namespace kestrel::platform
