#include "agent/os/signals.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace kestrel::agent::os {

bool OpenTerminationSignals(int& fd, int& error) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    const int blocked = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (blocked != 0) {
        error = blocked;
        return false;
    }
    fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0) {
        error = errno;
        return false;
    }
    return true;
}

int TakeTerminationSignal(int fd) {
    signalfd_siginfo info;
    const ssize_t got = read(fd, &info, sizeof info);
    return got == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

int AwaitTerminationSignal(int fd, int timeoutMs) {
    pollfd watch{fd, POLLIN, 0};
    if (poll(&watch, 1, timeoutMs) <= 0) return 0;
    return TakeTerminationSignal(fd);
}

}  // namespace kestrel::agent::os
