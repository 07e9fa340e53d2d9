// panic.map.bin: what the crashing process leaves for its relaunch. A run of
// records, each three UTF-16LE strings ended by a 16-bit NUL: description,
// kind, path. No header.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kestrel {

class TempFileTable;

inline constexpr const char* kPanicMapName = "panic.map.bin";
inline constexpr const char* kPanicMessageName = "panic.message.txt";
inline constexpr const char* kPanicArchiveName = "panic.bin";

// Writes the first record (text, "message", empty) and one record per
// temporary log in use, in table order. A table that turns out inconsistent
// ends the map with the corruption record (empty, "message", empty).
// Returns false when the file cannot be created or written.
bool WritePanicMap(std::FILE* map, const char* text, const TempFileTable& table);

// One record of the map as the relaunch collects it: texts cut to 255 units.
struct PanicRecord {
    PanicRecord* next;  // the list is most recent first
    std::u16string description;
    std::u16string path;
};

// Splits the map into records, writes each as a line of panic.message.txt and
// pushes it on `collected`. Prints its messages on failure; stops at the
// first one.
void ConvertPanicMap(std::FILE* map, std::FILE* messageFile, PanicRecord*& collected);

void FreePanicRecords(PanicRecord*& collected);

// Appends `count` UTF-16 units as little-endian bytes, the form of every
// text in the panic files.
void AppendUnitsLe(std::string& bytes, const char16_t* units, size_t count);

}  // namespace kestrel
