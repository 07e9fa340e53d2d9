// How the archive is cut into InputWrite pieces and how the pieces of jobs
// that share a connection take turns.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "agent/agent_fixture.h"
#include "archive/paxgz_writer.h"
#include "e2e/input_checks.h"

namespace kestrel::test {
namespace {

constexpr int kStartJob = 0;
constexpr int kInputWrite = 12;
constexpr int kStepStart = 7;
constexpr int kPoll = 26;
constexpr int64_t kFileTime = 1600000000;

// The archive the client makes of one file `f.bin` at the job root whose
// times are both kFileTime, its bytes read from `dataPath`.
struct OneFileArchive {
    int fd = -1;
    uint64_t size = 0;
    bool given = false;
    std::string bytes;

    static bool Next(void* context, PaxgzEntry& entry, platform::FileHandle& file, bool& haveEntry, int32_t&) {
        auto& self = *static_cast<OneFileArchive*>(context);
        file = platform::kNoFile;
        haveEntry = !self.given;
        if (self.given) return true;
        self.given = true;
        entry = PaxgzEntry{};
        entry.name = reinterpret_cast<const uint8_t*>("f.bin");
        entry.nameLength = 5;
        entry.size = self.size;
        entry.modifiedSeconds = kFileTime;
        entry.accessedSeconds = kFileTime;
        file = self.size > 0 ? platform::FileHandle{dup(self.fd)} : platform::kNoFile;
        return true;
    }
    static PaxgzWriteResult Write(void* context, const uint8_t* bytes, uint32_t count, int32_t&) {
        static_cast<OneFileArchive*>(context)->bytes.append(reinterpret_cast<const char*>(bytes), count);
        return PaxgzWriteResult::kCompleted;
    }
};

std::string ArchiveOf(const std::string& dataPath, uint64_t size) {
    OneFileArchive source;
    source.fd = open(dataPath.c_str(), O_RDONLY | O_CLOEXEC);
    source.size = size;
    static uint8_t staging[65536];
    static uint8_t output[65525];
    static const uint8_t kSlash = '/';
    PaxgzWriterConfig config;
    config.context = &source;
    config.nextEntry = OneFileArchive::Next;
    config.write = OneFileArchive::Write;
    config.staging = staging;
    config.stagingSize = sizeof staging;
    config.output = output;
    config.outputSize = sizeof output;
    config.encoding = "UTF-8";
    config.separator = &kSlash;
    config.separatorLength = 1;
    PaxgzWriter* writer = new PaxgzWriter;
    const bool written = writer->Start(config) && writer->Finished();
    delete writer;
    close(source.fd);
    return written ? source.bytes : "";
}

// The first `length` of `noise` whose archive is `target` bytes long, left
// in `dataPath`; 0 when none between `from` and `to` is.
uint32_t LengthForArchive(const std::string& noise, uint32_t target, const std::string& dataPath, uint32_t from,
                          uint32_t to) {
    for (uint32_t length = from; length < to; ++length) {
        WriteFile(dataPath, noise.substr(0, length));
        if (ArchiveOf(dataPath, length).size() == target) return length;
    }
    return 0;
}

class InputPiecesTest : public EndToEndTest {};

TEST_F(InputPiecesTest, AnArchiveOfOnePieceAndOneByteMore) {
    // The sizes below are exact to the byte, and Wine moves a file's access
    // time when it opens it, which changes the length of the atime record.
    if (kClientUnderWine) GTEST_SKIP() << "Wine moves the access time the archive records";
    StartAgent();
    struct Case {
        uint32_t archiveSize;
        std::vector<uint32_t> pieces;
    };
    const Case cases[] = {{65525, {65525}}, {65526, {65525, 1}}};
    const std::string noise = NoiseBytes(70000, 11);
    const std::string copy = results / "copy.bin";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archiveSize);
        // Noise stays nearly its own size when compressed: the length is found near the target.
        const uint32_t length = LengthForArchive(noise, c.archiveSize, copy, c.archiveSize - 700, c.archiveSize);
        ASSERT_NE(length, 0u);
        const std::string expected = ArchiveOf(copy, length);
        Write("f.bin", noise.substr(0, length));
        SetModificationTime(At("f.bin"), kFileTime, 0);
        const ProcessResult hash = RunProcess({"/usr/bin/sha256sum", copy});
        const std::string digest = hash.out.substr(0, 64);

