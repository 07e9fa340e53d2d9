// Puts the lines of a command's output back together. The build log splits
// a line after 128 characters and marks only the element that ends a line
// with its line end, so elements without one are joined with the next
// element of the same stream. A line longer than the cap is cut so that
// memory stays bounded.
#pragma once

#include <string>
#include <string_view>

#include "report/details_writer.h"

namespace kestrel::report {

class LineJoiner {
public:
    static constexpr size_t kLineCap = 1 << 16;

    // A line element of `stream` ('o' or 'e') begins; a pending line of the
    // other stream is written first.
    void StartElement(char stream, DetailsWriter& details);
    void Append(std::string_view text);
    // A CodePoint element (hexadecimal): shown as a visible stand-in.
    void AppendCodePoint(std::string_view hex);
    // The element ends; `lineEnd` is its EOL attribute ("" when none).
    void EndElement(const std::string& lineEnd);
    // Writes the pending line, if any.
    void Flush(DetailsWriter& details);

private:
    DetailsWriter* details_ = nullptr;
    std::string line_;
    char stream_ = 0;
    bool pending_ = false;
    bool ended_ = false;  // the last element had a line end
};

}  // namespace kestrel::report
