#include "platform/process.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kestrel::platform {

uint32_t RaiseOpenFileLimit() {
    struct rlimit limits;
    if (getrlimit(RLIMIT_NOFILE, &limits) != 0) return 0;
    for (rlim_t value = 8192; value > 256; value /= 2) {
        struct rlimit wanted = limits;
        wanted.rlim_cur = value;
        if (limits.rlim_max != RLIM_INFINITY && value > limits.rlim_max) continue;
        if (setrlimit(RLIMIT_NOFILE, &wanted) == 0) return static_cast<uint32_t>(value);
    }
    return 0;
}

void CreateProcessMarker() {
    // An abstract socket name lives exactly as long as the descriptor: nothing
    // is left behind in the file system, whatever way the process ends.
    static constexpr char kName[] = "kestrel.03d0b3b6-fb24-4124-a8a0-c3934da40444";
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    struct sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, kName, sizeof kName - 1);
    const socklen_t length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + sizeof kName - 1);
    // A second instance finds the name taken; that is not an error.
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), length) != 0) close(fd);
}

std::string ExecutablePath() {
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return "/proc/self/exe";
        if (static_cast<size_t>(length) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(length));
        buffer.resize(buffer.size() * 2);
    }
}

bool CurrentDirectory(std::string& directory, int& error) {
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) {
            directory = buffer.data();
            return true;
        }
        if (errno != ERANGE) {
            error = errno;
            return false;
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool TemporaryDirectory(std::string& directory, int&) {
    const char* value = std::getenv("TMPDIR");
    directory = value != nullptr && *value != '\0' ? value : "/tmp";
    while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
    return true;
}

void PrepareErrorMode() {}

void IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

void SleepMilliseconds(uint32_t milliseconds) {
    struct timespec left = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void ExitImmediately(int code) { _exit(code); }

const char* EnvironmentVariable(const char* name) { return std::getenv(name); }

}  // namespace kestrel::platform
