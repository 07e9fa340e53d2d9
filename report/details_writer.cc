#include "report/details_writer.h"

#include "report/json_text.h"

namespace kestrel::report {
namespace {
constexpr size_t kFlushSize = 1 << 16;
}

DetailsWriter::~DetailsWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

bool DetailsWriter::Open(std::string& message) {
    file_ = std::tmpfile();
    if (file_ == nullptr) message = "cannot create a temporary file for the job details";
    return file_ != nullptr;
}

void DetailsWriter::BeginJob() {
    jobStart_ = written_ + buffer_.size();
    buffer_ += '[';
    first_ = true;
}

void DetailsWriter::Add(char tag, std::string_view text) {
    if (!first_) buffer_ += ',';
    first_ = false;
    std::string tagged(1, tag);
    tagged += text;
    AppendJsonString(buffer_, tagged);
    if (buffer_.size() >= kFlushSize) Flush();
}

void DetailsWriter::EndJob(uint64_t& offset, uint64_t& length) {
    buffer_ += "]\n";
    offset = jobStart_;
    length = written_ + buffer_.size() - 1 - jobStart_;
    if (buffer_.size() >= kFlushSize) Flush();
}

void DetailsWriter::Flush() {
    if (buffer_.empty()) return;
    if (good_ && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) good_ = false;
    written_ += buffer_.size();
    buffer_.clear();
}

bool DetailsWriter::CopyTo(std::FILE* out) {
    Flush();
    if (!good_ || std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0) return false;
    char chunk[1 << 16];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file_)) > 0)
        if (std::fwrite(chunk, 1, got, out) != got) return false;
    return std::ferror(file_) == 0;
}

}  // namespace kestrel::report
