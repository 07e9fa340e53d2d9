// Connection logs written through ConnectionLog into real temporary files,
// and a fixture that turns them into build_log.xml, checks the document
// against docs/build_log.xsd with xmllint (after the run, through
// schema_of_windows_documents.sh, where xmllint cannot be run from the test),
// and checks that clean-up leaves no temporary file behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "logs/build_log_writer.h"
#include "logs/connection_log.h"
#include "support/test_support.h"
#include "../client/wire_bytes.h"

namespace kestrel::test {

inline constexpr int64_t kSecond = 10'000'000;
inline constexpr int64_t kMillisecond = 10'000;
inline constexpr uint64_t kNanosecondsPerMillisecond = 1'000'000;

// The FILETIME count of a calendar date and time.
int64_t FileTimeOf(int year, int month, int day, int hour, int minute, int second, int millisecond = 0);

// The run of the document example: 2024-01-13T09:15:02.5 at UTC+1.
inline const int64_t kRunStart = FileTimeOf(2024, 1, 13, 9, 15, 2, 500);

// Poll events as the connection log keeps them.
std::string OutputEvent(uint8_t code, uint8_t job, uint64_t nanoseconds, const std::string& data);
std::string ValueEvent(uint8_t code, uint8_t job, uint64_t nanoseconds, uint32_t value);
std::string MessageEvent(uint8_t code, uint8_t job, uint64_t nanoseconds, uint32_t value, const std::string& message);
std::string ThrottleEvent(uint8_t code, uint8_t job, uint64_t nanoseconds);

// Text strings of a UTF-16 log from UTF-16 units, with the 0 unit.
std::string Units(const std::vector<uint16_t>& units);

// One connection's log. Records are written the way the client writes them:
// the request part, then the response part and the client's fields, then
// the commit; times are given so that documents can be compared whole.
class TestLog {
public:
    // An empty `firstUrl` leaves the log with its header only.
    TestLog(const std::string& machine, uint32_t pathId, const std::string& firstUrl, bool utf16 = false);
    ~TestLog();

    // The first hop's kind part.
    TestLog& Reached(const std::string& address = "", uint16_t port = 0);
    TestLog& ReachedBySsh(const std::string& address, uint16_t port, const std::string& commandLine);
    TestLog& HopFailed(uint32_t code, const std::string& text, int64_t time);
    // A further hop: the Tunnel request and its response.
    TestLog& Tunnel(const std::string& url, const std::string& response);
    TestLog& TunnelReached(const std::string& url, const std::string& address, uint16_t port);
    TestLog& Version(uint16_t major, uint16_t minor, uint16_t build, uint32_t patch = 0);

    TestLog& StartJob(uint8_t id, const std::string& job, int64_t time, uint32_t status = 0, uint8_t concurrency = 25,
                      uint32_t errorCode = 0);
    TestLog& Environment(uint8_t type, uint8_t id, const std::string& name, const std::string& value);
    // `strings`: directory, executable and parameters, each a text string of
    // the log's encoding (Text() makes one from ASCII).
    TestLog& Execute(uint8_t id, const std::string& flags, const std::string& strings, uint32_t status = 0,
                     const std::string& statusPart = "");
    TestLog& Command(uint8_t id, const std::string& executable, const std::vector<std::string>& parameters = {},
                     const std::string& directory = "");
    TestLog& Poll(const std::string& events);
    TestLog& AddOutput(uint8_t id, const std::vector<std::string>& paths, bool failedList = false, uint32_t status = 0,
                       const std::string& statusPart = "");
    TestLog& EndJob(uint8_t id, int64_t time, uint32_t status = 0, uint32_t jobState = 0);
    // Any other record: the request part and the response part.
    TestLog& Record(const std::string& request, const std::string& response);
    // Error records, with a time of the test's choosing.
    TestLog& Error(uint8_t kind, const std::string& fields);

    // A text string of the log's encoding from ASCII.
    std::string Text(const std::string& ascii) const;
    bool utf16() const { return log_.utf16; }

    // Ends the connection: the file goes to the build log writer.
    TempLog* HandOver();
    ConnectionLog& log() { return log_; }

private:
    std::string machine_;
    uint32_t pathId_;
    ConnectionLog log_;
    TempLog* handed_ = nullptr;
};

class BuildLogTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Generates the document from the logs (in the order given: the order in
    // which their connections ended) with the open-file budget, expecting
    // success, a document that passes the schema, and no temporary file left
    // after clean-up. Posted messages go to `messages`.
    // `spoolMemory` as the writer takes it: 0 puts every job text in a file.
    std::string Generate(std::vector<TestLog*> logs, int32_t budget = 1000, size_t spoolMemory = kSpoolMemoryPerText);
    // The same for a generation that is meant to fail: returns its result.
    bool GenerateFailing(std::vector<TestLog*> logs, std::string& document, bool& corrupt);

    // The lines of `document` from its first kv:job element of the end on,
    // or of the machine elements: for comparing parts.
    static std::string Between(const std::string& document, const std::string& from, const std::string& to);
    // Files named KVLOG.* in the temporary directory.
    std::vector<std::string> TemporaryFiles() const;
    std::string DocumentPath() const { return directory_ / "build_log.xml"; }

    BuildLogSettings settings;
    std::string messages;

private:
    bool Run(std::vector<TestLog*>& logs, int32_t budget, size_t spoolMemory, std::string& document, bool& corrupt);

    TempDir directory_;
    std::optional<EnvironmentOverride> temporaryDirectory_;
};

// Fifty jobs on one connection whose commands print in turns, so that
// every record needs files that the budget made the writer close.
void FiftyInterleavedJobs(TestLog& log);

// xmllint's verdict on a document: empty when it validates. Where xmllint
// cannot be run from here (kBuildMachineToolsRun), the document is kept in
// the folder KESTREL_SCHEMA_DOCUMENTS names, when it names one, and xmllint
// checks it after the run; the answer here is then empty.
std::string SchemaErrors(const std::string& path);

}  // namespace kestrel::test
