// The command line: options, the script argument and the usage text.
#pragma once

#include <string>

namespace kestrel {

// Longest option value kept; longer values are cut to this many bytes.
inline constexpr size_t kMaxArgumentBytes = 4095;

struct StartupOptions {
    bool hasJobName = false;  // absent means the job "main"
    std::string jobName;
    bool rebuild = false;
    bool automated = false;
    std::string scriptPath;
};

enum class CommandLineResult {
    Run,           // options parsed; run the build
    PanicRelaunch, // argv[1] is "--panic"
    Usage,         // print the usage text, exit 1
};

CommandLineResult ParseCommandLine(int argc, const char* const* argv, StartupOptions& options);

// Prints the usage text to standard error.
void PrintUsage();

}  // namespace kestrel
