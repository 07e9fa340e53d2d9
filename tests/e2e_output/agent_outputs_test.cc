// Outputs made by real commands on real kestrel-agent processes come back
// through the real kestrel: whole, with their times, in their directories,
// however many there are and however large; a failed job brings back its
// failed outputs instead; and jobs that need another job's output run once
// it has arrived.
#include <filesystem>
#include <fstream>

#include "archive/archive_test_support.h"
#include "e2e_output/output_fixture.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;

constexpr char kSucceeded[] = "The job main succeeded";
constexpr char kFailed[] = "The job main failed";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A source tree written by the test, copied into out/ by the job's command
// with its times, so that what arrives can be compared with it.
struct SourceFile {
    std::string path;
    std::string content;
    int64_t seconds;
    long nanoseconds;
};

std::vector<SourceFile> VariedFiles() {
    return {
        {"a.txt", "hello\n", 1577934245, 123456789},
        {"empty", "", 946684800, 0},
        {"sub/block512", std::string(512, 'x'), 1600000000, 500},
        {"sub/block513", std::string(513, 'y'), 1600000001, 999999999},
        {"sub/deeper/deepest/blob.bin", RandomBytes(1 << 20, 7) + "tail", 1700000000, 42},
        {"sp ace/\xC3\xA4-\xC3\xB6.txt", "umlauts\n", 1650000000, 1},
        {"keep/new.txt", "new in a kept directory\n", 1690000000, 0},
        {"replace.txt", "the machine's version\n", 1680000000, 0},
    };
}

class AgentOutputsTest : public OutputE2eTest {
protected:
    std::string source;

    void SetUp() override {
        OutputE2eTest::SetUp();
        source = temp / "source";
        fs::create_directories(source);
    }

    void WriteSource(const std::vector<SourceFile>& files) {
        for (const SourceFile& file : files) {
            WriteFile(source + "/" + file.path, file.content);
            SetModificationTime(source + "/" + file.path, file.seconds, file.nanoseconds);
        }
    }

    // The command that makes the outputs: everything below the source, with its times.
    CommandLine CopySource() const { return Shell("mkdir -p out && cp -a '" + source + "'/. out/"); }

