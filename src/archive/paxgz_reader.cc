#include "archive/paxgz_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/files.h"
#include "platform/system_errors.h"
#include "runtime/error_codes.h"

namespace kestrel {

namespace {

constexpr const char* kKindTexts[] = {
    "parsing paxgz headers failed", "decompression failed",       "file write failed",
    "archive read failed",          "file create failed",         "file machine create failed",
    "archive request failed",       "archive machine create failed", "file request failed",
    "invalid archive state",        "file time set failed",       "unexpected end of file",
};

constexpr const char* kParseDetailTexts[] = {
    "corrupt ustar header read",
    "corrupt pax global header read",
    "corrupt pax extended header read",
    "corrupt pax extended header contents read",
    "corrupt trailer read",
    "unknown ustar record type",
    "header data could not be allocated",
    "encoding name is too long",
    "separator in header too long",
    "unknown encoding",
};

constexpr const char* kBufferManagementText = "archive reader buffer management error";

constexpr uint32_t kMaxEncodingName = 255;
constexpr uint32_t kMaxSeparator = 3;
constexpr uint32_t kPageRounding = 4096;

constexpr uint64_t RoundUpToBlock(uint64_t bytes) {
    return (bytes + kTarBlockSize - 1) / kTarBlockSize * kTarBlockSize;
}

bool IsDigit(uint8_t byte) { return byte >= '0' && byte <= '9'; }

bool IsLink(PaxgzEntryKind kind) { return kind == PaxgzEntryKind::kHardLink || kind == PaxgzEntryKind::kSymbolicLink; }

// Length of a NUL-terminated field (to its first zero 16-bit unit in UTF-16).
uint32_t FieldLength(const uint8_t* field, uint32_t maxBytes, bool utf16) {
    if (!utf16) {
        const void* nul = std::memchr(field, 0, maxBytes);
        return nul == nullptr ? maxBytes : static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - field);
    }
    for (uint32_t i = 0; i + 1 < maxBytes; i += 2) {
        if (field[i] == 0 && field[i + 1] == 0) return i;
    }
    return maxBytes & ~1u;
}

bool KeywordIs(const uint8_t* keyword, uint32_t length, const char* expected) {
    return std::strlen(expected) == length && std::memcmp(keyword, expected, length) == 0;
}

// Decimal digits ended by the value's end, NUL or a space.
bool ParseDecimal(const uint8_t* value, uint32_t length, uint64_t limit, uint64_t& result) {
    uint64_t number = 0;
    uint32_t i = 0;
    while (i < length && IsDigit(value[i])) {
        const uint64_t digit = value[i] - '0';
        if (number > (limit - digit) / 10) return false;
        number = number * 10 + digit;
        ++i;
    }
    if (i == 0) return false;
    if (i < length && value[i] != 0 && value[i] != ' ') return false;
    result = number;
    return true;
}

// Seconds, optionally "." and a fraction of which nine digits are read.
bool ParsePaxTime(const uint8_t* value, uint32_t length, uint64_t& seconds, uint32_t& nanoseconds) {
    uint64_t whole = 0;
    uint32_t i = 0;
    while (i < length && IsDigit(value[i])) {
        const uint64_t digit = value[i] - '0';
        if (whole > (UINT64_MAX - digit) / 10) return false;
        whole = whole * 10 + digit;
        ++i;
    }
    if (i == 0) return false;
    uint32_t fraction = 0;
    if (i < length) {
        if (value[i] != '.') return false;
        ++i;
        uint32_t digits = 0;
        for (; i < length; ++i, ++digits) {
            if (!IsDigit(value[i])) return false;
            if (digits < 9) fraction = fraction * 10 + static_cast<uint32_t>(value[i] - '0');
        }
        for (; digits < 9; ++digits) fraction *= 10;
    }
    seconds = whole;
    nanoseconds = fraction;
    return true;
}

// "UTF-16", "utf_16le", ...: six or eight bytes starting with UTF, - or _, 16.
bool NamesUtf16(const uint8_t* name, uint32_t length) {
    if (length != 6 && length != 8) return false;
    auto upper = [](uint8_t byte) { return byte >= 'a' && byte <= 'z' ? static_cast<uint8_t>(byte - 32) : byte; };
    return upper(name[0]) == 'U' && upper(name[1]) == 'T' && upper(name[2]) == 'F' &&
           (name[3] == '-' || name[3] == '_') && name[4] == '1' && name[5] == '6';
}

}  // namespace

