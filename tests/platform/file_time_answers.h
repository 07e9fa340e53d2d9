// What FileTimeReader answers for a path, beside what a read of the whole
// path answers, for the tests that compare the two.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "platform/file_time_reader.h"

namespace kestrel::platform {

struct Answer {
    FileTimeResult result;
    int64_t time;
    int error;
    bool operator==(const Answer&) const = default;
};

inline void PrintTo(const Answer& answer, std::ostream* out) {
    *out << "{" << static_cast<int>(answer.result) << ", " << answer.time << ", " << answer.error << "}";
}

inline Answer ThroughReader(FileTimeReader& reader, const std::string& path) {
    Answer answer{FileTimeResult::Failed, 0, 0};
    answer.result = reader.Read(path.c_str(), answer.time, answer.error);
    if (answer.result == FileTimeResult::Missing) answer.error = 0;  // which "not found" code is free
    return answer;
}

inline Answer Whole(const std::string& path) {
    Answer answer{FileTimeResult::Failed, 0, 0};
    answer.result = ReadModificationTime(path.c_str(), answer.time, answer.error);
    if (answer.result == FileTimeResult::Missing) answer.error = 0;
    return answer;
}

}  // namespace kestrel::platform
