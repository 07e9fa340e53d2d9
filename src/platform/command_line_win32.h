// For the Windows implementations only: command lines for CreateProcessW,
// quoted so that the child's runtime (and CommandLineToArgvW) reads back
// exactly the arguments given.
#pragma once

#include <string>
#include <vector>

namespace kestrel::platform {

// The arguments joined by spaces. An argument that is empty or holds white
// space or a quote is put in quotes; in it a quote is escaped with a
// backslash, and backslashes are doubled where they precede a quote (also the
// closing one). Elsewhere backslashes stand as they are. The first argument
// is the program, which the system reads up to the next quote without any
// escapes: it must not hold a quote or end with a backslash (no file name does).
std::wstring QuoteCommandLine(const std::vector<std::wstring>& arguments);

}  // namespace kestrel::platform
