// Generating build_log.xml for one job whose command printed 100 MB in one
// million lines: the time Generate takes and the peak resident memory of the
// process, which must not grow with the output.
//   build_log_bench OUTPUT.xml
// prints "name value" lines; compare.sh sets them next to xmllint reading
// the same document.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "logs/build_log_writer.h"
#include "logs/connection_log.h"
#include "platform/clock.h"
#include "runtime/temp_files.h"

namespace {

using namespace kestrel;

constexpr uint32_t kLines = 1'000'000;
constexpr uint32_t kLineBytes = 100;        // with its newline
constexpr uint32_t kEventBytes = 65'000;    // below the u16 limit of an output event
constexpr uint32_t kEventsPerPoll = 16;

long PeakKib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void Put(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
}

// The output of the command, made as it is needed so that the figures are
// the generator's own: numbered lines of text with a tab and characters
// that need escaping, 100 bytes each.
class Output {
public:
    static constexpr uint64_t kSize = static_cast<uint64_t>(kLines) * kLineBytes;

    // The next `size` bytes of the output.
    void Next(size_t size, std::string& out) {
        while (size > 0) {
            if (used_ == kLineBytes) MakeLine();
            const size_t take = std::min<size_t>(size, kLineBytes - used_);
            out.append(line_ + used_, take);
            used_ += static_cast<uint32_t>(take);
            size -= take;
        }
    }

private:
    void MakeLine() {
        const int head = std::snprintf(line_, sizeof line_, "line %07u\tcc -c <src/%u.c> & ", number_, number_ % 1000);
        std::memset(line_ + head, 'x', kLineBytes - 1 - head);
        line_[kLineBytes - 1] = '\n';
        ++number_;
        used_ = 0;
    }

    char line_[kLineBytes + 1];
    uint32_t used_ = kLineBytes;
    uint32_t number_ = 0;
};

bool Record(ConnectionLog& log, const std::string& request, const std::string& response) {
    return log.BeginRecord(request.data(), static_cast<uint32_t>(request.size())) &&
           log.Append(response.data(), static_cast<uint32_t>(response.size())) && log.Commit();
}

bool WriteLog(ConnectionLog& log, int64_t start) {
    std::string startJob;
    Put(startJob, 0, 4);
    Put(startJob, static_cast<uint64_t>(start), 8);
    startJob += std::string("bench") + '\0' + std::string(4, '\0') + "big" + '\0';
    const std::string execute = std::string("\x0d\x01\x00", 3) + '\0' + "gen" + '\0' + '\0';
    if (!log.BeginFirstHop("kv://127.0.0.1:5017") || !log.AppendHopReached("", 0) || !log.Commit() ||
        !Record(log, std::string("\x00\x01\x19", 3), startJob) || !Record(log, execute, std::string(4, '\0')))
        return false;
    Output output;
    std::string poll;
    uint32_t events = 0;
    for (uint64_t at = 0; at < Output::kSize; at += kEventBytes) {
        const size_t size = static_cast<size_t>(std::min<uint64_t>(kEventBytes, Output::kSize - at));
        const bool last = at + size == Output::kSize;
        poll += static_cast<char>(last ? 1 : 0);
        poll += '\x01';
        Put(poll, at, 8);
        Put(poll, size, 2);
        output.Next(size, poll);
        if (++events == kEventsPerPoll || last) {
            if (last) poll += std::string("\x03\x01", 2) + std::string(8, '\0') + std::string(2, '\0');
            poll += '\x0f';
            if (!Record(log, "\x1a", poll)) return false;
            poll.clear();
            events = 0;
        }
    }
    std::string endJob;
    Put(endJob, 0, 4);
    Put(endJob, static_cast<uint64_t>(start + 60 * platform::kTicksPerSecond), 8);
    Put(endJob, 0, 4);
    return Record(log, "\x05\x01", endJob);
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: build_log_bench OUTPUT.xml\n");
        return 1;
    }
    const int64_t start = platform::LocalFileTimeNow();
    ConnectionLog log;
    if (!log.Create("bench") || !log.Start("bench", 0)) return 1;
    if (!WriteLog(log, start)) return 1;
    TempLog* file = log.HandOver();
    BuildLogWriter writer(8192 - 100);
    if (!writer.AddConnection(file, false)) return 1;
    std::FILE* out = std::fopen(argv[1], "w+b");
    if (out == nullptr) return 1;
    const long before = PeakKib();

    BuildLogSettings settings;
    settings.start = LocalTime{start, platform::TimeZoneBiasMinutes()};
    const auto began = std::chrono::steady_clock::now();
    const bool generated = writer.Generate(out, settings);
    const auto ended = std::chrono::steady_clock::now();
    const long documentBytes = std::ftell(out);
    std::fclose(out);
    writer.CleanUp();
    std::printf("output_bytes %u\noutput_lines %u\ndocument_bytes %ld\n", kLines * kLineBytes, kLines, documentBytes);
    std::printf("generate_seconds %.3f\npeak_rss_kib_before_generate %ld\npeak_rss_kib %ld\n", Seconds(ended - began),
                before, PeakKib());
    return generated ? 0 : 1;
}
