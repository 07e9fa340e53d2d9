#include "driver/panic_map.h"

#include <cstring>
#include <new>

#include "platform/streams.h"
#include "runtime/temp_files.h"
#include "runtime/utf16.h"

namespace kestrel {

namespace {

constexpr uint32_t kMapPieceBytes = 4096;
constexpr size_t kRecordTextUnits = 255;

// Appends UTF-16 units as little-endian bytes, then the 16-bit NUL.
void PutString(std::string& bytes, const char16_t* units, size_t count) {
    AppendUnitsLe(bytes, units, count);
    bytes.push_back('\0');
    bytes.push_back('\0');
}

void PutString(std::string& bytes, const char16_t* units) {
    PutString(bytes, units, std::char_traits<char16_t>::length(units));
}

void PutUtf8(std::string& bytes, const char* text) {
    char16_t units[kTempLogPathBytes];
    uint32_t count = 0;
    int ignored = 0;
    // A path that does not convert is cut where it stopped: the file is then
    // reported as unusable by the relaunch, which is all that can be done.
    Utf8ToUtf16(text, static_cast<uint32_t>(std::strlen(text)), units, kTempLogPathBytes, count, ignored);
    PutString(bytes, units, count);
}

bool TableLooksSound(const TempFileBlock* block, const TempFileBlock* previous) {
    if (block->previous != previous || block->count > kTempLogsPerBlock) return false;
    for (uint32_t i = 0; i < block->count; ++i)
        if (block->entries[i].flags > kTempLogFlagMask) return false;
    return true;
}

void PutRecords(std::string& bytes, const TempFileTable& table) {
    const TempFileBlock* previous = nullptr;
    for (const TempFileBlock* block = table.FirstBlock(); block != nullptr; block = block->next) {
        if (!TableLooksSound(block, previous)) {
            PutString(bytes, u"");
            PutString(bytes, u"message");
            PutString(bytes, u"");
            return;
        }
        for (uint32_t i = 0; i < block->count; ++i) {
            const TempLog& entry = block->entries[i];
            if ((entry.flags & kTempLogExists) == 0) continue;
            PutString(bytes, entry.description);
            PutString(bytes, entry.kind);
            PutUtf8(bytes, entry.path);
        }
        previous = block;
    }
}

// Writes one line of panic.message.txt in UTF-16LE.
bool WriteLine(std::FILE* file, const std::u16string& description, const std::u16string& kind,
               const std::u16string& path, int& error) {
    std::string bytes;
    std::u16string line;
    if (description.empty() && path.empty())
        line = u"Memory corruption truncated mapping\tmessage\t\n";
    else
        line = description + u"\t" + kind + u"\t" + path + u"\n";
    AppendUnitsLe(bytes, line.data(), line.size());
    return platform::WriteStream(file, bytes.data(), bytes.size(), error);
}

}  // namespace

bool WritePanicMap(std::FILE* map, const char* text, const TempFileTable& table) {
    std::string bytes;
    PutUtf8(bytes, text);
    PutString(bytes, u"message");
    PutString(bytes, u"");
    PutRecords(bytes, table);
    return std::fwrite(bytes.data(), 1, bytes.size(), map) == bytes.size() && std::fflush(map) == 0;
}

void ConvertPanicMap(std::FILE* map, std::FILE* messageFile, PanicRecord*& collected) {
    std::u16string strings[3];
    int filled = 0;  // strings of the current record completed so far
    bool firstRecord = true;
    bool haveLowByte = false;
    unsigned char lowByte = 0;
    unsigned char piece[kMapPieceBytes];
    for (;;) {
        size_t got = 0;
        int error = 0;
        if (!platform::ReadStream(map, piece, sizeof piece, got, error)) {
            std::fprintf(stderr, "Cannot read the panic file mapping, error %u\n", static_cast<unsigned>(error));
            return;
        }
        for (size_t i = 0; i < got; ++i) {
            // Units may straddle pieces, so bytes are paired across them.
            if (!haveLowByte) {
                lowByte = piece[i];
                haveLowByte = true;
                continue;
            }
            haveLowByte = false;
            const char16_t unit = static_cast<char16_t>(lowByte | piece[i] << 8);
            if (unit != 0) {
                strings[filled].push_back(unit);
                continue;
            }
            if (++filled < 3) continue;
            filled = 0;
            std::u16string& path = strings[2];
            if (firstRecord && path.empty()) path = u"panic.message.txt";
            firstRecord = false;
            if (!WriteLine(messageFile, strings[0], strings[1], path, error)) {
                std::fprintf(stderr, "Cannot write to the panic message file, error %u\n",
                             static_cast<unsigned>(error));
                return;
            }
            PanicRecord* record = new (std::nothrow) PanicRecord{collected, strings[0].substr(0, kRecordTextUnits),
                                                                 path.substr(0, kRecordTextUnits)};
            if (record == nullptr) {
                std::fputs("Cannot allocate a panic file mapping\n", stderr);
                return;
            }
            collected = record;
            for (std::u16string& text : strings) text.clear();
        }
        if (got < sizeof piece) return;
    }
}

void AppendUnitsLe(std::string& bytes, const char16_t* units, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        bytes.push_back(static_cast<char>(units[i] & 0xFF));
        bytes.push_back(static_cast<char>(units[i] >> 8));
    }
}

void FreePanicRecords(PanicRecord*& collected) {
    while (collected != nullptr) {
        PanicRecord* next = collected->next;
        delete collected;
        collected = next;
    }
}

}  // namespace kestrel