        WireRelay& wire = NewRelay();
        StartRelay();
        JobSpec job;
        job.inputs = {"f.bin"};
        job.commands = {Shell("test \"$(sha256sum f.bin | cut -c1-64)\" = " + digest)};
        const ProcessResult run = RunJobs({job});
        EXPECT_EQ(run.out, PlainOutput({"The job main succeeded", "All jobs successfully completed"})) << run.err;
        EXPECT_EQ(PieceSizes(wire), c.pieces);
        EXPECT_TRUE(SentArchive(wire) == expected) << "the archive differs from the writer's own";
    }
}

TEST_F(InputPiecesTest, JobsOnOneConnectionTakeTurns) {
    StartAgent();
    WireRelay& wire = NewRelay();
    StartRelay();
    JobSpec left;
    left.name = "left";
    JobSpec right;
    right.name = "right";
    for (JobSpec* job : {&left, &right}) {
        const std::string file = job->name + "/noise.bin";
        Write(file, NoiseBytes(400000, static_cast<uint32_t>(job->name.size())));
        const std::string digest = RunProcess({"/usr/bin/sha256sum", At(file)}).out.substr(0, 64);
        job->inputs = {file};
        job->commands = {Shell("test \"$(sha256sum " + file + " | cut -c1-64)\" = " + digest)};
    }
    Write("build.txt", Machine() + JobBlock(left) + JobBlock(right) +
                           "project both\n  build\n    left\n    right\n");
    const ProcessResult run = RunKestrel({"--job", "both"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("The job left succeeded\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("The job right succeeded\n"), std::string::npos) << run.out;

    std::vector<uint8_t> order;
    for (const WireMessage& piece : wire.Requests(kInputWrite)) order.push_back(piece.jobId);
    ASSERT_FALSE(order.empty());
    const uint8_t first = order.front();
    uint8_t second = 0;
    for (uint8_t id : order)
        if (id != first) second = id;
    ASSERT_NE(second, 0) << "only one job sent input";
    ExpectPieceRule(wire, first);
    ExpectPieceRule(wire, second);
    // The second job's pieces go out before the first job's last one.
    size_t lastOfFirst = 0;
    size_t firstOfSecond = order.size();
    for (size_t i = 0; i < order.size(); ++i) {
        if (order[i] == first) lastOfFirst = i;
        if (order[i] == second && firstOfSecond == order.size()) firstOfSecond = i;
    }
    EXPECT_LT(firstOfSecond, lastOfFirst);
}

TEST_F(InputPiecesTest, ARunningCommandIsPolledWhileAnotherJobSendsItsInput) {
    // Slow acknowledgements keep the transfer going while the other job's command runs.
    StartAgent({"--test-delay", "input-write:20", "--keep-alive-ms", "1000"});
    WireRelay& wire = NewRelay();
    StartRelay();
    JobSpec runner;
    runner.name = "runner";
    runner.commands = {Shell("sleep 1")};
    JobSpec sender;
    sender.name = "sender";
    Write("sent/noise.bin", NoiseBytes(1u << 20, 4));
    sender.inputs = {"sent/noise.bin"};
    sender.commands = {Shell("test -s sent/noise.bin")};
    Write("build.txt", Machine() + JobBlock(runner) + JobBlock(sender) +
                           "project both\n  build\n    runner\n    sender\n");
    const ProcessResult run = RunKestrel({"--job", "both"});
    EXPECT_NE(run.out.find("The job runner succeeded\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("The job sender succeeded\n"), std::string::npos) << run.out;
    const std::vector<int> types = wire.RequestTypes();
    const auto first = std::find(types.begin(), types.end(), kInputWrite);
    const auto last = std::find(types.rbegin(), types.rend(), kInputWrite).base();
    EXPECT_NE(std::find(first, last, kPoll), last) << "no Poll while the command ran";
}

TEST_F(InputPiecesTest, AJobWithoutInputsStartsItsStepRightAfterItsSetUp) {
    StartAgent();
    WireRelay& wire = NewRelay();
    StartRelay();
    JobSpec job;
    job.commands = {Shell("true")};
    const ProcessResult run = RunJobs({job});
    EXPECT_EQ(run.out, PlainOutput({"The job main succeeded", "All jobs successfully completed"})) << run.err;
    const std::vector<int> types = wire.RequestTypes();
    const auto start = std::find(types.begin(), types.end(), kStartJob);
    ASSERT_NE(start, types.end());
    ASSERT_NE(start + 1, types.end());
    EXPECT_EQ(*(start + 1), kStepStart);
    EXPECT_TRUE(wire.Requests(kInputWrite).empty());
}

}  // namespace
}  // namespace kestrel::test
