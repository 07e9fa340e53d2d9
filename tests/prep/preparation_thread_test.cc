// The queue, the thread's batches, the stop request and the pipe.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <system_error>

#include "platform/anonymous_pipe.h"
#include "platform/process.h"
#include "prep/prep_fixture.h"
#include "prep/preparation_pipe.h"
#include "support/test_support.h"

namespace kestrel::test {
namespace {

TEST(PreparationThread, AnswersABatchMostRecentSubmissionFirst) {
    PreparationHarness harness;
    ASSERT_TRUE(harness.opened());
    Hop agent = MakeHop(HopProtocol::Agent, "agent", 0, "kvi://agent");
    PreparationRequest first;
    PreparationRequest second;
    first.firstHop = second.firstHop = &agent;
    // Both wait before the thread exists, so that it takes them as one batch.
    PreparationThread::Submit(harness.queue, first);
    PreparationThread::Submit(harness.queue, second);
    ASSERT_TRUE(harness.Start());

    const auto answers = harness.Collect(2);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].request, &second);
    EXPECT_EQ(answers[1].request, &first);
    for (const PreparationResponse& answer : answers) {
        EXPECT_EQ(answer.status, kPreparationAgentFirst);
        EXPECT_EQ(answer.error, 0u);
    }
}

TEST(PreparationThread, StopRequestEndsTheThreadInsideABatch) {
    PreparationHarness harness;
    ASSERT_TRUE(harness.opened());
    Hop agent = MakeHop(HopProtocol::Agent, "agent", 0, "kvi://agent");
    PreparationRequest behindStop;
    PreparationRequest beforeStop;
    behindStop.firstHop = beforeStop.firstHop = &agent;
    PreparationThread::Submit(harness.queue, behindStop);
    PreparationThread::RequestStop(harness.queue);
    PreparationThread::Submit(harness.queue, beforeStop);
    ASSERT_TRUE(harness.Start());
    // Stop waits for the end and closes the write end: the reader sees the end.
    ASSERT_TRUE(PreparationThread::Stop(harness.queue, 30000));

    const auto answers = harness.Collect(3);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].request, &beforeStop);
    EXPECT_TRUE(harness.pipeEnded());
}

TEST(PreparationThread, StopWithoutAThreadClosesThePipe) {
    PreparationHarness harness;
    ASSERT_TRUE(harness.opened());
    EXPECT_TRUE(PreparationThread::Stop(harness.queue, 0));
    EXPECT_FALSE(harness.queue.pipeWriteEnd.valid());
    EXPECT_TRUE(harness.Collect(1).empty());
    EXPECT_TRUE(harness.pipeEnded());
}

TEST(PreparationThread, AFailedPipeWriteIsPosted) {
    platform::IgnoreBrokenPipe();
    PreparationQueue queue;
    platform::FileHandle readEnd;
    int32_t error = 0;
    ASSERT_TRUE(platform::CreateAnonymousPipe(readEnd, queue.pipeWriteEnd, error));
    platform::CloseFile(readEnd);
    PreparationRequest request;
    CapturedOutput output;
    PreparationThread::Respond(queue, request, kPreparedConnected, 0);
    const int brokenPipe = static_cast<int>(std::errc::broken_pipe);
    EXPECT_EQ(output.Text(), "Cannot write to response pipe, error " + std::to_string(brokenPipe) + "\n");
    platform::CloseFile(queue.pipeWriteEnd);
}

TEST(PreparationPipe, AFailedReadPostsAndEndsTheProcessWithCode1) {
    TempDir directory;
    const std::string printed = directory / "stdout";
    EXPECT_EXIT(
        {
            std::freopen(printed.c_str(), "w", stdout);
            PreparationPipe::OnFailure(nullptr, 9);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFile(printed), "Preparation pipe failure, error 9\n");
}

}  // namespace
}  // namespace kestrel::test
