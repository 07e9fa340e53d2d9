#include "platform/terminal.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <iterator>
#include <string>
#include <vector>

#include "platform/wide_text_win32.h"

namespace kestrel::platform {

namespace {

// The program's icon in its resources (the resource script in src/driver).
constexpr WORD kProgramIconResource = 1;

HANDLE Output() { return GetStdHandle(STD_OUTPUT_HANDLE); }
HANDLE Input() { return GetStdHandle(STD_INPUT_HANDLE); }
int LastError() { return static_cast<int>(GetLastError()); }
HANDLE BufferOf(const DisplayScreen& screen) { return HandleOf(screen.buffer.native); }

bool HideCursor(HANDLE buffer) {
    CONSOLE_CURSOR_INFO cursor;
    if (!GetConsoleCursorInfo(buffer, &cursor)) return false;
    cursor.bVisible = FALSE;
    return SetConsoleCursorInfo(buffer, &cursor) != FALSE;
}

// Gives the buffer `width` x `height` cells, all of them in its window. A
// buffer may never be smaller than its window, so the window shrinks first;
// it is set once more at the end because consoles disagree on whether the
// window of SetConsoleScreenBufferInfoEx includes its right and bottom edge.
bool SetBufferSize(HANDLE buffer, SHORT width, SHORT height, WORD attribute, int& error) {
    CONSOLE_SCREEN_BUFFER_INFOEX info{};
    info.cbSize = sizeof info;
    if (!GetConsoleScreenBufferInfoEx(buffer, &info)) {
        error = LastError();
        return false;
    }
    const SMALL_RECT fitting = {0, 0, static_cast<SHORT>(std::min<int>(width, info.dwSize.X) - 1),
                                static_cast<SHORT>(std::min<int>(height, info.dwSize.Y) - 1)};
    SetConsoleWindowInfo(buffer, TRUE, &fitting);
    info.dwSize = {width, height};
    info.srWindow = {0, 0, static_cast<SHORT>(width - 1), static_cast<SHORT>(height - 1)};
    info.dwMaximumWindowSize = {width, height};
    info.dwCursorPosition = {0, 0};
    info.wAttributes = attribute;
    if (!SetConsoleScreenBufferInfoEx(buffer, &info) || !SetConsoleWindowInfo(buffer, TRUE, &info.srWindow)) {
        error = LastError();
        return false;
    }
    return true;
}

bool PaintBlank(HANDLE buffer, int width, int height, WORD attribute, int& error) {
    const DWORD cells = static_cast<DWORD>(width) * static_cast<DWORD>(height);
    DWORD written = 0;
    if (!FillConsoleOutputAttribute(buffer, attribute, cells, {0, 0}, &written) ||
        !FillConsoleOutputCharacterW(buffer, L' ', cells, {0, 0}, &written)) {
        error = LastError();
        return false;
    }
    return true;
}

// A console cell holds one UTF-16 unit: what lies beyond shows as '?', as
// every other code point the display cannot show in one cell.
CHAR_INFO CellInfo(const ScreenCell& cell) {
    CHAR_INFO info;
    info.Char.UnicodeChar = cell.text < 0x10000 ? static_cast<WCHAR>(cell.text) : L'?';
    info.Attributes = cell.attribute;
    return info;
}

void SetWindowIcons(HICON icon) {
    const HWND window = GetConsoleWindow();
    if (window == nullptr) return;
    const LPARAM value = reinterpret_cast<LPARAM>(icon);
    SendMessageW(window, WM_SETICON, ICON_BIG, value);
    SendMessageW(window, WM_SETICON, ICON_SMALL, value);
    SendMessageW(window, WM_SETICON, ICON_SMALL2, value);
}

bool EventOfRecord(const INPUT_RECORD& record, ConsoleEvent& event) {
    if (record.EventType == WINDOW_BUFFER_SIZE_EVENT) {
        const COORD size = record.Event.WindowBufferSizeEvent.dwSize;
        event = ConsoleEvent{ConsoleEventKind::kResize, static_cast<uint16_t>(std::max<SHORT>(size.X, 0)),
                             static_cast<uint16_t>(std::max<SHORT>(size.Y, 0))};
        return true;
    }
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) return false;
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    if (key.wVirtualKeyCode == VK_BACK) {
        event = ConsoleEvent{ConsoleEventKind::kBackspace, 0, 0};
        return true;
    }
    if (key.wVirtualKeyCode == 'C' && (key.dwControlKeyState & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) != 0) {
        event = ConsoleEvent{ConsoleEventKind::kInterrupt, 0, 0};
        return true;
    }
    return false;
}

}  // namespace

