#include "logs/build_log_text.h"

#include <cstdlib>
#include <cstring>

#include "logs/log_spool.h"
#include "runtime/utf16.h"
#include "runtime/utf8.h"

namespace kestrel {

uint32_t PutDecimal(uint64_t value, uint32_t width, char* out) {
    char digits[24];
    uint32_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count < width) digits[count++] = '0';
    for (uint32_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
    return count;
}

namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerMillisecond = 10'000;
constexpr int64_t kSecondsPerDay = 86'400;
// Days from 1601-01-01, where FILETIME counts from, to 1970-01-01.
constexpr int64_t kDaysFrom1601To1970 = 134'774;
constexpr uint8_t kReplacement[] = {0xEF, 0xBF, 0xBD};

uint32_t Emit(const char* text, uint32_t length, char* out, uint32_t room) {
    if (room > 0) std::memcpy(out, text, length < room ? length : room);
    return length;
}

// A fraction written with `digits` digits, trailing zeros removed but one kept.
uint32_t PutFraction(uint64_t fraction, uint32_t digits, char* out) {
    uint32_t length = PutDecimal(fraction, digits, out);
    while (length > 1 && out[length - 1] == '0') --length;
    return length;
}

struct CivilDate {
    int64_t year;
    uint32_t month;
    uint32_t day;
};

// The proleptic Gregorian date of a day count since 1970-01-01.
CivilDate DateFromDays(int64_t days) {
    const int64_t z = days + 719'468;
    const int64_t era = (z >= 0 ? z : z - 146'096) / 146'097;
    const int64_t dayOfEra = z - era * 146'097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    CivilDate date;
    date.day = static_cast<uint32_t>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    date.month = static_cast<uint32_t>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    date.year = yearOfEra + era * 400 + (date.month <= 2 ? 1 : 0);
    return date;
}

// Collects escaped output and hands it to the stream in large pieces.
class EscapeBuffer {
public:
    explicit EscapeBuffer(XmlWriter& writer) : writer_(writer) {}
    ~EscapeBuffer() { Flush(); }

    void Put(const void* bytes, uint32_t count) {
        if (used_ + count > sizeof data_) Flush();
        std::memcpy(data_ + used_, bytes, count);
        used_ += count;
    }

    void Flush() {
        if (used_ > 0) writer_.Raw(data_, used_);
        used_ = 0;
    }

private:
    XmlWriter& writer_;
    char data_[512];
    uint32_t used_ = 0;
};

void PutCharacter(EscapeBuffer& buffer, uint32_t code) {
    switch (code) {
    case '"': buffer.Put("&quot;", 6); return;
    case '&': buffer.Put("&amp;", 5); return;
    case '\'': buffer.Put("&apos;", 6); return;
    case '<': buffer.Put("&lt;", 4); return;
    case '>': buffer.Put("&gt;", 4); return;
    default: break;
    }
    if (!IsXmlCharacter(code)) {
        buffer.Put(kReplacement, 3);
        return;
    }
    uint8_t encoded[4];
    buffer.Put(encoded, EncodeUtf8(code, encoded));
}

void EscapeUtf8(EscapeBuffer& buffer, const uint8_t* text, uint32_t length) {
    for (uint32_t at = 0; at < length;) {
        uint32_t code = 0;
        uint32_t subpart = 1;
        const uint32_t taken = DecodeUtf8(text + at, length - at, code, &subpart);
        if (taken == 0) {
            buffer.Put(kReplacement, 3);
            at += subpart;
            continue;
        }
        PutCharacter(buffer, code);
        at += taken;
    }
}

// Strict decoding: an unpaired surrogate is one U+FFFD and the unit after
// it is read on its own, so a stray high surrogate cannot swallow a
// character.
void EscapeUtf16(EscapeBuffer& buffer, const uint8_t* text, uint32_t length) {
    const uint32_t units = length / 2;
    for (uint32_t at = 0; at < units;) {
        uint32_t code = 0;
        const uint32_t taken = DecodeUtf16Le(text + 2 * at, units - at, code);
        if (taken == 0) {
            buffer.Put(kReplacement, 3);
            ++at;
            continue;
        }
        PutCharacter(buffer, code);
        at += taken;
    }
    if (length % 2 != 0) buffer.Put(kReplacement, 3);
}

}  // namespace

XmlText Utf8Text(const char* text) {
    if (text == nullptr) return XmlText{};
    return XmlText{reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)), false};
}

