// The Windows side of the test support: children through CreateProcessW
// with anonymous pipes served by threads of their own, time-outs by
// TerminateProcess, the environment (both the runtime library's copy and
// the process block), file times through SetFileTime, directories listed
// and removed by hand beyond MAX_PATH, and the facts of Windows.
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/wide_text_win32.h"
#include "support/test_paths.h"
#include "support/test_support.h"

namespace kestrel::test {

namespace fs = std::filesystem;

const char kNativeSeparator = '\\';
const char kSearchPathSeparator = ';';
const char* const kPrintedLineEnd = "\r\n";
// GetTempPath reads TMP first, then TEMP.
const char* const kTemporaryDirectoryVariable = "TMP";
const bool kFileNamesIgnoreCase = true;
const bool kDeviceNamesReserved = true;
const char* const kNullDevice = "NUL";
const bool kBuildMachineToolsRun = false;
const int kErrorDirectoryMissing = ERROR_PATH_NOT_FOUND;
const int kErrorConnectionRefused = WSAECONNREFUSED;
const int kErrnoOpeningDirectory = EACCES;
const DirectoryAsFile kDirectoryAsFile = {"open", ERROR_ACCESS_DENIED};

namespace {

// Exit code of a child ended by a time-out or by Signal: as a child ended by
// SIGKILL reads on POSIX.
constexpr int kSignalBase = 128;
constexpr int kKillSignal = 9;

std::wstring Wide(const std::string& text) {
    std::wstring wide;
    DWORD error = 0;
    if (!platform::WidenText(text.c_str(), wide, error)) throw std::runtime_error("not UTF-8: " + text);
    return wide;
}

std::wstring WidePath(const std::string& path) {
    std::wstring wide;
    DWORD error = 0;
    if (!platform::WidenPath(path.c_str(), wide, error)) throw std::runtime_error("not a path: " + path);
    return wide;
}

}  // namespace

fs::path TemporaryBase() { return fs::temp_directory_path(); }

std::string Executable(const std::string& path) { return path + KESTREL_EXECUTABLE_SUFFIX; }

void SetModificationTime(const std::string& path, int64_t seconds, long nanoseconds) {
    const HANDLE file = CreateFileW(WidePath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path + " to set its time");
    constexpr int64_t kTicksPerSecond = 10'000'000;
    constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;
    const uint64_t ticks = static_cast<uint64_t>(kUnixEpochTicks + seconds * kTicksPerSecond + nanoseconds / 100);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    const BOOL set = SetFileTime(file, nullptr, &time, &time);
    CloseHandle(file);
    if (!set) throw std::runtime_error("SetFileTime " + path);
}

std::vector<DirectoryEntry> ListDirectory(const std::string& path) {
    std::vector<DirectoryEntry> entries;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileExW(WidePath(path + "\\*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return entries;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        const bool directory = !link && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entries.push_back({platform::NarrowText(name), directory, link});
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(entries.begin(), entries.end(),
              [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
    return entries;
}

// By hand: std::filesystem removes no tree deeper than MAX_PATH. Read-only
// files are made writable first; a link to a directory goes as a directory
// entry, without its target.
void RemoveTree(const std::string& path) {
    const std::wstring wide = WidePath(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
        SetFileAttributesW(wide.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (directory && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        for (const DirectoryEntry& entry : ListDirectory(path)) RemoveTree(path + kNativeSeparator + entry.name);
    }
    if (directory)
        RemoveDirectoryW(wide.c_str());
    else
        DeleteFileW(wide.c_str());
}

// The runtime library keeps a copy of the environment (getenv) beside the
// process's own block (GetEnvironmentVariableW, what children inherit):
// both are changed. _wputenv removes a variable given an empty value, so the
// block is set after it.
void SetEnvironment(const std::string& name, const std::string& value) {
    _wputenv((Wide(name) + L"=" + Wide(value)).c_str());
    SetEnvironmentVariableW(Wide(name).c_str(), Wide(value).c_str());
}

void UnsetEnvironment(const std::string& name) {
    _wputenv((Wide(name) + L"=").c_str());
    SetEnvironmentVariableW(Wide(name).c_str(), nullptr);
}

namespace {

// One argument as the runtime library's command-line parser reads it back.
void AppendArgument(std::wstring& line, const std::wstring& argument) {
    if (!line.empty()) line += L' ';
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only before a quote.
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

std::wstring UpperName(const std::wstring& name) {
    std::wstring upper = name;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
    return upper;
}

// The inherited block with the options applied. Names are case-insensitive
// on Windows; the entries of the current directories per drive ("=C:=...")
// have a name that starts with '='.
std::wstring BuildEnvironment(const ProcessOptions& options) {
    std::map<std::wstring, std::wstring> merged;  // upper-case name -> "name=value"
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
            const std::wstring text(entry);
            const size_t equals = text.find(L'=', 1);
            if (equals == std::wstring::npos) continue;
            merged[UpperName(text.substr(0, equals))] = text;
        }
        FreeEnvironmentStringsW(block);
    }
    for (const std::string& name : options.unsetEnvironment) merged.erase(UpperName(Wide(name)));
    for (const auto& [name, value] : options.environment) merged[UpperName(Wide(name))] = Wide(name + "=" + value);
    std::wstring block;
    for (const auto& [upper, entry] : merged) {
        block += entry;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

class Pipe {
public:
    // The child's end is inheritable, ours is not.
    explicit Pipe(bool childReads) {
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE read = nullptr, write = nullptr;
        if (!CreatePipe(&read, &write, &inheritable, 0)) throw std::runtime_error("CreatePipe failed");
        child = childReads ? read : write;
        ours = childReads ? write : read;
        SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
    }
    HANDLE child = nullptr;
    HANDLE ours = nullptr;
};

void CloseIfOpen(HANDLE& handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = nullptr;
}

// A thread that moves the bytes of one pipe: reads to the end, or writes
// the input and closes.
struct PipeWork {
    HANDLE handle;
    std::string* received;     // read into this, or
    const std::string* input;  // write this
    HANDLE thread = nullptr;
};

DWORD WINAPI MoveBytes(void* context) {
    auto* work = static_cast<PipeWork*>(context);
    if (work->input != nullptr) {
        size_t sent = 0;
        while (sent < work->input->size()) {
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(work->input->size() - sent, 65536));
            DWORD written = 0;
            if (!::WriteFile(work->handle, work->input->data() + sent, chunk, &written, nullptr)) break;
            sent += written;
        }
        CloseIfOpen(work->handle);
        return 0;
    }
    char buffer[65536];
    DWORD got = 0;
    // Ends with ERROR_BROKEN_PIPE once every writer has closed its end.
    while (::ReadFile(work->handle, buffer, sizeof buffer, &got, nullptr)) work->received->append(buffer, got);
    return 0;
}

void StartWork(PipeWork& work) {
    work.thread = CreateThread(nullptr, 0, &MoveBytes, &work, 0, nullptr);
    if (work.thread == nullptr) throw std::runtime_error("CreateThread failed");
}

// Waits for the thread until `deadline` (a GetTickCount64 value); a thread
// still blocked then (a grandchild holds the pipe) has its call cancelled.
void FinishWork(PipeWork& work, ULONGLONG deadline) {
    if (work.thread == nullptr) return;
    const ULONGLONG now = GetTickCount64();
    const DWORD wait = deadline > now ? static_cast<DWORD>(deadline - now) : 0;
    if (WaitForSingleObject(work.thread, wait) == WAIT_TIMEOUT) {
        CancelSynchronousIo(work.thread);
        WaitForSingleObject(work.thread, INFINITE);
    }
    CloseIfOpen(work.thread);
}

}  // namespace

struct ChildProcess::Streams {
    HANDLE process = nullptr;
    HANDLE in = nullptr;
    HANDLE out = nullptr;
    HANDLE err = nullptr;
};

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ProcessOptions& options) : options_(options) {
    std::wstring commandLine;
    for (const std::string& argument : argv) AppendArgument(commandLine, Wide(argument));
    std::wstring environment = BuildEnvironment(options);
    const std::wstring directory = options.workingDirectory.empty() ? L"" : Wide(NativePath(options.workingDirectory));

    Pipe in(true), out(false), err(false);
    // Only the three pipe ends reach the child, whatever else is inheritable.
    HANDLE inherited[] = {in.child, out.child, err.child};
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<char> listMemory(listSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listMemory.data());
    const bool listReady = InitializeProcThreadAttributeList(list, 1, 0, &listSize) &&
                           UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                     sizeof inherited, nullptr, nullptr);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = in.child;
    startup.StartupInfo.hStdOutput = out.child;
    startup.StartupInfo.hStdError = err.child;
    startup.lpAttributeList = listReady ? list : nullptr;
    PROCESS_INFORMATION started{};
    // No console of its own: its standard handles are the pipes, as a
    // POSIX child's are.
    const DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | (listReady ? EXTENDED_STARTUPINFO_PRESENT : 0);
    const BOOL created = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, flags, environment.data(),
                                        directory.empty() ? nullptr : directory.c_str(), &startup.StartupInfo,
                                        &started);
    const DWORD error = created ? 0 : GetLastError();
    if (listReady) DeleteProcThreadAttributeList(list);
    CloseIfOpen(in.child);
    CloseIfOpen(out.child);
    CloseIfOpen(err.child);
    if (!created) {
        CloseIfOpen(in.ours);
        CloseIfOpen(out.ours);
        CloseIfOpen(err.ours);
        throw std::runtime_error("cannot start " + argv[0] + ": error " + std::to_string(error));
    }
    CloseIfOpen(started.hThread);
    pid_ = static_cast<int>(started.dwProcessId);
    streams_ = new Streams{started.hProcess, in.ours, out.ours, err.ours};
}

ChildProcess::~ChildProcess() {
    if (!waited_) {
        TerminateProcess(streams_->process, kSignalBase + kKillSignal);
        CloseIfOpen(streams_->in);
        CloseIfOpen(streams_->out);
        CloseIfOpen(streams_->err);
        WaitForSingleObject(streams_->process, INFINITE);
    }
    CloseIfOpen(streams_->process);
    delete streams_;
}

void ChildProcess::Signal(int signalNumber) {
    TerminateProcess(streams_->process, static_cast<UINT>(kSignalBase + signalNumber));
}

bool ChildProcess::WaitUntilHolding(const std::string&, int) { return false; }

ProcessResult ChildProcess::Wait() {
    waited_ = true;
    ProcessResult result;
    PipeWork input{streams_->in, nullptr, &options_.input};
    PipeWork output{streams_->out, &result.out, nullptr};
    PipeWork errors{streams_->err, &result.err, nullptr};
    streams_->in = streams_->out = streams_->err = nullptr;
    if (options_.input.empty())
        CloseIfOpen(input.handle);
    else
        StartWork(input);
    StartWork(output);
    StartWork(errors);

    const DWORD timeout = static_cast<DWORD>(options_.timeoutSeconds) * 1000;
    if (WaitForSingleObject(streams_->process, timeout) == WAIT_TIMEOUT) {
        TerminateProcess(streams_->process, kSignalBase + kKillSignal);
        WaitForSingleObject(streams_->process, INFINITE);
    }
    // What the child wrote last is still in the pipes; a grandchild that
    // keeps them open is given a few seconds.
    const ULONGLONG deadline = GetTickCount64() + 5000;
    for (PipeWork* work : {&input, &output, &errors}) {
        FinishWork(*work, deadline);
        if (work != &input) CloseIfOpen(work->handle);
    }
    CloseIfOpen(input.handle);
    DWORD exitCode = 0;
    GetExitCodeProcess(streams_->process, &exitCode);
    result.exitCode = static_cast<int>(exitCode);
    return result;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    return ChildProcess(argv, options).Wait();
}

// The build records the Linux paths of its tree; under Wine the same files
// have a DOS name (the root is drive Z: unless configured otherwise), which
// Wine itself knows. Paths that are not a Linux path are only made native.
std::string BuildMachinePath(const std::string& buildPath) {
    if (buildPath.empty() || buildPath[0] != '/') return NativePath(buildPath);
    using DosName = WCHAR*(CDECL*)(LPCSTR);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "wine_get_dos_file_name") : nullptr;
    if (found != nullptr) {
        const auto dosName = reinterpret_cast<DosName>(reinterpret_cast<void*>(found));
        if (WCHAR* name = dosName(buildPath.c_str())) {
            const std::string text = platform::NarrowText(name, wcslen(name));
            HeapFree(GetProcessHeap(), 0, name);
            return text;
        }
    }
    return NativePath(buildPath);
}

std::string KestrelBinary() { return BuildMachinePath(KESTREL_BINARY); }
std::string AgentBinary() { return BuildMachinePath(KESTREL_AGENT_BINARY); }
std::string SourceDir() { return BuildMachinePath(KESTREL_SOURCE_DIR); }
std::string BuildDir() { return BuildMachinePath(KESTREL_BUILD_DIR); }

std::string ReadProcessFile(const std::string& path) {
    std::ifstream stream(PathOf(path), std::ios::binary);
    if (!stream) return "";
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}

bool HeldOpen(const std::string& path) {
    const HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(file);
    return false;
}

// Windows keeps no ended children: the living ones, by their parent's id.
std::vector<std::string> ChildProcesses(const std::vector<int>& except) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return {"cannot list the processes"};
    const DWORD self = GetCurrentProcessId();
    std::vector<std::string> children;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID != self) continue;
        const int pid = static_cast<int>(entry.th32ProcessID);
        bool skipped = false;
        for (int other : except) skipped = skipped || other == pid;
        if (skipped) continue;
        children.push_back(std::to_string(pid) + " " + platform::NarrowText(entry.szExeFile, wcslen(entry.szExeFile)) +
                           " running");
    }
    CloseHandle(snapshot);
    return children;
}

}  // namespace kestrel::test
