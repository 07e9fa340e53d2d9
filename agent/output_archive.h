// The output archive of a job while OutputTransfer requests fetch it. A
// producer thread compresses a few pieces ahead of the requests, so that the
// client unpacks one piece while the next one is made here.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "archive/paxgz_writer.h"
#include "client/wire.h"
#include "platform/thread.h"

namespace kestrel::agent {

// One path that AddOutput accepted.
struct OutputPath {
    std::vector<std::string> components;  // UTF-8, for the file system
    std::string directoryPart;            // in the machine's encoding, for the archive
    std::string namePart;
};

// The largest archive piece of one OutputTransfer response: all the payload
// but the status.
inline constexpr uint32_t kOutputPieceSize = kMaxRequestPayload - 4;

// One compressed piece, as one OutputTransfer response carries it.
struct OutputPiece {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t length = 0;
};

class OutputArchive {
public:
    // Pieces made ahead of the requests: enough to keep both ends busy, little memory.
    static constexpr size_t kPiecesAhead = 4;

    OutputArchive() = default;
    ~OutputArchive();
    OutputArchive(const OutputArchive&) = delete;
    OutputArchive& operator=(const OutputArchive&) = delete;

    // Starts the producer over `paths` below the work area `areaFd`; both
    // outlive the archive. `separator` is the machine's, in its encoding.
    // False with the system's code in `error` when the thread cannot start.
    bool Start(const std::vector<OutputPath>& paths, int areaFd, const std::string& encoding,
               const std::string& separator, int& error);

    enum class Next : uint8_t { kPiece, kLastPiece, kFailed, kWaiting };
    // Moves the next piece into `piece` once it is there and it is known
    // whether another one follows; kWaiting after `wait` without news.
    Next TakePiece(OutputPiece& piece, std::chrono::milliseconds wait);

    // After kFailed: the writer's error code and its text.
    int32_t ErrorCode() const { return writer_.ErrorCode(); }
    std::string Describe() const;

    bool started = false;   // the first OutputTransfer came
    bool finished = false;  // the last piece went out

private:
    static bool NextEntry(void* context, PaxgzEntry& entry, platform::FileHandle& file, bool& haveEntry,
                          int32_t& error);
    static PaxgzWriteResult Write(void* context, const uint8_t* bytes, uint32_t count, int32_t& error);
    static void ProducerMain(void* context);
    void Produce();

    PaxgzWriter writer_;
    const std::vector<OutputPath>* paths_ = nullptr;
    int areaFd_ = -1;
    size_t nextPath_ = 0;
    std::string failedPath_;  // the output being read when the writer failed (UTF-8)
    std::string encoding_;
    std::string separator_;
    uint8_t staging_[kMessageBufferSize];
    uint8_t output_[kOutputPieceSize];

    // Shared between the producer and the session, under lock_.
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<OutputPiece> pieces_;
    bool done_ = false;       // the writer has finished or failed
    bool failed_ = false;
    bool cancelled_ = false;  // the job ends before the archive was fetched
    platform::ThreadHandle producer_;
};

}  // namespace kestrel::agent
