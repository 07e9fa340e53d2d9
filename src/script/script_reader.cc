#include "script/script_reader.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#include "platform/file_reading.h"
#include "runtime/utf8.h"
#include "script/import.h"
#include "script/script_paths.h"
#include "script/top_level.h"

namespace kestrel {

namespace {

constexpr const char* kNonUtf8 = "Non-UTF-8 character in file {0}, line {1}";
constexpr const char* kNonText = "Non-text character in file {0}, line {1}";
constexpr const char* kReadFailed = "Cannot read script {0}, error {1}";
constexpr const char* kInsufficientMemory = "Insufficient memory";

// What a byte does outside a multi-byte entry of the byte table.
enum ByteClass : uint8_t {
    kOrdinary,
    kLineFeed,
    kCarriageReturn,
    kLineBreak,  // VT, FF
    kSpace,
    kHash,
    kIgnored,  // SUB
    kNonTextByte,
    kHoldC2,  // may start NEL
    kHoldE2,  // may start U+2028 / U+2029
    kHoldEF,  // may start the byte-order mark
};

constexpr auto kByteClasses = [] {
    struct Table {
        ByteClass classes[256];
    } table{};
    for (int b = 0; b < 256; ++b) table.classes[b] = kOrdinary;
    for (int b = 0x00; b <= 0x08; ++b) table.classes[b] = kNonTextByte;
    for (int b = 0x0E; b <= 0x1F; ++b) table.classes[b] = kNonTextByte;
    table.classes[0x1A] = kIgnored;
    table.classes[0x0A] = kLineFeed;
    table.classes[0x0D] = kCarriageReturn;
    table.classes[0x0B] = kLineBreak;
    table.classes[0x0C] = kLineBreak;
    table.classes[0x20] = kSpace;
    table.classes[0x23] = kHash;
    table.classes[0xC2] = kHoldC2;
    table.classes[0xE2] = kHoldE2;
    table.classes[0xEF] = kHoldEF;
    return table;
}();

// Bytes that are content wherever they stand once a line has started.
constexpr auto kPlainContent = [] {
    struct Table {
        bool bytes[256];
    } table{};
    for (int b = 0; b < 0x80; ++b) {
        const ByteClass c = kByteClasses.classes[b];
        table.bytes[b] = c == kOrdinary || c == kSpace || c == kHash;
    }
    return table;
}();

// The end of the run of plain content from `at`, eight bytes at a time: a
// byte below 0x20 or from 0x80 stops the word test (the lowest such byte is
// found exactly; borrows only disturb the bytes above it), and a tab, the
// one plain byte below 0x20, is stepped over.
uint32_t PlainRunEnd(const uint8_t* bytes, uint32_t at, uint32_t count) {
    constexpr uint64_t kHighBits = 0x8080808080808080ull;
    constexpr uint64_t kSpaces = 0x2020202020202020ull;
    while (at + 8 <= count) {
        uint64_t word;
        std::memcpy(&word, bytes + at, sizeof word);
        const uint64_t stops = (word | (word - kSpaces)) & kHighBits;
        if (stops == 0) {
            at += 8;
            continue;
        }
        at += static_cast<uint32_t>(std::countr_zero(stops)) / 8;
        if (bytes[at] != '\t') return at;
        ++at;
    }
    while (at < count && kPlainContent.bytes[bytes[at]]) ++at;
    return at;
}

// Whether the text names a file rather than a directory: not empty, no
// trailing separator, and a last component other than "." or "..".
bool NamesFile(const char* text) {
    const size_t length = std::strlen(text);
    const char* slash = LastNativeSeparator(text);
    if (length == 0 || slash == text + length - 1) return false;
    const char* last = slash != nullptr ? slash + 1 : text;
    return std::strcmp(last, ".") != 0 && std::strcmp(last, "..") != 0;
}

}  // namespace

bool ScriptReader::init(ParserContext& parserContext, const BlockHandler* baseHandler) {
    context = &parserContext;
    frames[0] = BlockFrame{baseHandler != nullptr ? *baseHandler : TopLevelHandler(), &parserContext, 0};
    top = held = &frames[0];
    line = static_cast<char*>(std::malloc(kLineBufferStep));
    if (line == nullptr) return false;
    line[0] = '\0';
    lineCapacity = kLineBufferStep;
    lineLength = 0;
    flags = kAtLineStart;
    file = platform::kNoFile;
    return true;
}

bool ScriptReader::setMessage(const char* format, std::initializer_list<FormatArg> args) {
    clearMessage();
    const uint32_t size = FormatText(nullptr, 0, format, args);
    char* text = static_cast<char*>(std::malloc(size));
    if (text == nullptr) {
        message = kInsufficientMemory;
        flags |= kMessageFinal | kMessageStatic;
        return false;
    }
    FormatText(text, size, format, args);
    message = text;
    flags |= kMessageFinal;
    return false;
}

void ScriptReader::clearMessage() {
    if (message != nullptr && (flags & kMessageStatic) == 0) std::free(const_cast<char*>(message));
    message = nullptr;
    flags &= ~(kMessageFinal | kMessageStatic);
}

bool ScriptReader::fail(const char* format) {
    return setMessage(format, {{FormatString, displayName()}, {FormatU32, &lineNumber}});
}

bool ScriptReader::failWithCode(const char* format, uint32_t code) {
    return setMessage(format, {{FormatString, displayName()}, {FormatU32, &code}});
}

bool ScriptReader::failStatic(const char* text) {
    clearMessage();
    message = text;
    flags |= kMessageFinal | kMessageStatic;
    return false;
}

bool ScriptReader::resolve(const char* scriptPath, const Path& baseDirectory) {
    if (!NamesFile(scriptPath)) return failStatic("Invalid path to script");
    char* full = nullptr;
    uint32_t fullLength = 0;
    if (!JoinNativePath(IsAbsoluteNativeText(scriptPath) ? nullptr : &baseDirectory, scriptPath,
                        static_cast<uint32_t>(std::strlen(scriptPath)), full, fullLength)) {
        return failStatic(kInsufficientMemory);
    }
    Path resolved;
    const bool split = SplitNativePath(resolved, full, fullLength);
    bool ok = split && resolved.Normalize() && resolved.last != nullptr;
    if (ok) {
        fileName = RenderPath(resolved, fileNameLength);
        if (fileName == nullptr) {
            resolved.Release();
            std::free(full);
            return failStatic(kInsufficientMemory);
        }
        ++fileNameLength;
    }
    resolved.Release();
    std::free(full);
    if (!split) return failStatic(kInsufficientMemory);
    if (!ok) return failStatic("Invalid path to script");
    // The directory is the file name up to and including its last separator.
    const char* slash = LastNativeSeparator(fileName);
    directoryTextLength = static_cast<uint32_t>(slash - fileName) + 1;
    if (!SplitNativePath(directory, fileName, directoryTextLength)) return failStatic(kInsufficientMemory);
    return true;
}

// The main script joins the import table like any imported file, so that an
// import leading back to it is recognised as already read.
bool ScriptReader::registerIdentity() {
    platform::FileIdentity identity{};
    int error = 0;
    if (!platform::ReadFileIdentity(file, identity, error)) {
        return failWithCode("Could not get file information for {0}, error {1}", static_cast<uint32_t>(error));
    }
    char key[kIdentityTextSize];
    FormatIdentity(identity, key);
    if (context->imports.Find(key) != nullptr) return true;
    if (!InsertIdentity(context->imports, key)) return failStatic(kInsufficientMemory);
    return true;
}

bool ScriptReader::open(const char* scriptPath, const Path& baseDirectory) {
    if (!resolve(scriptPath, baseDirectory)) return false;
    int error = 0;
    if (!platform::OpenSequentialFile(fileName, file, error)) {
        return failWithCode("Cannot open script {0}, error {1}", static_cast<uint32_t>(error));
    }
    lineNumber = 1;
    dispatchLineNumber = 1;
    if (!registerIdentity()) return false;
    readBuffer = static_cast<uint8_t*>(std::malloc(kReadBufferSize));
    if (readBuffer == nullptr) return failStatic(kInsufficientMemory);
    for (;;) {
        size_t count = 0;
        if (!platform::ReadSequentialFile(file, readBuffer, kReadBufferSize, count, error)) {
            return failWithCode(kReadFailed, static_cast<uint32_t>(error));
        }
        if (count == 0) break;
        if (!consume(readBuffer, static_cast<uint32_t>(count))) return false;
    }
    platform::CloseFile(file);
    std::free(readBuffer);
    readBuffer = nullptr;
    const bool ended = endOfInput();
    // Lines are over; the blocks still open end without one.
    shrinkLineBuffer();
    return ended;
}

void ScriptReader::shrinkLineBuffer() {
    if (lineCapacity <= kFinishedLineBuffer) return;
    if (char* small = static_cast<char*>(std::realloc(line, kFinishedLineBuffer))) {
        line = small;
        lineCapacity = kFinishedLineBuffer;
        line[0] = '\0';
        lineLength = 0;
    }
}

bool ScriptReader::appendByte(uint8_t byte) {
    if ((flags & kCommentLine) != 0) return true;  // comment text is never looked at
    line[lineLength++] = static_cast<char>(byte);
    flags &= ~kAtLineStart;
    // Keep a free byte after the content for the handlers' terminator.
    if (lineCapacity - lineLength <= 1) {
        char* grown = static_cast<char*>(std::realloc(line, lineCapacity + kLineBufferStep));
        if (grown == nullptr) return fail("Insufficient memory, file {0}, line {1}");
        line = grown;
        lineCapacity += kLineBufferStep;
    }
    return true;
}

// The held bytes did not continue a table entry: they and `following` are content.
bool ScriptReader::flushHeld(uint8_t following) {
    const Held was = heldBytes;
    heldBytes = Held::None;
    switch (was) {
        case Held::C2:
            if (!appendByte(0xC2)) return false;
            break;
        case Held::E2:
            if (!appendByte(0xE2)) return false;
            break;
        case Held::E2_80:
            if (!appendByte(0xE2) || !appendByte(0x80)) return false;
            break;
        case Held::EF:
            if (!appendByte(0xEF)) return false;
            break;
        case Held::EF_BB:
            if (!appendByte(0xEF) || !appendByte(0xBB)) return false;
            break;
        case Held::None:
            break;
    }
    return appendByte(following);
}

bool ScriptReader::lineEnd() {
    bool ok = true;
    if (lineLength != 0 && (flags & kCommentLine) == 0) {
        line[lineLength] = '\0';
        ok = endLine(*this);
    }
    lineLength = 0;
    indentation = 0;
    cursor = 0;
    flags = (flags & ~kCommentLine) | kAtLineStart;
    if (line != nullptr) line[0] = '\0';
    ++lineNumber;
    return ok;
}

bool ScriptReader::appendRun(const uint8_t* bytes, uint32_t count) {
    if ((flags & kCommentLine) != 0) return true;
    if (lineCapacity - lineLength <= count + 1) {
        const uint64_t needed = static_cast<uint64_t>(lineLength) + count + 2;
        const uint64_t capacity = (needed + kLineBufferStep - 1) / kLineBufferStep * kLineBufferStep;
        char* grown = capacity <= UINT32_MAX ? static_cast<char*>(std::realloc(line, capacity)) : nullptr;
        if (grown == nullptr) return fail("Insufficient memory, file {0}, line {1}");
        line = grown;
        lineCapacity = static_cast<uint32_t>(capacity);
    }
    std::memcpy(line + lineLength, bytes, count);
    lineLength += count;
    return true;
}

bool ScriptReader::consume(const uint8_t* bytes, uint32_t count) {
    uint32_t i = 0;
    while (i < count) {
        if (!takeIndentation(bytes, count, i)) return false;
        if (i == count) break;
        if (!takePlainRun(bytes, count, i)) return false;
        if (i == count) break;
        const uint8_t b = bytes[i++];
        const bool afterCr = (flags & kAfterCr) != 0;
        flags &= ~kAfterCr;
        // Strict UTF-8 first: a byte the table would accept may still be invalid.
        if (!checkUtf8(b)) return false;
        const bool ok = heldBytes != Held::None ? continueHeld(b) : takeByte(b, afterCr);
        if (!ok) return false;
    }
    return true;
}

// Spaces at the start of a line, counted in bulk.
bool ScriptReader::takeIndentation(const uint8_t* bytes, uint32_t count, uint32_t& at) {
    if ((flags & kAtLineStart) == 0 || utf8Remaining != 0 || heldBytes != Held::None || bytes[at] != ' ') return true;
    const uint32_t start = at;
    while (at < count && bytes[at] == ' ') ++at;
    indentation += at - start;
    flags &= ~kAfterCr;
    return true;
}

bool ScriptReader::takePlainRun(const uint8_t* bytes, uint32_t count, uint32_t& at) {
    if ((flags & kAtLineStart) != 0 || utf8Remaining != 0 || heldBytes != Held::None) return true;
    const uint32_t end = PlainRunEnd(bytes, at, count);
    if (end == at) return true;
    flags &= ~kAfterCr;
    if (!appendRun(bytes + at, end - at)) return false;
    at = end;
    return true;
}

bool ScriptReader::checkUtf8(uint8_t b) {
    if (utf8Remaining != 0) {
        if (b < utf8Low || b > utf8High) return fail(kNonUtf8);
        --utf8Remaining;
        utf8Low = 0x80;
        utf8High = 0xBF;
    } else if (b >= 0x80) {
        const Utf8Lead lead = Utf8LeadOf(b);
        if (lead.continuations == 0) return fail(kNonUtf8);
        utf8Remaining = lead.continuations;
        utf8Low = lead.low;
        utf8High = lead.high;
    }
    return true;
}

bool ScriptReader::continueHeld(uint8_t b) {
    switch (heldBytes) {
        case Held::C2:
            if (b == 0x85) {
                heldBytes = Held::None;
                return lineEnd();
            }
            break;
        case Held::E2:
            if (b == 0x80) {
                heldBytes = Held::E2_80;
                return true;
            }
            break;
        case Held::E2_80:
            if (b == 0xA8 || b == 0xA9) {
                heldBytes = Held::None;
                return lineEnd();
            }
            break;
        case Held::EF:
            if (b == 0xBB) {
                heldBytes = Held::EF_BB;
                return true;
            }
            break;
        case Held::EF_BB:
            if (b == 0xBF) {  // byte-order mark: dropped wherever it stands
                heldBytes = Held::None;
                return true;
            }
            break;
        case Held::None:
            break;
    }
    return flushHeld(b);
}

bool ScriptReader::takeByte(uint8_t b, bool afterCr) {
    switch (kByteClasses.classes[b]) {
        case kOrdinary:
            return appendByte(b);
        case kLineFeed:
            // The LF of a CR LF pair ends nothing more.
            return afterCr || lineEnd();
        case kCarriageReturn:
            if (!lineEnd()) return false;
            flags |= kAfterCr;
            return true;
        case kLineBreak:
            return lineEnd();
        case kSpace:
            if ((flags & kAtLineStart) == 0) return appendByte(b);
            ++indentation;
            return true;
        case kHash:
            if ((flags & kAtLineStart) == 0) return appendByte(b);
            flags = (flags | kCommentLine) & ~kAtLineStart;
            return true;
        case kIgnored:
            return true;
        case kNonTextByte:
            return fail(kNonText);
        case kHoldC2:
            heldBytes = Held::C2;
            return true;
        case kHoldE2:
            heldBytes = Held::E2;
            return true;
        case kHoldEF:
            heldBytes = Held::EF;
            return true;
    }
    return true;
}

bool ScriptReader::endOfInput() {
    if (utf8Remaining != 0) return fail(kNonUtf8);
    // A last line without a terminator is processed like any other.
    if (lineLength != 0 && (flags & kCommentLine) == 0) {
        line[lineLength] = '\0';
        if (!endLine(*this)) return false;
    }
    lineLength = 0;
    return true;
}

uint32_t ScriptReader::directoryDepth() {
    if (cachedDirectoryDepth == 0) {
        for (const PathComponent* c = directory.first; c != nullptr; c = c->next) ++cachedDirectoryDepth;
    }
    return cachedDirectoryDepth;
}

void ScriptReader::release() {
    if (held != nullptr) {
        // Innermost first; each frame's state exactly once, wherever the parse stopped.
        for (BlockFrame* frame = held;; --frame) {
            top = frame;
            if (frame->handler.onRelease != nullptr) frame->handler.onRelease(*this);
            frame->object = nullptr;
            if (frame == &frames[0]) break;
        }
        held = nullptr;
        top = nullptr;
    }
    clearMessage();
    std::free(fileName);
    fileName = nullptr;
    fileNameLength = 0;
    directoryTextLength = 0;
    std::free(line);
    line = nullptr;
    lineCapacity = 0;
    std::free(readBuffer);
    readBuffer = nullptr;
    directory.Release();
    platform::CloseFile(file);
}

}  // namespace kestrel
