// Helpers shared by the test programs: temporary directories, files, and child
// processes with captured output, and the facts in which the systems differ.
// test_support.cc holds what every system shares; processes, the environment,
// file times and the facts are in test_support_posix.cc and
// test_support_win32.cc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace kestrel::test {

// A fresh directory in the user's temporary directory ($TMPDIR or /tmp on
// POSIX, the one GetTempPath names on Windows), removed with its contents on
// destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // In the system's own form: "C:\users\...\kestrel-test-..." on Windows.
    const std::string& path() const { return path_; }
    // path(), the separator, then `relative` in the system's own form.
    std::string operator/(const std::string& relative) const;

private:
    std::string path_;
};

// Path text as the system writes it: '/' becomes '\' on Windows; unchanged
// elsewhere. For expectations on paths that the program renders itself.
std::string NativePath(const std::string& text);

// UTF-8 path text as a std::filesystem path and back (the narrow
// constructor and string() read the system's code page on Windows).
std::filesystem::path PathOf(const std::string& text);
std::string TextOf(const std::filesystem::path& path);

// `path` with the suffix the system gives programs ("" or ".exe").
std::string Executable(const std::string& path);

// Writes `bytes` to `path`, creating missing parent directories.
void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
// True when anything exists under that name (a dangling link included).
bool FileExists(const std::string& path);
// Removes the file or directory tree, read-only files included; links are
// removed, not followed.
void RemoveTree(const std::string& path);
// Sets the modification time, in seconds since 1970 (plus nanoseconds).
void SetModificationTime(const std::string& path, int64_t seconds, long nanoseconds = 0);

// One name in a directory.
struct DirectoryEntry {
    std::string name;  // UTF-8
    bool directory;    // a directory, not a link to one
    bool link;         // a symbolic link (or another reparse point)
};
// The entries of a directory but "." and "..", sorted by their UTF-8 bytes;
// empty when it cannot be read. Any path length: std::filesystem lists no
// directory beyond MAX_PATH on Windows.
std::vector<DirectoryEntry> ListDirectory(const std::string& path);

// Whether the file is still open: through a descriptor of this process
// (POSIX, seen in /proc), or through any handle (Windows, which then refuses
// to open it for exclusive use). For tests that must leave no file open.
bool HeldOpen(const std::string& path);

// Changes the test program's own environment (what the program under test
// reads, and what children inherit).
void SetEnvironment(const std::string& name, const std::string& value);
void UnsetEnvironment(const std::string& name);

// Sets a variable for the lifetime of the object, then restores it (or
// removes it when it was not set).
class EnvironmentOverride {
public:
    EnvironmentOverride(const std::string& name, const std::string& value);
    ~EnvironmentOverride();
    EnvironmentOverride(const EnvironmentOverride&) = delete;
    EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;

private:
    std::string name_;
    std::string saved_;
    bool wasSet_ = false;
};

// ---- What the systems differ in, for expectations that must follow ----

// The path separator, and the one between the folders of PATH.
extern const char kNativeSeparator;
extern const char kSearchPathSeparator;

// Text as a program of this system prints it on its standard streams
// through the runtime library's text mode: each "\n" is "\r\n" on Windows.
std::string PrintedLines(const std::string& text);
extern const char* const kPrintedLineEnd;

// The variable that moves the user's temporary directory: TMPDIR on POSIX,
// TMP on Windows.
extern const char* const kTemporaryDirectoryVariable;

// Whether the file system finds "A.TXT" under the name "a.txt".
extern const bool kFileNamesIgnoreCase;

// Whether some names are read as something other than a file in the
// directory: devices (CON, NUL, COM1, "aux.txt"), named streams ("a:zone")
// and '\' as a separator on Windows; on POSIX all of them are plain names.
extern const bool kDeviceNamesReserved;

// The device that takes every write: /dev/null, or NUL on Windows.
extern const char* const kNullDevice;

// Whether the test program can run the build machine's own tools (tar,
// python3, xmllint, prlimit) and read what they print: not from Windows
// under Wine, where such a child gives back neither handle nor output.
extern const bool kBuildMachineToolsRun;

// The system's code for a file made in a directory that does not exist
// (ENOENT; ERROR_PATH_NOT_FOUND), and the runtime library's errno for a
// directory opened as a stream (EISDIR; EACCES).
extern const int kErrorDirectoryMissing;
// The socket layer's code for a refused connection (ECONNREFUSED; WSAECONNREFUSED).
extern const int kErrorConnectionRefused;
extern const int kErrnoOpeningDirectory;

// A directory named where a file is to be read: POSIX opens it and fails the
// read (EISDIR), Windows fails the open (ERROR_ACCESS_DENIED).
struct DirectoryAsFile {
    const char* failedStep;  // "open" or "read"
    int code;
};
extern const DirectoryAsFile kDirectoryAsFile;

// ---- Child processes ----

struct ProcessResult {
    int exitCode = -1;     // exit status, or 128 + signal number
    std::string out;       // everything written to standard output
    std::string err;       // everything written to standard error
};

struct ProcessOptions {
    std::string workingDirectory;                  // empty: inherit
    std::map<std::string, std::string> environment;  // added to (or replacing in) the inherited one
    std::vector<std::string> unsetEnvironment;
    std::string input;                             // fed to standard input, then closed
    int timeoutSeconds = 60;                       // killed after this; exitCode then 128 + 9 (SIGKILL)
};

// Runs argv[0] (a path) with the arguments, capturing both output streams.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A child started now and collected later, for tests that act on it while it
// runs (signals, files it holds open). Output is collected by Wait.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});
    ~ChildProcess();  // kills and reaps the child if Wait was not called
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The process id (on Windows too).
    int pid() const { return pid_; }
    // POSIX: sends the signal. Windows has no signals one process can send
    // another: any number ends the child at once, with exit code 128 + the
    // number, as an uncaught signal would.
    void Signal(int signalNumber);
    // True once the child holds `path` open (checked through /proc), false
    // when it has not within `seconds`. POSIX only: always false on Windows,
    // which cannot list another process's open files.
    bool WaitUntilHolding(const std::string& path, int seconds = 20);
    // Feeds the input, collects both streams until they close, then reaps.
    ProcessResult Wait();

private:
    struct Streams;  // the system's handles of the child and its pipes
    ProcessOptions options_;
    int pid_ = -1;
    Streams* streams_ = nullptr;
    bool waited_ = false;
};

// A file of /proc, such as "/proc/PID/stat"; empty when the process has
// gone meanwhile (and on systems without /proc).
std::string ReadProcessFile(const std::string& path);

// The living and unreaped children of this process other than `except`, as
// "pid name state" lines: what a test must not leave behind.
std::vector<std::string> ChildProcesses(const std::vector<int>& except = {});

// ---- Locations ----

// Fixed by the build, in the system's own form.
std::string KestrelBinary();
std::string AgentBinary();
std::string SourceDir();
std::string BuildDir();

// A path of the build machine (a folder the build or a script named) as
// this system reaches it: unchanged on POSIX, its DOS name under Wine.
std::string BuildMachinePath(const std::string& path);

// Bytes in hexadecimal, for readable failure messages on binary data.
std::string Hex(const std::string& bytes);

}  // namespace kestrel::test
