// ParallelDeflate: the rest of a deflate stream compressed in pieces on worker
// threads, for archives large enough that one core is the bottleneck.
//
// The caller fills pieces of uncompressed bytes in stream order and takes
// their compressed bytes back in the same order. Each piece is raw deflate at
// the archive's settings, primed with the previous 32 KiB as its dictionary
// (so the ratio stays close to one stream's) and ended with a sync flush, the
// last one with the final block; concatenated they continue the caller's
// stream. The CRC-32 of each piece is computed on its worker and joined in
// order. A fixed ring of pieces (two per worker) bounds the memory: when every
// piece is in flight, the caller drains the oldest before it fills another.
//
//   Start(workers, pieceSize, dictionary, crc, length)
//   loop: Acquire() -> fill -> Submit(length, last);  Oldest() -> Consume(n)
//   Crc(), Length()  after the last piece is drained
//   Stop()           joins the workers; also in the destructor
//
// All calls come from one thread; only the compression runs elsewhere.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include <zlib.h>

#include "archive/zlib_slots.h"
#include "platform/thread.h"

namespace kestrel {

class ParallelDeflate {
public:
    static constexpr uint32_t kMaxWorkers = 4;
    static constexpr uint32_t kPiecesPerWorker = 2;
    static constexpr uint32_t kWindowBytes = 32768;

    ParallelDeflate() = default;
    ~ParallelDeflate();
    ParallelDeflate(const ParallelDeflate&) = delete;
    ParallelDeflate& operator=(const ParallelDeflate&) = delete;

    // Starts up to `workers` threads (at most kMaxWorkers) with pieces of
    // `pieceSize` bytes (at least kWindowBytes). The stream so far ended with
    // `dictionary` (its last bytes, up to 32 KiB), has the CRC-32 `crc` and is
    // `length` bytes long. False, with nothing left running, when memory or
    // every thread is refused: the caller carries on by itself.
    bool Start(uint32_t workers, uint32_t pieceSize, const uint8_t* dictionary, uint32_t dictionaryLength,
               uint32_t crc, uint64_t length);
    void Stop();

    uint32_t PieceSize() const { return pieceSize_; }
    uint32_t WorkerCount() const { return workerCount_; }

    // The next piece to fill (PieceSize() bytes), or null while every piece
    // is in flight. Asking again before Submit returns the same piece.
    uint8_t* Acquire();
    // Queues the acquired piece with its first `length` bytes; `last` ends
    // the stream (it may be empty).
    void Submit(uint32_t length, bool last);

    struct Output {
        const uint8_t* bytes = nullptr;
        uint32_t count = 0;     // 0: nothing in flight, or not ready and not waited for
        bool failed = false;    // the piece's compression failed with zlib's `error`
        int error = 0;
    };
    // The oldest piece's compressed bytes not yet consumed. With `wait`, blocks
    // until that piece is compressed.
    Output Oldest(bool wait);
    // `count` bytes of Oldest() have been used; a piece used up is freed.
    void Consume(uint32_t count);

    // Of everything drained so far, the stream's start included.
    uint32_t Crc() const { return crc_; }
    uint64_t Length() const { return length_; }

private:
    enum class PieceState : uint8_t { kFree, kFilling, kQueued, kDone };
    struct Piece {
        uint8_t* input = nullptr;
        uint8_t* output = nullptr;
        uint8_t* dictionary = nullptr;
        uint32_t length = 0;
        uint32_t dictionaryLength = 0;
        uint32_t outputLength = 0;
        uint32_t consumed = 0;
        uint32_t crc = 0;
        int error = 0;
        bool last = false;
        PieceState state = PieceState::kFree;
    };
    struct Worker {
        Worker() : slots(slotMemory, kDeflateLayout) {}
        ParallelDeflate* owner = nullptr;
        platform::ThreadHandle thread;
        z_stream stream{};
        bool streamReady = false;
        DeflateSlots slots;
        alignas(64) uint8_t slotMemory[kDeflateSlotBytes];
    };

    bool AllocatePieces(uint32_t count);
    bool StartWorkers(uint32_t count);
    void Release();
    static void WorkerMain(void* context);
    void RunWorker(Worker& worker);
    void CompressPiece(Worker& worker, Piece& piece) const;
    Piece& PieceAt(uint64_t sequence) { return pieces_[sequence % pieceCount_]; }

    uint32_t pieceSize_ = 0;
    uint32_t outputCapacity_ = 0;
    Piece* pieces_ = nullptr;
    uint8_t* memory_ = nullptr;
    uint32_t pieceCount_ = 0;
    Worker* workers_ = nullptr;
    uint32_t workerCapacity_ = 0;  // records allocated
    uint32_t workerCount_ = 0;     // threads running

    // The next piece's dictionary: the end of the piece submitted before it.
    const uint8_t* previousTail_ = nullptr;
    uint32_t previousTailLength_ = 0;

    // Sequence numbers: pieces handed out to fill, submitted, taken by a
    // worker, drained by the caller.
    uint64_t acquired_ = 0;
    uint64_t submitted_ = 0;
    uint64_t taken_ = 0;
    uint64_t drained_ = 0;
    uint32_t crc_ = 0;
    uint64_t length_ = 0;

    std::mutex lock_;
    std::condition_variable workQueued_;
    std::condition_variable pieceDone_;
    bool stopping_ = false;
};

}  // namespace kestrel
