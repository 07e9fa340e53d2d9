// The paxgz tar layer: ustar header blocks, pax records, and the checks that
// both the writer and the reader apply. Pure functions over byte buffers.
#pragma once

#include <cstdint>

namespace kestrel {

inline constexpr uint32_t kTarBlockSize = 512;

// Field offsets and lengths of a ustar header block.
namespace ustar {
inline constexpr uint32_t kName = 0, kNameLength = 100;
inline constexpr uint32_t kMode = 100;
inline constexpr uint32_t kUid = 108;
inline constexpr uint32_t kGid = 116;
inline constexpr uint32_t kSize = 124;
inline constexpr uint32_t kMtime = 136;
inline constexpr uint32_t kChksum = 148;
inline constexpr uint32_t kTypeflag = 156;
inline constexpr uint32_t kLinkname = 157, kLinknameLength = 100;
inline constexpr uint32_t kMagic = 257;
inline constexpr uint32_t kVersion = 263;
inline constexpr uint32_t kUname = 265, kUnameLength = 32;
inline constexpr uint32_t kGname = 297, kGnameLength = 32;
inline constexpr uint32_t kPrefix = 345, kPrefixLength = 155;
}  // namespace ustar

enum class PaxgzEntryKind : uint8_t {
    kRegularFile,
    kHardLink,
    kSymbolicLink,
    kCharacterDevice,
    kBlockDevice,
    kDirectory,
    kFifo,
};

char TypeflagOf(PaxgzEntryKind kind);

// Writes `value` as `digits` octal digits followed by NUL; false (field untouched)
// when it needs more digits.
bool WriteOctalField(uint8_t* field, uint32_t digits, uint64_t value);

// Sum of the block's bytes with the chksum field counted as spaces, masked to 17 bits.
uint32_t UstarChecksum(const uint8_t* block);

// Stores the checksum as 6 octal digits, NUL and a space.
void WriteChecksum(uint8_t* block);

// A pax extended ('x') or global ('g') header block announcing `recordBytes`
// bytes of records. `name` is NUL-terminated and shorter than 100 bytes.
// False when the size does not fit 11 octal digits.
bool BuildPaxHeaderBlock(uint8_t* block, const char* name, char typeflag, uint64_t recordBytes);

// Length of the record "<length> <keyword>=<value>\n", whose length counts its own digits.
uint64_t PaxRecordLength(uint64_t keywordLength, uint64_t valueLength);

// Writes one record of `length` bytes (from PaxRecordLength) into `out`.
// The value is given in up to three pieces so that path=dir/sep/name needs no copy.
struct ByteRun {
    const uint8_t* bytes;
    uint64_t length;
};
void WritePaxRecord(uint8_t* out, uint64_t length, const char* keyword, const ByteRun* pieces,
                    uint32_t pieceCount);

// Decimal digits of `value` into `out` (room for 20), returns the count.
uint32_t WriteDecimal(uint8_t* out, uint64_t value);

// A time as pax writes it: seconds, and ".fraction" with trailing zeros removed
// when the nanoseconds are not zero. `out` needs 30 bytes.
uint32_t WritePaxTime(uint8_t* out, uint64_t seconds, uint32_t nanoseconds);

// True when the name must travel in a path record rather than in name/prefix.
bool NeedsPathRecord(const uint8_t* directory, uint32_t directoryLength, const uint8_t* name,
                     uint32_t nameLength);

// Reader-side checks.

// The magic "ustar\0" and a checksum field that matches the block.
bool IsValidUstarHeader(const uint8_t* block);

bool IsZeroBlock(const uint8_t* block);

// Octal digits of a numeric field of `fieldLength` bytes, at most `maxDigits`,
// ended by NUL or space (or by the field's end). False on any other byte.
bool ParseOctalField(const uint8_t* field, uint32_t fieldLength, uint32_t maxDigits, uint64_t& value);

}  // namespace kestrel
