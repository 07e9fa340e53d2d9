// Process limits and settings that only POSIX has: the open-file limit
// under a hard limit set per process, the TZ variable and an empty TMPDIR.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/clock.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace kestrel::platform {
namespace {

// Runs RaiseOpenFileLimit in a child whose hard limit is `hard` and returns
// the accepted value (divided by 256 to fit an exit status).
int AcceptedUnderHardLimit(rlim_t hard) {
    const pid_t child = fork();
    if (child == 0) {
        struct rlimit limits{hard, hard};
        if (setrlimit(RLIMIT_NOFILE, &limits) != 0) _exit(255);
        _exit(static_cast<int>(RaiseOpenFileLimit() / 256));
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(OpenFileLimit, HalvesUntilAcceptedAndNeverGoesToTwoFiftySix) {
    struct rlimit current;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &current), 0);
    if (current.rlim_max != RLIM_INFINITY && current.rlim_max < 8192) GTEST_SKIP() << "hard limit below 8192";
    EXPECT_EQ(AcceptedUnderHardLimit(8192), 8192 / 256);
    EXPECT_EQ(AcceptedUnderHardLimit(5000), 4096 / 256);
    EXPECT_EQ(AcceptedUnderHardLimit(600), 512 / 256);
    EXPECT_EQ(AcceptedUnderHardLimit(300), 0) << "256 itself is not acceptable";
}

TEST(OpenFileLimit, KestrelRefusesToStartWithoutEnoughFiles) {
    const test::ProcessResult result =
        test::RunProcess({"/usr/bin/prlimit", "--nofile=300:300", test::KestrelBinary(), "build.kv"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Cannot set file maximum\n");
}

TEST(Clock, BiasFollowsTheTimeZoneVariable) {
    const char* saved = std::getenv("TZ");
    const std::string savedValue = saved ? saved : "";
    setenv("TZ", "EST5EDT", 1);
    EXPECT_EQ(TimeZoneBiasMinutes(), 300) << "standard bias only, daylight not added";
    setenv("TZ", "IST-5:30", 1);
    EXPECT_EQ(TimeZoneBiasMinutes(), -330);
    setenv("TZ", "UTC0", 1);
    EXPECT_EQ(TimeZoneBiasMinutes(), 0);
    const int64_t utcNow = LocalFileTimeNow();
    setenv("TZ", "IST-5:30", 1);
    tzset();
    const int64_t indiaNow = LocalFileTimeNow();
    const int64_t shift = indiaNow - utcNow;
    EXPECT_NEAR(static_cast<double>(shift), 330.0 * 60 * kTicksPerSecond, 5.0 * kTicksPerSecond);
    if (saved)
        setenv("TZ", savedValue.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(Directories, TemporaryDirectoryFollowsTmpdir) {
    const char* saved = std::getenv("TMPDIR");
    const std::string savedValue = saved ? saved : "";
    std::string directory;
    int error = 0;
    setenv("TMPDIR", "/var/tmp/", 1);
    EXPECT_TRUE(TemporaryDirectory(directory, error));
    EXPECT_EQ(directory, "/var/tmp");
    setenv("TMPDIR", "", 1);
    EXPECT_TRUE(TemporaryDirectory(directory, error));
    EXPECT_EQ(directory, "/tmp");
    if (saved)
        setenv("TMPDIR", savedValue.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

}  // namespace
}  // namespace kestrel::platform