    void ExpectArrived(const std::vector<SourceFile>& files) {
        for (const SourceFile& file : files) {
            const std::string path = ProjectPath("out/" + file.path);
            ASSERT_TRUE(FileExists(path)) << file.path;
            EXPECT_EQ(ReadFile(path), file.content) << file.path;
            EXPECT_EQ(ModifiedNs(path), ClientFileTime(file.seconds * 1'000'000'000 + file.nanoseconds)) << file.path;
        }
    }
};

struct MachineKind {
    const char* name;
    std::vector<std::string> options;
};

TEST_F(AgentOutputsTest, OutputsArriveWholeWithTheirTimesOnEitherEncoding) {
    const MachineKind kinds[] = {
        {"UTF-8 with /", {}},
        {"UTF-16LE with \\", {"--encoding", "UTF-16LE", "--separator", "\\"}},
    };
    const std::vector<SourceFile> files = VariedFiles();
    WriteSource(files);
    fs::create_directories(source + "/only/dir");
    for (const MachineKind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        RemoveTree(ProjectPath("out"));
        // What is already there: a file the output replaces, a directory it keeps.
        WriteFile(ProjectPath("out/replace.txt"), "an older local version that is longer\n");
        WriteFile(ProjectPath("out/keep/local.txt"), "mine\n");
        AgentProcess& agent = StartAgent(kind.options);
        JobSpec job;
        for (const SourceFile& file : files) job.outputs.push_back("out/" + file.path);
        job.outputs.push_back("out/only/dir");
        job.commands = {CopySource()};
        const ProcessResult result = RunKestrel(MachineBlock("local", agent.port()) + JobBlock(job));
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        EXPECT_TRUE(Contains(result.out, kSucceeded)) << result.out;
        ExpectArrived(files);
        EXPECT_TRUE(fs::is_directory(ProjectPath("out/only/dir")));
        EXPECT_EQ(ReadFile(ProjectPath("out/keep/local.txt")), "mine\n");
        EXPECT_EQ(agent.Stop(), 0);
    }
}

TEST_F(AgentOutputsTest, EighteenHundredOutputsInSeveralRequests) {
    // Long names: the list needs three AddOutput requests.
    std::vector<SourceFile> files;
    for (int i = 0; i < 1800; ++i) {
        const std::string directory = "directory_of_outputs_number_" + std::to_string(i % 30);
        const std::string name = "an_output_file_whose_name_is_long_enough_to_fill_requests_" + std::to_string(i) + ".txt";
        files.push_back({directory + "/" + name, "file " + std::to_string(i) + "\n", 1600000000 + i, i});
    }
    WriteSource(files);
    AgentProcess& agent = StartAgent();
    JobSpec job;
    for (const SourceFile& file : files) job.outputs.push_back("out/" + file.path);
    job.commands = {CopySource()};
    const ProcessResult result = RunKestrel(MachineBlock("local", agent.port()) + JobBlock(job));
    EXPECT_TRUE(Contains(result.out, kSucceeded)) << result.out;
    ExpectArrived(files);
}

// Compares `path` with `size` bytes of the endless repetition of `line`.
void ExpectRepeatedLine(const std::string& path, const std::string& line, uint64_t size) {
    std::ifstream stream(path, std::ios::binary);
    ASSERT_TRUE(stream) << path;
    EXPECT_EQ(fs::file_size(path), size);
    std::string expected;
    while (expected.size() < (1u << 20)) expected += line;
    std::string chunk(expected.size() / line.size() * line.size(), '\0');
    uint64_t offset = 0;
    while (stream) {
        stream.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<size_t>(stream.gcount());
        if (got == 0) break;
        ASSERT_EQ(chunk.compare(0, got, expected, 0, got), 0) << "differs in the chunk at " << offset;
        offset += got;
    }
    EXPECT_EQ(offset, size);
}

TEST_F(AgentOutputsTest, ALargeOutputArrivesWhole) {
    // Compressible, so that the suite stays fast; the benchmark moves noise.
    const std::string line = "kestrel output line 0123456789 abcdefghijklmnopqrstuvwxyz\n";
    const uint64_t size = 300ull * 1000 * 1000;
    AgentProcess& agent = StartAgent();
    JobSpec job;
    job.outputs = {"out/big.txt"};
    job.commands = {Shell("mkdir -p out && yes '" + line.substr(0, line.size() - 1) + "' | head -c " +
                          std::to_string(size) + " > out/big.txt")};
    const ProcessResult result = RunKestrel(MachineBlock("local", agent.port()) + JobBlock(job), 600);
    EXPECT_TRUE(Contains(result.out, kSucceeded)) << result.out;
    ExpectRepeatedLine(ProjectPath("out/big.txt"), line, size);
}

TEST_F(AgentOutputsTest, AFailedJobBringsBackItsFailedOutputsOnly) {
    struct Case {
        const char* what;
        std::string script;
    };
    const Case cases[] = {
        // The command fails: only the failed-output list is asked for.
        {"failing command", "mkdir -p out && echo made > out/result && echo why > out/log.txt && exit 3"},
        // The command succeeds but an output is missing: the job fails on its list.
        {"missing output", "mkdir -p out && echo why > out/log.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveTree(ProjectPath("out"));
        AgentProcess& agent = StartAgent();
        JobSpec job;
        job.outputs = {"out/result"};
        job.failedOutputs = {"out/log.txt"};
        job.commands = {Shell(c.script)};
        const ProcessResult result = RunKestrel(MachineBlock("local", agent.port()) + JobBlock(job));
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_TRUE(Contains(result.out, kFailed)) << result.out;
        EXPECT_TRUE(Contains(result.out, "At least one job failed")) << result.out;
        EXPECT_FALSE(FileExists(ProjectPath("out/result")));
        ASSERT_TRUE(FileExists(ProjectPath("out/log.txt")));
        EXPECT_EQ(ReadFile(ProjectPath("out/log.txt")), "why\n");
        EXPECT_EQ(agent.Stop(), 0);
    }
}

TEST_F(AgentOutputsTest, AChainOfJobsOnTwoAgentsRunsAsItsInputsArrive) {
    AgentProcess& first = StartAgent();
    AgentProcess& second = StartAgent();
    // Each job appends its line to what the previous one made; a job that
    // started before its input had arrived would have nothing to append to.
    JobSpec a;
    a.name = "a";
    a.machines = {"one"};
    a.outputs = {"stage/a.txt"};
    a.commands = {Shell("mkdir -p stage && echo A > stage/a.txt")};
    JobSpec b;
    b.name = "b";
    b.machines = {"two"};
    b.inputs = {"stage/a.txt"};
    b.outputs = {"stage/b.txt"};
    b.commands = {Shell("test -s stage/a.txt && cat stage/a.txt > stage/b.txt && echo B >> stage/b.txt")};
    JobSpec c;
    c.name = "main";
    c.machines = {"one"};
    c.inputs = {"stage/b.txt"};
    c.outputs = {"stage/c.txt"};
    c.commands = {Shell("test -s stage/b.txt && cat stage/b.txt > stage/c.txt && echo C >> stage/c.txt")};
    const std::string script = MachineBlock("one", first.port()) + MachineBlock("two", second.port()) +
                               JobBlock(a) + JobBlock(b) + JobBlock(c) +
                               "project chain\n    build\n        main\n        b\n        a\n";
    WriteFile(ProjectPath("build.kv"), script);
    ProcessOptions options;
    options.workingDirectory = project;
    options.timeoutSeconds = 240;
    const ProcessResult result = ConsoleText(
        RunProcess(ClientCommand({"--automated", "--job", "chain", "build.kv"}), ClientOptions(options)));
    ExpectValidBuildLog(result);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    for (const char* name : {"a", "b", "main"})
        EXPECT_TRUE(Contains(result.out, std::string("The job ") + name + " succeeded")) << result.out;
    EXPECT_EQ(ReadFile(ProjectPath("stage/c.txt")), "A\nB\nC\n");
}

}  // namespace
}  // namespace kestrel::test
