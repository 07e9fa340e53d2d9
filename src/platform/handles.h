// The operating system's objects as the rest of the program sees them: opaque
// values that only src/platform/ looks inside. On POSIX `native` is a file
// descriptor or a process id; on Win32 it is the HANDLE or SOCKET value. Both
// systems use -1 for "none" (INVALID_HANDLE_VALUE, INVALID_SOCKET).
#pragma once

#include <cstdint>

namespace kestrel::platform {

// An open file, directory or pipe end.
struct FileHandle {
    intptr_t native = -1;
    constexpr bool valid() const { return native != -1; }
    friend constexpr bool operator==(FileHandle, FileHandle) = default;
};

// A socket.
struct SocketHandle {
    intptr_t native = -1;
    constexpr bool valid() const { return native != -1; }
    friend constexpr bool operator==(SocketHandle, SocketHandle) = default;
};

// A child process that has not been collected yet.
struct ProcessHandle {
    intptr_t native = -1;
    constexpr bool valid() const { return native != -1; }
    friend constexpr bool operator==(ProcessHandle, ProcessHandle) = default;
};

inline constexpr FileHandle kNoFile{};
inline constexpr SocketHandle kNoSocket{};
inline constexpr ProcessHandle kNoProcess{};

// The one way to close each kind: closes a valid handle and leaves "none"
// behind, so that a second call, or a call on none, does nothing.
void CloseFile(FileHandle& file);
void CloseSocket(SocketHandle& socket);

}  // namespace kestrel::platform
