// The pieces of kestrel-report that decide what the page and the trace show:
// reading the log's values, ASCII JSON for the page, slots and the chain.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/chain.h"
#include "report/json_text.h"
#include "report/log_values.h"
#include "report/report_run.h"
#include "report/slots.h"

namespace kestrel::report {
namespace {

constexpr int64_t kSecond = kTicksPerSecond;

TEST(ReportValuesTest, TimestampsAndDurations) {
    struct Case {
        const char* text;
        bool valid;
        int64_t ticks;
    };
    // 2024-01-13T08:15:02.5Z is 1705133702.5 s after 1970.
    const Case timestamps[] = {
        {"2024-01-13T09:15:02.5+01:00", true, 1705133702 * kSecond + 5000000},
        {"2024-01-13T08:15:02.5+00:00", true, 1705133702 * kSecond + 5000000},
        {"2024-01-13T03:15:02.123-05:00", true, 1705133702 * kSecond + 1230000},
        {"2024-02-29T00:00:00.0+00:00", true, 1709164800 * kSecond},
        {"2024-01-13T09:15:02+01:00", false, 0},
        {"2024-13-13T09:15:02.5+01:00", false, 0},
        {"2024-01-13T09:15:02.5", false, 0},
        {"2024-01-13T09:15:02.5+01:00x", false, 0},
    };
    for (const Case& c : timestamps) {
        int64_t ticks = 0;
        EXPECT_EQ(ParseTimestamp(c.text, ticks), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(ticks, c.ticks) << c.text;
        }
    }
    const Case durations[] = {
        {"75.25", true, 75 * kSecond + 2500000}, {"2.0", true, 2 * kSecond}, {"0.1234567", true, 1234567},
        {"-1.5", true, -15000000},              {"3", false, 0},            {"1.12345678", false, 0},
        {".5", false, 0},                       {"1.5s", false, 0},
    };
    for (const Case& c : durations) {
        int64_t ticks = 0;
        EXPECT_EQ(ParseDuration(c.text, ticks), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(ticks, c.ticks) << c.text;
        }
    }
    EXPECT_EQ(MicrosecondsText(715000001), "71500000.1");
    EXPECT_EQ(SecondsText(75 * kSecond), "1 min 15 s");
}

TEST(ReportValuesTest, JsonStaysAsciiAndCannotEndTheScript) {
    const struct {
        std::string text;
        std::string json;
    } cases[] = {
        {"plain", "\"plain\""},
        {"</script>", "\"\\u003c/script\\u003e\""},
        {"a\"b\\c\n", "\"a\\\"b\\\\c\\u000a\""},
        {"\xC3\xA9", "\"\\u00e9\""},
        {"\xF0\x9F\x98\x80", "\"\\ud83d\\ude00\""},
        {"\xFF" "a\xC3", "\"\\ufffda\\ufffd\""},
        {"\xED\xA0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
    };
    for (const auto& c : cases) {
        std::string json;
        AppendJsonString(json, c.text);
        EXPECT_EQ(json, c.json);
    }
}

TEST(ReportValuesTest, OutputBesideTheLog) {
    EXPECT_EQ(OutputPath("build_log.xml", ".html"), "build_log.html");
    EXPECT_EQ(OutputPath("/a.b/run/build_log.xml", ".trace.json"), "/a.b/run/build_log.trace.json");
    EXPECT_EQ(OutputPath("/a.b/log", ".html"), "/a.b/log.html");
    EXPECT_EQ(OutputPath("/a/.hidden", ".html"), "/a/.hidden.html");
}

JobRecord Job(int64_t start, int64_t running, bool started = true) {
    JobRecord job;
    job.start = start * kSecond;
    job.running = running * kSecond;
    job.started = started;
    return job;
}

TEST(ReportValuesTest, SlotsNeverOverlapAndReuseTheLowestFree) {
    // Starts and running times in seconds, in no particular order.
    const std::vector<JobRecord> jobs = {Job(0, 10), Job(2, 3), Job(5, 1), Job(5, 2), Job(11, 1), Job(1, 20), Job(7, 0)};
    std::vector<uint32_t> slots;
    uint32_t count = 0;
    AssignSlots(jobs, {0, 1, 2, 3, 4, 5, 6}, slots, count);
    EXPECT_EQ(slots, (std::vector<uint32_t>{0, 2, 2, 3, 0, 1, 2}));
    EXPECT_EQ(count, 4u);
    for (size_t a = 0; a < jobs.size(); ++a)
        for (size_t b = a + 1; b < jobs.size(); ++b)
            if (slots[a] == slots[b]) {
                EXPECT_TRUE(jobs[a].End() <= jobs[b].start || jobs[b].End() <= jobs[a].start) << a << " " << b;
            }
    // Only the members count: two that follow each other share a slot.
    AssignSlots(jobs, {1, 3}, slots, count);
    EXPECT_EQ(count, 1u);
    AssignSlots(jobs, {0, 1}, slots, count);
    EXPECT_EQ(count, 2u);
}

TEST(ReportValuesTest, ChainFollowsTheLastJobThatEndedBeforeEachStart) {
    const struct {
        const char* what;
        std::vector<JobRecord> jobs;
        std::vector<bool> chain;
    } cases[] = {
        {"two chains, the later one wins", {Job(0, 2), Job(0, 5), Job(2, 1), Job(5, 4), Job(3, 1)},
         {false, true, false, true, false}},
        {"a job that did not start is never on it", {Job(0, 3), Job(3, 0, false), Job(3, 2)},
         {true, false, true}},
        {"overlapping jobs only: the one that ended last", {Job(0, 5), Job(1, 6)}, {false, true}},
        {"zero-length jobs at one time do not loop", {Job(1, 0), Job(1, 0)}, {true, true}},
        {"no jobs", {}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(WaitingChain(c.jobs), c.chain) << c.what;
}

}  // namespace
}  // namespace kestrel::report
