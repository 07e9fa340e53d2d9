// In a terminal the job's row shows how much of its input archive has been
// sent, in whole KiB, while the pieces go out.

#include <regex>
#include <string>

#include "agent/agent_fixture.h"
#include "e2e/e2e_fixture.h"
#include "tmux_session.h"

namespace kestrel::test {
namespace {

class InputDisplayTest : public EndToEndTest {};

TEST_F(InputDisplayTest, TheJobRowCountsTheKilobytesSent) {
    if (FindProgram("tmux").empty()) GTEST_SKIP() << "tmux is not installed";
    // Each piece is answered late, so that the display can draw the rows in between.
    StartAgent({"--test-delay", "input-write:400", "--keep-alive-ms", "100"});
    Write("data/noise.bin", NoiseBytes(500000, 21));
    JobSpec job;
    job.inputs = {"data/noise.bin"};
    job.commands = {Shell("true")};
    Write("build.txt", Machine() + JobBlock(job));

    Tmux tmux(120, 30);
    ASSERT_TRUE(tmux.started()) << tmux.startError();
    tmux.Command("cd " + work.path());
    tmux.Command(tmux.Recorded(KestrelBinary() + " build.txt"));
    Screen screen;
    // 63K is the first whole piece (65525 bytes); the row is redrawn about once a second.
    const std::regex progress("Input transfer (6[3-9]|[7-9][0-9]|[1-9][0-9]{2,})K");
    ASSERT_TRUE(tmux.WaitFor([&](const Screen& s) { return std::regex_search(s.text, progress); }, screen))
        << screen.text;
    EXPECT_TRUE(screen.Contains("main")) << screen.text;
    ASSERT_TRUE(tmux.WaitForText("EXIT:0", screen)) << screen.text;
    EXPECT_TRUE(screen.Contains("All jobs successfully completed")) << screen.text;
}

}  // namespace
}  // namespace kestrel::test
