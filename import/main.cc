// kestrel-import --ninja DIR [TARGET...] | --compdb FILE [options]
//   Writes a kestrel build script from a ninja build directory or a
//   compilation database.

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "import/import_run.h"

int main(int argc, char** argv) {
    using namespace kestrel::importer;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    ImportOptions options;
    std::string message;
    if (!ParseImportArguments(arguments, options, message)) {
        std::fprintf(stderr, "kestrel-import: %s\n%s", message.c_str(), kImportUsage);
        return 1;
    }
    if (options.help) {
        std::fputs(kImportUsage, stdout);
        return 0;
    }
    std::error_code error;
    const std::string workingDirectory = std::filesystem::current_path(error).string();
    if (error) {
        std::fprintf(stderr, "kestrel-import: cannot tell the current directory: %s\n", error.message().c_str());
        return 1;
    }
    return RunImport(options, workingDirectory);
}
