#include "prep/ssh_failure_text.h"

#include <cstdlib>

#include "platform/scratch_file.h"
#include "runtime/messages.h"

namespace kestrel::preparation {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

}  // namespace

const char* LastNonEmptyLine(const char* text, uint32_t size, uint32_t& length) {
    uint32_t end = size;
    while (end > 0 && IsBlank(text[end - 1])) --end;
    uint32_t start = end;
    while (start > 0 && text[start - 1] != '\n') --start;
    while (start < end && IsBlank(text[start])) ++start;
    length = end - start;
    return text + start;
}

char* LastSshErrorLine(platform::FileHandle errors) {
    if (!errors.valid()) return nullptr;
    char* tail = static_cast<char*>(std::malloc(kSshErrorTailBytes));
    if (tail == nullptr) return nullptr;
    uint32_t size = 0;
    int32_t error = 0;
    char* text = nullptr;
    if (platform::ReadFileTail(errors, tail, kSshErrorTailBytes, size, error)) {
        uint32_t length = 0;
        const char* line = LastNonEmptyLine(tail, size, length);
        if (length > 0) text = static_cast<char*>(std::malloc(static_cast<size_t>(length) * 3 + 1));
        if (text != nullptr) SanitizeUtf8(line, length, text);
    }
    std::free(tail);
    return text;
}

}  // namespace kestrel::preparation
