// The details of every job (commands, parameters, output lines, events,
// outputs, errors) written to a temporary file as they are read, one JSON
// array of tagged strings per job. The page carries the file's content and
// parses one job's array when that job is opened; the reader's memory stays
// the same whatever the output's size.
//
// Tags (the first character of each string):
//   C executable (starts a command)  D directory  P parameter
//   o a standard output line  e a standard error line
//   R the command's end or a failure of it  F the command failed
//   V an environment setting  O an output file  N an error of the job
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace kestrel::report {

class DetailsWriter {
public:
    DetailsWriter() = default;
    ~DetailsWriter();
    DetailsWriter(const DetailsWriter&) = delete;
    DetailsWriter& operator=(const DetailsWriter&) = delete;

    // Opens the temporary file (deleted when closed); false with a message.
    bool Open(std::string& message);

    void BeginJob();
    void Add(char tag, std::string_view text);
    // Ends the job's array; its place in the file.
    void EndJob(uint64_t& offset, uint64_t& length);

    // False once a write failed.
    bool Good() const { return good_; }
    // Copies the whole file to `out`; false when reading or writing failed.
    bool CopyTo(std::FILE* out);

private:
    void Flush();

    std::FILE* file_ = nullptr;
    std::string buffer_;
    uint64_t written_ = 0;  // bytes flushed to the file
    uint64_t jobStart_ = 0;
    bool first_ = true;
    bool good_ = true;
};

}  // namespace kestrel::report