PaxgzReader::PaxgzReader() : slots_(slotMemory_, kInflateLayout) {}

PaxgzReader::~PaxgzReader() { Close(); }

const char* PaxgzReader::KindDescription(uint32_t kind) {
    if (kind < sizeof(kKindTexts) / sizeof(kKindTexts[0])) return kKindTexts[kind];
    return "unknown paxgz read error";
}

const char* PaxgzReader::Describe(uint32_t index) const {
    if (index == 0) return KindDescription(errorKind_);
    if (index != 1) return nullptr;
    if (errorKind_ == static_cast<uint32_t>(PaxgzReaderError::kHeaders)) {
        constexpr uint32_t kHeaderDetails = sizeof(kParseDetailTexts) / sizeof(kParseDetailTexts[0]);
        if (errorDetail_ < kHeaderDetails) return kParseDetailTexts[errorDetail_];
        const uint32_t first = static_cast<uint32_t>(PaxgzParseDetail::kPathAbsolute);
        const uint32_t last = static_cast<uint32_t>(PaxgzParseDetail::kPathEmpty);
        if (errorDetail_ >= first && errorDetail_ <= last) {
            return UnsafePathText(static_cast<UnsafePath>(errorDetail_ - first + 1));
        }
        return "unknown failure";
    }
    return errorText_;
}

bool PaxgzReader::Fail(PaxgzReaderError kind, int32_t code, uint32_t detail, const char* text) {
    if (phase_ == Phase::kFailed) return false;
    phase_ = Phase::kFailed;
    errorKind_ = static_cast<uint32_t>(kind);
    errorDetail_ = detail;
    errorCode_ = code;
    errorText_ = text;
    return false;
}

bool PaxgzReader::FailParse(PaxgzParseDetail detail, int32_t code) {
    return Fail(PaxgzReaderError::kHeaders, code, static_cast<uint32_t>(detail));
}

bool PaxgzReader::Start(const PaxgzReaderConfig& config) {
    if (phase_ != Phase::kIdle) return Fail(PaxgzReaderError::kInvalidState, kErrorInvalidValue);
    config_ = config;
    if (config.input == nullptr || config.inputSize == 0 || config.output == nullptr ||
        config.outputSize < 2 * kTarBlockSize || config.create == nullptr || config.needInput == nullptr ||
        config.finished == nullptr) {
        return Fail(PaxgzReaderError::kInvalidState, kErrorInvalidValue);
    }
    slots_.Attach(stream_);
    stream_.next_in = config_.input;
    stream_.avail_in = 0;
    const int result = inflateInit2(&stream_, 31);
    if (result != Z_OK) return Fail(PaxgzReaderError::kDecompression, result, 0, stream_.msg);
    streamReady_ = true;
    phase_ = Phase::kHeader;
    return true;
}

bool PaxgzReader::Process(uint32_t count, bool last) {
    if (phase_ == Phase::kFailed) return false;
    if (phase_ == Phase::kIdle) return Fail(PaxgzReaderError::kInvalidState, kErrorInvalidValue);
    if (count > 0) {
        // New input only replaces a consumed buffer.
        if (stream_.avail_in > 0 || count > config_.inputSize) return Fail(PaxgzReaderError::kInvalidState, kErrorInvalidValue);
        stream_.next_in = config_.input;
        stream_.avail_in = count;
    }
    if (last) lastInput_ = true;
    if (phase_ == Phase::kEnd) return true;
    if (running_) {
        // From inside needInput: the running loop picks it up.
        if (count > 0 || last) inputArrived_ = true;
        return true;
    }
    return Run();
}

