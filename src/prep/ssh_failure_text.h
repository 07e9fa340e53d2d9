// What ssh last said on its standard error, for the failure the user sees
// when ssh ends before its forward answers.
#pragma once

#include <cstdint>

#include "platform/handles.h"

namespace kestrel::preparation {

// How much of the end of ssh's standard error is looked at.
inline constexpr uint32_t kSshErrorTailBytes = 4096;

// The last line of `text` that holds more than white space, without its line
// end and surrounding white space; `length` 0 when there is none.
const char* LastNonEmptyLine(const char* text, uint32_t size, uint32_t& length);

// That line of the file, made valid UTF-8, in a malloc block; null when the
// file holds none (or memory ran out: the text is only a help).
char* LastSshErrorLine(platform::FileHandle errors);

}  // namespace kestrel::preparation
