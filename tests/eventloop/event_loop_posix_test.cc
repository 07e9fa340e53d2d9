// Event loop cases that depend on POSIX descriptors: raising the open-file
// limit and duplicating one descriptor many times.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "eventloop/event_loop.h"
#include "loop_fixtures.h"
#include "platform/handles.h"
#include "support/test_support.h"

namespace kestrel::test {
namespace {

void Unregister(Probe& probe) { EventLoop::Unregister(&probe.io); }

TEST(EventLoopKeys, The65537thSimultaneousHandleObjectFailsWithError8) {
    constexpr uint32_t kKeys = 65536;
    // Real descriptors when the limit allows; otherwise positional objects
    // without one, which take keys all the same (registration never touches
    // a positional file's descriptor).
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit wanted = {kKeys + 256, saved.rlim_max};
    bool realDescriptors = (saved.rlim_max == RLIM_INFINITY || saved.rlim_max >= wanted.rlim_cur) &&
                           setrlimit(RLIMIT_NOFILE, &wanted) == 0;
    if (!realDescriptors) {
        std::fprintf(stderr, "open-file hard limit %llu is below %u: using objects without descriptors\n",
                     static_cast<unsigned long long>(saved.rlim_max), kKeys + 1);
    }
    TempDir dir;
    WriteFile(dir / "f", "x");
    int file = open((dir / "f").c_str(), O_RDONLY);
    ASSERT_GE(file, 0);

    std::vector<IoObject> objects(kKeys + 2);
    std::vector<bool> keySeen(kKeys, false);
    uint32_t keyOutOfRange = 0, keyTwice = 0, refused = 0;
    int32_t lastError = 0;
    bool extraRefused = false, reusedLowestKey = false;
    Probe driver;
    MakeNoHandle(driver, 0);
    driver.onCompletion = [&](Probe& p) {
        EventLoop* loop = p.io.loop;
        int32_t error = 0;
        for (uint32_t i = 0; i < kKeys; ++i) {
            objects[i].flags = kIoKindPositionalFile;
            objects[i].handle = platform::FileHandle{realDescriptors ? dup(file) : -1};
            if (!EventLoop::Register(loop, &objects[i], &error)) {
                ++refused;
                continue;
            }
            if (objects[i].key >= kKeys) ++keyOutOfRange;
            else if (keySeen[objects[i].key]) ++keyTwice;
            else keySeen[objects[i].key] = true;
        }
        objects[kKeys].flags = kIoKindPositionalFile;
        objects[kKeys].handle = platform::FileHandle{realDescriptors ? dup(file) : -1};
        extraRefused = !EventLoop::Register(loop, &objects[kKeys], &lastError);
        if (extraRefused) platform::CloseFile(objects[kKeys].handle);
        // A released key is handed out again, lowest first.
        uint32_t released = objects[700].key;
        EventLoop::Unregister(&objects[700]);
        objects[kKeys + 1].flags = kIoKindPositionalFile;
        objects[kKeys + 1].handle = platform::kNoFile;
        reusedLowestKey = EventLoop::Register(loop, &objects[kKeys + 1], &error) &&
                          objects[kKeys + 1].key == released;
        for (IoObject& object : objects) EventLoop::Unregister(&object);
        Unregister(p);
    };
    EventLoop loop;
    RunLoop(loop, {&driver.io});
    if (realDescriptors) setrlimit(RLIMIT_NOFILE, &saved);
    close(file);
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(keyOutOfRange, 0u);
    EXPECT_EQ(keyTwice, 0u);
    EXPECT_TRUE(extraRefused);
    EXPECT_EQ(lastError, 8);
    EXPECT_TRUE(reusedLowestKey);
}

}  // namespace
}  // namespace kestrel::test
