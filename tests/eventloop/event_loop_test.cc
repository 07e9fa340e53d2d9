#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "eventloop/event_loop.h"
#include "loop_fixtures.h"
#include "loop_system.h"
#include "platform/handles.h"
#include "platform/system_errors.h"
#include "support/test_support.h"

namespace kestrel::test {
namespace {

bool StartOrFail(IoObject* io) {
    int32_t error = 0;
    bool started = EventLoop::Start(io, &error);
    EXPECT_TRUE(started) << "error " << error;
    return started;
}

void Unregister(Probe& probe) { EventLoop::Unregister(&probe.io); }

// ---- transfers ----

TEST(EventLoopTransfers, PipeReadOfTenThenSixBytesCompletesOnceWithPositionSixteen) {
    platform::FileHandle fds[2];
    MakePipe(fds);
    WriteAll(fds[1], "0123456789", 10);

    Probe reader;
    AttachStream(reader, fds[0]);
    reader.Prepare(kIoRead, 16);
    reader.onCompletion = [](Probe& p) { Unregister(p); };

    // Runs after the initial start: the reader has taken 10 bytes and waits.
    Probe feeder;
    MakeNoHandle(feeder, 0);
    bool readerWasPending = false;
    feeder.onCompletion = [&](Probe& p) {
        readerWasPending = reader.io.operation == kIoRead && reader.io.position == 10;
        WriteAll(fds[1], "abcdef", 6);
        Unregister(p);
    };

    EventLoop loop;
    RunLoop(loop, {&reader.io, &feeder.io});
    EXPECT_TRUE(readerWasPending);
    EXPECT_EQ(reader.completions, 1);
    EXPECT_EQ(reader.failures, 0);
    EXPECT_EQ(reader.io.position, 16u);
    EXPECT_EQ(std::string(reader.data.data(), 16), "0123456789abcdef");
    EXPECT_EQ(reader.io.flags & kIoStateEndOfStream, 0);
    platform::CloseFile(fds[1]);
}

TEST(EventLoopTransfers, SocketReadWithAnyDataFlagCompletesAfterFirstReceive) {
    platform::SocketHandle client, server;
    MakeTcpPair(&client, &server);
    WriteAll(server, "hello", 5);

    // First read finds data at once; the second one waits for the next send.
    Probe reader;
    AttachSocket(reader, client);
    reader.Prepare(kIoRead | kIoCompleteOnAnyData, 100);
    std::vector<uint32_t> positions;
    reader.onCompletion = [&](Probe& p) {
        positions.push_back(p.io.position);
        if (positions.size() == 1) {
            p.Prepare(kIoRead | kIoCompleteOnAnyData, 100);
            StartOrFail(&p.io);
            return;
        }
        Unregister(p);
    };
    Probe sender;
    MakeNoHandle(sender, 0);
    sender.onCompletion = [&](Probe& p) {
        WriteAll(server, "abc", 3);
        Unregister(p);
    };

    EventLoop loop;
    RunLoop(loop, {&reader.io, &sender.io});
    ASSERT_EQ(positions.size(), 2u);
    EXPECT_EQ(positions[0], 5u);
    EXPECT_EQ(positions[1], 3u);
    EXPECT_EQ(std::string(reader.data.data(), 3), "abc");
    EXPECT_EQ(reader.failures, 0);
    EXPECT_EQ(reader.io.flags & kIoStateEndOfStream, 0);
    platform::CloseSocket(server);
}

TEST(EventLoopTransfers, EndOfStreamCompletesWithThePositionReached) {
    // Socket: 4 bytes and then the peer's end, found at once.
    platform::SocketHandle client, server;
    MakeTcpPair(&client, &server);
    WriteAll(server, "tail", 4);
    ASSERT_TRUE(ShutdownWrite(server));
    Probe socketReader;
    AttachSocket(socketReader, client);
    socketReader.Prepare(kIoRead, 10);
    socketReader.onCompletion = [](Probe& p) { Unregister(p); };

    // Pipe: the writer goes away while the read waits.
    platform::FileHandle fds[2];
    MakePipe(fds);
    Probe pipeReader;
    AttachStream(pipeReader, fds[0]);
    pipeReader.Prepare(kIoRead, 10);
    pipeReader.onCompletion = [](Probe& p) { Unregister(p); };
    Probe closer;
    MakeNoHandle(closer, 0);
    closer.onCompletion = [&](Probe& p) {
        platform::CloseFile(fds[1]);
        Unregister(p);
    };

    // Pipe write whose reader is gone: EPIPE.
    platform::FileHandle broken[2];
    MakePipe(broken);
    platform::CloseFile(broken[0]);
    Probe pipeWriter;
    AttachStream(pipeWriter, broken[1]);
    pipeWriter.Prepare(kIoWrite, 8);
    pipeWriter.onCompletion = [](Probe& p) { Unregister(p); };

    EventLoop loop;
    RunLoop(loop, {&socketReader.io, &pipeReader.io, &closer.io, &pipeWriter.io});
    EXPECT_EQ(socketReader.completions, 1);
    EXPECT_EQ(socketReader.io.position, 4u);
    EXPECT_NE(socketReader.io.flags & kIoStateEndOfStream, 0);
    EXPECT_EQ(pipeReader.completions, 1);
    EXPECT_EQ(pipeReader.io.position, 0u);
    EXPECT_NE(pipeReader.io.flags & kIoStateEndOfStream, 0);
    EXPECT_EQ(pipeWriter.completions, 1);
    EXPECT_NE(pipeWriter.io.flags & kIoStateEndOfStream, 0);
    EXPECT_EQ(socketReader.failures + pipeReader.failures + pipeWriter.failures, 0);
    platform::CloseSocket(server);
}

TEST(EventLoopTransfers, SocketWriteToAResetPeerEndsTheStream) {
    platform::SocketHandle client, server;
    MakeTcpPair(&client, &server);
    // Closing with unread data resets the connection.
    WriteAll(client, "x", 1);
    char byte;
    ASSERT_EQ(ReceiveSome(server, &byte, 1, true), 1);
    platform::CloseSocket(server);

    Probe writer;
    AttachSocket(writer, client);
    writer.Prepare(kIoWrite, 1 << 20);
    writer.onCompletion = [](Probe& p) { Unregister(p); };
    writer.onFailure = [](Probe& p, int32_t) { Unregister(p); };
    EventLoop loop;
    RunLoop(loop, {&writer.io});
    EXPECT_EQ(writer.failures, 0) << "error " << writer.lastError;
    EXPECT_EQ(writer.completions, 1);
    EXPECT_NE(writer.io.flags & kIoStateEndOfStream, 0);
    EXPECT_LT(writer.io.position, 1u << 20);
}

TEST(EventLoopTransfers, LargeSocketTransferBetweenTwoObjectsArrivesIntact) {
    platform::SocketHandle client, server;
    MakeTcpPair(&client, &server);
    constexpr uint32_t kSize = 8 << 20;
    Probe writer, reader;
    AttachSocket(writer, client);
    writer.Prepare(kIoWrite, kSize, 5 * kIoTicksPerSecond);
    for (uint32_t i = 0; i < kSize; ++i) writer.data[i] = static_cast<char>(i * 7 + (i >> 13));
    writer.onCompletion = [](Probe& p) { Unregister(p); };
    AttachSocket(reader, server);
    reader.Prepare(kIoRead, kSize, 5 * kIoTicksPerSecond);
    reader.onCompletion = [](Probe& p) { Unregister(p); };

    EventLoop loop;
    RunLoop(loop, {&writer.io, &reader.io});
    EXPECT_EQ(writer.completions, 1);
    EXPECT_EQ(reader.completions, 1);
    EXPECT_EQ(writer.failures + reader.failures, 0);
    EXPECT_EQ(reader.io.position, kSize);
    EXPECT_TRUE(writer.data == reader.data);
}

TEST(EventLoopTransfers, FilesMoveAtTheirOffsetAndEndAtEndOfFile) {
    TempDir dir;
    platform::FileHandle file = OpenTestFile(dir / "data", true);
    ASSERT_TRUE(file.valid());
    constexpr uint32_t kSize = 200000;
    constexpr uint64_t kOffset = 4096;

    Probe writer;
    AttachFile(writer, file, kOffset);
    writer.Prepare(kIoWrite, kSize);
    for (uint32_t i = 0; i < kSize; ++i) writer.data[i] = static_cast<char>(i % 251);
    writer.onCompletion = [](Probe& p) { Unregister(p); };

    // Registered from the writer's completion, on descriptors of its own.
    Probe positional, stream;
    writer.onCompletion = [&](Probe& p) {
        AttachFile(positional, OpenTestFile(dir / "data", false), kOffset);
        positional.Prepare(kIoRead, kSize + 1000);
        positional.onCompletion = [](Probe& q) { Unregister(q); };
        // A regular file as a stream: no readiness reports, every attempt completes.
        AttachStream(stream, OpenTestFile(dir / "data", false));
        stream.Prepare(kIoRead, kSize + kOffset + 1);
        stream.onCompletion = [](Probe& q) { Unregister(q); };
        int32_t error = 0;
        EXPECT_TRUE(EventLoop::Register(p.io.loop, &positional.io, &error)) << error;
        EXPECT_TRUE(EventLoop::Register(p.io.loop, &stream.io, &error)) << error;
        Unregister(p);
    };

    EventLoop loop;
    RunLoop(loop, {&writer.io});
    EXPECT_FALSE(IsOpen(file)) << "Unregister closes the handle";
    EXPECT_EQ(writer.io.position, kSize);
    ASSERT_EQ(positional.completions, 1);
    EXPECT_EQ(positional.io.position, kSize);
    EXPECT_NE(positional.io.flags & kIoStateEndOfStream, 0);
    EXPECT_EQ(std::memcmp(positional.data.data(), writer.data.data(), kSize), 0);
    ASSERT_EQ(stream.completions, 1);
    EXPECT_EQ(stream.io.position, kSize + kOffset);
    EXPECT_EQ(std::memcmp(stream.data.data() + kOffset, writer.data.data(), kSize), 0);
    EXPECT_EQ(ReadFile(dir / "data").substr(0, kOffset), std::string(kOffset, '\0'));
}

// ---- completion at once ----

TEST(EventLoopStart, CompletionAtOnceRunsOnlyAfterControlIsBackInTheLoop) {
    platform::FileHandle fds[2];
    MakePipe(fds);
    WriteAll(fds[1], "ready", 5);
    Probe reader;
    AttachStream(reader, fds[0]);
    reader.onCompletion = [](Probe& p) { Unregister(p); };

    Probe starter;
    MakeNoHandle(starter, 0);
    int completionsRightAfterStart = -1;
    bool queuedRightAfterStart = false;
    starter.onCompletion = [&](Probe& p) {
        int32_t error = 0;
        EXPECT_TRUE(EventLoop::Register(p.io.loop, &reader.io, &error));
        reader.Prepare(kIoRead, 5);
        EXPECT_TRUE(EventLoop::Start(&reader.io, &error));
        completionsRightAfterStart = reader.completions;
        queuedRightAfterStart = (reader.io.flags & kIoStateInReadyQueue) != 0;
        Unregister(p);
    };
    EventLoop loop;
    RunLoop(loop, {&starter.io});
    EXPECT_EQ(completionsRightAfterStart, 0);
    EXPECT_TRUE(queuedRightAfterStart);
    EXPECT_EQ(reader.completions, 1);
    EXPECT_EQ(std::string(reader.data.data(), 5), "ready");
    platform::CloseFile(fds[1]);
}

TEST(EventLoopStart, YieldingObjectLetsPendingTransfersThrough) {
    platform::SocketHandle client, server;
    MakeTcpPair(&client, &server);
    constexpr uint32_t kSize = 4 << 20;
    Probe writer, reader, worker;
    AttachSocket(writer, client);
    writer.Prepare(kIoWrite, kSize);
    writer.onCompletion = [](Probe& p) { Unregister(p); };
    AttachSocket(reader, server);
    reader.Prepare(kIoRead, kSize);
    reader.onCompletion = [](Probe& p) { Unregister(p); };

    // A long computation in slices; it stops once the transfer is through.
    MakeNoHandle(worker, 0);
    constexpr int kMaximumSlices = 10'000'000;
    worker.onCompletion = [&](Probe& p) {
        if (reader.completions == 0 && worker.completions < kMaximumSlices) {
            StartOrFail(&p.io);
            return;
        }
        Unregister(p);
    };
    EventLoop loop;
    RunLoop(loop, {&writer.io, &reader.io, &worker.io});
    EXPECT_EQ(reader.completions, 1);
    EXPECT_EQ(reader.io.position, kSize);
    EXPECT_LT(worker.completions, kMaximumSlices) << "the transfer starved behind the yielding object";
}

// ---- time-outs ----

TEST(EventLoopTimers, TimeOutFailsWithZeroAndTheOperationNeverCompletes) {
    platform::SocketHandle client, server;
    MakeTcpPair(&client, &server);
    Probe reader;
    AttachSocket(reader, client);
    reader.Prepare(kIoRead, 4, 30 * kMillisecond);
    // After the time-out, data arrives; the expired read must stay silent.
    Probe after;
    MakeNoHandle(after, 10 * kMillisecond);
    reader.onFailure = [&](Probe& p, int32_t) {
        EXPECT_EQ(p.io.operation, 0);
        WriteAll(server, "late", 4);
        int32_t error = 0;
        EXPECT_TRUE(EventLoop::Register(p.io.loop, &after.io, &error));
    };
    after.onFailure = [&](Probe& p, int32_t) {
        Unregister(reader);
        Unregister(p);
    };

    // A pure timer expires through its failure callback too; a yield completes.
    Probe timer, yield;
    MakeNoHandle(timer, 5 * kMillisecond);
    timer.onFailure = [](Probe& p, int32_t) { Unregister(p); };
    MakeNoHandle(yield, 0);
    yield.onCompletion = [](Probe& p) { Unregister(p); };

    EventLoop loop;
    RunLoop(loop, {&reader.io, &timer.io, &yield.io});
    EXPECT_EQ(reader.failures, 1);
    EXPECT_EQ(reader.lastError, 0);
    EXPECT_EQ(reader.completions, 0);
    EXPECT_EQ(after.failures, 1);
    EXPECT_EQ(timer.failures, 1);
    EXPECT_EQ(timer.lastError, 0);
    EXPECT_EQ(timer.completions, 0);
    EXPECT_EQ(yield.completions, 1);
    EXPECT_EQ(yield.failures, 0);
    platform::CloseSocket(server);
}

TEST(EventLoopTimers, EqualDueTimesExpireInArmingOrderOnePerWait) {
    platform::FileHandle fds[3][2];
    Probe readers[3];
    for (int i = 0; i < 3; ++i) {
        MakePipe(fds[i]);
        AttachStream(readers[i], fds[i][0]);
    }
    std::vector<int> order;
    bool othersStillArmedAtFirstExpiry = false;
    for (int i = 0; i < 3; ++i) {
        readers[i].onFailure = [&, i](Probe& p, int32_t error) {
            EXPECT_EQ(error, 0);
            if (order.empty()) {
                othersStillArmedAtFirstExpiry = (readers[0].io.flags & kIoStateInTimerList) &&
                                                (readers[2].io.flags & kIoStateInTimerList);
            }
            order.push_back(i);
            Unregister(p);
        };
    }
    // Armed from one callback, so that both 20 ms time-outs share one due time.
    Probe arm;
    MakeNoHandle(arm, 0);
    arm.onCompletion = [&](Probe& p) {
        int32_t error = 0;
        const uint64_t timeouts[3] = {40 * kMillisecond, 20 * kMillisecond, 20 * kMillisecond};
        for (int i : {0, 1, 2}) {
            readers[i].Prepare(kIoRead, 1, timeouts[i]);
            EXPECT_TRUE(EventLoop::Register(p.io.loop, &readers[i].io, &error));
        }
        EXPECT_EQ(readers[1].io.dueTime, readers[2].io.dueTime);
        Unregister(p);
    };
    EventLoop loop;
    RunLoop(loop, {&arm.io});
    EXPECT_EQ(order, (std::vector<int>{1, 2, 0}));
    EXPECT_TRUE(othersStillArmedAtFirstExpiry);
    for (auto& pair : fds) platform::CloseFile(pair[1]);
}

TEST(EventLoopTimers, TimeOutFiresWhileOtherObjectsKeepTheLoopBusy) {
    // Two ends play ping-pong, so that every wait returns reports.
    platform::SocketHandle client, server;
    platform::FileHandle fds[2];
    MakeTcpPair(&client, &server);
    MakePipe(fds);
    Probe ping, pong, quiet;
    AttachSocket(ping, client);
    ping.Prepare(kIoWrite, 1);
    AttachSocket(pong, server);
    pong.Prepare(kIoRead, 1);
    AttachStream(quiet, fds[0]);
    quiet.Prepare(kIoRead, 1, 20 * kMillisecond);

    constexpr int kMaximumRounds = 200'000;
    int rounds = 0;
    auto next = [&](Probe& p) {
        if (quiet.failures > 0 || ++rounds >= kMaximumRounds) {
            Unregister(p);
            return;
        }
        // Alternate: whoever wrote now reads, and the other way round.
        p.Prepare((p.completions % 2 == 1) == (&p == &ping) ? kIoRead : kIoWrite, 1);
        StartOrFail(&p.io);
    };
    ping.onCompletion = next;
    pong.onCompletion = next;
    quiet.onFailure = [](Probe& p, int32_t) { Unregister(p); };

    EventLoop loop;
    RunLoop(loop, {&ping.io, &pong.io, &quiet.io});
    EXPECT_EQ(quiet.failures, 1);
    EXPECT_EQ(quiet.lastError, 0);
    EXPECT_LT(rounds, kMaximumRounds) << "the time-out starved behind the traffic";
    EXPECT_GT(ping.completions, 2) << "the traffic did not run";
    EXPECT_EQ(ping.failures + pong.failures, 0);
    platform::CloseFile(fds[1]);
}

// ---- registration and lifetime ----

TEST(EventLoopLifecycle, UnregisteringInsideOwnCallbackWithAnOperationQueuedIsFinal) {
    platform::FileHandle fds[2];
    MakePipe(fds);
    WriteAll(fds[1], "abcdefgh", 8);
    // Restarted on data that is there: the new operation completes at once and
    // waits in the ready queue when the object leaves.
    Probe reader;
    AttachStream(reader, fds[0]);
    reader.Prepare(kIoRead, 4);
    bool queued = false;
    reader.onCompletion = [&](Probe& p) {
        p.io.operation = kIoRead;
        StartOrFail(&p.io);
        queued = (p.io.flags & kIoStateInReadyQueue) != 0;
        Unregister(p);
    };
    // The same with a deferred start and with a yield.
    Probe deferred;
    MakeNoHandle(deferred, 0);
    deferred.onCompletion = [](Probe& p) {
        p.io.operation = kIoDeferredStart;
        StartOrFail(&p.io);
        Unregister(p);
    };

    EventLoop loop;
    RunLoop(loop, {&reader.io, &deferred.io});
    EXPECT_TRUE(queued);
    EXPECT_EQ(reader.completions, 1);
    EXPECT_EQ(deferred.completions, 1);
    EXPECT_FALSE(IsOpen(fds[0]));
    platform::CloseFile(fds[1]);
}

TEST(EventLoopLifecycle, RunReturnsTrueWhenEveryObjectLeavesInItsFirstCallback) {
    platform::SocketHandle client, server;
    platform::FileHandle fds[2];
    MakeTcpPair(&client, &server);
    MakePipe(fds);
    WriteAll(fds[1], "pipe", 4);
    Probe socketWriter, pipeReader, timer, yield;
    AttachSocket(socketWriter, client);
    socketWriter.Prepare(kIoWrite, 1000);
    AttachStream(pipeReader, fds[0]);
    pipeReader.Prepare(kIoRead, 4);
    MakeNoHandle(timer, kMillisecond);
    MakeNoHandle(yield, 0);
    Probe* all[] = {&socketWriter, &pipeReader, &timer, &yield};
    for (Probe* probe : all) {
        probe->onCompletion = [](Probe& p) { Unregister(p); };
        probe->onFailure = [](Probe& p, int32_t) { Unregister(p); };
    }
    EventLoop loop;
    RunLoop(loop, {&socketWriter.io, &pipeReader.io, &timer.io, &yield.io});
    for (Probe* probe : all) EXPECT_EQ(probe->completions + probe->failures, 1);
    EXPECT_EQ(timer.failures, 1);
    EXPECT_FALSE(IsOpen(client));
    EXPECT_FALSE(IsOpen(fds[0]));
    // The loop can run again.
    Probe again;
    MakeNoHandle(again, 0);
    again.onCompletion = [](Probe& p) { Unregister(p); };
    RunLoop(loop, {&again.io});
    EXPECT_EQ(again.completions, 1);
    platform::CloseSocket(server);
    platform::CloseFile(fds[1]);
}

TEST(EventLoopLifecycle, FailedInitialRegistrationUnregistersTheEarlierObjects) {
    platform::FileHandle fds[2];
    MakePipe(fds);
    Probe good, bad;
    AttachStream(good, fds[0]);
    good.Prepare(kIoRead, 1);
    AttachStream(bad, platform::kNoFile);
    bad.Prepare(kIoRead, 1);
    EventLoop loop;
    IoObject* objects[] = {&good.io, &bad.io, nullptr};
    int32_t error = 0;
    EXPECT_FALSE(loop.Run(objects, &error));
    EXPECT_EQ(error, platform::kErrorBadHandle);
    EXPECT_FALSE(IsOpen(fds[0]));
    EXPECT_EQ(good.completions + good.failures + bad.completions + bad.failures, 0);
    EXPECT_EQ(loop.RegisteredCount(), 0u);
    platform::CloseFile(fds[1]);
}

// Owners that keep their handle in the object discard it the same way
// whether it got registered or not.
TEST(EventLoopLifecycle, DiscardUnregistersARegisteredObjectAndClosesAnUnregisteredOnesHandle) {
    platform::FileHandle registeredEnds[2], idleEnds[2];
    MakePipe(registeredEnds);
    MakePipe(idleEnds);
    Probe registered, idle, driver;
    AttachStream(registered, registeredEnds[0]);
    AttachStream(idle, idleEnds[0]);
    MakeNoHandle(driver, 0);
    uint32_t countBefore = 0, countAfter = 0;
    driver.onCompletion = [&](Probe& p) {
        int32_t error = 0;
        ASSERT_TRUE(EventLoop::Register(p.io.loop, &registered.io, &error)) << error;
        countBefore = p.io.loop->RegisteredCount();
        EventLoop::Discard(&registered.io);
        EventLoop::Discard(&idle.io);
        countAfter = p.io.loop->RegisteredCount();
        Unregister(p);
    };
    EventLoop loop;
    RunLoop(loop, {&driver.io});
    EXPECT_EQ(countBefore - countAfter, 1u);
    EXPECT_EQ(registered.io.loop, nullptr);
    EXPECT_FALSE(IsOpen(registeredEnds[0]));
    EXPECT_FALSE(IsOpen(idleEnds[0]));
    EXPECT_FALSE(idle.io.handle.valid()) << "no handle is left to close twice";
    platform::CloseFile(registeredEnds[1]);
    platform::CloseFile(idleEnds[1]);
}

// ---- cancellation from another thread ----

TEST(EventLoopCancel, CancelFromAnotherThreadFailsWithTheCancellationCode) {
    platform::SocketHandle client, server;
    platform::FileHandle fds[2];
    MakeTcpPair(&client, &server);
    MakePipe(fds);
    Probe socketReader, pipeReader;
    AttachSocket(socketReader, client);
    socketReader.Prepare(kIoRead, 8);
    AttachStream(pipeReader, fds[0]);
    pipeReader.Prepare(kIoRead, 8);
    // Each is cancelled while pending; the next start on it fails at once too.
    for (Probe* probe : {&socketReader, &pipeReader}) {
        probe->onFailure = [](Probe& p, int32_t) {
            if (p.failures == 1) {
                p.Prepare(kIoRead, 8);
                StartOrFail(&p.io);
                return;
            }
            Unregister(p);
        };
    }
    std::thread canceller;
    Probe launcher;
    MakeNoHandle(launcher, 0);
    launcher.onCompletion = [&](Probe& p) {
        canceller = std::thread([&] {
            EventLoop::CancelFromOtherThread(&socketReader.io);
            EventLoop::CancelFromOtherThread(&pipeReader.io);
        });
        Unregister(p);
    };
    EventLoop loop;
    RunLoop(loop, {&socketReader.io, &pipeReader.io, &launcher.io});
    canceller.join();
    for (Probe* probe : {&socketReader, &pipeReader}) {
        EXPECT_EQ(probe->failures, 2);
        EXPECT_EQ(probe->lastError, kIoCancelledError);
        EXPECT_EQ(probe->completions, 0);
        EXPECT_EQ(probe->io.flags & kIoStateEndOfStream, 0);
    }
    char byte;
    EXPECT_EQ(ReceiveSome(server, &byte, 1), 0) << "the cancelled socket was shut down";
    platform::CloseSocket(server);
    platform::CloseFile(fds[1]);
}

}  // namespace
}  // namespace kestrel::test
