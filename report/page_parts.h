// The fixed parts of build_log.html: its style sheet and its script.
#pragma once

namespace kestrel::report {

extern const char kPageStyle[];
extern const char kPageScript[];

}  // namespace kestrel::report
