// build_log.xml where POSIX lets a test reach further: a descriptor limit
// that proves the open-file budget, and a device that fails every write.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "build_log_fixture.h"

namespace kestrel::test {
namespace {

// The lowest descriptor limit under which exactly `free` descriptors are
// still to be had: descriptors are numbered, and a limit counts numbers.
rlim_t LimitLeaving(size_t free) {
    std::vector<int> open;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        open.push_back(std::stoi(entry.path().filename().string()));
    // The listing's own descriptor is closed again by now.
    std::erase_if(open, [](int fd) { return !std::filesystem::exists(std::filesystem::symlink_status("/proc/self/fd/" + std::to_string(fd))); });
    std::sort(open.begin(), open.end());
    size_t below = 0;
    for (rlim_t limit = 0;; ++limit) {
        while (below < open.size() && static_cast<rlim_t>(open[below]) < limit) ++below;
        if (limit - below == free) return limit;
    }
}

// Generation in a child whose descriptor limit leaves room for the build
// log reader's connection log and `files` temporary files.
void GenerateWithinDescriptors(TestLog& log, const BuildLogSettings& settings, const std::string& path, size_t files) {
    BuildLogWriter writer(3, 0);
    if (!writer.AddConnection(log.HandOver(), false)) std::_Exit(3);
    std::FILE* out = std::fopen(path.c_str(), "w+b");
    if (out == nullptr) std::_Exit(4);
    const rlim_t allowed = LimitLeaving(1 + files);
    const rlimit limit{allowed, allowed};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) std::_Exit(5);
    std::_Exit(writer.Generate(out, settings) ? 0 : 1);
}

TEST_F(BuildLogTest, ABudgetOfThreeNeverHasMoreThanThreeTemporaryFilesOpen) {
    {
        TestLog log("builder", 0, "kv://b");
        FiftyInterleavedJobs(log);
        EXPECT_EXIT(GenerateWithinDescriptors(log, settings, DocumentPath(), 3), ::testing::ExitedWithCode(0), "");
    }
    // One descriptor fewer is not enough: the limit is what made it fit.
    TestLog log("builder", 0, "kv://b");
    FiftyInterleavedJobs(log);
    EXPECT_EXIT(GenerateWithinDescriptors(log, settings, DocumentPath(), 2), ::testing::ExitedWithCode(1), "");
}

TEST_F(BuildLogTest, AFailedWriteToTheBuildLogIsReported) {
    TestLog log("builder", 0, "kv://b");
    log.Reached().StartJob(1, "j", kRunStart).Command(1, "cc").Poll(OutputEvent(1, 1, 1, std::string(60000, 'x')));
    BuildLogWriter writer(100);
    ASSERT_TRUE(writer.AddConnection(log.HandOver(), false));
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(writer.Generate(full, settings));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot write to the build log\n");
    std::fclose(full);
    writer.CleanUp();
    EXPECT_EQ(TemporaryFiles(), std::vector<std::string>{});
}

}  // namespace
}  // namespace kestrel::test
