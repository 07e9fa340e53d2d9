// The connection log, written through its writer and read back through its
// reader: commits, truncations and fillers leave exactly the records meant,
// and every way the file can be broken is caught.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "logs/connection_log.h"
#include "logs/connection_log_reader.h"
#include "logs/job_key.h"
#include "runtime/temp_files.h"
#include "support/test_support.h"
#include "../client/wire_bytes.h"
#include "log_text.h"

namespace kestrel::test {
namespace {

class ConnectionLogFile : public ::testing::Test {
protected:
    TempDir directory;
    std::string path = directory / "conn.log";
    ConnectionLog log;
    std::vector<long> boundaries;  // file offsets at which a record ends

    // A log a test left open holds its file, which Windows then cannot
    // remove with the directory.
    void TearDown() override { log.Close(); }

    void Open(bool utf16) {
        std::FILE* stream = std::fopen(path.c_str(), "w+b");
        ASSERT_NE(stream, nullptr);
        log.utf16 = utf16;
        ASSERT_TRUE(log.Start(stream, "builder", 3));
        boundaries.push_back(log.commitPoint);
    }

    // Request part, response part, commit: one whole record.
    void Record(const std::string& request, const std::string& response) {
        ASSERT_TRUE(log.BeginRecord(request.data(), static_cast<uint32_t>(request.size())));
        ASSERT_TRUE(log.Append(response.data(), static_cast<uint32_t>(response.size())));
        Commit();
    }

    void Commit() {
        ASSERT_TRUE(log.Commit());
        boundaries.push_back(log.commitPoint);
    }

