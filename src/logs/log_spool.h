// What a job record gathers before it joins the document (its job log, and
// the parameters and lines of its open command): kept in memory while small,
// moved to a temporary file once it outgrows its share or the writer's
// memory allowance. A run of many small jobs then creates no file per job,
// and file systems that are slow to make and delete files do not set the pace.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

struct TempLog;
struct JobRecord;
struct BuildLogConnection;
class XmlWriter;

// The memory that the spools of one generation may hold.
struct SpoolAllowance {
    size_t perSpool = 0;  // bytes one spool keeps in memory; 0: every spool is a file
    size_t total = 0;     // bytes all spools keep in memory together
    size_t used = 0;
};

class LogSpool {
public:
    LogSpool() = default;
    ~LogSpool() { Release(); }
    LogSpool(const LogSpool&) = delete;
    LogSpool& operator=(const LogSpool&) = delete;

    // An empty spool for `owner`'s text of `kind` ("joblog", "stdout" or
    // "stderr", the kind of its file if it gets one). False when a spool
    // without memory allowance cannot create its file.
    bool Begin(BuildLogConnection& connection, JobRecord& owner, const char* kind);
    bool begun() const { return owner_ != nullptr; }

    // Appends; false when the bytes could not be kept.
    bool Write(const void* bytes, size_t count);
    // Appends everything written so far to `to`; false when it could not be read.
    bool CopyInto(XmlWriter& to);
    // The file behind the spool, once it has one.
    TempLog* file() const { return file_; }
    // Frees the memory and deletes the file.
    void Release();

private:
    bool Spill();

    BuildLogConnection* connection_ = nullptr;
    JobRecord* owner_ = nullptr;
    const char* kind_ = nullptr;
    uint8_t* bytes_ = nullptr;
    size_t length_ = 0;
    size_t capacity_ = 0;
    TempLog* file_ = nullptr;
};

}  // namespace kestrel
