// FormatText: the one text builder. It never allocates; callers size first
// (destination null, size 0), then write into an exact buffer.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

namespace kestrel {

// Writes the first min(length, room) bytes of its text at `out` (no terminator)
// and returns the full length of the text whatever the room.
using ArgumentFormatter = uint32_t (*)(const void* argument, char* out, uint32_t room);

struct FormatArg {
    ArgumentFormatter formatter;
    const void* argument;
};

// A byte run that may stop early at a NUL byte.
struct CountedString {
    const char* bytes;
    uint32_t length;
};

// Returns the size the complete text needs including its NUL. Writes at most
// `size` bytes; a cut text is always terminated when size > 0.
uint32_t FormatText(char* destination, uint32_t size, const char* format,
                    std::initializer_list<FormatArg> args = {});

uint32_t FormatU32(const void* value, char* out, uint32_t room);        // const uint32_t*
uint32_t FormatU32Octal(const void* value, char* out, uint32_t room);   // const uint32_t*
uint32_t FormatU32Hex(const void* value, char* out, uint32_t room);     // const uint32_t*
uint32_t FormatU16(const void* value, char* out, uint32_t room);        // const uint16_t*
uint32_t FormatByteHex(const void* value, char* out, uint32_t room);    // const uint8_t*
uint32_t FormatU64(const void* value, char* out, uint32_t room);        // const uint64_t*
uint32_t FormatU64Octal(const void* value, char* out, uint32_t room);   // const uint64_t*
uint32_t FormatU64Hex(const void* value, char* out, uint32_t room);     // const uint64_t*
uint32_t FormatI32(const void* value, char* out, uint32_t room);        // const int32_t*
uint32_t FormatString(const void* text, char* out, uint32_t room);      // const char*, NUL-terminated
uint32_t FormatCountedString(const void* text, char* out, uint32_t room);  // const CountedString*
// const char16_t*, NUL-terminated UTF-16; an unpaired surrogate shows as U+FFFD.
uint32_t FormatWideString(const void* text, char* out, uint32_t room);

// Two-pass formatting into a string: for callers outside the hot paths
// (tests, one-off texts) that already own heap memory.
std::string FormatToString(const char* format, std::initializer_list<FormatArg> args = {});

}  // namespace kestrel
