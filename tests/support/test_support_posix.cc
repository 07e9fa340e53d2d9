// The POSIX side of the test support: children through posix_spawn with
// pipes read by poll, signals, /proc, the environment, file times, and the
// facts of POSIX.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "support/test_paths.h"
#include "support/test_support.h"

extern char** environ;

namespace kestrel::test {

namespace fs = std::filesystem;

const char kNativeSeparator = '/';
const char kSearchPathSeparator = ':';
const char* const kPrintedLineEnd = "\n";
const char* const kTemporaryDirectoryVariable = "TMPDIR";
const bool kFileNamesIgnoreCase = false;
const bool kDeviceNamesReserved = false;
const char* const kNullDevice = "/dev/null";
const bool kBuildMachineToolsRun = true;
const int kErrorDirectoryMissing = ENOENT;
const int kErrorConnectionRefused = ECONNREFUSED;
const int kErrnoOpeningDirectory = EISDIR;
const DirectoryAsFile kDirectoryAsFile = {"read", EISDIR};

fs::path TemporaryBase() {
    const char* base = std::getenv("TMPDIR");
    return PathOf(base != nullptr && *base != '\0' ? base : "/tmp");
}

std::string Executable(const std::string& path) { return path + KESTREL_EXECUTABLE_SUFFIX; }

void SetModificationTime(const std::string& path, int64_t seconds, long nanoseconds) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = nanoseconds;
    times[1] = times[0];
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) throw std::runtime_error("utimensat " + path);
}

void RemoveTree(const std::string& path) {
    std::error_code ignored;
    // Make directories writable first so read-only leftovers cannot block removal.
    for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path, ignored);
}

std::vector<DirectoryEntry> ListDirectory(const std::string& path) {
    std::vector<DirectoryEntry> entries;
    std::error_code error;
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
        std::error_code statusError;
        const bool link = it->is_symlink(statusError);
        const bool directory = !link && it->is_directory(statusError);
        entries.push_back({it->path().filename().string(), directory, link});
    }
    std::sort(entries.begin(), entries.end(),
              [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
    return entries;
}

void SetEnvironment(const std::string& name, const std::string& value) { setenv(name.c_str(), value.c_str(), 1); }

void UnsetEnvironment(const std::string& name) { unsetenv(name.c_str()); }

namespace {

std::vector<std::string> BuildEnvironment(const ProcessOptions& options) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text(*entry);
        const size_t equals = text.find('=');
        if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& name : options.unsetEnvironment) merged.erase(name);
    for (const auto& [name, value] : options.environment) merged[name] = value;
    std::vector<std::string> result;
    for (const auto& [name, value] : merged) result.push_back(name + "=" + value);
    return result;
}

std::vector<char*> PointerArray(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

struct ChildProcess::Streams {
    int in = -1;
    int out = -1;
    int err = -1;
};

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ProcessOptions& options) : options_(options) {
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    if (!options.workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    std::vector<std::string> args = argv;
    std::vector<std::string> env = BuildEnvironment(options);
    std::vector<char*> argPointers = PointerArray(args);
    std::vector<char*> envPointers = PointerArray(env);
    pid_t pid = -1;
    const int spawnError =
        posix_spawn(&pid, args[0].c_str(), &actions, &attributes, argPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (spawnError != 0) {
        close(inPipe[1]);
        close(outPipe[0]);
        close(errPipe[0]);
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(spawnError));
    }
    pid_ = pid;
    streams_ = new Streams{inPipe[1], outPipe[0], errPipe[0]};
}

ChildProcess::~ChildProcess() {
    if (!waited_) {
        kill(-pid_, SIGKILL);
        for (int fd : {streams_->in, streams_->out, streams_->err})
            if (fd >= 0) close(fd);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    delete streams_;
}

void ChildProcess::Signal(int signalNumber) { kill(pid_, signalNumber); }

bool ChildProcess::WaitUntilHolding(const std::string& path, int seconds) {
    const std::string wanted = fs::canonical(path).string();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    const std::string fdDirectory = "/proc/" + std::to_string(pid_) + "/fd";
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(fdDirectory, ignored)) {
            std::error_code linkError;
            const fs::path target = fs::read_symlink(entry.path(), linkError);
            if (!linkError && target.string() == wanted) return true;
        }
        usleep(10000);
    }
    return false;
}