    LogTranscript Read(LogReadResult expected = LogReadResult::Done) {
        log.Close();
        LogTranscript transcript;
        transcript.utf16 = log.utf16;
        ConnectionLogReader reader;
        EXPECT_TRUE(reader.Open(path.c_str(), log.utf16));
        EXPECT_EQ(reader.Read(transcript.Handlers()), expected) << (reader.message ? reader.message : "");
        EXPECT_TRUE(transcript.timesSet);
        return transcript;
    }
};

TEST_F(ConnectionLogFile, RecordsCommitsTruncationsAndFillersReadBackExactly) {
    Open(false);
    const uint8_t address[16] = {2, 0, 0x13, 0x99, 192, 0, 2, 10};
    ASSERT_TRUE(log.BeginFirstHop("kvs://gate:6000"));
    ASSERT_TRUE(log.AppendHopReachedBySsh(address, 16, "ssh -N -L 127.0.0.1:50000:127.0.0.1:6000 me@gate"));
    Commit();
    Record(Bytes().u8(22).str("kvi://agent").s(), Bytes().u32(0).u32(16).raw(std::string(16, 'a')).s());
    Record(Bytes().u8(19).s(), Bytes().u16(1).u16(0).u16(7).u32(2).s());

    // StartJob, the client's fields added; a refusal with its code.
    ASSERT_TRUE(log.BeginRecord("\x00\x01\x19", 3));
    ASSERT_TRUE(log.AppendU32(0) && log.AppendStartJobFields("main"));
    Commit();
    ASSERT_TRUE(log.BeginRecord("\x00\x02\x80", 3));
    ASSERT_TRUE(log.AppendU32(5) && log.AppendU32(32) && log.AppendStartJobFields("other"));
    Commit();

    Record(Bytes().u8(3).u8(1).str("MODE").str("release").s(), Bytes().u32(0).s());
    Record(Bytes().u8(8).u8(1).str("vs17").s(), Bytes().u32(2).s());

    // InputWrite begins at its response; machine text gets the client's 0 byte.
    ASSERT_TRUE(log.Append("\x0c\x01", 2));
    ASSERT_TRUE(log.AppendU32(5) && log.AppendU32(112));
    const std::string diskFull = std::string("disk full\0ignored", 17);
    ASSERT_TRUE(log.AppendMachineText(reinterpret_cast<const uint8_t*>(diskFull.data()), 17));
    Commit();

    Record(Bytes().u8(7).u8(1).s(), Bytes().u32(2).u32(5).s());

    // Execute: the bitmap marks the executable and parameter 9.
    const std::string execute = Bytes().u8(13).u8(1).u8(1).u8(2).u8(0x01).u8(0x02).str("src").str("CC")
                                    .str("1").str("2").str("3").str("4").str("5").str("6").str("7").str("8").str("HOME").s();
    ASSERT_TRUE(log.BeginRecord(execute.data(), static_cast<uint32_t>(execute.size())));
    ASSERT_TRUE(log.AppendEmptyText());
    ASSERT_TRUE(log.AppendU32(6) && log.AppendU32(2));
    ASSERT_TRUE(log.AppendMachineText(reinterpret_cast<const uint8_t*>("not found"), 9));
    Commit();

    Record(Bytes().u8(26).s(), Bytes().u8(0).u8(1).u64(500000000).u16(2).raw("a\n").u8(4).u8(1).u64(750000000).u32(0xFFFFFFFF)
                                   .u8(9).u8(1).u8(2).u64(3).u32(4).raw("ok").u8(12).u8(13).u8(1).u64(5).u8(16).u8(25).u8(15).s());

    // AddOutput of the failed-output list, one path refused.
    ASSERT_TRUE(log.BeginRecord("\x09\x01" "bin\0bin/app\0", 14));
    ASSERT_TRUE(log.AppendOutputListEnd(true));
    ASSERT_TRUE(log.AppendU32(7));
    ASSERT_TRUE(log.AppendMachineText(reinterpret_cast<const uint8_t*>("bin/app"), 7));
    Commit();
    Record(Bytes().u8(10).u8(1).s(), Bytes().u32(0).s());
    Record(Bytes().u8(11).u8(1).s(), Bytes().u32(5).u32(9).str("gone").s());

    // A Poll outstanding when a job fails: the Poll record ends at once, and
    // its late response is dropped.
    ASSERT_TRUE(log.BeginRecord("\x1a", 1));
    log.SetFiller({LogFiller::Poll});
    ASSERT_TRUE(log.WriteJobFailure({1, nullptr}, 0, "Insufficient memory on the machine to replace an environment variable"));
    log.ClearFiller();
    ASSERT_TRUE(log.Append("\x0c", 1));
    Commit();

    // Every other filler, each before a job-level error record.
    uint32_t endState = 0x8000;
    struct Pending {
        std::string request;
        LogFillerInfo filler;
    } pendings[] = {
        {Bytes().u8(0).u8(4).u8(10).s(), {LogFiller::StartJob, 0, "late", nullptr}},
        {Bytes().u8(5).u8(4).s(), {LogFiller::EndJob, 0, nullptr, &endState}},
        {Bytes().u8(19).s(), {LogFiller::Version}},
        {Bytes().u8(22).str("kvi://far").s(), {LogFiller::Tunnel}},
        {Bytes().u8(11).u8(4).s(), {LogFiller::OutputTransfer}},
        {"", {LogFiller::InputWrite, 4}},
        {Bytes().u8(7).u8(4).s(), {LogFiller::Status}},
    };
    const char* chain[] = {"compression failed", "stream error"};
    int which = 0;
    for (const Pending& pending : pendings) {
        if (!pending.request.empty()) {
            ASSERT_TRUE(log.BeginRecord(pending.request.data(), static_cast<uint32_t>(pending.request.size())));
        }
        log.SetFiller(pending.filler);
        endState = 0x8000 | 0x4000;  // read when the filler is written
        switch (which++ % 4) {
        case 0: ASSERT_TRUE(log.WriteJobFailure({4, nullptr}, 8, "no memory")); break;
        case 1: ASSERT_TRUE(log.WriteJobFileFailure({kLogNoJobId, "late"}, 2, "Could not open the input file", "in/a.c")); break;
        case 2: ASSERT_TRUE(log.WriteInputArchiveFailure({4, nullptr}, 5, chain, 2, "read failed", "in/b.c")); break;
        default: ASSERT_TRUE(log.WriteOutputArchiveFailure({4, nullptr}, 28, chain, 1, "")); break;
        }
        boundaries.push_back(log.commitPoint);
        log.ClearFiller();
    }

    // A request whose response never comes, then a response that fails its
    // checks: both vanish behind the error records.
    ASSERT_TRUE(log.BeginRecord("\x07\x01", 2));
    log.SetFiller({LogFiller::Status});
    ASSERT_TRUE(log.WriteConnectionError(10054, "Connection to kv://gate:6000 failed, error 10054"));
    boundaries.push_back(log.commitPoint);
    ASSERT_TRUE(log.BeginRecord("\x05\x01", 2));
    ASSERT_TRUE(log.Append("\x07\x00", 2));
    ASSERT_TRUE(log.WriteProtocolError(0, "End job response from kv://gate:6000 corrupt"));
    boundaries.push_back(log.commitPoint);
    ASSERT_TRUE(log.WriteAbandonedEndJob(1, 0x8000 | kJobStateFailed));
    boundaries.push_back(log.commitPoint);

    const LogTranscript t = Read();
    const std::vector<std::string> expected = {
        "header builder 3",
        "hop kvs://gate:6000 kind5 address16 ssh='ssh -N -L 127.0.0.1:50000:127.0.0.1:6000 me@gate'",
        "hop kvi://agent kind0 address16",
        "version 1.0.7.2",
        "startjob 1 c25 s0 e0 builder 3 main",
        "startjob 2 c128 s5 e32 builder 3 other",
        "env3 1 MODE=release s0",
        "type8 1 s2 env=vs17",
        "type12 1 s5 e112 'disk full'",
        "type7 1 s2 e5",
        "execute 1 bitmap2 dir=src exe=CC(env) 1 2 3 4 5 6 7 8 HOME(env) s6 e2 'not found'",
        "poll [0 j1 t500000000 'a\n'] [4 j1 t750000000 v4294967295] [9 j1 t3 v4 'ok'] [12] [13 j1 t5] [16 n25]",
        "addoutput 1 bin bin/app (failed list) s7 'bin/app'",
        "type10 1 s0",
        "type11 1 s5 e9 'gone'",
        "poll",
        "joberror 252 job1 e0 'Insufficient memory on the machine to replace an environment variable'",
        "startjob 4 c10 s0 e0 builder 3 late",
        "joberror 252 job4 e8 'no memory'",
        "endjob 4 s0 state49152",
        "joberror 251 job255(late) e2 'Could not open the input file' subject='in/a.c'",
        "version 0.0.0.0",
        "joberror 250 job4 e5 'read failed' <compression failed> <stream error> path='in/b.c'",
        "hop kvi://far kind0 address0",
        "joberror 249 job4 e28 <compression failed> path=''",
        "type11 4 s1",
        "joberror 252 job4 e8 'no memory'",
        "type12 4 s0",
        "joberror 251 job255(late) e2 'Could not open the input file' subject='in/a.c'",
        "type7 4 s0",
        "joberror 250 job4 e5 'read failed' <compression failed> <stream error> path='in/b.c'",
        "connection error 10054 'Connection to kv://gate:6000 failed, error 10054'",
        "protocol error 0 'End job response from kv://gate:6000 corrupt'",
        "endjob 1 s0 state49152",
    };
    EXPECT_EQ(t.lines, expected);
}

// Every cut of a good log inside a record is corrupt; every cut at a record
// boundary reads back as the records before it.
TEST_F(ConnectionLogFile, EndingInsideARecordIsCorruptAndBetweenRecordsIsNot) {
    Open(false);
    ASSERT_TRUE(log.BeginFirstHop("kv://one:5017"));
    ASSERT_TRUE(log.AppendHopFailed(10061, "Cannot connect"));
    Commit();
    Record(Bytes().u8(0).u8(1).u8(0).s(), Bytes().u32(4).u32(2).u64(1).str("builder").u32(3).str("j").s());
    Record(Bytes().u8(13).u8(1).u8(0).str("").str("make").str("all").u8(0).s(), Bytes().u32(0).s());
    Record(Bytes().u8(26).s(), Bytes().u8(3).u8(1).u64(1).u16(1).raw("x").u8(15).s());
    Record(Bytes().u8(9).u8(1).str("out").u8(0).s(), Bytes().u32(8).u32(1).str("err").s());
    ASSERT_TRUE(log.WriteJobFailure({kLogNoJobId, "j"}, 0, "failed"));
    boundaries.push_back(log.commitPoint);
    log.Close();
    const std::string whole = ReadFile(path);
    ASSERT_EQ(static_cast<size_t>(boundaries.back()), whole.size());

    for (size_t cut = 0; cut <= whole.size(); ++cut) {
        WriteFile(path, whole.substr(0, cut));
        bool boundary = false;
        for (long b : boundaries) boundary = boundary || static_cast<size_t>(b) == cut;
        ConnectionLogReader reader;
        ASSERT_TRUE(reader.Open(path.c_str(), false));
        LogTranscript t;
        const LogReadResult result = reader.Read(t.Handlers());
        EXPECT_EQ(result, boundary ? LogReadResult::Done : LogReadResult::Corrupt) << "cut at " << cut;
        if (result == LogReadResult::Corrupt) {
            EXPECT_STREQ(reader.message, "The connection log is corrupt");
            EXPECT_TRUE(reader.corrupt);
        }
    }
}

TEST_F(ConnectionLogFile, CorruptFieldsAreDetected) {
    const std::string head = Bytes().str("m").u32(0).s();
    const std::string hop = Bytes().u8(22).str("kv://a").s();
    struct Case {
        const char* what;
        std::string records;
        bool utf16 = false;
    } cases[] = {
        {"unknown record type 4", Bytes().u8(4).s()},
        {"unknown record type 0x7F", Bytes().u8(0x7F).s()},
        {"first byte 0x80", Bytes().u8(0x80).s()},
        {"first byte 0xFE", Bytes().u8(0xFE).u8(0xFF).u8(0xFF).u8(0xFF).s()},
        {"error record kind 0xFD", Bytes().u32(0xFDFFFFFF).zeros(20).s()},
        {"error record kind 0xF8", Bytes().u32(0xF8FFFFFF).zeros(20).s()},
        {"broken error mark", Bytes().u8(0xFF).u8(0xFF).u8(0x00).u8(0xFF).s()},
        {"start job status 9", Bytes().u8(0).u8(1).u8(0).u32(9).u64(1).str("m").u32(0).str("j").s()},
        {"step start status 6", Bytes().u8(7).u8(1).u32(6).s()},
        {"input write status 6", Bytes().u8(12).u8(1).u32(6).s()},
        {"development environment status 7", Bytes().u8(8).u8(1).str("vs").u32(7).s()},
        {"add output status 9", Bytes().u8(9).u8(1).str("a").u8(0).u32(9).s()},
        {"output reset status 5", Bytes().u8(10).u8(1).u32(5).s()},
        {"output transfer status 6", Bytes().u8(11).u8(1).u32(6).s()},
        {"execute status 10", Bytes().u8(13).u8(1).u8(0).str("").str("cc").u8(0).u32(10).s()},
        {"execute flags 2", Bytes().u8(13).u8(1).u8(2).u8(1).u8(1).str("").str("cc").u8(0).u32(0).s()},
        {"execute bitmap count 0", Bytes().u8(13).u8(1).u8(1).u8(0).str("").str("cc").u8(0).u32(0).s()},
        {"hop kind 6", hop + Bytes().u32(6).u64(1).s()},
        {"hop address of 129 bytes", hop + Bytes().u32(0).u32(129).zeros(129).s()},
        {"ssh command line count disagrees", hop + Bytes().u32(5).u32(0).u32(9).str("ssh").s()},
        {"poll event 18", Bytes().u8(26).u8(18).u8(15).s()},
        {"utf-16 text cut in a unit", Bytes().u8(3).u8(1).u16('A').u8(0).s(), true},
    };
    for (const Case& c : cases) {
        WriteFile(path, head + c.records);
        ConnectionLogReader reader;
        ASSERT_TRUE(reader.Open(path.c_str(), c.utf16));
        LogTranscript t;
        t.utf16 = c.utf16;
        EXPECT_EQ(reader.Read(t.Handlers()), LogReadResult::Corrupt) << c.what;
    }
    // The same records within their ranges are read.
    WriteFile(path, head + hop + Bytes().u32(0).u32(128).zeros(128).s() + Bytes().u8(8).u8(1).str("vs").u32(6).s() +
                        Bytes().u8(13).u8(1).u8(1).u8(1).u8(1).str("").str("cc").u8(0).u32(9).s() +
                        Bytes().u8(26).u8(17).u8(1).u8(15).s());
    ConnectionLogReader reader;
    ASSERT_TRUE(reader.Open(path.c_str(), false));
    LogTranscript t;
    EXPECT_EQ(reader.Read(t.Handlers()), LogReadResult::Done);
    EXPECT_EQ(t.lines.size(), 5u);
}

TEST_F(ConnectionLogFile, HandlersDecideAboutJobsAndCanStopReading) {
    WriteFile(path, Bytes().str("m").u32(0).u8(5).u8(9).u32(0).u64(1).u32(0).u8(10).u8(9).u32(0).s());
    struct Seen {
        int endJobs = 0;
        LogAction answer;
    } seen{0, LogAction::Corrupt};
    ConnectionLogHandlers h;
    h.context = &seen;
    // The job 9 is unknown to this handler.
    h.endJob = [](void* c, const LogEndJobRecord&) {
        auto& s = *static_cast<Seen*>(c);
        ++s.endJobs;
        return s.answer;
    };
    ConnectionLogReader reader;
    ASSERT_TRUE(reader.Open(path.c_str(), false));
    EXPECT_EQ(reader.Read(h), LogReadResult::Corrupt);
    EXPECT_STREQ(reader.message, "The connection log is corrupt");
    seen.answer = LogAction::Stop;
    ASSERT_TRUE(reader.Open(path.c_str(), false));
    EXPECT_EQ(reader.Read(h), LogReadResult::Stopped);
    // Records without a handler are read past.
    seen.answer = LogAction::Continue;
    ASSERT_TRUE(reader.Open(path.c_str(), false));
    EXPECT_EQ(reader.Read(h), LogReadResult::Done);
    EXPECT_EQ(seen.endJobs, 3);
}

TEST_F(ConnectionLogFile, Utf16LogKeepsItsTextsAndMarks) {
    Open(true);
    ASSERT_TRUE(log.BeginFirstHop("kv://wide:5017"));
    ASSERT_TRUE(log.AppendHopReached("", 0));
    Commit();
    Record(Bytes().u8(1).u8(2).wstr("PATH").wstr("C:\\tools").s(), Bytes().u32(0).s());
    // Without argument flags: 13, job ID, 0, 0 before the directory.
    const std::string execute = Bytes().u8(13).u8(2).u8(0).u8(0).wstr("").wstr("cl.exe").wstr("/c").s();
    ASSERT_TRUE(log.BeginRecord(execute.data(), static_cast<uint32_t>(execute.size())));
    ASSERT_TRUE(log.AppendEmptyText() && log.AppendU32(0));
    Commit();
    // With a bitmap of one byte and its pad, counted as two.
    const std::string withFlags = Bytes().u8(13).u8(2).u8(1).u8(2).u8(0x02).u8(0).wstr("").wstr("cmd").wstr("VAR").s();
    ASSERT_TRUE(log.BeginRecord(withFlags.data(), static_cast<uint32_t>(withFlags.size())));
    ASSERT_TRUE(log.AppendEmptyText() && log.AppendU32(0));
    Commit();
    const std::string outputs = Bytes().u8(9).u8(2).wstr("out").s();
    ASSERT_TRUE(log.BeginRecord(outputs.data(), static_cast<uint32_t>(outputs.size())));
    ASSERT_TRUE(log.AppendOutputListEnd(false) && log.AppendU32(0));
    Commit();
    ASSERT_TRUE(log.BeginRecord(outputs.data(), static_cast<uint32_t>(outputs.size())));
    ASSERT_TRUE(log.AppendOutputListEnd(true) && log.AppendU32(6));
    // The machine's UTF-16 text is kept as the log's UTF-8 string.
    ASSERT_TRUE(log.AppendMachineText(reinterpret_cast<const uint8_t*>("o\0"), 2));
    Commit();

    log.Close();
    const std::string bytes = ReadFile(path);
    EXPECT_NE(bytes.find(Bytes().u8(13).u8(2).u8(0).u8(0).u16(0).wstr("cl.exe").s()), std::string::npos);
    EXPECT_NE(bytes.find(Bytes().wstr("out").u8(0xFF).u8(0xFE).u32(6).s()), std::string::npos);

    const LogTranscript t = Read();
    EXPECT_EQ(t.lines, (std::vector<std::string>{
                           "header builder 3",
                           "hop kv://wide:5017 kind0 address0",
                           "env1 2 PATH=C:\\tools s0",
                           "execute 2 bitmap1 dir= exe=cl.exe /c s0",
                           "execute 2 bitmap2 dir= exe=cmd VAR(env) s0",
                           "addoutput 2 out s0",
                           "addoutput 2 out (failed list) s6 'o'",
                       }));
}

TEST_F(ConnectionLogFile, WriteFailuresAreReportedWithTheStreamError) {
    WriteFile(path, "");
    std::FILE* readOnly = std::fopen(path.c_str(), "rb");
    ASSERT_NE(readOnly, nullptr);
    EXPECT_FALSE(log.Start(readOnly, "builder", 0) && log.Close());
    EXPECT_NE(log.error, 0);
    log.Close();

    // An ssh command line longer than 127 bytes cannot be kept.
    Open(false);
    ASSERT_TRUE(log.BeginFirstHop("kvs://h:1"));
    EXPECT_FALSE(log.AppendHopReachedBySsh("", 0, std::string(128, 'x').c_str()));
    EXPECT_NE(log.error, 0);
}

TEST_F(ConnectionLogFile, TemporaryFileIsHandedOverToTheReader) {
    ConnectionLog temp;
    ASSERT_TRUE(temp.Create("kv://handover:5017"));
    ASSERT_TRUE(temp.Start("machine", 1));
    ASSERT_TRUE(temp.BeginFirstHop("kv://handover:5017") && temp.AppendHopReached("", 0) && temp.Commit());
    TempLog* file = temp.HandOver();
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(temp.IsOpen());
    ConnectionLogReader reader;
    ASSERT_TRUE(reader.Open(file->path, false));
    LogTranscript t;
    EXPECT_EQ(reader.Read(t.Handlers()), LogReadResult::Done);
    EXPECT_EQ(t.lines, (std::vector<std::string>{"header machine 1", "hop kv://handover:5017 kind0 address0"}));
    reader.Close();
    TempFileTable::Delete(file);

    EXPECT_FALSE(reader.Open(file->path, false));
    EXPECT_EQ(std::string(reader.message), "Failed to open the connection log, error " + std::to_string(ENOENT));
}

TEST(JobKey, TwoCharactersFromTheJobId) {
    const std::pair<uint8_t, const char*> cases[] = {{0, "00"}, {1, "01"}, {35, "0z"}, {36, "10"}, {254, "72"}, {255, "73"}};
    for (const auto& [id, key] : cases) {
        char made[3];
        MakeJobKey(id, made);
        EXPECT_STREQ(made, key) << int{id};
    }
}

}  // namespace
}  // namespace kestrel::test
