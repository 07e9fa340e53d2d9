// The output archive's producer: the writer runs on its own thread with
// synchronous file reads, and each piece it makes waits in a short queue
// until an OutputTransfer request takes it.
#include "agent/output_archive.h"


#include <cstring>
#include <new>

#include "agent/os/errors.h"
#include "agent/os/files.h"
#include "agent/work_paths.h"

namespace kestrel::agent {

namespace {

void WriterFailed(void*) {
    // The writer runs synchronously: failures come back as results.
}

}  // namespace

OutputArchive::~OutputArchive() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        cancelled_ = true;
    }
    changed_.notify_all();
    platform::JoinThread(producer_);
    writer_.Close();
}

bool OutputArchive::Start(const std::vector<OutputPath>& paths, int areaFd, const std::string& encoding,
                          const std::string& separator, int& error) {
    paths_ = &paths;
    areaFd_ = areaFd;
    encoding_ = encoding;
    separator_ = separator;
    started = true;
    return platform::StartThread(producer_, ProducerMain, this, error);
}

void OutputArchive::ProducerMain(void* context) {
    static_cast<OutputArchive*>(context)->Produce();
}

void OutputArchive::Produce() {
    PaxgzWriterConfig config;
    config.context = this;
    config.nextEntry = NextEntry;
    config.write = Write;
    config.failed = WriterFailed;
    config.staging = staging_;
    config.stagingSize = sizeof staging_;
    config.output = output_;
    config.outputSize = sizeof output_;
    config.encoding = encoding_.c_str();
    config.separator = reinterpret_cast<const uint8_t*>(separator_.data());
    config.separatorLength = static_cast<uint32_t>(separator_.size());
    // With synchronous reads and writes Start runs the whole archive.
    const bool written = writer_.Start(config) && writer_.Finished();
    {
        std::lock_guard<std::mutex> hold(lock_);
        done_ = true;
        failed_ = !written && !cancelled_;
    }
    changed_.notify_all();
}

bool OutputArchive::NextEntry(void* context, PaxgzEntry& entry, platform::FileHandle& file, bool& haveEntry,
                              int32_t& error) {
    auto& archive = *static_cast<OutputArchive*>(context);
    file = platform::kNoFile;
    if (archive.nextPath_ >= archive.paths_->size()) {
        haveEntry = false;
        return true;
    }
    const OutputPath& path = (*archive.paths_)[archive.nextPath_++];
    int code = 0;
    int opened = -1;
    // Non-blocking, so that a FIFO put in an output's place cannot stall us.
    if (!os::OpenForReadingBeneath(archive.areaFd_, path.components, opened, code)) {
        archive.failedPath_ = JoinUtf8(path.components);
        error = code;
        return false;
    }
    os::EntryStatus status;
    if (!os::StatDescriptor(opened, status, code) || status.kind == os::EntryKind::Other) {
        archive.failedPath_ = JoinUtf8(path.components);
        error = code != 0 ? code : os::kErrorInvalid;
        os::CloseDescriptor(opened);
        return false;
    }
    entry = PaxgzEntry{};
    entry.directory = reinterpret_cast<const uint8_t*>(path.directoryPart.data());
    entry.directoryLength = static_cast<uint32_t>(path.directoryPart.size());
    entry.name = reinterpret_cast<const uint8_t*>(path.namePart.data());
    entry.nameLength = static_cast<uint32_t>(path.namePart.size());
    entry.kind = status.kind == os::EntryKind::Directory ? PaxgzEntryKind::kDirectory : PaxgzEntryKind::kRegularFile;
    entry.size = status.kind == os::EntryKind::RegularFile ? status.size : 0;
    entry.modifiedSeconds = status.modifiedSeconds;
    entry.modifiedNanoseconds = status.modifiedNanoseconds;
    if (entry.size > 0) {
        file = platform::FileHandle{opened};
    } else {
        os::CloseDescriptor(opened);
    }
    haveEntry = true;
    return true;
}

PaxgzWriteResult OutputArchive::Write(void* context, const uint8_t* bytes, uint32_t count, int32_t& error) {
    auto& archive = *static_cast<OutputArchive*>(context);
    std::unique_lock<std::mutex> hold(archive.lock_);
    archive.changed_.wait(hold, [&] { return archive.cancelled_ || archive.pieces_.size() < kPiecesAhead; });
    if (archive.cancelled_) {
        error = os::kErrorCancelled;
        return PaxgzWriteResult::kFailed;
    }
    OutputPiece piece;
    piece.bytes.reset(new (std::nothrow) uint8_t[count > 0 ? count : 1]);
    if (!piece.bytes) {
        error = os::kErrorNoMemory;
        return PaxgzWriteResult::kFailed;
    }
    std::memcpy(piece.bytes.get(), bytes, count);
    piece.length = count;
    archive.pieces_.push_back(std::move(piece));
    hold.unlock();
    archive.changed_.notify_all();
    return PaxgzWriteResult::kCompleted;
}

OutputArchive::Next OutputArchive::TakePiece(OutputPiece& piece, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> hold(lock_);
    // A piece is the last one when the writer finished with nothing behind it;
    // a failure drops the piece that would have gone out with it.
    const auto known = [&] { return pieces_.size() >= 2 || done_; };
    if (!changed_.wait_for(hold, wait, known)) return Next::kWaiting;
    if (failed_) return Next::kFailed;
    if (pieces_.empty()) {
        piece = OutputPiece{};
        return Next::kLastPiece;
    }
    piece = std::move(pieces_.front());
    pieces_.pop_front();
    const bool last = done_ && pieces_.empty();
    hold.unlock();
    changed_.notify_all();
    return last ? Next::kLastPiece : Next::kPiece;
}

std::string OutputArchive::Describe() const {
    std::string text = writer_.Describe(0) != nullptr ? writer_.Describe(0) : "archive error";
    if (const char* detail = writer_.Describe(1)) text += std::string(": ") + detail;
    if (!failedPath_.empty()) text += " (" + failedPath_ + ")";
    return text;
}

}  // namespace kestrel::agent
