// What kestrel-report makes of documents: the job records and details of a
// small hand-written log, and a clear refusal, with nothing written, of
// anything that is not a whole build log.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "report/build_log_reader.h"
#include "support/test_support.h"

namespace kestrel::report {
namespace {

using test::FileExists;
using test::ProcessResult;
using test::ReadFile;
using test::RunProcess;
using test::TempDir;
using test::WriteFile;

const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<kv:BuildLog xmlns:kv=\"https://kestrel.build/Kestrelvane/BuildLog/1.0/\" version=\"0.1.2024\" "
    "StartTime=\"2024-01-13T09:15:02.5+01:00\" BuildHost=\"pc\" RunningTime=\"75.25\">\n"
    "  <kv:machine name=\"alpha\" PathID=\"0\">\n"
    "    <kv:hop url=\"kv://alpha:5017/\" to=\"192.0.2.10:5017\"/>\n"
    "    <kv:job name=\"refused\" machine=\"alpha\" PathID=\"0\" status=\"error\" "
    "StartTime=\"2024-01-13T09:15:03.0+01:00\" duration=\"0.0\" ErrorReason=\"Cannot create work area for the job\" "
    "ErrorCode=\"28\"/>\n"
    "  </kv:machine>\n";

// 130 characters split after 128 as the writer does, a control character, an
// invalid byte, and a standard error line after a first line without end.
const std::string kJob =
    "  <kv:job name=\"cc\" machine=\"alpha\" PathID=\"0\" status=\"failed\" "
    "StartTime=\"2024-01-13T09:15:03.25+01:00\" RunningTime=\"71.5\" concurrency=\"medium\">\n"
    "    <kv:command directory=\"src\" executable=\"cc\">\n"
    "      <kv:parameter xml:space=\"preserve\" value=\"a &amp; b.c\"/>\n"
    "      <kv:out offset=\"0\" xml:space=\"preserve\"><kv:elapsed offset=\"0\" seconds=\"0.5\"/>" +
    std::string(128, 'x') +
    "</kv:out>\n"
    "      <kv:out offset=\"128\" EOL=\"NL\" xml:space=\"preserve\">yy</kv:out>\n"
    "      <kv:out offset=\"131\" EOL=\"NL\" xml:space=\"preserve\"><kv:CodePoint value=\"1b\"/>[0m"
    "<kv:InvalidByte value=\"ff\"/></kv:out>\n"
    "      <kv:out offset=\"137\" xml:space=\"preserve\">tail<kv:elapsed EOF=\"true\" offset=\"141\" "
    "seconds=\"0.7\"/></kv:out>\n"
    "      <kv:err offset=\"0\" EOL=\"NL\" xml:space=\"preserve\">bad &lt;input&gt;</kv:err>\n"
    "      <kv:return value=\"1\" elapsed=\"0.8\"/>\n"
    "    </kv:command>\n"
    "    <kv:output>bin/app</kv:output>\n"
    "  </kv:job>\n";

const std::string kLog = kHead + kJob + "</kv:BuildLog>\n";

std::string Details(DetailsWriter& details) {
    std::FILE* copy = std::tmpfile();
    EXPECT_TRUE(details.CopyTo(copy));
    std::string text(static_cast<size_t>(std::ftell(copy)), '\0');
    std::rewind(copy);
    EXPECT_EQ(std::fread(text.data(), 1, text.size(), copy), text.size());
    std::fclose(copy);
    return text;
}

TEST(ReportInputTest, JobsAndTheirDetails) {
    TempDir dir;
    WriteFile(dir / "build_log.xml", kLog);
    DetailsWriter details;
    BuildLog log;
    std::string message;
    ASSERT_TRUE(details.Open(message));
    ASSERT_TRUE(ReadBuildLog(dir / "build_log.xml", details, log, message)) << message;
    ASSERT_EQ(log.jobs.size(), 2u);
    ASSERT_EQ(log.connections.size(), 1u);
    EXPECT_EQ(log.connections[0].route, "kv://alpha:5017/");
    EXPECT_EQ(log.runningTime, 752500000);

    const JobRecord& refused = log.jobs[0];
    EXPECT_FALSE(refused.started);
    EXPECT_EQ(refused.status, JobStatus::kError);
    EXPECT_EQ(refused.errorCode, 28u);
    EXPECT_EQ(refused.start - log.start, 5000000);

    const JobRecord& cc = log.jobs[1];
    EXPECT_TRUE(cc.started);
    EXPECT_EQ(cc.status, JobStatus::kFailed);
    EXPECT_EQ(cc.running, 715000000);
    EXPECT_EQ(cc.failedCommand, 1u);

    const std::string text = Details(details);
    EXPECT_EQ(text.substr(refused.detailsOffset, refused.detailsLength), "[]");
    EXPECT_EQ(text.substr(cc.detailsOffset, cc.detailsLength),
              "[\"Ccc\",\"Dsrc\",\"Pa \\u0026 b.c\",\"o" + std::string(128, 'x') +
                  "yy\",\"o\\u241b[0m\\ufffd\",\"otail\",\"ebad \\u003cinput\\u003e\",\"Rexit value 1 after 0.8 s\","
                  "\"F\",\"Obin/app\"]");
}

TEST(ReportInputTest, RefusesWhatIsNotAWholeBuildLog) {
    const struct {
        const char* what;
        std::string document;
        std::string message;
    } cases[] = {
        {"empty file", "", "not a"},
        {"not XML", "hello\n", "not an XML document"},
        {"another document", "<?xml version=\"1.0\"?>\n<html><body/></html>\n", "not a kestrel build log"},
        {"another namespace", "<kv:BuildLog xmlns:kv=\"urn:other\" StartTime=\"2024-01-13T09:15:02.5+01:00\"/>",
         "not a kestrel build log"},
        {"cut in a job", kHead + kJob.substr(0, kJob.size() / 2), "cut short"},
        {"cut before the end tag", kHead + kJob, "cut short"},
        {"a job without times", kHead + "  <kv:job name=\"j\" machine=\"alpha\" PathID=\"0\" status=\"failed\"/>\n</kv:BuildLog>\n",
         "lacks its PathID, StartTime or running time"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        WriteFile(dir / "build_log.xml", c.document);
        for (const bool trace : {false, true}) {
            std::vector<std::string> command = {KESTREL_REPORT_BINARY};
            if (trace) command.push_back("--trace");
            command.push_back(dir / "build_log.xml");
            const ProcessResult run = RunProcess(command);
            EXPECT_EQ(run.exitCode, 1) << c.what;
            EXPECT_NE(run.err.find(c.message), std::string::npos) << c.what << ": " << run.err;
            EXPECT_EQ(run.err.rfind("kestrel-report: " + (dir / "build_log.xml"), 0), 0u) << run.err;
            EXPECT_FALSE(FileExists(dir / "build_log.html")) << c.what;
            EXPECT_FALSE(FileExists(dir / "build_log.html.part")) << c.what;
            EXPECT_FALSE(FileExists(dir / "build_log.trace.json")) << c.what;
        }
    }
    const ProcessResult missing = RunProcess({KESTREL_REPORT_BINARY, "/nonexistent/build_log.xml"});
    EXPECT_EQ(missing.exitCode, 1);
    const ProcessResult usage = RunProcess({KESTREL_REPORT_BINARY});
    EXPECT_EQ(usage.exitCode, 1);
    EXPECT_NE(usage.err.find("usage: kestrel-report"), std::string::npos);
}

}  // namespace
}  // namespace kestrel::report
