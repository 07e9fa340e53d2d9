#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace kestrel {
namespace {

CommandLineResult Parse(std::vector<const char*> args, StartupOptions& options) {
    args.insert(args.begin(), "kestrel");
    return ParseCommandLine(static_cast<int>(args.size()), args.data(), options);
}

TEST(CommandLine, LastArgumentIsAlwaysTheScript) {
    StartupOptions options;
    ASSERT_EQ(Parse({"--rebuild"}, options), CommandLineResult::Run);
    EXPECT_EQ(options.scriptPath, "--rebuild");
    EXPECT_FALSE(options.rebuild);

    StartupOptions all;
    ASSERT_EQ(Parse({"--job", "first", "--rebuild", "--automated", "--server-user-list", "u@h", "--job", "second",
                     "build.kv"},
                    all),
              CommandLineResult::Run);
    EXPECT_TRUE(all.hasJobName);
    EXPECT_EQ(all.jobName, "second") << "a later --job replaces the earlier one";
    EXPECT_TRUE(all.rebuild);
    EXPECT_TRUE(all.automated);
    EXPECT_EQ(all.scriptPath, "build.kv");
}

TEST(CommandLine, UsageErrors) {
    StartupOptions options;
    EXPECT_EQ(Parse({}, options), CommandLineResult::Usage);
    EXPECT_EQ(Parse({"--job", "build.kv"}, options), CommandLineResult::Usage) << "its value would be the script";
    EXPECT_EQ(Parse({"--server-user-list", "build.kv"}, options), CommandLineResult::Usage);
    EXPECT_EQ(Parse({"--Rebuild", "build.kv"}, options), CommandLineResult::Usage) << "options are case-sensitive";
    EXPECT_EQ(Parse({"-j", "build.kv"}, options), CommandLineResult::Usage);
    EXPECT_EQ(Parse({"--panic"}, options), CommandLineResult::PanicRelaunch);
    EXPECT_EQ(Parse({"--panic", "anything"}, options), CommandLineResult::PanicRelaunch);
    EXPECT_EQ(Parse({"x", "--panic"}, options), CommandLineResult::Usage) << "--panic counts only as the first argument";
}

TEST(CommandLine, LongValuesAreCut) {
    StartupOptions options;
    const std::string longName(5000, 'j');
    ASSERT_EQ(Parse({"--job", longName.c_str(), "s"}, options), CommandLineResult::Run);
    EXPECT_EQ(options.jobName.size(), kMaxArgumentBytes);
}

const char kUsage[] =
    "USAGE: kestrel [options] script\n"
    "--job job-name: The job to run. The job main is run if not specified\n"
    "--rebuild: If specified, all dependent jobs are run\n"
    "--automated: If specified, the build is performed in an automated way\n"
    "--server-user-list server-list: Optionally used to specify an ssh user/server list\n"
    "script: The script containing the main job or the specified job\n";

TEST(KestrelProgram, UsageOnStandardErrorWithExitCodeOne) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"--job", "build.kv"}, {"--unknown", "build.kv"}, {"--server-user-list", "build.kv"}}) {
        std::vector<std::string> argv{test::KestrelBinary()};
        argv.insert(argv.end(), args.begin(), args.end());
        const test::ProcessResult result = test::RunProcess(argv);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err, test::PrintedLines(kUsage));
        EXPECT_EQ(result.out, "");
    }
}

}  // namespace
}  // namespace kestrel
