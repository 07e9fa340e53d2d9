// The program's command-line arguments as UTF-8 text.
#pragma once

#include <string>
#include <vector>

namespace kestrel::platform {

// The arguments of the running program, the program first, as UTF-8: on
// POSIX `argv` as given; on Windows read again from the UTF-16 command line,
// since the narrow `argv` holds them in the ANSI code page, where characters
// outside it are lost.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace kestrel::platform
