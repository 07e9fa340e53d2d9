// Looking at kestrel-report's output as its readers do: the page in headless
// Chromium (its DOM after the scripts ran, a screenshot), the trace through
// python3's JSON parser.
#pragma once

#include <string>
#include <vector>

namespace kestrel::test {

// The DOM of `url` once its scripts ran ("" and `failure` set when Chromium
// did not answer).
std::string DumpDom(const std::string& url, std::string& failure);
// A screenshot of `url` to `png`; false with `failure`.
bool Screenshot(const std::string& url, const std::string& png, std::string& failure);
// The number of distinct colours in a PNG file (0 when it cannot be read).
size_t DistinctColours(const std::string& png);
// How many times `needle` occurs in `text`.
size_t Count(const std::string& text, const std::string& needle);

// One complete event of a trace file.
struct TraceEvent {
    std::string name;
    std::string status;
    long long pid = 0;
    long long tid = 0;
    double ts = 0;   // microseconds
    double dur = 0;  // microseconds
};
// The "X" events of a trace file, read by python3's json module; false with
// `failure` when the file is not valid JSON of that shape.
bool ReadTrace(const std::string& path, std::vector<TraceEvent>& events, std::string& failure);

}  // namespace kestrel::test
