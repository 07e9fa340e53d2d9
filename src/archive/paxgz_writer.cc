#include "archive/paxgz_writer.h"

#include <cstring>
#include <new>
#include <utility>

#include "platform/cpu.h"
#include "platform/files.h"
#include "platform/system_errors.h"
#include "runtime/error_codes.h"
#include "runtime/format.h"

namespace kestrel {

namespace {

constexpr const char* kKindTexts[] = {
    "creating paxgz headers failed", "compression failed",    "file read failed",
    "archive write failed",          "file creation failed",  "file open failed",
    "archive request failed",        "file request failed",   "invalid paxgz writer state",
};

constexpr const char* kHeaderDetailTexts[] = {
    "global header allocation failed",        "encoding name length too long",
    "too much extended header data required", "extended header value allocation failed",
    "ustar header passed an invalid chksum",  "ustar header passed an invalid size",
    "current extended header value invalid",
};

// A file that shrinks or grows while it is read would leave data that
// disagree with the size already written into its header.
constexpr const char* kFileChangedText = "file changed size while it was read";

constexpr uint32_t kMaxEncodingLength = 256;
constexpr uint32_t kTrailerBytes = 2 * kTarBlockSize;
constexpr uint32_t kNanosecondsPerSecond = 1'000'000'000;
constexpr uint32_t kGzipTrailerBytes = 8;

constexpr uint64_t RoundUpToBlock(uint64_t bytes) {
    return (bytes + kTarBlockSize - 1) / kTarBlockSize * kTarBlockSize;
}

uint32_t Smaller(uint64_t a, uint32_t b) { return a < b ? static_cast<uint32_t>(a) : b; }

}  // namespace

PaxgzWriter::PaxgzWriter() : slots_(slotMemory_, kDeflateLayout) {}

PaxgzWriter::~PaxgzWriter() { Close(); }

const char* PaxgzWriter::KindDescription(uint32_t kind) {
    if (kind < sizeof(kKindTexts) / sizeof(kKindTexts[0])) return kKindTexts[kind];
    return "unknown paxgz writer error";
}

const char* PaxgzWriter::Describe(uint32_t index) const {
    if (index == 0) return KindDescription(errorKind_);
    if (index != 1) return nullptr;
    if (errorKind_ == static_cast<uint32_t>(PaxgzWriterError::kHeaders)) {
        if (errorDetail_ < sizeof(kHeaderDetailTexts) / sizeof(kHeaderDetailTexts[0])) {
            return kHeaderDetailTexts[errorDetail_];
        }
        return "unknown failure";
    }
    return errorText_;
}

bool PaxgzWriter::Fail(PaxgzWriterError kind, int32_t code, uint32_t detail, const char* text) {
    if (phase_ == Phase::kFailed) return false;  // the first failure is the one reported
    phase_ = Phase::kFailed;
    waiting_ = Waiting::kNothing;
    errorKind_ = static_cast<uint32_t>(kind);
    errorDetail_ = detail;
    errorCode_ = code;
    errorText_ = text;
    return false;
}

bool PaxgzWriter::FailHeaders(PaxgzHeaderDetail detail) {
    const int32_t code = detail == PaxgzHeaderDetail::kHeaderState ? kErrorInvalidValue : kErrorNotEnoughMemory;
    return Fail(PaxgzWriterError::kHeaders, code, static_cast<uint32_t>(detail));
}

bool PaxgzWriter::Start(const PaxgzWriterConfig& config) {
    if (phase_ != Phase::kIdle) return Fail(PaxgzWriterError::kInvalidState, kErrorInvalidValue);
    config_ = config;
    if (config.nextEntry == nullptr || config.write == nullptr || config.staging == nullptr ||
        config.output == nullptr || config.stagingSize == 0 || config.stagingSize % kTarBlockSize != 0 ||
        config.outputSize == 0) {
        return Fail(PaxgzWriterError::kInvalidState, kErrorInvalidValue);
    }
    static constexpr uint8_t kSlash = '/';
    if (config.separator != nullptr && config.separatorLength > 0) {
        separator_ = config.separator;
        separatorLength_ = config.separatorLength;
    } else {
        separator_ = &kSlash;
        separatorLength_ = 1;
    }

    slots_.Attach(stream_);
    const int result = deflateInit2(&stream_, 6, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
    if (result != Z_OK) return Fail(PaxgzWriterError::kCompression, result, 0, stream_.msg);
    streamReady_ = true;
    stream_.next_out = config_.output;
    stream_.avail_out = config_.outputSize;
    stage_ = config_.staging;
    stageSize_ = config_.stagingSize;

    if (!BuildGlobalHeader()) return false;
    phase_ = Phase::kNextEntry;
    return Produce();
}

// ---- headers ----

bool PaxgzWriter::BuildGlobalHeader() {
    const bool hasEncoding = config_.encoding != nullptr;
    const bool hasSeparator = config_.separator != nullptr && config_.separatorLength > 0;
    if (!hasEncoding && !hasSeparator) return true;
    const size_t encodingLength = hasEncoding ? std::strlen(config_.encoding) : 0;
    if (encodingLength > kMaxEncodingLength) return FailHeaders(PaxgzHeaderDetail::kEncodingTooLong);
    const uint64_t charsetLength = hasEncoding ? PaxRecordLength(10, encodingLength) : 0;
    const uint64_t separatorLength = hasSeparator ? PaxRecordLength(16, config_.separatorLength) : 0;
    const uint64_t total = charsetLength + separatorLength;
    if (total > UINT32_MAX / 2 || !AllocateArchiveBuffer(static_cast<uint32_t>(total), global_)) {
        return FailHeaders(PaxgzHeaderDetail::kGlobalAllocation);
    }
    if (hasEncoding) {
        const ByteRun value{reinterpret_cast<const uint8_t*>(config_.encoding), encodingLength};
        WritePaxRecord(global_.data, charsetLength, "hdrcharset", &value, 1);
    }
    if (hasSeparator) {
        const ByteRun value{config_.separator, config_.separatorLength};
        WritePaxRecord(global_.data + charsetLength, separatorLength, "x-path-separator", &value, 1);
    }
    globalLength_ = static_cast<uint32_t>(total);
    globalPending_ = true;
    return true;
}

void PaxgzWriter::ReleaseGlobal() {
    FreeArchiveBuffer(global_);
    globalLength_ = 0;
}

void PaxgzWriter::ReleaseRecords() {
    for (uint32_t i = 0; i < recordCount_; ++i) FreeArchiveBuffer(records_[i].buffer);
    recordCount_ = 0;
    recordBytes_ = 0;
}

bool PaxgzWriter::AddRecord(const char* keyword, const ByteRun* pieces, uint32_t pieceCount) {
    if (recordCount_ == kMaxRecords) return FailHeaders(PaxgzHeaderDetail::kTooManyRecords);
    uint64_t valueLength = 0;
    for (uint32_t i = 0; i < pieceCount; ++i) valueLength += pieces[i].length;
    const uint64_t length = PaxRecordLength(std::strlen(keyword), valueLength);
    Record& record = records_[recordCount_];
    if (length > UINT32_MAX / 2 || !AllocateArchiveBuffer(static_cast<uint32_t>(length), record.buffer)) {
        return FailHeaders(PaxgzHeaderDetail::kRecordAllocation);
    }
    WritePaxRecord(record.buffer.data, length, keyword, pieces, pieceCount);
    record.length = static_cast<uint32_t>(length);
    recordBytes_ += length;
    ++recordCount_;
    return true;
}

bool PaxgzWriter::AddNumberRecord(const char* keyword, uint64_t value) {
    uint8_t digits[20];
    const ByteRun run{digits, WriteDecimal(digits, value)};
    return AddRecord(keyword, &run, 1);
}

bool PaxgzWriter::AddTimeRecord(const char* keyword, uint64_t seconds, uint32_t nanoseconds) {
    uint8_t text[32];
    const ByteRun run{text, WritePaxTime(text, seconds, nanoseconds)};
    return AddRecord(keyword, &run, 1);
}

bool PaxgzWriter::BuildEntryHeaders(const PaxgzEntry& source) {
    ReleaseRecords();
    PaxgzEntry entry = source;
    // Out-of-range nanoseconds would not fit nine fraction digits: carry them.
    entry.modifiedSeconds += entry.modifiedNanoseconds / kNanosecondsPerSecond;
    entry.modifiedNanoseconds %= kNanosecondsPerSecond;
    entry.accessedSeconds += entry.accessedNanoseconds / kNanosecondsPerSecond;
    entry.accessedNanoseconds %= kNanosecondsPerSecond;

    uint8_t* block = ustarBlock_;
    std::memset(block, 0, kTarBlockSize);
    if (NeedsPathRecord(entry.directory, entry.directoryLength, entry.name, entry.nameLength)) {
        const bool hasDirectory = entry.directoryLength > 0;
        const ByteRun pieces[3] = {
            {entry.directory, hasDirectory ? entry.directoryLength : 0u},
            {separator_, hasDirectory ? separatorLength_ : 0u},
            {entry.name, entry.nameLength},
        };
        if (!AddRecord("path", pieces, 3)) return false;
    } else {
        if (entry.nameLength > 0) std::memcpy(block + ustar::kName, entry.name, entry.nameLength);
        if (entry.directoryLength > 0) std::memcpy(block + ustar::kPrefix, entry.directory, entry.directoryLength);
    }
    std::memcpy(block + ustar::kMode, "0000777", 7);
    if (!WriteOctalField(block + ustar::kUid, 7, entry.uid) && !AddNumberRecord("uid", entry.uid)) return false;
    if (!WriteOctalField(block + ustar::kGid, 7, entry.gid) && !AddNumberRecord("gid", entry.gid)) return false;
    const uint64_t size = entry.kind == PaxgzEntryKind::kRegularFile ? entry.size : 0;
    if (!WriteOctalField(block + ustar::kSize, 11, size) && !AddNumberRecord("size", size)) return false;
    const bool plainMtime =
        entry.modifiedNanoseconds == 0 && WriteOctalField(block + ustar::kMtime, 11, entry.modifiedSeconds);
    if (!plainMtime && !AddTimeRecord("mtime", entry.modifiedSeconds, entry.modifiedNanoseconds)) return false;
    std::memset(block + ustar::kChksum, ' ', 8);
    block[ustar::kTypeflag] = static_cast<uint8_t>(TypeflagOf(entry.kind));
    std::memcpy(block + ustar::kMagic, "ustar", 6);
    std::memcpy(block + ustar::kVersion, "00", 2);
    if ((entry.accessedSeconds != 0 || entry.accessedNanoseconds != 0) &&
        !AddTimeRecord("atime", entry.accessedSeconds, entry.accessedNanoseconds)) {
        return false;
    }
    if (!WriteOctalField(block + ustar::kChksum, 6, UstarChecksum(block))) {
        return FailHeaders(PaxgzHeaderDetail::kChecksum);
    }
    block[ustar::kChksum + 7] = ' ';
    return true;
}

uint32_t PaxgzWriter::EmitRecordBytes(uint8_t* out, uint32_t count) {
    uint32_t done = 0;
    while (done < count && recordIndex_ < recordCount_) {
        const Record& record = records_[recordIndex_];
        const uint32_t piece = Smaller(record.length - recordOffset_, count - done);
        std::memcpy(out + done, record.buffer.data + recordOffset_, piece);
        done += piece;
        recordOffset_ += piece;
        if (recordOffset_ == record.length) {
            ++recordIndex_;
            recordOffset_ = 0;
        }
    }
    if (done < count) std::memset(out + done, 0, count - done);
    return count;
}

// Emits whole header blocks in state order until `room` is used up or the
// entry's headers are complete. A sequence may straddle two stagings.
bool PaxgzWriter::EmitHeaders(uint8_t* out, uint32_t room, uint32_t& used) {
    used = 0;
    for (;;) {
        const uint32_t left = room - used;
        switch (headerState_) {
        case HeaderState::kGlobalBlock:
            if (globalPending_) {
                if (left < kTarBlockSize) return true;
                if (!BuildPaxHeaderBlock(out + used, "global.hdr", 'g', globalLength_)) {
                    return FailHeaders(PaxgzHeaderDetail::kHeaderSize);
                }
                used += kTarBlockSize;
                globalOffset_ = 0;
                headerState_ = HeaderState::kGlobalData;
            } else {
                headerState_ = recordCount_ > 0 ? HeaderState::kExtendedBlock : HeaderState::kUstarBlock;
            }
            break;
        case HeaderState::kGlobalData: {
            const uint32_t padded = static_cast<uint32_t>(RoundUpToBlock(globalLength_));
            const uint32_t count = Smaller(padded - globalOffset_, left);
            const uint32_t data = globalOffset_ < globalLength_ ? Smaller(globalLength_ - globalOffset_, count) : 0;
            if (data > 0) std::memcpy(out + used, global_.data + globalOffset_, data);
            std::memset(out + used + data, 0, count - data);
            globalOffset_ += count;
            used += count;
            if (globalOffset_ < padded) return true;
            // Written once, before the first entry only.
            ReleaseGlobal();
            globalPending_ = false;
            headerState_ = recordCount_ > 0 ? HeaderState::kExtendedBlock : HeaderState::kUstarBlock;
            break;
        }
        case HeaderState::kExtendedBlock: {
            if (left < kTarBlockSize) return true;
            char name[32];
            FormatText(name, sizeof(name), "extended.{0}.hdr", {{FormatU32, &extendedCount_}});
            if (!BuildPaxHeaderBlock(out + used, name, 'x', recordBytes_)) {
                return FailHeaders(PaxgzHeaderDetail::kHeaderSize);
            }
            ++extendedCount_;
            used += kTarBlockSize;
            recordIndex_ = 0;
            recordOffset_ = 0;
            recordsEmitted_ = 0;
            headerState_ = HeaderState::kExtendedData;
            break;
        }
        case HeaderState::kExtendedData: {
            const uint64_t padded = RoundUpToBlock(recordBytes_);
            const uint32_t count = Smaller(padded - recordsEmitted_, left);
            EmitRecordBytes(out + used, count);
            recordsEmitted_ += count;
            used += count;
            if (recordsEmitted_ < padded) return true;
            headerState_ = HeaderState::kUstarBlock;
            break;
        }
        case HeaderState::kUstarBlock:
            if (left < kTarBlockSize) return true;
            std::memcpy(out + used, ustarBlock_, kTarBlockSize);
            used += kTarBlockSize;
            headerState_ = HeaderState::kComplete;
            break;
        case HeaderState::kComplete:
            return true;
        default:
            return FailHeaders(PaxgzHeaderDetail::kHeaderState);
        }
    }
}

// ---- entries and files ----

bool PaxgzWriter::TakeNextEntry() {
    PaxgzEntry entry{};
    platform::FileHandle file;
    bool haveEntry = false;
    int32_t error = 0;
    if (!config_.nextEntry(config_.context, entry, file, haveEntry, error)) {
        platform::CloseFile(file);
        return Fail(PaxgzWriterError::kFileOpen, error);
    }
    if (!haveEntry) {
        platform::CloseFile(file);
        zerosLeft_ = kTrailerBytes;
        phase_ = Phase::kTrailer;
        return true;
    }
    regularWithData_ = entry.kind == PaxgzEntryKind::kRegularFile && entry.size > 0;
    if (!regularWithData_) {
        platform::CloseFile(file);
    } else if (!file.valid()) {
        return Fail(PaxgzWriterError::kInvalidState, platform::kErrorBadHandle);
    }
    fileIo_ = IoObject{};
    // The kind decides how the handle is closed, with or without a loop.
    fileIo_.flags = kIoKindPositionalFile;
    fileIo_.handle = file;
    fileSize_ = regularWithData_ ? entry.size : 0;
    fileRead_ = 0;
    probing_ = false;
    if (regularWithData_ && config_.loop != nullptr && !RegisterFile()) return false;
    if (!BuildEntryHeaders(entry)) return false;
    headerState_ = HeaderState::kGlobalBlock;
    phase_ = Phase::kHeaders;
    return true;
}

bool PaxgzWriter::RegisterFile() {
    fileIo_.flags = kIoKindPositionalFile;
    fileIo_.owner = this;
    fileIo_.completionCallback = &PaxgzWriter::OnReadComplete;
    fileIo_.failureCallback = &PaxgzWriter::OnReadFailed;
    int32_t error = 0;
    if (!EventLoop::Register(config_.loop, &fileIo_, &error)) return Fail(PaxgzWriterError::kFileCreation, error);
    return true;
}

bool PaxgzWriter::StartFileRead() {
    uint8_t* target = stage_ + staged_;
    const uint64_t left = fileSize_ - fileRead_;
    uint32_t want = 1;
    // Once the header's size is read, one more byte must meet the end of the file.
    probing_ = left == 0;
    if (!probing_) want = Smaller(left, stageSize_ - staged_);
    if (config_.loop != nullptr) {
        fileIo_.buffer = target;
        fileIo_.length = want;
        fileIo_.fileOffsetBase = fileRead_;
        fileIo_.operation = kIoRead;
        waiting_ = Waiting::kRead;
        int32_t error = 0;
        if (!EventLoop::Start(&fileIo_, &error)) return Fail(PaxgzWriterError::kFileRequest, error);
        return true;
    }
    uint32_t transferred = 0;
    int error = 0;
    if (!platform::ReadAt(fileIo_.handle, target, want, fileRead_, transferred, error)) {
        return Fail(PaxgzWriterError::kFileRead, error);
    }
    return FileReadDone(transferred);
}

bool PaxgzWriter::FileReadDone(uint32_t transferred) {
    if (probing_) {
        probing_ = false;
        if (transferred > 0) return Fail(PaxgzWriterError::kFileRead, platform::kErrorInputOutput, 0, kFileChangedText);
        zerosLeft_ = RoundUpToBlock(fileSize_) - fileSize_;
        phase_ = Phase::kFilePadding;
        return true;
    }
    if (transferred == 0) return Fail(PaxgzWriterError::kFileRead, platform::kErrorInputOutput, 0, kFileChangedText);
    staged_ += transferred;
    fileRead_ += transferred;
    bytesRead_ += transferred;
    if (config_.progress != nullptr) config_.progress(config_.context, bytesRead_);
    return true;
}

void PaxgzWriter::CloseCurrentFile() { EventLoop::Discard(&fileIo_); }

void PaxgzWriter::OnReadComplete(IoObject* object) {
    auto* self = static_cast<PaxgzWriter*>(object->owner);
    self->waiting_ = Waiting::kNothing;
    if (!self->FileReadDone(object->position) || !self->Produce()) {
        if (self->config_.failed != nullptr) self->config_.failed(self->config_.context);
    }
}

void PaxgzWriter::OnReadFailed(IoObject* object, int32_t error) {
    auto* self = static_cast<PaxgzWriter*>(object->owner);
    self->Fail(PaxgzWriterError::kFileRead, error);
    // Inside Start the direct call reports it by its result.
    if (!self->producing_ && self->config_.failed != nullptr) self->config_.failed(self->config_.context);
}

// ---- compression and hand-over ----

void PaxgzWriter::StageZeros(uint64_t& remaining) {
    const uint32_t count = Smaller(remaining, stageSize_ - staged_);
    std::memset(stage_ + staged_, 0, count);
    staged_ += count;
    remaining -= count;
}

bool PaxgzWriter::Compress(int flush) {
    const int result = deflate(&stream_, flush);
    if (result == Z_STREAM_END) {
        phase_ = Phase::kLastWrite;
        return true;
    }
    if (result != Z_OK && result != Z_BUF_ERROR) {
        return Fail(PaxgzWriterError::kCompression, result, 0, stream_.msg);
    }
    // A flush is complete once it leaves output room.
    const bool inputDone =
        stream_.avail_in == 0 && (flush == Z_NO_FLUSH || (flush == Z_SYNC_FLUSH && stream_.avail_out != 0));
    if (stream_.avail_out == 0) {
        outputFull_ = true;  // a buffer error means the same: no room to progress
    } else if (result == Z_BUF_ERROR && !inputDone) {
        return Fail(PaxgzWriterError::kCompression, result, 0, stream_.msg);
    }
    if (inputDone) {
        compressing_ = false;
        staged_ = 0;
        // The workers may be refused (memory, threads): this stream goes on then.
        if (flush == Z_SYNC_FLUSH) StartParallel();
    }
    return true;
}

void PaxgzWriter::BeginCompression() {
    stream_.next_in = stage_;
    stream_.avail_in = stageSize_;
    compressing_ = true;
    ownDeflateBytes_ += stageSize_;
    compressFlush_ = SwitchesToParallel() ? Z_SYNC_FLUSH : Z_NO_FLUSH;
}

// ---- compression on worker threads ----

bool PaxgzWriter::SwitchesToParallel() {
    const PaxgzParallelConfig& parallel = config_.parallel;
    if (parallelTried_ || parallel.from == 0 || ownDeflateBytes_ < parallel.from) return false;
    parallelTried_ = true;
    if (parallel.pieceSize % kTarBlockSize != 0 || parallel.pieceSize < ParallelDeflate::kWindowBytes) return false;
    if (parallel.workers != 0) return true;
    return platform::ProcessorCount() > 1;
}

// After the sync flush that ends this stream's share: the workers continue
// from its window, CRC and length.
bool PaxgzWriter::StartParallel() {
    uint32_t workers = config_.parallel.workers;
    if (workers == 0) workers = platform::ProcessorCount();
    uint8_t window[ParallelDeflate::kWindowBytes];
    uInt windowLength = sizeof(window);
    if (deflateGetDictionary(&stream_, window, &windowLength) != Z_OK) return false;
    std::unique_ptr<ParallelDeflate> engine(new (std::nothrow) ParallelDeflate);
    if (engine == nullptr || !engine->Start(workers, config_.parallel.pieceSize, window, windowLength,
                                            static_cast<uint32_t>(stream_.adler), ownDeflateBytes_)) {
        return false;
    }
    parallel_ = std::move(engine);
    wentParallel_ = true;
    stage_ = nullptr;
    stageSize_ = parallel_->PieceSize();
    staged_ = 0;
    return true;
}

uint32_t PaxgzWriter::CopyToOutput(const uint8_t* bytes, uint32_t count) {
    const uint32_t copied = count < stream_.avail_out ? count : stream_.avail_out;
    std::memcpy(stream_.next_out, bytes, copied);
    stream_.next_out += copied;
    stream_.avail_out -= copied;
    if (stream_.avail_out == 0) outputFull_ = true;
    return copied;
}

// Compressed pieces go out first, as soon as they are ready; the caller waits
// for the oldest only when no piece is left to fill, or the input is done.
bool PaxgzWriter::ParallelStep() {
    if (!finishing_ && stage_ == nullptr) {
        stage_ = parallel_->Acquire();
        staged_ = 0;
    }
    const bool canStage = !finishing_ && stage_ != nullptr;
    const ParallelDeflate::Output piece = parallel_->Oldest(!canStage);
    if (piece.failed) return Fail(PaxgzWriterError::kCompression, piece.error);
    if (piece.count > 0) {
        parallel_->Consume(CopyToOutput(piece.bytes, piece.count));
        return true;
    }
    if (!canStage) return WriteParallelTrailer();
    const bool full = staged_ == stageSize_;
    if (full || phase_ == Phase::kFinish) {
        // The last piece may be empty when the trailer filled the one before.
        const bool last = !full;
        parallel_->Submit(staged_, last);
        stage_ = nullptr;
        staged_ = 0;
        finishing_ = last;
        return true;
    }
    return StageInput();
}

// Every piece is drained: the member's CRC-32 and length, little-endian.
bool PaxgzWriter::WriteParallelTrailer() {
    uint8_t trailer[kGzipTrailerBytes];
    const uint32_t fields[2] = {parallel_->Crc(), static_cast<uint32_t>(parallel_->Length())};
    for (uint32_t i = 0; i < kGzipTrailerBytes; ++i) {
        trailer[i] = static_cast<uint8_t>(fields[i / 4] >> (8 * (i % 4)));
    }
    trailerOffset_ += CopyToOutput(trailer + trailerOffset_, kGzipTrailerBytes - trailerOffset_);
    if (trailerOffset_ == kGzipTrailerBytes) phase_ = Phase::kLastWrite;
    return true;
}

bool PaxgzWriter::HandOver(uint32_t count) {
    waiting_ = Waiting::kWrite;
    resumedEarly_ = false;
    int32_t error = 0;
    const PaxgzWriteResult result = config_.write(config_.context, config_.output, count, error);
    if (phase_ == Phase::kFailed) return false;  // WriteFailed() from inside the callback
    if (result == PaxgzWriteResult::kFailed) return Fail(PaxgzWriterError::kArchiveRequest, error);
    if (result == PaxgzWriteResult::kCompleted || resumedEarly_) WriteDone();
    return true;
}

void PaxgzWriter::WriteDone() {
    waiting_ = Waiting::kNothing;
    stream_.next_out = config_.output;
    stream_.avail_out = config_.outputSize;
    if (phase_ == Phase::kLastWrite) phase_ = Phase::kDone;
}

bool PaxgzWriter::Resume() {
    if (phase_ == Phase::kFailed) return false;
    if (waiting_ != Waiting::kWrite) return Fail(PaxgzWriterError::kInvalidState, kErrorInvalidValue);
    if (producing_) {
        resumedEarly_ = true;  // completed inside the write call itself
        return true;
    }
    WriteDone();
    return Produce();
}

void PaxgzWriter::WriteFailed(int32_t error) {
    Fail(PaxgzWriterError::kArchiveWrite, error);
}

// The input phases: headers, file data and padding, the archive's trailer.
bool PaxgzWriter::StageInput() {
    switch (phase_) {
    case Phase::kNextEntry:
        return TakeNextEntry();
    case Phase::kHeaders: {
        uint32_t used = 0;
        const uint32_t room = (stageSize_ - staged_) / kTarBlockSize * kTarBlockSize;
        const bool ok = EmitHeaders(stage_ + staged_, room, used);
        staged_ += used;
        if (ok && headerState_ == HeaderState::kComplete) phase_ = regularWithData_ ? Phase::kFileData : Phase::kNextEntry;
        return ok;
    }
    case Phase::kFileData:
        return StartFileRead();
    case Phase::kFilePadding:
        StageZeros(zerosLeft_);
        if (zerosLeft_ == 0) {
            CloseCurrentFile();
            phase_ = Phase::kNextEntry;
        }
        return true;
    case Phase::kTrailer:
        StageZeros(zerosLeft_);
        if (zerosLeft_ == 0) phase_ = Phase::kFinish;
        return true;
    default:
        return Fail(PaxgzWriterError::kInvalidState, kErrorInvalidValue);
    }
}

bool PaxgzWriter::Produce() {
    producing_ = true;
    bool ok = true;
    while (ok) {
        if (phase_ == Phase::kFailed) {
            ok = false;
            break;
        }
        if (waiting_ != Waiting::kNothing || phase_ == Phase::kDone) break;
        if (outputFull_) {
            outputFull_ = false;
            ok = HandOver(config_.outputSize);
            continue;
        }
        if (parallel_ != nullptr && phase_ != Phase::kLastWrite) {
            ok = ParallelStep();
            continue;
        }
        if (compressing_) {
            ok = Compress(compressFlush_);
            continue;
        }
        if (staged_ == stageSize_ && phase_ != Phase::kFinish && phase_ != Phase::kLastWrite) {
            BeginCompression();
            continue;
        }
        switch (phase_) {
        case Phase::kFinish:
            if (!finishing_) {
                finishing_ = true;
                stream_.next_in = stage_;
                stream_.avail_in = staged_;
            }
            ok = Compress(Z_FINISH);
            break;
        case Phase::kLastWrite: {
            const uint32_t count = config_.outputSize - stream_.avail_out;
            if (count == 0) {
                phase_ = Phase::kDone;
            } else {
                ok = HandOver(count);
            }
            break;
        }
        default:
            ok = StageInput();
            break;
        }
    }
    producing_ = false;
    return ok;
}

void PaxgzWriter::Close() {
    CloseCurrentFile();
    parallel_.reset();
    ReleaseRecords();
    ReleaseGlobal();
    globalPending_ = false;
    if (streamReady_) {
        deflateEnd(&stream_);
        streamReady_ = false;
    }
    waiting_ = Waiting::kNothing;
}

}  // namespace kestrel
