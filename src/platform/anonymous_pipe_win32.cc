// The pipe is a named pipe with a single instance, since only a named pipe
// can be read through the event port: the read end is overlapped, the write
// end synchronous. The name is local to the session and unique in the
// process (its id and a counter); the first instance flag and the refusal of
// remote clients keep anyone else from holding either end.
#include "platform/anonymous_pipe.h"

#include <windows.h>

#include <atomic>
#include <cwchar>

#include "platform/wide_text_win32.h"

namespace kestrel::platform {

namespace {

constexpr DWORD kBufferBytes = 4096;
// Up to this size a record written by one WriteFile reaches the reader whole.
constexpr uint32_t kAtomicRecordBytes = 512;
static_assert(kAtomicRecordBytes <= kBufferBytes);

std::atomic<unsigned> gPipesMade{0};

void NameNextPipe(wchar_t (&name)[256]) {
    std::swprintf(name, 256, L"\\\\.\\pipe\\LOCAL\\18D0F45A-3E4C-4BD8-80CD-2D1C0BE352D3.%lu.%u",
                  static_cast<unsigned long>(GetCurrentProcessId()), gPipesMade.fetch_add(1));
}

// Waits for the connection the read end started: made by the writer when it
// was opened, otherwise cancelled. False with the code when not connected.
bool FinishConnection(HANDLE readEnd, OVERLAPPED& connection, bool opened, DWORD& error) {
    if (!opened) CancelIoEx(readEnd, &connection);
    DWORD unused = 0;
    const bool connected =
        GetOverlappedResult(readEnd, &connection, &unused, TRUE) || GetLastError() == ERROR_PIPE_CONNECTED;
    if (opened && !connected) error = GetLastError();
    return opened && connected;
}

}  // namespace

bool CreateAnonymousPipe(FileHandle& readEnd, FileHandle& writeEnd, int32_t& error) {
    wchar_t name[256];
    NameNextPipe(name);
    const HANDLE reader = CreateNamedPipeW(
        name, PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, kBufferBytes, kBufferBytes, 0,
        nullptr);
    if (reader == INVALID_HANDLE_VALUE) {
        error = static_cast<int32_t>(GetLastError());
        return false;
    }
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        error = static_cast<int32_t>(GetLastError());
        CloseHandle(reader);
        return false;
    }
    OVERLAPPED connection{};
    connection.hEvent = event;
    DWORD code = ConnectNamedPipe(reader, &connection) ? ERROR_SUCCESS : GetLastError();
    const bool pending = code == ERROR_IO_PENDING;
    HANDLE writer = INVALID_HANDLE_VALUE;
    if (pending || code == ERROR_SUCCESS || code == ERROR_PIPE_CONNECTED) {
        // Neither end is inherited: a child holding the writer would keep the
        // reader from seeing the end of the pipe.
        writer = CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        code = writer == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    }
    bool connected = writer != INVALID_HANDLE_VALUE;
    if (pending) connected = FinishConnection(reader, connection, connected, code);
    CloseHandle(event);
    if (!connected) {
        if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
        CloseHandle(reader);
        error = static_cast<int32_t>(code);
        return false;
    }
    readEnd.native = NativeValue(reader);
    writeEnd.native = NativeValue(writer);
    return true;
}

bool WritePipeRecord(FileHandle writeEnd, const void* record, uint32_t length, int32_t& error) {
    // The whole record in one call, so that it cannot mix with another
    // writer's; the rest of a longer one, should the system take less.
    const char* bytes = static_cast<const char*>(record);
    uint32_t written = 0;
    while (written < length) {
        DWORD count = 0;
        if (!WriteFile(HandleOf(writeEnd.native), bytes + written, length - written, &count, nullptr)) {
            error = static_cast<int32_t>(GetLastError());
            return false;
        }
        written += count;
    }
    return true;
}

}  // namespace kestrel::platform