bool PaxgzReader::Run() {
    if (running_) return true;
    running_ = true;
    bool ok = true;
    for (;;) {
        if (phase_ == Phase::kFailed) {
            ok = false;
            break;
        }
        if (writePending_ || phase_ == Phase::kEnd) break;
        if (!ParseAvailable()) {
            ok = false;
            break;
        }
        if (writePending_ || phase_ == Phase::kEnd || phase_ == Phase::kFailed) continue;
        // Every whole block is used: keep the partial one and inflate more.
        if (parsePos_ == outEnd_) {
            parsePos_ = outEnd_ = 0;
        } else if (parsePos_ > 0) {
            std::memmove(config_.output, config_.output + parsePos_, outEnd_ - parsePos_);
            outEnd_ -= parsePos_;
            parsePos_ = 0;
        }
        if (streamEnded_ && phase_ != Phase::kGzipEnd) {
            ok = Fail(PaxgzReaderError::kUnexpectedEnd, 0);
            break;
        }
        if (stream_.avail_in == 0) {
            if (lastInput_) {
                ok = Fail(PaxgzReaderError::kUnexpectedEnd, 0);
                break;
            }
            inputArrived_ = false;
            config_.needInput(config_.context);
            if (!inputArrived_) break;
            continue;
        }
        if (!Inflate()) {
            ok = false;
            break;
        }
    }
    running_ = false;
    if (ok && finishedPending_) {
        finishedPending_ = false;
        // Last action: the caller may close or free the reader in there.
        auto* finished = config_.finished;
        finished(config_.context, afterTrailer_ > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(afterTrailer_));
    }
    return ok;
}

bool PaxgzReader::Inflate() {
    const uint32_t roomBefore = config_.outputSize - outEnd_;
    const uint32_t inputBefore = stream_.avail_in;
    stream_.next_out = config_.output + outEnd_;
    stream_.avail_out = roomBefore;
    const int result = inflate(&stream_, Z_NO_FLUSH);
    outEnd_ += roomBefore - stream_.avail_out;
    const bool progressed = stream_.avail_out != roomBefore || stream_.avail_in != inputBefore;
    if (result == Z_STREAM_END) streamEnded_ = true;
    if (result == Z_OK || result == Z_STREAM_END || (result == Z_BUF_ERROR && progressed)) {
        bufferErrors_ = 0;
        return true;
    }
    if (result == Z_BUF_ERROR) {
        if (++bufferErrors_ < 3) return true;
        return Fail(PaxgzReaderError::kDecompression, 0, 0, kBufferManagementText);
    }
    return Fail(PaxgzReaderError::kDecompression, result, 0, stream_.msg);
}

bool PaxgzReader::ParseAvailable() {
    for (;;) {
        if (writePending_ || phase_ == Phase::kEnd) return true;
        if (phase_ == Phase::kFailed) return false;
        const uint32_t available = outEnd_ - parsePos_;
        const uint8_t* bytes = config_.output + parsePos_;
        switch (phase_) {
        case Phase::kHeader:
            if (available < kTarBlockSize) return true;
            if (!HandleHeaderBlock(bytes)) return false;
            break;
        case Phase::kSecondZero:
            if (available < kTarBlockSize) return true;
            if (!IsZeroBlock(bytes)) return FailParse(PaxgzParseDetail::kTrailer, kErrorInvalidValue);
            parsePos_ += kTarBlockSize;
            // The archive is whole only once zlib has checked the gzip trailer's CRC and length.
            phase_ = Phase::kGzipEnd;
            break;
        case Phase::kGzipEnd:
            afterTrailer_ += available;
            parsePos_ = outEnd_;
            if (!streamEnded_) return true;
            phase_ = Phase::kEnd;
            finishedPending_ = true;
            return true;
        case Phase::kHeaderData: {
            if (available == 0) return true;
            const uint32_t wanted = headerSize_ - headerFill_;
            const uint32_t count = available < wanted ? available : wanted;
            std::memcpy(headerData_ + headerFill_, bytes, count);
            headerFill_ += count;
            parsePos_ += count;
            if (headerFill_ == headerSize_) {
                if (!ParseRecords()) return false;
                phase_ = skipLeft_ > 0 ? Phase::kSkip : Phase::kHeader;
            }
            break;
        }
        case Phase::kFileData:
            if (available == 0) return true;
            if (!WriteFileData()) return false;
            break;
        case Phase::kSkip: {
            if (available == 0) return true;
            const uint32_t count = skipLeft_ < available ? static_cast<uint32_t>(skipLeft_) : available;
            parsePos_ += count;
            skipLeft_ -= count;
            if (skipLeft_ == 0) phase_ = Phase::kHeader;
            break;
        }
        default:
            return Fail(PaxgzReaderError::kInvalidState, kErrorInvalidValue);
        }
    }
}

