#include "platform/file_times.h"

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/wide_text_win32.h"

namespace kestrel::platform {

namespace {

int64_t TicksOf(const FILETIME& time) {
    const uint64_t ticks = static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
    return ticks > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(ticks);
}

FILETIME ToFileTime(const FileStamp& stamp) {
    // Times beyond what the system can hold are kept at its limit.
    constexpr uint64_t kLastSecond = static_cast<uint64_t>(INT64_MAX - kUnixEpochTicks) / kTicksPerSecond;
    const uint64_t seconds = stamp.seconds > kLastSecond ? kLastSecond : stamp.seconds;
    const uint64_t nanoseconds = stamp.nanoseconds > 999'999'999u ? 999'999'999u : stamp.nanoseconds;
    uint64_t ticks = kUnixEpochTicks + seconds * kTicksPerSecond + nanoseconds / 100;
    if (ticks > static_cast<uint64_t>(INT64_MAX)) ticks = INT64_MAX;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

FileTimeResult Failure(DWORD code, int& error) {
    error = static_cast<int>(code);
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? FileTimeResult::Missing
                                                                        : FileTimeResult::Failed;
}

// A link's own attributes carry the link's time: the target's is read
// through a handle, which follows it.
FileTimeResult ReadThroughLink(const std::wstring& path, FILETIME& time, int& error) {
    const HANDLE handle =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Failure(GetLastError(), error);
    const bool read = GetFileTime(handle, nullptr, nullptr, &time) != FALSE;
    const DWORD code = read ? ERROR_SUCCESS : GetLastError();
    CloseHandle(handle);
    return read ? FileTimeResult::Present : Failure(code, error);
}

}  // namespace

FileTimeResult ReadModificationTime(const char* path, int64_t& fileTime, int& error) {
    std::wstring wide;
    DWORD code = 0;
    if (!WidenPath(path, wide, code)) return Failure(code, error);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return Failure(GetLastError(), error);
    FILETIME time = data.ftLastWriteTime;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        const FileTimeResult result = ReadThroughLink(wide, time, error);
        if (result != FileTimeResult::Present) return result;
    }
    const int64_t ticks = TicksOf(time);
    // 0 means missing and -1 not yet read: a file from 1601 still counts as present.
    fileTime = ticks < 1 ? 1 : ticks;
    return FileTimeResult::Present;
}

bool SetFileTimes(FileHandle file, const FileStamp& modified, const FileStamp* accessed, int& error) {
    const FILETIME written = ToFileTime(modified);
    FILETIME read{};
    if (accessed != nullptr) read = ToFileTime(*accessed);
    // A null time is left as it is.
    if (SetFileTime(HandleOf(file.native), nullptr, accessed != nullptr ? &read : nullptr, &written)) return true;
    error = static_cast<int>(GetLastError());
    return false;
}

}  // namespace kestrel::platform
