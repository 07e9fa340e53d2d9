#include "platform/scratch_file.h"

#include <windows.h>

#include <atomic>
#include <string>

#include "platform/owner_only_win32.h"
#include "platform/wide_text_win32.h"

namespace kestrel::platform {

namespace {

constexpr uint32_t kNameAttempts = 1000;

bool TemporaryDirectory(std::wstring& directory, int32_t& error) {
    const DWORD room = GetTempPathW(0, nullptr);
    if (room != 0) {
        directory.resize(room);
        const DWORD length = GetTempPathW(room, directory.data());
        if (length != 0 && length < room) {
            directory.resize(length);  // ends with a separator
            return true;
        }
    }
    error = static_cast<int32_t>(GetLastError());
    return false;
}

// A name no other scratch file of this or an earlier process holds: the
// process id and a counter, tried until one is free.
std::wstring ScratchName(const std::wstring& directory) {
    static std::atomic<uint32_t> counter{0};
    return directory + L"KVSCRATCH." + std::to_wstring(GetCurrentProcessId()) + L"." +
           std::to_wstring(counter.fetch_add(1, std::memory_order_relaxed)) + L".tmp";
}

// Reads from `offset` up to `end`, or until `room` bytes are in.
bool ReadRange(HANDLE handle, uint64_t offset, uint64_t end, char* buffer, uint32_t room, uint32_t& length,
               int32_t& error) {
    length = 0;
    while (offset < end && length < room) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(handle, buffer + length, room - length, &got, &at)) {
            const DWORD code = GetLastError();
            if (code == ERROR_HANDLE_EOF) break;
            error = static_cast<int32_t>(code);
            return false;
        }
        if (got == 0) break;
        length += got;
        offset += got;
    }
    return true;
}

}  // namespace

bool CreateScratchFile(FileHandle& file, int32_t& error) {
    std::wstring directory;
    if (!TemporaryDirectory(directory, error)) return false;
    OwnerOnlyAttributes security;
    // Nameless in effect: no one else may open it while it exists, and it
    // goes with the last handle.
    constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE | DELETE;
    for (uint32_t attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::wstring name = ScratchName(directory);
        const HANDLE handle =
            CreateFileW(name.c_str(), kAccess, 0, security.get(), CREATE_NEW,
                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            file = FileHandle{NativeValue(handle)};
            return true;
        }
        error = static_cast<int32_t>(GetLastError());
        if (error != ERROR_FILE_EXISTS) return false;
    }
    return false;
}

bool ReadFileTail(FileHandle file, char* buffer, uint32_t room, uint32_t& length, int32_t& error) {
    const HANDLE handle = HandleOf(file.native);
    LARGE_INTEGER size;
    LARGE_INTEGER position;
    const LARGE_INTEGER kNoMove{};
    if (!GetFileSizeEx(handle, &size) || !SetFilePointerEx(handle, kNoMove, &position, FILE_CURRENT)) {
        error = static_cast<int32_t>(GetLastError());
        return false;
    }
    const uint64_t end = static_cast<uint64_t>(size.QuadPart);
    const bool read = ReadRange(handle, end > room ? end - room : 0, end, buffer, room, length, error);
    // A read at an offset moves the position that the child writing into the
    // file shares: put it back, so that its next write goes where it would.
    SetFilePointerEx(handle, position, nullptr, FILE_BEGIN);
    return read;
}

void CloseScratchFile(FileHandle& file) {
    if (!file.valid()) return;
    CloseHandle(HandleOf(file.native));
    file = kNoFile;
}

}  // namespace kestrel::platform
