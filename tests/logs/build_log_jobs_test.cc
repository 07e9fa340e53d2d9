// The job records of a connection log as build_log.xml shows them: job
// elements and their attributes, refused starts, environment edits,
// commands, outputs, the job-level failures with their error chains, and
// the ends the machine and the client give a job.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "build_log_fixture.h"
#include "logs/connection_log.h"

namespace kestrel::test {
namespace {

const int64_t kStart = kRunStart + kSecond;  // 2024-01-13T09:15:03.5+01:00
const std::string kStartText = "2024-01-13T09:15:03.5+01:00";

class JobRecords : public BuildLogTest {
protected:
    // The job element named `name` after the machine elements.
    static std::string JobElement(const std::string& document, const std::string& name) {
        const size_t jobs = document.rfind("  </kv:machine>\n");
        const size_t start = document.find("  <kv:job name=\"" + name + "\"", jobs);
        if (start == std::string::npos) return "";
        const size_t end = document.find("  </kv:job>\n", start);
        return document.substr(start, end + 12 - start);
    }

    // The first line of the job element.
    static std::string StartTag(const std::string& document, const std::string& name) {
        const std::string element = JobElement(document, name);
        return element.substr(0, element.find('\n') + 1);
    }

    // The lines between the job element's tags.
    static std::string Content(const std::string& document, const std::string& name) {
        const std::string element = JobElement(document, name);
        const size_t first = element.find('\n') + 1;
        return element.substr(first, element.size() - first - 12);
    }
};

std::string JobTag(const std::string& name, const std::string& status, const std::string& running,
                   const std::string& rest = "") {
    return "  <kv:job name=\"" + name + "\" machine=\"builder\" PathID=\"0\" status=\"" + status + "\" StartTime=\"" +
           kStartText + "\" RunningTime=\"" + running + "\" concurrency=\"medium\"" + rest + ">\n";
}

TEST_F(JobRecords, RefusedStartsAreJobErrorElementsOfTheMachine) {
    TestLog log("builder", 0, "kv://b");
    log.Reached();
    for (uint8_t status = 1; status <= 7; ++status)
        log.StartJob(status, "job" + std::to_string(status), kStart, status, 25, 30 + status);
    const std::string document = Generate({&log});
    const char* reasons[] = {"Cannot allocate a job for the connection", "Job ID already allocated for the connection",
                             "Cannot allocate an environment block for the job", "Cannot get current time at job start",
                             "Cannot create work area for the job", "Cannot open work area for the job",
                             "Corrupt request allocating a job"};
    std::string expected = "  <kv:machine name=\"builder\" PathID=\"0\">\n    <kv:hop url=\"kv://b\"/>\n";
    for (int status = 1; status <= 7; ++status) {
        expected += "  <kv:job name=\"job" + std::to_string(status) + "\" machine=\"builder\" PathID=\"0\" status=\"error\" StartTime=\"" +
                    kStartText + "\" duration=\"0.0\" ErrorReason=\"" + reasons[status - 1] + "\"";
        expected += status >= 4 && status <= 6 ? " ErrorCode=\"" + std::to_string(30 + status) + "\"/>\n" : "/>\n";
    }
    expected += "  </kv:machine>\n</kv:BuildLog>\n";
    EXPECT_EQ(document.substr(document.find("  <kv:machine")), expected);
}

TEST_F(JobRecords, AStartDelayedForLackOfRoomShowsItsDelay) {
    TestLog log("builder", 0, "kv://b");
    log.Reached()
        .StartJob(1, "late", kStart - 2 * kSecond - 500 * kMillisecond, 8)
        .StartJob(2, "other", kStart + kSecond)
        .StartJob(1, "late", kStart, 0, 128)
        .EndJob(1, kStart + 10 * kSecond)
        .EndJob(2, kStart + 2 * kSecond);
    const std::string document = Generate({&log});
    EXPECT_EQ(StartTag(document, "late"), "  <kv:job name=\"late\" machine=\"builder\" PathID=\"0\" status=\"succeeded\" StartTime=\"" +
                                              kStartText + "\" RunningTime=\"10.0\" concurrency=\"low\" DelayTime=\"2.5\">\n");
    EXPECT_EQ(StartTag(document, "other").find("DelayTime"), std::string::npos);
}

TEST_F(JobRecords, AJobIdUsedAgainStartsANewRecord) {
    TestLog log("builder", 0, "kv://b");
    log.Reached()
        .StartJob(1, "first", kStart)
        .Environment(1, 1, "A", "1")
        .Command(1, "cc")
        .AddOutput(1, {"a.o"})
        .EndJob(1, kStart + kSecond)
        .StartJob(1, "second", kStart)
        .Environment(2, 1, "B", "2")
        .EndJob(1, kStart + 3 * kSecond, 0, kJobStateFailed);
    const std::string document = Generate({&log});
    EXPECT_EQ(JobElement(document, "first"), JobTag("first", "succeeded", "1.0") +
                                                 "    <kv:PrefixEnvironment name=\"A\" value=\"1\"/>\n"
                                                 "    <kv:command executable=\"cc\">\n    </kv:command>\n"
                                                 "    <kv:output>a.o</kv:output>\n  </kv:job>\n");
    EXPECT_EQ(JobElement(document, "second"),
              JobTag("second", "failed", "3.0") + "    <kv:SuffixEnvironment name=\"B\" value=\"2\"/>\n  </kv:job>\n");
}

TEST_F(JobRecords, EnvironmentEditsAndCommandsWithTheirParameters) {
    TestLog log("builder", 0, "kv://b");
    log.Reached().StartJob(1, "j", kStart);
    log.Environment(1, 1, "PATH", "/opt/bin").Environment(2, 1, "LIB", "a&b").Environment(3, 1, "MODE", "\"release\"");
    log.Command(1, "cc", {"-o", "<out>", "it's"}, "src dir");
    // The executable names an environment variable (bit 0), and so does
    // parameter 9 (bit 1 of the second byte).
    std::string strings = log.Text("") + log.Text("COMPILER");
    for (int i = 1; i <= 10; ++i) strings += log.Text(i == 9 ? "HOME" : "p" + std::to_string(i));
    log.Execute(1, Bytes().u8(1).u8(2).u8(0x01).u8(0x02).s(), strings);
    log.EndJob(1, kStart + kSecond);
    std::string parameters;
    for (int i = 1; i <= 10; ++i)
        parameters += i == 9 ? "      <kv:parameter xml:space=\"preserve\" environment=\"HOME\"/>\n"
                             : "      <kv:parameter xml:space=\"preserve\" value=\"p" + std::to_string(i) + "\"/>\n";
    EXPECT_EQ(Content(Generate({&log}), "j"),
              "    <kv:PrefixEnvironment name=\"PATH\" value=\"/opt/bin\"/>\n"
              "    <kv:SuffixEnvironment name=\"LIB\" value=\"a&amp;b\"/>\n"
              "    <kv:ReplaceEnvironment name=\"MODE\" value=\"&quot;release&quot;\"/>\n"
              "    <kv:command directory=\"src dir\" executable=\"cc\">\n"
              "      <kv:parameter xml:space=\"preserve\" value=\"-o\"/>\n"
              "      <kv:parameter xml:space=\"preserve\" value=\"&lt;out&gt;\"/>\n"
              "      <kv:parameter xml:space=\"preserve\" value=\"it&apos;s\"/>\n"
              "    </kv:command>\n"
              "    <kv:command ExecutableFromEnvironment=\"COMPILER\">\n" +
                  parameters + "    </kv:command>\n");
}

TEST_F(JobRecords, ACommandTheMachineDidNotStartCarriesItsErrorMessage) {
    TestLog log("builder", 0, "kv://b");
    log.Reached().StartJob(1, "j", kStart);
    for (uint32_t status = 1; status <= 9; ++status)
        log.Execute(1, std::string(1, '\0'), log.Text("") + log.Text("cc"), status,
                    status == 6 ? Bytes().u32(2).str("No such file <cc>").s() : "");
    const std::string document = Generate({&log});
    const char* messages[] = {
        "Invalid job ID specified while attempting to execute a process",
        "Cannot execute a process before a step has started",
        "Corrupt request when attempting to execute a process",
        "Insufficient memory when attempting to execute a process",
        "Process already running when attempting to execute a process",
        "No such file &lt;cc&gt;\" ErrorCode=\"2",
        "Executable specified by an environment variable that is not set",
        "An attempt to execute a process was made while a process setup is in progress",
        "An attempt to execute a process was made while an output transfer is in progress",
    };
    std::string expected = JobTag("j", "failed", "0.0");
    for (const char* message : messages)
        expected += std::string("    <kv:command executable=\"cc\" ErrorMessage=\"") + message + "\">\n    </kv:command>\n";
    EXPECT_EQ(JobElement(document, "j"), expected + "  </kv:job>\n");
}

struct JobCase {
    const char* what;
    std::function<void(TestLog&, uint8_t)> records;
    std::string tag;  // the job element's start tag after concurrency="medium"
    std::string status = "failed";
};

TEST_F(JobRecords, StepInputAndEnvironmentFailuresSetTheJobsReason) {
    const JobCase cases[] = {
        {"step start 1", [](TestLog& l, uint8_t id) { l.Record(Bytes().u8(7).u8(id).s(), Bytes().u32(1).s()); },
         " ErrorReason=\"Cannot start the step on builder, the job is invalid\""},
        {"step start 2", [](TestLog& l, uint8_t id) { l.Record(Bytes().u8(7).u8(id).s(), Bytes().u32(2).u32(5).s()); },
         " ErrorCode=\"5\" ErrorReason=\"Cannot set file times while starting a step on builder\""},
        {"step start 3", [](TestLog& l, uint8_t id) { l.Record(Bytes().u8(7).u8(id).s(), Bytes().u32(3).u32(7).str("disk & full").s()); },
         " ErrorCode=\"7\" ErrorReason=\"Cannot start a step or flush the input on builder, error disk &amp; full\""},
        {"step start 4", [](TestLog& l, uint8_t id) { l.Record(Bytes().u8(7).u8(id).s(), Bytes().u32(4).s()); },
         " ErrorReason=\"Cannot start the step on builder, insufficient memory\""},
        {"step start 5", [](TestLog& l, uint8_t id) { l.Record(Bytes().u8(7).u8(id).s(), Bytes().u32(5).s()); },
         " ErrorReason=\"Cannot start the step on builder, the request was corrupt\""},
        {"step start 0", [](TestLog& l, uint8_t id) { l.Record(Bytes().u8(7).u8(id).s(), Bytes().u32(0).s()); }, "", "succeeded"},
        {"input write 1", [](TestLog& l, uint8_t id) { l.Record(Bytes().u8(12).u8(id).s(), Bytes().u32(1).s()); },
         " ErrorReason=\"Input transfer specified an invalid job to builder\""},
        {"input write 2", [](TestLog& l, uint8_t id) { l.Record(Bytes().u8(12).u8(id).s(), Bytes().u32(2).s()); },
         " ErrorReason=\"Input transfer attempted to builder after a step started\""},
        {"input write 3", [](TestLog& l, uint8_t id) { l.Record(Bytes().u8(12).u8(id).s(), Bytes().u32(3).s()); },
         " ErrorReason=\"Insufficient memory on builder to complete the input transfer\""},
        {"input write 4", [](TestLog& l, uint8_t id) { l.Record(Bytes().u8(12).u8(id).s(), Bytes().u32(4).u32(1).s()); },
         " ErrorCode=\"1\" ErrorReason=\"Cannot set file times while transferring input on builder\""},
        {"input write 5", [](TestLog& l, uint8_t id) { l.Record(Bytes().u8(12).u8(id).s(), Bytes().u32(5).u32(28).str("no space").s()); },
         " ErrorCode=\"28\" ErrorReason=\"Cannot transfer input to builder, error no space\""},
        {"development environment set",
         [](TestLog& l, uint8_t id) { l.Record(Bytes().u8(8).u8(id).str("vs17").s(), Bytes().u32(0).s()); },
         " DevelopmentEnvironment=\"vs17\"", "succeeded"},
        {"development environment unknown",
         [](TestLog& l, uint8_t id) { l.Record(Bytes().u8(8).u8(id).str("vs<9>").s(), Bytes().u32(2).s()); },
         " ErrorReason=\"The development environment is not known by the server\" DevelopmentEnvironment=\"vs&lt;9&gt;\""},
        {"a later error replaces the earlier",
         [](TestLog& l, uint8_t id) {
             l.Record(Bytes().u8(7).u8(id).s(), Bytes().u32(2).u32(5).s());
             l.Record(Bytes().u8(8).u8(id).str("e").s(), Bytes().u32(6).s());
         },
         " ErrorReason=\"Development environments are not supported by the server\" DevelopmentEnvironment=\"e\""},
    };
    TestLog log("builder", 0, "kv://b");
    log.Reached();
    uint8_t id = 0;
    for (const JobCase& c : cases) {
        log.StartJob(++id, c.what, kStart);
        c.records(log, id);
        log.EndJob(id, kStart + kSecond);
    }
    const std::string document = Generate({&log});
    for (const JobCase& c : cases)
        EXPECT_EQ(StartTag(document, c.what), JobTag(c.what, c.status, "1.0", c.tag)) << c.what;
}

TEST_F(JobRecords, OutputRequestsAndTheirFailures) {
    const JobCase cases[] = {
        {"listed", [](TestLog& l, uint8_t id) { l.AddOutput(id, {"bin/a", "bin/b&c"}); },
         "    <kv:output>bin/a</kv:output>\n    <kv:output>bin/b&amp;c</kv:output>\n", "succeeded"},
        {"missing file removes the list",
         [](TestLog& l, uint8_t id) { l.AddOutput(id, {"bin/a", "bin/b"}, false, 6, Bytes().str("bin/b").s()); },
         "    <kv:OutputError error=\"missing file\">bin/b</kv:OutputError>\n"},
        {"the failed-output list stays",
         [](TestLog& l, uint8_t id) { l.AddOutput(id, {"log.txt"}, true, 6, Bytes().str("log.txt").s()); },
         "    <kv:output>log.txt</kv:output>\n    <kv:OutputError error=\"missing file\">log.txt</kv:OutputError>\n"},
        {"outputs after a reset stay",
         [](TestLog& l, uint8_t id) {
             l.Record(Bytes().u8(10).u8(id).s(), Bytes().u32(0).s());
             l.AddOutput(id, {"x"}, false, 7, Bytes().str("/etc/x").s());
         },
         "    <kv:output>x</kv:output>\n    <kv:OutputError error=\"invalid path\">/etc/x</kv:OutputError>\n"},
        {"invalid job", [](TestLog& l, uint8_t id) { l.AddOutput(id, {"x"}, false, 1); }, "    <kv:OutputError error=\"invalid job\"/>\n"},
        {"corrupt", [](TestLog& l, uint8_t id) { l.AddOutput(id, {"x"}, false, 2); }, "    <kv:OutputError error=\"invalid request format\"/>\n"},
        {"wrong status", [](TestLog& l, uint8_t id) { l.AddOutput(id, {"x"}, false, 3); }, "    <kv:OutputError error=\"invalid status\"/>\n"},
        {"no memory", [](TestLog& l, uint8_t id) { l.AddOutput(id, {"x"}, false, 4); }, "    <kv:OutputError error=\"insufficient memory\"/>\n"},
        {"in progress", [](TestLog& l, uint8_t id) { l.AddOutput(id, {"x"}, false, 5); }, "    <kv:OutputError error=\"output in progress\"/>\n"},
        {"an error with text", [](TestLog& l, uint8_t id) { l.AddOutput(id, {"x"}, false, 8, Bytes().u32(13).str("denied <x>").s()); },
         "    <kv:OutputError error=\"denied &lt;x&gt;\"/>\n"},
        {"reset errors end without a newline",
         [](TestLog& l, uint8_t id) {
             for (uint32_t status = 1; status <= 4; ++status) l.Record(Bytes().u8(10).u8(id).s(), Bytes().u32(status).s());
         },
         "    <kv:OutputResetError error=\"invalid job\"/>    <kv:OutputResetError error=\"invalid request format\"/>"
         "    <kv:OutputResetError error=\"invalid status\"/>    <kv:OutputResetError error=\"output in request\"/>"},
        {"transfer errors end without a newline",
         [](TestLog& l, uint8_t id) {
             for (uint32_t status = 1; status <= 4; ++status) l.Record(Bytes().u8(11).u8(id).s(), Bytes().u32(status).s());
             l.Record(Bytes().u8(11).u8(id).s(), Bytes().u32(5).u32(9).str("gone & lost").s());
         },
         "    <kv:OutputDownloadError error=\"invalid job\"/>    <kv:OutputDownloadError error=\"invalid request format\"/>"
         "    <kv:OutputDownloadError error=\"invalid status\"/>    <kv:OutputDownloadError error=\"gone &amp; lost\"/>"},
    };
    const char* reasons[] = {"", "An output file was missing", "An output file was missing",
                             "An output path was unacceptable to the machine", "Job specified in the add output request was invalid",
                             "An add output request was corrupt",
                             "An add output request was made while the connection status was incorrect",
                             "Insufficient memory on the machine to add output",
                             "Output was added while output was being transferred", "An error occurred adding output",
                             "Output was reset while output was being transferred", "An error occurred transferring output"};
    TestLog log("builder", 0, "kv://b");
    log.Reached();
    uint8_t id = 0;
    for (const JobCase& c : cases) {
        log.StartJob(++id, c.what, kStart);
        c.records(log, id);
        log.EndJob(id, kStart + kSecond);
    }
    const std::string document = Generate({&log});
    for (size_t i = 0; i < std::size(cases); ++i) {
        const JobCase& c = cases[i];
        const std::string reason = i == 0 ? "" : std::string(" ErrorReason=\"") + reasons[i] + "\"";
        EXPECT_EQ(JobElement(document, c.what), JobTag(c.what, c.status, "1.0", reason) + c.tag + "  </kv:job>\n") << c.what;
    }
}

TEST_F(JobRecords, EndJobStatusesAndTheClientsOwnEndJob) {
    TestLog log("builder", 0, "kv://b");
    log.Reached();
    log.StartJob(1, "invalid id", kStart).Record(Bytes().u8(8).u8(1).str("vs").s(), Bytes().u32(2).s());
    log.EndJob(1, kStart + kSecond, 1);
    log.StartJob(2, "corrupt end", kStart).Record(Bytes().u8(12).u8(2).s(), Bytes().u32(4).u32(3).s());
    log.EndJob(2, kStart + kSecond, 2);
    log.StartJob(3, "abandoned", kStart).Command(3, "cc");
    log.Poll(OutputEvent(0, 3, 0, "half a line"));
    ASSERT_TRUE(log.log().WriteConnectionError(104, "Connection reset"));
    ASSERT_TRUE(log.log().WriteAbandonedEndJob(3, 0x8000 | kJobStateFailed));
    const std::string document = Generate({&log});
    const std::string rest = "\" concurrency=\"medium\" ErrorReason=\"";
    EXPECT_EQ(StartTag(document, "invalid id"),
              "  <kv:job name=\"invalid id\" machine=\"builder\" PathID=\"0\" status=\"error\" StartTime=\"" + kStartText +
                  "\" RunningTime=\"1.0" + rest + "Job ID passed to end job is invalid\">\n");
    EXPECT_EQ(StartTag(document, "corrupt end"),
              "  <kv:job name=\"corrupt end\" machine=\"builder\" PathID=\"0\" status=\"error\" StartTime=\"" + kStartText +
                  "\" RunningTime=\"1.0" + rest + "End job request was corrupt\">\n");
    // The client's EndJob after the connection failed: failed, running until
    // the teardown, its command closed without the unended line.
    const std::string abandoned = JobElement(document, "abandoned");
    EXPECT_NE(abandoned.find("status=\"failed\""), std::string::npos) << abandoned;
    EXPECT_NE(abandoned.find("\n    <kv:command executable=\"cc\">\n    </kv:command>\n  </kv:job>\n"), std::string::npos) << abandoned;
    EXPECT_EQ(abandoned.find("RunningTime=\"0.0\""), std::string::npos);
}

TEST_F(JobRecords, ACommandLeftOpenAtTheEndOfTheLogIsClosed) {
    TestLog log("builder", 0, "kv://b");
    log.Reached().StartJob(1, "j", kStart).Command(1, "cc", {"x"});
    log.Poll(OutputEvent(0, 1, 0, "done\nunfinished") + OutputEvent(2, 1, 0, "warning\n") + ValueEvent(4, 1, 0, 0));
    const std::string document = Generate({&log});
    EXPECT_EQ(JobElement(document, "j"),
              JobTag("j", "succeeded", "0.0") +
                  "    <kv:command executable=\"cc\">\n"
                  "      <kv:parameter xml:space=\"preserve\" value=\"x\"/>\n"
                  "      <kv:out offset=\"0\" EOL=\"NL\" xml:space=\"preserve\"><kv:elapsed offset=\"0\" seconds=\"0.0\"/>done</kv:out>\n"
                  "      <kv:return value=\"0\" elapsed=\"0.0\"/>\n"
                  "    </kv:command>\n"
                  "  </kv:job>\n");
}

std::string JobErrorFields(uint8_t job, int64_t time, uint32_t code) {
    return Bytes().u8(job).u64(static_cast<uint64_t>(time)).u32(code).s();
}

TEST_F(JobRecords, JobFailuresAndArchiveErrorChains) {
    TestLog log("builder", 0, "kv://b");
    log.Reached();
    log.StartJob(1, "input", kStart).Command(1, "cc");
    log.Error(kLogInputArchiveFailure, JobErrorFields(1, kStart + 2 * kSecond, 5) +
                                           Bytes().str("reading input failed").str("read: I/O error").str("src/<x>.c").u8(0)
                                               .str("Cannot send the input of input").str("src/x.c").s());
    log.StartJob(2, "output", kStart);
    log.Error(kLogOutputArchiveFailure,
              JobErrorFields(2, kStart + 3 * kSecond, 0) + Bytes().str("extracting failed").str("bad header").u8(0).str("").s());
    log.StartJob(3, "replaced", kStart);
    log.Error(kLogJobFailure, JobErrorFields(3, kStart + kSecond, 8) + Bytes().str("no memory").s());
    log.Error(kLogJobFileFailure, JobErrorFields(3, kStart + 4 * kSecond, 2) +
                                      Bytes().str("Could not open the input file").str("in/a&b.c").s());
    log.StartJob(4, "through the writer", kStart);
    ASSERT_TRUE(log.log().WriteJobFailure({4, nullptr}, 0, "The machine stopped answering"));
    const std::string document = Generate({&log});
    EXPECT_EQ(JobElement(document, "input"),
              JobTag("input", "failed", "2.0", " ErrorCode=\"5\" ErrorReason=\"reading input failed\" ErrorPath=\"src/x.c\"") +
                  "    <kv:command executable=\"cc\">\n    </kv:command>\n"
                  "    <kv:ClientInputError>read: I/O error</kv:ClientInputError>\n"
                  "    <kv:ClientInputError>src/&lt;x&gt;.c</kv:ClientInputError>\n"
                  "    <kv:ClientInputErrorMessage>Cannot send the input of input</kv:ClientInputErrorMessage>\n"
                  "  </kv:job>\n");
    EXPECT_EQ(JobElement(document, "output"),
              JobTag("output", "failed", "3.0", " ErrorReason=\"extracting failed\" ErrorPath=\"\"") +
                  "    <kv:ClientOutputError>bad header</kv:ClientOutputError>\n  </kv:job>\n");
    EXPECT_EQ(JobElement(document, "replaced"),
              JobTag("replaced", "failed", "4.0",
                     " ErrorCode=\"2\" ErrorReason=\"Could not open the input file\" ErrorPath=\"in/a&amp;b.c\"") +
                  "  </kv:job>\n");
    EXPECT_NE(StartTag(document, "through the writer").find(" ErrorReason=\"The machine stopped answering\">"), std::string::npos);
}

TEST_F(JobRecords, FailuresOfJobsThatNeverStartedAreShownInTheMachine) {
    TestLog log("builder", 3, "kv://b");
    log.Reached();
    // Named jobs have no ID on the connection; a job that only waited for
    // room has a record but no job element.
    log.Error(kLogJobFileFailure, Bytes().u8(kLogNoJobId).str("named").u64(static_cast<uint64_t>(kStart)).u32(2)
                                      .str("Could not open the input file").str("in/a.c").s());
    log.StartJob(7, "waiting", kStart, 8);
    log.Error(kLogInputArchiveFailure, JobErrorFields(7, kStart, 0) + Bytes().str("creating paxgz headers failed")
                                           .str("name too long").u8(0).str("Cannot send the input").str("").s());
    log.Error(kLogJobFailure, Bytes().u8(kLogNoJobId).str("plain").u64(static_cast<uint64_t>(kStart)).u32(0).str("Gave up").s());
    const std::string document = Generate({&log});
    const std::string head = "\" machine=\"builder\" PathID=\"3\" status=\"error\" StartTime=\"" + kStartText + "\" duration=\"0.0\" ErrorReason=\"";
    EXPECT_EQ(Between(document, "    <kv:hop", "  </kv:machine>\n"),
              "    <kv:hop url=\"kv://b\"/>\n"
              "  <kv:job name=\"named" + head + "Could not open the input file\" ErrorCode=\"2\" ErrorPath=\"in/a.c\"/>\n"
              "  <kv:job name=\"waiting" + head + "creating paxgz headers failed\">\n"
              "    <kv:ClientInputError>name too long</kv:ClientInputError>\n"
              "    <kv:ClientInputErrorMessage>Cannot send the input</kv:ClientInputErrorMessage>\n"
              "  </kv:job>\n"
              "  <kv:job name=\"plain" + head + "Gave up\"/>\n"
              "  </kv:machine>\n");
    EXPECT_EQ(document.find("  </kv:machine>\n  <kv:job"), std::string::npos) << "no job element for them";
}

TEST_F(JobRecords, ConcurrencyFactorsHaveNames) {
    const std::pair<uint8_t, const char*> factors[] = {{0, "minimum"}, {1, "maximum"}, {10, "high"},
                                                       {25, "medium"}, {128, "low"},   {7, "unknown"}};
    TestLog log("builder", 0, "kv://b");
    log.Reached();
    uint8_t id = 0;
    for (const auto& [factor, name] : factors) log.StartJob(++id, name, kStart, 0, factor);
    const std::string document = Generate({&log});
    for (const auto& [factor, name] : factors)
        EXPECT_NE(StartTag(document, name).find(std::string(" concurrency=\"") + name + "\">"), std::string::npos) << name;
}

TEST_F(JobRecords, TextsOfAUtf16LogAreConvertedStrictly) {
    TestLog log("builder", 0, "kv://b", true);
    log.Reached().StartJob(1, "j", kStart);
    // A pair, a high surrogate before a letter, a low surrogate alone, and a
    // high surrogate at the end.
    log.Record(Bytes().u8(3).u8(1).raw(Units({'N', 0xD83D, 0xDE00})).raw(Units({0xD800, 'x', 0xDC00, 0x00E9, 0xDBFF})).s(),
               Bytes().u32(0).s());
    log.Execute(1, Bytes().u8(1).u8(2).u8(0x02).u8(0).s(), log.Text("") + log.Text("cmd") + Units({'V', 0x20AC}));
    log.AddOutput(1, {"out"});
    log.AddOutput(1, {"kept"}, true, 6, Bytes().str("kept").s());
    const std::string document = Generate({&log});
    EXPECT_EQ(Content(document, "j"),
              "    <kv:ReplaceEnvironment name=\"N\xF0\x9F\x98\x80\" value=\"\xEF\xBF\xBDx\xEF\xBF\xBD\xC3\xA9\xEF\xBF\xBD\"/>\n"
              "    <kv:command executable=\"cmd\">\n"
              "      <kv:parameter xml:space=\"preserve\" environment=\"V\xE2\x82\xAC\"/>\n"
              "    </kv:command>\n"
              "    <kv:output>out</kv:output>\n"
              "    <kv:output>kept</kv:output>\n"
              "    <kv:OutputError error=\"missing file\">kept</kv:OutputError>\n");
}

}  // namespace
}  // namespace kestrel::test
