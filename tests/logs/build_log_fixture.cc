#include "build_log_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/socket_address.h"
#include "runtime/temp_files.h"

namespace kestrel::test {

int64_t FileTimeOf(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    // Days since 1970-01-01 of a proleptic Gregorian date.
    const int64_t y = year - (month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yearOfEra = y - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const int64_t days = era * 146097 + dayOfEra - 719468;
    const int64_t seconds = (days + 134774) * 86400 + hour * 3600 + minute * 60 + second;
    return seconds * kSecond + millisecond * kMillisecond;
}

std::string OutputEvent(uint8_t code, uint8_t job, uint64_t nanoseconds, const std::string& data) {
    return Bytes().u8(code).u8(job).u64(nanoseconds).u16(static_cast<uint32_t>(data.size())).raw(data).s();
}

std::string ValueEvent(uint8_t code, uint8_t job, uint64_t nanoseconds, uint32_t value) {
    return Bytes().u8(code).u8(job).u64(nanoseconds).u32(value).s();
}

std::string MessageEvent(uint8_t code, uint8_t job, uint64_t nanoseconds, uint32_t value, const std::string& message) {
    return Bytes().u8(code).u8(job).u8(static_cast<uint32_t>(message.size())).u64(nanoseconds).u32(value).raw(message).s();
}

std::string ThrottleEvent(uint8_t code, uint8_t job, uint64_t nanoseconds) {
    return Bytes().u8(code).u8(job).u64(nanoseconds).s();
}

std::string Units(const std::vector<uint16_t>& units) {
    Bytes bytes;
    for (uint16_t unit : units) bytes.u16(unit);
    return bytes.u16(0).s();
}

TestLog::TestLog(const std::string& machine, uint32_t pathId, const std::string& firstUrl, bool utf16)
    : machine_(machine), pathId_(pathId) {
    log_.utf16 = utf16;
    EXPECT_TRUE(log_.Create(firstUrl.empty() ? machine_.c_str() : firstUrl.c_str()));
    EXPECT_TRUE(log_.Start(machine_.c_str(), pathId));
    if (!firstUrl.empty()) {
        EXPECT_TRUE(log_.BeginFirstHop(firstUrl.c_str()));
    }
}

TestLog::~TestLog() {
    if (handed_ == nullptr) {
        TempLog* file = log_.HandOver();
        if (file != nullptr) TempFileTable::Delete(file);
    }
}

std::string TestLog::Text(const std::string& ascii) const { return log_.utf16 ? Bytes().wstr(ascii).s() : Bytes().str(ascii).s(); }

TestLog& TestLog::Reached(const std::string& address, uint16_t port) {
    uint8_t bytes[platform::kSocketAddressMaxBytes];
    uint32_t length = 0;
    if (!address.empty()) {
        EXPECT_TRUE(platform::MakeSocketAddress(address.c_str(), port, bytes, length)) << address;
    }
    EXPECT_TRUE(log_.AppendHopReached(bytes, length) && log_.Commit());
    return *this;
}

TestLog& TestLog::ReachedBySsh(const std::string& address, uint16_t port, const std::string& commandLine) {
    uint8_t bytes[platform::kSocketAddressMaxBytes];
    uint32_t length = 0;
    EXPECT_TRUE(platform::MakeSocketAddress(address.c_str(), port, bytes, length)) << address;
    EXPECT_TRUE(log_.AppendHopReachedBySsh(bytes, length, commandLine.c_str()) && log_.Commit());
    return *this;
}

TestLog& TestLog::HopFailed(uint32_t code, const std::string& text, int64_t time) {
    const std::string part = Bytes().u32(4).u32(code).str(text).u64(static_cast<uint64_t>(time)).s();
    EXPECT_TRUE(log_.Append(part.data(), static_cast<uint32_t>(part.size())) && log_.Commit());
    return *this;
}

TestLog& TestLog::Record(const std::string& request, const std::string& response) {
    EXPECT_TRUE(log_.BeginRecord(request.data(), static_cast<uint32_t>(request.size())));
    EXPECT_TRUE(log_.Append(response.data(), static_cast<uint32_t>(response.size())));
    EXPECT_TRUE(log_.Commit());
    return *this;
}

TestLog& TestLog::Tunnel(const std::string& url, const std::string& response) {
    return Record(Bytes().u8(22).str(url).s(), response);
}

TestLog& TestLog::TunnelReached(const std::string& url, const std::string& address, uint16_t port) {
    uint8_t bytes[platform::kSocketAddressMaxBytes];
    uint32_t length = 0;
    EXPECT_TRUE(platform::MakeSocketAddress(address.c_str(), port, bytes, length)) << address;
    return Tunnel(url, Bytes().u32(0).u32(length).raw(std::string(reinterpret_cast<char*>(bytes), length)).s());
}

TestLog& TestLog::Version(uint16_t major, uint16_t minor, uint16_t build, uint32_t patch) {
    return Record(Bytes().u8(19).s(), Bytes().u16(major).u16(minor).u16(build).u32(patch).s());
}

TestLog& TestLog::StartJob(uint8_t id, const std::string& job, int64_t time, uint32_t status, uint8_t concurrency,
                           uint32_t errorCode) {
    Bytes response;
    response.u32(status);
    if (status >= 4 && status <= 6) response.u32(errorCode);
    response.u64(static_cast<uint64_t>(time)).str(machine_).u32(pathId_).str(job);
    return Record(Bytes().u8(0).u8(id).u8(concurrency).s(), response.s());
}

TestLog& TestLog::Environment(uint8_t type, uint8_t id, const std::string& name, const std::string& value) {
    return Record(Bytes().u8(type).u8(id).raw(Text(name)).raw(Text(value)).s(), Bytes().u32(0).s());
}

TestLog& TestLog::Execute(uint8_t id, const std::string& flags, const std::string& strings, uint32_t status,
                          const std::string& statusPart) {
    const std::string request = Bytes().u8(13).u8(id).raw(flags).raw(strings).s();
    EXPECT_TRUE(log_.BeginRecord(request.data(), static_cast<uint32_t>(request.size())));
    EXPECT_TRUE(log_.AppendEmptyText());
    const std::string response = Bytes().u32(status).raw(statusPart).s();
    EXPECT_TRUE(log_.Append(response.data(), static_cast<uint32_t>(response.size())) && log_.Commit());
    return *this;
}

TestLog& TestLog::Command(uint8_t id, const std::string& executable, const std::vector<std::string>& parameters,
                          const std::string& directory) {
    std::string strings = Text(directory) + Text(executable);
    for (const std::string& parameter : parameters) strings += Text(parameter);
    return Execute(id, log_.utf16 ? std::string(2, '\0') : std::string(1, '\0'), strings);
}

TestLog& TestLog::Poll(const std::string& events) { return Record(Bytes().u8(26).s(), events + Bytes().u8(15).s()); }

TestLog& TestLog::AddOutput(uint8_t id, const std::vector<std::string>& paths, bool failedList, uint32_t status,
                            const std::string& statusPart) {
    std::string request = Bytes().u8(9).u8(id).s();
    for (const std::string& path : paths) request += Text(path);
    EXPECT_TRUE(log_.BeginRecord(request.data(), static_cast<uint32_t>(request.size())));
    EXPECT_TRUE(log_.AppendOutputListEnd(failedList));
    const std::string response = Bytes().u32(status).raw(statusPart).s();
    EXPECT_TRUE(log_.Append(response.data(), static_cast<uint32_t>(response.size())) && log_.Commit());
    return *this;
}

TestLog& TestLog::EndJob(uint8_t id, int64_t time, uint32_t status, uint32_t jobState) {
    return Record(Bytes().u8(5).u8(id).s(), Bytes().u32(status).u64(static_cast<uint64_t>(time)).u32(jobState).s());
}

TestLog& TestLog::Error(uint8_t kind, const std::string& fields) {
    return Record(Bytes().u8(0xFF).u8(0xFF).u8(0xFF).u8(kind).s(), fields);
}

TempLog* TestLog::HandOver() {
    handed_ = log_.HandOver();
    return handed_;
}

namespace {

// Copies the document into the folder kept for xmllint, named after the test
// and numbered within it.
void KeepForSchemaCheck(const std::string& path, const std::string& folder) {
    static int count = 0;
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "outside";
    for (char& c : name)
        if (c == '/') c = '-';
    WriteFile(BuildMachinePath(folder) + kNativeSeparator + name + "." + std::to_string(++count) + ".xml",
              ReadFile(path));
}

}  // namespace

std::string SchemaErrors(const std::string& path) {
    if (!kBuildMachineToolsRun) {
        if (const char* folder = std::getenv("KESTREL_SCHEMA_DOCUMENTS")) KeepForSchemaCheck(path, folder);
        return "";
    }
    const ProcessResult result =
        RunProcess({"/usr/bin/xmllint", "--noout", "--schema", SourceDir() + "/docs/build_log.xsd", path});
    return result.exitCode == 0 ? "" : result.err + " (exit " + std::to_string(result.exitCode) + ")";
}

void BuildLogTest::SetUp() {
    std::filesystem::create_directories(PathOf(directory_ / "tmp"));
    temporaryDirectory_.emplace(kTemporaryDirectoryVariable, directory_ / "tmp");
    settings.start = LocalTime{kRunStart, -60};
    settings.hostName = "BUILDPC";
    settings.now = kRunStart + 75 * kSecond + 250 * kMillisecond;
    settings.fixedErrorBias = true;
    settings.errorBias = -60;
}

void BuildLogTest::TearDown() { temporaryDirectory_.reset(); }

std::vector<std::string> BuildLogTest::TemporaryFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(PathOf(directory_ / "tmp"))) {
        const std::string name = TextOf(entry.path().filename());
        if (name.rfind("KVLOG.", 0) == 0) names.push_back(name);
    }
    return names;
}

