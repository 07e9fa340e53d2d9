// PaxgzReader: unpacks a paxgz archive that arrives in pieces. It inflates the
// caller's input buffer into its output buffer, checks every header strictly,
// has the caller create each entry, and writes file data straight from the
// output buffer (through the event loop when `loop` is set, directly
// otherwise).
//
//   Start(config)
//   Process(count, last)  after placing `count` new bytes at the start of the
//                         input buffer (0 to just carry on); `last` marks the
//                         final piece. Returns false on failure.
//   needInput             the input buffer is consumed: supply more and call
//                         Process (also allowed from inside the callback)
//   finished              the trailer was reached (told how many inflated
//                         bytes followed it); the reader may be closed there
//   Close()
//
// Failures of a direct call are reported by its false result; a failure inside
// an event-loop completion (a file write) calls `failed` instead. Every entry
// path passes CheckEntryPath before `create` sees it.
#pragma once

#include <cstdint>

#include <zlib.h>

#include "archive/archive_memory.h"
#include "archive/paxgz_format.h"
#include "archive/safe_path.h"
#include "archive/zlib_slots.h"
#include "eventloop/event_loop.h"

namespace kestrel {

// Which entry fields an extended header supplied.
enum PaxgzRecordFlag : uint32_t {
    kPaxAtime = 0x001,
    kPaxGid = 0x002,
    kPaxGname = 0x004,
    kPaxLinkpath = 0x008,
    kPaxMtime = 0x010,
    kPaxPath = 0x020,
    kPaxSize = 0x040,
    kPaxUid = 0x080,
    kPaxUname = 0x100,
};

// What the create operation receives. Components are relative, normalized and
// checked, in the archive's encoding (UTF-16LE when `utf16`); all pointers are
// valid only during the call.
struct PaxgzReadEntry {
    const PathComponentView* components;
    uint32_t componentCount;
    bool utf16;
    PaxgzEntryKind kind;
    uint64_t size;
    uint32_t mode;
    uint32_t uid;
    uint32_t gid;
    uint64_t modifiedSeconds;
    uint32_t modifiedNanoseconds;
    uint64_t accessedSeconds;
    uint32_t accessedNanoseconds;
    const uint8_t* linkTarget;  // links only
    uint32_t linkTargetLength;
    const uint8_t* userName;
    uint32_t userNameLength;
    const uint8_t* groupName;
    uint32_t groupNameLength;
    uint32_t recordFlags;       // PaxgzRecordFlag bits
};

// The most bytes of records an extended or global header may hold, unless
// the caller sets less.
inline constexpr uint32_t kPaxgzHeaderRecordsMaximum = 1'000'000'000;
// The limit for archives that travel over the wire: a path record is at most
// one message long, so 1 MiB is generous.
inline constexpr uint32_t kPaxgzTransferHeaderRecords = 1u << 20;

struct PaxgzReaderConfig {
    EventLoop* loop = nullptr;  // null: file data are written synchronously
    void* context = nullptr;

    uint8_t* input = nullptr;   // compressed bytes, filled by the caller
    uint32_t inputSize = 0;
    uint8_t* output = nullptr;  // inflated bytes; at least 1024
    uint32_t outputSize = 0;

    // Makes the entry's file or directory. For a regular file of non-zero size
    // it returns an open handle for writing in `file` (the reader closes it);
    // otherwise `file` stays none. False with `error`: "file create failed".
    bool (*create)(void* context, const PaxgzReadEntry& entry, platform::FileHandle& file, int32_t& error) = nullptr;
    void (*needInput)(void* context) = nullptr;
    void (*progress)(void* context, uint32_t bytesWritten) = nullptr;  // optional
    void (*failed)(void* context) = nullptr;
    void (*finished)(void* context, uint32_t bytesAfterTrailer) = nullptr;
    // Optional: whether a global header's hdrcharset is acceptable (null: any).
    bool (*acceptEncoding)(void* context, const uint8_t* name, uint32_t length) = nullptr;
    // A header announcing more record bytes than this is corrupt; the reader
    // never holds more. Values above kPaxgzHeaderRecordsMaximum count as it.
    uint32_t headerRecordLimit = kPaxgzHeaderRecordsMaximum;
};

enum class PaxgzReaderError : uint32_t {
    kHeaders = 0,              // "parsing paxgz headers failed"
    kDecompression = 1,        // "decompression failed"
    kFileWrite = 2,            // "file write failed"
    kArchiveRead = 3,          // "archive read failed"
    kFileCreate = 4,           // "file create failed"
    kFileMachine = 5,          // "file machine create failed"
    kArchiveRequest = 6,       // "archive request failed"
    kArchiveMachine = 7,       // "archive machine create failed"
    kFileRequest = 8,          // "file request failed"
    kInvalidState = 9,         // "invalid archive state"
    kFileTime = 10,            // "file time set failed"
    kUnexpectedEnd = 11,       // "unexpected end of file"
};

// Details of kHeaders (chain string 1). 10 and above refuse an unsafe path.
enum class PaxgzParseDetail : uint32_t {
    kUstarHeader = 0,
    kGlobalHeader = 1,
    kExtendedHeader = 2,
    kExtendedContents = 3,
    kTrailer = 4,
    kRecordType = 5,
    kHeaderAllocation = 6,
    kEncodingTooLong = 7,
    kSeparatorTooLong = 8,
    kUnknownEncoding = 9,
    kPathAbsolute = 10,
    kPathDriveRoot = 11,
    kPathUncRoot = 12,
    kPathAboveRoot = 13,
    kPathBadComponent = 14,
    kPathEmpty = 15,
};

class PaxgzReader {
public:
    PaxgzReader();
    ~PaxgzReader();
    PaxgzReader(const PaxgzReader&) = delete;
    PaxgzReader& operator=(const PaxgzReader&) = delete;

