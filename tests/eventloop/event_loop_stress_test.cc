// Callbacks that register, start and unregister objects at random, themselves
// included and in every state, over pipes, sockets, files, timers and yields.
// Every started operation must end exactly once: by one callback, or by being
// superseded (restarted) or dropped (unregistered) while it ran.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "eventloop/event_loop.h"
#include "loop_fixtures.h"
#include "loop_system.h"
#include "support/test_support.h"

namespace kestrel::test {
namespace {

enum class Kind { kSocket, kPipeReader, kPipeWriter, kFile, kTimer, kYield };

struct Endpoint {
    IoObject io;
    Kind kind;
    std::vector<char> buffer = std::vector<char>(65536);
    bool registered = false;
    bool outstanding = false;
    uint64_t started = 0, ended = 0, superseded = 0, dropped = 0;
};

struct World {
    std::mt19937 random{20240611};
    EventLoop* loop = nullptr;
    std::string filePath;
    std::vector<std::unique_ptr<Endpoint>> endpoints;
    Endpoint* heartbeat = nullptr;
    int budget = 20000;
    int creationsLeft = 400;
    uint32_t liveDescriptors = 0;
    bool finishing = false;
    // Faults seen inside callbacks.
    uint64_t unexpectedCallbacks = 0, stateAtCallback = 0, refusedStarts = 0, refusedRegistrations = 0;
    uint64_t completions = 0, timeOuts = 0, transferTimeOuts = 0, endsOfStream = 0, otherFailures = 0;

    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(random() % n); }
    void Act(Endpoint* self);
    void StartRandom(Endpoint* e, bool deferred = false);
    void Drop(Endpoint* e);
    Endpoint* NewEndpoint(Kind kind, intptr_t native);
    void CreatePair();
    Endpoint* RandomRegistered();
    void Finish();
};

World* world = nullptr;

bool HasDescriptor(const Endpoint* e) { return e->kind != Kind::kTimer && e->kind != Kind::kYield; }

void CheckAtCallback(Endpoint* e) {
    if (!e->registered || !e->outstanding) ++world->unexpectedCallbacks;
    if (e->io.operation != 0 || (e->io.flags & (kIoStateInReadyQueue | kIoStateInTimerList))) ++world->stateAtCallback;
    if (e->io.position > e->io.length) ++world->stateAtCallback;
    e->outstanding = false;
    ++e->ended;
}

void OnCompletion(IoObject* io) {
    auto* e = static_cast<Endpoint*>(io->owner);
    CheckAtCallback(e);
    ++world->completions;
    if (io->flags & kIoStateEndOfStream) ++world->endsOfStream;
    world->Act(e);
}

void OnFailure(IoObject* io, int32_t error) {
    auto* e = static_cast<Endpoint*>(io->owner);
    CheckAtCallback(e);
    if (error == 0) ++world->timeOuts; else ++world->otherFailures;
    if (error == 0 && HasDescriptor(e)) ++world->transferTimeOuts;
    world->Act(e);
}

Endpoint* World::NewEndpoint(Kind kind, intptr_t native) {
    endpoints.push_back(std::make_unique<Endpoint>());
    Endpoint* e = endpoints.back().get();
    e->kind = kind;
    e->io.owner = e;
    e->io.completionCallback = OnCompletion;
    e->io.failureCallback = OnFailure;
    switch (kind) {
    case Kind::kSocket: e->io.socket = platform::SocketHandle{native}; break;
    case Kind::kPipeReader:
    case Kind::kPipeWriter: e->io.flags = kIoKindStream; e->io.handle = platform::FileHandle{native}; break;
    case Kind::kFile: e->io.flags = kIoKindPositionalFile; e->io.handle = platform::FileHandle{native}; break;
    case Kind::kTimer:
    case Kind::kYield: e->io.flags = kIoKindNoHandle; break;
    }
    return e;
}

// Sets up a random operation on `e` and starts it, directly or by registering.
void World::StartRandom(Endpoint* e, bool deferred) {
    if (e->outstanding) {
        ++e->superseded;
        e->outstanding = false;
    }
    IoObject& io = e->io;
    io.buffer = e->buffer.data();
    io.length = 1 + Below(16384);
    io.timeout = Below(10) < 7 ? (1 + Below(20)) * kMillisecond / 10 : 0;
    uint8_t operation = 0;
    switch (e->kind) {
    case Kind::kSocket: operation = Below(2) ? kIoRead : kIoWrite; break;
    case Kind::kPipeReader: operation = kIoRead; break;
    case Kind::kPipeWriter: operation = kIoWrite; break;
    case Kind::kFile:
        operation = Below(2) ? kIoRead : kIoWrite;
        io.fileOffsetBase = Below(1 << 20);
        break;
    case Kind::kTimer: io.timeout = (1 + Below(20)) * kMillisecond / 10; operation = kIoRead; break;
    case Kind::kYield: io.timeout = 0; break;
    }
    // Reads often take what is there, so that most operations end by moving data.
    if (Below((operation & kIoOperationMask) == kIoRead ? 2 : 4) == 0) operation |= kIoCompleteOnAnyData;
    if (deferred || Below(10) == 0) operation |= kIoDeferredStart;
    io.operation = operation;
    e->outstanding = true;  // before the call: a failure may be reported from inside it
    ++e->started;
    int32_t error = 0;
    if (!e->registered) {
        e->registered = true;
        if (HasDescriptor(e)) ++liveDescriptors;
        if (!EventLoop::Register(loop, &io, &error)) {
            if (HasDescriptor(e)) --liveDescriptors;
            ++refusedRegistrations;
            e->registered = e->outstanding = false;
            --e->started;
            if (e->kind == Kind::kSocket) platform::CloseSocket(io.socket); else platform::CloseFile(io.handle);
        }
        return;
    }
    if (!EventLoop::Start(&io, &error)) ++refusedStarts;
}

void World::Drop(Endpoint* e) {
    if (e->outstanding) {
        ++e->dropped;
        e->outstanding = false;
    }
    e->registered = false;
    if (HasDescriptor(e)) --liveDescriptors;
    EventLoop::Unregister(&e->io);
}

void World::CreatePair() {
    --creationsLeft;
    switch (Below(3)) {
    case 0: {
        platform::SocketHandle a, b;
        MakeTcpPair(&a, &b);
        StartRandom(NewEndpoint(Kind::kSocket, a.native));
        StartRandom(NewEndpoint(Kind::kSocket, b.native));
        break;
    }
    case 1: {
        platform::FileHandle ends[2];
        MakePipe(ends);
        StartRandom(NewEndpoint(Kind::kPipeReader, ends[0].native));
        StartRandom(NewEndpoint(Kind::kPipeWriter, ends[1].native));
        break;
    }
    default:
        StartRandom(NewEndpoint(Kind::kFile, OpenTestFile(filePath, true).native));
        StartRandom(NewEndpoint(Below(2) ? Kind::kTimer : Kind::kYield, -1));
        break;
    }
}

Endpoint* World::RandomRegistered() {
    for (int tries = 0; tries < 8; ++tries) {
        Endpoint* e = endpoints[Below(static_cast<uint32_t>(endpoints.size()))].get();
        if (e->registered) return e;
    }
    return nullptr;
}

void World::Finish() {
    finishing = true;
    for (auto& e : endpoints) {
        if (e->registered) Drop(e.get());
    }
}

void World::Act(Endpoint* self) {
    if (finishing) return;
    if (--budget <= 0 || (creationsLeft == 0 && liveDescriptors < 8)) {
        Finish();
        return;
    }
    uint32_t actions = 1 + Below(2);
    for (uint32_t i = 0; i < actions && !finishing; ++i) {
        uint32_t choice = Below(100);
        Endpoint* other = RandomRegistered();
        if (choice < 30) {
            if (self->registered) StartRandom(self);
        } else if (choice < 40) {
            if (other) StartRandom(other);
        } else if (choice < 45) {
            if (other) StartRandom(other, true);
        } else if (choice < 50) {
            // The heartbeat stays, so that the loop always has something to time out.
            if (other && other != heartbeat) Drop(other);
        } else if (choice < 53) {
            if (self->registered && self != heartbeat) Drop(self);
        } else if (choice < 60) {
            if (creationsLeft > 0 && liveDescriptors < 64) CreatePair();
        }
    }
    // Keep a population of transfers going.
    while (!finishing && creationsLeft > 0 && liveDescriptors < 16) CreatePair();
    if (self->registered && !self->outstanding && !finishing && (self == heartbeat || Below(5) != 0)) {
        StartRandom(self);
    }
}

TEST(EventLoopStress, RandomRegistrationStartsAndUnregistrationsEndEveryOperationOnce) {
    TempDir dir;
    World state;
    world = &state;
    state.filePath = dir / "file";
    EventLoop loop;
    state.loop = &loop;

    // The first objects are registered by Run; the rest come from callbacks.
    state.heartbeat = state.NewEndpoint(Kind::kTimer, -1);
    state.heartbeat->io.timeout = 5 * kMillisecond;
    state.heartbeat->io.operation = kIoRead;
    Endpoint* starter = state.NewEndpoint(Kind::kYield, -1);
    for (Endpoint* e : {state.heartbeat, starter}) {
        e->registered = e->outstanding = true;
        e->started = 1;
    }
    RunLoop(loop, {&state.heartbeat->io, &starter->io});
    world = nullptr;

    uint64_t started = 0, ended = 0, superseded = 0, dropped = 0;
    for (auto& e : state.endpoints) {
        EXPECT_FALSE(e->registered);
        EXPECT_FALSE(e->outstanding);
        EXPECT_EQ(e->started, e->ended + e->superseded + e->dropped);
        started += e->started;
        ended += e->ended;
        superseded += e->superseded;
        dropped += e->dropped;
    }
    EXPECT_EQ(state.unexpectedCallbacks, 0u);
    EXPECT_EQ(state.stateAtCallback, 0u);
    EXPECT_EQ(state.refusedStarts, 0u);
    EXPECT_EQ(state.refusedRegistrations, 0u);
    EXPECT_EQ(state.otherFailures, 0u);
    // The run really exercised every way an operation ends.
    EXPECT_GT(state.completions, 1000u);
    EXPECT_GT(state.timeOuts, 100u);
    EXPECT_GT(state.transferTimeOuts, 10u);
    EXPECT_GT(state.endsOfStream, 10u);
    EXPECT_GT(superseded, 100u);
    EXPECT_GT(dropped, 10u);
    std::printf("started %llu, callbacks %llu (completions %llu, time-outs %llu, ends of stream %llu), "
                "superseded %llu, dropped %llu, objects %zu\n",
                static_cast<unsigned long long>(started), static_cast<unsigned long long>(ended),
                static_cast<unsigned long long>(state.completions),
                static_cast<unsigned long long>(state.timeOuts),
                static_cast<unsigned long long>(state.endsOfStream),
                static_cast<unsigned long long>(superseded), static_cast<unsigned long long>(dropped),
                state.endpoints.size());
}

}  // namespace
}  // namespace kestrel::test