// ---- headers ----

bool PaxgzReader::HandleHeaderBlock(const uint8_t* block) {
    if (!IsValidUstarHeader(block)) {
        // Every damaged header reads as a corrupt trailer.
        if (!IsZeroBlock(block)) return FailParse(PaxgzParseDetail::kTrailer, kErrorInvalidValue);
        parsePos_ += kTarBlockSize;
        phase_ = Phase::kSecondZero;
        return true;
    }
    const char typeflag = static_cast<char>(block[ustar::kTypeflag]);
    switch (typeflag) {
    case 'x':
    case 'g':
        return BeginHeaderData(block, typeflag);
    case '\0':
    case '0':
    case '7':
        return HandleEntry(block, PaxgzEntryKind::kRegularFile);
    case '1':
        return HandleEntry(block, PaxgzEntryKind::kHardLink);
    case '2':
        return HandleEntry(block, PaxgzEntryKind::kSymbolicLink);
    case '3':
        return HandleEntry(block, PaxgzEntryKind::kCharacterDevice);
    case '4':
        return HandleEntry(block, PaxgzEntryKind::kBlockDevice);
    case '5':
        return HandleEntry(block, PaxgzEntryKind::kDirectory);
    case '6':
        return HandleEntry(block, PaxgzEntryKind::kFifo);
    default:
        return FailParse(PaxgzParseDetail::kRecordType, kErrorInvalidValue);
    }
}

bool PaxgzReader::BeginHeaderData(const uint8_t* block, char typeflag) {
    const PaxgzParseDetail corrupt =
        typeflag == 'g' ? PaxgzParseDetail::kGlobalHeader : PaxgzParseDetail::kExtendedHeader;
    uint64_t size = 0;
    const uint32_t limit = std::min(config_.headerRecordLimit, kPaxgzHeaderRecordsMaximum);
    if (!ParseOctalField(block + ustar::kSize, 12, 12, size) || size > limit) {
        return FailParse(corrupt, kErrorInvalidValue);
    }
    parsePos_ += kTarBlockSize;
    headerType_ = typeflag;
    headerSize_ = static_cast<uint32_t>(size);
    headerFill_ = 0;
    skipLeft_ = RoundUpToBlock(size) - size;
    if (size <= kTarBlockSize) {
        headerData_ = smallHeader_;
    } else {
        // Kept for later large headers while it is big enough.
        if (largeHeader_.capacity < size) {
            const uint32_t rounded = static_cast<uint32_t>((size + kPageRounding - 1) / kPageRounding * kPageRounding);
            if (!AllocateArchiveBuffer(rounded, largeHeader_)) {
                return FailParse(PaxgzParseDetail::kHeaderAllocation, kErrorArchiveNoMemory);
            }
        }
        headerData_ = largeHeader_.data;
    }
    if (size > 0) {
        phase_ = Phase::kHeaderData;
        return true;
    }
    phase_ = Phase::kHeader;
    return true;
}

bool PaxgzReader::ParseRecords() {
    const uint8_t* cursor = headerData_;
    uint32_t left = headerSize_;
    while (left > 0) {
        uint64_t length = 0;
        uint32_t i = 0;
        while (i < left && IsDigit(cursor[i])) {
            length = length * 10 + static_cast<uint64_t>(cursor[i] - '0');
            if (length > left) return FailParse(PaxgzParseDetail::kExtendedContents, kErrorInvalidValue);
            ++i;
        }
        if (i == 0 || length == 0 || i >= length || cursor[i] != ' ') {
            return FailParse(PaxgzParseDetail::kExtendedContents, kErrorInvalidValue);
        }
        // keyword=value, then the newline that ends the record (not checked).
        const uint8_t* keyword = cursor + i + 1;
        const uint8_t* end = cursor + length - 1;
        if (keyword > end) return FailParse(PaxgzParseDetail::kExtendedContents, kErrorInvalidValue);
        const uint8_t* equals = static_cast<const uint8_t*>(std::memchr(keyword, '=', end - keyword));
        if (equals == nullptr) return FailParse(PaxgzParseDetail::kExtendedContents, kErrorInvalidValue);
        const uint32_t keywordLength = static_cast<uint32_t>(equals - keyword);
        const uint8_t* value = equals + 1;
        const uint32_t valueLength = static_cast<uint32_t>(end - value);
        const bool applied = headerType_ == 'g' ? ApplyGlobalRecord(keyword, keywordLength, value, valueLength)
                                                : ApplyExtendedRecord(keyword, keywordLength, value, valueLength);
        if (!applied) return false;
        cursor += length;
        left -= static_cast<uint32_t>(length);
    }
    return true;
}

