#include "logs/log_spool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logs/build_log_records.h"
#include "runtime/temp_files.h"

namespace kestrel {

namespace {

constexpr size_t kFirstCapacity = 512;
constexpr uint32_t kCopyChunk = 4096;

}  // namespace

bool LogSpool::Begin(BuildLogConnection& connection, JobRecord& owner, const char* kind) {
    Release();
    connection_ = &connection;
    owner_ = &owner;
    kind_ = kind;
    if (connection.allowance->perSpool > 0) return true;
    if (Spill()) return true;
    owner_ = nullptr;
    return false;
}

// Moves the spool into a temporary file, making room for it within the
// connection's open-file limit first.
bool LogSpool::Spill() {
    BuildLogConnection& c = *connection_;
    MakeRoom(c, owner_, 1);
    file_ = CreateJobFile(*owner_, kind_);
    if (file_ == nullptr) return false;
    if (owner_->filesOpen) c.openFiles += 1;
    const bool written = length_ == 0 || std::fwrite(bytes_, 1, length_, file_->stream) == length_;
    c.allowance->used -= capacity_;
    std::free(bytes_);
    bytes_ = nullptr;
    length_ = capacity_ = 0;
    return written;
}

bool LogSpool::Write(const void* bytes, size_t count) {
    if (owner_ == nullptr) return false;
    if (count == 0) return true;
    if (file_ == nullptr && length_ + count > capacity_) {
        SpoolAllowance& allowance = *connection_->allowance;
        size_t grown = capacity_ == 0 ? kFirstCapacity : capacity_ * 2;
        while (grown < length_ + count) grown *= 2;
        const bool fits = grown <= allowance.perSpool && allowance.used - capacity_ + grown <= allowance.total;
        auto* larger = fits ? static_cast<uint8_t*>(std::realloc(bytes_, grown)) : nullptr;
        if (larger != nullptr) {
            allowance.used += grown - capacity_;
            bytes_ = larger;
            capacity_ = grown;
        } else if (!Spill()) {
            return false;
        }
    }
    if (file_ != nullptr) {
        // Written only while the owner's files are open (the records use it first).
        if (file_->stream == nullptr) return false;
        return std::fwrite(bytes, 1, count, file_->stream) == count;
    }
    std::memcpy(bytes_ + length_, bytes, count);
    length_ += count;
    return true;
}

bool LogSpool::CopyInto(XmlWriter& to) {
    if (file_ == nullptr) return to.Raw(bytes_, length_).ok();
    std::FILE* stream = file_->stream;
    if (stream == nullptr || std::fflush(stream) != 0 || std::fseek(stream, 0, SEEK_SET) != 0) return false;
    char chunk[kCopyChunk];
    size_t count;
    while ((count = std::fread(chunk, 1, sizeof chunk, stream)) > 0) to.Raw(chunk, count);
    return std::ferror(stream) == 0 && to.ok();
}

void LogSpool::Release() {
    if (file_ != nullptr) TempFileTable::Delete(file_);
    file_ = nullptr;
    if (bytes_ != nullptr) connection_->allowance->used -= capacity_;
    std::free(bytes_);
    bytes_ = nullptr;
    length_ = capacity_ = 0;
    owner_ = nullptr;
}

}  // namespace kestrel
