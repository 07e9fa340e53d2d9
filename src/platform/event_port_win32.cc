// The event port on an I/O completion port. Sockets and pipes issue
// overlapped requests, whose result Finish collects after the port reported
// the object's key. Regular files (every positional file, and a disk file
// used as a stream) are read and written synchronously and never go pending;
// so is a pipe end opened without overlapped requests, which is polled.
//
// A report carries only a key, and a key's report may be stale: the request
// it belonged to completed at once, was cancelled, or belonged to a closed
// handle whose key was since reused. Finish therefore trusts only the slot's
// own state: whether a request is out, and whether the system has completed
// it (the status word of its OVERLAPPED).
#include "platform/event_port.h"

#include <winsock2.h>
#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <new>

#include "platform/exit_gate.h"
#include "platform/system_errors.h"
#include "platform/wide_text_win32.h"

namespace kestrel::platform {

namespace {

constexpr ULONG kMaximumReports = 64;
// Posted by Wake; keys stay below 65536.
constexpr ULONG_PTR kWakeupKey = ~ULONG_PTR{0};

enum class Mode : uint8_t {
    kOverlapped,  // joined to the port; requests may go pending
    kFile,        // a regular file: every request completes or fails at once
    kPolledPipe,  // a pipe end opened without overlapped requests, which no port takes
};

struct Win32Slot {
    OVERLAPPED overlapped;  // of the request that is out, or of the last one
    HANDLE event;           // set at the end of each overlapped request: lets a cancelled one be waited for
    Mode mode;
    bool inFlight;          // a request was issued and its result is not collected yet
};
static_assert(sizeof(Win32Slot) <= kPortSlotBytes);
static_assert(alignof(Win32Slot) <= alignof(PortSlot));

Win32Slot& SlotOf(PortSlot& slot) { return *std::launder(reinterpret_cast<Win32Slot*>(slot.state)); }

SOCKET SocketOf(intptr_t handle) { return static_cast<SOCKET>(handle); }

bool IsEndOfStream(DWORD code) {
    switch (code) {
    case ERROR_HANDLE_EOF:
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:  // the pipe is being closed by its reader
    case ERROR_NETNAME_DELETED:
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN:
        return true;
    default:
        return false;
    }
}

bool IsShortage(PortTarget target, DWORD code) {
    if (target == PortTarget::kSocket) return code == WSAENOBUFS || code == WSAEWOULDBLOCK;
    return code == ERROR_NOT_ENOUGH_MEMORY || code == ERROR_INVALID_USER_BUFFER;
}

PortStatus Failure(PortTarget target, DWORD code, int32_t& error) {
    if (IsEndOfStream(code)) return PortStatus::kEndOfStream;
    if (IsShortage(target, code)) return PortStatus::kTryLater;
    error = static_cast<int32_t>(code);
    return PortStatus::kFailed;
}

// What a finished transfer of `count` bytes means.
PortStatus Moved(const PortTransfer& transfer, DWORD count, uint32_t& moved, int32_t& error) {
    if (count > 0) {
        moved = count;
        return PortStatus::kMoved;
    }
    if (transfer.write) {
        // A full pipe takes nothing from a write that does not wait.
        if (transfer.target == PortTarget::kStream) return PortStatus::kTryLater;
        // A write that moves nothing without an error cannot make progress either.
        error = kErrorInputOutput;
        return PortStatus::kFailed;
    }
    // A pipe writer may write nothing: only a socket or a file ends that way.
    return transfer.target == PortTarget::kStream ? PortStatus::kTryLater : PortStatus::kEndOfStream;
}

// A regular file: at the transfer's offset for a positional file, at the
// file pointer otherwise. The handle is synchronous; should it have been
// opened for overlapped requests all the same, the wait happens here.
PortStatus TransferAtOnce(const PortTransfer& transfer, uint32_t& moved, int32_t& error) {
    const HANDLE handle = HandleOf(transfer.handle);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(transfer.offset);
    at.OffsetHigh = static_cast<DWORD>(transfer.offset >> 32);
    OVERLAPPED* position = transfer.target == PortTarget::kPositionalFile ? &at : nullptr;
    DWORD count = 0;
    BOOL done = transfer.write ? WriteFile(handle, transfer.data, transfer.length, &count, position)
                               : ReadFile(handle, transfer.data, transfer.length, &count, position);
    if (!done && position != nullptr && GetLastError() == ERROR_IO_PENDING)
        done = GetOverlappedResult(handle, position, &count, TRUE);
    if (!done) return Failure(transfer.target, GetLastError(), error);
    if (count == 0 && !transfer.write) return PortStatus::kEndOfStream;
    return Moved(transfer, count, moved, error);
}

// The outcome of the slot's request once the system completed it.
BOOL Outcome(Win32Slot& s, const PortTransfer& transfer, DWORD& count, BOOL wait) {
    if (transfer.target == PortTarget::kSocket) {
        DWORD flags = 0;
        return WSAGetOverlappedResult(SocketOf(transfer.handle), &s.overlapped, &count, wait, &flags);
    }
    return GetOverlappedResult(HandleOf(transfer.handle), &s.overlapped, &count, wait);
}

DWORD LastError(PortTarget target) {
    return target == PortTarget::kSocket ? static_cast<DWORD>(WSAGetLastError()) : GetLastError();
}

// Cancels the request that is out and waits until the system has let go of
// its OVERLAPPED. Whatever it moved is lost; its report, if one comes, is
// stale.
void Abandon(Win32Slot& s, PortTarget target, intptr_t handle) {
    if (!s.inFlight) return;
    CancelIoEx(HandleOf(handle), &s.overlapped);
    DWORD count = 0;
    Outcome(s, PortTransfer{target, false, handle, nullptr, 0, 0}, count, TRUE);
    s.inFlight = false;
}

// Issues the overlapped request; true when it completed at once or went
// pending, false with the code when it failed at once.
bool Issue(Win32Slot& s, const PortTransfer& transfer, DWORD& code) {
    const HANDLE event = s.event;
    std::memset(&s.overlapped, 0, sizeof s.overlapped);
    s.overlapped.hEvent = event;
    if (transfer.target == PortTarget::kSocket) {
        WSABUF buffer{transfer.length, static_cast<char*>(transfer.data)};
        DWORD flags = 0;
        const int result = transfer.write
                               ? WSASend(SocketOf(transfer.handle), &buffer, 1, nullptr, 0, &s.overlapped, nullptr)
                               : WSARecv(SocketOf(transfer.handle), &buffer, 1, nullptr, &flags, &s.overlapped, nullptr);
        code = result == 0 ? 0 : static_cast<DWORD>(WSAGetLastError());
    } else {
        const HANDLE handle = HandleOf(transfer.handle);
        const BOOL done = transfer.write ? WriteFile(handle, transfer.data, transfer.length, nullptr, &s.overlapped)
                                         : ReadFile(handle, transfer.data, transfer.length, nullptr, &s.overlapped);
        code = done ? 0 : GetLastError();
    }
    return code == 0 || code == ERROR_IO_PENDING;  // WSA_IO_PENDING is the same code
}

// Takes the result of the slot's completed request.
PortStatus Collect(Win32Slot& s, const PortTransfer& transfer, uint32_t& moved, int32_t& error) {
    DWORD count = 0;
    const BOOL done = Outcome(s, transfer, count, FALSE);
    const DWORD code = done ? 0 : LastError(transfer.target);
    if (!done && code == ERROR_IO_INCOMPLETE) return PortStatus::kPending;  // WSA_IO_INCOMPLETE alike
    s.inFlight = false;
    if (!done) return Failure(transfer.target, code, error);
    return Moved(transfer, count, moved, error);
}

// A pipe end without overlapped requests: a read takes only what is there,
// and with nothing there the loop tries again later. A write may wait
// until the reader has made room.
PortStatus TransferPolled(const PortTransfer& transfer, uint32_t& moved, int32_t& error) {
    const HANDLE handle = HandleOf(transfer.handle);
    DWORD length = transfer.length;
    if (!transfer.write) {
        DWORD available = 0;
        if (!PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr))
            return Failure(transfer.target, GetLastError(), error);
        if (available == 0) return PortStatus::kTryLater;
        if (available < length) length = available;
    }
    DWORD count = 0;
    const BOOL done = transfer.write ? WriteFile(handle, transfer.data, length, &count, nullptr)
                                     : ReadFile(handle, transfer.data, length, &count, nullptr);
    if (!done) return Failure(transfer.target, GetLastError(), error);
    return Moved(transfer, count, moved, error);
}

// Whether the handle was opened without overlapped requests: a completion
// port refuses such a handle (Wine does), or would let its requests block.
bool IsSynchronous(HANDLE handle) {
    using QueryFile = LONG(WINAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
    static const auto query = reinterpret_cast<QueryFile>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    constexpr int kFileModeInformation = 16;
    constexpr ULONG kSynchronousModes = 0x10 | 0x20;  // FILE_SYNCHRONOUS_IO_ALERT, FILE_SYNCHRONOUS_IO_NONALERT
    IO_STATUS_BLOCK status{};
    ULONG mode = 0;
    return query != nullptr && query(handle, &status, &mode, sizeof mode, kFileModeInformation) == 0 &&
           (mode & kSynchronousModes) != 0;
}

Mode ModeOf(PortTarget target, intptr_t handle) {
    if (target == PortTarget::kPositionalFile) return Mode::kFile;
    if (target == PortTarget::kSocket) return Mode::kOverlapped;
    const DWORD type = GetFileType(HandleOf(handle));
    if (type == FILE_TYPE_DISK || type == FILE_TYPE_CHAR) return Mode::kFile;
    return IsSynchronous(HandleOf(handle)) ? Mode::kPolledPipe : Mode::kOverlapped;
}

}  // namespace

bool EventPort::Open(int32_t& error) {
    Close();
    // One thread takes the reports: a concurrency of more would change nothing.
    const HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (port == nullptr) {
        error = static_cast<int32_t>(GetLastError());
        return false;
    }
    port_ = FileHandle{NativeValue(port)};
    return true;
}

void EventPort::Close() { CloseFile(port_); }

bool EventPort::Attach(PortSlot& slot, PortTarget target, intptr_t handle, uint32_t key, int32_t& error) {
    std::memset(slot.state, 0, sizeof slot.state);
    Win32Slot& s = *new (slot.state) Win32Slot{};
    // Without this check "none" would read as the current process.
    if (handle == -1 && target != PortTarget::kPositionalFile) {
        error = kErrorBadHandle;
        return false;
    }
    s.mode = ModeOf(target, handle);
    if (s.mode == Mode::kPolledPipe) {
        // Writes take what fits and return, as reads are peeked first: a
        // full pipe must not stop the loop that also drains it.
        DWORD pipeMode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
        SetNamedPipeHandleState(HandleOf(handle), &pipeMode, nullptr, nullptr);
    }
    if (s.mode != Mode::kOverlapped) return true;
    s.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (s.event == nullptr) {
        error = static_cast<int32_t>(GetLastError());
        return false;
    }
    if (CreateIoCompletionPort(HandleOf(handle), HandleOf(port_.native), key, 0) == nullptr) {
        error = static_cast<int32_t>(GetLastError());
        CloseHandle(s.event);
        s.event = nullptr;
        return false;
    }
    // A request that completes at once is taken at once; without this its
    // report would still come and only cost a wake-up. Failing is harmless.
    SetFileCompletionNotificationModes(HandleOf(handle),
                                       FILE_SKIP_COMPLETION_PORT_ON_SUCCESS | FILE_SKIP_SET_EVENT_ON_HANDLE);
    return true;
}

void EventPort::Detach(PortSlot& slot, PortTarget target, intptr_t handle) {
    Win32Slot& s = SlotOf(slot);
    // The OVERLAPPED lives in the object, which may go away after this.
    Abandon(s, target, handle);
    if (s.event != nullptr) CloseHandle(s.event);
    s.event = nullptr;
}

PortStatus EventPort::Start(PortSlot& slot, const PortTransfer& transfer, uint32_t& moved, int32_t& error) {
    moved = 0;
    Win32Slot& s = SlotOf(slot);
    if (s.mode == Mode::kFile) return TransferAtOnce(transfer, moved, error);
    if (s.mode == Mode::kPolledPipe) return TransferPolled(transfer, moved, error);
    // A restart: the request still out must not write into the buffer later.
    Abandon(s, transfer.target, transfer.handle);
    DWORD code = 0;
    if (!Issue(s, transfer, code)) return Failure(transfer.target, code, error);
    s.inFlight = true;
    if (code == ERROR_IO_PENDING) return PortStatus::kPending;
    // Completed at once: the result is there now; a report that may still
    // follow (where the port could not be told to skip it) is stale.
    return Collect(s, transfer, moved, error);
}

PortStatus EventPort::Finish(PortSlot& slot, const PortTransfer& transfer, uint32_t& moved, int32_t& error) {
    moved = 0;
    Win32Slot& s = SlotOf(slot);
    // No request out: the report was stale; the loop issues the next request.
    if (s.mode != Mode::kOverlapped || !s.inFlight) return PortStatus::kMoved;
    // A stale report that arrived while a newer request is still going on.
    if (!HasOverlappedIoCompleted(&s.overlapped)) return PortStatus::kPending;
    return Collect(s, transfer, moved, error);
}

bool EventPort::Wait(uint32_t* keys, int capacity, int timeoutMilliseconds, PortReports& reports, int32_t& error) {
    OVERLAPPED_ENTRY entries[kMaximumReports];
    ULONG room = capacity < 1 ? 1 : static_cast<ULONG>(capacity);
    if (room > kMaximumReports) room = kMaximumReports;
    reports = PortReports{};
    ULONG count = 0;
    const DWORD limit = timeoutMilliseconds < 0 ? INFINITE : static_cast<DWORD>(timeoutMilliseconds);
    const BOOL waited = GetQueuedCompletionStatusEx(HandleOf(port_.native), entries, room, &count, limit, FALSE);
    const DWORD waitError = waited ? 0 : GetLastError();
    StopAtExitGate();
    if (!waited) {
        const DWORD code = waitError;
        if (code == WAIT_TIMEOUT) return true;
        error = static_cast<int32_t>(code);
        return false;
    }
    reports.full = count == room;
    for (ULONG i = 0; i < count; ++i) {
        if (entries[i].lpCompletionKey == kWakeupKey) {
            reports.woken = true;
            continue;
        }
        keys[reports.keys++] = static_cast<uint32_t>(entries[i].lpCompletionKey);
    }
    return true;
}

void EventPort::Wake() { PostQueuedCompletionStatus(HandleOf(port_.native), 0, kWakeupKey, nullptr); }

void EventPort::Interrupt(PortTarget target, intptr_t handle) {
    if (handle == -1 || target == PortTarget::kPositionalFile) return;
    // A shut-down socket refuses later requests; the cancellation ends the
    // pending ones, which a shutdown alone need not do.
    if (target == PortTarget::kSocket) shutdown(SocketOf(handle), SD_BOTH);
    CancelIoEx(HandleOf(handle), nullptr);
}

}  // namespace kestrel::platform
