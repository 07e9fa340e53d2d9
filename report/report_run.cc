#include "report/report_run.h"

#include <cstdio>

#include "report/build_log_reader.h"
#include "report/page_writer.h"
#include "report/trace_writer.h"

namespace kestrel::report {

std::string OutputPath(const std::string& input, const std::string& suffix) {
    const size_t slash = input.rfind('/');
    const size_t dot = input.rfind('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (hasExtension ? input.substr(0, dot) : input) + suffix;
}

bool RunReport(const ReportOptions& options, std::string& written, std::string& message) {
    DetailsWriter details;
    BuildLog log;
    if (!details.Open(message)) return false;
    if (!ReadBuildLog(options.input, details, log, message)) {
        message = options.input + ": " + message;
        return false;
    }
    written = OutputPath(options.input, options.trace ? ".trace.json" : ".html");
    // Written under another name first, so that a failure never leaves half a file.
    const std::string partial = written + ".part";
    std::FILE* out = std::fopen(partial.c_str(), "wb");
    if (out == nullptr) {
        message = "cannot create " + partial;
        return false;
    }
    bool good = options.trace ? WriteTrace(log, out) : WritePage(log, details, out);
    good = std::fclose(out) == 0 && good;
    if (good && std::rename(partial.c_str(), written.c_str()) == 0) return true;
    std::remove(partial.c_str());
    message = "cannot write " + written;
    return false;
}

}  // namespace kestrel::report