// One column and one row less than the visible window, the size the display
// has always been drawn at on this console.
bool QueryDisplaySize(uint16_t& width, uint16_t& height, int& error) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(Output(), &info)) {
        error = LastError();
        return false;
    }
    width = static_cast<uint16_t>(std::max(info.srWindow.Right - info.srWindow.Left, 0));
    height = static_cast<uint16_t>(std::max(info.srWindow.Bottom - info.srWindow.Top, 0));
    return true;
}

bool OpenDisplayScreen(DisplayScreen& screen, uint16_t attribute, uint16_t& width, uint16_t& height,
                       ScreenFailureReport report) {
    screen.buffer = kNoFile;
    width = height = 0;
    CONSOLE_CURSOR_INFO cursor;
    if (!GetConsoleCursorInfo(Output(), &cursor)) {
        report(ScreenStep::kCursorInfo, LastError());
        return false;
    }
    int error = 0;
    if (!QueryDisplaySize(width, height, error)) report(ScreenStep::kScreenInfo, error);
    const HANDLE buffer =
        CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, 0, nullptr, CONSOLE_TEXTMODE_BUFFER, nullptr);
    if (buffer == INVALID_HANDLE_VALUE) {
        report(ScreenStep::kCreate, LastError());
        return false;
    }
    if (!SetConsoleMode(buffer, ENABLE_LVB_GRID_WORLDWIDE)) report(ScreenStep::kMode, LastError());
    if (!SetConsoleTextAttribute(buffer, attribute)) report(ScreenStep::kAttributes, LastError());
    cursor.bVisible = FALSE;
    if (!SetConsoleCursorInfo(buffer, &cursor)) report(ScreenStep::kCursor, LastError());
    if (!SetConsoleActiveScreenBuffer(buffer)) {
        report(ScreenStep::kActivate, LastError());
        CloseHandle(buffer);
        return false;
    }
    screen.buffer = FileHandle{NativeValue(buffer)};
    return true;
}

void SizeDisplayScreen(DisplayScreen& screen, int width, int height, uint16_t attribute,
                       ScreenFailureReport report) {
    // A console buffer has at least one cell each way; nothing is drawn below
    // the display's minimum anyway.
    width = std::clamp(width, 1, SHRT_MAX);
    height = std::clamp(height, 1, SHRT_MAX);
    const HANDLE buffer = BufferOf(screen);
    int error = 0;
    if (!SetBufferSize(buffer, static_cast<SHORT>(width), static_cast<SHORT>(height), attribute, error))
        report(ScreenStep::kSize, error);
    if (!HideCursor(buffer)) report(ScreenStep::kCursor, LastError());
    if (!PaintBlank(buffer, width, height, attribute, error)) report(ScreenStep::kAttributes, error);
}

