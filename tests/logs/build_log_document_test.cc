// build_log.xml as a whole: the document frame, machine and hop elements,
// the order of job elements across connections, the open-file budget, and
// the failures that stop generation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "build_log_fixture.h"
#include "logs/build_log_text.h"
#include "runtime/temp_files.h"

namespace kestrel::test {
namespace {

constexpr uint64_t kMs = kNanosecondsPerMillisecond;

const std::string kRoot = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<kv:BuildLog xmlns:kv=\"") +
                          kBuildLogNamespace +
                          "\" version=\"0.1.2024\" StartTime=\"2024-01-13T09:15:02.5+01:00\" BuildHost=\"BUILDPC\" "
                          "RunningTime=\"75.25\">\n";

TEST_F(BuildLogTest, TheSmallExampleDocumentIsReproducedByteForByte) {
    const int64_t start = FileTimeOf(2024, 1, 13, 9, 15, 3, 250);
    TestLog log("winagent", 0, "kv://srv1:5017/");
    log.Reached("192.0.2.10", 5017)
        .TunnelReached("kvi://winagent", "198.51.100.7", 5017)
        .Version(1, 0, 7)
        .StartJob(1, "main", start)
        .Environment(3, 1, "MODE", "release")
        .Command(1, "cl.exe", {"main.c"}, "src")
        .Poll(OutputEvent(0, 1, 500 * kMs, "main.c\r\n") + OutputEvent(1, 1, 750 * kMs, "") +
              OutputEvent(3, 1, 750 * kMs, "") + ValueEvent(4, 1, 800 * kMs, 0))
        .AddOutput(1, {"bin/app.exe"})
        .EndJob(1, start + 71 * kSecond + 500 * kMillisecond);

    const std::string U = kBuildLogNamespace;
    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<kv:BuildLog xmlns:kv=\"" + U + "\" version=\"0.1.2024\" StartTime=\"2024-01-13T09:15:02.5+01:00\" BuildHost=\"BUILDPC\" RunningTime=\"75.25\">\n"
        "  <kv:machine name=\"winagent\" PathID=\"0\">\n"
        "    <kv:hop url=\"kv://srv1:5017/\" to=\"192.0.2.10:5017\"/>\n"
        "    <kv:hop url=\"kvi://winagent\" to=\"198.51.100.7:5017\" MajorVersion=\"1\" MinorVersion=\"0\" build=\"7\"/>\n"
        "  </kv:machine>\n"
        "  <kv:job name=\"main\" machine=\"winagent\" PathID=\"0\" status=\"succeeded\" StartTime=\"2024-01-13T09:15:03.25+01:00\" RunningTime=\"71.5\" concurrency=\"medium\">\n"
        "    <kv:ReplaceEnvironment name=\"MODE\" value=\"release\"/>\n"
        "    <kv:command directory=\"src\" executable=\"cl.exe\">\n"
        "      <kv:parameter xml:space=\"preserve\" value=\"main.c\"/>\n"
        "      <kv:out offset=\"0\" EOL=\"CRNL\" xml:space=\"preserve\"><kv:elapsed offset=\"0\" seconds=\"0.5\"/>main.c<kv:elapsed EOF=\"true\" offset=\"6\" seconds=\"0.75\"/></kv:out>\n"
        "      <kv:err offset=\"0\" xml:space=\"preserve\"><kv:elapsed EOF=\"true\" offset=\"0\" seconds=\"0.75\"/></kv:err>\n"
        "      <kv:return value=\"0\" elapsed=\"0.8\"/>\n"
        "    </kv:command>\n"
        "    <kv:output>bin/app.exe</kv:output>\n"
        "  </kv:job>\n"
        "</kv:BuildLog>\n";
    EXPECT_EQ(Generate({&log}), expected);
}

TEST_F(BuildLogTest, ARunWithoutConnectionsHasTheRootElementOnly) {
    EXPECT_EQ(Generate({}), kRoot + "</kv:BuildLog>\n");
}

TEST_F(BuildLogTest, RootAttributesComeFromTheSettings) {
    settings.start = LocalTime{FileTimeOf(2023, 7, 1, 23, 59, 59, 123), 300};
    settings.now = settings.start.fileTime + 2 * kSecond;
    settings.hostName = "build<1>&co.example";
    const std::string document = Generate({});
    EXPECT_NE(document.find("StartTime=\"2023-07-01T23:59:59.123-05:00\" BuildHost=\"build&lt;1&gt;&amp;co.example\" "
                            "RunningTime=\"2.0\">\n"),
              std::string::npos)
        << document;
}

TEST_F(BuildLogTest, BuildHostIsTheComputersNameWhenNotGiven) {
    settings.hostName = nullptr;
    char buffer[256];
    const std::string host = BuildHostName(buffer, sizeof buffer);
    ASSERT_FALSE(host.empty());
    const std::string document = Generate({});
    EXPECT_NE(document.find(" BuildHost=\""), std::string::npos);
    // The name itself (or a fallback text) as the attribute, escaped.
    const size_t at = document.find(" BuildHost=\"") + 12;
    const std::string shown = document.substr(at, document.find('"', at) - at);
    if (host == "hostnanme too long" || host == "unknown name") {
        EXPECT_EQ(shown, host);
    } else {
        EXPECT_EQ(shown.find_first_of("<>&\""), std::string::npos);
        EXPECT_EQ(shown.size(), host.size()) << shown;
    }
}

// Each case writes the records of one connection; the machine element is
// compared whole.
struct MachineCase {
    const char* what;
    std::function<void(TestLog&)> records;
    std::string machine;  // the element's lines between its tags
    std::string name = "builder";
    std::string firstUrl = "kv://first:5017";
};

const int64_t kErrorTime = FileTimeOf(2024, 1, 13, 9, 16, 0, 250);
const std::string kErrorTimeText = "2024-01-13T09:16:00.25+01:00";

std::string ConnectionErrorFields(uint32_t code, const std::string& message) {
    return Bytes().u64(static_cast<uint64_t>(kErrorTime)).u32(code).str(message).s();
}

TEST_F(BuildLogTest, MachineElementsShowHopsVersionsAndErrors) {
    const std::string e = kErrorTimeText;
    const MachineCase cases[] = {
        {"header only", nullptr, "", "builder", ""},
        {"one hop reached", [](TestLog& l) { l.Reached("192.0.2.1", 5017); },
         "    <kv:hop url=\"kv://first:5017\" to=\"192.0.2.1:5017\"/>\n"},
        {"a hop without address", [](TestLog& l) { l.Reached(); }, "    <kv:hop url=\"kv://first:5017\"/>\n"},
        {"IPv6 and a version with patch",
         [](TestLog& l) { l.Reached("2001:db8::7", 6000).Version(2, 1, 3, 4); },
         "    <kv:hop url=\"kv://first:5017\" to=\"[2001:db8::7]:6000\" MajorVersion=\"2\" MinorVersion=\"1\" build=\"3\" patch=\"4\"/>\n"},
        {"address that is no IPv4 or IPv6",
         [](TestLog& l) {
             const std::string junk(16, '\x7f');
             EXPECT_TRUE(l.log().AppendHopReached(junk.data(), 16) && l.log().Commit());
         },
         "    <kv:hop url=\"kv://first:5017\" to=\"unknown\"/>\n"},
        {"reached through ssh",
         [](TestLog& l) { l.ReachedBySsh("127.0.0.1", 50123, "ssh -N -L 127.0.0.1:50123:127.0.0.1:5017 me@gate"); },
         "    <kv:hop url=\"kvs://gate\" to=\"127.0.0.1:50123\" SshCommandLine=\"ssh -N -L 127.0.0.1:50123:127.0.0.1:5017 me@gate\"/>\n",
         "builder", "kvs://gate"},
        {"first hop failed with a code",
         [](TestLog& l) { l.HopFailed(111, "Cannot connect to first & <other>", kErrorTime); },
         "    <kv:hop url=\"kv://first:5017\">\n      <kv:error xml:space=\"preserve\" type=\"connection\" time=\"" + e +
             "\" code=\"111\">Cannot connect to first &amp; &lt;other&gt;</kv:error>\n    </kv:hop>\n"},
        {"first hop failed without a code", [](TestLog& l) { l.HopFailed(0, "No address", kErrorTime); },
         "    <kv:hop url=\"kv://first:5017\">\n      <kv:error xml:space=\"preserve\" type=\"connection\" time=\"" + e +
             "\">No address</kv:error>\n    </kv:hop>\n"},
        {"tunnel refused: invalid URL, corrupt request, protocol error",
         [](TestLog& l) {
             l.Reached("192.0.2.1", 5017)
                 .Tunnel("kvi://a", Bytes().u32(1).u64(static_cast<uint64_t>(kErrorTime)).s())
                 .Tunnel("kvi://b", Bytes().u32(2).u64(static_cast<uint64_t>(kErrorTime)).s())
                 .Tunnel("kvi://c", Bytes().u32(3).u64(static_cast<uint64_t>(kErrorTime)).s());
         },
         "    <kv:hop url=\"kv://first:5017\" to=\"192.0.2.1:5017\"/>\n"
         "    <kv:hop url=\"kvi://a\">\n      <kv:error xml:space=\"preserve\" type=\"connection\" time=\"" + e +
             "\">The URL is invalid for the tunnel</kv:error>\n    </kv:hop>\n"
             "    <kv:hop url=\"kvi://b\">\n      <kv:error xml:space=\"preserve\" type=\"protocol\" time=\"" + e +
             "\">A corrupt tunnel request was made</kv:error>\n    </kv:hop>\n"
             "    <kv:hop url=\"kvi://c\">\n      <kv:error xml:space=\"preserve\" type=\"protocol\" time=\"" + e +
             "\"></kv:error>\n    </kv:hop>\n"},
        {"connection error after the last hop goes inside it",
         [](TestLog& l) {
             l.Reached("192.0.2.1", 5017).Version(1, 0, 7).Error(0xFF, ConnectionErrorFields(10054, "Connection lost"));
         },
         "    <kv:hop url=\"kv://first:5017\" to=\"192.0.2.1:5017\" MajorVersion=\"1\" MinorVersion=\"0\" build=\"7\">\n"
         "      <kv:error xml:space=\"preserve\" type=\"connection\" time=\"" + e +
             "\" code=\"10054\">Connection lost</kv:error>\n    </kv:hop>\n"},
        {"protocol error without a code",
         [](TestLog& l) { l.Reached("192.0.2.1", 5017).Error(0xFE, ConnectionErrorFields(0, "Poll response corrupt")); },
         "    <kv:hop url=\"kv://first:5017\" to=\"192.0.2.1:5017\">\n"
         "      <kv:error xml:space=\"preserve\" type=\"protocol\" time=\"" + e + "\">Poll response corrupt</kv:error>\n    </kv:hop>\n"},
        {"an error with no hop open gets a wrapper",
         [](TestLog& l) {
             l.HopFailed(0, "No address", kErrorTime).Error(0xFE, ConnectionErrorFields(5, "Late"));
         },
         "    <kv:hop url=\"kv://first:5017\">\n      <kv:error xml:space=\"preserve\" type=\"connection\" time=\"" + e +
             "\">No address</kv:error>\n    </kv:hop>\n"
             "    <kv:MachineError>\n      <kv:error xml:space=\"preserve\" type=\"protocol\" time=\"" + e +
             "\" code=\"5\">Late</kv:error>\n    </kv:MachineError>\n"},
        {"a version with no hop open keeps an element of its own",
         [](TestLog& l) { l.HopFailed(0, "x", kErrorTime).Version(3, 2, 1); },
         "    <kv:hop url=\"kv://first:5017\">\n      <kv:error xml:space=\"preserve\" type=\"connection\" time=\"" + e +
             "\">x</kv:error>\n    </kv:hop>\n    <kv:MachineVersion MajorVersion=\"3\" MinorVersion=\"2\" build=\"1\"/>\n"},
        {"a job error element closes the open hop",
         [](TestLog& l) { l.Reached("192.0.2.1", 5017).StartJob(1, "j", kRunStart, 1); },
         "    <kv:hop url=\"kv://first:5017\" to=\"192.0.2.1:5017\"/>\n"
         "  <kv:job name=\"j\" machine=\"m&amp;n\" PathID=\"4\" status=\"error\" StartTime=\"2024-01-13T09:15:02.5+01:00\" "
         "duration=\"0.0\" ErrorReason=\"Cannot allocate a job for the connection\"/>\n",
         "m&n"},
        {"texts XML cannot carry become U+FFFD",
         [](TestLog& l) { l.Reached().Error(0xFF, ConnectionErrorFields(0, "bell\a nul-free \xFF end")); },
         "    <kv:hop url=\"kv://first:5017\">\n      <kv:error xml:space=\"preserve\" type=\"connection\" time=\"" + e +
             "\">bell\xEF\xBF\xBD nul-free \xEF\xBF\xBD end</kv:error>\n    </kv:hop>\n"},
    };
    for (const MachineCase& c : cases) {
        SCOPED_TRACE(c.what);
        const uint32_t pathId = c.name == "m&n" ? 4 : 2;
        TestLog log(c.name, pathId, c.firstUrl);
        if (c.records) c.records(log);
        const std::string document = Generate({&log});
        std::string name;
        for (char ch : c.name) name += ch == '&' ? std::string("&amp;") : std::string(1, ch);
        EXPECT_EQ(document, kRoot + "  <kv:machine name=\"" + name + "\" PathID=\"" + std::to_string(pathId) + "\">\n" +
                                c.machine + "  </kv:machine>\n</kv:BuildLog>\n");
    }
}

// Job names in document order.
std::vector<std::string> JobOrder(const std::string& document) {
    std::vector<std::string> names;
    const std::string tag = "\n  <kv:job name=\"";
    for (size_t at = document.rfind("  </kv:machine>"); (at = document.find(tag, at)) != std::string::npos; ++at) {
        const size_t start = at + tag.size();
        names.push_back(document.substr(start, document.find('"', start) - start));
    }
    return names;
}

TEST_F(BuildLogTest, JobsOfAllConnectionsAreMergedByStartTime) {
    const int64_t t = kRunStart;
    TestLog a("alpha", 0, "kv://a");
    TestLog b("beta", 1, "kv://b");
    TestLog c("gamma", 2, "kv://c");
    a.Reached().StartJob(1, "a1", t + 1 * kSecond).StartJob(2, "a6", t + 6 * kSecond).StartJob(3, "a4", t + 4 * kSecond)
        .StartJob(4, "a4 later in the log", t + 4 * kSecond);
    b.Reached().StartJob(1, "b2", t + 2 * kSecond).StartJob(2, "b4", t + 4 * kSecond).StartJob(3, "b5", t + 5 * kSecond);
    // A refused job and one that only waited for room have no job element.
    c.Reached().StartJob(1, "c3", t + 3 * kSecond).StartJob(2, "refused", t, 7).StartJob(3, "waited", t, 8)
        .StartJob(4, "c4", t + 4 * kSecond);
    const std::string document = Generate({&a, &b, &c});
    EXPECT_EQ(JobOrder(document), (std::vector<std::string>{"a1", "b2", "c3", "a4", "a4 later in the log", "b4", "c4",
                                                             "b5", "a6"}));
    // Machine elements in the order the connections ended.
    EXPECT_LT(document.find("name=\"alpha\""), document.find("name=\"beta\""));
    EXPECT_LT(document.find("name=\"beta\""), document.find("name=\"gamma\""));
}

TEST_F(BuildLogTest, ABudgetOfThreeFilesOrTextsInMemoryGiveTheSameDocumentForFiftyJobs) {
    TestLog wide("builder", 0, "kv://b");
    FiftyInterleavedJobs(wide);
    const std::string reference = Generate({&wide}, 1000, 0);
    // Every text in a file, three open at a time; every text in memory; and
    // texts that move to their files halfway through.
    for (const size_t spoolMemory : {size_t{0}, kSpoolMemoryPerText, size_t{300}}) {
        SCOPED_TRACE(spoolMemory);
        TestLog narrow("builder", 0, "kv://b");
        FiftyInterleavedJobs(narrow);
        EXPECT_EQ(Generate({&narrow}, 3, spoolMemory), reference);
    }
    EXPECT_EQ(JobOrder(reference).size(), 50u);
    // The mark of the next event lands in the line whose end is pending.
    EXPECT_NE(reference.find("      <kv:err offset=\"27\" EOL=\"NL\" xml:space=\"preserve\">round 1 of job 7 on stderr"
                             "<kv:elapsed offset=\"53\" seconds=\"0.003\"/></kv:err>\n"),
              std::string::npos);
}

struct CorruptCase {
    const char* what;
    std::function<void(TestLog&)> records;
};

TEST_F(BuildLogTest, ACorruptLogSetsTheFlagPostsTheMessageAndStops) {
    const CorruptCase cases[] = {
        {"an environment record for an unknown job", [](TestLog& l) { l.Environment(3, 9, "A", "B"); }},
        {"a command for an unknown job", [](TestLog& l) { l.Command(9, "cc"); }},
        {"an end for an unknown job", [](TestLog& l) { l.EndJob(9, kRunStart); }},
        {"an end job status the client never logs", [](TestLog& l) { l.StartJob(1, "j", kRunStart).EndJob(1, kRunStart, 3); }},
        {"a return event for an unknown job", [](TestLog& l) { l.Poll(ValueEvent(4, 9, 1, 0)); }},
        {"a job failure for an unknown job", [](TestLog& l) { l.Error(0xFC, Bytes().u8(9).u64(1).u32(0).str("x").s()); }},
        {"a record cut by the end of the file",
         [](TestLog& l) {
             l.StartJob(1, "j", kRunStart);
             EXPECT_TRUE(l.log().BeginRecord("\x03\x01MODE", 6) && l.log().Commit());
         }},
    };
    for (const CorruptCase& c : cases) {
        SCOPED_TRACE(c.what);
        TestLog first("first", 0, "kv://first");
        first.Reached();
        TestLog broken("broken", 1, "kv://broken");
        broken.Reached("192.0.2.1", 5017);
        c.records(broken);
        TestLog never("never read", 2, "kv://never");
        never.Reached();
        std::string document;
        bool corrupt = false;
        EXPECT_FALSE(GenerateFailing({&first, &broken, &never}, document, corrupt));
        EXPECT_TRUE(corrupt);
        EXPECT_EQ(messages, "The connection log is corrupt\n");
        // What came before the corrupt log stays; nothing after it is read.
        EXPECT_NE(document.find("<kv:machine name=\"first\" PathID=\"0\">\n    <kv:hop url=\"kv://first\"/>\n  </kv:machine>\n"),
                  std::string::npos);
        EXPECT_NE(document.find("<kv:machine name=\"broken\""), std::string::npos);
        EXPECT_EQ(document.find("never read"), std::string::npos);
        EXPECT_EQ(document.find("</kv:BuildLog>"), std::string::npos);
    }
}

TEST_F(BuildLogTest, EventsTheMachineDoesNotCheckAreLeftOutForUnknownJobs) {
    TestLog log("builder", 0, "kv://b");
    log.Reached().StartJob(1, "j", kRunStart);
    log.Poll(OutputEvent(0, 7, 1, "stray\n") + OutputEvent(2, 7, 1, "stray\n") + ThrottleEvent(13, 7, 1) +
             ThrottleEvent(14, 7, 1) + ValueEvent(4, 1, 1, 0) + Bytes().u8(12).u8(16).u8(3).u8(17).u8(1).s());
    const std::string document = Generate({&log});
    EXPECT_EQ(document.find("stray"), std::string::npos);
    EXPECT_NE(document.find("  <kv:job name=\"j\""), std::string::npos);
}

TEST_F(BuildLogTest, AConnectionLogThatCannotBeOpenedStopsGeneration) {
    TestLog log("builder", 0, "kv://b");
    log.Reached();
    TempLog* file = log.HandOver();
    std::remove(file->path);
    BuildLogWriter writer(100);
    ASSERT_TRUE(writer.AddConnection(file, false));
    std::FILE* out = std::fopen(DocumentPath().c_str(), "w+b");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(writer.Generate(out, settings));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to open the connection log, error 2\n");
    std::fclose(out);
    EXPECT_FALSE(writer.corrupt());
    writer.CleanUp();
}

TEST_F(BuildLogTest, AStreamThatRefusesWritesIsReported) {
    TestLog log("builder", 0, "kv://b");
    log.Reached().StartJob(1, "j", kRunStart).Command(1, "cc").Poll(OutputEvent(1, 1, 1, std::string(60000, 'x')));
    BuildLogWriter writer(100);
    ASSERT_TRUE(writer.AddConnection(log.HandOver(), false));
    WriteFile(DocumentPath(), "");
    std::FILE* readOnly = std::fopen(DocumentPath().c_str(), "rb");
    ASSERT_NE(readOnly, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(writer.Generate(readOnly, settings));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot write to the build log\n");
    std::fclose(readOnly);
    writer.CleanUp();
    EXPECT_EQ(TemporaryFiles(), std::vector<std::string>{});
    EXPECT_EQ(ReadFile(DocumentPath()), "");
}

TEST_F(BuildLogTest, ALogWithoutItsFileIsRefused) {
    BuildLogWriter writer(100);
    EXPECT_FALSE(writer.AddConnection(nullptr, false));
    EXPECT_EQ(writer.connectionCount(), 0u);
}

}  // namespace
}  // namespace kestrel::test
