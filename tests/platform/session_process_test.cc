// Session processes (the ssh forwards) end with the program even when it
// panics: TerminateAllSessionProcesses ends every one still held, and only
// those.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/process.h"
#include "platform/scratch_file.h"
#include "platform/session_process.h"
#include "support/test_support.h"

namespace kestrel::platform {
namespace {

struct Sleeper {
    FileHandle errors;
    ProcessHandle process;
};

// The test programs' sleeper, found on the search path as programs are.
bool StartSleeper(Sleeper& sleeper) {
    const char* arguments[] = {"kestrel_test_sleeper", "60", nullptr};
    int32_t error = 0;
    return CreateScratchFile(sleeper.errors, error) &&
           StartSessionProcess(arguments, sleeper.errors, sleeper.process, error);
}

bool Ended(ProcessHandle process) {
    bool ended = false;
    int32_t exitCode = 0;
    int32_t error = 0;
    return ProcessHasEnded(process, ended, exitCode, error) && ended;
}

// Waits up to ten seconds for `process` to end.
bool EndsSoon(ProcessHandle process) {
    for (int i = 0; i < 1000; ++i) {
        if (Ended(process)) return true;
        SleepMilliseconds(10);
    }
    return false;
}

TEST(SessionProcesses, APanicEndsThoseStillHeldAndSparesTheOthers) {
    const char* path = std::getenv("PATH");
    const test::EnvironmentOverride searchPath(
        "PATH", test::BuildDir() + test::kNativeSeparator + "tests" + test::kSearchPathSeparator + (path ? path : ""));
    Sleeper held, abandoned, another;
    ASSERT_TRUE(StartSleeper(held));
    ASSERT_TRUE(StartSleeper(abandoned));
    ASSERT_TRUE(StartSleeper(another));
    // Let go of: no longer the panic's to end.
    const ProcessHandle spared = abandoned.process;
    AbandonProcess(abandoned.process);
    EXPECT_FALSE(abandoned.process.valid());

    TerminateAllSessionProcesses();
    EXPECT_TRUE(EndsSoon(held.process));
    EXPECT_TRUE(EndsSoon(another.process));
    EXPECT_FALSE(Ended(spared));
    int32_t error = 0;
    ProcessHandle rest = spared;
    EXPECT_TRUE(TerminateSessionProcess(rest, error));
    for (ProcessHandle* process : {&held.process, &another.process, &rest}) CloseProcess(*process);
    for (Sleeper* sleeper : {&held, &abandoned, &another}) CloseScratchFile(sleeper->errors);
}

}  // namespace
}  // namespace kestrel::platform