bool PaxgzReader::ApplyGlobalRecord(const uint8_t* keyword, uint32_t keywordLength, const uint8_t* value,
                                    uint32_t length) {
    if (KeywordIs(keyword, keywordLength, "hdrcharset")) {
        if (length > kMaxEncodingName) return FailParse(PaxgzParseDetail::kEncodingTooLong, kErrorInvalidValue);
        utf16_ = NamesUtf16(value, length);
        if (config_.acceptEncoding != nullptr && !config_.acceptEncoding(config_.context, value, length)) {
            return FailParse(PaxgzParseDetail::kUnknownEncoding, kErrorInvalidValue);
        }
        return true;
    }
    if (KeywordIs(keyword, keywordLength, "x-path-separator")) {
        if (length > kMaxSeparator) return FailParse(PaxgzParseDetail::kSeparatorTooLong, kErrorInvalidValue);
        std::memcpy(separator_, value, length);
        separatorLength_ = length;
    }
    return true;
}

bool PaxgzReader::StoreBytes(ArchiveBuffer& buffer, uint32_t& length, const uint8_t* bytes, uint32_t count) {
    if (count > buffer.capacity) {
        const uint32_t rounded = count < 256 ? 256 : count;
        if (!AllocateArchiveBuffer(rounded, buffer)) return false;
    }
    if (count > 0) std::memcpy(buffer.data, bytes, count);
    length = count;
    return true;
}

bool PaxgzReader::ApplyExtendedRecord(const uint8_t* keyword, uint32_t keywordLength, const uint8_t* value,
                                      uint32_t length) {
    const auto corrupt = [this] { return FailParse(PaxgzParseDetail::kExtendedContents, kErrorInvalidValue); };
    uint64_t number = 0;
    if (KeywordIs(keyword, keywordLength, "mtime")) {
        if (!ParsePaxTime(value, length, mtimeSeconds_, mtimeNanoseconds_)) return corrupt();
        flags_ |= kPaxMtime;
    } else if (KeywordIs(keyword, keywordLength, "atime")) {
        if (!ParsePaxTime(value, length, atimeSeconds_, atimeNanoseconds_)) return corrupt();
        flags_ |= kPaxAtime;
    } else if (KeywordIs(keyword, keywordLength, "uid")) {
        if (!ParseDecimal(value, length, UINT32_MAX, number)) return corrupt();
        uid_ = static_cast<uint32_t>(number);
        flags_ |= kPaxUid;
    } else if (KeywordIs(keyword, keywordLength, "gid")) {
        if (!ParseDecimal(value, length, UINT32_MAX, number)) return corrupt();
        gid_ = static_cast<uint32_t>(number);
        flags_ |= kPaxGid;
    } else if (KeywordIs(keyword, keywordLength, "size")) {
        if (!ParseDecimal(value, length, UINT64_MAX, size_)) return corrupt();
        flags_ |= kPaxSize;
    } else if (KeywordIs(keyword, keywordLength, "path")) {
        if (length == 0) return corrupt();
        if (!StoreBytes(pathText_, pathLength_, value, length)) {
            return FailParse(PaxgzParseDetail::kExtendedContents, kErrorArchiveNoMemory);
        }
        pathSplit_ = length;
        flags_ |= kPaxPath;
    } else if (KeywordIs(keyword, keywordLength, "linkpath")) {
        if (length == 0) return corrupt();
        if (!StoreBytes(linkText_, linkLength_, value, length)) {
            return FailParse(PaxgzParseDetail::kExtendedContents, kErrorArchiveNoMemory);
        }
        flags_ |= kPaxLinkpath;
    } else if (KeywordIs(keyword, keywordLength, "uname")) {
        if (!StoreBytes(unameText_, unameLength_, value, length)) {
            return FailParse(PaxgzParseDetail::kExtendedContents, kErrorArchiveNoMemory);
        }
        flags_ |= kPaxUname;
    } else if (KeywordIs(keyword, keywordLength, "gname")) {
        if (!StoreBytes(gnameText_, gnameLength_, value, length)) {
            return FailParse(PaxgzParseDetail::kExtendedContents, kErrorArchiveNoMemory);
        }
        flags_ |= kPaxGname;
    }
    return true;
}

