// PaxgzWriter: streams entries into a paxgz archive (a tar stream of ustar and
// pax headers compressed as one gzip member) through two fixed buffers.
//
// The caller supplies the staging buffer (S bytes of tar stream, a multiple of
// 512) and the output buffer (O bytes of compressed data), an entry source and
// a destination. Every destination write carries exactly O bytes except the
// last one. File data are read with positional reads: through the event loop
// when `loop` is set (Start then has to run inside EventLoop::Run), directly
// otherwise.
//
//   Start(config)        produce until the first wait (or the end)
//   destination write -> kPending: call Resume() when it completed, or
//                        WriteFailed(error) when it failed
//   Finished()           the last block was handed over and written
//   Close()              releases everything; also after a failure
//
// Failures of a direct call are reported by its false result. A failure inside
// an event-loop completion (a file read) calls `failed` instead.
//
// Large archives (config.parallel): once `from` bytes of tar stream have gone
// through the writer's own deflate, it ends that with a sync flush and the
// rest is compressed in pieces on worker threads, staged straight into the
// pieces; the member stays one gzip member, with the CRC-32 joined from the
// pieces. Output writes keep their shape (O bytes, the last one shorter). A
// wait for a worker blocks the calling thread for at most one piece. Archives
// smaller than `from` are byte for byte what the single stream makes.
#pragma once

#include <cstdint>
#include <memory>

#include <zlib.h>

#include "archive/archive_memory.h"
#include "archive/paxgz_format.h"
#include "archive/parallel_deflate.h"
#include "archive/zlib_slots.h"
#include "eventloop/event_loop.h"

namespace kestrel {

// One entry as the source delivers it. The byte runs (in the archive's
// encoding) need to stay valid only until the source is asked again.
struct PaxgzEntry {
    const uint8_t* directory = nullptr;  // directory part, without trailing separator
    uint32_t directoryLength = 0;
    const uint8_t* name = nullptr;       // name part
    uint32_t nameLength = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t size = 0;                   // regular files only
    uint64_t modifiedSeconds = 0;        // since 1970-01-01 UTC
    uint32_t modifiedNanoseconds = 0;
    uint64_t accessedSeconds = 0;
    uint32_t accessedNanoseconds = 0;
    PaxgzEntryKind kind = PaxgzEntryKind::kRegularFile;
};

// The tar bytes from which the callers that move large archives turn to
// worker threads: below it, starting the workers costs more than it saves.
inline constexpr uint64_t kPaxgzParallelFrom = 8ull << 20;
inline constexpr uint32_t kPaxgzParallelPieceSize = 256 * 1024;

struct PaxgzParallelConfig {
    uint64_t from = 0;       // tar bytes compressed here before workers take over; 0: never
    uint32_t workers = 0;    // 0: one per core (none on a single core), at most ParallelDeflate::kMaxWorkers
    uint32_t pieceSize = kPaxgzParallelPieceSize;  // a multiple of 512, at least 32 KiB
};

enum class PaxgzWriteResult : uint8_t {
    kCompleted,  // the bytes are written; the writer carries on
    kPending,    // Resume() or WriteFailed() follows
    kFailed,     // could not be issued; `error` says why
};

struct PaxgzWriterConfig {
    EventLoop* loop = nullptr;  // null: file reads are made synchronously
    void* context = nullptr;    // handed to every callback

    // The next entry. Success with `haveEntry` false: no more entries. `file` is
    // an open handle for a regular file of non-zero size (the writer closes
    // it), none otherwise. Failure: `error` is the source's error code.
    bool (*nextEntry)(void* context, PaxgzEntry& entry, platform::FileHandle& file, bool& haveEntry,
                      int32_t& error) = nullptr;
    // Hands over `count` compressed bytes from the output buffer.
    PaxgzWriteResult (*write)(void* context, const uint8_t* bytes, uint32_t count, int32_t& error) = nullptr;
    // Optional: bytes read from files so far.
    void (*progress)(void* context, uint64_t bytesRead) = nullptr;
    // A failure inside an event-loop completion; the caller then calls Close().
    void (*failed)(void* context) = nullptr;

    uint8_t* staging = nullptr;
    uint32_t stagingSize = 0;   // S: a multiple of 512
    uint8_t* output = nullptr;
    uint32_t outputSize = 0;    // O
    const char* encoding = nullptr;       // hdrcharset of the global header (NUL-terminated), optional
    const uint8_t* separator = nullptr;   // x-path-separator, optional ("/" is used in path records then)
    uint32_t separatorLength = 0;
    PaxgzParallelConfig parallel;
};

enum class PaxgzWriterError : uint32_t {
    kHeaders = 0,          // "creating paxgz headers failed"
    kCompression = 1,      // "compression failed"
    kFileRead = 2,         // "file read failed"
    kArchiveWrite = 3,     // "archive write failed"
    kFileCreation = 4,     // "file creation failed"
    kFileOpen = 5,         // "file open failed"
    kArchiveRequest = 6,   // "archive request failed"
    kFileRequest = 7,      // "file request failed"
    kInvalidState = 8,     // "invalid paxgz writer state"
};

// Details of kHeaders (chain string 1).
enum class PaxgzHeaderDetail : uint32_t {
    kGlobalAllocation = 0,
    kEncodingTooLong = 1,
    kTooManyRecords = 2,
    kRecordAllocation = 3,
    kChecksum = 4,
    kHeaderSize = 5,
    kHeaderState = 6,
};

class PaxgzWriter {
public:
    // About 400 KiB (zlib's fixed slots live inside): allocate it on the heap.
    PaxgzWriter();
    ~PaxgzWriter();
    PaxgzWriter(const PaxgzWriter&) = delete;
    PaxgzWriter& operator=(const PaxgzWriter&) = delete;

