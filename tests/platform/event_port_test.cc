// The event port and the preparation pipe through their portable interface:
// records from several writers arrive whole, a report never hands one
// object another's bytes (a detached object's key reused, a restarted
// read), waking works from another thread, and positional transfers land at
// their offset.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/anonymous_pipe.h"
#include "platform/event_port.h"
#include "platform/exit_gate.h"
#include "platform/process.h"
#include "platform/scratch_file.h"

namespace kestrel::platform {
namespace {

constexpr int kPatience = 10'000;  // milliseconds; Wine is slow to start threads and pipes

struct Pipe {
    FileHandle readEnd, writeEnd;
    Pipe() {
        int32_t error = 0;
        EXPECT_TRUE(CreateAnonymousPipe(readEnd, writeEnd, error)) << "error " << error;
    }
    ~Pipe() {
        CloseFile(readEnd);
        CloseFile(writeEnd);
    }
};

struct OpenPort {
    EventPort port;
    OpenPort() {
        int32_t error = 0;
        EXPECT_TRUE(port.Open(error)) << "error " << error;
    }
};

PortTransfer ReadOf(FileHandle stream, void* data, uint32_t length) {
    return PortTransfer{PortTarget::kStream, false, stream.native, data, length, 0};
}

// Waits until the port reports `key`.
bool AwaitKey(EventPort& port, uint32_t key) {
    for (int waited = 0; waited < kPatience; waited += 100) {
        uint32_t keys[8];
        PortReports reports;
        int32_t error = 0;
        if (!port.Wait(keys, 8, 100, reports, error)) return false;
        for (int i = 0; i < reports.keys; ++i)
            if (keys[i] == key) return true;
    }
    return false;
}

// Carries a request on as the loop does until it moved something or ended:
// after a report it finishes, after "nothing moved" it starts again.
PortStatus Follow(EventPort& port, PortSlot& slot, const PortTransfer& transfer, uint32_t key, bool pending,
                  uint32_t& moved) {
    for (int round = 0; round < 1000; ++round) {
        if (pending && !AwaitKey(port, key)) break;
        int32_t error = 0;
        moved = 0;
        const PortStatus status =
            pending ? port.Finish(slot, transfer, moved, error) : port.Start(slot, transfer, moved, error);
        pending = status == PortStatus::kPending;
        if (status == PortStatus::kPending || status == PortStatus::kTryLater) continue;
        if (status == PortStatus::kMoved && moved == 0) continue;
        return status;
    }
    ADD_FAILURE() << "the request neither moved nor ended";
    return PortStatus::kFailed;
}

// Reads exactly `length` bytes; `pending` when a read of them is out already.
bool ReadExactly(EventPort& port, PortSlot& slot, FileHandle stream, uint32_t key, char* data, uint32_t length,
                 bool pending = false) {
    for (uint32_t done = 0; done < length; pending = false) {
        uint32_t moved = 0;
        if (Follow(port, slot, ReadOf(stream, data + done, length - done), key, pending, moved) != PortStatus::kMoved)
            return false;
        done += moved;
    }
    return true;
}

// A record that names its writer and its number, and every byte of which
// depends on both.
void FillRecord(char* record, uint32_t size, uint32_t writer, uint32_t number) {
    for (uint32_t i = 0; i < size; ++i) record[i] = static_cast<char>(writer * 31 + number * 7 + i);
    record[0] = static_cast<char>(writer);
    std::memcpy(record + 1, &number, sizeof number);
}

TEST(PreparationPipe, RecordsFromSeveralWritersArriveWholeAndInEachWritersOrder) {
    constexpr uint32_t kWriters = 6;
    for (const uint32_t size : {16u, 512u}) {
        const uint32_t perWriter = size == 16 ? 400 : 60;
        Pipe pipe;
        OpenPort open;
        PortSlot slot;
        int32_t error = 0;
        ASSERT_TRUE(open.port.Attach(slot, PortTarget::kStream, pipe.readEnd.native, 3, error)) << error;
        std::vector<std::thread> writers;
        for (uint32_t w = 0; w < kWriters; ++w) {
            writers.emplace_back([&pipe, size, perWriter, w] {
                std::vector<char> record(size);
                for (uint32_t n = 0; n < perWriter; ++n) {
                    FillRecord(record.data(), size, w, n);
                    int32_t failure = 0;
                    ASSERT_TRUE(WritePipeRecord(pipe.writeEnd, record.data(), size, failure)) << failure;
                }
            });
        }
        std::vector<uint32_t> next(kWriters, 0);
        std::vector<char> record(size), expected(size);
        uint32_t mixed = 0;
        for (uint32_t r = 0; r < kWriters * perWriter; ++r) {
            ASSERT_TRUE(ReadExactly(open.port, slot, pipe.readEnd, 3, record.data(), size)) << "record " << r;
            const auto writer = static_cast<uint32_t>(static_cast<unsigned char>(record[0]));
            if (writer >= kWriters) {
                ++mixed;
                continue;
            }
            FillRecord(expected.data(), size, writer, next[writer]++);
            if (std::memcmp(record.data(), expected.data(), size) != 0) ++mixed;
        }
        for (std::thread& writer : writers) writer.join();
        EXPECT_EQ(mixed, 0u) << size << "-byte records torn or out of order";
        open.port.Detach(slot, PortTarget::kStream, pipe.readEnd.native);
    }
}

TEST(PreparationPipe, EveryPipeOfTheProcessIsItsOwnAndEndsWithItsWriter) {
    IgnoreBrokenPipe();
    Pipe pipes[3];
    OpenPort open;
    PortSlot slots[3];
    for (uint32_t i = 0; i < 3; ++i) {
        int32_t error = 0;
        ASSERT_TRUE(open.port.Attach(slots[i], PortTarget::kStream, pipes[i].readEnd.native, i, error)) << error;
        const std::string text = "pipe number " + std::to_string(i);
        ASSERT_TRUE(WritePipeRecord(pipes[i].writeEnd, text.c_str(), static_cast<uint32_t>(text.size()), error));
    }
    for (uint32_t i = 0; i < 3; ++i) {
        char text[14] = {};
        ASSERT_TRUE(ReadExactly(open.port, slots[i], pipes[i].readEnd, i, text, 13));
        EXPECT_EQ(std::string(text), "pipe number " + std::to_string(i));
    }
    // The writer gone: the pending read ends with the stream.
    char byte = 0;
    uint32_t moved = 0;
    int32_t error = 0;
    const PortTransfer read = ReadOf(pipes[0].readEnd, &byte, 1);
    const PortStatus status = open.port.Start(slots[0], read, moved, error);
    ASSERT_EQ(status, PortStatus::kPending);
    CloseFile(pipes[0].writeEnd);
    EXPECT_EQ(Follow(open.port, slots[0], read, 0, true, moved), PortStatus::kEndOfStream);
    // The reader gone: writing fails.
    for (uint32_t i = 0; i < 3; ++i) open.port.Detach(slots[i], PortTarget::kStream, pipes[i].readEnd.native);
    CloseFile(pipes[1].readEnd);
    EXPECT_FALSE(WritePipeRecord(pipes[1].writeEnd, "late", 4, error));
}

TEST(EventPortReports, AReportForADetachedObjectsKeyNeverCompletesItsSuccessor) {
    Pipe first, second;
    OpenPort open;
    constexpr uint32_t kKey = 7;
    PortSlot firstSlot, secondSlot;
    char firstData[8], secondData[8] = {};
    uint32_t moved = 0;
    int32_t error = 0;
    ASSERT_TRUE(open.port.Attach(firstSlot, PortTarget::kStream, first.readEnd.native, kKey, error));
    ASSERT_EQ(open.port.Start(firstSlot, ReadOf(first.readEnd, firstData, 8), moved, error), PortStatus::kPending);
    open.port.Detach(firstSlot, PortTarget::kStream, first.readEnd.native);
    CloseFile(first.readEnd);

    // The key goes to an object whose stream has nothing to read yet.
    ASSERT_TRUE(open.port.Attach(secondSlot, PortTarget::kStream, second.readEnd.native, kKey, error));
    const PortTransfer read = ReadOf(second.readEnd, secondData, 8);
    ASSERT_EQ(open.port.Start(secondSlot, read, moved, error), PortStatus::kPending);
    uint32_t keys[8];
    PortReports reports;
    ASSERT_TRUE(open.port.Wait(keys, 8, 200, reports, error));
    for (int i = 0; i < reports.keys; ++i) {
        const PortStatus status = open.port.Finish(secondSlot, read, moved, error);
        EXPECT_TRUE(status == PortStatus::kPending || (status == PortStatus::kMoved && moved == 0));
        if (status == PortStatus::kMoved) {
            ASSERT_EQ(open.port.Start(secondSlot, read, moved, error), PortStatus::kPending);
        }
    }
    ASSERT_TRUE(WritePipeRecord(second.writeEnd, "12345678", 8, error));
    ASSERT_TRUE(ReadExactly(open.port, secondSlot, second.readEnd, kKey, secondData, 8, true));
    EXPECT_EQ(std::string(secondData, 8), "12345678");
    open.port.Detach(secondSlot, PortTarget::kStream, second.readEnd.native);
}

TEST(EventPortReports, ARestartedReadFillsOnlyTheNewBuffer) {
    Pipe pipe;
    OpenPort open;
    PortSlot slot;
    char abandoned[4] = {'-', '-', '-', '-'}, current[4] = {};
    uint32_t moved = 0;
    int32_t error = 0;
    ASSERT_TRUE(open.port.Attach(slot, PortTarget::kStream, pipe.readEnd.native, 1, error));
    ASSERT_EQ(open.port.Start(slot, ReadOf(pipe.readEnd, abandoned, 4), moved, error), PortStatus::kPending);
    const PortTransfer read = ReadOf(pipe.readEnd, current, 4);
    ASSERT_EQ(open.port.Start(slot, read, moved, error), PortStatus::kPending);
    ASSERT_TRUE(WritePipeRecord(pipe.writeEnd, "data", 4, error));
    ASSERT_TRUE(ReadExactly(open.port, slot, pipe.readEnd, 1, current, 4, true));
    EXPECT_EQ(std::string(current, 4), "data");
    EXPECT_EQ(std::string(abandoned, 4), "----");
    open.port.Detach(slot, PortTarget::kStream, pipe.readEnd.native);
}

TEST(EventPortReports, WakeEndsAWaitFromAnotherThread) {
    OpenPort open;
    std::thread waker([&open] {
        SleepMilliseconds(50);
        open.port.Wake();
    });
    uint32_t keys[4];
    PortReports reports;
    int32_t error = 0;
    ASSERT_TRUE(open.port.Wait(keys, 4, kPatience, reports, error)) << error;
    waker.join();
    EXPECT_TRUE(reports.woken);
    EXPECT_EQ(reports.keys, 0);
}

// Ending the program at once closes the gate first: what a wait then reports
// comes from that ending, and the waiting thread must not act on it.
TEST(EventPortReports, AWaitEndingBehindTheClosedExitGateGoesNoFurther) {
    EXPECT_EXIT(
        {
            OpenPort open;
            std::atomic<bool> returned{false};
            CloseExitGate();
            open.port.Wake();
            std::thread waiter([&] {
                uint32_t keys[4];
                PortReports reports;
                int32_t error = 0;
                open.port.Wait(keys, 4, kPatience, reports, error);
                returned = true;
            });
            waiter.detach();
            SleepMilliseconds(300);
            ExitImmediately(returned ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(EventPortFiles, PositionalTransfersLandAtTheirOffsetAndEndAtTheEnd) {
    FileHandle file;
    int32_t error = 0;
    ASSERT_TRUE(CreateScratchFile(file, error)) << error;
    OpenPort open;
    PortSlot slot;
    ASSERT_TRUE(open.port.Attach(slot, PortTarget::kPositionalFile, file.native, 2, error)) << error;
    constexpr uint32_t kSize = 100'000;
    constexpr uint64_t kOffset = 4096;
    std::vector<char> written(kSize), read(kSize + 10);
    for (uint32_t i = 0; i < kSize; ++i) written[i] = static_cast<char>(i % 251);
    // Each transfer moves at once; a short one is continued at its new offset.
    auto transfer = [&](bool write, char* data, uint32_t length, uint64_t offset, uint32_t& total) {
        total = 0;
        for (;;) {
            uint32_t moved = 0;
            const PortStatus status = open.port.Start(
                slot, PortTransfer{PortTarget::kPositionalFile, write, file.native, data + total, length - total,
                                   offset + total},
                moved, error);
            if (status != PortStatus::kMoved) return status;
            total += moved;
            if (total == length) return status;
        }
    };
    uint32_t total = 0;
    EXPECT_EQ(transfer(true, written.data(), kSize, kOffset, total), PortStatus::kMoved);
    EXPECT_EQ(total, kSize);
    EXPECT_EQ(transfer(false, read.data(), kSize + 10, kOffset, total), PortStatus::kEndOfStream);
    ASSERT_EQ(total, kSize);
    EXPECT_EQ(std::memcmp(read.data(), written.data(), kSize), 0);
    EXPECT_EQ(transfer(false, read.data(), 10, 0, total), PortStatus::kMoved);
    EXPECT_EQ(std::string(read.data(), 10), std::string(10, '\0')) << "the gap before the offset reads as zeros";
    open.port.Detach(slot, PortTarget::kPositionalFile, file.native);
    CloseScratchFile(file);
}

}  // namespace
}  // namespace kestrel::platform