bool PaxgzReader::SetPathText(const uint8_t* first, uint32_t firstLength, const uint8_t* second,
                              uint32_t secondLength) {
    const uint32_t total = firstLength + secondLength;
    if (total > pathText_.capacity && !AllocateArchiveBuffer(total < 512 ? 512 : total, pathText_)) return false;
    if (firstLength > 0) std::memcpy(pathText_.data, first, firstLength);
    if (secondLength > 0) std::memcpy(pathText_.data + firstLength, second, secondLength);
    pathLength_ = total;
    pathSplit_ = firstLength;
    return true;
}

bool PaxgzReader::BuildUstarPath(const uint8_t* block) {
    const uint32_t prefixLength = FieldLength(block + ustar::kPrefix, utf16_ ? 154 : 155, utf16_);
    const uint32_t nameLength = FieldLength(block + ustar::kName, ustar::kNameLength, utf16_);
    if (!SetPathText(block + ustar::kPrefix, prefixLength, block + ustar::kName, nameLength)) {
        return FailParse(PaxgzParseDetail::kUstarHeader, kErrorArchiveNoMemory);
    }
    return true;
}

bool PaxgzReader::HandleEntry(const uint8_t* block, PaxgzEntryKind kind) {
    uint32_t leading = 0;
    uint32_t mode = 0;
    if (!SplitEntryPath(block, leading) || !ReadUstarFields(block, kind, mode) || !CheckPath(kind, leading)) {
        return false;
    }
    const PaxgzReadEntry entry = DescribeEntry(kind, mode);
    parsePos_ += kTarBlockSize;
    flags_ = 0;
    return CreateEntry(entry);
}

// The path from its extended record or from the ustar fields, as components,
// prefix first; the separator between prefix and name is implied.
bool PaxgzReader::SplitEntryPath(const uint8_t* block, uint32_t& leadingSeparators) {
    const bool fromRecord = (flags_ & kPaxPath) != 0;
    if (!fromRecord && !BuildUstarPath(block)) return false;
    components_.Clear();
    uint32_t nameLeading = 0;
    const uint8_t* text = pathText_.data;
    const bool split =
        SplitPathText(text, pathSplit_, separator_, separatorLength_, utf16_, components_, leadingSeparators) &&
        SplitPathText(text + pathSplit_, pathLength_ - pathSplit_, separator_, separatorLength_, utf16_,
                      components_, nameLeading);
    if (!split) {
        return FailParse(fromRecord ? PaxgzParseDetail::kExtendedContents : PaxgzParseDetail::kUstarHeader,
                         kErrorArchiveNoMemory);
    }
    if (pathSplit_ == 0) leadingSeparators = nameLeading;
    return true;
}