ProcessResult ChildProcess::Wait() {
    waited_ = true;
    ProcessResult result;
    size_t inputSent = 0;
    int inFd = streams_->in;
    if (options_.input.empty()) {
        close(inFd);
        inFd = -1;
    } else {
        fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    int outFd = streams_->out, errFd = streams_->err;
    streams_->in = streams_->out = streams_->err = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options_.timeoutSeconds);
    bool killed = false;
    while (outFd >= 0 || errFd >= 0) {
        struct pollfd fds[3];
        int count = 0;
        if (outFd >= 0) fds[count++] = {outFd, POLLIN, 0};
        if (errFd >= 0) fds[count++] = {errFd, POLLIN, 0};
        if (inFd >= 0) fds[count++] = {inFd, POLLOUT, 0};
        const int ready = poll(fds, static_cast<nfds_t>(count), 100);
        if (!killed && std::chrono::steady_clock::now() > deadline) {
            kill(-pid_, SIGKILL);
            killed = true;
        }
        if (ready <= 0) continue;
        for (int i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == inFd) {
                const ssize_t n = write(inFd, options_.input.data() + inputSent, options_.input.size() - inputSent);
                if (n > 0) inputSent += static_cast<size_t>(n);
                if (n < 0 || inputSent == options_.input.size()) {
                    close(inFd);
                    inFd = -1;
                }
                continue;
            }
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            std::string& sink = fds[i].fd == outFd ? result.out : result.err;
            if (n > 0) {
                sink.append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                (fds[i].fd == outFd ? outFd : errFd) = -1;
            }
        }
    }
    if (inFd >= 0) close(inFd);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    return ChildProcess(argv, options).Wait();
}

std::string BuildMachinePath(const std::string& path) { return path; }

std::string KestrelBinary() { return KESTREL_BINARY; }
std::string AgentBinary() { return KESTREL_AGENT_BINARY; }
std::string SourceDir() { return KESTREL_SOURCE_DIR; }
std::string BuildDir() { return KESTREL_BUILD_DIR; }

std::string ReadProcessFile(const std::string& path) {
    // Not a stream: a process that ends while it is read fails the read,
    // which a file buffer turns into an exception.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    return text;
}

bool HeldOpen(const std::string& path) {
    std::error_code error;
    const fs::path wanted = fs::canonical(path, error);
    if (error) return false;
    for (fs::directory_iterator it("/proc/self/fd", error), end; !error && it != end; it.increment(error)) {
        std::error_code linkError;
        if (fs::read_symlink(it->path(), linkError) == wanted && !linkError) return true;
    }
    return false;
}

std::vector<std::string> ChildProcesses(const std::vector<int>& except) {
    std::vector<std::string> children;
    const int self = getpid();
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return {"cannot read /proc"};
    while (dirent* entry = readdir(proc)) {
        const int pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        bool skipped = false;
        for (int other : except) skipped = skipped || other == pid;
        if (skipped) continue;
        const std::string stat = ReadProcessFile(std::string("/proc/") + entry->d_name + "/stat");
        // pid (name) state ppid ...; the name may hold spaces and parentheses.
        const size_t close = stat.rfind(')');
        const size_t open = stat.find('(');
        if (close == std::string::npos || open == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        std::string state;
        int parent = 0;
        rest >> state >> parent;
        if (parent == self) children.push_back(std::to_string(pid) + " " + stat.substr(open + 1, close - open - 1) + " " + state);
    }
    closedir(proc);
    return children;
}

}  // namespace kestrel::test