    bool Start(const PaxgzReaderConfig& config);
    bool Process(uint32_t count, bool last);
    void Close();

    bool Finished() const { return phase_ == Phase::kEnd; }
    bool HasFailed() const { return phase_ == Phase::kFailed; }

    uint32_t ErrorKind() const { return errorKind_; }
    uint32_t ErrorDetail() const { return errorDetail_; }
    int32_t ErrorCode() const { return errorCode_; }
    // 0 the kind's description, 1 the detail (kind 0) or zlib's message (kind 1), then null.
    const char* Describe(uint32_t index) const;

    bool Utf16Names() const { return utf16_; }

    static const char* KindDescription(uint32_t kind);

private:
    enum class Phase : uint8_t {
        kIdle,
        kHeader,       // expecting a header block
        kSecondZero,   // the first trailer block was seen
        kHeaderData,   // collecting an extended or global header's records
        kFileData,     // writing a regular file's data
        kSkip,         // padding (and the data of entries that have no file)
        kGzipEnd,      // after the tar trailer: inflating to the gzip trailer and its CRC check
        kEnd,
        kFailed,
    };

    bool Run();
    bool ParseAvailable();
    bool HandleHeaderBlock(const uint8_t* block);
    bool BeginHeaderData(const uint8_t* block, char typeflag);
    bool ParseRecords();
    bool ApplyGlobalRecord(const uint8_t* keyword, uint32_t keywordLength, const uint8_t* value, uint32_t length);
    bool ApplyExtendedRecord(const uint8_t* keyword, uint32_t keywordLength, const uint8_t* value, uint32_t length);
    bool HandleEntry(const uint8_t* block, PaxgzEntryKind kind);
    bool SplitEntryPath(const uint8_t* block, uint32_t& leadingSeparators);
    bool ReadUstarFields(const uint8_t* block, PaxgzEntryKind kind, uint32_t& mode);
    bool CheckPath(PaxgzEntryKind kind, uint32_t leadingSeparators);
    PaxgzReadEntry DescribeEntry(PaxgzEntryKind kind, uint32_t mode) const;
    bool CreateEntry(const PaxgzReadEntry& entry);
    bool BuildUstarPath(const uint8_t* block);
    bool SetPathText(const uint8_t* first, uint32_t firstLength, const uint8_t* second, uint32_t secondLength);
    bool StoreBytes(ArchiveBuffer& buffer, uint32_t& length, const uint8_t* bytes, uint32_t count);
    bool WriteFileData();
    void EndFile();
    bool Inflate();

    bool Fail(PaxgzReaderError kind, int32_t code, uint32_t detail = 0, const char* text = nullptr);
    bool FailParse(PaxgzParseDetail detail, int32_t code);

    static void OnWriteComplete(IoObject* object);
    static void OnWriteFailed(IoObject* object, int32_t error);

    PaxgzReaderConfig config_{};

    z_stream stream_{};
    bool streamReady_ = false;
    bool streamEnded_ = false;
    InflateSlots slots_;
    alignas(64) uint8_t slotMemory_[kInflateSlotBytes];
    uint32_t bufferErrors_ = 0;

    Phase phase_ = Phase::kIdle;
    bool running_ = false;
    bool lastInput_ = false;
    bool inputArrived_ = false;
    bool writePending_ = false;
    bool finishedPending_ = false;
    uint64_t afterTrailer_ = 0;  // inflated bytes after the tar trailer

    // Inflated bytes: [parsePos_, outEnd_) are not yet parsed.
    uint32_t outEnd_ = 0;
    uint32_t parsePos_ = 0;

    // Archive settings from the global header.
    bool utf16_ = false;
    uint8_t separator_[3] = {'/', 0, 0};
    uint32_t separatorLength_ = 1;

    // Extended or global header data being collected.
    char headerType_ = 0;
    uint8_t smallHeader_[kTarBlockSize];
    ArchiveBuffer largeHeader_{};
    uint8_t* headerData_ = nullptr;
    uint32_t headerSize_ = 0;
    uint32_t headerFill_ = 0;
    uint64_t skipLeft_ = 0;

    // The current entry, filled by an extended header and then its ustar header.
    uint32_t flags_ = 0;
    ArchiveBuffer pathText_{};
    uint32_t pathLength_ = 0;
    uint32_t pathSplit_ = 0;     // ustar names: where the prefix ends
    ArchiveBuffer linkText_{};
    uint32_t linkLength_ = 0;
    ArchiveBuffer unameText_{};
    uint32_t unameLength_ = 0;
    ArchiveBuffer gnameText_{};
    uint32_t gnameLength_ = 0;
    uint64_t size_ = 0;
    uint32_t uid_ = 0;
    uint32_t gid_ = 0;
    uint64_t mtimeSeconds_ = 0;
    uint32_t mtimeNanoseconds_ = 0;
    uint64_t atimeSeconds_ = 0;
    uint32_t atimeNanoseconds_ = 0;
    ComponentList components_;

    // The file being written; its handle is fileIo_'s, registered or not.
    uint64_t writeLeft_ = 0;
    uint64_t fileOffset_ = 0;
    IoObject fileIo_{};

    uint32_t errorKind_ = 0;
    uint32_t errorDetail_ = 0;
    int32_t errorCode_ = 0;
    const char* errorText_ = nullptr;
};

}  // namespace kestrel
