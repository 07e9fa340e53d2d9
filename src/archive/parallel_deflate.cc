#include "archive/parallel_deflate.h"

#include <cstring>
#include <new>

namespace kestrel {

namespace {

// The archive's deflate settings, without a wrapper: the caller's stream has
// written the header and writes the trailer.
constexpr int kLevel = 6;
constexpr int kRawWindowBits = -15;
constexpr int kMemoryLevel = 9;
// A sync flush adds an empty stored block to what a finished piece may take.
constexpr uint32_t kFlushMarkerRoom = 16;

}  // namespace

ParallelDeflate::~ParallelDeflate() { Stop(); }

bool ParallelDeflate::Start(uint32_t workers, uint32_t pieceSize, const uint8_t* dictionary,
                            uint32_t dictionaryLength, uint32_t crc, uint64_t length) {
    if (workers_ != nullptr || workers == 0 || pieceSize < kWindowBytes) return false;
    if (workers > kMaxWorkers) workers = kMaxWorkers;
    pieceSize_ = pieceSize;
    outputCapacity_ = static_cast<uint32_t>(deflateBound(nullptr, pieceSize)) + kFlushMarkerRoom;
    crc_ = crc;
    length_ = length;
    acquired_ = submitted_ = taken_ = drained_ = 0;
    stopping_ = false;
    if (!AllocatePieces(workers * kPiecesPerWorker) || !StartWorkers(workers)) {
        Stop();
        return false;
    }
    // The first piece continues the caller's stream: its end is the dictionary.
    previousTailLength_ = dictionaryLength > kWindowBytes ? kWindowBytes : dictionaryLength;
    std::memcpy(pieces_[0].dictionary, dictionary + dictionaryLength - previousTailLength_, previousTailLength_);
    previousTail_ = pieces_[0].dictionary;
    return true;
}

bool ParallelDeflate::AllocatePieces(uint32_t count) {
    const uint64_t each = static_cast<uint64_t>(pieceSize_) + outputCapacity_ + kWindowBytes;
    pieces_ = new (std::nothrow) Piece[count];
    memory_ = new (std::nothrow) uint8_t[each * count];
    if (pieces_ == nullptr || memory_ == nullptr) return false;
    pieceCount_ = count;
    for (uint32_t i = 0; i < count; ++i) {
        Piece& piece = pieces_[i];
        piece.input = memory_ + each * i;
        piece.output = piece.input + pieceSize_;
        piece.dictionary = piece.output + outputCapacity_;
    }
    return true;
}

bool ParallelDeflate::StartWorkers(uint32_t count) {
    workers_ = new (std::nothrow) Worker[count];
    if (workers_ == nullptr) return false;
    workerCapacity_ = count;
    for (uint32_t i = 0; i < count; ++i) {
        Worker& worker = workers_[i];
        worker.owner = this;
        worker.slots.Attach(worker.stream);
        if (deflateInit2(&worker.stream, kLevel, Z_DEFLATED, kRawWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY) !=
            Z_OK) {
            break;
        }
        worker.streamReady = true;
        int error = 0;
        if (!platform::StartThread(worker.thread, &ParallelDeflate::WorkerMain, &worker, error)) break;
        ++workerCount_;
    }
    // Fewer workers than asked for still help; none do not.
    return workerCount_ > 0;
}

void ParallelDeflate::Stop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    workQueued_.notify_all();
    if (workers_ != nullptr) {
        for (uint32_t i = 0; i < workerCount_; ++i) platform::JoinThread(workers_[i].thread);
    }
    Release();
}

void ParallelDeflate::Release() {
    // Streams of workers whose thread never started are ended here too.
    for (uint32_t i = 0; i < workerCapacity_; ++i) {
        if (workers_[i].streamReady) deflateEnd(&workers_[i].stream);
    }
    delete[] workers_;
    workers_ = nullptr;
    workerCapacity_ = 0;
    workerCount_ = 0;
    delete[] pieces_;
    pieces_ = nullptr;
    delete[] memory_;
    memory_ = nullptr;
    pieceCount_ = 0;
}