    bool Start(const PaxgzWriterConfig& config);
    // The destination completed the write it was handed.
    bool Resume();
    // The destination's write completed with `error` (kind "archive write failed").
    void WriteFailed(int32_t error);

    bool Finished() const { return phase_ == Phase::kDone; }
    bool HasFailed() const { return phase_ == Phase::kFailed; }
    void Close();

    uint32_t ErrorKind() const { return errorKind_; }
    uint32_t ErrorDetail() const { return errorDetail_; }
    int32_t ErrorCode() const { return errorCode_; }
    // The error chain: 0 the kind's description, 1 the detail (when there is
    // one), then null.
    const char* Describe(uint32_t index) const;

    uint32_t ExtendedHeaderCount() const { return extendedCount_; }
    // Whether the workers took over the compression.
    bool WentParallel() const { return wentParallel_; }

    // Description of a writer error kind ("unknown paxgz writer error" for others).
    static const char* KindDescription(uint32_t kind);

private:
    enum class Phase : uint8_t {
        kIdle,
        kHeaders,
        kFileData,
        kFilePadding,
        kNextEntry,
        kTrailer,
        kFinish,
        kLastWrite,
        kDone,
        kFailed,
    };
    enum class Waiting : uint8_t { kNothing, kWrite, kRead };
    // The header blocks of one entry, emitted in this order.
    enum class HeaderState : uint8_t {
        kGlobalBlock,    // the global header's block, before the first entry only
        kGlobalData,     // its records, padded to whole blocks
        kExtendedBlock,  // the entry's extended header block, when it has records
        kExtendedData,   // the records, padded to whole blocks
        kUstarBlock,     // the entry's ustar header
        kComplete,
    };

    static constexpr uint32_t kMaxRecords = 9;
    struct Record {
        ArchiveBuffer buffer;
        uint32_t length;
    };

    bool Produce();
    bool Fail(PaxgzWriterError kind, int32_t code, uint32_t detail = 0, const char* text = nullptr);
    bool FailHeaders(PaxgzHeaderDetail detail);

    bool BuildGlobalHeader();
    bool BuildEntryHeaders(const PaxgzEntry& entry);
    bool AddRecord(const char* keyword, const ByteRun* pieces, uint32_t pieceCount);
    bool AddNumberRecord(const char* keyword, uint64_t value);
    bool AddTimeRecord(const char* keyword, uint64_t seconds, uint32_t nanoseconds);
    void ReleaseRecords();
    void ReleaseGlobal();
    bool EmitHeaders(uint8_t* out, uint32_t room, uint32_t& used);
    uint32_t EmitRecordBytes(uint8_t* out, uint32_t count);

    bool TakeNextEntry();
    bool RegisterFile();
    bool StartFileRead();
    bool FileReadDone(uint32_t transferred);
    void CloseCurrentFile();
    void StageZeros(uint64_t& remaining);
    bool StageInput();
    void BeginCompression();
    bool Compress(int flush);
    bool SwitchesToParallel();
    bool StartParallel();
    bool ParallelStep();
    uint32_t CopyToOutput(const uint8_t* bytes, uint32_t count);
    bool WriteParallelTrailer();
    bool HandOver(uint32_t count);
    void WriteDone();

    static void OnReadComplete(IoObject* object);
    static void OnReadFailed(IoObject* object, int32_t error);

    PaxgzWriterConfig config_{};
    const uint8_t* separator_ = nullptr;
    uint32_t separatorLength_ = 0;

    // zlib and its fixed memory.
    z_stream stream_{};
    bool streamReady_ = false;
    DeflateSlots slots_;
    alignas(64) uint8_t slotMemory_[kDeflateSlotBytes];

    // Headers.
    ArchiveBuffer global_{};
    uint32_t globalLength_ = 0;
    bool globalPending_ = false;
    uint32_t globalOffset_ = 0;
    uint8_t ustarBlock_[kTarBlockSize]{};
    Record records_[kMaxRecords]{};
    uint32_t recordCount_ = 0;
    uint64_t recordBytes_ = 0;
    uint32_t recordIndex_ = 0;   // emission cursor: record and offset within it
    uint32_t recordOffset_ = 0;
    uint64_t recordsEmitted_ = 0;
    HeaderState headerState_ = HeaderState::kGlobalBlock;
    uint32_t extendedCount_ = 0;

    // Production.
    Phase phase_ = Phase::kIdle;
    Waiting waiting_ = Waiting::kNothing;
    bool producing_ = false;
    bool resumedEarly_ = false;
    bool compressing_ = false;
    bool finishing_ = false;
    bool outputFull_ = false;
    int compressFlush_ = Z_NO_FLUSH;
    uint8_t* stage_ = nullptr;      // where tar bytes are staged: the staging buffer or a piece
    uint32_t stageSize_ = 0;
    uint32_t staged_ = 0;
    uint64_t ownDeflateBytes_ = 0;  // tar bytes handed to the writer's own deflate

    // The workers, once they took over.
    bool parallelTried_ = false;
    bool wentParallel_ = false;
    std::unique_ptr<ParallelDeflate> parallel_;
    uint32_t trailerOffset_ = 0;    // gzip trailer bytes written
    uint64_t zerosLeft_ = 0;

    // The current file; its handle is fileIo_'s, registered or not.
    bool probing_ = false;
    bool regularWithData_ = false;
    uint64_t fileSize_ = 0;
    uint64_t fileRead_ = 0;
    uint64_t bytesRead_ = 0;
    IoObject fileIo_{};

    uint32_t errorKind_ = 0;
    uint32_t errorDetail_ = 0;
    int32_t errorCode_ = 0;
    const char* errorText_ = nullptr;  // chain string 1, static
};

}  // namespace kestrel
