// kestrel-report [--trace] build_log.xml
//   Writes build_log.html (or, with --trace, build_log.trace.json) beside the
//   build log.

#include <cstdio>
#include <cstring>
#include <string>

#include "report/report_run.h"

namespace {

constexpr char kUsage[] =
    "usage: kestrel-report [--trace] build_log.xml\n"
    "  Writes build_log.html beside the build log: a page with the failed jobs,\n"
    "  a timeline of the jobs per machine and a table of all jobs.\n"
    "  --trace  writes build_log.trace.json instead, for trace viewers.\n";

}  // namespace

int main(int argc, char** argv) {
    kestrel::report::ReportOptions options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--trace") == 0) {
            options.trace = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (argv[i][0] == '-' || !options.input.empty()) {
            std::fputs(kUsage, stderr);
            return 1;
        } else {
            options.input = argv[i];
        }
    }
    if (options.input.empty()) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    std::string written;
    std::string message;
    if (!kestrel::report::RunReport(options, written, message)) {
        std::fprintf(stderr, "kestrel-report: %s\n", message.c_str());
        return 1;
    }
    std::printf("Wrote %s\n", written.c_str());
    return 0;
}
