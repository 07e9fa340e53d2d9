// One run of kestrel-report: read the log, write the page or the trace
// beside it. Nothing is left behind when it fails.
#pragma once

#include <string>

namespace kestrel::report {

struct ReportOptions {
    std::string input;  // build_log.xml
    bool trace = false;  // build_log.trace.json instead of build_log.html
};

// "dir/build_log.xml" gives "dir/build_log" + `suffix`.
std::string OutputPath(const std::string& input, const std::string& suffix);

// False with a message for people.
bool RunReport(const ReportOptions& options, std::string& written, std::string& message);

}  // namespace kestrel::report
