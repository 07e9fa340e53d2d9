// Process output as build_log.xml shows it: each stream of a command decoded
// as UTF-8 across the events that carry it, cut into lines at every line end
// Unicode defines, one element per line with the line end named, bytes that
// are no UTF-8 and characters XML cannot carry written as elements of their
// own, and lines of 128 characters split.
#pragma once

#include <cstdint>

namespace kestrel {

class LogSpool;

enum class LineEndState : uint8_t {
    None,
    NlSeen,     // 0A, may become NLCR
    NlCr,
    LineTabulation,
    FormFeed,
    CrSeen,     // 0D, may become CRNL
    CrNl,
    C2Seen,     // may become NEXT LINE
    NextLine,
    E2Seen,
    E280Seen,   // may become LINE or PARAGRAPH SEPARATOR
    LineSeparator,
    ParagraphSeparator,
};

enum class DecoderState : uint8_t {
    Ground,
    TwoByteLead,
    ThreeByteLead,
    ThreeByteLeadOneContinuation,
    FourByteLead,
    FourByteLeadOneContinuation,
    FourByteLeadTwoContinuations,
};

inline constexpr uint32_t kLineCharacterLimit = 128;

struct OutputStream {
    const char* name = nullptr;  // "out" or "err"
    LogSpool* spool = nullptr;   // what receives the command's lines while it is open
    char* line = nullptr;        // the rendered text of the line in progress
    uint32_t lineLength = 0;
    uint32_t lineCapacity = 0;
    uint32_t characters = 0;     // characters and invalid bytes in the line
    uint64_t lineStart = 0;      // stream offset of the line's first byte
    uint64_t offset = 0;         // stream bytes consumed
    LineEndState lineEnd = LineEndState::None;
    DecoderState decoder = DecoderState::Ground;
    uint8_t pending[3] = {};     // the bytes of the sequence being decoded
    uint8_t pendingCount = 0;
    bool outOfMemory = false;    // why the last failing call failed, else a write
};

// Renders the bytes of one output event. False when a line could not be
// written or the line buffer could not grow.
bool RenderOutput(OutputStream& stream, const uint8_t* data, uint32_t length);
// Adds markup that is no character (a timing mark) to the line in progress.
bool AddToLine(OutputStream& stream, const char* markup, uint32_t length);
// The stream has ended: an unfinished sequence becomes invalid bytes and the
// line in progress is written with its pending line end, if any.
bool EndOutput(OutputStream& stream);
// Back to the start of a stream; the line buffer is kept for reuse.
void ResetOutput(OutputStream& stream);
void FreeOutput(OutputStream& stream);

}  // namespace kestrel
