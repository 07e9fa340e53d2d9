// A Ctrl+C of the user's, as POSIX delivers it (SIGINT), ends a plain-mode
// run in a panic report. The script is a FIFO that is never written, and
// the child's open files are watched through /proc.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "panic_report.h"

namespace kestrel {
namespace {

TEST_F(PanicReport, InterruptInPlainModeEndsWithCodeTwoAndAReport) {
    // The script is a FIFO that is never written, so kestrel is still reading
    // it when the interrupt arrives.
    const std::string script = temp / "build.kv";
    ASSERT_EQ(mkfifo(script.c_str(), 0600), 0);
    const int writer = open(script.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    test::ProcessOptions options;
    options.workingDirectory = temp.path();
    options.environment["TMPDIR"] = temp / "tmp";
    test::ChildProcess kestrel({test::KestrelBinary(), "--automated", "build.kv"}, options);
    ASSERT_TRUE(kestrel.WaitUntilHolding(script));
    kestrel.Signal(SIGINT);
    const test::ProcessResult result = kestrel.Wait();
    close(writer);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.err, "Panicking...\n" + kNotice);
    const std::map<std::string, std::string> tree = Extract();
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree.at("panic.message.txt"), Utf16Line("CTRL_C_EVENT\tmessage\tpanic.message.txt\n"));
    EXPECT_TRUE(KvlogFiles(temp / "tmp").empty());
}

}  // namespace
}  // namespace kestrel
