#include "platform/file_reading.h"

#include <windows.h>

#include <string>

#include "platform/wide_text_win32.h"

namespace kestrel::platform {

bool OpenSequentialFile(const char* path, FileHandle& file, int& error) {
    std::wstring wide;
    DWORD code = 0;
    if (!WidenPath(path, wide, code)) {
        error = static_cast<int>(code);
        return false;
    }
    // Others may go on reading and writing it, as on POSIX systems. A pipe
    // without a free instance fails at once instead of waiting.
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    file = FileHandle{NativeValue(handle)};
    return true;
}

bool ReadSequentialFile(FileHandle file, void* buffer, size_t size, size_t& count, int& error) {
    const DWORD want = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    DWORD got = 0;
    if (ReadFile(HandleOf(file.native), buffer, want, &got, nullptr)) {
        count = got;
        return true;
    }
    const DWORD code = GetLastError();
    // The end of a file, or of a pipe whose writer is gone.
    if (code == ERROR_HANDLE_EOF || code == ERROR_BROKEN_PIPE) {
        count = 0;
        return true;
    }
    error = static_cast<int>(code);
    return false;
}

bool ReadFileIdentity(FileHandle file, FileIdentity& identity, int& error) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(HandleOf(file.native), &information)) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    identity.device = information.dwVolumeSerialNumber;
    identity.inode = static_cast<uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
    return true;
}

}  // namespace kestrel::platform
