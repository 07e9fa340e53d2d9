#include "platform/files.h"

#include <windows.h>
#include <winternl.h>

#include <string>

#include "platform/clock.h"
#include "platform/wide_text_win32.h"

namespace kestrel::platform {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Enough to look a directory up, list it and open names beneath it.
constexpr DWORD kDirectoryAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// ERROR_STOPPED_ON_SYMLINK, which mingw's headers lack: a link where a
// directory or file of our own was to be.
constexpr DWORD kStoppedOnLink = 681;
// ERROR_DIRECTORY_NOT_SUPPORTED: a directory where a file is to be created.
constexpr DWORD kDirectoryNotSupported = 336;

// Opening a name relative to an open directory, as openat does, is only
// offered by the native interface; ntdll is in every process.
using CreateFileCall = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                        ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using StatusToErrorCall = ULONG(NTAPI*)(NTSTATUS);

struct NativeCalls {
    CreateFileCall createFile;
    StatusToErrorCall statusToError;
};

template <typename Call>
Call NativeCall(const char* name) {
    const FARPROC address = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name);
    // Through the generic function type, which any function pointer converts to.
    return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(address));
}

const NativeCalls& Native() {
    static const NativeCalls calls{NativeCall<CreateFileCall>("NtCreateFile"),
                                   NativeCall<StatusToErrorCall>("RtlNtStatusToDosError")};
    return calls;
}

bool Opened(HANDLE handle, FileHandle& file, int& error) {
    if (handle == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    file = FileHandle{NativeValue(handle)};
    return true;
}

// Seconds and nanoseconds since 1970; times before it read as 1970.
void SplitFileTime(const FILETIME& time, uint64_t& seconds, uint32_t& nanoseconds) {
    const uint64_t ticks = static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
    const uint64_t since = ticks > static_cast<uint64_t>(kUnixEpochTicks) ? ticks - kUnixEpochTicks : 0;
    seconds = since / kTicksPerSecond;
    nanoseconds = static_cast<uint32_t>(since % kTicksPerSecond) * 100;
}

bool ReadFacts(HANDLE handle, FileFacts& facts, int& error) {
    facts = FileFacts{};
    // A pipe or device has no size or times; like a FIFO it reads as empty.
    if (GetFileType(handle) != FILE_TYPE_DISK) return true;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    facts.directory = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.size = facts.directory ? 0 : static_cast<uint64_t>(information.nFileSizeHigh) << 32 | information.nFileSizeLow;
    SplitFileTime(information.ftLastWriteTime, facts.modifiedSeconds, facts.modifiedNanoseconds);
    SplitFileTime(information.ftLastAccessTime, facts.accessedSeconds, facts.accessedNanoseconds);
    return true;
}

// One name to create or open beneath a directory: never a path of several
// names, a parent, or a stream of a file ("name:stream").
bool ChildName(const char* name, std::wstring& wide, int& error) {
    DWORD code = 0;
    if (!WidenText(name, wide, code)) {
        error = static_cast<int>(code);
        return false;
    }
    if (wide.empty() || wide == L"." || wide == L".." || wide.find_first_of(L"\\/:") != std::wstring::npos) {
        error = ERROR_INVALID_NAME;
        return false;
    }
    if (wide.size() * sizeof(wchar_t) > 0xFFFF) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    return true;
}

// Opens `name` relative to `parent` without following a link in its place:
// a reparse point is opened itself, for the caller to inspect.
bool OpenBeneath(FileHandle parent, const std::wstring& name, ACCESS_MASK access, ULONG disposition, ULONG options,
                 HANDLE& opened, int& error) {
    if (!parent.valid()) {
        error = ERROR_INVALID_HANDLE;
        return false;
    }
    const NativeCalls& native = Native();
    if (native.createFile == nullptr || native.statusToError == nullptr) {
        error = ERROR_PROC_NOT_FOUND;
        return false;
    }
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, HandleOf(parent.native), nullptr);
    IO_STATUS_BLOCK status{};
    const NTSTATUS result =
        native.createFile(&opened, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, kShareAll,
                          disposition, options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (result >= 0) return true;
    const ULONG code = native.statusToError(result);
    // A name that is taken reads as CreateFileW reports it for CREATE_NEW.
    error = static_cast<int>(code == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : code);
    return false;
}

struct EntryKind {
    DWORD attributes;
    bool link;  // a symbolic link or junction: a name that stands for another
};

bool ReadEntryKind(HANDLE handle, EntryKind& kind, int& error) {
    FILE_ATTRIBUTE_TAG_INFO information{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &information, sizeof information)) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    kind.attributes = information.FileAttributes;
    // Other reparse points (placeholders of cloud files, deduplicated files)
    // are the entry itself, not a way elsewhere.
    kind.link = (information.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                IsReparseTagNameSurrogate(information.ReparseTag);
    return true;
}

// The attributes that can be set, less read-only; 0 would mean "unchanged".
DWORD SettableWithoutReadOnly(DWORD attributes) {
    constexpr DWORD kSettable = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE;
    const DWORD kept = attributes & kSettable;
    return kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
}

bool MarkForDeletion(HANDLE handle, int& error) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition)) return true;
    error = static_cast<int>(GetLastError());
    return false;
}

