// Helpers shared by the test programs: temporary directories, files, and child
// processes with captured output.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kestrel::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + relative
    std::string operator/(const std::string& relative) const;

private:
    std::string path_;
};

// Writes `bytes` to `path`, creating missing parent directories.
void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
void RemoveTree(const std::string& path);
// Sets the modification time, in seconds since 1970 (plus nanoseconds).
void SetModificationTime(const std::string& path, int64_t seconds, long nanoseconds = 0);

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
    int timeoutSeconds = 60;                       // killed after this; exitCode then 128 + SIGKILL
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

    int pid() const { return pid_; }
    void Signal(int signalNumber);
    // True once the child holds `path` open (checked through /proc), false
    // when it has not within `seconds`.
    bool WaitUntilHolding(const std::string& path, int seconds = 20);
    // Feeds the input, collects both streams until they close, then reaps.
    ProcessResult Wait();

private:
    ProcessOptions options_;
    int pid_ = -1;
    int inFd_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool waited_ = false;
};

// A file of /proc, such as "/proc/PID/stat"; empty when the process has
// gone meanwhile.
std::string ReadProcessFile(const std::string& path);

// The living and unreaped children of this process other than `except`, as
// "pid name state" lines: what a test must not leave behind.
std::vector<std::string> ChildProcesses(const std::vector<int>& except = {});

// Locations fixed by the build.
std::string KestrelBinary();
std::string AgentBinary();
std::string SourceDir();
std::string BuildDir();

// Bytes in hexadecimal, for readable failure messages on binary data.
std::string Hex(const std::string& bytes);

}  // namespace kestrel::test