// The numbers, the link target and the owner names, where no extended record
// supplied them.
bool PaxgzReader::ReadUstarFields(const uint8_t* block, PaxgzEntryKind kind, uint32_t& mode) {
    const auto corrupt = [this] { return FailParse(PaxgzParseDetail::kUstarHeader, kErrorInvalidValue); };
    const auto noMemory = [this] { return FailParse(PaxgzParseDetail::kUstarHeader, kErrorArchiveNoMemory); };
    uint64_t number = 0;
    if (!ParseOctalField(block + ustar::kMode, 8, 7, number)) return corrupt();
    mode = static_cast<uint32_t>(number);
    if (!(flags_ & kPaxUid)) {
        if (!ParseOctalField(block + ustar::kUid, 8, 7, number)) return corrupt();
        uid_ = static_cast<uint32_t>(number);
    }
    if (!(flags_ & kPaxGid)) {
        if (!ParseOctalField(block + ustar::kGid, 8, 7, number)) return corrupt();
        gid_ = static_cast<uint32_t>(number);
    }
    if (!(flags_ & kPaxSize) && !ParseOctalField(block + ustar::kSize, 12, 11, size_)) return corrupt();
    if (!(flags_ & kPaxMtime)) {
        if (!ParseOctalField(block + ustar::kMtime, 12, 11, mtimeSeconds_)) return corrupt();
        mtimeNanoseconds_ = 0;
    }
    if (!(flags_ & kPaxAtime)) {
        atimeSeconds_ = 0;
        atimeNanoseconds_ = 0;
    }
    if (IsLink(kind) && !(flags_ & kPaxLinkpath)) {
        const uint32_t length = FieldLength(block + ustar::kLinkname, ustar::kLinknameLength, utf16_);
        if (length == 0) return corrupt();
        if (!StoreBytes(linkText_, linkLength_, block + ustar::kLinkname, length)) return noMemory();
    }
    if (!(flags_ & kPaxUname) &&
        !StoreBytes(unameText_, unameLength_, block + ustar::kUname,
                    FieldLength(block + ustar::kUname, ustar::kUnameLength, false))) {
        return noMemory();
    }
    if (!(flags_ & kPaxGname) &&
        !StoreBytes(gnameText_, gnameLength_, block + ustar::kGname,
                    FieldLength(block + ustar::kGname, ustar::kGnameLength, false))) {
        return noMemory();
    }
    return true;
}

bool PaxgzReader::CheckPath(PaxgzEntryKind kind, uint32_t leadingSeparators) {
    // The directory entry for the root itself ("./") is allowed, nothing else empty.
    const UnsafePath problem =
        CheckEntryPath(components_, leadingSeparators, utf16_, kind == PaxgzEntryKind::kDirectory);
    if (problem == UnsafePath::kNone) return true;
    const uint32_t detail =
        static_cast<uint32_t>(PaxgzParseDetail::kPathAbsolute) + static_cast<uint32_t>(problem) - 1;
    return Fail(PaxgzReaderError::kHeaders, kErrorInvalidValue, detail);
}

PaxgzReadEntry PaxgzReader::DescribeEntry(PaxgzEntryKind kind, uint32_t mode) const {
    const bool isLink = IsLink(kind);
    PaxgzReadEntry entry{};
    entry.components = components_.Items();
    entry.componentCount = components_.Count();
    entry.utf16 = utf16_;
    entry.kind = kind;
    entry.size = size_;
    entry.mode = mode;
    entry.uid = uid_;
    entry.gid = gid_;
    entry.modifiedSeconds = mtimeSeconds_;
    entry.modifiedNanoseconds = mtimeNanoseconds_;
    entry.accessedSeconds = atimeSeconds_;
    entry.accessedNanoseconds = atimeNanoseconds_;
    entry.linkTarget = isLink ? linkText_.data : nullptr;
    entry.linkTargetLength = isLink ? linkLength_ : 0;
    entry.userName = unameText_.data;
    entry.userNameLength = unameLength_;
    entry.groupName = gnameText_.data;
    entry.groupNameLength = gnameLength_;
    entry.recordFlags = flags_;
    return entry;
}

// Has the caller make the entry, then gets ready for its data, if any.
bool PaxgzReader::CreateEntry(const PaxgzReadEntry& entry) {
    platform::FileHandle file;
    int32_t error = 0;
    if (!config_.create(config_.context, entry, file, error)) {
        platform::CloseFile(file);
        return Fail(PaxgzReaderError::kFileCreate, error);
    }
    const bool regular = entry.kind == PaxgzEntryKind::kRegularFile;
    if (!regular || size_ == 0) {
        platform::CloseFile(file);
        // Data blocks of an entry that has no file to take them are passed over.
        skipLeft_ = regular ? 0 : RoundUpToBlock(size_);
        phase_ = skipLeft_ > 0 ? Phase::kSkip : Phase::kHeader;
        return true;
    }
    if (!file.valid()) return Fail(PaxgzReaderError::kFileCreate, platform::kErrorBadHandle);
    fileIo_ = IoObject{};
    fileIo_.flags = kIoKindPositionalFile;
    fileIo_.handle = file;
    fileOffset_ = 0;
    writeLeft_ = size_;
    skipLeft_ = RoundUpToBlock(size_) - size_;
    if (config_.loop != nullptr) {
        fileIo_.owner = this;
        fileIo_.completionCallback = &PaxgzReader::OnWriteComplete;
        fileIo_.failureCallback = &PaxgzReader::OnWriteFailed;
        int32_t registerError = 0;
        if (!EventLoop::Register(config_.loop, &fileIo_, &registerError)) {
            return Fail(PaxgzReaderError::kFileMachine, registerError);
        }
    }
    phase_ = Phase::kFileData;
    return true;
}

