// JSON strings that stay ASCII: every character outside printable ASCII, and
// the characters that could end an HTML script block, become \u escapes. A
// byte offset into such text is then also a character offset in the page.
#pragma once

#include <string>
#include <string_view>

namespace kestrel::report {

// Appends `utf8` as a quoted JSON string. A byte that is no UTF-8 becomes
// U+FFFD.
void AppendJsonString(std::string& out, std::string_view utf8);

// Appends `utf8` escaped for HTML text and attribute values.
void AppendHtmlText(std::string& out, std::string_view utf8);

}  // namespace kestrel::report
