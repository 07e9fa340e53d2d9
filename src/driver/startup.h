// The process entry and the main sequence from command line to exit code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "driver/command_line.h"
#include "platform/console.h"

namespace kestrel {

// Process-wide results of start-up, written once on the main thread.
struct ProcessState {
    StartupOptions options;
    // Present only in display mode: the terminal modes to restore at shutdown.
    std::optional<platform::SavedConsoleState> savedConsole;
    // How many temporary files the build log writer may keep open at once.
    int32_t openFileBudget = 0;
};


// Runs kestrel with the given arguments and returns the process exit code.
int RunKestrel(int argc, char** argv);

}  // namespace kestrel
