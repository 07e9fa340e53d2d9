#include "platform/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/retry_posix.h"

namespace kestrel::platform {

bool QueryTerminalSize(uint16_t& width, uint16_t& height, int& error) {
    struct winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) {
        error = errno;
        return false;
    }
    width = size.ws_col;
    height = size.ws_row;
    return true;
}

bool WriteToTerminal(const char* bytes, size_t length, int& error) {
    while (length > 0) {
        const ssize_t written = write(STDOUT_FILENO, bytes, length);
        if (written > 0) {
            bytes += written;
            length -= static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno == EAGAIN) {
            // Someone made the descriptor non-blocking: wait until it drains.
            struct pollfd ready = {STDOUT_FILENO, POLLOUT, 0};
            poll(&ready, 1, -1);
            continue;
        }
        error = written < 0 ? errno : EIO;
        return false;
    }
    return true;
}


bool OpenWakeChannel(WakeChannel& channel, int& error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = errno;
        return false;
    }
    channel.waitEnd = FileHandle{fds[0]};
    channel.wakeEnd = FileHandle{fds[1]};
    return true;
}

void CloseWakeChannel(WakeChannel& channel) {
    CloseFile(channel.waitEnd);
    CloseFile(channel.wakeEnd);
}

void Wake(const WakeChannel& channel) {
    if (!channel.wakeEnd.valid()) return;
    const char byte = 1;
    // EAGAIN means the pipe is full, which wakes the reader just as well.
    while (write(static_cast<int>(channel.wakeEnd.native), &byte, 1) < 0 && errno == EINTR) {
    }
}

TerminalWait WaitForTerminal(const WakeChannel& channel, bool watchInput, int timeoutMs, int& error) {
    const int waitFd = static_cast<int>(channel.waitEnd.native);
    struct pollfd fds[2];
    fds[0] = {waitFd, POLLIN, 0};
    fds[1] = {STDIN_FILENO, POLLIN, 0};
    const int ready = poll(fds, watchInput ? 2 : 1, timeoutMs);
    if (ready < 0) {
        if (errno == EINTR) return TerminalWait::TimedOut;
        error = errno;
        return TerminalWait::Failed;
    }
    if (ready == 0) return TerminalWait::TimedOut;
    if (fds[0].revents != 0) {
        char drain[64];
        while (read(waitFd, drain, sizeof drain) > 0) {
        }
    }
    if (watchInput && (fds[1].revents & POLLIN) != 0) return TerminalWait::Input;
    if (watchInput && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return TerminalWait::HungUp;
    return TerminalWait::Woken;
}

bool PendingInput(size_t& count, int& error) {
    int pending = 0;
    if (ioctl(STDIN_FILENO, FIONREAD, &pending) != 0) {
        error = errno;
        return false;
    }
    count = pending > 0 ? static_cast<size_t>(pending) : 0;
    return true;
}

bool ReadInput(unsigned char* buffer, size_t room, size_t& count, int& error) {
    return ReadRetrying(STDIN_FILENO, buffer, room, count, error);
}

}  // namespace kestrel::platform
