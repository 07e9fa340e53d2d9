#include "driver/command_line.h"

#include <cstdio>
#include <cstring>

namespace kestrel {

namespace {

std::string KeepArgument(const char* text) {
    std::string value(text);
    if (value.size() > kMaxArgumentBytes) value.resize(kMaxArgumentBytes);
    return value;
}

}  // namespace

CommandLineResult ParseCommandLine(int argc, const char* const* argv, StartupOptions& options) {
    if (argc < 2) return CommandLineResult::Usage;
    if (std::strcmp(argv[1], "--panic") == 0) return CommandLineResult::PanicRelaunch;
    // Every argument before the last is an option; the last is always the script.
    const int last = argc - 1;
    for (int i = 1; i < last; ++i) {
        const char* option = argv[i];
        if (std::strcmp(option, "--job") == 0) {
            if (i + 1 >= last) return CommandLineResult::Usage;
            options.hasJobName = true;
            options.jobName = KeepArgument(argv[++i]);
        } else if (std::strcmp(option, "--rebuild") == 0) {
            options.rebuild = true;
        } else if (std::strcmp(option, "--automated") == 0) {
            options.automated = true;
        } else if (std::strcmp(option, "--server-user-list") == 0) {
            // Accepted for compatibility; the list itself comes from KV_SSH_SERVER_LIST.
            if (i + 1 >= last) return CommandLineResult::Usage;
            ++i;
        } else {
            return CommandLineResult::Usage;
        }
    }
    options.scriptPath = KeepArgument(argv[last]);
    return CommandLineResult::Run;
}

void PrintUsage() {
    std::fprintf(stderr, "%s\n",
                 "USAGE: kestrel [options] script\n"
                 "--job job-name: The job to run. The job main is run if not specified\n"
                 "--rebuild: If specified, all dependent jobs are run\n"
                 "--automated: If specified, the build is performed in an automated way\n"
                 "--server-user-list server-list: Optionally used to specify an ssh user/server list\n"
                 "script: The script containing the main job or the specified job");
}

}  // namespace kestrel