bool IsXmlCharacter(uint32_t code) {
    if (code < 0x20) return code == 0x09 || code == 0x0A || code == 0x0D;
    if (code >= 0xD800 && code <= 0xDFFF) return false;
    if (code == 0xFFFE || code == 0xFFFF) return false;
    return code <= 0x10FFFF;
}

uint32_t FormatTimestamp(const void* time, char* out, uint32_t room) {
    const LocalTime& local = *static_cast<const LocalTime*>(time);
    // Counts before 1601 cannot be calendar dates; they show as its start.
    const int64_t ticks = local.fileTime > 0 ? local.fileTime : 0;
    const int64_t seconds = ticks / kTicksPerSecond;
    const int64_t milliseconds = ticks % kTicksPerSecond / kTicksPerMillisecond;
    const CivilDate date = DateFromDays(seconds / kSecondsPerDay - kDaysFrom1601To1970);
    const int64_t secondOfDay = seconds % kSecondsPerDay;

    char text[64];
    uint32_t n = PutDecimal(static_cast<uint64_t>(date.year), 4, text);
    text[n++] = '-';
    n += PutDecimal(date.month, 2, text + n);
    text[n++] = '-';
    n += PutDecimal(date.day, 2, text + n);
    text[n++] = 'T';
    n += PutDecimal(static_cast<uint64_t>(secondOfDay / 3600), 2, text + n);
    text[n++] = ':';
    n += PutDecimal(static_cast<uint64_t>(secondOfDay / 60 % 60), 2, text + n);
    text[n++] = ':';
    n += PutDecimal(static_cast<uint64_t>(secondOfDay % 60), 2, text + n);
    text[n++] = '.';
    n += PutFraction(static_cast<uint64_t>(milliseconds) * 1'000'000, 9, text + n);
    // The bias is what to add to local time for UTC, so its sign is the
    // opposite of the offset's.
    const int64_t bias = local.biasMinutes;
    const uint64_t magnitude = static_cast<uint64_t>(bias < 0 ? -bias : bias);
    text[n++] = bias < 0 ? '+' : '-';
    n += PutDecimal(magnitude / 60, 2, text + n);
    text[n++] = ':';
    n += PutDecimal(magnitude % 60, 2, text + n);
    return Emit(text, n, out, room);
}

uint32_t FormatDuration(const void* ticks, char* out, uint32_t room) {
    const int64_t span = *static_cast<const int64_t*>(ticks);
    const uint64_t magnitude = span < 0 ? 0 - static_cast<uint64_t>(span) : static_cast<uint64_t>(span);
    char text[48];
    uint32_t n = 0;
    if (span < 0) text[n++] = '-';
    n += PutDecimal(magnitude / kTicksPerSecond, 1, text + n);
    text[n++] = '.';
    n += PutFraction(magnitude % kTicksPerSecond, 7, text + n);
    return Emit(text, n, out, room);
}

uint32_t FormatElapsed(const void* nanoseconds, char* out, uint32_t room) {
    const uint64_t value = *static_cast<const uint64_t*>(nanoseconds);
    char text[48];
    uint32_t n = PutDecimal(value / 1'000'000'000, 1, text);
    text[n++] = '.';
    n += PutFraction(value % 1'000'000'000, 9, text + n);
    return Emit(text, n, out, room);
}

XmlWriter& XmlWriter::Raw(const char* literal) { return Raw(literal, std::strlen(literal)); }

XmlWriter& XmlWriter::Raw(const void* bytes, size_t count) {
    if (!ok_ || count == 0) return *this;
    if (spool_ != nullptr) {
        if (!spool_->Write(bytes, count)) ok_ = false;
    } else if (stream_ == nullptr || std::fwrite(bytes, 1, count, stream_) != count) {
        ok_ = false;
    }
    return *this;
}

XmlWriter& XmlWriter::Escaped(XmlText text) {
    if (!ok_ || text.length == 0) return *this;
    EscapeBuffer buffer(*this);
    if (text.utf16)
        EscapeUtf16(buffer, text.bytes, text.length);
    else
        EscapeUtf8(buffer, text.bytes, text.length);
    return *this;
}

XmlWriter& XmlWriter::Format(const char* format, std::initializer_list<FormatArg> args) {
    if (!ok_) return *this;
    char local[512];
    const uint32_t size = FormatText(nullptr, 0, format, args);
    char* text = size <= sizeof local ? local : static_cast<char*>(std::malloc(size));
    if (text == nullptr) {
        ok_ = false;
        return *this;
    }
    FormatText(text, size, format, args);
    Raw(text, size - 1);
    if (text != local) std::free(text);
    return *this;
}

}  // namespace kestrel
