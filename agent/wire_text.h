// Texts on the wire in the machine's encoding: terminated strings in
// requests, unterminated texts in responses, and the conversions between
// UTF-16LE and the UTF-8 that the agent works in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::agent {

// A string of a request, without its terminator.
struct WireString {
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;  // in bytes
};

// Reads the string that starts at `offset` and moves `offset` past its
// terminator (one 0 byte, or one 0 unit on a UTF-16 machine). False when no
// terminator follows within `length`.
bool ReadWireString(const uint8_t* payload, uint32_t length, uint32_t& offset, bool utf16, WireString& out);

// UTF-16LE to UTF-8. False for an odd byte count or an unpaired surrogate.
bool Utf16ToUtf8(const uint8_t* bytes, uint32_t length, std::string& out);

// UTF-8 to UTF-16LE bytes. Ill-formed sequences become U+FFFD (one for each
// maximal ill-formed subpart), so that any text the agent produces (system
// messages, file names) can be sent.
std::string Utf8ToUtf16(std::string_view text);

// A request string as UTF-8 text.
bool WireToUtf8(const WireString& text, bool utf16, std::string& out);

// A text for a response in the machine's encoding, without terminator.
std::string ResponseText(std::string_view utf8, bool utf16);

}  // namespace kestrel::agent
