#include "archive/paxgz_format.h"

#include <cstring>

namespace kestrel {

char TypeflagOf(PaxgzEntryKind kind) {
    switch (kind) {
        case PaxgzEntryKind::kRegularFile: return '0';
        case PaxgzEntryKind::kHardLink: return '1';
        case PaxgzEntryKind::kSymbolicLink: return '2';
        case PaxgzEntryKind::kCharacterDevice: return '3';
        case PaxgzEntryKind::kBlockDevice: return '4';
        case PaxgzEntryKind::kDirectory: return '5';
        case PaxgzEntryKind::kFifo: return '6';
    }
    return '0';
}

bool WriteOctalField(uint8_t* field, uint32_t digits, uint64_t value) {
    if (digits < 22 && (value >> (3 * digits)) != 0) return false;
    for (uint32_t i = digits; i > 0; --i) {
        field[i - 1] = static_cast<uint8_t>('0' + (value & 7));
        value >>= 3;
    }
    field[digits] = 0;
    return true;
}

uint32_t UstarChecksum(const uint8_t* block) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < kTarBlockSize; ++i) {
        sum += (i >= ustar::kChksum && i < ustar::kChksum + 8) ? ' ' : block[i];
    }
    return sum & 0x1FFFF;
}

void WriteChecksum(uint8_t* block) {
    // 0x1FFFF always fits six octal digits.
    WriteOctalField(block + ustar::kChksum, 6, UstarChecksum(block));
    block[ustar::kChksum + 7] = ' ';
}

bool BuildPaxHeaderBlock(uint8_t* block, const char* name, char typeflag, uint64_t recordBytes) {
    std::memset(block, 0, kTarBlockSize);
    if (!WriteOctalField(block + ustar::kSize, 11, recordBytes)) return false;
    std::memcpy(block + ustar::kName, name, std::strlen(name));
    std::memcpy(block + ustar::kMode, "0000444", 7);
    std::memcpy(block + ustar::kUid, "7777777", 7);
    std::memcpy(block + ustar::kGid, "7777777", 7);
    std::memcpy(block + ustar::kMtime, "00000000000", 11);
    block[ustar::kTypeflag] = static_cast<uint8_t>(typeflag);
    std::memcpy(block + ustar::kMagic, "ustar", 6);
    std::memcpy(block + ustar::kVersion, "00", 2);
    WriteChecksum(block);
    return true;
}

namespace {

uint32_t DecimalDigits(uint64_t value) {
    uint32_t digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
}

}  // namespace

uint64_t PaxRecordLength(uint64_t keywordLength, uint64_t valueLength) {
    const uint64_t content = keywordLength + valueLength + 3;  // space, '=', newline
    const uint32_t digits = DecimalDigits(content);
    uint64_t length = content + digits;
    if (DecimalDigits(length) > digits) ++length;
    return length;
}

uint32_t WriteDecimal(uint8_t* out, uint64_t value) {
    uint8_t reversed[20];
    uint32_t count = 0;
    do {
        reversed[count++] = static_cast<uint8_t>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (uint32_t i = 0; i < count; ++i) out[i] = reversed[count - 1 - i];
    return count;
}

void WritePaxRecord(uint8_t* out, uint64_t length, const char* keyword, const ByteRun* pieces,
                    uint32_t pieceCount) {
    uint8_t* cursor = out + WriteDecimal(out, length);
    *cursor++ = ' ';
    const size_t keywordLength = std::strlen(keyword);
    std::memcpy(cursor, keyword, keywordLength);
    cursor += keywordLength;
    *cursor++ = '=';
    for (uint32_t i = 0; i < pieceCount; ++i) {
        if (pieces[i].length == 0) continue;
        std::memcpy(cursor, pieces[i].bytes, pieces[i].length);
        cursor += pieces[i].length;
    }
    *cursor = '\n';
}

uint32_t WritePaxTime(uint8_t* out, uint64_t seconds, uint32_t nanoseconds) {
    uint32_t length = WriteDecimal(out, seconds);
    if (nanoseconds == 0) return length;
    out[length++] = '.';
    uint8_t fraction[9];
    uint32_t value = nanoseconds;
    for (int i = 8; i >= 0; --i) {
        fraction[i] = static_cast<uint8_t>('0' + value % 10);
        value /= 10;
    }
    uint32_t kept = 9;
    while (kept > 1 && fraction[kept - 1] == '0') --kept;
    std::memcpy(out + length, fraction, kept);
    return length + kept;
}

bool NeedsPathRecord(const uint8_t* directory, uint32_t directoryLength, const uint8_t* name,
                     uint32_t nameLength) {
    if (nameLength > ustar::kNameLength || directoryLength > ustar::kPrefixLength) return true;
    for (uint32_t i = 0; i < nameLength; ++i) {
        if (name[i] < 0x20 || name[i] > 0x7F) return true;
    }
    for (uint32_t i = 0; i < directoryLength; ++i) {
        if (directory[i] == 0x00 || directory[i] > 0x7F) return true;
    }
    return false;
}

bool ParseOctalField(const uint8_t* field, uint32_t fieldLength, uint32_t maxDigits, uint64_t& value) {
    uint64_t result = 0;
    uint32_t i = 0;
    while (i < fieldLength && i < maxDigits && field[i] >= '0' && field[i] <= '7') {
        result = (result << 3) | static_cast<uint64_t>(field[i] - '0');
        ++i;
    }
    if (i < fieldLength && field[i] != 0 && field[i] != ' ') return false;
    value = result;
    return true;
}

bool IsValidUstarHeader(const uint8_t* block) {
    if (std::memcmp(block + ustar::kMagic, "ustar", 6) != 0) return false;
    uint64_t stored = 0;
    if (!ParseOctalField(block + ustar::kChksum, 8, 8, stored)) return false;
    return stored == UstarChecksum(block);
}

bool IsZeroBlock(const uint8_t* block) {
    for (uint32_t i = 0; i < kTarBlockSize; ++i) {
        if (block[i] != 0) return false;
    }
    return true;
}

}  // namespace kestrel
