#include "platform/streams.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <string>

#include "platform/owner_only_win32.h"
#include "platform/system_errors.h"
#include "platform/wide_text_win32.h"

namespace kestrel::platform {

namespace {

// The code of the stream call that just failed; errno was cleared before it.
bool Failed(int& error) {
    error = errno != 0 ? errno : kErrorInputOutput;
    return false;
}

// The runtime library opens its files inheritable; the program's streams
// are for itself alone.
void KeepFromChildren(std::FILE* stream) {
    const intptr_t handle = _get_osfhandle(_fileno(stream));
    if (handle != -1) SetHandleInformation(HandleOf(handle), HANDLE_FLAG_INHERIT, 0);
}

// The mode for _wfopen_s: binary unless the caller asked for text, since
// text mode would write "\r\n" for every "\n".
bool StreamMode(const char* mode, std::wstring& wide, int& error) {
    DWORD code = 0;
    if (!WidenText(mode, wide, code)) {
        error = static_cast<int>(code);
        return false;
    }
    if (wide.find_first_of(L"bt") == std::wstring::npos) wide += L'b';
    return true;
}

}  // namespace

std::FILE* CreatePrivateFile(const char* path, int& error) {
    std::wstring wide;
    DWORD code = 0;
    if (!WidenPath(path, wide, code)) {
        error = static_cast<int>(code);
        return nullptr;
    }
    OwnerOnlyAttributes security;
    // Shared for reading and writing: the build log reads a log through a
    // stream of its own while the writer's may still be open.
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      security.get(), CREATE_NEW, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // ERROR_FILE_EXISTS, that is kErrorExists, when the name is taken.
        error = static_cast<int>(GetLastError());
        return nullptr;
    }
    errno = 0;
    const int descriptor = _open_osfhandle(NativeValue(handle), _O_NOINHERIT);
    if (descriptor == -1) {
        Failed(error);
        CloseHandle(handle);
        DeleteFileW(wide.c_str());
        return nullptr;
    }
    std::FILE* stream = _fdopen(descriptor, "w+b");
    if (stream == nullptr) {
        Failed(error);
        _close(descriptor);
        DeleteFileW(wide.c_str());
        return nullptr;
    }
    return stream;
}

std::FILE* ReopenPrivateFile(const char* path, int& error) { return OpenStream(path, "a+b", error); }

std::FILE* OpenStream(const char* path, const char* mode, int& error) {
    std::wstring widePath;
    std::wstring wideMode;
    DWORD code = 0;
    if (!WidenPath(path, widePath, code)) {
        error = static_cast<int>(code);
        return nullptr;
    }
    if (!StreamMode(mode, wideMode, error)) return nullptr;
    std::FILE* stream = nullptr;
    errno = 0;
    const errno_t opened = _wfopen_s(&stream, widePath.c_str(), wideMode.c_str());
    if (stream == nullptr) {
        error = opened != 0 ? opened : errno != 0 ? errno : kErrorInputOutput;
        return nullptr;
    }
    KeepFromChildren(stream);
    return stream;
}

bool WriteStream(std::FILE* stream, const void* bytes, size_t count, int& error) {
    errno = 0;
    return std::fwrite(bytes, 1, count, stream) == count || Failed(error);
}

bool ReadStream(std::FILE* stream, void* bytes, size_t room, size_t& count, int& error) {
    errno = 0;
    count = std::fread(bytes, 1, room, stream);
    return count == room || !std::ferror(stream) || Failed(error);
}

bool FlushStream(std::FILE* stream, int& error) {
    errno = 0;
    return std::fflush(stream) == 0 || Failed(error);
}

// The 64-bit calls: long has 32 bits here.
bool StreamPosition(std::FILE* stream, int64_t& position, int& error) {
    errno = 0;
    const int64_t at = _ftelli64(stream);
    if (at < 0) return Failed(error);
    position = at;
    return true;
}

bool SeekStream(std::FILE* stream, int64_t position, int& error) {
    errno = 0;
    return _fseeki64(stream, position, SEEK_SET) == 0 || Failed(error);
}

bool TruncateStream(std::FILE* stream, int64_t size, int& error) {
    if (!FlushStream(stream, error)) return false;
    // _chsize_s puts the file position back where it was.
    errno = 0;
    const errno_t result = _chsize_s(_fileno(stream), size);
    if (result == 0) return true;
    error = result;
    return false;
}

bool CloseStream(std::FILE* stream, int& error) {
    errno = 0;
    return std::fclose(stream) == 0 || Failed(error);
}

}  // namespace kestrel::platform