bool BuildLogTest::Run(std::vector<TestLog*>& logs, int32_t budget, size_t spoolMemory, std::string& document,
                       bool& corrupt) {
    BuildLogWriter writer(budget, spoolMemory);
    for (TestLog* log : logs) EXPECT_TRUE(writer.AddConnection(log->HandOver(), log->utf16()));
    std::FILE* out = std::fopen(DocumentPath().c_str(), "w+b");
    EXPECT_NE(out, nullptr);
    testing::internal::CaptureStdout();
    const bool generated = writer.Generate(out, settings);
    messages = testing::internal::GetCapturedStdout();
    std::fclose(out);
    corrupt = writer.corrupt();
    writer.CleanUp();
    document = ReadFile(DocumentPath());
    EXPECT_EQ(TemporaryFiles(), std::vector<std::string>{}) << "clean-up leaves no temporary file";
    return generated;
}

std::string BuildLogTest::Generate(std::vector<TestLog*> logs, int32_t budget, size_t spoolMemory) {
    std::string document;
    bool corrupt = false;
    EXPECT_TRUE(Run(logs, budget, spoolMemory, document, corrupt)) << messages;
    EXPECT_FALSE(corrupt);
    EXPECT_EQ(messages, "");
    EXPECT_EQ(SchemaErrors(DocumentPath()), "") << document;
    return document;
}

