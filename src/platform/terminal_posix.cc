#include "platform/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/retry_posix.h"
#include "platform/terminal_escapes.h"

namespace kestrel::platform {

namespace {

// Writes every byte to standard output, retrying interrupted and short writes.
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

bool WriteToTerminal(const std::string& bytes, int& error) { return WriteToTerminal(bytes.data(), bytes.size(), error); }

// Raw input: backspace arrives as DEL or BS, Ctrl+C as ETX.
bool EventOfByte(unsigned char byte, ConsoleEvent& event) {
    if (byte == 0x7F || byte == 0x08) {
        event = ConsoleEvent{ConsoleEventKind::kBackspace, 0, 0};
        return true;
    }
    if (byte == 0x03) {
        event = ConsoleEvent{ConsoleEventKind::kInterrupt, 0, 0};
        return true;
    }
    return false;
}

}  // namespace

bool QueryDisplaySize(uint16_t& width, uint16_t& height, int& error) {
    struct winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) {
        error = errno;
        return false;
    }
    width = size.ws_col;
    height = size.ws_row;
    return true;
}

bool OpenDisplayScreen(DisplayScreen& screen, uint16_t, uint16_t& width, uint16_t& height,
                       ScreenFailureReport report) {
    screen.buffer = kNoFile;
    int error = 0;
    width = height = 0;
    if (!QueryDisplaySize(width, height, error)) report(ScreenStep::kScreenInfo, error);
    // The attribute is set with the first cells drawn.
    if (!WriteToTerminal(kEnterDisplayScreen, sizeof kEnterDisplayScreen - 1, error)) {
        report(ScreenStep::kActivate, error);
        // Part of it may have arrived.
        ShowMainScreen(screen);
        return false;
    }
    return true;
}

// The terminal has the new size already; the display paints every cell after it.
void SizeDisplayScreen(DisplayScreen&, int, int, uint16_t, ScreenFailureReport) {}

bool DrawScreenCells(DisplayScreen&, const ScreenCell* cells, const ScreenCell* shown, int width, int height,
                     int& error) {
    std::string output;
    AppendScreenUpdate(output, cells, shown, width, height);
    return output.empty() || WriteToTerminal(output, error);
}

bool SetDisplayTitle(DisplayScreen&, const char* title, int& error) {
    std::string output;
    AppendWindowTitle(output, title);
    return WriteToTerminal(output, error);
}

void ShowMainScreen(const DisplayScreen&) {
    int ignored = 0;
    WriteToTerminal(kLeaveDisplayScreen, sizeof kLeaveDisplayScreen - 1, ignored);
}

void CloseDisplayScreen(DisplayScreen& screen) { screen.buffer = kNoFile; }

bool DisplayIsHidden() { return false; }

bool ShowProgramIcon(int&) { return true; }

void ClearProgramIcon() {}

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

bool ReadConsoleEvents(ConsoleEvent* events, size_t room, size_t& count, bool& ended, int& error) {
    unsigned char bytes[64];
    size_t got = 0;
    count = 0;
    ended = false;
    if (!ReadRetrying(STDIN_FILENO, bytes, room < sizeof bytes ? room : sizeof bytes, got, error)) return false;
    ended = got == 0;
    for (size_t i = 0; i < got; ++i)
        if (EventOfByte(bytes[i], events[count])) ++count;
    return true;
}

}  // namespace kestrel::platform
