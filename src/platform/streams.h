// C streams with the runtime library's code of a failure, for the files the
// program writes and reads through stdio: temporary logs (created private to
// the user), connection logs, the panic files. Every call gives the failure
// code in `error`; a failure the library left without a code reads as
// platform::kErrorInputOutput.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace kestrel::platform {

// Creates `path` exclusively (it must not exist) with owner-only permissions
// and returns a read-write binary stream that child processes do not inherit.
// Null on failure (kErrorExists when the name is taken).
std::FILE* CreatePrivateFile(const char* path, int& error);

// Opens an existing private file again for appending and reading, not
// inherited by child processes.
std::FILE* ReopenPrivateFile(const char* path, int& error);

// fopen with a standard mode ("rb", "wb", ...).
std::FILE* OpenStream(const char* path, const char* mode, int& error);

bool WriteStream(std::FILE* stream, const void* bytes, size_t count, int& error);
// Reads up to `room` bytes; `count` below `room` only at the end of the file.
bool ReadStream(std::FILE* stream, void* bytes, size_t room, size_t& count, int& error);
bool FlushStream(std::FILE* stream, int& error);
bool StreamPosition(std::FILE* stream, int64_t& position, int& error);
bool SeekStream(std::FILE* stream, int64_t position, int& error);
// Flushes, then cuts the file to `size` bytes; the position is left alone.
bool TruncateStream(std::FILE* stream, int64_t size, int& error);
// Closes the stream in any case; false when its last data could not be written.
bool CloseStream(std::FILE* stream, int& error);

}  // namespace kestrel::platform
