#include "runtime/messages.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrel {
namespace {

class DisplayModeMessages : public ::testing::Test {
protected:
    void SetUp() override { SetDisplayMode(true); }
    void TearDown() override {
        SetDisplayMode(false);
        std::lock_guard<std::mutex> hold(DisplayLock());
        testing::internal::CaptureStdout();
        DrainQueuedMessages();
        testing::internal::GetCapturedStdout();
    }
};

TEST_F(DisplayModeMessages, QueuedUntilDrainedThenMessagesBeforeWarnings) {
    testing::internal::CaptureStdout();
    uint32_t countBefore;
    {
        std::lock_guard<std::mutex> hold(DisplayLock());
        countBefore = QueuedMessageCount();
    }
    PostWarningText("first warning");
    const int32_t code = -13;
    PostMessageText("Cannot do {0}, error {1}", {{FormatString, "this"}, {FormatI32, &code}});
    PostWarningText("second warning");
    PostMessageText("second message");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "display mode must hold messages back";
    {
        std::lock_guard<std::mutex> hold(DisplayLock());
        EXPECT_EQ(QueuedMessageCount() - countBefore, 2u) << "warnings are not counted";
        testing::internal::CaptureStdout();
        DrainQueuedMessages();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Cannot do this, error -13\n"
              "second message\n"
              "WARNING: first warning\n"
              "WARNING: second warning\n");
    // Drained queues stay empty.
    std::lock_guard<std::mutex> hold(DisplayLock());
    testing::internal::CaptureStdout();
    DrainQueuedMessages();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(DisplayModeMessages, InvalidUtf8IsQueuedWithReplacementCharacters) {
    PostMessageText("bad \xFF byte");
    std::lock_guard<std::mutex> hold(DisplayLock());
    testing::internal::CaptureStdout();
    DrainQueuedMessages();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "bad \xEF\xBF\xBD byte\n");
}

TEST(PlainModeMessages, PrintedAtOnceWithWarningPrefix) {
    SetDisplayMode(false);
    testing::internal::CaptureStdout();
    PostMessageText("plain {0}", {{FormatString, "text"}});
    PostWarningText("careful");
    PostUserMessage(nullptr);  // a node that could not be allocated is simply dropped
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "plain text\nWARNING: careful\n");
}

std::string Sanitized(const std::string& bytes) {
    std::string out(bytes.size() * 3 + 1, '\0');
    out.resize(SanitizeUtf8(bytes.data(), static_cast<uint32_t>(bytes.size()), out.data()));
    return out;
}

TEST(SanitizeUtf8, ReplacesEachIllFormedSubpart) {
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(Sanitized("plain \xC3\xA9 \xF0\x9F\x98\x80"), "plain \xC3\xA9 \xF0\x9F\x98\x80");
    EXPECT_EQ(Sanitized("\xC0\xAF"), replacement + replacement) << "overlong lead bytes are never valid";
    EXPECT_EQ(Sanitized("\xED\xA0\x80"), replacement + replacement + replacement) << "encoded surrogate";
    EXPECT_EQ(Sanitized("\xE2\x82"), replacement) << "a truncated sequence is one subpart";
    EXPECT_EQ(Sanitized("\xE2\x82x"), replacement + "x");
    EXPECT_EQ(Sanitized("\xF4\x90\x80\x80"), replacement + replacement + replacement + replacement)
        << "beyond U+10FFFF";
    EXPECT_EQ(Sanitized(std::string("a\0b", 3)), std::string("a\0b", 3));
}

}  // namespace
}  // namespace kestrel
