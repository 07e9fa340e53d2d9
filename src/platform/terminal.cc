#include "platform/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrel::platform {

namespace {

// Alternate screen (saving the cursor), cursor hidden, automatic wrap off.
constexpr char kEnterScreen[] = "\x1b[?1049h\x1b[?25l\x1b[?7l";
// Attribute reset, wrap and cursor back, main screen (restoring the cursor).
constexpr char kLeaveScreen[] = "\x1b[0m\x1b[?7h\x1b[?25h\x1b[?1049l";

// Console colour bits (blue 1, green 2, red 4) to the ANSI colour index (red 1, green 2, blue 4).
int AnsiColour(unsigned bits) { return ((bits & 4) ? 1 : 0) | ((bits & 2) ? 2 : 0) | ((bits & 1) ? 4 : 0); }

void AppendNumber(std::string& out, unsigned value) {
    char digits[12];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) out += digits[--count];
}

}  // namespace

bool EnterRawInput(int fd, const struct termios& saved, int& error) {
    struct termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &raw) == 0) return true;
    error = errno;
    return false;
}

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

bool EnterDisplayScreen(int& error) { return WriteToTerminal(kEnterScreen, sizeof kEnterScreen - 1, error); }

bool LeaveDisplayScreen(int& error) { return WriteToTerminal(kLeaveScreen, sizeof kLeaveScreen - 1, error); }

void AppendMoveTo(std::string& out, int row, int column) {
    out += "\x1b[";
    AppendNumber(out, static_cast<unsigned>(row + 1));
    out += ';';
    AppendNumber(out, static_cast<unsigned>(column + 1));
    out += 'H';
}

void AppendTextAttribute(std::string& out, uint16_t attribute) {
    const unsigned foreground = attribute & 0x0F;
    const unsigned background = (attribute >> 4) & 0x0F;
    out += "\x1b[0;";
    AppendNumber(out, static_cast<unsigned>(((foreground & 8) ? 90 : 30) + AnsiColour(foreground)));
    out += ';';
    AppendNumber(out, static_cast<unsigned>(((background & 8) ? 100 : 40) + AnsiColour(background)));
    out += 'm';
}

void AppendWindowTitle(std::string& out, const char* title) {
    out += "\x1b]2;";
    // Control bytes would end the sequence early or start another one.
    for (const char* at = title; *at != '\0'; ++at)
        if (static_cast<unsigned char>(*at) >= 0x20 && *at != 0x7F) out += *at;
    out += '\x07';
}

bool OpenWakeChannel(WakeChannel& channel, int& error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = errno;
        return false;
    }
    channel.readFd = fds[0];
    channel.writeFd = fds[1];
    return true;
}

void CloseWakeChannel(WakeChannel& channel) {
    if (channel.readFd >= 0) close(channel.readFd);
    if (channel.writeFd >= 0) close(channel.writeFd);
    channel.readFd = channel.writeFd = -1;
}

void Wake(const WakeChannel& channel) {
    if (channel.writeFd < 0) return;
    const char byte = 1;
    // EAGAIN means the pipe is full, which wakes the reader just as well.
    while (write(channel.writeFd, &byte, 1) < 0 && errno == EINTR) {
    }
}

TerminalWait WaitForTerminal(const WakeChannel& channel, bool watchInput, int timeoutMs, int& error) {
    struct pollfd fds[2];
    fds[0] = {channel.readFd, POLLIN, 0};
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
        while (read(channel.readFd, drain, sizeof drain) > 0) {
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
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, buffer, room);
        if (got >= 0) {
            count = static_cast<size_t>(got);
            return true;
        }
        if (errno == EINTR) continue;
        error = errno;
        return false;
    }
}

bool StartTerminalThread(TerminalThread& thread, void* (*routine)(void*), void* argument, int& error) {
    const int result = pthread_create(&thread.handle, nullptr, routine, argument);
    if (result != 0) {
        error = result;
        return false;
    }
    thread.running = true;
    return true;
}

void JoinTerminalThread(TerminalThread& thread) {
    if (!thread.running) return;
    pthread_join(thread.handle, nullptr);
    thread.running = false;
}

}  // namespace kestrel::platform
