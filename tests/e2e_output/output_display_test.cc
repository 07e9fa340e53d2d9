// In a terminal the job's row shows how much of its output archive has
// arrived, in whole KiB, while the pieces come in.
#include <chrono>
#include <future>

#include "archive/archive_test_support.h"
#include "e2e_output/output_fixture.h"
#include "tmux_session.h"

namespace kestrel::test {
namespace {

class OutputDisplayTest : public OutputE2eTest {};

TEST_F(OutputDisplayTest, TheJobRowCountsTheKilobytesReceived) {
    if (FindProgram("tmux").empty()) GTEST_SKIP() << "tmux is not installed";
    // Noise does not compress: four pieces, the last one held back until the
    // row has been seen with the three before it (3 * 65523 bytes: 191K).
    const std::string data = RandomBytes(200000, 5);
    PeerScript script;
    script.archive = Gzip(TarHeader("out/data.bin", '0', data.size()) + PadToBlock(data) + ZeroBlocks(2));
    std::promise<void> seen;
    std::shared_future<void> release = seen.get_future().share();
    script.beforeLastPiece = [release] { release.wait_for(std::chrono::seconds(60)); };
    ScriptedPeer peer(script);
    std::string failure;
    ASSERT_TRUE(peer.Start(failure)) << failure;
    JobSpec job;
    job.outputs = {"out/data.bin"};
    WriteFile(ProjectPath("build.kv"), MachineBlock("local", peer.port()) + JobBlock(job));

    Tmux tmux(120, 30);
    ASSERT_TRUE(tmux.started()) << tmux.startError();
    tmux.Command("cd " + project);
    tmux.Command(tmux.Recorded(KestrelBinary() + " build.kv"));
    Screen screen;
    const bool shown = tmux.WaitForText("Output transfer 191K", screen);
    seen.set_value();
    EXPECT_TRUE(shown) << screen.text;
    EXPECT_TRUE(screen.Contains("main")) << screen.text;
    ASSERT_TRUE(tmux.WaitForText("EXIT:0", screen)) << screen.text;
    EXPECT_TRUE(screen.Contains("All jobs successfully completed")) << screen.text;
    peer.Wait();
    EXPECT_EQ(ReadFile(ProjectPath("out/data.bin")), data);
}

}  // namespace
}  // namespace kestrel::test