// Removes the non-directory entry `name` (a file or a link of any kind) so
// that a new file can take its name; a name that is not there is fine.
bool RemoveEntry(FileHandle parent, const std::wstring& name, int& error) {
    HANDLE entry = INVALID_HANDLE_VALUE;
    if (!OpenBeneath(parent, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN, 0, entry, error))
        return error == ERROR_FILE_NOT_FOUND;
    FileHandle opened{NativeValue(entry)};
    EntryKind kind{};
    bool removed = ReadEntryKind(entry, kind, error);
    if (removed && (kind.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !kind.link) {
        error = kDirectoryNotSupported;
        removed = false;
    }
    if (removed && !MarkForDeletion(entry, error)) {
        // A read-only file can be removed on POSIX systems: clear the flag and try again.
        FILE_BASIC_INFO basic{};  // times of 0 are left as they are
        basic.FileAttributes = SettableWithoutReadOnly(kind.attributes);
        removed = error == ERROR_ACCESS_DENIED && (kind.attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
                  SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic) &&
                  MarkForDeletion(entry, error);
    }
    // The name goes when the last handle to the entry is closed.
    CloseFile(opened);
    return removed;
}

}  // namespace

bool OpenForReading(const char* path, FileHandle& file, FileFacts& facts, int& error) {
    file = kNoFile;
    std::wstring wide;
    DWORD code = 0;
    if (!WidenPath(path, wide, code)) {
        error = static_cast<int>(code);
        return false;
    }
    FileHandle opened;
    // Backup semantics: a directory opens too, and reports itself as one.
    if (!Opened(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                opened, error))
        return false;
    if (!ReadFacts(HandleOf(opened.native), facts, error)) {
        CloseFile(opened);
        return false;
    }
    if (facts.directory || facts.size == 0) {
        CloseFile(opened);
    } else {
        file = opened;
    }
    return true;
}

bool CreateForWriting(const char* path, FileHandle& file, int& error) {
    std::wstring wide;
    DWORD code = 0;
    if (!WidenPath(path, wide, code)) {
        error = static_cast<int>(code);
        return false;
    }
    return Opened(CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr),
                  file, error);
}

// The handles of this unit are synchronous: the offset in the OVERLAPPED
// makes the call positional, and it returns when the transfer is done.
bool ReadAt(FileHandle file, void* buffer, uint32_t length, uint64_t offset, uint32_t& transferred, int& error) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD moved = 0;
    if (ReadFile(HandleOf(file.native), buffer, length, &moved, &at)) {
        transferred = moved;
        return true;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_HANDLE_EOF) {
        transferred = 0;
        return true;
    }
    error = static_cast<int>(code);
    return false;
}

bool WriteAt(FileHandle file, const void* buffer, uint32_t length, uint64_t offset, uint32_t& transferred,
             int& error) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD moved = 0;
    if (!WriteFile(HandleOf(file.native), buffer, length, &moved, &at)) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    transferred = moved;
    return true;
}

bool RemoveFile(const char* path, int& error) {
    std::wstring wide;
    DWORD code = 0;
    if (WidenPath(path, wide, code) && DeleteFileW(wide.c_str())) return true;
    error = static_cast<int>(code != 0 ? code : GetLastError());
    return false;
}

bool OpenDirectory(const char* path, FileHandle& directory, int& error) {
    std::wstring wide;
    DWORD code = 0;
    if (!WidenPath(path, wide, code)) {
        error = static_cast<int>(code);
        return false;
    }
    FileHandle opened;
    if (!Opened(CreateFileW(wide.c_str(), kDirectoryAccess, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                opened, error))
        return false;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(HandleOf(opened.native), &information)) {
        error = static_cast<int>(GetLastError());
        CloseFile(opened);
        return false;
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = ERROR_DIRECTORY;
        CloseFile(opened);
        return false;
    }
    directory = opened;
    return true;
}

bool OpenChildDirectory(FileHandle parent, const char* name, bool create, FileHandle& directory, int& error) {
    std::wstring wide;
    if (!ChildName(name, wide, error)) return false;
    // Opening and creating are one step, so a directory made by another
    // writer in between is simply opened.
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!OpenBeneath(parent, wide, kDirectoryAccess, create ? FILE_OPEN_IF : FILE_OPEN, FILE_DIRECTORY_FILE, handle,
                     error))
        return false;
    FileHandle opened{NativeValue(handle)};
    EntryKind kind{};
    if (!ReadEntryKind(handle, kind, error)) {
        CloseFile(opened);
        return false;
    }
    if (kind.link) {
        error = kStoppedOnLink;
        CloseFile(opened);
        return false;
    }
    directory = opened;
    return true;
}

bool CreateChildFile(FileHandle parent, const char* name, FileHandle& file, int& error, uint32_t permissions) {
    // Windows files have no permission bits to give.
    static_cast<void>(permissions);
    std::wstring wide;
    if (!ChildName(name, wide, error)) return false;
    // Removing first means a link planted at this name is replaced, never
    // written through; creating exclusively means nothing else took its place.
    if (!RemoveEntry(parent, wide, error)) return false;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!OpenBeneath(parent, wide, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_CREATE, FILE_NON_DIRECTORY_FILE, handle,
                     error))
        return false;
    file = FileHandle{NativeValue(handle)};
    return true;
}

}  // namespace kestrel::platform
