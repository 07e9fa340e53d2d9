// ScriptReader: turns one build-script file into logical lines. It reads the
// file in 8192-byte chunks, checks that the bytes are UTF-8 text, recognises
// line terminators, counts indentation, drops blank and comment lines, and
// hands each remaining line to the block framework.
#pragma once

#include <cstdint>

#include "platform/handles.h"
#include "runtime/path.h"
#include "script/block_framework.h"

namespace kestrel {

inline constexpr uint32_t kReadBufferSize = 8192;
inline constexpr uint32_t kLineBufferStep = 8192;
inline constexpr uint32_t kFinishedLineBuffer = 16;

struct ScriptReader {
    // Reader state flags.
    static constexpr uint32_t kAfterCr = 1;
    static constexpr uint32_t kBlockOpened = 2;
    static constexpr uint32_t kAtLineStart = 4;
    static constexpr uint32_t kCommentLine = 8;
    static constexpr uint32_t kMessageFinal = 16;
    static constexpr uint32_t kMessageStatic = 32;

    // Where the byte table stands inside a possible multi-byte entry.
    enum class Held : uint8_t { None, C2, E2, E2_80, EF, EF_BB };

    BlockFrame frames[kFrameCount];
    BlockFrame* top = nullptr;  // innermost active frame
    // Innermost frame whose state has not been released yet; at or above
    // `top` (finish pops frames without releasing them).
    BlockFrame* held = nullptr;
    Path directory;            // directory of this file; relative names resolve against it
    char* fileName = nullptr;  // normalized absolute path text, or null
    ParserContext* context = nullptr;
    const char* message = nullptr;
    Held heldBytes = Held::None;
    uint8_t utf8Remaining = 0;  // continuation bytes still expected
    uint8_t utf8Low = 0x80;     // range of the next continuation byte
    uint8_t utf8High = 0xBF;
    char* line = nullptr;
    uint32_t lineLength = 0;
    uint32_t lineCapacity = 0;
    platform::FileHandle file;
    uint32_t fileNameLength = 0;       // including the NUL
    uint32_t directoryTextLength = 0;  // fileName up to and including its last '/'
    uint32_t lineNumber = 1;
    uint32_t dispatchLineNumber = 1;
    uint32_t flags = 0;
    uint32_t cursor = 0;
    uint32_t indentation = 0;
    uint32_t cachedDirectoryDepth = 0;  // 0: not counted yet
    // Only while the file is read: a reader stays alive until the files it
    // imports are read, and an import chain keeps every reader on it.
    uint8_t* readBuffer = nullptr;

    ScriptReader() = default;
    ScriptReader(const ScriptReader&) = delete;
    ScriptReader& operator=(const ScriptReader&) = delete;

    // Sets up the base frame (the top-level dispatcher unless another base
    // handler is given) and the line buffer. False only when the line buffer
    // cannot be allocated.
    bool init(ParserContext& parserContext, const BlockHandler* baseHandler = nullptr);
    // Resolves `scriptPath` against `baseDirectory` (when relative), opens the
    // file and reads it to the end, dispatching each line as it completes.
    // False on the first error; the text is then errorText().
    bool open(const char* scriptPath, const Path& baseDirectory);
    // Ends every block still open at the end of the file, innermost first.
    bool finish();
    // The message to show: final as set by fail, or composed from the frames.
    const char* errorText();
    // Number of components of `directory`, counted once.
    uint32_t directoryDepth();
    // Releases every frame's state once, the buffers, the path and the file.
    void release();

    // Sets the final message: {0} = fileName (or "unknown file"), {1} =
    // lineNumber. Always returns false, for `return reader.fail(...)`.
    bool fail(const char* format);
    // The same with {1} = `code` (a system error code).
    bool failWithCode(const char* format, uint32_t code);
    // A final message that is a constant.
    bool failStatic(const char* text);

    // The text that messages use for this file.
    const char* displayName() const { return fileName != nullptr ? fileName : "unknown file"; }
    bool isMessageFinal() const { return (flags & kMessageFinal) != 0; }

    // The current line, NUL-terminated (the line buffer always has a free byte).
    const char* lineText() const { return line; }
    // The directory's text with a trailing '/', ready for a relative name.
    CountedString directoryText() const { return CountedString{fileName, directoryTextLength}; }

private:
    // Decodes a chunk of the file, dispatching every line it completes.
    bool consume(const uint8_t* bytes, uint32_t count);
    // The common case in bulk: plain content bytes once the line has
    // started, from `at` on; `at` ends after them.
    bool takeIndentation(const uint8_t* bytes, uint32_t count, uint32_t& at);
    bool takePlainRun(const uint8_t* bytes, uint32_t count, uint32_t& at);
    // One byte through the strict UTF-8 check.
    bool checkUtf8(uint8_t byte);
    // One byte after held bytes: it completes a line break or the byte-order
    // mark, continues the held entry, or makes all of them content.
    bool continueHeld(uint8_t byte);
    // One byte by its class: content, indentation, comment, line end, held.
    bool takeByte(uint8_t byte, bool afterCr);
    // The end of the file: an open sequence is malformed, a last line is dispatched.
    bool endOfInput();
    bool setMessage(const char* format, std::initializer_list<FormatArg> args);
    void clearMessage();
    bool appendByte(uint8_t byte);
    bool appendRun(const uint8_t* bytes, uint32_t count);
    bool flushHeld(uint8_t following);
    bool lineEnd();
    bool resolve(const char* scriptPath, const Path& baseDirectory);
    bool registerIdentity();
    void shrinkLineBuffer();
};

}  // namespace kestrel