bool DrawScreenCells(DisplayScreen& screen, const ScreenCell* cells, const ScreenCell* shown, int width, int height,
                     int& error) {
    const HANDLE buffer = BufferOf(screen);
    std::vector<CHAR_INFO> row(static_cast<size_t>(width));
    for (int y = 0; y < height; ++y) {
        const ScreenCell* line = cells + static_cast<size_t>(y) * static_cast<size_t>(width);
        const ScreenCell* before =
            shown != nullptr ? shown + static_cast<size_t>(y) * static_cast<size_t>(width) : nullptr;
        // Only the stretch of the row from its first to its last change.
        int first = 0, last = width - 1;
        if (before != nullptr) {
            while (first < width && line[first] == before[first]) ++first;
            while (last > first && line[last] == before[last]) --last;
        }
        if (first >= width) continue;
        const int count = last - first + 1;
        for (int x = 0; x < count; ++x) row[static_cast<size_t>(x)] = CellInfo(line[first + x]);
        SMALL_RECT region = {static_cast<SHORT>(first), static_cast<SHORT>(y), static_cast<SHORT>(last),
                             static_cast<SHORT>(y)};
        if (!WriteConsoleOutputW(buffer, row.data(), {static_cast<SHORT>(count), 1}, {0, 0}, &region)) {
            error = LastError();
            return false;
        }
    }
    return true;
}

bool SetDisplayTitle(DisplayScreen&, const char* title, int& error) {
    std::wstring wide;
    DWORD code = 0;
    if (!WidenText(title, wide, code)) {
        error = static_cast<int>(code);
        return false;
    }
    if (SetConsoleTitleW(wide.c_str())) return true;
    error = LastError();
    return false;
}

void ShowMainScreen(const DisplayScreen&) { SetConsoleActiveScreenBuffer(Output()); }

void CloseDisplayScreen(DisplayScreen& screen) { CloseFile(screen.buffer); }

bool DisplayIsHidden() {
    const HWND window = GetConsoleWindow();
    return window != nullptr && IsIconic(window);
}

bool ShowProgramIcon(int& error) {
    const HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kProgramIconResource));
    if (icon == nullptr) {
        error = LastError();
        return false;
    }
    SetWindowIcons(icon);
    return true;
}

void ClearProgramIcon() { SetWindowIcons(nullptr); }

bool OpenWakeChannel(WakeChannel& channel, int& error) {
    // Auto-reset: the wait that sees it consumes it.
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        error = LastError();
        return false;
    }
    channel.waitEnd = channel.wakeEnd = FileHandle{NativeValue(event)};
    return true;
}

void Wake(const WakeChannel& channel) {
    if (channel.wakeEnd.valid()) SetEvent(HandleOf(channel.wakeEnd.native));
}

TerminalWait WaitForTerminal(const WakeChannel& channel, bool watchInput, int timeoutMs, int& error) {
    HANDLE handles[2];
    DWORD count = 0;
    // The lower index wins when both are signalled.
    if (watchInput) handles[count++] = Input();
    handles[count++] = HandleOf(channel.waitEnd.native);
    const DWORD timeout = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    const DWORD result = WaitForMultipleObjects(count, handles, FALSE, timeout);
    if (result == WAIT_TIMEOUT) return TerminalWait::TimedOut;
    if (result >= WAIT_OBJECT_0 + count) {
        error = result == WAIT_FAILED ? LastError() : static_cast<int>(ERROR_INVALID_HANDLE);
        return TerminalWait::Failed;
    }
    return watchInput && result == WAIT_OBJECT_0 ? TerminalWait::Input : TerminalWait::Woken;
}

bool PendingInput(size_t& count, int& error) {
    DWORD events = 0;
    if (!GetNumberOfConsoleInputEvents(Input(), &events)) {
        error = LastError();
        return false;
    }
    count = events;
    return true;
}

bool ReadConsoleEvents(ConsoleEvent* events, size_t room, size_t& count, bool& ended, int& error) {
    INPUT_RECORD records[16];
    const DWORD wanted = static_cast<DWORD>(std::min(room, std::size(records)));
    DWORD got = 0;
    count = 0;
    // A console's input never ends; closing it fails the next read instead.
    ended = false;
    if (wanted == 0) return true;
    if (!ReadConsoleInputW(Input(), records, wanted, &got)) {
        error = LastError();
        return false;
    }
    for (DWORD i = 0; i < got; ++i)
        if (EventOfRecord(records[i], events[count])) ++count;
    return true;
}

}  // namespace kestrel::platform