// ---- file data ----

bool PaxgzReader::WriteFileData() {
    const uint32_t available = outEnd_ - parsePos_;
    const uint32_t count = writeLeft_ < available ? static_cast<uint32_t>(writeLeft_) : available;
    const uint8_t* data = config_.output + parsePos_;
    if (config_.loop != nullptr) {
        fileIo_.buffer = const_cast<uint8_t*>(data);
        fileIo_.length = count;
        fileIo_.fileOffsetBase = fileOffset_;
        fileIo_.operation = kIoWrite;
        writePending_ = true;
        int32_t error = 0;
        if (!EventLoop::Start(&fileIo_, &error)) {
            writePending_ = false;
            return Fail(PaxgzReaderError::kFileRequest, error);
        }
        return phase_ != Phase::kFailed;
    }
    uint32_t done = 0;
    while (done < count) {
        uint32_t written = 0;
        int error = 0;
        if (!platform::WriteAt(fileIo_.handle, data + done, count - done, fileOffset_ + done, written, error)) {
            return Fail(PaxgzReaderError::kFileWrite, error);
        }
        if (written == 0) return Fail(PaxgzReaderError::kFileWrite, platform::kErrorInputOutput);
        done += written;
    }
    parsePos_ += count;
    writeLeft_ -= count;
    fileOffset_ += count;
    if (config_.progress != nullptr) config_.progress(config_.context, count);
    if (writeLeft_ == 0) EndFile();
    return true;
}

void PaxgzReader::EndFile() {
    EventLoop::Discard(&fileIo_);
    phase_ = skipLeft_ > 0 ? Phase::kSkip : Phase::kHeader;
}

void PaxgzReader::OnWriteComplete(IoObject* object) {
    auto* self = static_cast<PaxgzReader*>(object->owner);
    self->writePending_ = false;
    const uint32_t count = object->position;
    if (count < object->length) {
        self->Fail(PaxgzReaderError::kFileWrite, platform::kErrorInputOutput);
    } else {
        self->parsePos_ += count;
        self->writeLeft_ -= count;
        self->fileOffset_ += count;
        if (self->config_.progress != nullptr) self->config_.progress(self->config_.context, count);
        if (self->writeLeft_ == 0) self->EndFile();
    }
    if (self->phase_ != Phase::kFailed && self->Run()) return;
    // Run may already have reported finished; a failure is reported here, last.
    if (self->config_.failed != nullptr) self->config_.failed(self->config_.context);
}

void PaxgzReader::OnWriteFailed(IoObject* object, int32_t error) {
    auto* self = static_cast<PaxgzReader*>(object->owner);
    self->writePending_ = false;
    self->Fail(PaxgzReaderError::kFileWrite, error);
    // Inside Start (from Run) the direct call reports it by its result.
    if (!self->running_ && self->config_.failed != nullptr) self->config_.failed(self->config_.context);
}

void PaxgzReader::Close() {
    EventLoop::Discard(&fileIo_);
    FreeArchiveBuffer(largeHeader_);
    FreeArchiveBuffer(pathText_);
    FreeArchiveBuffer(linkText_);
    FreeArchiveBuffer(unameText_);
    FreeArchiveBuffer(gnameText_);
    components_.Clear();
    if (streamReady_) {
        inflateEnd(&stream_);
        streamReady_ = false;
    }
    writePending_ = false;
}

}  // namespace kestrel