uint8_t* ParallelDeflate::Acquire() {
    if (acquired_ > submitted_) return PieceAt(submitted_).input;
    if (submitted_ - drained_ >= pieceCount_) return nullptr;
    Piece& piece = PieceAt(submitted_);
    piece.state = PieceState::kFilling;
    ++acquired_;
    return piece.input;
}

void ParallelDeflate::Submit(uint32_t length, bool last) {
    Piece& piece = PieceAt(submitted_);
    // The previous piece is still intact: its slot is handed out again only
    // after this one is submitted.
    if (previousTail_ != piece.dictionary) std::memcpy(piece.dictionary, previousTail_, previousTailLength_);
    piece.dictionaryLength = previousTailLength_;
    piece.length = length;
    piece.last = last;
    piece.consumed = 0;
    piece.outputLength = 0;
    piece.error = 0;
    previousTailLength_ = length < kWindowBytes ? length : kWindowBytes;
    previousTail_ = piece.input + length - previousTailLength_;
    {
        std::lock_guard<std::mutex> hold(lock_);
        piece.state = PieceState::kQueued;
        ++submitted_;
    }
    workQueued_.notify_one();
}

ParallelDeflate::Output ParallelDeflate::Oldest(bool wait) {
    Output output;
    if (drained_ == submitted_) return output;
    Piece& piece = PieceAt(drained_);
    {
        std::unique_lock<std::mutex> hold(lock_);
        if (piece.state != PieceState::kDone && !wait) return output;
        pieceDone_.wait(hold, [&piece] { return piece.state == PieceState::kDone; });
    }
    if (piece.error != 0) {
        output.failed = true;
        output.error = piece.error;
        return output;
    }
    output.bytes = piece.output + piece.consumed;
    output.count = piece.outputLength - piece.consumed;
    return output;
}

void ParallelDeflate::Consume(uint32_t count) {
    Piece& piece = PieceAt(drained_);
    piece.consumed += count;
    if (piece.consumed < piece.outputLength) return;
    crc_ = static_cast<uint32_t>(crc32_combine(crc_, piece.crc, static_cast<z_off_t>(piece.length)));
    length_ += piece.length;
    piece.state = PieceState::kFree;
    ++drained_;
}

void ParallelDeflate::WorkerMain(void* context) {
    auto* worker = static_cast<Worker*>(context);
    worker->owner->RunWorker(*worker);
}

void ParallelDeflate::RunWorker(Worker& worker) {
    for (;;) {
        Piece* piece = nullptr;
        {
            std::unique_lock<std::mutex> hold(lock_);
            workQueued_.wait(hold, [this] { return stopping_ || taken_ < submitted_; });
            if (stopping_) return;
            piece = &PieceAt(taken_++);
        }
        CompressPiece(worker, *piece);
        {
            std::lock_guard<std::mutex> hold(lock_);
            piece->state = PieceState::kDone;
        }
        pieceDone_.notify_all();
    }
}

void ParallelDeflate::CompressPiece(Worker& worker, Piece& piece) const {
    z_stream& stream = worker.stream;
    int result = deflateReset(&stream);
    if (result == Z_OK && piece.dictionaryLength > 0) {
        result = deflateSetDictionary(&stream, piece.dictionary, piece.dictionaryLength);
    }
    if (result != Z_OK) {
        piece.error = result;
        return;
    }
    stream.next_in = piece.input;
    stream.avail_in = piece.length;
    stream.next_out = piece.output;
    stream.avail_out = outputCapacity_;
    result = deflate(&stream, piece.last ? Z_FINISH : Z_SYNC_FLUSH);
    // A flush is complete when it left output room; the output area is sized
    // so that one call always does it.
    const bool complete = piece.last ? result == Z_STREAM_END
                                     : result == Z_OK && stream.avail_in == 0 && stream.avail_out > 0;
    if (!complete) piece.error = result == Z_OK || result == Z_STREAM_END ? Z_BUF_ERROR : result;
    piece.outputLength = outputCapacity_ - stream.avail_out;
    piece.crc = static_cast<uint32_t>(crc32(0, piece.input, piece.length));
}

}  // namespace kestrel
