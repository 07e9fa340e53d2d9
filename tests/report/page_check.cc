#include "report/page_check.h"

#include <cstdlib>
#include <sstream>

#include "support/test_support.h"

namespace kestrel::test {
namespace {

// Headless Chromium as root needs --no-sandbox; a fresh profile each time
// keeps runs apart. The virtual time budget lets the page's scripts finish.
ProcessResult Chromium(const std::vector<std::string>& arguments) {
    TempDir profile;
    std::vector<std::string> command = {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                                        "--user-data-dir=" + profile.path(), "--virtual-time-budget=5000",
                                        "--window-size=1280,900"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.timeoutSeconds = 120;
    return RunProcess(command, options);
}

// Decodes a PNG (8-bit RGB or RGBA, not interlaced) and counts its colours.
const char kColourCounter[] = R"py(
import sys, zlib, struct
data = open(sys.argv[1], 'rb').read()
assert data[:8] == b'\x89PNG\r\n\x1a\n'
pos, idat, width, height, kind = 8, b'', 0, 0, 0
while pos < len(data):
    length, tag = struct.unpack('>I4s', data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + length]
    if tag == b'IHDR':
        width, height, depth, kind, _, _, interlace = struct.unpack('>IIBBBBB', body)
        assert depth == 8 and kind in (2, 6) and interlace == 0
    elif tag == b'IDAT':
        idat += body
    pos += 12 + length
raw = zlib.decompress(idat)
bpp = 3 if kind == 2 else 4
stride = width * bpp
prev = bytearray(stride)
colours = set()
for y in range(height):
    f = raw[y * (stride + 1)]
    line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    for i in range(stride):
        a = line[i - bpp] if i >= bpp else 0
        b = prev[i]
        c = prev[i - bpp] if i >= bpp else 0
        if f == 1: line[i] = (line[i] + a) & 255
        elif f == 2: line[i] = (line[i] + b) & 255
        elif f == 3: line[i] = (line[i] + (a + b) // 2) & 255
        elif f == 4:
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    for x in range(0, stride, bpp):
        colours.add(bytes(line[x:x + 3]))
    prev = line
print(len(colours))
)py";

// Prints one line per complete event: name, status, pid, tid, ts, dur.
const char kTraceReader[] = R"py(
import sys, json
trace = json.load(open(sys.argv[1]))
for e in trace['traceEvents']:
    if e['ph'] == 'X':
        print('\t'.join([e['name'], e['cat'], str(e['pid']), str(e['tid']), repr(float(e['ts'])), repr(float(e['dur']))]))
)py";

}  // namespace

std::string DumpDom(const std::string& url, std::string& failure) {
    const ProcessResult run = Chromium({"--dump-dom", url});
    if (run.exitCode != 0 || run.out.empty()) failure = "chromium said: " + run.err;
    return run.out;
}

bool Screenshot(const std::string& url, const std::string& png, std::string& failure) {
    const ProcessResult run = Chromium({"--screenshot=" + png, "--hide-scrollbars", url});
    if (run.exitCode == 0 && FileExists(png)) return true;
    failure = "chromium said: " + run.err;
    return false;
}

size_t DistinctColours(const std::string& png) {
    const ProcessResult run = RunProcess({"/usr/bin/python3", "-c", kColourCounter, png});
    return run.exitCode == 0 ? std::strtoul(run.out.c_str(), nullptr, 10) : 0;
}

size_t Count(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
    return count;
}

bool ReadTrace(const std::string& path, std::vector<TraceEvent>& events, std::string& failure) {
    const ProcessResult run = RunProcess({"/usr/bin/python3", "-c", kTraceReader, path});
    if (run.exitCode != 0) {
        failure = run.err;
        return false;
    }
    std::istringstream lines(run.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        TraceEvent event;
        std::string pid, tid, ts, dur;
        std::getline(fields, event.name, '\t');
        std::getline(fields, event.status, '\t');
        std::getline(fields, pid, '\t');
        std::getline(fields, tid, '\t');
        std::getline(fields, ts, '\t');
        std::getline(fields, dur, '\t');
        event.pid = std::atoll(pid.c_str());
        event.tid = std::atoll(tid.c_str());
        event.ts = std::atof(ts.c_str());
        event.dur = std::atof(dur.c_str());
        events.push_back(event);
    }
    return true;
}

}  // namespace kestrel::test