bool BuildLogTest::GenerateFailing(std::vector<TestLog*> logs, std::string& document, bool& corrupt) {
    return Run(logs, 1000, kSpoolMemoryPerText, document, corrupt);
}

void FiftyInterleavedJobs(TestLog& log) {
    log.Reached("192.0.2.1", 5017);
    for (uint8_t id = 1; id <= 50; ++id) log.StartJob(id, "job" + std::to_string(id), kRunStart + id * kSecond);
    for (uint8_t id = 1; id <= 50; ++id) log.Environment(1, id, "PATH", "/opt/job" + std::to_string(id));
    for (uint8_t id = 1; id <= 50; ++id) log.Command(id, "make", {"target" + std::to_string(id)});
    for (int round = 0; round < 3; ++round) {
        std::string events;
        for (uint8_t id = 1; id <= 50; ++id) {
            const std::string text = "round " + std::to_string(round) + " of job " + std::to_string(id);
            events += OutputEvent(0, id, (round + 1) * kNanosecondsPerMillisecond, text + "\n") + OutputEvent(2, id, (round + 1) * kNanosecondsPerMillisecond, text + " on stderr\n");
        }
        log.Poll(events);
    }
    for (uint8_t id = 1; id <= 50; ++id) {
        log.Poll(OutputEvent(1, id, 9 * kNanosecondsPerMillisecond, "") + OutputEvent(3, id, 9 * kNanosecondsPerMillisecond, "") + ValueEvent(4, id, 10 * kNanosecondsPerMillisecond, id % 3));
        log.Command(id, "install");
        log.AddOutput(id, {"out/" + std::to_string(id)});
    }
    for (uint8_t id = 50; id >= 1; --id) log.EndJob(id, kRunStart + 100 * kSecond);
}

std::string BuildLogTest::Between(const std::string& document, const std::string& from, const std::string& to) {
    const size_t start = document.find(from);
    if (start == std::string::npos) return "";
    const size_t end = document.find(to, start + from.size());
    return document.substr(start, end == std::string::npos ? std::string::npos : end + to.size() - start);
}

}  // namespace kestrel::test
