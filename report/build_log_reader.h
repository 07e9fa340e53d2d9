// Reads build_log.xml in one streaming pass (libxml2's text reader): the
// machines and jobs go to a BuildLog, each job's commands and output to the
// details file. Memory stays bounded by the number of jobs, not the size of
// their output.
#pragma once

#include <string>

#include "report/build_log.h"
#include "report/details_writer.h"

namespace kestrel::report {

// False with a message for people when the file cannot be read, is not a
// build log or is cut short.
bool ReadBuildLog(const std::string& path, DetailsWriter& details, BuildLog& log, std::string& message);

}  // namespace kestrel::report
